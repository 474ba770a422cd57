// The program's own option scanner. It stops at the first operand, unless
// POSIXLY_INCORRECT_GETOPT is set: then it takes options from anywhere on
// the command line and moves the operands behind them, in their order.
#ifndef QUARVEL_GETOPT_H
#define QUARVEL_GETOPT_H

#include <string_view>

namespace quarvel {

extern int optind;    // next argument to scan; at the end, the first operand
extern int opterr;    // nonzero: write diagnostics
extern int optopt;    // the letter of the last option error
extern char* optarg;  // the value of an option that takes one

// Returns the next option letter (as an unsigned byte value), '?' for an
// option error, or -1 when the options end.
int getopt(int argc, char** argv, const char* optionString);

// Starts a new scan from the first argument.
void resetGetopt();

// The last path component of the invocation name, as diagnostics show it
// (on Windows also without ".exe").
std::string_view programName(const char* argv0);

}  // namespace quarvel

#endif
