// Text that quarvel wrote, told from a logger file by its first line, so
// that a run over logs/* does not convert an earlier run's text files as if
// they were logs.
//
// A logger file starts with a binary header whose channel is a small
// integer: for any channel from -2^24 to 2^24 - 1 its first byte is 0x00 or
// 0xFF, which no text quarvel writes starts with. A text file starts with a
// header line or a record, of printable characters, ended by CR LF.
#ifndef QUARVEL_OWNTEXT_H
#define QUARVEL_OWNTEXT_H

#include "record.h"

#include <cstddef>

// The longest first line quarvel can write, CR LF included: a record of
// every field, each at its longest. A file's first record is the first
// sample of a block, whose time stamp is the block's first-sample time.
constexpr std::size_t INT32_CHARS = 11;                                    // -2147483648
constexpr std::size_t UINT32_CHARS = 10;                                   // 4294967295
constexpr std::size_t INT16_CHARS = 6;                                     // -32768
constexpr std::size_t FLOAT_FIXED_CHARS = 1 + 39 + 1 + VALUE_DECIMALS;     // -FLT_MAX has 39 digits
constexpr std::size_t FIRST_TIME_CHARS = INT32_CHARS + 1 + TIME_DECIMALS;  // -2147483648.000
constexpr std::size_t FIRST_LINE_MAX = FIRST_TIME_CHARS + INT32_CHARS + UINT32_CHARS + INT32_CHARS
    + 3 * FLOAT_FIXED_CHARS + INT16_CHARS + 7 + 2;  // seven commas, CR LF
static_assert(FIRST_LINE_MAX == 203);

// Whether `bytes`, the first `size` bytes of a file (all of it if it is
// shorter), are text that quarvel wrote: a line feed comes within the first
// FIRST_LINE_MAX bytes, after a carriage return, and the line before it is
// either the first header line, "%ADC CHANNEL         : " and a decimal
// integer (a minus sign and 1 to 10 digits), or a record, made of nothing
// but the digits and the characters . , - n a i f (or of nothing).
bool isOwnText(const unsigned char* bytes, std::size_t size);

#endif
