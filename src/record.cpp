#include "record.h"

#include "shims.h"

#include <algorithm>
#include <bit>
#include <cmath>

// No fused multiply-add can change calibrate's result: the product of a
// 16-bit count and a float (24-bit significand) needs at most 40 bits and is
// exact in double, so fused or not, the sum is rounded to double the same
// way before that double is rounded to float.

namespace {

// The sign of a NaN that raw × gain + offset gives on x86-64: an operand's
// NaN passes through with its sign, the product's before the offset's, and
// a NaN made of numbers (0 × inf, inf - inf) is negative. Other CPUs make
// positive NaNs or pass another operand's on.
bool nanIsNegative(std::int16_t rawSample, float gain, float offset)
{
    if (std::isnan(gain))
        return std::signbit(gain);
    if (std::isinf(gain) && rawSample == 0)
        return true;
    if (std::isnan(offset))
        return std::signbit(offset);
    return true;
}

}  // namespace

TailFormat describeTails(const LogFileHeader& header, const RunSettings& runSettings)
{
    TailFormat format;
    std::string& fields = format.constantFields;
    auto separate = [&fields] {
        if (!fields.empty())
            fields += ',';
    };
    if (runSettings.doChannel) {
        separate();
        appendInt(fields, header.adcChan);
    }
    if (runSettings.doPeriod) {
        separate();
        appendInt(fields, header.samplePeriod);
    }
    if (runSettings.doSamples) {
        separate();
        appendInt(fields, header.totalSamples);
    }
    if (runSettings.doGain) {
        separate();
        appendFixed(fields, header.calGain, VALUE_DECIMALS);
    }
    if (runSettings.doOffset) {
        separate();
        appendFixed(fields, header.calOffset, VALUE_DECIMALS);
    }
    format.gainBits = bitCast<std::uint32_t>(header.calGain);
    format.offsetBits = bitCast<std::uint32_t>(header.calOffset);
    format.afterTime = runSettings.doTime;
    format.doRaw = runSettings.doRaw;
    format.doCal = runSettings.doCal;
    return format;
}

float calibrate(std::int16_t rawSample, float gain, float offset)
{
    // The product is exact in double; the sum is rounded to double, then to float.
    auto value = static_cast<float>(rawSample * static_cast<double>(gain) + offset);
    if (std::isnan(value))
        return std::copysign(value, nanIsNegative(rawSample, gain, offset) ? -1.0F : 1.0F);
    return value;
}

char* formatRecordTail(char* out, const TailFormat& format, std::int16_t rawSample)
{
    bool needSeparator = format.afterTime;
    auto separate = [&] {
        if (needSeparator)
            *out++ = ',';
        needSeparator = true;
    };
    if (!format.constantFields.empty()) {
        separate();
        out = std::copy(format.constantFields.begin(), format.constantFields.end(), out);
    }
    if (format.doRaw) {
        separate();
        out = formatInt(out, rawSample);
    }
    if (format.doCal) {
        separate();
        float gain = bitCast<float>(format.gainBits);
        float offset = bitCast<float>(format.offsetBits);
        out = formatFixed(out, calibrate(rawSample, gain, offset), VALUE_DECIMALS);
    }
    *out++ = '\r';
    *out++ = '\n';
    return out;
}
