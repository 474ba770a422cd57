// Runs the built quarvel in a scratch folder and captures everything it
// writes, for end-to-end tests that compare exact bytes.
#ifndef QUARVEL_TESTS_RUNNER_H
#define QUARVEL_TESTS_RUNNER_H

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

struct RunResult {
    std::string out;
    std::string err;
    int status = -1;
};

inline std::string readFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void writeFile(const std::filesystem::path& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

// The binary under test: QUARVEL_TEST_BINARY if set (a cross build's, say),
// else the one built with the tests. Absolute: quarvel runs in another folder.
inline std::string testBinary()
{
    const char* chosen = std::getenv("QUARVEL_TEST_BINARY");
    return std::filesystem::absolute(chosen != nullptr && *chosen != '\0' ? chosen : QUARVEL_BINARY).string();
}

// `name` as found on PATH, for execve, which does not search.
inline std::string findProgram(const std::string& name)
{
    const char* path = std::getenv("PATH");
    std::istringstream folders(path != nullptr ? path : "/usr/bin:/bin");
    for (std::string folder; name.find('/') == std::string::npos && std::getline(folders, folder, ':');) {
        std::string candidate = (folder.empty() ? "." : folder) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return name;
}

// The words that start the binary under test, from QUARVEL_TEST_LAUNCHER
// (e.g. "qemu-s390x"); none runs it directly. qemu-user gives the program
// the binary's path as argv[0], as a direct start does.
inline std::vector<std::string> testLauncher()
{
    const char* launcher = std::getenv("QUARVEL_TEST_LAUNCHER");
    std::istringstream stream(launcher != nullptr ? launcher : "");
    std::vector<std::string> words;
    for (std::string word; stream >> word;)
        words.push_back(word);
    if (!words.empty())
        words[0] = findProgram(words[0]);
    return words;
}

// Each test gets a fresh folder; quarvel runs inside it, so operands are
// short relative names as a user would type them.
class QuarvelTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The reference renders times in this process: same zone as quarvel's.
        setenv("TZ", "UTC", 1);
        tzset();
        std::string pattern = (std::filesystem::temp_directory_path() / "quarvel-test-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
    }

    void TearDown() override
    {
        std::error_code ignored;
        std::filesystem::permissions(
            dir, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ignored);
        std::filesystem::remove_all(dir, ignored);
    }

    void write(const std::string& name, const std::string& bytes) { writeFile(dir / name, bytes); }
    std::string read(const std::string& name) const { return readFile(dir / name); }
    bool exists(const std::string& name) const { return std::filesystem::exists(dir / name); }

    // Runs quarvel with `args`, TZ=UTC and the C locale, plus `environment`
    // entries, which may override those two; `meanwhile`, if given, is
    // called once it has started.
    RunResult run(const std::vector<std::string>& args, std::vector<std::string> environment = {},
        const std::function<void()>& meanwhile = {})
    {
        for (const std::string fallback : {"TZ=UTC", "LC_ALL=C"})
            addUnlessNamed(environment, fallback);
        std::vector<std::string> arguments = launcher;
        arguments.push_back(binary);
        arguments.insert(arguments.end(), args.begin(), args.end());
        std::string outPath = (dir / ".stdout").string();
        std::string errPath = (dir / ".stderr").string();
        pid_t child = fork();
        if (child == 0)
            execInChild(arguments, environment, outPath, errPath);
        if (meanwhile)
            meanwhile();
        RunResult result;
        int waitStatus = 0;
        waitpid(child, &waitStatus, 0);
        result.status = WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : 128 + WTERMSIG(waitStatus);
        result.out = readFile(outPath);
        result.err = readFile(errPath);
        std::filesystem::remove(outPath);
        std::filesystem::remove(errPath);
        return result;
    }

    std::filesystem::path dir;
    std::string binary = testBinary();
    const std::vector<std::string> launcher = testLauncher();
    // Where quarvel's standard output goes: captured into RunResult::out,
    // a device that is always full, or a pipe whose reader has gone.
    enum class Console { CAPTURED, FULL_DEVICE, CLOSED_PIPE } console = Console::CAPTURED;
    // Run quarvel as an ordinary user: as root it could write anywhere.
    bool unprivileged = false;

private:
    // Each name once: with two, glibc's getenv takes the first but
    // qemu-user passes the program the last.
    static void addUnlessNamed(std::vector<std::string>& environment, const std::string& entry)
    {
        const std::string name = entry.substr(0, entry.find('=') + 1);
        for (const std::string& present : environment) {
            if (present.starts_with(name))
                return;
        }
        environment.push_back(entry);
    }

    int openConsole(const std::string& outPath) const
    {
        if (console == Console::FULL_DEVICE)
            return open("/dev/full", O_WRONLY);
        if (console == Console::CLOSED_PIPE) {
            int ends[2];
            if (pipe(ends) != 0)
                return -1;
            close(ends[0]);
            // quarvel must cope with a closed pipe itself, not by inheriting
            // an ignored SIGPIPE.
            std::signal(SIGPIPE, SIG_DFL);
            return ends[1];
        }
        return open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    }

    [[noreturn]] void execInChild(const std::vector<std::string>& arguments,
        const std::vector<std::string>& environment, const std::string& outPath, const std::string& errPath)
    {
        if (chdir(dir.c_str()) != 0)
            _exit(126);
        int in = open("/dev/null", O_RDONLY);
        int out = openConsole(outPath);
        int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || out < 0 || err < 0)
            _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        const gid_t NOBODY = 65534;
        if (unprivileged && geteuid() == 0 && (setgid(NOBODY) != 0 || setuid(NOBODY) != 0))
            _exit(126);
        std::vector<char*> argv;
        for (const std::string& arg : arguments)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (const std::string& entry : environment)
            envp.push_back(const_cast<char*>(entry.c_str()));
        envp.push_back(nullptr);
        execve(arguments[0].c_str(), argv.data(), envp.data());
        _exit(127);
    }
};

// A message of messages.h, its values filled in as quarvel fills them.
template <typename... Values> std::string messageText(const char* format, Values... values)
{
    std::string text(static_cast<std::size_t>(std::snprintf(nullptr, 0, format, values...)) + 1, '\0');
    std::snprintf(text.data(), text.size(), format, values...);
    text.pop_back();
    return text;
}

// Whether `text` has the form of `pattern`, where A stands for an upper-case
// letter, a for a lower-case one, 9 for a digit and _ for a digit or space.
inline bool hasForm(const std::string& text, const std::string& pattern)
{
    if (text.size() != pattern.size())
        return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        bool digit = c >= '0' && c <= '9';
        bool matches = pattern[i] == 'A' ? (c >= 'A' && c <= 'Z')
            : pattern[i] == 'a'          ? (c >= 'a' && c <= 'z')
            : pattern[i] == '9'          ? digit
            : pattern[i] == '_'          ? (digit || c == ' ')
                                         : c == pattern[i];
        if (!matches)
            return false;
    }
    return true;
}

// The banner names the version of the build (project() in CMakeLists.txt)
// and its date and time; checks its form and returns what follows it.
inline std::string afterBanner(const std::string& out)
{
    const std::string form = "\nquarvel version " QUARVEL_VERSION ", built on Aaa _9 9999 at 99:99:99\n";
    if (!hasForm(out.substr(0, form.size()), form)) {
        ADD_FAILURE() << "no banner at the start of: " << out;
        return out;
    }
    return out.substr(form.size());
}

#endif
