// The six lines that describe a block: the console summary and the header
// lines of the text file, with the first sample's local time as ctime
// renders it.
#ifndef QUARVEL_SUMMARY_H
#define QUARVEL_SUMMARY_H

#include "logfile.h"

#include <cstdint>
#include <string>

// `seconds` in local time, as ctime renders it but without the newline.
std::string formatLocalTime(std::int32_t seconds);

// The six lines describing a block, each started with `prefix` and ended
// with `lineEnd`.
std::string blockSummary(
    const LogFileHeader& header, const std::string& timeText, const char* prefix, const char* lineEnd);

#endif
