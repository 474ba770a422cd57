// End-to-end behaviour of the built quarvel: command line, console text and
// the exact bytes of the text files.
#include "logbuilder.h"
#include "messages.h"
#include "reference.h"
#include "runner.h"

#include <cmath>
#include <cstdlib>
#include <random>

namespace {

const TestBlock EXAMPLE = makeBlock({100, -100});  // channel 3, 500 ms, 2^30 s, gain 0.5, offset 1

const std::string EXAMPLE_SUMMARY = "ADC CHANNEL         : 3\n"
                                    "SAMPLE PERIOD       : 500 ms\n"
                                    "FIRST SAMPLE LOGGED : Sat Jan 10 13:37:04 2004\n"
                                    "TOTAL SAMPLES       : 2\n"
                                    "CALIBRATION OFFSET  : 1.000000\n"
                                    "CALIBRATION GAIN    : 0.500000\n";

const std::string EXAMPLE_HEADER_LINES = "%ADC CHANNEL         : 3\r\n"
                                         "%SAMPLE PERIOD       : 500 ms\r\n"
                                         "%FIRST SAMPLE LOGGED : Sat Jan 10 13:37:04 2004\r\n"
                                         "%TOTAL SAMPLES       : 2\r\n"
                                         "%CALIBRATION OFFSET  : 1.000000\r\n"
                                         "%CALIBRATION GAIN    : 0.500000\r\n";

const std::string USAGE = "\nusage: quarvel [-cdgnNopqsSt] [logfile]\n\n"
                          " c     : include channel in output record            [FALSE]\n"
                          " C     : suppress calibrated value in output record  [FALSE]\n"
                          " d     : enable debug output                         [FALSE]\n"
                          " g     : include gain in output record               [FALSE]\n"
                          " n <N> : print every Nth record                      [1]\n"
                          " N     : include total samples in output record      [FALSE]\n"
                          " o     : include offset in output record             [FALSE]\n"
                          " p     : include period in output record             [FALSE]\n"
                          " q     : disable verbose output                      [FALSE]\n"
                          " r     : include raw counts in output record         [FALSE]\n"
                          " s     : suppress all headers after the first        [ALL]\n"
                          " S     : suppress all headers                        [ALL]\n"
                          " t     : include time in output record               [FALSE]\n"
                          "\n\n"
                          "Examples:\n\n"
                          "process file 1.002, process every 1024th sample, suppress\n"
                          "headers, output format: time,channel,calibratedOutput\n"
                          "\tquarvel -Sqtcn 1024 1.002\n\n"
                          "process file 1.002, process all samples, include first header\n"
                          " only, output format: time,channel,gain,offset,rawOutput\n"
                          "\tquarvel -sqtcgorC 1.002\n"
                          "\n\n";

std::string report(const char* settingsLine, const char* format)
{
    return std::string(settingsLine) + "\noutput record format: " + format + "\r\n\r\n";
}

TEST_F(QuarvelTest, NoArgumentsPrintUsageAndSucceed)
{
    RunResult result = run({});
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, USAGE);
    EXPECT_EQ(result.status, 0);
}

TEST_F(QuarvelTest, DefaultsConvertTheExampleBlock)
{
    write("1.002", encodeLog({EXAMPLE}));
    RunResult result = run({"1.002"});
    EXPECT_EQ(afterBanner(result.out), EXAMPLE_SUMMARY);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(read("1.002.txt"), EXAMPLE_HEADER_LINES + "51.000000\r\n-49.000000\r\n");
}

struct CommandCase {
    std::vector<std::string> args;
    bool banner;
    std::string out;  // after the banner
    std::string err;
    int status;
};

class CommandLineTest : public QuarvelTest, public ::testing::WithParamInterface<CommandCase> { };

