// The straightforward converter that quarvel's speed is measured against:
// a 2-byte fread per sample and one fprintf per field, as simple as it gets.
// It writes exactly what quarvel writes for the flags it understands.
//
// Usage: quarvel_baseline FLAGS SUFFIX INPUT...
// Converts each INPUT into INPUT followed by SUFFIX. FLAGS are letters of
// tcpNgorCsS; any other character is ignored, so "-tc" reads as in quarvel.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

struct Flags {
    bool time, channel, period, samples, gain, offset, raw, cal = true;
    int headers = 1;
};

Flags parseFlags(const char* letters)
{
    Flags flags{};
    flags.cal = true;
    for (const char* c = letters; *c; ++c) {
        switch (*c) {
        case 't': flags.time = true; break;
        case 'c': flags.channel = true; break;
        case 'p': flags.period = true; break;
        case 'N': flags.samples = true; break;
        case 'g': flags.gain = true; break;
        case 'o': flags.offset = true; break;
        case 'r': flags.raw = true; break;
        case 'C': flags.cal = false; break;
        case 's': flags.headers = 2; break;
        case 'S': flags.headers = 3; break;
        default: break;
        }
    }
    return flags;
}

std::uint32_t bigEndian32(const unsigned char* bytes)
{
    return std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 | std::uint32_t{bytes[2]} << 8 | bytes[3];
}

float asFloat(std::uint32_t bits)
{
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

struct Block {
    std::int32_t chan;
    std::uint32_t period;
    std::int32_t start;
    std::int32_t total;
    float gain;
    float offset;
};

Block parseHeader(const unsigned char* header)
{
    return {static_cast<std::int32_t>(bigEndian32(header)), bigEndian32(header + 4),
        static_cast<std::int32_t>(bigEndian32(header + 8)), static_cast<std::int32_t>(bigEndian32(header + 12)),
        asFloat(bigEndian32(header + 16)), asFloat(bigEndian32(header + 20))};
}

void writeHeaderLines(std::FILE* out, const Block& block)
{
    std::time_t startTime = block.start;
    char timeText[80];
    std::snprintf(timeText, sizeof timeText, "%s", std::ctime(&startTime));
    timeText[std::strlen(timeText) - 1] = '\0';
    std::fprintf(out, "%%ADC CHANNEL         : %d\r\n", block.chan);
    std::fprintf(out, "%%SAMPLE PERIOD       : %lu ms\r\n", static_cast<unsigned long>(block.period));
    std::fprintf(out, "%%FIRST SAMPLE LOGGED : %s\r\n", timeText);
    std::fprintf(out, "%%TOTAL SAMPLES       : %ld\r\n", static_cast<long>(block.total));
    std::fprintf(out, "%%CALIBRATION OFFSET  : %f\r\n", static_cast<double>(block.offset));
    std::fprintf(out, "%%CALIBRATION GAIN    : %f\r\n", static_cast<double>(block.gain));
}

void writeRecord(std::FILE* out, const Flags& flags, const Block& block, double sampleTime, std::int16_t raw)
{
    const char* separator = "";
    if (flags.time) {
        std::fprintf(out, "%s%.3lf", separator, sampleTime);
        separator = ",";
    }
    if (flags.channel) {
        std::fprintf(out, "%s%d", separator, block.chan);
        separator = ",";
    }
    if (flags.period) {
        std::fprintf(out, "%s%lu", separator, static_cast<unsigned long>(block.period));
        separator = ",";
    }
    if (flags.samples) {
        std::fprintf(out, "%s%ld", separator, static_cast<long>(block.total));
        separator = ",";
    }
    if (flags.gain) {
        std::fprintf(out, "%s%f", separator, static_cast<double>(block.gain));
        separator = ",";
    }
    if (flags.offset) {
        std::fprintf(out, "%s%f", separator, static_cast<double>(block.offset));
        separator = ",";
    }
    if (flags.raw) {
        std::fprintf(out, "%s%hd", separator, raw);
        separator = ",";
    }
    if (flags.cal) {
        auto cal = static_cast<float>(raw * static_cast<double>(block.gain) + block.offset);
        std::fprintf(out, "%s%f", separator, static_cast<double>(cal));
    }
    std::fputs("\r\n", out);
}

// The output is flushed after records 0, 1024, 2048, ... of each file, as
// quarvel does.
void convertStream(std::FILE* in, std::FILE* out, const Flags& flags)
{
    unsigned char header[24];
    bool first = true;
    unsigned long records = 0;
    while (std::fread(header, 24, 1, in) == 1) {
        Block block = parseHeader(header);
        if (flags.headers == 1 || (flags.headers == 2 && first)) {
            writeHeaderLines(out, block);
            first = false;
        }
        double sampleTime = block.start;
        double timeStep = static_cast<std::int32_t>(block.period) / 1000.0;
        for (std::int32_t i = 0; i < block.total; ++i) {
            unsigned char bytes[2];
            if (std::fread(bytes, 2, 1, in) != 1)
                return;
            writeRecord(out, flags, block, sampleTime, static_cast<std::int16_t>(bytes[0] << 8 | bytes[1]));
            if (records++ % 1024 == 0)
                std::fflush(out);
            sampleTime += timeStep;
        }
    }
}

bool convertFile(const Flags& flags, const char* inputPath, const char* suffix)
{
    // Plain C strings: std::string would link the C++ library, a cost at
    // start-up that a converter like this need not pay.
    char outputPath[4096];
    if (std::snprintf(outputPath, sizeof outputPath, "%s%s", inputPath, suffix) >= static_cast<int>(sizeof outputPath))
        return false;
    std::FILE* in = std::fopen(inputPath, "rb");
    if (!in)
        return false;
    std::FILE* out = std::fopen(outputPath, "wb");
    if (!out) {
        std::fclose(in);
        return false;
    }
    convertStream(in, out, flags);
    std::fclose(in);
    return std::fclose(out) == 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fputs("usage: quarvel_baseline FLAGS SUFFIX INPUT...\n", stderr);
        return 2;
    }
    Flags flags = parseFlags(argv[1]);
    for (int i = 3; i < argc; ++i) {
        if (!convertFile(flags, argv[i], argv[2])) {
            std::fprintf(stderr, "quarvel_baseline: failed to convert %s\n", argv[i]);
            return 1;
        }
    }
    return 0;
}
