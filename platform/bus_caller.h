#pragma once

// Who called on the system bus, as the bus itself vouches for it: the caller's user and
// process, asked of the bus (GetConnectionCredentials) without waiting, for the log. A bus
// name (":1.36") tells an administrator nothing once the caller is gone. Main thread only.

#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace platform {

struct BusCaller {
    std::string busName;              // the caller's unique name, ":1.36"
    std::optional<std::uint32_t> uid; // nothing where the bus did not tell
    std::optional<std::uint32_t> pid;
    std::string userName; // from /etc/passwd; empty where the user is not there

    // "uid 1000 (alice), pid 4242"; "bus name :1.36" where the bus told nothing.
    std::string Text() const;
};

// The name of the user `uid` in /etc/passwd; empty where it is not there. Read from the file
// rather than through NSS, which may ask a directory server and stall the loop.
std::string UserNameFromPasswd(std::uint32_t uid, const char* passwdFile = "/etc/passwd");

class BusCallers {
public:
    // How long the bus may take to say; past it, the caller is told by its bus name.
    static constexpr std::chrono::seconds kPatience{5};

    // Asks `bus` who the client `busName` is; `told` is called once, from the loop, and
    // never once this object is gone.
    void Ask(const QDBusConnection& bus, const QString& busName, std::function<void(const BusCaller&)> told);

private:
    QObject answers_; // the pending calls' receiver: none is answered once this is gone
};

} // namespace platform
