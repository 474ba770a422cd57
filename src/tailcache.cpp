#include "tailcache.h"

#include <algorithm>

namespace {

// Below this many samples of one tail format, formatting every tail costs
// less than the page faults of the table slots it would touch.
constexpr std::uint64_t CACHE_MIN_SAMPLES = 4096;

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

TailSlots tailSlotsFor(TailCache& cache, const TailFormat& format, std::int64_t totalSamples)
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
    return {cache.slots, cache.generation};  // no table if the allocation failed
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
