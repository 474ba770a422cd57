// system.h's local time under emscripten (the web page, and node), by our
// own code; its files and console are those of system_posix.cpp. Its C
// library renders local time in the JavaScript engine's zone and ignores
// TZ, and it has no time-zone data: here TZ is read as the C library of
// Linux reads it, with the engine's Intl (system_emscripten.js) for the
// zone names.
// - TZ unset: the engine's zone (the browser's);
// - a name that Intl knows (Europe/Paris, UTC, EST5EDT), with a leading
//   colon or without;
// - else a POSIX zone (JST-9, <+0530>-5:30, CET-1CEST,M3.5.0,M10.5.0/3),
//   its summer time computed by the POSIX rules; without rules, the
//   United States' rules of today (M3.2.0,M11.1.0);
// - anything else, the empty value included: UTC.
// Its host is the page's worker, which hears of each file's outcome, and
// which calls the entries at the end of this file besides main.
#include "system.h"

#include "calendar.h"
#include "errortext.h"
#include "format.h"
#include "messages.h"
#include "owntext.h"
#include "record.h"
#include "shims.h"

// The static checks read this file with the native compiler, which has no
// emscripten headers; only emscripten's build needs the entries kept.
#if defined(__EMSCRIPTEN__)
#include <emscripten/emscripten.h>
#else
#define EMSCRIPTEN_KEEPALIVE
#endif

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// The offset east of UTC, in seconds, of the zone named `zone` at `seconds`
// since the epoch, as the JavaScript engine's Intl tells it; the engine's
// own zone when `zone` is empty. NaN when Intl does not know the zone. In
// JavaScript: system_emscripten.js, which the build links in.
extern "C" double quarvelZoneOffset(double seconds, const char* zone);

// Hands the host (the function onFileOutcome of the module's options, if
// any) the record of one file's outcome; see noteOutcome. In JavaScript:
// system_emscripten.js.
extern "C" void quarvelOutcome(int index, const char* end, const char* message, const char* refusal, const char* reason,
    int cutShort, double samplesRead, double samplesDeclared, const char* said);

