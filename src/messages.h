// What quarvel says on standard error about a file, and about standard
// output: printf formats, each a whole line. A path is the operand as it was
// given, the text file's the operand and ".txt". The web page is handed
// them with each file's outcome (outcome.h), and the readers, the manual
// and the tests copy them: tests/message_copies.py holds every copy against
// this table and against what the program prints.
#ifndef QUARVEL_MESSAGES_H
#define QUARVEL_MESSAGES_H

// A file that could not be opened: the input, or its text file.
constexpr char OPEN_INPUT_FAILED[] = "failed to open input file %s\n";
constexpr char OPEN_OUTPUT_FAILED[] = "failed to open output file %s\n";
// In debug mode, the line after either: why, in the system's words
// (errortext.h) or in a refusal's below.
constexpr char OPEN_REASON[] = "reason: %s\n";
// Why a text file is refused: writing it would destroy a log.
constexpr char OUTPUT_IS_INPUT[] = "it is the input file itself";
constexpr char OUTPUT_IS_ANOTHER_INPUT[] = "it is another input of this run";

// An input refused: text that quarvel wrote; or, looked at in its turn,
// an empty file that another operand's text file is (see operands.h).
constexpr char INPUT_IS_OWN_TEXT[] = "input file %s is a text file written by quarvel, not a logger file\n";
constexpr char INPUT_IS_EMPTY_TEXT[] = "input file %s is empty and is the text file of another input\n";

// The file ended inside a block: the samples read, and those declared.
constexpr char TRUNCATED_BLOCK[] = "truncated block in input file %s: %ld of %ld samples read\n";

// A read or write failed: the file's conversion ends there.
constexpr char READ_FAILED[] = "failed to read input file %s\n";
constexpr char WRITE_FAILED[] = "failed to write output file %s\n";

// Once every file is converted: the banner, summaries or progress lines
// could not be written.
constexpr char STANDARD_OUTPUT_FAILED[] = "failed to write standard output\n";

#endif
