#include "format.h"

#include "shims.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

namespace {

// The fields of an IEEE 754 double: sign, biased exponent, fraction.
static_assert(std::numeric_limits<double>::is_iec559 && sizeof(double) == sizeof(std::uint64_t));
constexpr int FRACTION_BITS = std::numeric_limits<double>::digits - 1;  // 52
constexpr int SIGN_SHIFT = 63;
constexpr int EXPONENT_ALL_ONES = (1 << (SIGN_SHIFT - FRACTION_BITS)) - 1;  // infinity and NaN
constexpr int EXPONENT_BIAS = std::numeric_limits<double>::max_exponent - 1;
constexpr std::uint64_t IMPLICIT_BIT = std::uint64_t{1} << FRACTION_BITS;
static_assert(FRACTION_BITS == 52 && EXPONENT_ALL_ONES == 0x7ff && EXPONENT_BIAS == 1023);

constexpr std::uint64_t POWERS_OF_TEN[]
    = {1ULL, 10ULL, 100ULL, 1000ULL, 10000ULL, 100000ULL, 1000000ULL, 10000000ULL, 100000000ULL, 1000000000ULL,
        10000000000ULL, 100000000000ULL, 1000000000000ULL, 10000000000000ULL, 100000000000000ULL, 1000000000000000ULL,
        10000000000000000ULL, 100000000000000000ULL, 1000000000000000000ULL, 10000000000000000000ULL};

// Values whose scaled magnitude does not fit 64 bits. std::to_chars renders
// these exactly as printf does.
char* formatFixedSlow(char* out, double value, int precision)
{
    return toCharsFixed(out, out + FIXED_MAX_CHARS, value, precision);
}

// As the C library's printf spells them, with the NaN's sign: libraries
// differ here ("-nan(ind)", "nan(snan)"), so the text is our own.
char* formatNonFinite(char* out, bool negative, bool isNan)
{
    if (negative)
        *out++ = '-';
    const char* word = isNan ? "nan" : "inf";
    return std::copy(word, word + 3, out);
}

// Rounds mantissa * 2^exponent * 10^precision to the nearest integer, ties
// to even, as printf does with the exact binary value. Returns false when
// the result might not fit 64 bits.
bool scaleExactly(std::uint64_t mantissa, int exponent, std::uint64_t scale, std::uint64_t& scaled)
{
    if (mantissa == 0) {
        scaled = 0;
        return true;
    }
    int zeros = std::countr_zero(mantissa);  // 0 to 63: mantissa is not 0
    // cppcheck-suppress shiftNegative
    mantissa >>= zeros;
    exponent += zeros;
    auto productBits = static_cast<int>(std::bit_width(mantissa) + std::bit_width(scale));
    if (exponent >= 0) {
        if (productBits + exponent > 64)
            return false;
        scaled = (mantissa << exponent) * scale;
        return true;
    }
    if (productBits > 64)
        return false;
    std::uint64_t product = mantissa * scale;
    int shift = -exponent;
    if (shift > 64) {
        scaled = 0;  // product < 2^64 <= half of 2^shift
        return true;
    }
    std::uint64_t quotient = shift == 64 ? 0 : product >> shift;
    std::uint64_t remainder = shift == 64 ? product : product & ((std::uint64_t{1} << shift) - 1);
    std::uint64_t half = std::uint64_t{1} << (shift - 1);
    if (remainder > half || (remainder == half && (quotient & 1) != 0))
        ++quotient;
    scaled = quotient;
    return true;
}

constexpr char DIGIT_PAIRS[] = "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
                               "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
                               "8081828384858687888990919293949596979899";

int decimalDigits(std::uint64_t value)
{
    if (value == 0)
        return 1;
    auto estimate = static_cast<int>(std::bit_width(value) * 1233 >> 12);  // about log10(2^bits)
    return estimate + (value >= POWERS_OF_TEN[estimate] ? 1 : 0);
}

// Writes scaled / 10^precision with `precision` decimals, two digits at a
// time from the end, straight into `out`: faster than std::to_chars with a
// point slipped in afterwards.
char* writeScaled(char* out, std::uint64_t scaled, int precision)
{
    int integerDigits = std::max(decimalDigits(scaled) - precision, 1);
    char* const end = out + integerDigits + (precision > 0 ? 1 : 0) + precision;
    char* start = end;
    auto pushPair = [&](std::uint64_t pair) {
        start -= 2;
        std::memcpy(start, DIGIT_PAIRS + 2 * pair, 2);
    };
    int decimals = precision;
    for (; decimals >= 2; decimals -= 2, scaled /= 100)
        pushPair(scaled % 100);
    if (decimals == 1) {
        *--start = static_cast<char>('0' + scaled % 10);
        scaled /= 10;
    }
    if (precision > 0)
        *--start = '.';
    for (; scaled >= 100; scaled /= 100)
        pushPair(scaled % 100);
    if (scaled >= 10)
        pushPair(scaled);
    else
        *--start = static_cast<char>('0' + scaled);
    return end;
}

}  // namespace

char* formatFixed(char* out, double value, int precision)
{
    auto bits = bitCast<std::uint64_t>(value);
    int biasedExponent = static_cast<int>((bits >> FRACTION_BITS) & EXPONENT_ALL_ONES);
    std::uint64_t fraction = bits & (IMPLICIT_BIT - 1);
    const bool negative = (bits >> SIGN_SHIFT) != 0;
    if (biasedExponent == EXPONENT_ALL_ONES)
        return formatNonFinite(out, negative, fraction != 0);
    // value = mantissa * 2^exponent; subnormals (biased exponent 0) have no
    // implicit bit and the exponent of the smallest normal numbers.
    std::uint64_t mantissa = biasedExponent == 0 ? fraction : fraction | IMPLICIT_BIT;
    int exponent = (biasedExponent == 0 ? 1 : biasedExponent) - EXPONENT_BIAS - FRACTION_BITS;
    std::uint64_t scale = POWERS_OF_TEN[precision];
    std::uint64_t scaled = 0;
    if (!scaleExactly(mantissa, exponent, scale, scaled))
        return formatFixedSlow(out, value, precision);

    if (negative)
        *out++ = '-';
    return writeScaled(out, scaled, precision);
}

void appendFixed(std::string& text, double value, int precision)
{
    char digits[FIXED_MAX_CHARS];
    text.append(digits, formatFixed(digits, value, precision));
}
