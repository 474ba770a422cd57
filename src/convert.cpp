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

constexpr std::size_t OUTPUT_CAPACITY = 256 * 1024;
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
    output.data = std::make_unique<char[]>(OUTPUT_CAPACITY);
    std::setvbuf(file, nullptr, _IONBF, 0);
}

void drainTextOutput(TextOutput& output)
{
    if (!output.failed && output.used > 0
        && std::fwrite(output.data.get(), 1, output.used, output.file) != output.used)
        output.failed = true;
    output.used = 0;
}

void flushTextOutput(TextOutput& output)
{
    drainTextOutput(output);
    if (!output.failed && std::fflush(output.file) != 0)
        output.failed = true;
}

// Returns room for `size` bytes; commitText then marks how many were used.
char* reserveText(TextOutput& output, std::size_t size)
{
    if (OUTPUT_CAPACITY - output.used < size)
        drainTextOutput(output);
    return output.data.get() + output.used;
}

void commitText(TextOutput& output, const char* end)
{
    output.used = static_cast<std::size_t>(end - output.data.get());
}

void writeText(TextOutput& output, const std::string& text)
{
    if (text.size() > OUTPUT_CAPACITY) {
        drainTextOutput(output);
        if (!output.failed && std::fwrite(text.data(), 1, text.size(), output.file) != text.size())
            output.failed = true;
        return;
    }
    char* out = reserveText(output, text.size());
    commitText(output, std::copy(text.begin(), text.end(), out));
}

// Everything one conversion works with.
struct Conversion {
    const char* inputPath = nullptr;
    std::string outputPath;
    LogStream input;
    TextOutput output;
    bool firstHeader = true;
    std::uint64_t recordCount = 0;
};

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
    auto addField = [&block](auto append) {
        if (!block.constantFields.empty())
            block.constantFields += ',';
        append(block.constantFields);
    };
    if (settings.doChannel)
        addField([&](std::string& text) { appendInt(text, header.adcChan); });
    if (settings.doPeriod)
        addField([&](std::string& text) { appendInt(text, header.samplePeriod); });
    if (settings.doSamples)
        addField([&](std::string& text) { appendInt(text, header.totalSamples); });
    if (settings.doGain)
        addField([&](std::string& text) { appendFixed(text, header.calGain, 6); });
    if (settings.doOffset)
        addField([&](std::string& text) { appendFixed(text, header.calOffset, 6); });
    block.gain = header.calGain;
    block.offset = header.calOffset;
    block.timeStep = static_cast<std::int32_t>(header.samplePeriod) / 1000.0;
    return block;
}

// Formats one record at `out` and returns its end.
char* formatRecord(char* out, const BlockRecord& block, double sampleTime, std::int16_t rawSample)
{
    char* start = out;
    auto separate = [&] {
        if (out != start)
            *out++ = ',';
    };
    if (settings.doTime)
        out = formatFixed(out, sampleTime, 3);
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

void writeRecord(Conversion& conversion, const BlockRecord& block, double sampleTime,
                 std::int16_t rawSample)
{
    TextOutput& output = conversion.output;
    char* out = reserveText(output, RECORD_MAX_CHARS);
    commitText(output, formatRecord(out, block, sampleTime, rawSample));
    if (conversion.recordCount % FLUSH_INTERVAL == 0)
        flushTextOutput(output);
    ++conversion.recordCount;
}

std::uint64_t modulusMagnitude()
{
    auto modulus = static_cast<std::int64_t>(settings.modulus);
    return static_cast<std::uint64_t>(modulus < 0 ? -modulus : modulus);
}

// Converts the samples of one block. Returns false when the file must end
// here: its samples ran out, or a read or write failed.
bool convertSamples(Conversion& conversion, const LogFileHeader& header)
{
    const BlockRecord block = describeBlock(header);
    const std::uint64_t step = modulusMagnitude();
    const std::int64_t totalSamples = header.totalSamples;
    std::int64_t index = 0;
    std::uint64_t untilSelected = 0;  // samples to skip before the next selected one
    double sampleTime = header.firstSampleTime;
    LogStream& input = conversion.input;
    while (index < totalSamples && !conversion.output.failed) {
        std::size_t available = fillLogStream(input, 2);
        if (available < 2)
            break;
        std::int64_t count = std::min<std::int64_t>(totalSamples - index, available / 2);
        const unsigned char* sample = input.data.get() + input.begin;
        for (std::int64_t i = 0; i < count; ++i, sample += 2) {
            if (untilSelected == 0) {
                std::int16_t rawSample;
                std::memcpy(&rawSample, sample, 2);
                byteSwap16(&rawSample);
                writeRecord(conversion, block, sampleTime, rawSample);
                untilSelected = step;
            }
            --untilSelected;
            sampleTime += block.timeStep;
        }
        input.begin += static_cast<std::size_t>(count) * 2;
        index += count;
    }
    if (conversion.output.failed || input.failed)
        return false;
    if (index < totalSamples) {
        std::fprintf(stderr, "truncated block in input file %s: %ld of %ld samples read\n",
                     conversion.inputPath, static_cast<long>(index), static_cast<long>(totalSamples));
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

std::string formatLocalTime(std::int32_t seconds)
{
    static const char* const WEEKDAYS[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const MONTHS[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::time_t time = seconds;
    const std::tm* local = std::localtime(&time);
    if (local == nullptr)
        return "";
    char text[64];
    std::snprintf(text, sizeof text, "%.3s %.3s%3d %.2d:%.2d:%.2d %d", WEEKDAYS[local->tm_wday % 7],
                  MONTHS[local->tm_mon % 12], local->tm_mday, local->tm_hour, local->tm_min,
                  local->tm_sec, local->tm_year + 1900);
    return text;
}

std::string blockSummary(const LogFileHeader& header, const std::string& timeText,
                         const char* prefix, const char* lineEnd)
{
    std::string text;
    auto line = [&](const char* label) {
        text += prefix;
        text += label;
    };
    line("ADC CHANNEL         : ");
    appendInt(text, header.adcChan);
    text += lineEnd;
    line("SAMPLE PERIOD       : ");
    appendInt(text, header.samplePeriod);
    text += " ms";
    text += lineEnd;
    line("FIRST SAMPLE LOGGED : ");
    text += timeText;
    text += lineEnd;
    line("TOTAL SAMPLES       : ");
    appendInt(text, header.totalSamples);
    text += lineEnd;
    line("CALIBRATION OFFSET  : ");
    appendFixed(text, header.calOffset, 6);
    text += lineEnd;
    line("CALIBRATION GAIN    : ");
    appendFixed(text, header.calGain, 6);
    text += lineEnd;
    return text;
}

int processFile(const char* path)
{
    std::FILE* input = openInput(path);
    if (input == nullptr) {
        std::fprintf(stderr, "failed to open input file %s\n", path);
        return 0;
    }
    Conversion conversion;
    conversion.inputPath = path;
    conversion.outputPath = std::string(path) + ".txt";
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
