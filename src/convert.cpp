#include "convert.h"

#include "format.h"
#include "logfile.h"
#include "settings.h"
#include "system.h"
#include "tails.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

namespace {

constexpr std::size_t OUTPUT_CAPACITY = std::size_t{256} * 1024;
static_assert(RECORD_MAX_CHARS < OUTPUT_CAPACITY);
// The output is flushed after every FLUSH_INTERVAL-th record, so a reader
// following the growing file sees it advance.
constexpr std::uint64_t FLUSH_INTERVAL = 1024;

// The text file, written through a buffer of our own: records are
// formatted straight into it, and it reaches the file only at the flush
// points (or when it is full).
struct TextOutput {
    std::FILE* file = nullptr;
    std::unique_ptr<char[]> data;  // kept from file to file
    std::size_t used = 0;
    bool failed = false;
};

void openTextOutput(TextOutput& output, std::FILE* file)
{
    output.file = file;
    if (!output.data)
        output.data.reset(new char[OUTPUT_CAPACITY]);  // uninitialised: written before it is read
    output.used = 0;
    output.failed = false;
    std::setvbuf(file, nullptr, _IONBF, 0);
}

void drainTextOutput(TextOutput& output)
{
    if (!output.failed && output.used > 0 && std::fwrite(output.data.get(), 1, output.used, output.file) != output.used)
        output.failed = true;
    output.used = 0;
}

void flushTextOutput(TextOutput& output)
{
    drainTextOutput(output);
    if (!output.failed && std::fflush(output.file) != 0)
        output.failed = true;
}

void commitText(TextOutput& output, const char* end)
{
    output.used = static_cast<std::size_t>(end - output.data.get());
}

// For header lines: a few hundred bytes at most, far less than the buffer.
void writeText(TextOutput& output, const std::string& text)
{
    if (OUTPUT_CAPACITY - output.used < text.size())
        drainTextOutput(output);
    commitText(output, std::copy(text.begin(), text.end(), output.data.get() + output.used));
}

// Everything one conversion works with.
struct Conversion {
    const char* inputPath = nullptr;
    std::string outputPath;
    LogStream input;
    TextOutput output;
    bool firstHeader = true;
    // Records to write until the next flush: 1 at first, since the output
    // is flushed after the first record of the file, then FLUSH_INTERVAL.
    std::uint64_t recordsUntilFlush = 1;
    TailCache tails;
};

// What the samples of a block are converted with.
struct Block {
    TailFormat format;
    TailSlots tails;
    double timeStep;
};

std::uint64_t modulusMagnitude()
{
    auto modulus = static_cast<std::int64_t>(settings.modulus);
    return static_cast<std::uint64_t>(modulus < 0 ? -modulus : modulus);
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
    const std::uint64_t step = modulusMagnitude();
    std::uint64_t untilSelected = cursor.untilSelected;
    double sampleTime = cursor.sampleTime;
    std::uint64_t recordsUntilFlush = conversion.recordsUntilFlush;
    const TailSlots tails = block.tails;
    const double timeStep = block.timeStep;
    char* out = output.data.get() + output.used;
    const char* const lastRecordStart = output.data.get() + (OUTPUT_CAPACITY - RECORD_MAX_CHARS);
    const std::int64_t lastPrefetch = count - PREFETCH_DISTANCE;
    for (std::int64_t i = 0; i < count; ++i, sample += 2) {
        if (CACHED && i < lastPrefetch)
            prefetchTail(tails, sample + 2 * PREFETCH_DISTANCE);
        if (EVERY_SAMPLE || untilSelected == 0) {
            untilSelected = step;
            std::int16_t rawSample;
            std::memcpy(&rawSample, sample, 2);
            byteSwap16(&rawSample);
            if (out > lastRecordStart) {
                commitText(output, out);
                drainTextOutput(output);
                out = output.data.get();
            }
            if (DO_TIME)
                out = formatFixed(out, sampleTime, 3);
            if (CACHED)
                out = writeCachedTail(out, tails, block.format, rawSample);
            else
                out = formatRecordTail(out, block.format, rawSample);
            if (--recordsUntilFlush == 0) {
                recordsUntilFlush = FLUSH_INTERVAL;
                commitText(output, out);
                flushTextOutput(output);
                out = output.data.get();
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
    if (block.tails.slots != nullptr)
        convertChunkAs<DO_TIME, EVERY_SAMPLE, true>(conversion, block, cursor, sample, count);
    else
        convertChunkAs<DO_TIME, EVERY_SAMPLE, false>(conversion, block, cursor, sample, count);
}

void convertChunk(
    Conversion& conversion, const Block& block, SampleCursor& cursor, const unsigned char* sample, std::int64_t count)
{
    bool everySample = modulusMagnitude() == 1;
    if (settings.doTime && everySample)
        convertChunkWithTails<true, true>(conversion, block, cursor, sample, count);
    else if (settings.doTime)
        convertChunkWithTails<true, false>(conversion, block, cursor, sample, count);
    else if (everySample)
        convertChunkWithTails<false, true>(conversion, block, cursor, sample, count);
    else
        convertChunkWithTails<false, false>(conversion, block, cursor, sample, count);
}

// `seconds` in local time, as ctime renders it but without the newline.
std::string formatLocalTime(std::int32_t seconds)
{
    static const char* const WEEKDAYS[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const MONTHS[]
        = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const std::tm local = toLocalTime(seconds);
    auto twoDigits = [](std::string& text, int value, char pad) {
        text += value < 10 ? pad : static_cast<char>('0' + value / 10);
        text += static_cast<char>('0' + value % 10);
    };
    std::string text = WEEKDAYS[local.tm_wday % 7];
    text += ' ';
    text += MONTHS[local.tm_mon % 12];
    text += ' ';
    twoDigits(text, local.tm_mday, ' ');
    text += ' ';
    twoDigits(text, local.tm_hour, '0');
    text += ':';
    twoDigits(text, local.tm_min, '0');
    text += ':';
    twoDigits(text, local.tm_sec, '0');
    text += ' ';
    appendInt(text, std::int64_t{local.tm_year} + 1900);
    return text;
}

// The six lines describing a block, each started with `prefix` and ended
// with `lineEnd`: the console summary and the header lines of the text file.
std::string blockSummary(
    const LogFileHeader& header, const std::string& timeText, const char* prefix, const char* lineEnd)
{
    std::string channel, period, total, offset, gain;
    appendInt(channel, header.adcChan);
    appendInt(period, header.samplePeriod);
    period += " ms";
    appendInt(total, header.totalSamples);
    appendFixed(offset, header.calOffset, 6);
    appendFixed(gain, header.calGain, 6);
    const std::pair<const char*, const std::string&> lines[] = {
        {"ADC CHANNEL         : ", channel},
        {"SAMPLE PERIOD       : ", period},
        {"FIRST SAMPLE LOGGED : ", timeText},
        {"TOTAL SAMPLES       : ", total},
        {"CALIBRATION OFFSET  : ", offset},
        {"CALIBRATION GAIN    : ", gain},
    };
    std::string text;
    for (const auto& [label, value] : lines) {
        text += prefix;
        text += label;
        text += value;
        text += lineEnd;
    }
    return text;
}

// Converts the samples of one block. Returns false when the file must end
// here: its samples ran out, or a read or write failed.
bool convertSamples(Conversion& conversion, const LogFileHeader& header)
{
    const std::int64_t totalSamples = header.totalSamples;
    Block block{.format = describeTails(header),
        .tails = {},
        .timeStep = static_cast<std::int32_t>(header.samplePeriod) / 1000.0};
    block.tails = startBlock(conversion.tails, block.format, totalSamples);
    std::int64_t index = 0;
    SampleCursor cursor{.untilSelected = 0, .sampleTime = static_cast<double>(header.firstSampleTime)};
    LogStream& input = conversion.input;
    while (index < totalSamples && !conversion.output.failed) {
        std::size_t available = fillLogStream(input, 2);
        if (available < 2)
            break;
        std::int64_t count = std::min(totalSamples - index, static_cast<std::int64_t>(available / 2));
        convertChunk(conversion, block, cursor, input.data.get() + input.begin, count);
        input.begin += static_cast<std::size_t>(count) * 2;
        index += count;
    }
    if (conversion.output.failed || input.failed)
        return false;
    if (index < totalSamples) {
        std::fprintf(stderr, "truncated block in input file %s: %ld of %ld samples read\n", conversion.inputPath,
            static_cast<long>(index), static_cast<long>(totalSamples));
        return false;
    }
    return true;
}

void writeHeaderLines(Conversion& conversion, const LogFileHeader& header, const std::string& timeText)
{
    if (settings.headers == HEADERS_ALL || (settings.headers == HEADERS_FIRST && conversion.firstHeader)) {
        writeText(conversion.output, blockSummary(header, timeText, "%", "\r\n"));
        conversion.firstHeader = false;
    }
}

// Converts every block; returns 1 when a read or write failure ended it.
int convertBlocks(Conversion& conversion)
{
    LogFileHeader header;
    while (readLogFileHeader(header, conversion.input)) {
        std::string timeText = formatLocalTime(header.firstSampleTime);
        if (settings.verbose)
            std::fputs(blockSummary(header, timeText, "", "\n").c_str(), stdout);
        writeHeaderLines(conversion, header, timeText);
        if (!convertSamples(conversion, header))
            break;
    }
    flushTextOutput(conversion.output);
    if (conversion.input.failed) {
        std::fprintf(stderr, "failed to read input file %s\n", conversion.inputPath);
        return 1;
    }
    return 0;
}

// Opens the logger file; `id` tells which file it is.
std::FILE* openInput(const char* path, FileId& id)
{
    std::FILE* file = openFile(path, "rb");
    if (file == nullptr)
        return nullptr;
    id = fileIdOf(file);
    // A directory opens for reading on some systems but is no logger file.
    if (id.directory) {
        std::fclose(file);
        return nullptr;
    }
    return file;
}

// Opens the text file, unless it is the input itself under another name
// (a link): opening it for writing would empty the log before it is read.
std::FILE* openOutput(const FileId& input, const std::string& outputPath)
{
    if (isSameFile(input, fileIdOf(outputPath.c_str())))
        return nullptr;
    return openFile(outputPath.c_str(), "wb");
}

}  // namespace

int processFile(const char* path)
{
    FileId inputId;
    std::FILE* input = openInput(path, inputId);
    if (input == nullptr) {
        std::fprintf(stderr, "failed to open input file %s\n", path);
        return 1;
    }
    // Kept from file to file: the buffers, and the tail table, which is large.
    static Conversion conversion;
    conversion.inputPath = path;
    conversion.outputPath.assign(path).append(".txt");
    conversion.firstHeader = true;
    conversion.recordsUntilFlush = 1;
    std::FILE* output = openOutput(inputId, conversion.outputPath);
    if (output == nullptr) {
        std::fprintf(stderr, "failed to open output file %s\n", conversion.outputPath.c_str());
        std::fclose(input);
        return 1;
    }
    openLogStream(conversion.input, input);
    openTextOutput(conversion.output, output);
    int status = convertBlocks(conversion);
    std::fclose(input);
    bool writeFailed = conversion.output.failed;
    if (std::fclose(output) != 0)
        writeFailed = true;
    if (writeFailed) {
        std::fprintf(stderr, "failed to write output file %s\n", conversion.outputPath.c_str());
        status = 1;
    }
    return status;
}
