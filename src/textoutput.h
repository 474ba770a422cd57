// The text file, written through a buffer of our own: records are formatted
// straight into it, and it reaches the file only when flushed or full.
#ifndef QUARVEL_TEXTOUTPUT_H
#define QUARVEL_TEXTOUTPUT_H

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>

constexpr std::size_t OUTPUT_CAPACITY = std::size_t{256} * 1024;

struct TextOutput {
    std::FILE* file = nullptr;     // null while no file is open
    std::unique_ptr<char[]> data;  // OUTPUT_CAPACITY bytes, kept from file to file
    std::size_t used = 0;
    bool failed = false;  // a write failed: later text is dropped
};

// Starts writing `file`, unbuffered by stdio, through the output's buffer.
void openTextOutput(TextOutput& output, std::FILE* file);

// Writes what the buffer holds to the file (not flushed) and empties it.
void drainTextOutput(TextOutput& output);

// Drains the buffer and flushes the file, so that a reader sees it all.
void flushTextOutput(TextOutput& output);

// Closes the file, whose text must have been flushed; returns false when a
// write or the close failed.
bool closeTextOutput(TextOutput& output);

// Appends `text` of any length.
void writeText(TextOutput& output, const std::string& text);

// Where the next text goes: formatted there directly, then committed.
inline char* textEnd(TextOutput& output)
{
    return output.data.get() + output.used;
}

// The last place from which `length` bytes still fit into the buffer.
inline const char* lastStartFor(const TextOutput& output, std::size_t length)
{
    return output.data.get() + (OUTPUT_CAPACITY - length);
}

// Takes the text up to `end`, written from textEnd on, into the buffer.
inline void commitText(TextOutput& output, const char* end)
{
    output.used = static_cast<std::size_t>(end - output.data.get());
}

#endif
