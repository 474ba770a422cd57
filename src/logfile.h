// The logger file format: blocks of a 24-byte big-endian header followed by
// that block's 16-bit big-endian samples.
#ifndef QUARVEL_LOGFILE_H
#define QUARVEL_LOGFILE_H

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

constexpr std::size_t LOG_HEADER_SIZE = 24;
constexpr std::size_t LOG_SAMPLE_SIZE = 2;
static_assert(LOG_SAMPLE_SIZE == sizeof(std::int16_t));

// One block header in host byte order; same field order and widths as on disk.
struct LogFileHeader {
    std::int32_t adcChan;
    std::uint32_t samplePeriod;
    std::int32_t firstSampleTime;
    std::int32_t totalSamples;
    float calGain;
    float calOffset;
};
static_assert(sizeof(LogFileHeader) == LOG_HEADER_SIZE);

// Buffered reader over an open input file. The samples of a block are taken
// straight out of the buffer (logStreamBytes), so the converter never copies
// them. The buffer is kept from file to file.
struct LogStream {
    std::FILE* file = nullptr;  // null while no file is open
    std::unique_ptr<unsigned char[]> data;
    std::size_t capacity = 0;
    std::size_t begin = 0;
    std::size_t end = 0;
    bool atEnd = false;   // the file has no more bytes
    bool failed = false;  // a read error other than end of file
};

constexpr std::size_t LOG_STREAM_CAPACITY = std::size_t{256} * 1024;

// Starts reading `file`, reusing the stream's buffer when it has one of
// `capacity` bytes.
void openLogStream(LogStream& stream, std::FILE* file, std::size_t capacity = LOG_STREAM_CAPACITY);

// Closes the file; the buffer stays for the next one.
void closeLogStream(LogStream& stream);

// Makes at least `wanted` bytes available unless the file ends or fails
// first; returns how many bytes are available. `wanted` must not exceed the
// buffer's capacity.
std::size_t fillLogStream(LogStream& stream, std::size_t wanted);

// The bytes available, as many as fillLogStream last returned less those
// consumed since.
inline const unsigned char* logStreamBytes(const LogStream& stream)
{
    return stream.data.get() + stream.begin;
}

// Marks `count` of the available bytes as used.
inline void consumeLogStream(LogStream& stream, std::size_t count)
{
    assert(count <= stream.end - stream.begin);
    stream.begin += count;
}

// Reads the next block header. Returns 1 with the fields in host order, or 0
// when no complete header is left (end of file, a trailing fragment, or a
// read error, which sets `stream.failed`).
int readLogFileHeader(LogFileHeader& header, LogStream& stream);

// Turn a big-endian 32-bit field or 16-bit sample into host byte order in
// place: a byte reversal on little-endian hosts, nothing on big-endian ones.
// Built from shifts, which compilers turn into one swap instruction, so no
// assumption about the host is needed. Inline: the sample loop calls
// byteSwap16 once per written sample.
inline void byteSwap32(void* field)
{
    unsigned char bytes[4];
    std::memcpy(bytes, field, sizeof bytes);
    const std::uint32_t value = std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16
        | std::uint32_t{bytes[2]} << 8 | std::uint32_t{bytes[3]};
    std::memcpy(field, &value, sizeof value);
}

inline void byteSwap16(void* sample)
{
    unsigned char bytes[2];
    std::memcpy(bytes, sample, sizeof bytes);
    const auto value = static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]);
    std::memcpy(sample, &value, sizeof value);
}

#endif
