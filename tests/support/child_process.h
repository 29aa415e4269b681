#pragma once

#include "platform/unique_fd.h"

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

// A program started by a test, its standard output and error read through pipes. A child
// still running when this object goes is ended: SIGTERM, and SIGKILL if that is ignored.
class ChildProcess {
public:
    // `environment` holds "NAME=value" entries added to (or replacing) this process's own.
    explicit ChildProcess(const std::vector<std::string>& command, const std::vector<std::string>& environment = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t Pid() const { return pid_; }

    // The next whole line of standard output, without its end; nothing when none comes
    // within `timeout` or the output has ended.
    std::optional<std::string> ReadLine(std::chrono::milliseconds timeout = std::chrono::seconds(5));

    // Waits until standard error, all of it so far, satisfies `done`; false when it does not
    // within `timeout`.
    bool AwaitErrors(const std::function<bool(const std::string&)>& done,
                     std::chrono::milliseconds timeout = std::chrono::seconds(10));

    // Waits until the child has ended; false when it still runs after `timeout`.
    bool WaitForExit(std::chrono::milliseconds timeout = std::chrono::seconds(10));

    // Sends `signal` to the child, if it has not been reaped yet.
    void Signal(int signal);

    // After WaitForExit: the exit status, or -1 when a signal ended it.
    int ExitCode() const;
    // After WaitForExit: the signal that ended it, or 0.
    int TermSignal() const;

    // Everything read from standard output and error so far, lines given out included.
    const std::string& Output() const { return output_; }
    const std::string& Errors() const { return errors_; }

private:
    // Reads what the pipes hold, waiting up to `timeout` for something to arrive.
    void Pump(std::chrono::milliseconds timeout);
    bool Reap();

    pid_t pid_ = -1;
    platform::UniqueFd out_; // closed once the output has ended
    platform::UniqueFd err_;
    bool exited_ = false;
    int status_ = 0;
    std::string output_;
    std::string errors_;
    std::size_t lineStart_ = 0; // in output_: where the next line given out begins
};

} // namespace testsupport
