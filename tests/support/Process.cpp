#include "support/Process.h"
#include "backends/DaemonProtocol.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <string_view>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace testing_support {
namespace {

std::vector<char*> pointers(std::vector<std::string>& texts)
{
    std::vector<char*> list;
    for (std::string& text : texts)
        list.push_back(text.data());
    list.push_back(nullptr);
    return list;
}

std::vector<std::string> mergedEnvironment(const std::vector<std::string>& added)
{
    std::vector<std::string> merged(added);
    for (char** variable = environ; *variable; ++variable) {
        std::string_view entry(*variable);
        bool replaced = false;
        for (const std::string& mine : added)
            replaced = replaced || entry.substr(0, entry.find('=') + 1) == mine.substr(0, mine.find('=') + 1);
        if (!replaced)
            merged.emplace_back(entry);
    }
    return merged;
}

std::string readAll(FILE* file)
{
    std::string text;
    rewind(file);
    char buffer[4096];
    for (size_t got; (got = fread(buffer, 1, sizeof buffer, file)) > 0;)
        text.append(buffer, got);
    return text;
}

int exitStatus(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

ProcessResult runProgram(const std::string& program, const std::vector<std::string>& arguments,
                         const std::vector<std::string>& environment, const std::vector<std::string>& prefix)
{
    std::vector<std::string> argv(prefix);
    argv.push_back(prefix.empty() ? program.substr(program.rfind('/') + 1) : program);
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<std::string> envp = mergedEnvironment(environment);
    std::string path = prefix.empty() ? program : prefix.front();

    // Files, not pipes: neither stream can fill up and stall the program.
    FILE* out = tmpfile();
    FILE* err = tmpfile();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fileno(out), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fileno(err), STDERR_FILENO);
    ProcessResult result;
    pid_t pid;
    auto args = pointers(argv), env = pointers(envp);
    if (posix_spawnp(&pid, path.c_str(), &actions, nullptr, args.data(), env.data()) == 0) {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        result.status = exitStatus(status);
    }
    posix_spawn_file_actions_destroy(&actions);
    result.output = readAll(out);
    result.errors = readAll(err);
    fclose(out);
    fclose(err);
    return result;
}

BackgroundProcess::BackgroundProcess(const std::string& program, const std::vector<std::string>& arguments)
{
    char name[] = "/tmp/background-XXXXXX";
    int fd = mkstemp(name);
    outputPath_ = name;
    std::vector<std::string> argv{program.substr(program.rfind('/') + 1)};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<std::string> envp = mergedEnvironment({});
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fd, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fd, STDERR_FILENO);
    auto args = pointers(argv), env = pointers(envp);
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, args.data(), env.data()) != 0)
        pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(fd);
}

BackgroundProcess::~BackgroundProcess()
{
    if (pid_ > 0 && status_ < 0) {
        kill(pid_, SIGTERM);
        for (int waited = 0; waited < 50 && waitpid(pid_, nullptr, WNOHANG) == 0; ++waited)
            usleep(100'000);
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    unlink(outputPath_.c_str());
}

void BackgroundProcess::signal(int number)
{
    if (pid_ > 0 && status_ < 0)
        kill(pid_, number);
}

int BackgroundProcess::wait()
{
    if (pid_ > 0 && status_ < 0) {
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        status_ = exitStatus(status);
    }
    return status_;
}

std::string BackgroundProcess::output() const
{
    std::string text;
    if (FILE* file = fopen(outputPath_.c_str(), "rb")) {
        text = readAll(file);
        fclose(file);
    }
    return text;
}

bool waitForSocket(const std::string& path)
{
    for (int tries = 0; tries < 100; ++tries) {
        int fd = platform::protocol::connectSocket(path);
        if (fd >= 0) {
            close(fd);
            return true;
        }
        usleep(20'000);
    }
    return false;
}

int freePort()
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    close(fd);
    return ntohs(address.sin_port);
}

}  // namespace testing_support
