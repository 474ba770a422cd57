// Reading block headers: byte order, end of file and short reads.
#include "logbuilder.h"
#include "logfile.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace {

// Channel 3, 500 ms, first sample at 2^30 s, gain 0.5, offset 1, samples 100 and -100.
const TestBlock EXAMPLE = makeBlock({100, -100});

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

FilePtr memoryFile(const std::string& bytes)
{
    FilePtr file(std::tmpfile());
    std::fwrite(bytes.data(), 1, bytes.size(), file.get());
    std::rewind(file.get());
    return file;
}

std::string exampleBytes()
{
    return encodeLog({EXAMPLE});
}

TEST(ReadLogFileHeader, DecodesBigEndianFields)
{
    FilePtr file = memoryFile(exampleBytes());
    LogStream stream;
    openLogStream(stream, file.get());
    LogFileHeader header{};
    ASSERT_EQ(readLogFileHeader(header, stream), 1);
    EXPECT_EQ(header.adcChan, 3);
    EXPECT_EQ(header.samplePeriod, 500U);
    EXPECT_EQ(header.firstSampleTime, 1 << 30);
    EXPECT_EQ(header.totalSamples, 2);
    EXPECT_EQ(header.calGain, 0.5F);
    EXPECT_EQ(header.calOffset, 1.0F);
    ASSERT_EQ(fillLogStream(stream, 4), 4U);
    std::int16_t samples[2];
    std::memcpy(samples, logStreamBytes(stream), 4);
    byteSwap16(&samples[0]);
    byteSwap16(&samples[1]);
    EXPECT_EQ(samples[0], 100);
    EXPECT_EQ(samples[1], -100);
}

TEST(ReadLogFileHeader, SignedAndUnsignedFieldsKeepTheirBits)
{
    std::string bytes(24, '\xff');
    FilePtr file = memoryFile(bytes);
    LogStream stream;
    openLogStream(stream, file.get());
    LogFileHeader header{};
    ASSERT_EQ(readLogFileHeader(header, stream), 1);
    EXPECT_EQ(header.adcChan, -1);
    EXPECT_EQ(header.samplePeriod, 0xffffffffU);
    EXPECT_EQ(header.totalSamples, -1);
    EXPECT_TRUE(std::isnan(header.calGain));
}

TEST(ReadLogFileHeader, ReturnsZeroWithoutAWholeHeader)
{
    for (std::size_t size : {0, 1, 23}) {
        FilePtr file = memoryFile(exampleBytes().substr(0, size));
        LogStream stream;
        openLogStream(stream, file.get());
        LogFileHeader header{};
        EXPECT_EQ(readLogFileHeader(header, stream), 0) << size;
        EXPECT_FALSE(stream.failed);
    }
}

TEST(ReadLogFileHeader, ReadsAcrossBufferRefills)
{
    // A buffer smaller than a header forces refills in the middle of one.
    std::string bytes = exampleBytes().substr(0, 24) + exampleBytes().substr(0, 24);
    FilePtr file = memoryFile(bytes);
    LogStream stream;
    openLogStream(stream, file.get(), 30);
    LogFileHeader header{};
    ASSERT_EQ(readLogFileHeader(header, stream), 1);
    ASSERT_EQ(readLogFileHeader(header, stream), 1);
    EXPECT_EQ(header.calOffset, 1.0F);
    EXPECT_EQ(readLogFileHeader(header, stream), 0);
    EXPECT_TRUE(stream.atEnd);
}

// Not on Windows, which opens no folder as a file, and whose fread reports
// no error on a write-only stream: a skip there would read as a missing tool.
#ifndef _WIN32
TEST(ReadLogFileHeader, ReadErrorIsNotEndOfFile)
{
    FilePtr file(std::fopen(".", "rb"));  // reading a directory fails
    ASSERT_NE(file, nullptr);
    LogStream stream;
    openLogStream(stream, file.get());
    LogFileHeader header{};
    EXPECT_EQ(readLogFileHeader(header, stream), 0);
    EXPECT_TRUE(stream.failed);
}
#endif

#ifndef NDEBUG
TEST(FillLogStreamDeathTest, MoreThanTheBufferHoldsIsRefused)
{
    FilePtr file = memoryFile(exampleBytes());
    LogStream stream;
    openLogStream(stream, file.get(), 16);
    EXPECT_DEATH(fillLogStream(stream, 17), "wanted <= stream.capacity");
}
#endif

TEST(ByteSwap, TurnsBigEndianIntoHostOrderInPlace)
{
    unsigned char field[] = {1, 2, 3, 4};
    byteSwap32(field);
    std::uint32_t value;
    std::memcpy(&value, field, 4);
    EXPECT_EQ(value, 0x01020304U);
    unsigned char sample[] = {0xAB, 0xCD};
    byteSwap16(sample);
    std::uint16_t raw;
    std::memcpy(&raw, sample, 2);
    EXPECT_EQ(raw, 0xABCDU);
}

}  // namespace
