// Runs a program before a journal of the test's own: in a mount namespace with a tmpfs over
// /run/systemd/journal and a socket of its own bound where the journal listens, its
// standard error named by JOURNAL_STREAM as systemd would name it.
//
//   tavrin-journal-sink PROGRAM [ARGUMENT]...
//
// Every datagram that arrives is printed on standard output as "journal <hex>", one a
// line, as it comes; once the program has ended and what it sent is read, "exit <status>"
// (or "signal <number>"). The program's own standard output and error pass through.
//
// Exits 77, saying why on standard error, when the system grants no mount namespace.

#include "platform/unique_fd.h"

#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

namespace {

constexpr const char* kJournalFolder = "/run/systemd/journal";
constexpr const char* kJournalSocket = "/run/systemd/journal/socket";

int Fail(const std::string& what)
{
    std::fprintf(stderr, "tavrin-journal-sink: %s: %s\n", what.c_str(), std::strerror(errno));
    return 1;
}

// Prints what waits at the socket; false when nothing did.
bool Relay(int journal)
{
    std::string datagram(1 << 16, '\0');
    const ssize_t got = recv(journal, datagram.data(), datagram.size(), MSG_DONTWAIT);
    if (got <= 0)
        return false;
    std::printf("journal ");
    for (ssize_t at = 0; at < got; ++at)
        std::printf("%02x", static_cast<unsigned char>(datagram[static_cast<std::size_t>(at)]));
    std::printf("\n");
    std::fflush(stdout);
    return true;
}

pid_t child = -1;

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: tavrin-journal-sink PROGRAM [ARGUMENT]...\n");
        return 2;
    }
    if (unshare(CLONE_NEWNS) != 0) {
        std::fprintf(stderr, "no mount namespace of its own: %s\n", std::strerror(errno));
        return 77;
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

    const platform::UniqueFd journal(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, kJournalSocket);
    if (!journal || bind(journal.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return Fail("cannot bind the journal's socket");

    struct stat status {};
    if (fstat(STDERR_FILENO, &status) != 0)
        return Fail("no standard error");
    setenv("JOURNAL_STREAM", (std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino)).c_str(), 1);

    // A signal for the sink is meant for the program: the test ends the service this way.
    signal(SIGTERM, [](int number) {
        if (child > 0)
            kill(child, number);
    });
    child = fork();
    if (child < 0)
        return Fail("cannot fork");
    if (child == 0) {
        signal(SIGTERM, SIG_DFL);
        execv(argv[1], argv + 1);
        _exit(127);
    }
    int childStatus = 0;
    for (;;) {
        pollfd readable{journal.Get(), POLLIN, 0};
        poll(&readable, 1, 100);
        while (Relay(journal.Get())) {
        }
        const pid_t ended = waitpid(child, &childStatus, WNOHANG);
        if (ended == child)
            break;
        if (ended < 0 && errno != EINTR)
            return Fail("cannot wait for the program");
    }
    while (Relay(journal.Get())) {
    }
    if (WIFSIGNALED(childStatus))
        std::printf("signal %d\n", WTERMSIG(childStatus));
    else
        std::printf("exit %d\n", WEXITSTATUS(childStatus));
    return 0;
}
