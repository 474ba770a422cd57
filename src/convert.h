// Conversion of one logger file into its ".txt" companion.
#ifndef QUARVEL_CONVERT_H
#define QUARVEL_CONVERT_H

#include <cstdint>
#include <string>

struct LogFileHeader;

// Converts the logger file at `path` into `path` + ".txt" as the run
// settings say. Returns 1 when a read or write failure must make the run
// end with status 1, else 0 (a file that cannot be opened is reported but
// does not change the status).
int processFile(const char* path);

// `seconds` in local time, as ctime renders it but without the newline.
std::string formatLocalTime(std::int32_t seconds);

// The six lines describing a block: "ADC CHANNEL ..." and so on, each line
// started with `prefix` and ended with `lineEnd`.
std::string blockSummary(
    const LogFileHeader& header, const std::string& timeText, const char* prefix, const char* lineEnd);

#endif
