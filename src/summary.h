// The six lines that describe a block: the console summary and the header
// lines of the text file, with the first sample's local time as ctime
// renders it.
#ifndef QUARVEL_SUMMARY_H
#define QUARVEL_SUMMARY_H

#include "logfile.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The labels of the six lines, in their order.
constexpr std::string_view CHANNEL_LABEL = "ADC CHANNEL         : ";
constexpr std::string_view PERIOD_LABEL = "SAMPLE PERIOD       : ";
constexpr std::string_view FIRST_SAMPLE_LABEL = "FIRST SAMPLE LOGGED : ";
constexpr std::string_view TOTAL_LABEL = "TOTAL SAMPLES       : ";
constexpr std::string_view OFFSET_LABEL = "CALIBRATION OFFSET  : ";
constexpr std::string_view GAIN_LABEL = "CALIBRATION GAIN    : ";
// What follows the sample period.
constexpr std::string_view PERIOD_UNIT = " ms";

// The names that ctime gives weekdays and months, three letters each.
constexpr std::string_view WEEKDAY_NAMES = "SunMonTueWedThuFriSat";
constexpr std::string_view MONTH_NAMES = "JanFebMarAprMayJunJulAugSepOctNovDec";
constexpr std::size_t NAME_CHARS = 3;

// `seconds` in local time, as ctime renders it but without the newline.
std::string formatLocalTime(std::int32_t seconds);

// The six lines describing a block, each started with `prefix` and ended
// with `lineEnd`.
std::string blockSummary(
    const LogFileHeader& header, const std::string& timeText, const char* prefix, const char* lineEnd);

#endif
