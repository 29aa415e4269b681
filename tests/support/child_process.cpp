#include "tests/support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <stdexcept>

extern char** environ;

namespace testsupport {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> MergedEnvironment(const std::vector<std::string>& additions)
{
    std::vector<std::string> merged;
    for (char** entry = environ; *entry; ++entry)
        merged.emplace_back(*entry);
    for (const std::string& addition : additions) {
        const std::string name = addition.substr(0, addition.find('=') + 1);
        std::erase_if(merged, [&](const std::string& entry) { return entry.starts_with(name); });
        merged.push_back(addition);
    }
    return merged;
}

std::vector<char*> Pointers(std::vector<std::string>& texts)
{
    std::vector<char*> pointers;
    for (std::string& text : texts)
        pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

// Reads what is there; closes and forgets `fd` at the end of the stream.
void Drain(int& fd, std::string& into)
{
    char buffer[4096];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got > 0) {
            into.append(buffer, static_cast<std::size_t>(got));
            continue;
        }
        if (got == 0) {
            close(fd);
            fd = -1;
        }
        return;
    }
}

} // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& command, const std::vector<std::string>& environment)
{
    int outPipe[2];
    int errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0)
        throw std::runtime_error("no pipes for a child process");

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
    std::vector<std::string> arguments = command;
    std::vector<std::string> variables = MergedEnvironment(environment);
    const int failed = posix_spawnp(&pid_, arguments.at(0).c_str(), &actions, nullptr, Pointers(arguments).data(),
                                    Pointers(variables).data());
    posix_spawn_file_actions_destroy(&actions);
    close(outPipe[1]);
    close(errPipe[1]);
    outFd_ = outPipe[0];
    errFd_ = errPipe[0];
    fcntl(outFd_, F_SETFL, O_NONBLOCK);
    fcntl(errFd_, F_SETFL, O_NONBLOCK);
    if (failed != 0) {
        close(outFd_);
        close(errFd_);
        throw std::runtime_error("cannot start " + command.at(0));
    }
}

ChildProcess::~ChildProcess()
{
    if (!Reap()) {
        Signal(SIGTERM);
        if (!WaitForExit(std::chrono::seconds(3))) {
            Signal(SIGKILL);
            WaitForExit(std::chrono::seconds(3));
        }
    }
    if (outFd_ >= 0)
        close(outFd_);
    if (errFd_ >= 0)
        close(errFd_);
}

void ChildProcess::Pump(std::chrono::milliseconds timeout)
{
    pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
    if (poll(fds, 2, static_cast<int>(timeout.count())) <= 0)
        return;
    if (outFd_ >= 0 && fds[0].revents != 0)
        Drain(outFd_, output_);
    if (errFd_ >= 0 && fds[1].revents != 0)
        Drain(errFd_, errors_);
}

std::optional<std::string> ChildProcess::ReadLine(std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const std::size_t end = output_.find('\n', lineStart_);
        if (end != std::string::npos) {
            std::string line = output_.substr(lineStart_, end - lineStart_);
            lineStart_ = end + 1;
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (outFd_ < 0 || left.count() <= 0)
            return std::nullopt;
        Pump(left);
    }
}

bool ChildProcess::AwaitErrors(const std::function<bool(const std::string&)>& done, std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    while (!done(errors_)) {
        if (Clock::now() >= deadline || errFd_ < 0)
            return false;
        Pump(std::chrono::milliseconds(50));
    }
    return true;
}

bool ChildProcess::Reap()
{
    if (exited_)
        return true;
    if (waitpid(pid_, &status_, WNOHANG) == pid_)
        exited_ = true;
    return exited_;
}

bool ChildProcess::WaitForExit(std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    while (!Reap()) {
        if (Clock::now() >= deadline)
            return false;
        Pump(std::chrono::milliseconds(10));
    }
    // What the child wrote before it ended is in the pipes now; a grandchild may still hold
    // them open, so take only what is there.
    if (outFd_ >= 0)
        Drain(outFd_, output_);
    if (errFd_ >= 0)
        Drain(errFd_, errors_);
    return true;
}

void ChildProcess::Signal(int signal)
{
    if (!exited_)
        kill(pid_, signal);
}

int ChildProcess::ExitCode() const
{
    return exited_ && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
}

int ChildProcess::TermSignal() const
{
    return exited_ && WIFSIGNALED(status_) ? WTERMSIG(status_) : 0;
}

} // namespace testsupport
