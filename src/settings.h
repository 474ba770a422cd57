// The run settings and the command line that sets them.
#ifndef QUARVEL_SETTINGS_H
#define QUARVEL_SETTINGS_H

#include "getopt.h"

#include <cstdint>
#include <string>

// When header lines go into a text file.
constexpr int HEADERS_ALL = 1;    // before every block
constexpr int HEADERS_FIRST = 2;  // before the first block of each file only
constexpr int HEADERS_NONE = 3;   // never

constexpr std::int32_t MODULUS_DFLT = 1;
constexpr int HEADERS_DFLT = HEADERS_ALL;

constexpr const char* OPTION_STRING = "cCdgNopqrsStn:";

// Owned by main, set from the command line, then read-only while files are
// converted: everything below main takes them as a const reference.
struct RunSettings {
    // Record fields, in record order.
    bool doTime = false;
    bool doChannel = false;
    bool doPeriod = false;
    bool doSamples = false;
    bool doGain = false;
    bool doOffset = false;
    bool doRaw = false;
    bool doCal = true;
    std::int32_t modulus = MODULUS_DFLT;  // write every Nth sample of a block
    int headers = HEADERS_DFLT;
    bool verbose = true;
    bool debug = false;
};

enum class CommandLine { CONVERT, USAGE, FAILED };

// Sets `runSettings` to their defaults, then scans the options into them
// with `scan`, which must be a new one. Writes the diagnostics of a bad
// command line to standard error. On CONVERT the file operands run from
// scan.optind to argc.
CommandLine scanCommandLine(int argc, char** argv, RunSettings& runSettings, quarvel::OptionScan& scan);

// Reads a decimal integer as the "%d" scan conversion does (leading white
// space, an optional sign, digits up to the first non-digit). Returns false,
// leaving `value` alone, when no number can be read or it exceeds 32 bits.
bool readDecimal(const char* text, std::int32_t& value);

const char* headerModeName(int headers);
std::string usageText();

// The settings report of debug mode: header mode, debug flag, modulus and
// the record's fields.
std::string settingsReport(const RunSettings& runSettings);

#endif
