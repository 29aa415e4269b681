#include "tests/support/hung_resolver.h"

#include "platform/unique_fd.h"
#include "tests/support/private_network.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace testsupport {
namespace {

std::string Failure(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

// Puts a file of ours with `contents` over `target`, for this namespace only.
std::string Cover(const std::string& folder, const std::string& target, const std::string& contents)
{
    const std::string own = folder + "/" + target.substr(target.rfind('/') + 1);
    std::ofstream(own) << contents;
    if (mount(own.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0)
        return Failure("cannot put our own file over " + target);
    return {};
}

} // namespace

std::string EnterHungResolver()
{
    static const std::string outcome = []() -> std::string {
        if (std::string why = EnterPrivateNetwork(); !why.empty())
            return why;
        // The name server: bound, so that questions are neither refused nor answered.
        static platform::UniqueFd nameServer(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(53);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (!nameServer || bind(nameServer.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
            return Failure("cannot bind a silent name server to 127.0.0.1:53");
        if (unshare(CLONE_NEWNS) != 0)
            return Failure("cannot make a mount namespace");
        // Nothing mounted here may reach the machine's own namespace.
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return Failure("cannot make the mounts private");
        const char* tmp = std::getenv("TMPDIR");
        std::string folder = std::string(tmp && *tmp ? tmp : "/tmp") + "/tavrin-resolver-XXXXXX";
        if (!mkdtemp(folder.data()))
            return Failure("cannot make a folder");
        // Longer than any test waits: the resolver's own patience never ends a lookup first.
        std::string why = Cover(folder, "/etc/resolv.conf", "nameserver 127.0.0.1\noptions timeout:30 attempts:1\n");
        if (why.empty())
            why =
                Cover(folder, "/etc/hosts",
                      "127.0.0.1 localhost\n0.0.0.0 nowhere.test\n0.0.0.0 also-here.test\n127.0.0.1 also-here.test\n");
        if (why.empty())
            why = Cover(folder, "/etc/nsswitch.conf", "hosts: files dns\n");
        // The mounts hold the files; their names need not stay.
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
        return why;
    }();
    return outcome;
}

} // namespace testsupport
