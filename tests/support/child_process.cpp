#include "tests/support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <stdexcept>
#include <utility>

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

// Reads what is there; closes `pipe` at the end of the stream.
void Drain(platform::UniqueFd& pipe, std::string& into)
{
    char buffer[4096];
    for (;;) {
        const ssize_t got = read(pipe.Get(), buffer, sizeof buffer);
        if (got > 0) {
            into.append(buffer, static_cast<std::size_t>(got));
            continue;
        }
        if (got == 0)
            pipe.Reset();
        return;
    }
}

// A pipe whose reading end does not block, for the parent, and whose writing end is for
// the child alone.
std::pair<platform::UniqueFd, platform::UniqueFd> OutputPipe()
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        throw std::runtime_error("no pipes for a child process");
    platform::UniqueFd reading(ends[0]);
    if (fcntl(reading.Get(), F_SETFL, O_NONBLOCK) != 0)
        throw std::runtime_error("cannot read a child's output without waiting");
    return {std::move(reading), platform::UniqueFd(ends[1])};
}

} // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& command, const std::vector<std::string>& environment)
{
    auto [out, childOut] = OutputPipe();
    auto [err, childErr] = OutputPipe();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, childOut.Get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, childErr.Get(), STDERR_FILENO);
    std::vector<std::string> arguments = command;
    std::vector<std::string> variables = MergedEnvironment(environment);
    const int failed = posix_spawnp(&pid_, arguments.at(0).c_str(), &actions, nullptr, Pointers(arguments).data(),
                                    Pointers(variables).data());
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0)
        throw std::runtime_error("cannot start " + command.at(0));
    out_ = std::move(out);
    err_ = std::move(err);
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
}

void ChildProcess::Pump(std::chrono::milliseconds timeout)
{
    pollfd fds[2] = {{out_.Get(), POLLIN, 0}, {err_.Get(), POLLIN, 0}};
    if (poll(fds, 2, static_cast<int>(timeout.count())) <= 0)
        return;
    if (out_ && fds[0].revents != 0)
        Drain(out_, output_);
    if (err_ && fds[1].revents != 0)
        Drain(err_, errors_);
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
        if (!out_ || left.count() <= 0)
            return std::nullopt;
        Pump(left);
    }
}

bool ChildProcess::AwaitErrors(const std::function<bool(const std::string&)>& done, std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    while (!done(errors_)) {
        if (Clock::now() >= deadline || !err_)
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
    if (out_)
        Drain(out_, output_);
    if (err_)
        Drain(err_, errors_);
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
