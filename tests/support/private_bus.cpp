#include "tests/support/private_bus.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace testsupport {
namespace {

// Anyone on this bus may own any name and call anything: it carries only the test's fakes.
// As many calls may wait for their replies as on a session bus, so that floods reach the
// program rather than the daemon's limit.
constexpr char kConfiguration[] = R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>custom</type>
  <listen>unix:path=%SOCKET%</listen>
  <auth>EXTERNAL</auth>
  <limit name="max_replies_per_connection">50000</limit>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";

// The system bus's defaults, and its exceptions for the fakes of the system's services.
constexpr char kStrictConfiguration[] =
    R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>custom</type>
  <listen>unix:path=%SOCKET%</listen>
  <auth>EXTERNAL</auth>
  <include>)" TAVRIN_SYSTEM_BUS_DEFAULTS R"(</include>
  <policy context="default">
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus.Introspectable"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus.Properties"/>
    <allow own="org.freedesktop.PolicyKit1"/>
    <allow send_destination="org.freedesktop.PolicyKit1"/>
    <allow own="org.freedesktop.timedate1"/>
    <allow send_destination="org.freedesktop.timedate1"/>
  </policy>
%INCLUDES%</busconfig>
)";

std::string MakeFolder()
{
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tavrin-bus-XXXXXX";
    return mkdtemp(pattern.data()) ? pattern : std::string();
}

} // namespace

PrivateBus::PrivateBus() : folder_(MakeFolder())
{
    Start(kConfiguration, {});
}

PrivateBus::PrivateBus(const std::vector<std::string>& policyFiles, const std::string& socket) : folder_(MakeFolder())
{
    std::string includes;
    for (const std::string& file : policyFiles)
        includes += "  <include>" + file + "</include>\n";
    std::string configuration = kStrictConfiguration;
    configuration.replace(configuration.find("%INCLUDES%"), 10, includes);
    Start(configuration, socket);
}

void PrivateBus::Start(const std::string& text, const std::string& socketPath)
{
    if (folder_.empty())
        return;
    std::string configuration = text;
    const std::string socket = socketPath.empty() ? folder_ + "/bus" : socketPath;
    configuration.replace(configuration.find("%SOCKET%"), 8, socket);
    std::ofstream(folder_ + "/bus.conf") << configuration;
    daemon_ = std::make_unique<ChildProcess>(std::vector<std::string>{
        "dbus-daemon", "--config-file=" + folder_ + "/bus.conf", "--nofork", "--nopidfile", "--print-address"});
    if (const auto printed = daemon_->ReadLine(std::chrono::seconds(5)); printed && !printed->empty())
        address_ = "unix:path=" + socket;
}

PrivateBus::~PrivateBus()
{
    daemon_.reset();
    if (!folder_.empty())
        std::filesystem::remove_all(folder_);
}

std::unique_ptr<ChildProcess> PrivateBus::StartTimedated(bool ntp, bool synchronised) const
{
    auto fake = std::make_unique<ChildProcess>(std::vector<std::string>{
        "/usr/bin/python3", TAVRIN_FAKE_TIMEDATED, address_, ntp ? "yes" : "no", synchronised ? "yes" : "no"});
    const auto ready = fake->ReadLine(std::chrono::seconds(10));
    if (!ready || *ready != "ready")
        return nullptr;
    return fake;
}

} // namespace testsupport
