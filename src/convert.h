// Conversion of one logger file into its ".txt" companion.
#ifndef QUARVEL_CONVERT_H
#define QUARVEL_CONVERT_H

#include "logfile.h"
#include "settings.h"
#include "system.h"
#include "tailcache.h"
#include "textoutput.h"

#include <vector>

// What one file's conversion leaves for the next: the buffers and the tail
// cache, which are costly to make again. Owned by the file loop and passed
// to each conversion; between files no file is open in it.
struct ConversionState {
    LogStream input;
    TextOutput output;
    TailCache tailCache;
};

// The files that the run's operands name, looked up before the first is
// converted, sorted: no text file may be written over one of them.
std::vector<FileId> lookUpOperands(char* const* paths, int count);

// Converts the logger file at `path` into `path` + ".txt" as `runSettings`
// say, in `state`. Returns 1 when the run must end with status 1: the input
// or the output could not be opened (or the output is the input, or one of
// `operandFiles`, under another name), the input is text that quarvel wrote,
// or a read or write failed. Else 0, also for a block cut short, whose
// records are kept.
int processFile(
    const char* path, const RunSettings& runSettings, const std::vector<FileId>& operandFiles, ConversionState& state);

#endif
