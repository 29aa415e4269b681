#include "platform/bus_caller.h"

#include "platform/escaped_text.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

#include <pwd.h>

#include <array>
#include <cstdio>
#include <memory>
#include <utility>

namespace platform {

std::string BusCaller::Text() const
{
    if (!uid && !pid)
        return "bus name " + busName;
    std::string text;
    if (uid)
        text = "uid " + std::to_string(*uid) + (userName.empty() ? "" : " (" + EscapedText(userName) + ")");
    if (pid)
        text += (text.empty() ? "pid " : ", pid ") + std::to_string(*pid);
    return text;
}

std::string UserNameFromPasswd(std::uint32_t uid, const char* passwdFile)
{
    const std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(passwdFile, "re"), std::fclose);
    if (!file)
        return {};
    passwd entry{};
    passwd* found = nullptr;
    std::array<char, 4096> buffer{};
    // A line too long for the buffer (ERANGE) ends the search: no user name is that long.
    while (fgetpwent_r(file.get(), &entry, buffer.data(), buffer.size(), &found) == 0 && found) {
        if (found->pw_uid == uid)
            return found->pw_name;
    }
    return {};
}

void BusCallers::Ask(const QDBusConnection& bus, const QString& busName, std::function<void(const BusCaller&)> told)
{
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetConnectionCredentials"));
    call << busName;
    const auto patience = std::chrono::milliseconds(kPatience);
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, static_cast<int>(patience.count())), &answers_);
    QObject::connect(
        watcher, &QDBusPendingCallWatcher::finished, &answers_,
        [watcher, caller = BusCaller{busName.toStdString(), {}, {}, {}}, told = std::move(told)]() mutable {
            watcher->deleteLater();
            const QDBusPendingReply<QVariantMap> reply = *watcher;
            if (!reply.isError()) {
                const QVariantMap credentials = reply.value();
                bool ok = false;
                if (const uint uid = credentials.value(QStringLiteral("UnixUserID")).toUInt(&ok); ok) {
                    caller.uid = uid;
                    caller.userName = UserNameFromPasswd(uid);
                }
                if (const uint pid = credentials.value(QStringLiteral("ProcessID")).toUInt(&ok); ok)
                    caller.pid = pid;
            }
            told(caller);
        });
}

} // namespace platform
