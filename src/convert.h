// Conversion of one logger file into its ".txt" companion.
#ifndef QUARVEL_CONVERT_H
#define QUARVEL_CONVERT_H

#include "logfile.h"
#include "operands.h"
#include "outcome.h"
#include "settings.h"
#include "tailcache.h"
#include "textoutput.h"

// What one file's conversion leaves for the next: the buffers and the tail
// cache, which are costly to make again. Owned by the file loop and passed
// to each conversion; between files no file is open in it.
struct ConversionState {
    LogStream input;
    TextOutput output;
    TailCache tailCache;
};

// Converts the logger file at `path` into `path` + ".txt" as `runSettings`
// say, in `state`, and returns what became of it, having said so on
// standard error. It fails (see outcome.h) when the input or the output
// could not be opened (or the output is the input, or one of `operands`
// that holds more than nothing to lose), a guard refused the input, or a
// read or write failed; not for a block cut short, whose records are kept.
FileOutcome processFile(
    const char* path, const RunSettings& runSettings, const OperandFiles& operands, ConversionState& state);

#endif
