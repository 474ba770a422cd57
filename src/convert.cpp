#include "convert.h"

#include "format.h"
#include "logfile.h"
#include "settings.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>

namespace {

constexpr std::size_t OUTPUT_CAPACITY = std::size_t{256} * 1024;
// No record can be longer: a time stamp, five integers and three floats.
constexpr std::size_t RECORD_MAX_CHARS = FIXED_MAX_CHARS + 5 * INT_MAX_CHARS + 3 * FIXED_MAX_CHARS + 16;
static_assert(RECORD_MAX_CHARS < OUTPUT_CAPACITY);
// The output is flushed after every FLUSH_INTERVAL-th record, so a reader
// following the growing file sees it advance.
constexpr std::uint64_t FLUSH_INTERVAL = 1024;

// The text file, written through a buffer of our own: records are
// formatted straight into it, and it reaches the file only at the flush
// points (or when it is full).
struct TextOutput {
    std::FILE* file = nullptr;
    std::unique_ptr<char[]> data;
    std::size_t used = 0;
    bool failed = false;
};

void openTextOutput(TextOutput& output, std::FILE* file)
{
    output.file = file;
    output.data = std::make_unique_for_overwrite<char[]>(OUTPUT_CAPACITY);
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

// The fields of a block that are the same in all its records.
struct BlockRecord {
    std::string constantFields;  // channel to offset, those selected, comma-separated
    float gain = 0;
    float offset = 0;
    double timeStep = 0;
};

BlockRecord describeBlock(const LogFileHeader& header)
{
    BlockRecord block;
    std::string& fields = block.constantFields;
    auto separate = [&fields] {
        if (!fields.empty())
            fields += ',';
    };
    if (settings.doChannel) {
        separate();
        appendInt(fields, header.adcChan);
    }
    if (settings.doPeriod) {
        separate();
        appendInt(fields, header.samplePeriod);
    }
    if (settings.doSamples) {
        separate();
        appendInt(fields, header.totalSamples);
    }
    if (settings.doGain) {
        separate();
        appendFixed(fields, header.calGain, 6);
    }
    if (settings.doOffset) {
        separate();
        appendFixed(fields, header.calOffset, 6);
    }
    block.gain = header.calGain;
    block.offset = header.calOffset;
    block.timeStep = static_cast<std::int32_t>(header.samplePeriod) / 1000.0;
    return block;
}

// Formats the part of a record that follows the time stamp: the fields
// that depend only on the block and the raw count, and the line end.
char* formatRecordTail(char* out, const BlockRecord& block, std::int16_t rawSample)
{
    bool needSeparator = settings.doTime;
    auto separate = [&] {
        if (needSeparator)
            *out++ = ',';
        needSeparator = true;
    };
    if (!block.constantFields.empty()) {
        separate();
        out = std::copy(block.constantFields.begin(), block.constantFields.end(), out);
    }
    if (settings.doRaw) {
        separate();
        out = formatInt(out, rawSample);
    }
    if (settings.doCal) {
        separate();
        // The product is exact in double; the sum is rounded once to float.
        auto calValue = static_cast<float>(rawSample * static_cast<double>(block.gain) + block.offset);
        out = formatFixed(out, calValue, 6);
    }
    *out++ = '\r';
    *out++ = '\n';
    return out;
}

// Within a block a record's tail is a function of the raw count alone, so
// each of the 65536 possible tails is formatted once and then copied. A slot
// is one cache line: the tail, its length, and the generation stamp that
// says whether the slot belongs to the current block. Longer tails are
// formatted every time.
constexpr std::size_t RAW_VALUES = 65536;
constexpr std::size_t TAIL_SLOT_SIZE = 64;
constexpr std::size_t TAIL_MAX_CACHED = 59;
constexpr std::size_t TAIL_LENGTH_AT = 59;
constexpr std::size_t TAIL_STAMP_AT = 60;
static_assert(TAIL_SLOT_SIZE <= RECORD_MAX_CHARS);

struct TailCache {
    std::unique_ptr<char[]> slots;
    std::uint32_t generation = 0;
};

// Invalidates every slot; allocates the cache on first use.
void startBlock(TailCache& cache)
{
    if (!cache.slots)
        cache.slots = std::make_unique<char[]>(RAW_VALUES * TAIL_SLOT_SIZE);  // stamps 0
    if (++cache.generation == 0) {
        std::fill_n(cache.slots.get(), RAW_VALUES * TAIL_SLOT_SIZE, 0);
        cache.generation = 1;
    }
}

// Each record's position depends on the length of the tail before it, so a
// slot that is not in the cache stalls the loop: fetch slots ahead of use.
constexpr std::int64_t PREFETCH_DISTANCE = 16;

// The cache as the hot loop uses it: plain values that stay in registers,
// where members behind a reference would be reloaded after every store of
// a record byte.
struct TailSlots {
    char* slots;
    std::uint32_t generation;
};

inline void prefetchTail(TailSlots tails, const unsigned char* sample)
{
    std::uint16_t index;
    std::memcpy(&index, sample, 2);
    byteSwap16(&index);
    __builtin_prefetch(tails.slots + std::size_t{index} * TAIL_SLOT_SIZE);
}

// Formats a tail that is not in the cache yet and keeps it if it fits.
// Kept out of line so that the loop around the cached case stays small.
[[gnu::noinline]] char* fillTailSlot(
    char* out, char* slot, std::uint32_t generation, const BlockRecord& block, std::int16_t rawSample)
{
    char* end = formatRecordTail(out, block, rawSample);
    auto length = static_cast<std::size_t>(end - out);
    if (length <= TAIL_MAX_CACHED) {
        std::memcpy(slot, out, length);
        slot[TAIL_LENGTH_AT] = static_cast<char>(length);
        std::memcpy(slot + TAIL_STAMP_AT, &generation, sizeof generation);
    }
    return end;
}

// Writes the record tail at `out`, which has room for RECORD_MAX_CHARS.
inline char* writeRecordTail(char* out, TailSlots tails, const BlockRecord& block, std::int16_t rawSample)
{
    const std::size_t index = static_cast<std::uint16_t>(rawSample);
    char* slot = tails.slots + index * TAIL_SLOT_SIZE;
    std::uint32_t stamp;
    std::memcpy(&stamp, slot + TAIL_STAMP_AT, sizeof stamp);
    if (stamp != tails.generation)
        return fillTailSlot(out, slot, tails.generation, block, rawSample);
    // Most tails are short: copy the second half of the slot only when needed.
    const std::size_t length = static_cast<unsigned char>(slot[TAIL_LENGTH_AT]);
    std::memcpy(out, slot, TAIL_SLOT_SIZE / 2);
    if (length > TAIL_SLOT_SIZE / 2)
        std::memcpy(out + TAIL_SLOT_SIZE / 2, slot + TAIL_SLOT_SIZE / 2, TAIL_SLOT_SIZE / 2);
    return out + length;
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
    TailCache& tails;
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
// for each combination of a time column and a modulus of 1, so that the
// common cases test nothing they need not.
template <bool DO_TIME, bool EVERY_SAMPLE>
void convertChunkAs(Conversion& conversion, const BlockRecord& block, SampleCursor& cursor, const unsigned char* sample,
    std::int64_t count)
{
    TextOutput& output = conversion.output;
    const std::uint64_t step = modulusMagnitude();
    std::uint64_t untilSelected = cursor.untilSelected;
    double sampleTime = cursor.sampleTime;
    std::uint64_t recordsUntilFlush = conversion.recordsUntilFlush;
    const TailSlots tails{conversion.tails.slots.get(), conversion.tails.generation};
    const double timeStep = block.timeStep;
    char* out = output.data.get() + output.used;
    const char* const lastRecordStart = output.data.get() + (OUTPUT_CAPACITY - RECORD_MAX_CHARS);
    const std::int64_t lastPrefetch = count - PREFETCH_DISTANCE;
    for (std::int64_t i = 0; i < count; ++i, sample += 2) {
        if (i < lastPrefetch)
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
            out = writeRecordTail(out, tails, block, rawSample);
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

void convertChunk(Conversion& conversion, const BlockRecord& block, SampleCursor& cursor, const unsigned char* sample,
    std::int64_t count)
{
    bool everySample = modulusMagnitude() == 1;
    if (settings.doTime && everySample)
        convertChunkAs<true, true>(conversion, block, cursor, sample, count);
    else if (settings.doTime)
        convertChunkAs<true, false>(conversion, block, cursor, sample, count);
    else if (everySample)
        convertChunkAs<false, true>(conversion, block, cursor, sample, count);
    else
        convertChunkAs<false, false>(conversion, block, cursor, sample, count);
}

// `seconds` in local time, as ctime renders it but without the newline.
std::string formatLocalTime(std::int32_t seconds)
{
    static const char* const WEEKDAYS[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const MONTHS[]
        = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::time_t time = seconds;
    const std::tm* local = std::localtime(&time);
    if (local == nullptr)
        return "";
    char text[64];
    std::snprintf(text, sizeof text, "%.3s %.3s%3d %.2d:%.2d:%.2d %d", WEEKDAYS[local->tm_wday % 7],
        MONTHS[local->tm_mon % 12], local->tm_mday, local->tm_hour, local->tm_min, local->tm_sec,
        local->tm_year + 1900);
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
    const BlockRecord block = describeBlock(header);
    startBlock(conversion.tails);
    const std::int64_t totalSamples = header.totalSamples;
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

std::FILE* openInput(const char* path)
{
    std::FILE* file = std::fopen(path, "rb");
    std::error_code error;
    // A directory opens for reading on some systems but is no logger file.
    if (file != nullptr && std::filesystem::is_directory(path, error)) {
        std::fclose(file);
        file = nullptr;
    }
    return file;
}

}  // namespace

int processFile(const char* path)
{
    std::FILE* input = openInput(path);
    if (input == nullptr) {
        std::fprintf(stderr, "failed to open input file %s\n", path);
        return 0;
    }
    static TailCache tails;  // kept across files: it is large
    Conversion conversion{.inputPath = path,
        .outputPath = std::string(path) + ".txt",
        .input = {},
        .output = {},
        .firstHeader = true,
        .recordsUntilFlush = 1,
        .tails = tails};
    std::FILE* output = std::fopen(conversion.outputPath.c_str(), "wb");
    if (output == nullptr) {
        std::fprintf(stderr, "failed to open output file %s\n", conversion.outputPath.c_str());
        std::fclose(input);
        return 0;
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
