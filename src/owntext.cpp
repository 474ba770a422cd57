#include "owntext.h"

#include <algorithm>
#include <string_view>

namespace {

constexpr std::string_view FIRST_HEADER_LABEL = "%ADC CHANNEL         : ";
constexpr std::size_t CHANNEL_DIGITS_MAX = 10;
// What the fields of a record are made of: numbers, "nan" and "inf".
constexpr std::string_view RECORD_CHARACTERS = "0123456789.,-naif";

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool isFirstHeaderLine(std::string_view line)
{
    if (!line.starts_with(FIRST_HEADER_LABEL))
        return false;
    line.remove_prefix(FIRST_HEADER_LABEL.size());
    if (line.starts_with('-'))
        line.remove_prefix(1);
    return !line.empty() && line.size() <= CHANNEL_DIGITS_MAX && std::all_of(line.begin(), line.end(), isDigit);
}

bool isRecordLine(std::string_view line)
{
    return line.find_first_not_of(RECORD_CHARACTERS) == std::string_view::npos;
}

}  // namespace

bool isOwnText(const unsigned char* bytes, std::size_t size)
{
    const std::string_view start(reinterpret_cast<const char*>(bytes), std::min(size, FIRST_LINE_MAX));
    const std::size_t lineFeed = start.find('\n');
    if (lineFeed == std::string_view::npos || lineFeed == 0 || start[lineFeed - 1] != '\r')
        return false;
    const std::string_view line = start.substr(0, lineFeed - 1);
    return isFirstHeaderLine(line) || isRecordLine(line);
}