TEST_P(CommandLineTest, WritesExactlyThis)
{
    write("f", encodeLog({EXAMPLE}));
    const CommandCase& expected = GetParam();
    RunResult result = run(expected.args);
    EXPECT_EQ(expected.banner ? afterBanner(result.out) : result.out, expected.out);
    EXPECT_EQ(result.err, expected.err);
    EXPECT_EQ(result.status, expected.status);
}

const std::string CONVERTED_F = "processing file: f\n" + EXAMPLE_SUMMARY;

INSTANTIATE_TEST_SUITE_P(Options, CommandLineTest,
    ::testing::Values(CommandCase{{"-q"}, false, "", "", 0},
        CommandCase{{"-d"}, true, report("headers=ALL debug=TRUE modulus=1", "calData"), "", 0},
        CommandCase{{"--help"}, true, "", "", 0}, CommandCase{{"---"}, true, "", "", 0},
        CommandCase{{"-d", "-tcr", "f"}, true,
            report("headers=ALL debug=TRUE modulus=1", "time,adcChan,rawCounts,calData") + CONVERTED_F, "", 0},
        CommandCase{{"-dtcpNgorC"}, true,
            report("headers=ALL debug=TRUE modulus=1",
                "time,adcChan,samplePeriod,totalSamples,calGain,calOffset,rawCounts"),
            "", 0},
        CommandCase{{"-C", "-d"}, true, report("headers=ALL debug=TRUE modulus=1", ""), "", 0},
        CommandCase{{"-q", "-d", "f"}, false, "processing file: f\n", "", 0},
        CommandCase{{"-qd", "--", "f"}, false, "processing file: f\n", "", 0},
        CommandCase{{"-sS", "-d"}, true, report("headers=NONE debug=TRUE modulus=1", "calData"), "", 0},
        CommandCase{{"-Ss", "-d"}, true, report("headers=FIRST debug=TRUE modulus=1", "calData"), "", 0},
        CommandCase{{"-d", "-n4t"}, true, report("headers=ALL debug=TRUE modulus=4", "calData"), "", 0},
        CommandCase{{"-dn", "-7"}, true, report("headers=ALL debug=TRUE modulus=-7", "calData"), "", 0},
        CommandCase{{"-dn", " \t+12xyz"}, true, report("headers=ALL debug=TRUE modulus=12", "calData"), "", 0},
        CommandCase{{"-dn", "+-3"}, true, report("headers=ALL debug=TRUE modulus=1", "calData"), "", 0},
        CommandCase{{"-n", "5", "-n", "x", "-d"}, true, report("headers=ALL debug=TRUE modulus=5", "calData"), "", 0},
        CommandCase{{"-n", "0", "-n", "3", "-d"}, true, report("headers=ALL debug=TRUE modulus=3", "calData"), "", 0},
        CommandCase{
            {"-dn", "-2147483648"}, true, report("headers=ALL debug=TRUE modulus=-2147483648", "calData"), "", 0},
        CommandCase{{"-dn", "2147483648"}, true, report("headers=ALL debug=TRUE modulus=1", "calData"), "", 0},
        CommandCase{
            {"-dn", "-99999999999999999999999"}, true, report("headers=ALL debug=TRUE modulus=1", "calData"), "", 0},
        CommandCase{{"-n", "abc", "-d", "f"}, true, report("headers=ALL debug=TRUE modulus=1", "calData") + CONVERTED_F,
            "", 0}));

