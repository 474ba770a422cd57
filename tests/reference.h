// An independent reference for the text a logger file converts to, built
// with the C library's printf conversions, for comparing against quarvel.
#ifndef QUARVEL_TESTS_REFERENCE_H
#define QUARVEL_TESTS_REFERENCE_H

#include "logbuilder.h"
#include "settings.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <limits>
#include <string>
#include <vector>

template <typename... Values> std::string printed(const char* format, Values... values)
{
    char text[512];
    std::snprintf(text, sizeof text, format, values...);
    return text;
}

// The block's first-sample time as ctime renders it in the test process's
// time zone, without the newline.
inline std::string referenceTime(std::int32_t seconds)
{
    std::time_t time = seconds;
    std::string text = std::ctime(&time);
    text.pop_back();
    return text;
}

// The six lines describing a block, each started with `prefix` and ended
// with `lineEnd`.
inline std::string referenceBlockLines(const TestBlock& block, const char* prefix, const char* lineEnd)
{
    std::string text;
    auto line = [&](const std::string& labelled) { text += prefix + labelled + lineEnd; };
    line(printed("ADC CHANNEL         : %d", block.adcChan));
    line(printed("SAMPLE PERIOD       : %lu ms", static_cast<unsigned long>(block.samplePeriod)));
    line(printed("FIRST SAMPLE LOGGED : %s", referenceTime(block.firstSampleTime).c_str()));
    line(printed("TOTAL SAMPLES       : %ld", static_cast<long>(block.totalSamples)));
    line(printed("CALIBRATION OFFSET  : %f", static_cast<double>(block.calOffset)));
    line(printed("CALIBRATION GAIN    : %f", static_cast<double>(block.calGain)));
    return text;
}

// The header lines of the text file.
inline std::string referenceHeaderLines(const TestBlock& block)
{
    return referenceBlockLines(block, "%", "\r\n");
}

// The console summary.
inline std::string referenceSummary(const TestBlock& block)
{
    return referenceBlockLines(block, "", "\n");
}

// raw × gain + offset, the sum rounded to double and then to float, with the NaN that
// x86-64's arithmetic gives when the product comes first in the sum. Written
// out, because a compiler may put either operand first.
inline float referenceCalibrated(std::int16_t raw, float gain, float offset)
{
    const float negativeNan = -std::numeric_limits<float>::quiet_NaN();
    if (std::isnan(gain))
        return gain;
    if (std::isinf(gain) && raw == 0)
        return negativeNan;
    if (std::isnan(offset))
        return offset;
    double sum = raw * static_cast<double>(gain) + offset;
    return std::isnan(sum) ? negativeNan : static_cast<float>(sum);
}

inline std::string referenceRecord(
    const TestBlock& block, const RunSettings& options, double sampleTime, std::int16_t raw)
{
    std::string record;
    bool any = false;
    auto add = [&](bool selected, const std::string& text) {
        if (!selected)
            return;
        if (any)
            record += ',';
        record += text;
        any = true;
    };
    add(options.doTime, printed("%.3lf", sampleTime));
    add(options.doChannel, printed("%d", block.adcChan));
    add(options.doPeriod, printed("%lu", static_cast<unsigned long>(block.samplePeriod)));
    add(options.doSamples, printed("%ld", static_cast<long>(block.totalSamples)));
    add(options.doGain, printed("%f", static_cast<double>(block.calGain)));
    add(options.doOffset, printed("%f", static_cast<double>(block.calOffset)));
    add(options.doRaw, printed("%hd", raw));
    add(options.doCal, printed("%f", static_cast<double>(referenceCalibrated(raw, block.calGain, block.calOffset))));
    return record + "\r\n";
}

inline std::uint32_t referenceBigEndian(const std::string& bytes, std::size_t at, int size)
{
    std::uint32_t value = 0;
    for (int i = 0; i < size; ++i)
        value = value << 8 | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
    return value;
}

// The text file for any bytes at all, also those that end inside a block:
// then the samples read so far are converted and `truncated` is set.
inline std::string referenceConvert(const std::string& bytes, const RunSettings& options, bool& truncated)
{
    std::string text;
    std::size_t at = 0;
    bool first = true;
    truncated = false;
    while (bytes.size() - at >= 24) {
        TestBlock block;
        block.adcChan = static_cast<std::int32_t>(referenceBigEndian(bytes, at, 4));
        block.samplePeriod = referenceBigEndian(bytes, at + 4, 4);
        block.firstSampleTime = static_cast<std::int32_t>(referenceBigEndian(bytes, at + 8, 4));
        block.totalSamples = static_cast<std::int32_t>(referenceBigEndian(bytes, at + 12, 4));
        block.calGain = std::bit_cast<float>(referenceBigEndian(bytes, at + 16, 4));
        block.calOffset = std::bit_cast<float>(referenceBigEndian(bytes, at + 20, 4));
        at += 24;
        if (options.headers == HEADERS_ALL || (options.headers == HEADERS_FIRST && first))
            text += referenceHeaderLines(block);
        first = false;
        double sampleTime = block.firstSampleTime;
        double timeStep = static_cast<std::int32_t>(block.samplePeriod) / 1000.0;
        for (std::int64_t i = 0; i < block.totalSamples; ++i) {
            if (bytes.size() - at < 2) {
                truncated = true;
                return text;
            }
            auto raw = static_cast<std::int16_t>(referenceBigEndian(bytes, at, 2));
            at += 2;
            if (i % options.modulus == 0)
                text += referenceRecord(block, options, sampleTime, raw);
            sampleTime += timeStep;
        }
    }
    return text;
}

// The text file for complete blocks (samples.size() == totalSamples, or no
// samples for counts of zero and below).
inline std::string referenceText(const std::vector<TestBlock>& blocks, const RunSettings& options)
{
    bool truncated = false;
    return referenceConvert(encodeLog(blocks), options, truncated);
}

#endif
