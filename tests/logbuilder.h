// Crafts logger files for the tests: blocks of a big-endian header and
// big-endian 16-bit samples.
#ifndef QUARVEL_TESTS_LOGBUILDER_H
#define QUARVEL_TESTS_LOGBUILDER_H

#include <bit>
#include <cstdint>
#include <string>
#include <vector>

struct TestBlock {
    std::int32_t adcChan = 3;
    std::uint32_t samplePeriod = 500;
    std::int32_t firstSampleTime = 1 << 30;
    std::int32_t totalSamples = 0;  // as declared in the header
    float calGain = 0.5F;
    float calOffset = 1.0F;
    std::vector<std::int16_t> samples;
};

inline void appendBigEndian32(std::string& bytes, std::uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        bytes += static_cast<char>((value >> shift) & 0xff);
}

inline std::string encodeHeader(const TestBlock& block)
{
    std::string bytes;
    appendBigEndian32(bytes, static_cast<std::uint32_t>(block.adcChan));
    appendBigEndian32(bytes, block.samplePeriod);
    appendBigEndian32(bytes, static_cast<std::uint32_t>(block.firstSampleTime));
    appendBigEndian32(bytes, static_cast<std::uint32_t>(block.totalSamples));
    appendBigEndian32(bytes, std::bit_cast<std::uint32_t>(block.calGain));
    appendBigEndian32(bytes, std::bit_cast<std::uint32_t>(block.calOffset));
    return bytes;
}

inline std::string encodeSamples(const std::vector<std::int16_t>& samples)
{
    std::string bytes;
    for (std::int16_t sample : samples) {
        auto value = static_cast<std::uint16_t>(sample);
        bytes += static_cast<char>(value >> 8);
        bytes += static_cast<char>(value & 0xff);
    }
    return bytes;
}

// A block whose declared count matches its samples.
inline TestBlock makeBlock(std::vector<std::int16_t> samples)
{
    TestBlock block;
    block.totalSamples = static_cast<std::int32_t>(samples.size());
    block.samples = std::move(samples);
    return block;
}

inline std::string encodeLog(const std::vector<TestBlock>& blocks)
{
    std::string bytes;
    for (const TestBlock& block : blocks)
        bytes += encodeHeader(block) + encodeSamples(block.samples);
    return bytes;
}

#endif
