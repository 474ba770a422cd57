// Starts the programs that the benchmark measures, one at a time, and
// reports what wait4 says of each. It is a separate, small process because
// the kernel counts the memory of the process that starts a program into
// that program's peak resident set; and posix_spawn charges the child
// nothing before its exec, where a fork child would pay for a copy of its
// parent.
//
// On standard input, each command is its arguments, each ended by a NUL,
// then an empty argument. For each command it writes one line to standard
// output: "STATUS USER_US SYSTEM_US PEAK_KIB WALL_NS", where STATUS is the
// exit status, or -1 when the program could not run or was killed. The
// programs read and write /dev/null on standard input and output.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

struct Command {
    char** argv = nullptr;  // ends with a null pointer
    int count = 0;
    int capacity = 0;
};

void freeCommand(Command& command)
{
    for (int i = 0; i < command.count; ++i)
        std::free(command.argv[i]);
    command.count = 0;
}

bool addArgument(Command& command, const char* argument)
{
    if (command.count + 2 > command.capacity) {
        int capacity = 2 * command.capacity + 16;
        auto grown = static_cast<char**>(std::realloc(command.argv, sizeof(char*) * static_cast<unsigned>(capacity)));
        if (grown == nullptr)
            return false;
        command.argv = grown;
        command.capacity = capacity;
    }
    char* copy = strdup(argument);
    if (copy == nullptr)
        return false;
    command.argv[command.count++] = copy;
    command.argv[command.count] = nullptr;
    return true;
}

// Reads the next command; false at the end of the input.
bool readCommand(Command& command)
{
    char* argument = nullptr;
    std::size_t size = 0;
    bool complete = false;
    while (getdelim(&argument, &size, '\0', stdin) > 0) {
        if (argument[0] == '\0') {
            complete = command.count > 0;
            break;
        }
        if (!addArgument(command, argument))
            break;
    }
    std::free(argument);
    return complete;
}

long microseconds(const timeval& time)
{
    return time.tv_sec * 1000000L + time.tv_usec;
}

long long nanosecondsNow()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

void runCommand(const Command& command)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    long long start = nanosecondsNow();
    pid_t child = 0;
    int error = posix_spawnp(&child, command.argv[0], &actions, nullptr, command.argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    rusage usage{};
    if (error == 0 && wait4(child, &status, 0, &usage) != child)
        error = 1;
    long long wall = nanosecondsNow() - start;
    int exitStatus = error == 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::printf("%d %ld %ld %ld %lld\n", exitStatus, microseconds(usage.ru_utime), microseconds(usage.ru_stime),
        usage.ru_maxrss, wall);
    std::fflush(stdout);
}

}  // namespace

int main()
{
    Command command;
    while (readCommand(command)) {
        runCommand(command);
        freeCommand(command);
    }
    freeCommand(command);
    std::free(command.argv);
    return 0;
}
