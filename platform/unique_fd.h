#pragma once

#include <unistd.h>

#include <utility>

namespace platform {

// Owns a file descriptor and closes it when it goes. Every descriptor the program keeps
// (sockets, pipes, lock files) lives in one of these.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        if (this != &other) {
            Reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { Reset(); }

    int Get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

    // Gives the descriptor up without closing it.
    [[nodiscard]] int Release() { return std::exchange(fd_, -1); }

    // Closes the descriptor now, for a caller that reports a failed close: close()'s
    // result, with errno set; 0 when none was held. The descriptor is gone either way.
    [[nodiscard]] int Close() { return fd_ < 0 ? 0 : close(Release()); }

    void Reset(int fd = -1)
    {
        // close() may report a delayed write error, but the descriptor is gone either way
        // and nothing here could act on it; a caller that can uses Close().
        if (fd_ >= 0)
            close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

} // namespace platform
