// The program's own option scanner. It stops at the first operand, unless
// POSIXLY_INCORRECT_GETOPT is set: then it takes options from anywhere on
// the command line and moves the operands behind them, in their order.
#ifndef QUARVEL_GETOPT_H
#define QUARVEL_GETOPT_H

#include <string_view>

namespace quarvel {

// Where the scan of one argument vector stands. A new scan starts from a
// default one; the caller owns it, so that nothing is hidden in the scanner.
struct OptionScan {
    int optind = 1;                    // next argument to scan; at the end, the first operand
    int opterr = 1;                    // nonzero: write diagnostics
    int optopt = 0;                    // the letter of the last option error
    char* optarg = nullptr;            // the value of an option that takes one
    const char* nextLetter = nullptr;  // inside the option group being scanned
    // With POSIXLY_INCORRECT_GETOPT, the operands skipped so far stand
    // together at [skippedBegin, skippedEnd).
    int skippedBegin = 1;
    int skippedEnd = 1;
};

// Returns the next option letter (as an unsigned byte value), '?' for an
// option error, or -1 when the options end.
int getopt(OptionScan& scan, int argc, char** argv, const char* optionString);

// The last path component of the invocation name, as diagnostics show it
// (on Windows also without ".exe").
std::string_view programName(const char* argv0);

}  // namespace quarvel

#endif