INSTANTIATE_TEST_SUITE_P(OptionErrors, CommandLineTest,
    ::testing::Values(CommandCase{{"-x", "f"}, false, "", "quarvel: unknown option -- x\nUnknown option `-x'.\n", 1},
        CommandCase{{"-t", "-x", "-y", "f"}, false, "", "quarvel: unknown option -- x\nUnknown option `-x'.\n", 1},
        CommandCase{{"-n"}, false, "", "quarvel: option requires an argument -- n\nUnknown option `-n'.\n", 1},
        CommandCase{{"-q", "-tn"}, false, "", "quarvel: option requires an argument -- n\nUnknown option `-n'.\n", 1},
        CommandCase{{"-:"}, false, "", "quarvel: unknown option -- :\nUnknown option `-:'.\n", 1},
        CommandCase{{"-q-"}, false, "", "quarvel: unknown option -- -\nUnknown option `--'.\n", 1},
        CommandCase{{"-\x01"}, false, "", "quarvel: unknown option -- \x01\nUnknown option character `\\x1'.\n", 1},
        CommandCase{{"-\x7f"}, false, "", "quarvel: unknown option -- \x7f\nUnknown option character `\\x7f'.\n", 1},
        CommandCase{{"-\x80"}, false, "", "quarvel: unknown option -- \x80\nUnknown option character `\\x80'.\n", 1},
        CommandCase{{"-\xe9"}, false, "", "quarvel: unknown option -- \xe9\nUnknown option character `\\xe9'.\n", 1},
        CommandCase{{"-n", "0", "f"}, false, "", "Modulus must not be 0.\n", 1},
        CommandCase{{"-dn0"}, false, "", "Modulus must not be 0.\n", 1},
        CommandCase{{"-n", "0", "-x"}, false, "", "quarvel: unknown option -- x\nUnknown option `-x'.\n", 1}));

// In debug mode a reason follows each failure to open a file.
const std::string NO_SUCH_FILE = messageText(OPEN_REASON, "No such file or directory");

INSTANTIATE_TEST_SUITE_P(Operands, CommandLineTest,
    ::testing::Values(CommandCase{{"-qd", "f", "-t"}, false, "processing file: f\nprocessing file: -t\n",
                          messageText(OPEN_INPUT_FAILED, "-t") + NO_SUCH_FILE, 1},
        CommandCase{{"-qd", "--", "-t"}, false, "processing file: -t\n",
            messageText(OPEN_INPUT_FAILED, "-t") + NO_SUCH_FILE, 1},
        CommandCase{{"-qd", "-"}, false, "processing file: -\n", messageText(OPEN_INPUT_FAILED, "-") + NO_SUCH_FILE, 1},
        CommandCase{{"-qd", ""}, false, "processing file: \n", messageText(OPEN_INPUT_FAILED, "") + NO_SUCH_FILE, 1}));

TEST_F(QuarvelTest, OptionErrorConvertsNothing)
{
    write("f", encodeLog({EXAMPLE}));
    run({"-t", "-x", "f"});
    run({"-n", "0", "f"});
    EXPECT_FALSE(exists("f.txt"));
}

TEST_F(QuarvelTest, DiagnosticsNameTheInvocationWithoutItsFolder)
{
    // argv[0] is the full path of the binary; only its last component shows.
    RunResult result = run({"-z"});
    EXPECT_EQ(result.err, "quarvel: unknown option -- z\nUnknown option `-z'.\n");
}

TEST_F(QuarvelTest, OptionsAfterOperandsAreOperandsByDefault)
{
    write("f", encodeLog({EXAMPLE}));
    RunResult result = run({"-q", "f", "-t"});
    EXPECT_EQ(read("f.txt"), EXAMPLE_HEADER_LINES + "51.000000\r\n-49.000000\r\n");
    EXPECT_EQ(result.err, messageText(OPEN_INPUT_FAILED, "-t"));
}

TEST_F(QuarvelTest, PosixlyIncorrectModeTakesOptionsAfterOperands)
{
    write("f", encodeLog({EXAMPLE}));
    write("g", encodeLog({EXAMPLE}));
    for (const char* variable : {"POSIXLY_INCORRECT_GETOPT=", "POSIXLY_INCORRECT_GETOPT=1"}) {
        RunResult result = run({"f", "-qd", "g", "-St", "-n", "1", "--", "-C"}, {variable});
        EXPECT_EQ(result.out, "processing file: f\nprocessing file: g\nprocessing file: -C\n");
        EXPECT_EQ(result.err, messageText(OPEN_INPUT_FAILED, "-C") + NO_SUCH_FILE);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(read("f.txt"), "1073741824.000,51.000000\r\n1073741824.500,-49.000000\r\n");
        EXPECT_EQ(read("g.txt"), read("f.txt"));
    }
}

