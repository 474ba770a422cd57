// Text that quarvel wrote, told from a logger file by two rules. The loose
// one looks at the first line, so that a run over logs/* does not convert
// an earlier run's text files as if they were logs. The strict one looks
// at every line of the first 4 KiB, so that an operand is written over as
// another operand's text file only when it is such text throughout there:
// a log that the loose rule takes for text costs a refusal, never the log.
//
// A logger file starts with a binary header whose channel is a small
// integer: for any channel from -2^24 to 2^24 - 1 its first byte is 0x00 or
// 0xFF, which no text quarvel writes starts with. A text file starts with a
// header line or a record, of printable characters, ended by CR LF.
#ifndef QUARVEL_OWNTEXT_H
#define QUARVEL_OWNTEXT_H

#include "record.h"

#include <cstddef>
#include <iterator>

// The longest first line quarvel can write, CR LF included: a record of
// every field, each at its longest, with commas between them. A file's
// first record is the first sample of a block.
constexpr std::size_t FIRST_LINE_MAX = [] {
    std::size_t chars = std::size(RECORD_FIELDS) - 1 + 2;  // the commas, CR LF
    for (const RecordField& field : RECORD_FIELDS)
        chars += field.firstMaxChars;
    return chars;
}();
static_assert(FIRST_LINE_MAX == 203);

// Whether `bytes`, the first `size` bytes of a file (all of it if it is
// shorter), are text that quarvel wrote: a line feed comes within the first
// FIRST_LINE_MAX bytes, after a carriage return, and the line before it is
// either the first header line, "%ADC CHANNEL         : " and a decimal
// integer (a minus sign and 1 to 10 digits), or a record, made of nothing
// but the digits and the characters . , - n a i f (or of nothing).
bool isOwnText(const unsigned char* bytes, std::size_t size);

// The part of a file that the strict rule reads.
constexpr std::size_t TEXT_HEAD_SIZE = 4096;

// Whether `bytes`, the first `size` bytes of a file (all of it if it is
// shorter), are text that quarvel wrote by the strict rule. In the first
// TEXT_HEAD_SIZE bytes:
// - isOwnText holds, so that the file is refused as an input;
// - every line ended by a line feed ends with CR LF, and without them is
//   one of the six header lines or a record, as quarvel writes them:
//   - "%" and a label of the block summary, then, after "ADC CHANNEL" and
//     "TOTAL SAMPLES", an integer; after "SAMPLE PERIOD", an integer that
//     is not negative and " ms"; after "FIRST SAMPLE LOGGED", the time as
//     in "Sun Jan  1 00:00:00 1970": weekday and month as ctime names them,
//     the day as a digit after a space or a digit, two digits each for
//     hours, minutes and seconds, four for the year; after "CALIBRATION
//     OFFSET" and "CALIBRATION GAIN", a value;
//   - a record: nothing, or fields separated by commas, whose kinds are,
//     in order, some of: time stamp, integer, integer, integer, value,
//     value, integer, value (the fields that quarvel writes, in its order);
//   - an integer is "0" or 1 to 10 digits, not starting with 0, after an
//     optional minus sign; a time stamp is an optional minus sign, "0" or
//     1 to 39 digits not starting with 0, "." and 3 digits; a value is the
//     same with 6 digits after the point, or "nan" or "inf" after an
//     optional minus sign;
// - what follows the last line feed, a line cut short, is printable ASCII
//   characters (space to tilde), perhaps followed by the line's CR.
// A logger file meets this rule only when its first 4 KiB were made to.
bool isStrictText(const unsigned char* bytes, std::size_t size);

#endif
