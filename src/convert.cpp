#include "convert.h"

#include "errortext.h"
#include "messages.h"
#include "record.h"
#include "summary.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// Records are formatted straight into the output's buffer, one at a time
// while at least RECORD_MAX_CHARS are free.
static_assert(RECORD_MAX_CHARS < OUTPUT_CAPACITY);
// The output is flushed after every FLUSH_INTERVAL-th record, so a reader
// following the growing file sees it advance.
constexpr std::uint64_t FLUSH_INTERVAL = 1024;
constexpr double MILLISECONDS_PER_SECOND = 1000;

// Writes the message `format` of messages.h, filled in with `values`, on
// standard error, and keeps it in what `outcome` says of the file.
template <typename... Values> void say(FileOutcome& outcome, const char* format, Values... values)
{
    const int length = std::snprintf(nullptr, 0, format, values...);
    if (length <= 0)
        return;
    std::string line(static_cast<std::size_t>(length) + 1, '\0');
    std::snprintf(line.data(), line.size(), format, values...);
    line.pop_back();
    std::fputs(line.c_str(), stderr);
    outcome.said += line;
}

// One file's conversion: its name, its progress, and the state it works in.
struct Conversion {
    const char* inputPath;
    FileOutcome& outcome;
    LogStream& input;
    TextOutput& output;
    TailCache& tailCache;
    bool firstHeader = true;
    // Records to write until the next flush: 1 at first, since the output
    // is flushed after the first record of the file, then FLUSH_INTERVAL.
    std::uint64_t recordsUntilFlush = 1;
};

// What the samples of a block are converted with.
struct Block {
    TailFormat format;
    TailSlots slots;
    double timeStep;
    std::uint64_t step;  // the magnitude of the modulus: every step-th sample is written
    bool doTime;
};

std::uint64_t modulusMagnitude(std::int32_t modulus)
{
    auto wide = static_cast<std::int64_t>(modulus);
    return static_cast<std::uint64_t>(wide < 0 ? -wide : wide);
}

// Where the sample loop of a block stands between chunks of input.
struct SampleCursor {
    std::uint64_t untilSelected = 0;  // samples to skip before the next selected one
    double sampleTime = 0;
};

// Converts `count` samples. The hot loop of the program: it keeps its state
// in locals and leaves the loop only to drain or flush the output. Compiled
// for each combination of a time column, a modulus of 1 and the tail table,
// so that the common cases test nothing they need not.
template <bool DO_TIME, bool EVERY_SAMPLE, bool CACHED>
void convertChunkAs(
    Conversion& conversion, const Block& block, SampleCursor& cursor, const unsigned char* sample, std::int64_t count)
{
    TextOutput& output = conversion.output;
    const std::uint64_t step = block.step;
    std::uint64_t untilSelected = cursor.untilSelected;
    double sampleTime = cursor.sampleTime;
    std::uint64_t recordsUntilFlush = conversion.recordsUntilFlush;
    const TailSlots slots = block.slots;
    const double timeStep = block.timeStep;
    char* out = textEnd(output);
    const char* const lastRecordStart = lastStartFor(output, RECORD_MAX_CHARS);
    const std::int64_t lastPrefetch = count - PREFETCH_DISTANCE;
    for (std::int64_t i = 0; i < count; ++i, sample += LOG_SAMPLE_SIZE) {
        if (CACHED && i < lastPrefetch)
            prefetchTail(slots, sample + LOG_SAMPLE_SIZE * PREFETCH_DISTANCE);
        if (EVERY_SAMPLE || untilSelected == 0) {
            untilSelected = step;
            std::int16_t rawSample;
            std::memcpy(&rawSample, sample, sizeof rawSample);
            byteSwap16(&rawSample);
            if (out > lastRecordStart) {
                commitText(output, out);
                drainTextOutput(output);
                out = textEnd(output);
            }
            if (DO_TIME)
                out = formatTimeStamp(out, sampleTime);
            if (CACHED)
                out = writeCachedTail(out, slots, block.format, rawSample);
            else
                out = formatRecordTail(out, block.format, rawSample);
            if (--recordsUntilFlush == 0) {
                recordsUntilFlush = FLUSH_INTERVAL;
                commitText(output, out);
                flushTextOutput(output);
                out = textEnd(output);
                if (output.failed)
                    break;
            }
        }
        --untilSelected;
        if (DO_TIME)  // the running sum matters only when it is printed
            sampleTime += timeStep;
    }
    commitText(output, out);
    conversion.recordsUntilFlush = recordsUntilFlush;
    cursor.untilSelected = untilSelected;
    cursor.sampleTime = sampleTime;
}

template <bool DO_TIME, bool EVERY_SAMPLE>
void convertChunkWithTails(
    Conversion& conversion, const Block& block, SampleCursor& cursor, const unsigned char* sample, std::int64_t count)
{
    if (block.slots.table != nullptr)
        convertChunkAs<DO_TIME, EVERY_SAMPLE, true>(conversion, block, cursor, sample, count);
    else
        convertChunkAs<DO_TIME, EVERY_SAMPLE, false>(conversion, block, cursor, sample, count);
}

void convertChunk(
    Conversion& conversion, const Block& block, SampleCursor& cursor, const unsigned char* sample, std::int64_t count)
{
    bool everySample = block.step == 1;
    if (block.doTime && everySample)
        convertChunkWithTails<true, true>(conversion, block, cursor, sample, count);
    else if (block.doTime)
        convertChunkWithTails<true, false>(conversion, block, cursor, sample, count);
    else if (everySample)
        convertChunkWithTails<false, true>(conversion, block, cursor, sample, count);
    else
        convertChunkWithTails<false, false>(conversion, block, cursor, sample, count);
}