TEST_F(QuarvelTest, RecordFieldsComeInTheirFixedOrder)
{
    write("f", encodeLog({EXAMPLE}));
    run({"-qSrogNpct", "f"});
    EXPECT_EQ(read("f.txt"),
        "1073741824.000,3,500,2,0.500000,1.000000,100,51.000000\r\n"
        "1073741824.500,3,500,2,0.500000,1.000000,-100,-49.000000\r\n");
}

TEST_F(QuarvelTest, RecordWithNoFieldIsAnEmptyLine)
{
    write("f", encodeLog({EXAMPLE}));
    run({"-qSC", "f"});
    EXPECT_EQ(read("f.txt"), "\r\n\r\n");
}

TEST_F(QuarvelTest, TimeStampsRestartAtEveryBlock)
{
    TestBlock second = makeBlock({7});
    second.firstSampleTime = 1000;
    second.adcChan = -2;
    write("f", encodeLog({EXAMPLE, second}));
    run({"-qStcC", "f"});
    EXPECT_EQ(read("f.txt"), "1073741824.000,3\r\n1073741824.500,3\r\n1000.000,-2\r\n");
}

TEST_F(QuarvelTest, ModulusSelectsEveryNthSampleOfEachBlock)
{
    TestBlock block = makeBlock({0, 1, 2, 3, 4, 5, 6, 7, 8, 9});
    block.samplePeriod = 250;
    write("f", encodeLog({block, block}));
    std::string everyFourth = "1073741824.000,0\r\n1073741825.000,4\r\n1073741826.000,8\r\n";
    for (const char* modulus : {"4", "-4"}) {
        run({"-qStrCn", modulus, "f"});
        EXPECT_EQ(read("f.txt"), everyFourth + everyFourth) << "modulus " << modulus;
    }
    std::string firstOnly = "1073741824.000,0\r\n";
    for (const char* modulus : {"10", "11", "2147483647", "-2147483648"}) {
        run({"-qStrCn", modulus, "f"});
        EXPECT_EQ(read("f.txt"), firstOnly + firstOnly) << "modulus " << modulus;
    }
    run({"-qStrCn", "-1", "f"});
    EXPECT_EQ(read("f.txt"),
        referenceText({block, block}, {.doTime = true, .doRaw = true, .doCal = false, .headers = HEADERS_NONE}));
}

TEST_F(QuarvelTest, HeaderModesAndConsoleSummary)
{
    TestBlock empty;
    TestBlock negative;
    negative.totalSamples = -5;
    std::vector<TestBlock> blocks{EXAMPLE, empty, negative, EXAMPLE};
    write("f", encodeLog(blocks));
    std::string summaries;
    for (const TestBlock& block : blocks)
        summaries += referenceSummary(block);
    for (int headers : {1, 2, 3}) {
        const char* flag = headers == 1 ? "-t" : headers == 2 ? "-ts" : "-tS";
        RunResult result = run({flag, "f"});
        EXPECT_EQ(afterBanner(result.out), summaries);
        EXPECT_EQ(read("f.txt"), referenceText(blocks, {.doTime = true, .headers = headers}));
    }
    run({"-q", "f"});
    EXPECT_EQ(read("f.txt"),
        EXAMPLE_HEADER_LINES + "51.000000\r\n-49.000000\r\n" + referenceHeaderLines(empty)
            + referenceHeaderLines(negative) + EXAMPLE_HEADER_LINES + "51.000000\r\n-49.000000\r\n");
}

