// A record of the text file: which fields it holds, in their fixed order, the
// calibrated value's formula, and the text of each field. Everything after
// the time stamp depends on the raw count alone within a block: that part,
// the tail, is what tailcache.h keeps.
#ifndef QUARVEL_RECORD_H
#define QUARVEL_RECORD_H

#include "format.h"
#include "logfile.h"
#include "settings.h"

#include <cfloat>
#include <cstddef>
#include <cstdint>
#include <string>

// Records must be the same bytes on every machine. x87 arithmetic keeps
// doubles in 80 bits, which changes the calibrated value's rounding and the
// time stamps' running sum.
static_assert(FLT_EVAL_METHOD == 0,
    "floating-point expressions must be evaluated in their own type: on 32-bit x86 build with -msse2 -mfpmath=sse");

constexpr int TIME_DECIMALS = 3;   // "%.3f"
constexpr int VALUE_DECIMALS = 6;  // "%f": gain, offset and calibrated value, here and in the header lines

// Fields that are integers (channel, period, count, raw) and that are fixed
// point (gain, offset, calibrated value), after the time stamp.
constexpr std::size_t TAIL_INT_FIELDS = 4;
constexpr std::size_t TAIL_FIXED_FIELDS = 3;
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
