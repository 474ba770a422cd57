// Conversion of one logger file into its ".txt" companion.
#ifndef QUARVEL_CONVERT_H
#define QUARVEL_CONVERT_H

// Converts the logger file at `path` into `path` + ".txt" as the run
// settings say. Returns 1 when a read or write failure must make the run
// end with status 1, else 0 (a file that cannot be opened is reported but
// does not change the status).
int processFile(const char* path);

#endif