TEST_F(QuarvelTest, FirstSampleTimeFollowsTheTimeZone)
{
    TestBlock block = makeBlock({});
    block.firstSampleTime = -1;
    write("f", encodeLog({EXAMPLE, block}));
    RunResult utc = run({"-S", "f"});
    EXPECT_NE(utc.out.find("FIRST SAMPLE LOGGED : Sat Jan 10 13:37:04 2004\n"), std::string::npos);
    EXPECT_NE(utc.out.find("FIRST SAMPLE LOGGED : Wed Dec 31 23:59:59 1969\n"), std::string::npos);
    RunResult east = run({"-q", "f"}, {"TZ=QRV-5:30"});
    EXPECT_NE(read("f.txt").find("%FIRST SAMPLE LOGGED : Sat Jan 10 19:07:04 2004\r\n"), std::string::npos);
    EXPECT_NE(read("f.txt").find("%FIRST SAMPLE LOGGED : Thu Jan  1 05:29:59 1970\r\n"), std::string::npos);
}

TEST_F(QuarvelTest, PeriodsOfTwoToThe31AndAboveStepBackwards)
{
    TestBlock block = makeBlock({1, 2, 3});
    block.samplePeriod = 0x80000000U;
    TestBlock largest = makeBlock({4, 5});
    largest.samplePeriod = 0xffffffffU;
    write("f", encodeLog({block, largest}));
    RunResult result = run({"-tpS", "f"});
    EXPECT_NE(result.out.find("SAMPLE PERIOD       : 2147483648 ms\n"), std::string::npos);
    EXPECT_NE(result.out.find("SAMPLE PERIOD       : 4294967295 ms\n"), std::string::npos);
    EXPECT_EQ(read("f.txt"),
        "1073741824.000,2147483648,1.500000\r\n"
        "1071594340.352,2147483648,2.000000\r\n"
        "1069446856.704,2147483648,2.500000\r\n"
        "1073741824.000,4294967295,3.000000\r\n"
        "1073741823.999,4294967295,3.500000\r\n");
}

TEST_F(QuarvelTest, TimeIsARunningSumOfTheSamplePeriod)
{
    // 0.001 is not exact in binary: the running sum drifts from i * step,
    // and the drift shows in the third decimal now and then.
    TestBlock block = makeBlock(std::vector<std::int16_t>(20000, 1));
    block.samplePeriod = 1;
    block.firstSampleTime = 1600000000;
    write("f", encodeLog({block}));
    run({"-qStC", "f"});
    EXPECT_EQ(read("f.txt"), referenceText({block}, {.doTime = true, .doCal = false, .headers = HEADERS_NONE}));
}

TEST_F(QuarvelTest, NonFiniteCalibrationPrintsAsPrintfDoes)
{
    std::vector<TestBlock> blocks;
    for (float gain : {INFINITY, -INFINITY, NAN, -NAN, 0.0F}) {
        for (float offset : {0.0F, INFINITY, -NAN}) {
            TestBlock block = makeBlock({0, 1, -1, 32767, -32768});
            block.calGain = gain;
            block.calOffset = offset;
            blocks.push_back(block);
        }
    }
    write("f", encodeLog(blocks));
    RunResult result = run({"-go", "f"});
    std::string summaries;
    for (const TestBlock& block : blocks)
        summaries += referenceSummary(block);
    EXPECT_EQ(afterBanner(result.out), summaries);
    EXPECT_EQ(read("f.txt"), referenceText(blocks, {.doGain = true, .doOffset = true}));
    EXPECT_NE(read("f.txt").find(",-nan\r\n"), std::string::npos);
}

