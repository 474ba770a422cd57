// The calibrated value: the sum rounded to double, then to float, and a NaN
// sign that does not depend on the CPU.
#include "record.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

namespace {

struct NanCase {
    std::uint32_t gainBits;
    std::uint32_t offsetBits;
    std::int16_t raw;
    bool negative;
};

constexpr std::uint32_t PLUS_NAN = 0x7fc00000;
constexpr std::uint32_t MINUS_NAN = 0xffc00000;
constexpr std::uint32_t PLUS_INF = 0x7f800000;
constexpr std::uint32_t MINUS_INF = 0xff800000;
constexpr std::uint32_t ONE = 0x3f800000;

TEST(Calibrate, NanTakesTheSignThatX8664GivesIt)
{
    // x86-64 passes an operand's NaN on (the product's first), and makes a
    // negative NaN of 0 × inf and inf - inf. ARM makes positive ones.
    const NanCase cases[] = {
        {PLUS_NAN, MINUS_NAN, 1, false}, {MINUS_NAN, PLUS_NAN, 1, true}, {MINUS_NAN, ONE, -1, true},
        {PLUS_NAN, ONE, -1, false}, {ONE, PLUS_NAN, 1, false}, {ONE, MINUS_NAN, -1, true},
        {PLUS_INF, PLUS_NAN, 0, true}, {MINUS_INF, ONE, 0, true}, {PLUS_INF, MINUS_INF, 1, true},
        {MINUS_INF, PLUS_INF, 1, true}, {0x7f800001, ONE, 3, false},  // a signalling NaN comes out quiet, sign kept
    };
    for (const NanCase& c : cases) {
        float value = calibrate(c.raw, std::bit_cast<float>(c.gainBits), std::bit_cast<float>(c.offsetBits));
        EXPECT_TRUE(std::isnan(value)) << std::hex << c.gainBits << " " << c.offsetBits << " " << c.raw;
        EXPECT_EQ(std::signbit(value), c.negative) << std::hex << c.gainBits << " " << c.offsetBits << " " << c.raw;
    }
}

TEST(Calibrate, RoundsTheSumToDoubleThenToFloat)
{
    // The exact sum lies just below the midpoint of two floats; rounded to
    // double it lands on the midpoint, which then rounds to the even float,
    // the upper one. The float nearest the exact sum is 3.9053051471710205.
    const float roundedTwice = calibrate(
        3, std::bit_cast<float>(std::uint32_t{0x3fa6a059}), std::bit_cast<float>(std::uint32_t{0xa279f086}));
    EXPECT_EQ(static_cast<double>(roundedTwice), 3.9053053855895996);

    // Rounding the sum first to a 64-bit mantissa (x87) and then to float
    // gives -931921265688576 here.
    const float gain = std::bit_cast<float>(std::uint32_t{0x51378800});    // 49266294784
    const float offset = std::bit_cast<float>(std::uint32_t{0xb8764c21});  // -5.8721871e-05
    EXPECT_EQ(calibrate(-18916, gain, offset), -931921198579712.0F);
    EXPECT_EQ(calibrate(100, 0.5F, 1.0F), 51.0F);
    EXPECT_EQ(calibrate(-32768, std::numeric_limits<float>::max(), 0.0F), -std::numeric_limits<float>::infinity());
}

}  // namespace
