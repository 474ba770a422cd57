// A record of the text file: which fields it holds, in their fixed order, the
// calibrated value's formula, and the text of each field. Everything after
// the time stamp depends on the raw count alone within a block: that part,
// the tail, is what tailcache.h keeps.
#ifndef QUARVEL_RECORD_H
#define QUARVEL_RECORD_H

#include "format.h"
#include "logfile.h"
#include "settings.h"

#include <algorithm>
#include <cfloat>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <limits>
#include <string>

// Records must be the same bytes on every machine. x87 arithmetic keeps
// doubles in 80 bits, which changes the calibrated value's rounding and the
// time stamps' running sum.
static_assert(FLT_EVAL_METHOD == 0,
    "floating-point expressions must be evaluated in their own type: on 32-bit x86 build with -msse2 -mfpmath=sse");

constexpr int TIME_DECIMALS = 3;   // "%.3f"
constexpr int VALUE_DECIMALS = 6;  // "%f": gain, offset and calibrated value, here and in the header lines

// The kinds of a record's fields.
constexpr char TIME_STAMP_FIELD = 't';  // TIME_DECIMALS
constexpr char INTEGER_FIELD = 'i';
constexpr char VALUE_FIELD = 'v';  // a float with VALUE_DECIMALS

// The digits of a float before the point: FLT_MAX has 39.
constexpr std::size_t FLOAT_INTEGER_DIGITS = std::numeric_limits<float>::max_exponent10 + 1;
constexpr std::size_t VALUE_MAX_CHARS = 1 + FLOAT_INTEGER_DIGITS + 1 + VALUE_DECIMALS;

// A field of a record: its kind, and the most characters it takes in the
// first record of a block, whose time stamp is the block's first-sample time.
struct RecordField {
    char kind;
    std::size_t firstMaxChars;
};

// The fields of a record in their order, as describeTails and
// formatRecordTail write them: time stamp, channel, period, sample count,
// gain, offset, raw count, calibrated value.
constexpr RecordField RECORD_FIELDS[] = {
    {TIME_STAMP_FIELD, INT_CHARS<decltype(LogFileHeader::firstSampleTime)> + 1 + TIME_DECIMALS},
    {INTEGER_FIELD, INT_CHARS<decltype(LogFileHeader::adcChan)>},
    {INTEGER_FIELD, INT_CHARS<decltype(LogFileHeader::samplePeriod)>},
    {INTEGER_FIELD, INT_CHARS<decltype(LogFileHeader::totalSamples)>},
    {VALUE_FIELD, VALUE_MAX_CHARS},
    {VALUE_FIELD, VALUE_MAX_CHARS},
    {INTEGER_FIELD, INT_CHARS<std::int16_t>},
    {VALUE_FIELD, VALUE_MAX_CHARS},
};

// How many of a record's fields are of the kind `kind`.
constexpr std::size_t fieldsOfKind(char kind)
{
    return static_cast<std::size_t>(std::count_if(std::begin(RECORD_FIELDS), std::end(RECORD_FIELDS),
        [kind](const RecordField& field) { return field.kind == kind; }));
}

// Fields that are integers (channel, period, count, raw) and that are fixed
// point (gain, offset, calibrated value), after the time stamp.
constexpr std::size_t TAIL_INT_FIELDS = fieldsOfKind(INTEGER_FIELD);
constexpr std::size_t TAIL_FIXED_FIELDS = fieldsOfKind(VALUE_FIELD);
// Commas and the CR LF, with room to spare.
constexpr std::size_t RECORD_PUNCTUATION_CHARS = 16;
static_assert(RECORD_PUNCTUATION_CHARS >= TAIL_INT_FIELDS + TAIL_FIXED_FIELDS + 2);

// No record can be longer: what formatFixed and formatInt may write for the
// time stamp and each field, and the punctuation. Whoever writes a record
// must have this much room.
constexpr std::size_t RECORD_MAX_CHARS = FIXED_MAX_CHARS + TAIL_INT_FIELDS * INT_MAX_CHARS
    + TAIL_FIXED_FIELDS * FIXED_MAX_CHARS + RECORD_PUNCTUATION_CHARS;

// Everything a block's tails are made of besides the raw count.
struct TailFormat {
    std::string constantFields;  // channel to offset, those selected, comma-separated
    std::uint32_t gainBits = 0;
    std::uint32_t offsetBits = 0;
    bool afterTime = false;  // a time stamp comes first: the tail starts with a separator
    bool doRaw = false;
    bool doCal = false;

    // Every field takes part: a block's tails may be reused only when all agree.
    bool operator==(const TailFormat&) const = default;
};

// The tail format of a block with `header` under `runSettings`'s field selection.
TailFormat describeTails(const LogFileHeader& header, const RunSettings& runSettings);

// raw × gain + offset: the product exact in double, the sum rounded to
// double, and that double rounded to float. Two roundings, so the result
// may differ from the float nearest the exact sum.
// A NaN result takes the sign that x86-64 gives it, whichever CPU computed it.
float calibrate(std::int16_t rawSample, float gain, float offset);

// Writes a record's time stamp; returns its end.
inline char* formatTimeStamp(char* out, double sampleTime)
{
    return formatFixed(out, sampleTime, TIME_DECIMALS);
}

// Writes the tail of the record of `rawSample`; returns its end.
char* formatRecordTail(char* out, const TailFormat& format, std::int16_t rawSample);

#endif
