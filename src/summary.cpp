#include "summary.h"

#include "format.h"
#include "record.h"
#include "system.h"

#include <ctime>
#include <utility>

std::string formatLocalTime(std::int32_t seconds)
{
    const std::tm local = toLocalTime(seconds);
    auto twoDigits = [](std::string& text, int value, char pad) {
        text += value < 10 ? pad : static_cast<char>('0' + value / 10);
        text += static_cast<char>('0' + value % 10);
    };
    std::string text(WEEKDAY_NAMES.substr(NAME_CHARS * static_cast<std::size_t>(local.tm_wday % 7), NAME_CHARS));
    text += ' ';
    text += MONTH_NAMES.substr(NAME_CHARS * static_cast<std::size_t>(local.tm_mon % 12), NAME_CHARS);
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
    period += PERIOD_UNIT;
    appendInt(total, header.totalSamples);
    appendFixed(offset, header.calOffset, VALUE_DECIMALS);
    appendFixed(gain, header.calGain, VALUE_DECIMALS);
    const std::pair<std::string_view, const std::string&> lines[] = {
        {CHANNEL_LABEL, channel},
        {PERIOD_LABEL, period},
        {FIRST_SAMPLE_LABEL, timeText},
        {TOTAL_LABEL, total},
        {OFFSET_LABEL, offset},
        {GAIN_LABEL, gain},
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
