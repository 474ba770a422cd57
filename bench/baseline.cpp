// The straightforward converter that quarvel's speed is measured against:
// a 2-byte fread per sample and one fprintf per field, as simple as it gets.
// It writes exactly what quarvel writes for the flags it understands.
//
// Usage: quarvel_baseline FLAGS INPUT OUTPUT, with FLAGS letters of tcpNgorCsS.
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

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fputs("usage: quarvel_baseline FLAGS INPUT OUTPUT\n", stderr);
        return 2;
    }
    Flags flags = parseFlags(argv[1]);
    std::FILE* in = std::fopen(argv[2], "rb");
    std::FILE* out = std::fopen(argv[3], "wb");
    if (!in || !out)
        return 1;
    unsigned char header[24];
    bool first = true;
    unsigned long records = 0;
    while (std::fread(header, 24, 1, in) == 1) {
        auto chan = static_cast<std::int32_t>(bigEndian32(header));
        std::uint32_t period = bigEndian32(header + 4);
        auto start = static_cast<std::int32_t>(bigEndian32(header + 8));
        auto total = static_cast<std::int32_t>(bigEndian32(header + 12));
        float gain = asFloat(bigEndian32(header + 16));
        float offset = asFloat(bigEndian32(header + 20));
        std::time_t startTime = start;
        char timeText[80];
        std::snprintf(timeText, sizeof timeText, "%s", std::ctime(&startTime));
        timeText[std::strlen(timeText) - 1] = '\0';
        if (flags.headers == 1 || (flags.headers == 2 && first)) {
            std::fprintf(out, "%%ADC CHANNEL         : %d\r\n", chan);
            std::fprintf(out, "%%SAMPLE PERIOD       : %lu ms\r\n", static_cast<unsigned long>(period));
            std::fprintf(out, "%%FIRST SAMPLE LOGGED : %s\r\n", timeText);
            std::fprintf(out, "%%TOTAL SAMPLES       : %ld\r\n", static_cast<long>(total));
            std::fprintf(out, "%%CALIBRATION OFFSET  : %f\r\n", static_cast<double>(offset));
            std::fprintf(out, "%%CALIBRATION GAIN    : %f\r\n", static_cast<double>(gain));
            first = false;
        }
        double sampleTime = start;
        double timeStep = static_cast<std::int32_t>(period) / 1000.0;
        for (std::int32_t i = 0; i < total; ++i) {
            unsigned char bytes[2];
            if (std::fread(bytes, 2, 1, in) != 1)
                break;
            auto raw = static_cast<std::int16_t>(bytes[0] << 8 | bytes[1]);
            const char* separator = "";
            if (flags.time) {
                std::fprintf(out, "%s%.3lf", separator, sampleTime);
                separator = ",";
            }
            if (flags.channel) {
                std::fprintf(out, "%s%d", separator, chan);
                separator = ",";
            }
            if (flags.period) {
                std::fprintf(out, "%s%lu", separator, static_cast<unsigned long>(period));
                separator = ",";
            }
            if (flags.samples) {
                std::fprintf(out, "%s%ld", separator, static_cast<long>(total));
                separator = ",";
            }
            if (flags.gain) {
                std::fprintf(out, "%s%f", separator, static_cast<double>(gain));
                separator = ",";
            }
            if (flags.offset) {
                std::fprintf(out, "%s%f", separator, static_cast<double>(offset));
                separator = ",";
            }
            if (flags.raw) {
                std::fprintf(out, "%s%hd", separator, raw);
                separator = ",";
            }
            if (flags.cal) {
                auto cal = static_cast<float>(raw * static_cast<double>(gain) + offset);
                std::fprintf(out, "%s%f", separator, static_cast<double>(cal));
            }
            std::fputs("\r\n", out);
            if (records++ % 1024 == 0)
                std::fflush(out);
            sampleTime += timeStep;
        }
    }
    std::fclose(in);
    return std::fclose(out) == 0 ? 0 : 1;
}
