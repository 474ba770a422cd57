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
// converted, whatever their order.
struct OperandFiles {
    // Sorted. No text file is written over one of them, except:
    std::vector<FileId> all;
    // Sorted: the operands that are another operand's text file and hold
    // nothing to lose: text that quarvel wrote by the strict rule (see
    // isStrictText), or an empty file. Each is written over as that text
    // file, and never converted.
    std::vector<FileId> replaceable;
};

// Looks up the `count` operands `paths`. Reads the start of those that are
// another operand's text file, and of no other.
OperandFiles lookUpOperands(char* const* paths, int count);

// Why a file could not be opened: the system's error number, or the words
// of a guard that refused it.
struct OpenFailure {
    int errorNumber = 0;
    const char* refusal = nullptr;
};

// Opens the logger file; `status` tells which file it is.
std::FILE* openInput(const char* path, FileStatus& status, OpenFailure& failure);

// Whether the input, which is `status` and is open in `input`, is text that
// quarvel wrote, or an operand that is written over as another's text file.
bool isOwnTextInput(const FileStatus& status, const OperandFiles& operands, LogStream& input);

// Opens the text file of the input `input` at `outputPath` and empties it,
// unless that would destroy a log.
std::FILE* openOutput(
    const FileStatus& input, const OperandFiles& operands, const std::string& outputPath, OpenFailure& failure);

#endif
