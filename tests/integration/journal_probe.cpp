// Logs as the service does, before a journal of its own: in a mount namespace of its own,
// with a tmpfs over /run/systemd/journal and the probe's own socket bound at
// /run/systemd/journal/socket, where the journal would listen.
//
//   journal-probe connected|other-stream|unset|connected-without-journal
//
// JOURNAL_STREAM names standard error (connected), standard output (other-stream), or is
// unset. The probe prints "journal" or "stderr" as platform::UseJournalWhenConnected()
// chose, logs an event, an ordinary warning and a debug line that is off, then sends a
// marker datagram to its socket and prints, in hex, one line each, every datagram that
// came before the marker. Without the journal's socket (connected-without-journal) it
// prints its choice and logs, and nothing more.
//
// Exits 77, saying why on standard error, when the system grants no mount namespace.

#include "platform/journal.h"
#include "platform/log.h"
#include "platform/log_event.h"
#include "platform/log_events.h"
#include "platform/unique_fd.h"

#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

namespace {

using platform::UniqueFd;

constexpr const char* kJournalFolder = "/run/systemd/journal";
constexpr const char* kJournalSocket = "/run/systemd/journal/socket";
constexpr std::string_view kMarker = "MESSAGE=marker\n";
constexpr int kSkip = 77;

int Fail(const std::string& what)
{
    std::fprintf(stderr, "journal-probe: %s: %s\n", what.c_str(), std::strerror(errno));
    return 1;
}

sockaddr_un JournalAddress()
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, kJournalSocket);
    return address;
}

// "<device>:<inode>" of the file `fd` is open on.
std::string StreamOf(int fd)
{
    struct stat status {};
    if (fstat(fd, &status) != 0)
        return {};
    return std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino);
}

void LogAsTheServiceDoes()
{
    platform::LogEvent(platform::lcSync, QtInfoMsg, platform::kClockStepped,
                       {{platform::kFieldOffsetUsec, "-2500000"},
                        {platform::kFieldServer, "192.0.2.1"},
                        {platform::kFieldReason, "two\nlines"}},
                       "clock stepped by -2.500 s");
    qCWarning(platform::lcNet, "reply connection from %s refused", "192.0.2.9");
    qCDebug(platform::lcNet, "a debug line, off by default");
}

} // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc == 2 ? argv[1] : "";
    if (mode != "connected" && mode != "other-stream" && mode != "unset" && mode != "connected-without-journal") {
        std::fprintf(stderr, "usage: journal-probe connected|other-stream|unset|connected-without-journal\n");
        return 2;
    }

    if (unshare(CLONE_NEWNS) != 0) {
        std::fprintf(stderr, "no mount namespace of its own: %s\n", std::strerror(errno));
        return kSkip;
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return Fail("cannot keep the mounts private");
    // Over the nearest folder that exists, so that nothing is made outside the namespace.
    std::string mountPoint = kJournalFolder;
    while (!std::filesystem::is_directory(mountPoint))
        mountPoint = std::filesystem::path(mountPoint).parent_path();
    if (mount("tmpfs", mountPoint.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0)
        return Fail("cannot mount a tmpfs over " + mountPoint);
    std::error_code error;
    std::filesystem::create_directories(kJournalFolder, error);

    UniqueFd journal;
    if (mode != "connected-without-journal") {
        journal.Reset(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        const sockaddr_un address = JournalAddress();
        if (!journal || bind(journal.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
            return Fail("cannot bind the journal's socket");
    }

    if (mode == "unset")
        unsetenv("JOURNAL_STREAM");
    else
        setenv("JOURNAL_STREAM", StreamOf(mode == "other-stream" ? STDOUT_FILENO : STDERR_FILENO).c_str(), 1);
    std::printf("%s\n", platform::UseJournalWhenConnected() ? "journal" : "stderr");
    LogAsTheServiceDoes();
    if (!journal)
        return 0;

    // Sent after the log's lines: once it is read, everything logged has come.
    const UniqueFd sender(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const sockaddr_un address = JournalAddress();
    if (!sender
        || sendto(sender.Get(), kMarker.data(), kMarker.size(), 0, reinterpret_cast<const sockaddr*>(&address),
                  sizeof address)
               < 0)
        return Fail("cannot send the marker");
    for (;;) {
        pollfd readable{journal.Get(), POLLIN, 0};
        if (poll(&readable, 1, 5000) != 1)
            return Fail("no marker within 5 s");
        std::string datagram(1 << 16, '\0');
        const ssize_t got = recv(journal.Get(), datagram.data(), datagram.size(), 0);
        if (got < 0)
            return Fail("cannot receive");
        datagram.resize(static_cast<std::size_t>(got));
        if (datagram == kMarker)
            return 0;
        for (const unsigned char byte : datagram)
            std::printf("%02x", byte);
        std::printf("\n");
    }
}
