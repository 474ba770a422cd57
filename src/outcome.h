// What became of one file operand, as a record of what quarvel says of it
// on standard error. processFile gives it to the file loop, which hands it
// to the system (system.h: noteOutcome) for a host that shows each file's
// outcome, as the web page does; its words are those of messages.h.
#ifndef QUARVEL_OUTCOME_H
#define QUARVEL_OUTCOME_H

#include <string>

// How a file's turn ended.
enum class FileEnd {
    CONVERTED,           // to its end, perhaps with a block cut short
    REFUSED,             // the input, by a guard: `refusal` says which
    OPEN_INPUT_FAILED,   // `errorNumber` says why
    OPEN_OUTPUT_FAILED,  // `refusal` says why when a guard refused it, else `errorNumber`
    READ_FAILED,         // the conversion ended there: what was written is kept
    WRITE_FAILED,
};

struct FileOutcome {
    FileEnd end = FileEnd::CONVERTED;
    // The guard that refused the input or its text file, as its words in
    // messages.h: INPUT_IS_OWN_TEXT or INPUT_IS_EMPTY_TEXT (REFUSED),
    // OUTPUT_IS_INPUT or OUTPUT_IS_ANOTHER_INPUT (OPEN_OUTPUT_FAILED).
    const char* refusal = nullptr;
    int errorNumber = 0;  // the system's, when a file could not be opened
    // A block cut short (TRUNCATED_BLOCK): its samples read, and declared.
    bool cutShort = false;
    long samplesRead = 0;
    long samplesDeclared = 0;
    std::string said;  // every line that quarvel wrote about the file on standard error
};

// Whether the run ends with status 1 for this file.
inline bool failed(const FileOutcome& outcome)
{
    return outcome.end != FileEnd::CONVERTED;
}

#endif
