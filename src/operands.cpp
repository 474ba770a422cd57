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

// Whether the input is text that quarvel wrote, judged by the bytes that the
// first header read reads anyway: no system call of its own for a log.
bool startsWithOwnText(LogStream& input)
{
    const std::size_t available = fillLogStream(input, FIRST_LINE_MAX);
    return isOwnText(logStreamBytes(input), available);
}

// Whether the operand at `path`, which is `status`, has nothing to lose:
// an empty file, or text that quarvel wrote by the strict rule.
bool holdsNothingToLose(const std::string& path, const FileStatus& status)
{
    if (!status.regular)
        return false;
    if (!status.hasContents)
        return true;
    std::FILE* file = openFile(path.c_str(), "rb");
    if (file == nullptr)
        return false;
    unsigned char head[TEXT_HEAD_SIZE];
    const std::size_t size = std::fread(head, 1, sizeof head, file);
    const bool same = isSameFile(status, fileStatusOf(file)) && std::ferror(file) == 0;
    std::fclose(file);
    return same && isStrictText(head, size);
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
        if (!isSameFile(status, statuses[static_cast<std::size_t>(i)]) && isAmong(status, operands.all)
            && holdsNothingToLose(outputPath, status))
            operands.replaceable.push_back(status.id);
    }
    std::sort(operands.replaceable.begin(), operands.replaceable.end());
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

// Converted, the text of an earlier run would give a text file of garbage.
// A replaceable operand is another's text file: not converted either,
// whether that was written before this turn or not.
bool isOwnTextInput(const FileStatus& status, const OperandFiles& operands, LogStream& input)
{
    return isAmong(status, operands.replaceable) || startsWithOwnText(input);
}

// Opens the text file and empties it, unless it is the input itself or
// another operand under another name (a link): emptying it would destroy a
// log before it is read. A replaceable operand is no log (it is not
// converted), so it may be written anew: quarvel -q logs/* run again
// converts every log again. The file is opened first and emptied only
// after the open file has been compared, so a link made meanwhile changes
// nothing.
std::FILE* openOutput(
    const FileStatus& input, const OperandFiles& operands, const std::string& outputPath, OpenFailure& failure)
{
    std::FILE* file = openFileToRewrite(outputPath.c_str());
    if (file == nullptr) {
        failure.errorNumber = errno;
        return nullptr;
    }
    const FileStatus status = fileStatusOf(file);
    if (isSameFile(input, status))
        failure.refusal = OUTPUT_IS_INPUT;
    else if (isAmong(status, operands.all) && !isAmong(status, operands.replaceable))
        failure.refusal = OUTPUT_IS_ANOTHER_INPUT;
    else if (!truncateFile(file, status))
        failure.errorNumber = errno;
    else
        return file;
    std::fclose(file);
    return nullptr;
}
