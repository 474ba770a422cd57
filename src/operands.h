// The files that a run's operands name, opened so that no log is lost: an
// input is read only if it is a file and not text that quarvel wrote, and
// a text file is emptied only if it is no operand that holds a log.
#ifndef QUARVEL_OPERANDS_H
#define QUARVEL_OPERANDS_H

#include "logfile.h"
#include "system.h"

#include <cstdio>
#include <string>
#include <vector>

// The files that the run's operands name, looked up before the first is
// converted, whatever their order. What they hold is looked at only when
// it matters, in each file's turn: a logger may write into one meanwhile.
struct OperandFiles {
    // Sorted. No text file is written over one of them, unless it holds
    // nothing to lose when it is about to be emptied (see openOutput).
    std::vector<FileId> all;
    // Sorted: the operands that are another operand's text file.
    std::vector<FileId> texts;
};

// Looks up the `count` operands `paths`, and the text file of each. Reads
// none of them.
OperandFiles lookUpOperands(char* const* paths, int count);

// Why a file could not be opened: the system's error number, or the words
// of a guard that refused it.
struct OpenFailure {
    int errorNumber = 0;
    const char* refusal = nullptr;
};

// Opens the logger file; `status` tells which file it is.
std::FILE* openInput(const char* path, FileStatus& status, OpenFailure& failure);

// Why the input, which is `status` and is open in `input`, is not converted,
// as a message of messages.h: it is text that quarvel wrote
// (INPUT_IS_OWN_TEXT), or it is empty and another operand's text file
// (INPUT_IS_EMPTY_TEXT). Nullptr when it is converted. Judged on what it
// holds now.
const char* inputRefusal(const FileStatus& status, const OperandFiles& operands, LogStream& input);

// Opens the text file of the input `input` at `outputPath` and empties it,
// unless that would destroy a log.
std::FILE* openOutput(
    const FileStatus& input, const OperandFiles& operands, const std::string& outputPath, OpenFailure& failure);

#endif
