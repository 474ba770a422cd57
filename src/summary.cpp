#include "summary.h"

#include "format.h"
#include "record.h"
#include "system.h"

#include <ctime>
#include <utility>

std::string formatLocalTime(std::int32_t seconds)
{
    static const char* const WEEKDAYS[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const MONTHS[]
        = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const std::tm local = toLocalTime(seconds);
    auto twoDigits = [](std::string& text, int value, char pad) {
        text += value < 10 ? pad : static_cast<char>('0' + value / 10);
        text += static_cast<char>('0' + value % 10);
    };
    std::string text = WEEKDAYS[local.tm_wday % 7];
    text += ' ';
    text += MONTHS[local.tm_mon % 12];
    text += ' ';
    twoDigits(text, local.tm_mday, ' ');
    text += ' ';
    twoDigits(text, local.tm_hour, '0');
    text += ':';
    twoDigits(text, local.tm_min, '0');
    text += ':';
    twoDigits(text, local.tm_sec, '0');
    text += ' ';
    appendInt(text, std::int64_t{local.tm_year} + 1900);
    return text;
}

std::string blockSummary(
    const LogFileHeader& header, const std::string& timeText, const char* prefix, const char* lineEnd)
{
    std::string channel, period, total, offset, gain;
    appendInt(channel, header.adcChan);
    appendInt(period, header.samplePeriod);
    period += " ms";
    appendInt(total, header.totalSamples);
    appendFixed(offset, header.calOffset, VALUE_DECIMALS);
    appendFixed(gain, header.calGain, VALUE_DECIMALS);
    const std::pair<const char*, const std::string&> lines[] = {
        {"ADC CHANNEL         : ", channel},
        {"SAMPLE PERIOD       : ", period},
        {"FIRST SAMPLE LOGGED : ", timeText},
        {"TOTAL SAMPLES       : ", total},
        {"CALIBRATION OFFSET  : ", offset},
        {"CALIBRATION GAIN    : ", gain},
    };
    std::string text;
    for (const auto& [label, value] : lines) {
        text += prefix;
        text += label;
        text += value;
        text += lineEnd;
    }
    return text;
}