TEST_F(QuarvelTest, RandomLogsMatchPrintfReference)
{
    std::mt19937 random(20261208);
    auto pick
        = [&random](auto low, auto high) { return std::uniform_int_distribution<std::int64_t>(low, high)(random); };
    auto anyFloat = [&] { return std::bit_cast<float>(static_cast<std::uint32_t>(random())); };
    for (int round = 0; round < 8; ++round) {
        std::vector<TestBlock> blocks;
        for (int b = pick(1, 6); b > 0; --b) {
            std::vector<std::int16_t> samples(static_cast<std::size_t>(pick(0, 3000)));
            for (auto& sample : samples)
                sample = static_cast<std::int16_t>(pick(-32768, 32767));
            TestBlock block = makeBlock(samples);
            block.adcChan = static_cast<std::int32_t>(pick(INT32_MIN, INT32_MAX));
            block.samplePeriod = static_cast<std::uint32_t>(pick(0, UINT32_MAX));
            block.firstSampleTime = static_cast<std::int32_t>(pick(INT32_MIN, INT32_MAX));
            block.calGain = round % 2 ? anyFloat() : static_cast<float>(pick(-1000, 1000)) / 64;
            block.calOffset = round % 2 ? anyFloat() : static_cast<float>(pick(-100000, 100000)) / 1000;
            blocks.push_back(block);
        }
        RunSettings options{.doTime = true,
            .doChannel = true,
            .doPeriod = round % 3 == 0,
            .doSamples = true,
            .doGain = true,
            .doOffset = round % 2 == 0,
            .doRaw = true,
            .doCal = true,
            .modulus = static_cast<std::int32_t>(pick(1, 3)),
            .headers = static_cast<int>(round % 3 + 1)};
        write("f", encodeLog(blocks));
        std::string modulus = std::to_string(options.modulus);
        std::string flags = std::string("-qtcNgr") + (options.doPeriod ? "p" : "") + (options.doOffset ? "o" : "")
            + (options.headers == 2        ? "s"
                    : options.headers == 3 ? "S"
                                           : "");
        RunResult result = run({flags, "-n", modulus, "f"});
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(read("f.txt"), referenceText(blocks, options)) << "round " << round;
    }
}

TEST_F(QuarvelTest, SameRawCountsUnderOtherCalibrationsConvertAfresh)
{
    // Formatted tails are kept across blocks and files while the channel,
    // period, count, gain and offset stay the same; blocks and files that
    // repeat raw counts under anything else must not reuse them. The blocks
    // are long enough for the tails to be kept.
    std::vector<std::int16_t> samples;
    for (int i = 0; i < 5000; ++i)
        samples.push_back(static_cast<std::int16_t>(i % 7 == 0 ? 32767 : (i % 5) * 1000 - 2000));
    const TestBlock first = makeBlock(samples);
    TestBlock otherChannel = first;
    otherChannel.adcChan = 9;
    TestBlock hiddenGain = first;  // prints as 0.500000 too
    hiddenGain.calGain = std::nextafter(0.5F, 1.0F);
    TestBlock otherOffset = first;
    otherOffset.calOffset = -7.25F;
    TestBlock longTails = first;
    longTails.calGain = 3.0e38F;  // tails too long to keep
    TestBlock shorter = makeBlock(std::vector<std::int16_t>(samples.begin(), samples.begin() + 4999));
    const std::vector<TestBlock> a{first, otherChannel, first, hiddenGain, otherOffset, longTails, shorter, first};
    const std::vector<TestBlock> b{first, hiddenGain};
    write("a", encodeLog(a));
    write("b", encodeLog(b));
    for (const char* flags : {"-qScgr", "-qStpN"}) {
        RunResult result = run({flags, "a", "b"});
        EXPECT_EQ(result.status, 0);
        RunSettings options{.doChannel = true, .doGain = true, .doRaw = true, .headers = HEADERS_NONE};
        if (flags == std::string("-qStpN"))
            options = {.doTime = true, .doPeriod = true, .doSamples = true, .headers = HEADERS_NONE};
        EXPECT_EQ(read("a.txt"), referenceText(a, options)) << flags;
        EXPECT_EQ(read("b.txt"), referenceText(b, options)) << flags;
    }
}

}  // namespace
