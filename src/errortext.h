// The words for a system error number that follow "reason: " in debug mode.
// C libraries word some errors differently (msvcrt has "Filename too long"
// for glibc's "File name too long"), so the errors that opening a file can
// give have the same words, glibc's, on every system.
#ifndef QUARVEL_ERRORTEXT_H
#define QUARVEL_ERRORTEXT_H

// The words for `errorNumber`, an errno value; the C library's for errors
// that opening a file does not give.
const char* errorText(int errorNumber);

#endif
