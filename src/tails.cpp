#include "tails.h"

#include "settings.h"
#include "system.h"

#include <algorithm>
#include <bit>
#include <cmath>

// The calibrated value's product must be rounded before the sum: no fused
// multiply-add. GCC and Clang are told so by -ffp-contract=off; MSVC before
// Visual Studio 2022 contracts by default.
#ifdef _MSC_VER
#pragma fp_contract(off)
#endif

namespace {

// Below this many samples of one tail format, formatting every tail costs
// less than the page faults of the table slots it would touch.
constexpr std::uint64_t CACHE_MIN_SAMPLES = 4096;

bool operator==(const TailFormat& a, const TailFormat& b)
{
    return a.gainBits == b.gainBits && a.offsetBits == b.offsetBits && a.afterTime == b.afterTime && a.doRaw == b.doRaw
        && a.doCal == b.doCal && a.constantFields == b.constantFields;
}

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

// Without memory for the table every tail is formatted: slower, no worse.
void allocateSlots(TailCache& cache)
{
    // calloc: the system supplies zeroed pages (stamp 0, never a generation)
    // only as slots are first touched.
    cache.memory.reset(static_cast<char*>(std::calloc(RAW_VALUES * TAIL_SLOT_SIZE + TAIL_SLOT_SIZE, 1)));
    if (!cache.memory)
        return;
    auto address = reinterpret_cast<std::uintptr_t>(cache.memory.get());
    cache.slots = cache.memory.get() + (TAIL_SLOT_SIZE - address % TAIL_SLOT_SIZE) % TAIL_SLOT_SIZE;
}

}  // namespace

TailFormat describeTails(const LogFileHeader& header)
{
    TailFormat format;
    std::string& fields = format.constantFields;
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
    format.gainBits = bitCast<std::uint32_t>(header.calGain);
    format.offsetBits = bitCast<std::uint32_t>(header.calOffset);
    format.afterTime = settings.doTime;
    format.doRaw = settings.doRaw;
    format.doCal = settings.doCal;
    return format;
}

float calibrate(std::int16_t rawSample, float gain, float offset)
{
    // The product is exact in double; the sum is rounded once to float.
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
        out = formatFixed(out, calibrate(rawSample, gain, offset), 6);
    }
    *out++ = '\r';
    *out++ = '\n';
    return out;
}

TailSlots startBlock(TailCache& cache, const TailFormat& format, std::int64_t totalSamples)
{
    if (format != cache.format || cache.generation == 0) {
        cache.format = format;
        cache.samplesInFormat = 0;
        if (++cache.generation == 0) {  // after 2^32 formats: stamps might repeat
            if (cache.slots != nullptr)
                std::fill_n(cache.slots, RAW_VALUES * TAIL_SLOT_SIZE, 0);
            cache.generation = 1;
        }
    }
    cache.samplesInFormat += static_cast<std::uint64_t>(std::max<std::int64_t>(totalSamples, 0));
    if (cache.samplesInFormat < CACHE_MIN_SAMPLES)
        return {nullptr, 0};
    if (cache.slots == nullptr)
        allocateSlots(cache);
    return {cache.slots, cache.generation};  // no slots if the allocation failed
}

char* fillTailSlot(char* out, char* slot, std::uint32_t generation, const TailFormat& format, std::int16_t rawSample)
{
    char* end = formatRecordTail(out, format, rawSample);
    auto length = static_cast<std::size_t>(end - out);
    if (length <= TAIL_MAX_CACHED) {
        std::memcpy(slot, out, length);
        slot[TAIL_LENGTH_AT] = static_cast<char>(length);
        std::memcpy(slot + TAIL_STAMP_AT, &generation, sizeof generation);
    }
    return end;
}