namespace {

constexpr std::int64_t SECONDS_PER_HOUR = 3600;
constexpr std::int64_t SECONDS_PER_DAY = 86400;

// When a change to or from summer time happens in a year: on day `day` of
// the year (JULIAN_FROM_ZERO: 0 to 365; JULIAN: 1 to 365, never February
// 29), or on weekday `day` (0 Sunday) of week `week` (5: the last) of
// `month`; at `time` seconds after local midnight.
struct ChangeRule {
    enum Kind { JULIAN_FROM_ZERO, JULIAN, MONTH_WEEK_DAY };
    Kind kind = JULIAN_FROM_ZERO;
    int day = 0;
    int week = 0;
    int month = 0;
    std::int64_t time = 0;
    std::int64_t offset = 0;  // east of UTC, in seconds, of the time it starts
};

// A POSIX zone: standard time (rules[0] starts summer time) and summer
// time (rules[1] ends it). Without summer time both offsets are the same.
struct PosixZone {
    ChangeRule rules[2];
};

bool isAlpha(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Reads digits as an unsigned number; false when there are none.
bool readNumber(const char*& text, std::int64_t& value)
{
    if (!isDigit(*text))
        return false;
    value = 0;
    while (isDigit(*text)) {
        value = std::min<std::int64_t>(value * 10 + (*text - '0'), 1 << 20);
        ++text;
    }
    return true;
}

// Reads hh[:mm[:ss]] into `hours`, `minutes` and `seconds`, leaving those
// that are absent; false when not even hh is there.
bool readClock(const char*& text, std::int64_t& hours, std::int64_t& minutes, std::int64_t& seconds)
{
    if (!readNumber(text, hours))
        return false;
    const char* rest = text;
    if (*rest == ':' && readNumber(++rest, minutes)) {
        text = rest;
        if (*rest == ':' && readNumber(++rest, seconds))
            text = rest;
    }
    return true;
}

// A zone's abbreviation: three letters or more, or <...> with letters,
// digits, + and - inside.
bool readZoneName(const char*& text)
{
    const char* end = text;
    while (isAlpha(*end))
        ++end;
    if (end - text >= 3) {
        text = end;
        return true;
    }
    if (*text != '<')
        return false;
    end = text + 1;
    while (isAlpha(*end) || isDigit(*end) || *end == '+' || *end == '-')
        ++end;
    if (*end != '>' || end - (text + 1) < 3)
        return false;
    text = end + 1;
    return true;
}

// An offset west of UTC, [+-]hh[:mm[:ss]], stored east of UTC in `rule`.
// Summer time's is optional: one hour ahead of standard time by default.
bool readOffset(const char*& text, PosixZone& zone, int which)
{
    if (which == 0 && *text != '+' && *text != '-' && !isDigit(*text))
        return false;
    std::int64_t sign = -1;
    if (*text == '+' || *text == '-')
        sign = *text++ == '-' ? 1 : -1;
    std::int64_t hours = 0;
    std::int64_t minutes = 0;
    std::int64_t seconds = 0;
    if (readClock(text, hours, minutes, seconds)) {
        zone.rules[which].offset = sign
            * (std::min<std::int64_t>(hours, 24) * SECONDS_PER_HOUR + std::min<std::int64_t>(minutes, 59) * 60
                + std::min<std::int64_t>(seconds, 59));
    } else if (which == 0) {
        zone.rules[0].offset = 0;
        return false;
    } else {
        zone.rules[1].offset = zone.rules[0].offset + SECONDS_PER_HOUR;
    }
    return true;
}

// The date of a change: Jn, n or Mm.w.d; with no rules at all, the
// United States' rules of today.
bool readChangeDate(const char*& text, ChangeRule& rule, int which)
{
    std::int64_t day = 0;
    if (*text == 'J' || isDigit(*text)) {
        rule.kind = *text == 'J' ? ChangeRule::JULIAN : ChangeRule::JULIAN_FROM_ZERO;
        if (*text == 'J')
            ++text;
        if (!readNumber(text, day) || day > 365 || (rule.kind == ChangeRule::JULIAN && day == 0))
            return false;
        rule.day = static_cast<int>(day);
        return true;
    }
    if (*text == 'M') {
        // Each number is kept as it is read, even when a later one fails,
        // as the C library's scan keeps them.
        rule.kind = ChangeRule::MONTH_WEEK_DAY;
        const char* rest = text + 1;
        std::int64_t number = 0;
        int* fields[] = {&rule.month, &rule.week, &rule.day};
        for (int i = 0; i < 3; ++i) {
            if ((i > 0 && *rest++ != '.') || !readNumber(rest, number))
                return false;
            *fields[i] = static_cast<int>(number);
        }
        if (rule.month < 1 || rule.month > 12 || rule.week < 1 || rule.week > 5 || rule.day > 6)
            return false;
        text = rest;
        return true;
    }
    if (*text != '\0')
        return false;
    rule.kind = ChangeRule::MONTH_WEEK_DAY;
    rule.month = which == 0 ? 3 : 11;
    rule.week = which == 0 ? 2 : 1;
    rule.day = 0;
    return true;
}

// One rule: [,]date[/[-]hh[:mm[:ss]]], at 02:00 by default.
bool readChangeRule(const char*& text, PosixZone& zone, int which)
{
    ChangeRule& rule = zone.rules[which];
    if (*text == ',')
        ++text;
    if (!readChangeDate(text, rule, which))
        return false;
    if (*text != '\0' && *text != '/' && *text != ',')
        return false;
    rule.time = 2 * SECONDS_PER_HOUR;
    if (*text == '/') {
        ++text;
        if (*text == '\0')
            return false;
        const std::int64_t sign = *text == '-' ? -1 : 1;
        if (*text == '-')
            ++text;
        std::int64_t hours = 2;
        std::int64_t minutes = 0;
        std::int64_t seconds = 0;
        readClock(text, hours, minutes, seconds);
        rule.time = sign * (hours * SECONDS_PER_HOUR + minutes * 60 + seconds);
    }
    return true;
}

// Reads a POSIX TZ value: std offset [dst [offset] [,rule,rule]]. What is
// read before a fault stays, as the C library keeps it; a value that is
// no zone at all gives UTC.
PosixZone readPosixZone(const char* text)
{
    PosixZone zone;
    if (!readZoneName(text) || !readOffset(text, zone, 0))
        return zone;
    if (*text == '\0') {
        zone.rules[1].offset = zone.rules[0].offset;
        return zone;
    }
    if (readZoneName(text))
        readOffset(text, zone, 1);
    if (readChangeRule(text, zone, 0))
        readChangeRule(text, zone, 1);
    return zone;
}

bool isLeapYear(std::int64_t year)
{
    return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

// Days from 1970-01-01 to the first of `month` (1 to 12) of `year`, in the
// proleptic Gregorian calendar.
std::int64_t daysToMonth(std::int64_t year, int month)
{
    const std::int64_t shifted = month <= 2 ? year - 1 : year;
    const std::int64_t era = (shifted >= 0 ? shifted : shifted - 399) / 400;
    const std::int64_t yearOfEra = shifted - era * 400;
    const std::int64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5;
    const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

int daysInMonth(std::int64_t year, int month)
{
    if (month == 2)
        return isLeapYear(year) ? 29 : 28;
    return month == 4 || month == 6 || month == 9 || month == 11 ? 30 : 31;
}

// The moment, in seconds since the epoch, when `rule` changes the clock in
// `year`. As in the C library of Linux, the year's days count from
// 1970-01-01 for every year up to 1970: before 1970, the changes of 1970's
// dates apply.
std::int64_t changeTime(const ChangeRule& rule, std::int64_t year)
{
    const std::int64_t yearStart = year > 1970 ? daysToMonth(year, 1) : 0;
    std::int64_t dayOfYear = 0;
    switch (rule.kind) {
    case ChangeRule::JULIAN: dayOfYear = rule.day - 1 + (rule.day >= 60 && isLeapYear(year) ? 1 : 0); break;
    case ChangeRule::JULIAN_FROM_ZERO: dayOfYear = rule.day; break;
    case ChangeRule::MONTH_WEEK_DAY: {
        const std::int64_t monthStart = daysToMonth(year, rule.month);
        const std::int64_t firstWeekday = ((monthStart + 4) % 7 + 7) % 7;  // 1970-01-01 was a Thursday
        std::int64_t dayOfMonth = (rule.day - firstWeekday + 7) % 7;
        for (int week = 1; week < rule.week && dayOfMonth + 7 < daysInMonth(year, rule.month); ++week)
            dayOfMonth += 7;
        dayOfYear = monthStart - daysToMonth(year, 1) + dayOfMonth;
        break;
    }
    }
    return (yearStart + dayOfYear) * SECONDS_PER_DAY - rule.offset + rule.time;
}

// The offset east of UTC of `zone` at `seconds`: the rules of the year that
// `seconds` falls in, in UTC.
std::int64_t posixOffset(const PosixZone& zone, std::int64_t seconds)
{
    const std::int64_t year = toUtc(seconds).tm_year + std::int64_t{1900};
    const std::int64_t start = changeTime(zone.rules[0], year);
    const std::int64_t end = changeTime(zone.rules[1], year);
    const bool summer = start > end ? seconds < end || seconds >= start : seconds >= start && seconds < end;
    return zone.rules[summer ? 1 : 0].offset;
}

// The offset east of UTC, in seconds, of the zone that TZ names.
std::int64_t zoneOffset(std::int64_t seconds)
{
    const char* tz = std::getenv("TZ");
    if (tz == nullptr)
        tz = "";
    else if (*tz == ':')
        ++tz;
    else if (*tz == '\0')
        return 0;
    const double engine = quarvelZoneOffset(static_cast<double>(seconds), tz);
    if (std::isfinite(engine))
        return static_cast<std::int64_t>(engine);
    // TZ does not change while the program runs: read it once.
    static const std::string READ_TZ = tz;
    static const PosixZone POSIX_ZONE = readPosixZone(READ_TZ.c_str());
    return posixOffset(POSIX_ZONE, seconds);
}

}  // namespace

std::tm toLocalTime(std::int64_t seconds)
{
    return toUtc(seconds + zoneOffset(seconds));
}

namespace {

// The name of an end, as the page knows it, and its message in messages.h.
struct EndWords {
    const char* name;
    const char* message;
};

EndWords endWords(const FileOutcome& outcome)
{
    switch (outcome.end) {
    case FileEnd::CONVERTED: return {"converted", ""};
    case FileEnd::REFUSED: return {"refused", outcome.refusal};
    case FileEnd::OPEN_INPUT_FAILED: return {"openInput", OPEN_INPUT_FAILED};
    case FileEnd::OPEN_OUTPUT_FAILED: return {"openOutput", OPEN_OUTPUT_FAILED};
    case FileEnd::READ_FAILED: return {"readFailed", READ_FAILED};
    case FileEnd::WRITE_FAILED: return {"writeFailed", WRITE_FAILED};
    }
    return {"converted", ""};
}

// A guard's refusal by its name in messages.h, which the page tells them
// apart by. Compared by their words: each file has its own copy of them.
const char* refusalName(const char* refusal)
{
    const EndWords refusals[] = {{"INPUT_IS_OWN_TEXT", INPUT_IS_OWN_TEXT}, {"INPUT_IS_EMPTY_TEXT", INPUT_IS_EMPTY_TEXT},
        {"OUTPUT_IS_INPUT", OUTPUT_IS_INPUT}, {"OUTPUT_IS_ANOTHER_INPUT", OUTPUT_IS_ANOTHER_INPUT}};
    for (const EndWords& known : refusals) {
        if (refusal != nullptr && std::strcmp(refusal, known.message) == 0)
            return known.name;
    }
    return "";
}

}  // namespace

void noteOutcome(int index, const FileOutcome& outcome)
{
    const EndWords end = endWords(outcome);
    // Why it could not be opened: the guard's words, or the system's as -d gives them.
    const bool opening = outcome.end == FileEnd::OPEN_INPUT_FAILED || outcome.end == FileEnd::OPEN_OUTPUT_FAILED;
    const char* reason = !opening ? "" : outcome.refusal != nullptr ? outcome.refusal : errorText(outcome.errorNumber);
    quarvelOutcome(index, end.name, end.message, refusalName(outcome.refusal), reason, outcome.cutShort ? 1 : 0,
        static_cast<double>(outcome.samplesRead), static_cast<double>(outcome.samplesDeclared), outcome.said.c_str());
}

// What the page's workers call besides main (web/worker.js). Numbers whose
// NaNs must keep their sign come as their bits: JavaScript may change a
// NaN's bits on the way.
extern "C" {

// Ends the program with `status`, as returning it from main does: the
// worker runs main as a function that may wait for its writes, and ends
// it through here, so that exit's last writes to the console may wait too.
EMSCRIPTEN_KEEPALIVE void quarvelExit(int status)
{
    std::exit(status);
}

// A buffer of at least `size` bytes for the calls below, kept until the next call.
EMSCRIPTEN_KEEPALIVE unsigned char* quarvelScratch(std::size_t size)
{
    static std::vector<unsigned char> scratch;
    scratch.resize(std::max(size, scratch.size()));
    return scratch.data();
}

// The words of the message of messages.h named `name` (OPEN_OUTPUT_FAILED,
// OPEN_REASON, OUTPUT_IS_INPUT, OUTPUT_IS_ANOTHER_INPUT, WRITE_FAILED), or
// "": the page says what became of a text file that it writes into a
// folder in quarvel's words.
EMSCRIPTEN_KEEPALIVE const char* quarvelMessage(const char* name)
{
    const EndWords messages[] = {{"OPEN_OUTPUT_FAILED", OPEN_OUTPUT_FAILED}, {"OPEN_REASON", OPEN_REASON},
        {"OUTPUT_IS_INPUT", OUTPUT_IS_INPUT}, {"OUTPUT_IS_ANOTHER_INPUT", OUTPUT_IS_ANOTHER_INPUT},
        {"WRITE_FAILED", WRITE_FAILED}};
    for (const EndWords& message : messages) {
        if (std::strcmp(name, message.name) == 0)
            return message.message;
    }
    return "";
}

// Whether `bytes`, the first `size` bytes of a file (TEXT_HEAD_SIZE are
// enough), are quarvel's own text by the strict rule: a text file may be
// written over such a file, or an empty one.
EMSCRIPTEN_KEEPALIVE int quarvelIsStrictText(const unsigned char* bytes, std::size_t size)
{
    return isStrictText(bytes, size) ? 1 : 0;
}

// The bits of the calibrated value of the raw count `raw` with the gain
// and offset of the bits `gainBits` and `offsetBits`, as the text files
// hold it (calibrate: its NaNs' signs too).
EMSCRIPTEN_KEEPALIVE std::uint32_t quarvelCalibrate(int raw, std::uint32_t gainBits, std::uint32_t offsetBits)
{
    return bitCast<std::uint32_t>(
        calibrate(static_cast<std::int16_t>(raw), bitCast<float>(gainBits), bitCast<float>(offsetBits)));
}

// Writes the binary32 value of the bits `bits` as quarvel writes calData
// (the float widened to double, "%f"), and returns its length.
EMSCRIPTEN_KEEPALIVE int quarvelFormatFloat(char* out, std::uint32_t bits)
{
    return static_cast<int>(formatFixed(out, bitCast<float>(bits), VALUE_DECIMALS) - out);
}

// Writes the double of the bits `high` and `low` (its upper and lower 32)
// as "%.<precision>f" does, and returns its length.
EMSCRIPTEN_KEEPALIVE int quarvelFormatDouble(char* out, std::uint32_t high, std::uint32_t low, int precision)
{
    const auto bits = (std::uint64_t{high} << 32U) | low;
    return static_cast<int>(formatFixed(out, bitCast<double>(bits), precision) - out);
}
}
