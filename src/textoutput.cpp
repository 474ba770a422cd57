#include "textoutput.h"

#include <algorithm>

void openTextOutput(TextOutput& output, std::FILE* file)
{
    output.file = file;
    if (!output.data)
        output.data.reset(new char[OUTPUT_CAPACITY]);  // uninitialised: written before it is read
    output.used = 0;
    output.failed = false;
    std::setvbuf(file, nullptr, _IONBF, 0);
}

void drainTextOutput(TextOutput& output)
{
    if (!output.failed && output.used > 0 && std::fwrite(output.data.get(), 1, output.used, output.file) != output.used)
        output.failed = true;
    output.used = 0;
}

void flushTextOutput(TextOutput& output)
{
    drainTextOutput(output);
    if (!output.failed && std::fflush(output.file) != 0)
        output.failed = true;
}

bool closeTextOutput(TextOutput& output)
{
    bool written = !output.failed;
    if (std::fclose(output.file) != 0)
        written = false;
    output.file = nullptr;
    return written;
}

void writeText(TextOutput& output, const std::string& text)
{
    // Text that fits goes into the buffer whole; header lines, a few hundred
    // bytes, always do. Longer text goes in buffer-sized pieces.
    if (OUTPUT_CAPACITY - output.used < text.size())
        drainTextOutput(output);
    std::size_t done = 0;
    while (done < text.size()) {
        if (output.used == OUTPUT_CAPACITY)
            drainTextOutput(output);
        std::size_t piece = std::min(text.size() - done, OUTPUT_CAPACITY - output.used);
        commitText(output, std::copy_n(text.data() + done, piece, textEnd(output)));
        done += piece;
    }
}
