// The text writer's buffer: text longer than the buffer and text that
// straddles a drain arrive whole and in order.
#include "textoutput.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

std::string writtenBy(const std::string& first, const std::string& second)
{
    std::FILE* file = std::tmpfile();
    if (file == nullptr)
        return "no temporary file";
    TextOutput output;
    openTextOutput(output, file);
    writeText(output, first);
    writeText(output, second);
    flushTextOutput(output);
    std::rewind(file);
    std::string text(first.size() + second.size() + 1, '\0');
    text.resize(std::fread(text.data(), 1, text.size(), file));
    EXPECT_TRUE(closeTextOutput(output));
    EXPECT_EQ(output.file, nullptr);
    return text;
}

std::string pattern(std::size_t length, char first)
{
    std::string text(length, ' ');
    for (std::size_t i = 0; i < length; ++i)
        text[i] = static_cast<char>(first + static_cast<char>(i % 23));
    return text;
}

TEST(WriteText, AnyLengthArrivesWholeAndInOrder)
{
    for (std::size_t length : {std::size_t{0}, std::size_t{1}, OUTPUT_CAPACITY - 1, OUTPUT_CAPACITY,
             OUTPUT_CAPACITY + 1, 2 * OUTPUT_CAPACITY + 7}) {
        const std::string first = pattern(length, 'a');
        const std::string second = pattern(OUTPUT_CAPACITY / 2 + 3, 'A');
        EXPECT_EQ(writtenBy(first, second), first + second) << length;
        EXPECT_EQ(writtenBy(second, first), second + first) << length;
    }
}

}  // namespace
