// Conversion of one logger file into its ".txt" companion.
#ifndef QUARVEL_CONVERT_H
#define QUARVEL_CONVERT_H

#include "logfile.h"
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

// Converts the logger file at `path` into `path` + ".txt" as the run
// settings say, in `state`. Returns 1 when a read or write failure must make
// the run end with status 1, else 0 (a file that cannot be opened is
// reported but does not change the status).
int processFile(const char* path, ConversionState& state);

#endif
