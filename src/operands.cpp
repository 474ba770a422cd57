#include "operands.h"

#include "messages.h"
#include "owntext.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace {

bool isAmong(const FileStatus& status, const std::vector<FileId>& files)
{
    return status.known && std::binary_search(files.begin(), files.end(), status.id);
}

// Whether the operand that is open for writing as a text file, and is
// `status`, has nothing to lose now: an empty file, or text that quarvel
// wrote by the strict rule. Opened again at `path` to be read; the file
// read must be the one open. Sets `status.hasContents` to what it holds.
bool holdsNothingToLose(const std::string& path, FileStatus& status)
{
    if (!status.regular)
        return false;
    std::FILE* file = openFile(path.c_str(), "rb");
    if (file == nullptr)
        return false;
    unsigned char head[TEXT_HEAD_SIZE];
    const std::size_t size = std::fread(head, 1, sizeof head, file);
    const bool same = isSameFile(status, fileStatusOf(file)) && std::ferror(file) == 0;
    std::fclose(file);
    status.hasContents = size > 0;
    return same && (size == 0 || isStrictText(head, size));
}

}  // namespace

OperandFiles lookUpOperands(char* const* paths, int count)
{
    OperandFiles operands;
    std::vector<FileStatus> statuses;
    for (int i = 0; i < count; ++i) {
        statuses.push_back(fileStatusAt(paths[i]));
        if (statuses.back().known)
            operands.all.push_back(statuses.back().id);
    }
    std::sort(operands.all.begin(), operands.all.end());
    // An operand whose text file is itself (a link) is refused as its own input.
    for (int i = 0; i < count; ++i) {
        const std::string outputPath = std::string(paths[i]) + ".txt";
        const FileStatus status = fileStatusAt(outputPath.c_str());
        if (!isSameFile(status, statuses[static_cast<std::size_t>(i)]) && isAmong(status, operands.all))
            operands.texts.push_back(status.id);
    }
    std::sort(operands.texts.begin(), operands.texts.end());
    return operands;
}

std::FILE* openInput(const char* path, FileStatus& status, OpenFailure& failure)
{
    std::FILE* file = openFile(path, "rb");
    if (file == nullptr) {
        failure.errorNumber = errno;
        return nullptr;
    }
    status = fileStatusOf(file);
    // A directory opens for reading on some systems but is no logger file.
    if (status.directory) {
        std::fclose(file);
        failure.errorNumber = EISDIR;
        return nullptr;
    }
    return file;
}

// Converted, the text of an earlier run would give a text file of garbage,
// judged by the bytes that the first header read reads anyway: no system
// call of its own for a log. An empty file that is another operand's text
// file is that operand's text to come, or its text of no block: converted,
// it would give another empty file at each run over logs/*.
const char* inputRefusal(const FileStatus& status, const OperandFiles& operands, LogStream& input)
{
    const std::size_t available = fillLogStream(input, FIRST_LINE_MAX);
    if (isOwnText(logStreamBytes(input), available))
        return INPUT_IS_OWN_TEXT;
    if (available == 0 && !input.failed && status.regular && isAmong(status, operands.texts))
        return INPUT_IS_EMPTY_TEXT;
    return nullptr;
}

// Opens the text file and empties it, unless it is the input itself or
// another operand under another name (a link): emptying it would destroy a
// log before it is read. Another operand that holds nothing to lose (see
// holdsNothingToLose) is written over, so that quarvel -q logs/* run again
// converts every log again. It is judged here, just before it is emptied,
// not when the run starts: a logger may have written a log into it since.
// The file is opened first and judged and emptied only after the open file
// has been compared, so a link made meanwhile changes nothing.
std::FILE* openOutput(
    const FileStatus& input, const OperandFiles& operands, const std::string& outputPath, OpenFailure& failure)
{
    std::FILE* file = openFileToRewrite(outputPath.c_str());
    if (file == nullptr) {
        failure.errorNumber = errno;
        return nullptr;
    }
    FileStatus status = fileStatusOf(file);
    if (isSameFile(input, status))
        failure.refusal = OUTPUT_IS_INPUT;
    else if (isAmong(status, operands.all) && !holdsNothingToLose(outputPath, status))
        failure.refusal = OUTPUT_IS_ANOTHER_INPUT;
    else if (!truncateFile(file, status))
        failure.errorNumber = errno;
    else
        return file;
    std::fclose(file);
    return nullptr;
}
