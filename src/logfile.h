// The logger file format: blocks of a 24-byte big-endian header followed by
// that block's 16-bit big-endian samples.
#ifndef QUARVEL_LOGFILE_H
#define QUARVEL_LOGFILE_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <utility>

constexpr std::size_t LOG_HEADER_SIZE = 24;

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
// straight out of `data[begin, end)`, so the converter never copies them.
struct LogStream {
    std::FILE* file = nullptr;
    std::unique_ptr<unsigned char[]> data;
    std::size_t capacity = 0;
    std::size_t begin = 0;
    std::size_t end = 0;
    bool atEnd = false;   // the file has no more bytes
    bool failed = false;  // a read error other than end of file
};

constexpr std::size_t LOG_STREAM_CAPACITY = std::size_t{256} * 1024;

void openLogStream(LogStream& stream, std::FILE* file, std::size_t capacity = LOG_STREAM_CAPACITY);

// Makes at least `wanted` bytes available unless the file ends or fails
// first; returns how many bytes are available.
std::size_t fillLogStream(LogStream& stream, std::size_t wanted);

// Reads the next block header. Returns 1 with the fields in host order, or 0
// when no complete header is left (end of file, a trailing fragment, or a
// read error, which sets `stream.failed`).
int readLogFileHeader(LogFileHeader& header, LogStream& stream);

// Reverse the bytes of a 32-bit field or a 16-bit sample in place. Inline:
// the sample loop calls byteSwap16 once per written sample.
inline void byteSwap32(void* field)
{
    auto* bytes = static_cast<unsigned char*>(field);
    std::swap(bytes[0], bytes[3]);
    std::swap(bytes[1], bytes[2]);
}

inline void byteSwap16(void* sample)
{
    auto* bytes = static_cast<unsigned char*>(sample);
    std::swap(bytes[0], bytes[1]);
}

#endif
