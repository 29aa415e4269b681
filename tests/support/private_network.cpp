#include "tests/support/private_network.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <sched.h>

namespace testsupport {

std::string EnterPrivateNetwork()
{
    static const std::string outcome = []() -> std::string {
        if (unshare(CLONE_NEWNET) != 0)
            return std::string("cannot make a network namespace: ") + std::strerror(errno);
        if (!RunIp("link set lo up"))
            return "cannot bring loopback up in the namespace";
        if (!RunIp("route add 224.0.0.0/4 dev lo"))
            return "cannot route multicast over loopback in the namespace";
        return {};
    }();
    return outcome;
}

bool RunIp(const std::string& arguments)
{
    const std::string command = "ip " + arguments + " >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

bool MakeLanWithoutRoutes()
{
    return RunIp("route del 224.0.0.0/4 dev lo") && RunIp("link add lan0 type veth peer name lan1")
        && RunIp("link set lan0 up") && RunIp("link set lan1 up");
}

} // namespace testsupport