// Converts the samples of one block with the fields and modulus of
// `runSettings`. Returns false when the file must end here: its samples ran
// out, or a read or write failed.
bool convertSamples(Conversion& conversion, const LogFileHeader& header, const RunSettings& runSettings)
{
    const std::int64_t totalSamples = header.totalSamples;
    Block block{.format = describeTails(header, runSettings),
        .slots = {},
        .timeStep = static_cast<std::int32_t>(header.samplePeriod) / MILLISECONDS_PER_SECOND,
        .step = modulusMagnitude(runSettings.modulus),
        .doTime = runSettings.doTime};
    block.slots = tailSlotsFor(conversion.tailCache, block.format, totalSamples);
    std::int64_t index = 0;
    SampleCursor cursor{.untilSelected = 0, .sampleTime = static_cast<double>(header.firstSampleTime)};
    LogStream& input = conversion.input;
    while (index < totalSamples && !conversion.output.failed) {
        std::size_t available = fillLogStream(input, LOG_SAMPLE_SIZE);
        if (available < LOG_SAMPLE_SIZE)
            break;
        std::int64_t count = std::min(totalSamples - index, static_cast<std::int64_t>(available / LOG_SAMPLE_SIZE));
        convertChunk(conversion, block, cursor, logStreamBytes(input), count);
        consumeLogStream(input, static_cast<std::size_t>(count) * LOG_SAMPLE_SIZE);
        index += count;
    }
    if (conversion.output.failed || input.failed)
        return false;
    if (index < totalSamples) {
        FileOutcome& outcome = conversion.outcome;
        outcome.cutShort = true;
        outcome.samplesRead = static_cast<long>(index);
        outcome.samplesDeclared = static_cast<long>(totalSamples);
        say(outcome, TRUNCATED_BLOCK, conversion.inputPath, outcome.samplesRead, outcome.samplesDeclared);
        return false;
    }
    return true;
}

// Writes the block's header lines if the header mode `headers` asks for them.
void writeHeaderLines(Conversion& conversion, const LogFileHeader& header, const std::string& timeText, int headers)
{
    if (headers == HEADERS_ALL || (headers == HEADERS_FIRST && conversion.firstHeader)) {
        writeText(conversion.output, blockSummary(header, timeText, "%", "\r\n"));
        conversion.firstHeader = false;
    }
}

// Converts every block; a read failure ends it with READ_FAILED.
void convertBlocks(Conversion& conversion, const RunSettings& runSettings)
{
    LogFileHeader header;
    while (readLogFileHeader(header, conversion.input)) {
        std::string timeText = formatLocalTime(header.firstSampleTime);
        if (runSettings.verbose)
            std::fputs(blockSummary(header, timeText, "", "\n").c_str(), stdout);
        writeHeaderLines(conversion, header, timeText, runSettings.headers);
        if (!convertSamples(conversion, header, runSettings))
            break;
    }
    flushTextOutput(conversion.output);
    if (conversion.input.failed) {
        conversion.outcome.end = FileEnd::READ_FAILED;
        say(conversion.outcome, READ_FAILED, conversion.inputPath);
    }
}

// A file that could not be opened: `end`, its message `message` and in
// debug mode the reason on a line of its own.
void reportOpenFailure(
    FileOutcome& outcome, FileEnd end, const char* message, const char* path, const OpenFailure& failure, bool debug)
{
    outcome.end = end;
    outcome.refusal = failure.refusal;
    outcome.errorNumber = failure.errorNumber;
    say(outcome, message, path);
    if (debug)
        say(outcome, OPEN_REASON, failure.refusal != nullptr ? failure.refusal : errorText(failure.errorNumber));
}

}  // namespace

FileOutcome processFile(
    const char* path, const RunSettings& runSettings, const OperandFiles& operands, ConversionState& state)
{
    FileOutcome outcome;
    FileStatus inputStatus;
    OpenFailure failure;
    std::FILE* input = openInput(path, inputStatus, failure);
    if (input == nullptr) {
        reportOpenFailure(outcome, FileEnd::OPEN_INPUT_FAILED, OPEN_INPUT_FAILED, path, failure, runSettings.debug);
        return outcome;
    }
    openLogStream(state.input, input);
    if (const char* refusal = inputRefusal(inputStatus, operands, state.input)) {
        outcome.end = FileEnd::REFUSED;
        outcome.refusal = refusal;
        say(outcome, refusal, path);
        closeLogStream(state.input);
        return outcome;
    }
    const std::string outputPath = std::string(path) + ".txt";
    std::FILE* output = openOutput(inputStatus, operands, outputPath, failure);
    if (output == nullptr) {
        reportOpenFailure(
            outcome, FileEnd::OPEN_OUTPUT_FAILED, OPEN_OUTPUT_FAILED, outputPath.c_str(), failure, runSettings.debug);
        closeLogStream(state.input);
        return outcome;
    }
    openTextOutput(state.output, output);
    Conversion conversion{.inputPath = path,
        .outcome = outcome,
        .input = state.input,
        .output = state.output,
        .tailCache = state.tailCache};
    convertBlocks(conversion, runSettings);
    closeLogStream(state.input);
    if (!closeTextOutput(state.output)) {
        outcome.end = FileEnd::WRITE_FAILED;
        say(outcome, WRITE_FAILED, outputPath.c_str());
    }
    return outcome;
}
