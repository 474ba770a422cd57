// Telling quarvel's own text from a logger file: the text of every option
// set and header mode is recognised, and no logger file is.
#include "owntext.h"

#include "convert.h"
#include "logbuilder.h"

#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

bool isOwnText(const std::string& bytes)
{
    return ::isOwnText(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

struct StartCase {
    std::string bytes;
    bool ownText;
};

TEST(IsOwnText, LooksAtTheFirstLineOnly)
{
    const std::string longest(FIRST_LINE_MAX - 2, '9');
    const StartCase cases[] = {
        {"", false},                            // an empty log as well
        {"\r\n", true},                         // a record of no field
        {"\r\n\r\n", true},                     //
        {"51.000000\r\n-49.000000\r\n", true},  //
        {"1073741824.000,-3,500,2,-nan,inf,-100,nan\r\n", true},
        {"1,2\r\n\x01\x02\xff", true},  // what follows the first line does not count
        {"%ADC CHANNEL         : 3\r\n%SAMPLE PERIOD       : 500 ms\r\n", true},
        {"%ADC CHANNEL         : -2147483648\r\n", true},
        {"%ADC CHANNEL         : 12345678901\r\n", false},
        {"%ADC CHANNEL         : \r\n", false},
        {"%ADC CHANNEL         : -\r\n", false},
        {"%ADC CHANNEL         : 3 \r\n", false},
        {"%ADC CHANNEL : 3\r\n", false},
        {"51.000000\n", false},  // a line end that quarvel does not write
        {"51.000000\r", false},
        {"51.000000", false},
        {"51.000000 \r\n", false},
        {"51.0e3\r\n", false},
        {"\n", false},
        {longest + "\r\n", true},  // the longest first line
        {longest + "9\r\n", false},
        {std::string("\x00\x00\x00\x03\x00\x00\x01\xf4\r\n", 10), false},
        {std::string("\xff\xff\xff\xfd\r\n", 6), false},
    };
    for (const StartCase& start : cases)
        EXPECT_EQ(isOwnText(start.bytes), start.ownText) << start.bytes;
}

// Logs whose text starts in every way quarvel's can: with header lines or
// records, fields at their longest and shortest, non-finite numbers, blocks
// without samples first, a block cut short, and text beyond 4 KiB.
std::vector<std::string> textSources()
{
    TestBlock extreme = makeBlock({-32768, 32767});
    extreme.adcChan = INT32_MIN;
    extreme.samplePeriod = UINT32_MAX;
    extreme.firstSampleTime = INT32_MIN;
    extreme.calGain = -1.0e34F;
    extreme.calOffset = -FLT_MAX;
    TestBlock longValue = makeBlock({-32768});
    longValue.calGain = FLT_MAX / 32768;
    longValue.calOffset = -FLT_MIN;
    TestBlock nonFinite = makeBlock({0, 1});
    nonFinite.calGain = -std::numeric_limits<float>::quiet_NaN();
    nonFinite.calOffset = std::numeric_limits<float>::infinity();
    TestBlock empty;
    TestBlock negative;
    negative.totalSamples = INT32_MIN;
    TestBlock cut = makeBlock({7, 8, 9});
    cut.totalSamples = INT32_MAX;
    TestBlock zero = makeBlock({0});
    zero.adcChan = 0;
    zero.samplePeriod = 0;
    zero.firstSampleTime = 0;
    zero.calGain = 0.0F;
    zero.calOffset = -0.0F;
    return {encodeLog({makeBlock({100, -100})}), encodeLog({extreme}), encodeLog({longValue}), encodeLog({nonFinite}),
        encodeLog({empty, negative, makeBlock({5})}), encodeLog({cut}), encodeLog({zero}),
        encodeLog({makeBlock({1, 2}), makeBlock(std::vector<std::int16_t>(1000, -12345))})};
}

// Converts logs in this process, as quarvel does, each written once: on
// ext4 a file emptied and written again goes out to the disk at once, which
// makes thousands of conversions slow.
class Converter {
public:
    explicit Converter(const std::vector<std::string>& logs)
        : dir(
            std::filesystem::temp_directory_path() / ("quarvel-owntext-test-" + std::to_string(std::random_device{}())))
    {
        std::filesystem::create_directory(dir);
        for (std::size_t i = 0; i < logs.size(); ++i) {
            paths.push_back((dir / std::to_string(i)).string());
            std::ofstream(paths.back(), std::ios::binary) << logs[i];
        }
    }

    ~Converter()
    {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }

    // The text that quarvel writes for log `index`.
    std::string text(std::size_t index, const RunSettings& settings)
    {
        std::string& path = paths[index];
        const std::string textPath = path + ".txt";
        std::filesystem::remove(textPath);  // a new file, for the same reason
        char* operands[] = {path.data()};
        EXPECT_FALSE(failed(processFile(path.c_str(), settings, lookUpOperands(operands, 1), state)));
        std::ifstream in(textPath, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

private:
    std::filesystem::path dir;
    std::vector<std::string> paths;
    ConversionState state;
};

TEST(IsOwnText, RecognisesTheTextOfEveryOptionSetAndHeaderMode)
{
    const std::vector<std::string> logs = textSources();
    Converter converter(logs);
    testing::internal::CaptureStderr();  // the block cut short is reported each time
    for (int fields = 0; fields < 256; ++fields) {
        for (int headers : {HEADERS_ALL, HEADERS_FIRST, HEADERS_NONE}) {
            const RunSettings settings{.doTime = (fields & 1) != 0,
                .doChannel = (fields & 2) != 0,
                .doPeriod = (fields & 4) != 0,
                .doSamples = (fields & 8) != 0,
                .doGain = (fields & 16) != 0,
                .doOffset = (fields & 32) != 0,
                .doRaw = (fields & 64) != 0,
                .doCal = (fields & 128) != 0,
                .headers = headers,
                .verbose = false};
            // With header lines first, the fields do not matter to the
            // first line: each field set takes one log in turn there.
            const bool allLogs = headers == HEADERS_NONE;
            const std::size_t first = allLogs ? 0 : static_cast<std::size_t>(fields) % logs.size();
            for (std::size_t log = first; log < (allLogs ? logs.size() : first + 1); ++log) {
                const std::string text = converter.text(log, settings);
                EXPECT_FALSE(text.empty());
                EXPECT_TRUE(isOwnText(text)) << "fields " << fields << ", headers " << headers << ", log " << log
                                             << ": " << text.substr(0, text.find('\n'));
                const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
                EXPECT_TRUE(isStrictText(bytes, text.size())) << "fields " << fields << ", headers " << headers;
            }
        }
    }
    testing::internal::GetCapturedStderr();
}

TEST(IsOwnText, RecognisesNoLoggerFile)
{
    // Channels of any plausible size and the extremes of the type; every
    // other field anything at all, its extremes more often.
    std::mt19937 random(20261208);
    auto pick = [&random](std::int64_t low, std::int64_t high) {
        return std::uniform_int_distribution<std::int64_t>(low, high)(random);
    };
    const std::uint32_t extremes[] = {0, 1, 0x7fffffff, 0x80000000, 0xffffffff, 0x7f7fffff, 0xff800000, 0x7fc00000};
    auto anyField = [&]() -> std::uint32_t {
        return pick(0, 3) == 0 ? extremes[pick(0, std::size(extremes) - 1)] : static_cast<std::uint32_t>(random());
    };
    const std::int32_t extremeChannels[] = {0, -1, (1 << 24) - 1, -(1 << 24), INT32_MAX, INT32_MIN};
    for (int round = 0; round < 200000; ++round) {
        std::vector<TestBlock> blocks;
        for (std::int64_t b = pick(1, 2); b > 0; --b) {
            std::vector<std::int16_t> samples(static_cast<std::size_t>(pick(0, 8)));
            for (auto& sample : samples)
                sample = static_cast<std::int16_t>(pick(-32768, 32767));
            TestBlock block = makeBlock(samples);
            block.adcChan = pick(0, 3) == 0 ? extremeChannels[pick(0, std::size(extremeChannels) - 1)]
                                            : static_cast<std::int32_t>(pick(-(1 << 24), (1 << 24) - 1));
            block.samplePeriod = anyField();
            block.firstSampleTime = static_cast<std::int32_t>(anyField());
            if (pick(0, 3) == 0)
                block.totalSamples = static_cast<std::int32_t>(anyField());
            block.calGain = std::bit_cast<float>(anyField());
            block.calOffset = std::bit_cast<float>(anyField());
            blocks.push_back(block);
        }
        const std::string log = encodeLog(blocks);
        ASSERT_FALSE(isOwnText(log)) << "round " << round;
    }
}

}  // namespace
