// End-to-end behaviour on damaged input and unusable paths: exact messages,
// exit status, and every complete sample before the damage in the output.
#include "logbuilder.h"
#include "messages.h"
#include "reference.h"
#include "runner.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

namespace {

TestBlock blockOf(int samples)
{
    std::vector<std::int16_t> values;
    for (int i = 0; i < samples; ++i)
        values.push_back(static_cast<std::int16_t>(i * 7 - 300));
    return makeBlock(values);
}

const RunSettings RAW_AND_TIME{.doTime = true, .doRaw = true, .doCal = false, .headers = HEADERS_NONE};

TEST_F(QuarvelTest, EmptyFileGivesEmptyTextFile)
{
    write("f", "");
    RunResult result = run({"-d", "f"});
    EXPECT_EQ(afterBanner(result.out),
        "headers=ALL debug=TRUE modulus=1\noutput record format: calData\r\n\r\n"
        "processing file: f\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(exists("f.txt"));
    EXPECT_EQ(read("f.txt"), "");
}

TEST_F(QuarvelTest, HeaderFragmentEndsTheFileSilently)
{
    const std::string complete = encodeLog({blockOf(3)});
    const std::string nextHeader = encodeHeader(blockOf(3));
    for (std::size_t fragment : {1, 2, 12, 23}) {
        write("f", complete + nextHeader.substr(0, fragment));
        RunResult result = run({"-qStrC", "f"});
        EXPECT_EQ(result.err, "") << fragment;
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(read("f.txt"), referenceText({blockOf(3)}, RAW_AND_TIME)) << fragment;
    }
}

struct TruncationCase {
    int declared;
    int present;
    bool oddByte;
};

TEST_F(QuarvelTest, TruncatedSampleAreaKeepsEveryCompleteSample)
{
    for (TruncationCase truncation :
        {TruncationCase{5, 3, false}, TruncationCase{5, 3, true}, TruncationCase{2, 0, false},
            TruncationCase{1, 0, true}, TruncationCase{INT32_MAX, 4, false}, TruncationCase{200000, 150000, true}}) {
        TestBlock whole = blockOf(truncation.present);
        TestBlock cut = whole;
        cut.totalSamples = truncation.declared;
        std::string bytes = encodeLog({blockOf(2), cut}) + (truncation.oddByte ? "\x7f" : "");
        write("f", bytes);
        RunResult result = run({"-qStrC", "f"});
        EXPECT_EQ(result.err, messageText(TRUNCATED_BLOCK, "f", long{truncation.present}, long{truncation.declared}));
        EXPECT_EQ(result.status, 0);
        TestBlock expectedCut = whole;
        expectedCut.totalSamples = truncation.present;
        EXPECT_EQ(read("f.txt"), referenceText({blockOf(2), expectedCut}, RAW_AND_TIME))
            << truncation.declared << " " << truncation.present;
    }
}

TEST_F(QuarvelTest, TruncationIsReportedWithEverySelectedSampleKept)
{
    TestBlock cut = blockOf(10);
    cut.totalSamples = 12;
    write("f", encodeLog({cut}));
    RunResult result = run({"-qSrCn3", "f"});
    EXPECT_EQ(result.err, messageText(TRUNCATED_BLOCK, "f", 10L, 12L));
    EXPECT_EQ(read("f.txt"), "-300\r\n-279\r\n-258\r\n-237\r\n");
}

TEST_F(QuarvelTest, ZeroAndNegativeCountsConsumeNoSamples)
{
    TestBlock zero = blockOf(0);
    TestBlock negative = blockOf(0);
    negative.totalSamples = INT32_MIN;
    std::vector<TestBlock> blocks{zero, negative, blockOf(3)};
    write("f", encodeLog(blocks));
    RunResult result = run({"-qtr", "f"});
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(read("f.txt"), referenceText(blocks, {.doTime = true, .doRaw = true}));
    EXPECT_NE(read("f.txt").find("%TOTAL SAMPLES       : -2147483648\r\n"), std::string::npos);
}

TEST_F(QuarvelTest, DirectoryAsInputIsNotOpened)
{
    std::filesystem::create_directory(dir / "d");
    RunResult result = run({"-q", "d"});
    EXPECT_EQ(result.err, messageText(OPEN_INPUT_FAILED, "d"));
    EXPECT_EQ(result.status, 1);
    EXPECT_FALSE(exists("d.txt"));
}

TEST_F(QuarvelTest, MissingFileAmongGoodOnesIsSkipped)
{
    write("a", encodeLog({blockOf(2)}));
    write("b", encodeLog({blockOf(3)}));
    RunResult result = run({"-qS", "a", "missing", "b"});
    EXPECT_EQ(result.err, messageText(OPEN_INPUT_FAILED, "missing"));
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(read("a.txt"), referenceText({blockOf(2)}, {.headers = HEADERS_NONE}));
    EXPECT_EQ(read("b.txt"), referenceText({blockOf(3)}, {.headers = HEADERS_NONE}));
    EXPECT_FALSE(exists("missing.txt"));
}

TEST_F(QuarvelTest, OutputThatCannotBeCreatedIsReported)
{
    write("f", encodeLog({blockOf(2)}));
    write("g", encodeLog({blockOf(2)}));
    std::filesystem::create_directory(dir / "f.txt");
    RunResult result = run({"-qS", "f", "g"});
    EXPECT_EQ(result.err, messageText(OPEN_OUTPUT_FAILED, "f.txt"));
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(read("g.txt"), referenceText({blockOf(2)}, {.headers = HEADERS_NONE}));
}

TEST_F(QuarvelTest, FullDiskFailsTheRunButNotTheNextFile)
{
    if (!std::filesystem::exists("/dev/full"))
        GTEST_SKIP() << "this system has no /dev/full";
    write("f", encodeLog({blockOf(5)}));
    write("g", encodeLog({blockOf(2)}));
    std::filesystem::create_symlink("/dev/full", dir / "f.txt");
    RunResult result = run({"-qS", "f", "g"});
    EXPECT_EQ(result.err, messageText(WRITE_FAILED, "f.txt"));
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(read("g.txt"), referenceText({blockOf(2)}, {.headers = HEADERS_NONE}));
}

TEST_F(QuarvelTest, EmptyInputWithFullDiskSucceeds)
{
    if (!std::filesystem::exists("/dev/full"))
        GTEST_SKIP() << "this system has no /dev/full";
    // Nothing to write, so nothing fails.
    write("f", "");
    std::filesystem::create_symlink("/dev/full", dir / "f.txt");
    RunResult result = run({"-q", "f"});
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
}

TEST_F(QuarvelTest, LongPathsWorkUpToTheSystemLimit)
{
    std::filesystem::path nested;
    for (int level = 0; level < 12; ++level)
        nested /= std::string(200, static_cast<char>('a' + level));
    std::filesystem::create_directories(dir / nested);
    std::string path = (nested / "f").string();
    ASSERT_GT(path.size(), 2400U);
    write(path, encodeLog({blockOf(2)}));
    RunResult result = run({"-qS", path});
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(read(path + ".txt"), referenceText({blockOf(2)}, {.headers = HEADERS_NONE}));

    std::string tooLong = std::string(5000, 'x');
    result = run({"-q", tooLong});
    EXPECT_EQ(result.err, messageText(OPEN_INPUT_FAILED, tooLong.c_str()));
    EXPECT_EQ(result.status, 1);
}

TEST_F(QuarvelTest, OutputPathBeyondTheSystemLimitIsAnOpenFailure)
{
    // The input path fits, but with ".txt" its last component is too long.
    std::string name(253, 'n');
    write(name, encodeLog({blockOf(1)}));
    RunResult result = run({"-q", name});
    EXPECT_EQ(result.err, messageText(OPEN_OUTPUT_FAILED, (name + ".txt").c_str()));
    EXPECT_EQ(result.status, 1);
}

TEST_F(QuarvelTest, OutputFolderWithoutWritePermission)
{
    // Run as user nobody, quarvel starts through the launcher only if nobody may start that.
    using std::filesystem::perms;
    if (!launcher.empty() && (std::filesystem::status(launcher[0]).permissions() & perms::others_exec) == perms::none)
        GTEST_SKIP() << "user nobody cannot start " << launcher[0];
    write("f", encodeLog({blockOf(2)}));
    std::filesystem::permissions(dir / "f", std::filesystem::perms::all);
    // The build folder may be out of an ordinary user's reach; this one is not.
    std::filesystem::copy_file(binary, dir / "quarvel");
    binary = (dir / "quarvel").string();
    std::filesystem::permissions(dir,
        std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec | std::filesystem::perms::group_read
            | std::filesystem::perms::group_exec | std::filesystem::perms::others_read
            | std::filesystem::perms::others_exec);
    unprivileged = true;
    RunResult result = run({"-q", "f"});
    EXPECT_EQ(result.err, messageText(OPEN_OUTPUT_FAILED, "f.txt"));
    EXPECT_EQ(result.status, 1);
    EXPECT_FALSE(exists("f.txt"));
    result = run({"-qd", "f"});
    EXPECT_EQ(result.err, messageText(OPEN_OUTPUT_FAILED, "f.txt") + messageText(OPEN_REASON, "Permission denied"));
}

TEST_F(QuarvelTest, ReadErrorIsReportedAndFailsTheRun)
{
    if (!std::filesystem::exists("/proc/self/mem"))
        GTEST_SKIP() << "this system has no /proc/self/mem";
    // Reading a process's memory at offset 0 fails: nothing is mapped there.
    std::filesystem::create_symlink("/proc/self/mem", dir / "m");
    write("g", encodeLog({blockOf(2)}));
    RunResult result = run({"-qS", "m", "g"});
    EXPECT_EQ(result.err, messageText(READ_FAILED, "m"));
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(read("m.txt"), "");
    EXPECT_EQ(read("g.txt"), referenceText({blockOf(2)}, {.headers = HEADERS_NONE}));
}

TEST_F(QuarvelTest, OperandsThatLookLikeOptionsAfterTheDoubleHyphen)
{
    write("-", encodeLog({blockOf(1)}));
    write("--x", encodeLog({blockOf(2)}));
    write("-t", encodeLog({blockOf(3)}));
    RunResult result = run({"-qS", "--", "-", "--x", "-t"});
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(read("-.txt"), referenceText({blockOf(1)}, {.headers = HEADERS_NONE}));
    EXPECT_EQ(read("--x.txt"), referenceText({blockOf(2)}, {.headers = HEADERS_NONE}));
    EXPECT_EQ(read("-t.txt"), referenceText({blockOf(3)}, {.headers = HEADERS_NONE}));
}

TEST_F(QuarvelTest, UnwritableStandardOutputFailsTheRunAfterConvertingEverything)
{
    // Enough blocks that the console summaries fill stdio's buffer, so the
    // first failed write comes in the middle of the first file.
    const std::vector<TestBlock> blocks(60, blockOf(40));
    write("f", encodeLog(blocks));
    write("g", encodeLog({blockOf(3)}));
    for (Console target : {Console::FULL_DEVICE, Console::CLOSED_PIPE}) {
        if (target == Console::FULL_DEVICE && !std::filesystem::exists("/dev/full"))
            continue;  // this system has none; the closed pipe still runs
        console = target;
        RunResult result = run({"-dS", "f", "g"});
        EXPECT_EQ(result.err, STANDARD_OUTPUT_FAILED);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(read("f.txt"), referenceText(blocks, {.headers = HEADERS_NONE}));
        EXPECT_EQ(read("g.txt"), referenceText({blockOf(3)}, {.headers = HEADERS_NONE}));
    }
}

TEST_F(QuarvelTest, OutputThatIsALinkToTheInputLeavesTheInputAlone)
{
    const std::string log = encodeLog({blockOf(4)});
    write("f", log);
    write("g", log);
    write("h", encodeLog({blockOf(2)}));
    std::filesystem::create_symlink("f", dir / "f.txt");
    std::filesystem::create_hard_link(dir / "g", dir / "g.txt");
    RunResult result = run({"-qS", "f", "g", "h"});
    EXPECT_EQ(result.err, messageText(OPEN_OUTPUT_FAILED, "f.txt") + messageText(OPEN_OUTPUT_FAILED, "g.txt"));
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(read("f"), log);
    EXPECT_EQ(read("g"), log);
    EXPECT_EQ(read("h.txt"), referenceText({blockOf(2)}, {.headers = HEADERS_NONE}));
}

struct OptionSet {
    const char* options;
    RunSettings settings;
};

TEST_F(QuarvelTest, OwnTextIsNotConvertedAgain)
{
    // A second run over everything, as with logs/*, after a first run with
    // an option set of each header mode, and one with every field off. The
    // text files are no logs: each log's is written anew, b's from a log
    // that changed meanwhile.
    const OptionSet optionSets[] = {
        {"-qtcpNgor",
            {.doTime = true,
                .doChannel = true,
                .doPeriod = true,
                .doSamples = true,
                .doGain = true,
                .doOffset = true,
                .doRaw = true}},
        {"-qsr", {.doRaw = true, .headers = HEADERS_FIRST}},
        {"-qS", {.headers = HEADERS_NONE}},
        {"-qSC", {.doCal = false, .headers = HEADERS_NONE}},
    };
    const std::vector<TestBlock> a{blockOf(3), blockOf(2)};
    for (const OptionSet& set : optionSets) {
        write("a", encodeLog(a));
        write("b", encodeLog({blockOf(4)}));
        ASSERT_EQ(run({set.options, "a", "b"}).status, 0);
        write("b", encodeLog({blockOf(6)}));
        write("c", encodeLog({blockOf(5)}));
        RunResult result = run({set.options, "a.txt", "b", "b.txt", "c"});
        EXPECT_EQ(result.err, messageText(INPUT_IS_OWN_TEXT, "a.txt") + messageText(INPUT_IS_OWN_TEXT, "b.txt"))
            << set.options;
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(read("a.txt"), referenceText(a, set.settings));
        EXPECT_EQ(read("b.txt"), referenceText({blockOf(6)}, set.settings));
        EXPECT_FALSE(exists("a.txt.txt"));
        EXPECT_FALSE(exists("b.txt.txt"));
        EXPECT_EQ(read("c.txt"), referenceText({blockOf(5)}, set.settings));
    }
}

TEST_F(QuarvelTest, DebugModeSaysWhyAFileCouldNotBeOpened)
{
    write("f", encodeLog({blockOf(2)}));
    std::filesystem::create_directory(dir / "f.txt");
    write("g", encodeLog({blockOf(2)}));
    std::filesystem::create_symlink("g", dir / "g.txt");
    write("h", encodeLog({blockOf(2)}));
    write("h.txt", encodeLog({blockOf(3)}));
    std::filesystem::create_directory(dir / "d");
    const std::vector<std::string> operands{"missing", "d", "f", "g", "h", "h.txt"};
    const std::string failures[] = {messageText(OPEN_INPUT_FAILED, "missing"), messageText(OPEN_INPUT_FAILED, "d"),
        messageText(OPEN_OUTPUT_FAILED, "f.txt"), messageText(OPEN_OUTPUT_FAILED, "g.txt"),
        messageText(OPEN_OUTPUT_FAILED, "h.txt")};
    const std::string reasons[] = {messageText(OPEN_REASON, "No such file or directory"),
        messageText(OPEN_REASON, "Is a directory"), messageText(OPEN_REASON, "Is a directory"),
        messageText(OPEN_REASON, OUTPUT_IS_INPUT), messageText(OPEN_REASON, OUTPUT_IS_ANOTHER_INPUT)};
    std::string plain, debug;
    for (std::size_t i = 0; i < std::size(failures); ++i) {
        plain += failures[i];
        debug += failures[i] + reasons[i];
    }
    for (const char* options : {"-qS", "-qSd"}) {
        std::vector<std::string> args{options};
        args.insert(args.end(), operands.begin(), operands.end());
        RunResult result = run(args);
        EXPECT_EQ(result.err, options == std::string("-qS") ? plain : debug) << options;
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(read("h.txt.txt"), referenceText({blockOf(3)}, {.headers = HEADERS_NONE}));
    }
}

TEST_F(QuarvelTest, OutputThatIsAnotherOperandLeavesItAlone)
{
    // The log a.txt is not written over, whichever comes first, and is
    // converted in its own turn.
    const std::string a = encodeLog({blockOf(4)});
    const std::string aTxt = encodeLog({blockOf(3)});
    for (const auto& operands : {std::vector<std::string>{"a", "a.txt"}, std::vector<std::string>{"a.txt", "a"}}) {
        write("a", a);
        write("a.txt", aTxt);
        std::filesystem::remove(dir / "a.txt.txt");
        std::vector<std::string> args{"-qS"};
        args.insert(args.end(), operands.begin(), operands.end());
        RunResult result = run(args);
        EXPECT_EQ(result.err, messageText(OPEN_OUTPUT_FAILED, "a.txt")) << operands[0];
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(read("a.txt"), aTxt);
        EXPECT_EQ(read("a.txt.txt"), referenceText({blockOf(3)}, {.headers = HEADERS_NONE}));
    }
}

TEST_F(QuarvelTest, OperandIsWrittenOverOnlyWhenItIsTextThroughout)
{
    // The log x.txt starts with CR LF "01" (its first channel), as quarvel's
    // text can: refused as such, but kept. An empty x.txt has nothing to
    // lose: written over, and not converted. Whichever operand comes first.
    TestBlock crLf = blockOf(3);
    crLf.adcChan = 0x0D0A3031;
    // Reached first, the empty x.txt is refused as what it is.
    for (const std::string& xTxt : {encodeLog({crLf}), std::string()}) {
        for (const bool xFirst : {true, false}) {
            write("x", encodeLog({blockOf(2)}));
            write("x.txt", xTxt);
            RunResult result = run({"-qS", xFirst ? "x" : "x.txt", xFirst ? "x.txt" : "x"});
            const std::string refused
                = messageText(xTxt.empty() && !xFirst ? INPUT_IS_EMPTY_TEXT : INPUT_IS_OWN_TEXT, "x.txt");
            const std::string kept = xTxt.empty() ? "" : messageText(OPEN_OUTPUT_FAILED, "x.txt");
            EXPECT_EQ(result.err, xFirst ? kept + refused : refused + kept) << xFirst;
            EXPECT_EQ(result.status, 1);
            EXPECT_EQ(read("x.txt"), xTxt.empty() ? referenceText({blockOf(2)}, {.headers = HEADERS_NONE}) : xTxt);
            EXPECT_FALSE(exists("x.txt.txt"));
        }
    }
}

// Opens the named pipe `path` for writing once a reader has it open, within
// a minute; -1 if none comes.
int openPipeOnceRead(const std::filesystem::path& path)
{
    for (int tries = 0; tries < 60000; ++tries) {
        const int pipe = open(path.c_str(), O_WRONLY | O_NONBLOCK);
        if (pipe >= 0 || errno != ENXIO)
            return pipe;
        usleep(1000);
    }
    return -1;
}

TEST_F(QuarvelTest, OperandThatALogCameIntoMidRunIsKept)
{
    // a.txt holds nothing to lose when the run starts: it is empty, as a
    // logger starts a file, or an earlier run's text of a. While quarvel
    // waits on its first operand, the named pipe p, a log is written into
    // a.txt in place (the same file, as a logger appends or cp copies).
    // a.txt is then kept, and converted in its own turn.
    const std::string log = encodeLog({blockOf(3)});
    const std::string pipeLog = encodeLog({blockOf(4)});
    for (const std::string& before : {std::string(), referenceText({blockOf(2)}, {.headers = HEADERS_NONE})}) {
        write("a", encodeLog({blockOf(2)}));
        write("a.txt", before);
        std::filesystem::remove(dir / "a.txt.txt");
        std::filesystem::remove(dir / "p");
        ASSERT_EQ(mkfifo((dir / "p").c_str(), 0600), 0);
        RunResult result = run({"-qS", "p", "a", "a.txt"}, {}, [&] {
            const int pipe = openPipeOnceRead(dir / "p");
            ASSERT_GE(pipe, 0) << "quarvel did not open p";
            write("a.txt", log);
            EXPECT_EQ(::write(pipe, pipeLog.data(), pipeLog.size()), static_cast<ssize_t>(pipeLog.size()));
            close(pipe);
        });
        EXPECT_EQ(result.err, messageText(OPEN_OUTPUT_FAILED, "a.txt")) << before.size();
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(read("a.txt"), log);
        EXPECT_EQ(read("a.txt.txt"), referenceText({blockOf(3)}, {.headers = HEADERS_NONE}));
        EXPECT_EQ(read("p.txt"), referenceText({blockOf(4)}, {.headers = HEADERS_NONE}));
    }
}

TEST_F(QuarvelTest, OutputThatIsALinkToAnotherOperandLeavesItAlone)
{
    // b.txt is a symbolic link to the operand c, d.txt a hard link to the
    // operand e. The operand l is a symbolic link, which stands for the file
    // it names: g, of which f.txt is a hard link.
    const std::string c = encodeLog({blockOf(5)});
    const std::string e = encodeLog({blockOf(6)});
    const std::string g = encodeLog({blockOf(7)});
    write("b", encodeLog({blockOf(2)}));
    write("c", c);
    std::filesystem::create_symlink("c", dir / "b.txt");
    write("d", encodeLog({blockOf(3)}));
    write("e", e);
    std::filesystem::create_hard_link(dir / "e", dir / "d.txt");
    write("f", encodeLog({blockOf(4)}));
    write("g", g);
    std::filesystem::create_symlink("g", dir / "l");
    std::filesystem::create_hard_link(dir / "g", dir / "f.txt");
    RunResult result = run({"-qS", "b", "c", "d", "e", "f", "l"});
    EXPECT_EQ(result.err,
        messageText(OPEN_OUTPUT_FAILED, "b.txt") + messageText(OPEN_OUTPUT_FAILED, "d.txt")
            + messageText(OPEN_OUTPUT_FAILED, "f.txt"));
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(read("c"), c);
    EXPECT_EQ(read("e"), e);
    EXPECT_EQ(read("g"), g);
    EXPECT_EQ(read("c.txt"), referenceText({blockOf(5)}, {.headers = HEADERS_NONE}));
    EXPECT_EQ(read("e.txt"), referenceText({blockOf(6)}, {.headers = HEADERS_NONE}));
    EXPECT_EQ(read("l.txt"), referenceText({blockOf(7)}, {.headers = HEADERS_NONE}));
}

}  // namespace
