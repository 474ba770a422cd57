// The tail cache. Within a block a record's tail (record.h) is a function of
// the raw count alone, so a table keeps the text of each raw count once it
// has been formatted, for as long as blocks keep the same channel, period,
// count, gain and offset.
#ifndef QUARVEL_TAILCACHE_H
#define QUARVEL_TAILCACHE_H

#include "logfile.h"
#include "record.h"

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

// The table: one slot, a cache line, for each of the 65536 raw counts. A
// slot holds the tail's text from its start, the tail's length in the byte
// before the generation stamp, and at its end the stamp, which says which
// tail format the slot was filled under. Tails longer than TAIL_MAX_CACHED
// are formatted every time.
constexpr std::size_t RAW_VALUES = std::size_t{1} << 16;
constexpr std::size_t TAIL_SLOT_SIZE = 64;
constexpr std::size_t TAIL_STAMP_AT = TAIL_SLOT_SIZE - sizeof(std::uint32_t);
constexpr std::size_t TAIL_LENGTH_AT = TAIL_STAMP_AT - 1;
constexpr std::size_t TAIL_MAX_CACHED = TAIL_LENGTH_AT;
static_assert(TAIL_MAX_CACHED <= UCHAR_MAX);
// writeCachedTail copies whole halves of a slot into the record.
static_assert(TAIL_SLOT_SIZE <= RECORD_MAX_CHARS);

struct FreeMemory {
    void operator()(void* memory) const { std::free(memory); }
};

// The table and what its slots were filled under; kept from file to file.
struct TailCache {
    std::unique_ptr<char[], FreeMemory> memory;  // allocated when a block first repays it
    char* slots = nullptr;                       // `memory` aligned to a cache line
    std::uint32_t generation = 0;
    TailFormat format;
    std::uint64_t samplesInFormat = 0;  // declared samples of the blocks since the format changed
};

// The table as the hot loop of one block uses it: plain values that stay in
// registers. A null `table` means that the block formats every tail.
struct TailSlots {
    char* table;
    std::uint32_t generation;
};

// Makes the cache ready for a block of `totalSamples` samples whose tails
// follow `format`. Returns no table while the samples of that format are too
// few to repay one, whose pages the system must first supply.
TailSlots tailSlotsFor(TailCache& cache, const TailFormat& format, std::int64_t totalSamples);

// Each record's position depends on the length of the tail before it, so a
// slot that is not in the CPU cache stalls the loop: fetch slots ahead of use.
constexpr std::int64_t PREFETCH_DISTANCE = 16;

// Fetches the slot of the raw count at `sample`, a big-endian sample.
inline void prefetchTail([[maybe_unused]] TailSlots slots, [[maybe_unused]] const unsigned char* sample)
{
#if defined(__GNUC__) || defined(__clang__)
    std::uint16_t index;
    std::memcpy(&index, sample, sizeof index);
    byteSwap16(&index);
    __builtin_prefetch(slots.table + std::size_t{index} * TAIL_SLOT_SIZE);
#endif
}

// Formats a tail that is not in the table yet and keeps it if it fits.
char* fillTailSlot(char* out, char* slot, std::uint32_t generation, const TailFormat& format, std::int16_t rawSample);

// Writes the tail of `rawSample` at `out`, which has room for RECORD_MAX_CHARS.
inline char* writeCachedTail(char* out, TailSlots slots, const TailFormat& format, std::int16_t rawSample)
{
    const std::size_t index = static_cast<std::uint16_t>(rawSample);
    char* slot = slots.table + index * TAIL_SLOT_SIZE;
    std::uint32_t stamp;
    std::memcpy(&stamp, slot + TAIL_STAMP_AT, sizeof stamp);
    if (stamp != slots.generation)
        return fillTailSlot(out, slot, slots.generation, format, rawSample);
    // Most tails are short: copy the second half of the slot only when needed.
    const std::size_t length = static_cast<unsigned char>(slot[TAIL_LENGTH_AT]);
    std::memcpy(out, slot, TAIL_SLOT_SIZE / 2);
    if (length > TAIL_SLOT_SIZE / 2)
        std::memcpy(out + TAIL_SLOT_SIZE / 2, slot + TAIL_SLOT_SIZE / 2, TAIL_SLOT_SIZE / 2);
    return out + length;
}

#endif
