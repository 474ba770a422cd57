#include "owntext.h"

#include "summary.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace {

// What the fields of a record are made of: numbers, "nan" and "inf".
constexpr std::string_view RECORD_CHARACTERS = "0123456789.,-naif";

constexpr std::size_t INTEGER_DIGITS_MAX = INT_CHARS<std::uint32_t>;  // 32 bits at most
constexpr std::size_t FIXED_DIGITS_MAX = FLOAT_INTEGER_DIGITS;        // before the point
// The kind of what is no field (record.h has the kinds of those that are).
constexpr char NO_FIELD = '?';
// The kinds of a record's fields in quarvel's order.
constexpr auto FIELD_KIND_LIST = [] {
    std::array<char, std::size(RECORD_FIELDS)> kinds{};
    std::transform(std::begin(RECORD_FIELDS), std::end(RECORD_FIELDS), kinds.begin(),
        [](const RecordField& field) { return field.kind; });
    return kinds;
}();
constexpr std::string_view FIELD_KINDS(FIELD_KIND_LIST.data(), FIELD_KIND_LIST.size());
// The first sample's time as formatLocalTime writes it: 'w' and 'm' stand
// for the names of weekday and month, 'd' for a digit, '_' for a digit or
// a space; the rest stands for itself.
constexpr std::string_view TIME_SHAPE = "www mmm _d dd:dd:dd dddd";
constexpr std::size_t MONTH_START = 4;

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool isPrintable(char c)
{
    return c >= ' ' && c <= '~';
}

// Removes `prefix` from the front of `text` if it is there; says whether it was.
bool takePrefix(std::string_view& text, std::string_view prefix)
{
    if (!text.starts_with(prefix))
        return false;
    text.remove_prefix(prefix.size());
    return true;
}

bool isFirstHeaderLine(std::string_view line)
{
    if (!takePrefix(line, "%") || !takePrefix(line, CHANNEL_LABEL))
        return false;
    takePrefix(line, "-");
    return !line.empty() && line.size() <= INTEGER_DIGITS_MAX && std::all_of(line.begin(), line.end(), isDigit);
}

bool isRecordLine(std::string_view line)
{
    return line.find_first_not_of(RECORD_CHARACTERS) == std::string_view::npos;
}

// Removes from the front of `text` a number's digits before any point, as
// quarvel writes them: "0", or 1 to `most` digits, the first not 0.
bool takeDigits(std::string_view& text, std::size_t most)
{
    const auto count = static_cast<std::size_t>(std::find_if_not(text.begin(), text.end(), isDigit) - text.begin());
    if (count == 0 || count > most || (count > 1 && text.front() == '0'))
        return false;
    text.remove_prefix(count);
    return true;
}

// Removes the end of a field from the front of `text`: nothing at the end
// of the text, else a comma that another field follows. Says whether it did.
bool takeFieldEnd(std::string_view& text)
{
    return text.empty() || (takePrefix(text, ",") && !text.empty());
}

// The kind of a fixed-point number whose digits after the point start `text`.
char takeDecimals(std::string_view& text)
{
    const auto decimals = static_cast<std::size_t>(std::find_if_not(text.begin(), text.end(), isDigit) - text.begin());
    text.remove_prefix(decimals);
    if (decimals == TIME_DECIMALS)
        return TIME_STAMP_FIELD;
    return decimals == VALUE_DECIMALS ? VALUE_FIELD : NO_FIELD;
}

// Removes the first field of a record from the front of `text`, with the
// comma after it, and returns its kind. Integers are written as "%d" and
// fixed-point numbers as "%.3f" and "%f" write them: a negative zero keeps
// its sign, as a fixed-point number only.
char takeField(std::string_view& text)
{
    const bool negative = takePrefix(text, "-");
    const std::string_view number = text;
    char kind = NO_FIELD;
    if (takePrefix(text, "nan") || takePrefix(text, "inf"))
        kind = VALUE_FIELD;
    else if (!takeDigits(text, FIXED_DIGITS_MAX))
        return NO_FIELD;
    else if (takePrefix(text, "."))
        kind = takeDecimals(text);
    else if (number.size() - text.size() <= INTEGER_DIGITS_MAX && !(negative && number.starts_with('0')))
        kind = INTEGER_FIELD;
    return takeFieldEnd(text) ? kind : NO_FIELD;
}

// Whether `text` is one field of the kind `kind`.
bool isField(std::string_view text, char kind)
{
    return takeField(text) == kind && text.empty();
}

bool isName(std::string_view names, std::string_view name)
{
    const std::size_t at = names.find(name);
    return at != std::string_view::npos && at % NAME_CHARS == 0;
}

// Whether `c` fits the character `shape` of TIME_SHAPE.
bool fitsShape(char c, char shape)
{
    if (shape == 'd')
        return isDigit(c);
    if (shape == '_')
        return isDigit(c) || c == ' ';
    return shape == 'w' || shape == 'm' || c == shape;
}

bool isTimeText(std::string_view text)
{
    return std::equal(text.begin(), text.end(), TIME_SHAPE.begin(), TIME_SHAPE.end(), fitsShape)
        && isName(WEEKDAY_NAMES, text.substr(0, NAME_CHARS))
        && isName(MONTH_NAMES, text.substr(MONTH_START, NAME_CHARS));
}

bool isHeaderLine(std::string_view line)
{
    if (!takePrefix(line, "%"))
        return false;
    if (takePrefix(line, CHANNEL_LABEL) || takePrefix(line, TOTAL_LABEL))
        return isField(line, INTEGER_FIELD);
    if (takePrefix(line, PERIOD_LABEL))
        return !line.starts_with('-') && line.ends_with(PERIOD_UNIT)
            && isField(line.substr(0, line.size() - PERIOD_UNIT.size()), INTEGER_FIELD);
    if (takePrefix(line, FIRST_SAMPLE_LABEL))
        return isTimeText(line);
    if (takePrefix(line, OFFSET_LABEL) || takePrefix(line, GAIN_LABEL))
        return isField(line, VALUE_FIELD);
    return false;
}

// A record that quarvel can write: its fields' kinds come in FIELD_KINDS'
// order, each kind at most where FIELD_KINDS has it. No field selected
// gives an empty line.
bool isRecord(std::string_view line)
{
    for (std::size_t next = 0; !line.empty(); ++next) {
        next = FIELD_KINDS.find(takeField(line), next);
        if (next == std::string_view::npos)
            return false;
    }
    return true;
}

// The start of a line cut short by the end of the head.
bool isLineStart(std::string_view text)
{
    if (text.ends_with('\r'))
        text.remove_suffix(1);
    return std::all_of(text.begin(), text.end(), isPrintable);
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

bool isStrictText(const unsigned char* bytes, std::size_t size)
{
    if (!isOwnText(bytes, size))
        return false;
    std::string_view rest(reinterpret_cast<const char*>(bytes), std::min(size, TEXT_HEAD_SIZE));
    for (std::size_t lineFeed = rest.find('\n'); lineFeed != std::string_view::npos; lineFeed = rest.find('\n')) {
        std::string_view line = rest.substr(0, lineFeed);
        if (!line.ends_with('\r'))
            return false;
        line.remove_suffix(1);
        if (!isHeaderLine(line) && !isRecord(line))
            return false;
        rest.remove_prefix(lineFeed + 1);
    }
    return isLineStart(rest);
}
