// Reading -n values, and what the command line sets.
#include "settings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct DecimalCase {
    const char* text;
    bool reads;
    std::int32_t value;
};

TEST(ReadDecimal, ReadsLikeTheScanConversion)
{
    const DecimalCase cases[] = {
        {"5", true, 5},
        {"  \t\n\v\f\r42", true, 42},
        {"+7", true, 7},
        {"-7", true, -7},
        {"12abc", true, 12},
        {"007", true, 7},
        {"2147483647", true, INT32_MAX},
        {"-2147483648", true, INT32_MIN},
        {"0", true, 0},
        {"-0", true, 0},
        {"2147483648", false, 0},
        {"-2147483649", false, 0},
        {"99999999999999999999", false, 0},
        {"", false, 0},
        {"abc", false, 0},
        {"+", false, 0},
        {"-", false, 0},
        {"+-3", false, 0},
        {"--3", false, 0},
        {" - 3", false, 0},
        {"\xe9", false, 0},
    };
    for (const DecimalCase& decimal : cases) {
        std::int32_t value = 99;
        EXPECT_EQ(readDecimal(decimal.text, value), decimal.reads) << decimal.text;
        EXPECT_EQ(value, decimal.reads ? decimal.value : 99) << decimal.text;
    }
}

// Scans `args`, after the program name, into `settings` as main does.
CommandLine scan(std::vector<std::string> args, RunSettings& settings)
{
    args.insert(args.begin(), "quarvel");
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    quarvel::OptionScan optionScan;
    return scanCommandLine(static_cast<int>(args.size()), argv.data(), settings, optionScan);
}

CommandLine scan(std::vector<std::string> args)
{
    RunSettings settings;
    return scan(std::move(args), settings);
}

TEST(ScanCommandLine, EachOptionSetsItsSetting)
{
    RunSettings settings;
    ASSERT_EQ(scan({"-tcpNgorCqds", "-n", "-3"}, settings), CommandLine::CONVERT);
    EXPECT_TRUE(settings.doTime && settings.doChannel && settings.doPeriod && settings.doSamples);
    EXPECT_TRUE(settings.doGain && settings.doOffset && settings.doRaw);
    EXPECT_FALSE(settings.doCal);
    EXPECT_FALSE(settings.verbose);
    EXPECT_TRUE(settings.debug);
    EXPECT_EQ(settings.headers, HEADERS_FIRST);
    EXPECT_EQ(settings.modulus, -3);
}

TEST(ScanCommandLine, StartsFromTheDefaultsEveryTime)
{
    RunSettings settings;
    ASSERT_EQ(scan({"-tSq", "-n7"}, settings), CommandLine::CONVERT);
    ASSERT_EQ(scan({"f"}, settings), CommandLine::CONVERT);
    EXPECT_FALSE(settings.doTime);
    EXPECT_TRUE(settings.doCal);
    EXPECT_TRUE(settings.verbose);
    EXPECT_EQ(settings.headers, HEADERS_DFLT);
    EXPECT_EQ(settings.modulus, MODULUS_DFLT);
}

TEST(ScanCommandLine, OutcomeOfEachKindOfCommandLine)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(scan({}), CommandLine::USAGE);
    EXPECT_EQ(scan({"-q"}), CommandLine::CONVERT);
    EXPECT_EQ(scan({"-y"}), CommandLine::FAILED);
    EXPECT_EQ(scan({"-n", "0"}), CommandLine::FAILED);
    EXPECT_EQ(scan({"-n", "0", "-n", "-1"}), CommandLine::CONVERT);
    testing::internal::GetCapturedStderr();
}

TEST(HeaderModeName, NamesEveryMode)
{
    EXPECT_STREQ(headerModeName(HEADERS_ALL), "ALL");
    EXPECT_STREQ(headerModeName(HEADERS_FIRST), "FIRST");
    EXPECT_STREQ(headerModeName(HEADERS_NONE), "NONE");
    EXPECT_STREQ(headerModeName(0), "FIRST");
}

}  // namespace
