// Conversion of one logger file into its ".txt" companion.
#ifndef QUARVEL_CONVERT_H
#define QUARVEL_CONVERT_H

// Converts the logger file at `path` into `path` + ".txt" as the run
// settings say. Returns 1 when the run must end with status 1: the input or
// the output could not be opened (or the output is the input under another
// name), or a read or write failed. Else 0, also for a block cut short,
// whose records are kept.
int processFile(const char* path);

#endif
