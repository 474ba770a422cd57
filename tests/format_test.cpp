// The fast fixed-point formatting must equal printf's "%f" and "%.3f" to the
// last byte, including rounding of exact ties and non-finite values.
#include "format.h"

#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>

namespace {

std::string fast(double value, int precision)
{
    char text[FIXED_MAX_CHARS];
    return {text, formatFixed(text, value, precision)};
}

std::string reference(double value, int precision)
{
#ifdef _WIN32
    // MinGW's printf leaves out a NaN's sign: spell non-finite values as glibc does.
    if (!std::isfinite(value))
        return std::string(std::signbit(value) ? "-" : "") + (std::isnan(value) ? "nan" : "inf");
#endif
    char text[FIXED_MAX_CHARS + 8];
    std::snprintf(text, sizeof text, "%.*f", precision, value);
    return text;
}

TEST(FormatFixed, HardValuesEqualPrintf)
{
    const double values[] = {
        0.0,
        -0.0,
        1.0,
        -1.0,
        0.5,
        1.5,
        2.5,
        -2.5,
        0.0005,
        0.0015,
        0.0025,
        0.0078125,
        0.0234375,
        -0.0078125,
        0.0000005,
        0.0000015,
        0.0000025,
        1e-7,
        -1e-7,
        0.1,
        0.2,
        0.3,
        123456.789,
        999999.9999995,
        9.9999995,
        0.9999995,
        1073741824.5,
        2147483647.0,
        -2147483648.0,
        4294967295.0,
        1e15 + 0.5,
        9007199254740993.0,
        18446744073709551615.0,
        18446744073709551616.0,
        1.8446744073709552e19 * 2,
        3.4e38,
        FLT_MAX,
        -FLT_MAX,
        FLT_MIN,
        FLT_TRUE_MIN,
        DBL_MIN,
        DBL_TRUE_MIN,
        DBL_MAX,
        -DBL_MAX,
        INFINITY,
        -INFINITY,
        NAN,
        -NAN,
        static_cast<double>(3.4e38F),
        static_cast<double>(0.1F),
        static_cast<double>(-49.0F),
        static_cast<double>(1.0F / 3.0F),
        std::ldexp(1.0, -64),
        std::ldexp(1.0, -65),
        std::ldexp(3.0, -66),
        std::ldexp(1.0, 63),
        std::ldexp(1.0, 64),
        std::ldexp(0x1fffffffffffffp0, -60),
        std::ldexp(0x1fffffffffffffp0, -10),
    };
    for (double value : values) {
        for (int precision = 0; precision <= 9; ++precision)
            EXPECT_EQ(fast(value, precision), reference(value, precision)) << value << " %." << precision << "f";
    }
}

// Under qemu the random samples below take twenty times as long: an
// emulated build checks a tenth of them, along the same code paths.
#ifdef QUARVEL_TEST_EMULATED
constexpr int SAMPLE_DIVISOR = 10;
#else
constexpr int SAMPLE_DIVISOR = 1;
#endif

TEST(FormatFixed, RandomFloatBitPatternsEqualPrintf)
{
    std::mt19937 random(1);
    for (int i = 0; i < 2'000'000 / SAMPLE_DIVISOR; ++i) {
        auto value = static_cast<double>(std::bit_cast<float>(static_cast<std::uint32_t>(random())));
        ASSERT_EQ(fast(value, 6), reference(value, 6)) << std::hexfloat << value;
    }
}

TEST(FormatFixed, RandomDoubleBitPatternsEqualPrintf)
{
    std::mt19937_64 random(2);
    for (int i = 0; i < 500'000 / SAMPLE_DIVISOR; ++i) {
        double value = std::bit_cast<double>(random());
        ASSERT_EQ(fast(value, 3), reference(value, 3)) << std::hexfloat << value;
        ASSERT_EQ(fast(value, 6), reference(value, 6)) << std::hexfloat << value;
    }
}

TEST(FormatFixed, CalibratedValuesEqualPrintf)
{
    // Small gains and offsets as a real logger has them, over every raw count.
    std::mt19937 random(3);
    std::uniform_real_distribution<float> gain(-0.01F, 0.01F);
    std::uniform_real_distribution<float> offset(-100.0F, 100.0F);
    for (int round = 0; round < 20 / SAMPLE_DIVISOR; ++round) {
        float g = gain(random);
        float o = offset(random);
        for (int raw = -32768; raw <= 32767; ++raw) {
            auto value = static_cast<double>(static_cast<float>(raw * static_cast<double>(g) + o));
            ASSERT_EQ(fast(value, 6), reference(value, 6)) << std::hexfloat << value;
        }
    }
}

TEST(FormatFixed, RunningSumTimeStampsEqualPrintf)
{
    std::mt19937 random(4);
    std::uniform_int_distribution<std::int32_t> anyInt(INT32_MIN, INT32_MAX);
    for (int block = 0; block < 200 / SAMPLE_DIVISOR; ++block) {
        double step = anyInt(random) % (block % 2 ? 100000 : 2000) / 1000.0;
        double time = anyInt(random);
        for (int i = 0; i < 10'000; ++i, time += step)
            ASSERT_EQ(fast(time, 3), reference(time, 3)) << std::hexfloat << time;
    }
}

}  // namespace
