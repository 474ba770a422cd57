// The part of a record that follows its time stamp. Within a block it is a
// function of the raw count alone, so a table keeps the text of each raw
// count once it has been formatted, for as long as blocks keep the same
// channel, period, count, gain and offset.
#ifndef QUARVEL_TAILS_H
#define QUARVEL_TAILS_H

#include "format.h"
#include "logfile.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

// No record can be longer: a time stamp, five integers and three floats.
constexpr std::size_t RECORD_MAX_CHARS = FIXED_MAX_CHARS + 5 * INT_MAX_CHARS + 3 * FIXED_MAX_CHARS + 16;

// Everything a block's tails are made of besides the raw count.
struct TailFormat {
    std::string constantFields;  // channel to offset, those selected, comma-separated
    std::uint32_t gainBits = 0;
    std::uint32_t offsetBits = 0;
    bool afterTime = false;  // a time stamp comes first: the tail starts with a separator
    bool doRaw = false;
    bool doCal = false;
};

// The tail format of a block under the run settings.
TailFormat describeTails(const LogFileHeader& header);

// raw × gain + offset: the product and sum in double, rounded once to float.
// A NaN result takes the sign that x86-64 gives it, whichever CPU computed it.
float calibrate(std::int16_t rawSample, float gain, float offset);

// Writes the tail of the record of `rawSample`; returns its end.
char* formatRecordTail(char* out, const TailFormat& format, std::int16_t rawSample);

// The table: one 64-byte slot, a cache line, for each of the 65536 raw
// counts, holding the tail, its length, and the generation stamp that says
// which tail format it was made under. Longer tails are formatted every time.
constexpr std::size_t RAW_VALUES = 65536;
constexpr std::size_t TAIL_SLOT_SIZE = 64;
constexpr std::size_t TAIL_MAX_CACHED = 59;
constexpr std::size_t TAIL_LENGTH_AT = 59;
constexpr std::size_t TAIL_STAMP_AT = 60;
static_assert(TAIL_SLOT_SIZE <= RECORD_MAX_CHARS);

struct FreeMemory {
    void operator()(void* memory) const { std::free(memory); }
};

struct TailCache {
    std::unique_ptr<char[], FreeMemory> memory;  // allocated when a block first repays it
    char* slots = nullptr;                       // `memory` aligned to a cache line
    std::uint32_t generation = 0;
    TailFormat format;
    std::uint64_t samplesInFormat = 0;  // declared samples of the blocks since the format changed
};

// The table as the hot loop uses it: plain values that stay in registers.
// No slots means that the block formats every tail.
struct TailSlots {
    char* slots;
    std::uint32_t generation;
};

// Makes the table ready for a block of `totalSamples` samples whose tails
// follow `format`. Returns no slots while the samples of that format are too
// few to repay a table, whose pages the system must first supply.
TailSlots startBlock(TailCache& cache, const TailFormat& format, std::int64_t totalSamples);

// Each record's position depends on the length of the tail before it, so a
// slot that is not in the CPU cache stalls the loop: fetch slots ahead of use.
constexpr std::int64_t PREFETCH_DISTANCE = 16;

inline void prefetchTail([[maybe_unused]] TailSlots tails, [[maybe_unused]] const unsigned char* sample)
{
#if defined(__GNUC__) || defined(__clang__)
    std::uint16_t index;
    std::memcpy(&index, sample, 2);
    byteSwap16(&index);
    __builtin_prefetch(tails.slots + std::size_t{index} * TAIL_SLOT_SIZE);
#endif
}

// Formats a tail that is not in the table yet and keeps it if it fits.
char* fillTailSlot(char* out, char* slot, std::uint32_t generation, const TailFormat& format, std::int16_t rawSample);

// Writes the tail of `rawSample` at `out`, which has room for RECORD_MAX_CHARS.
inline char* writeCachedTail(char* out, TailSlots tails, const TailFormat& format, std::int16_t rawSample)
{
    const std::size_t index = static_cast<std::uint16_t>(rawSample);
    char* slot = tails.slots + index * TAIL_SLOT_SIZE;
    std::uint32_t stamp;
    std::memcpy(&stamp, slot + TAIL_STAMP_AT, sizeof stamp);
    if (stamp != tails.generation)
        return fillTailSlot(out, slot, tails.generation, format, rawSample);
    // Most tails are short: copy the second half of the slot only when needed.
    const std::size_t length = static_cast<unsigned char>(slot[TAIL_LENGTH_AT]);
    std::memcpy(out, slot, TAIL_SLOT_SIZE / 2);
    if (length > TAIL_SLOT_SIZE / 2)
        std::memcpy(out + TAIL_SLOT_SIZE / 2, slot + TAIL_SLOT_SIZE / 2, TAIL_SLOT_SIZE / 2);
    return out + length;
}

#endif
