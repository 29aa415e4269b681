#pragma once

// polkit on a private bus: python3-dbusmock's polkitd template, which refuses every action
// until told otherwise, and notes each CheckAuthorization it is asked on its output.

#include "tests/support/child_process.h"

#include <QDBusConnection>
#include <QStringList>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace testsupport {

class FakePolkit {
public:
    // Starts it on the bus at `busAddress` and waits until it owns its name.
    explicit FakePolkit(const std::string& busAddress);
    ~FakePolkit();
    FakePolkit(const FakePolkit&) = delete;
    FakePolkit& operator=(const FakePolkit&) = delete;

    // Whether it came up; what it said otherwise.
    bool Running() const { return running_; }
    std::string Errors() const { return mock_->Errors(); }

    // Allows exactly `actions` from now on; true when it was told.
    bool Allow(const QStringList& actions);
    // Leaves the checks of `actions` unanswered until Release().
    bool Hold(const QStringList& actions);
    bool Release();

    // The next CheckAuthorization asked, as the mock notes it: "CheckAuthorization
    // dbus.Struct((dbus.String('system-bus-name'), dbus.Dictionary({dbus.String('name'):
    // dbus.String(':1.5', variant_level=1)}, ...)), ...) "an.action" {} 1 """;
    // nothing when none comes within `timeout`.
    std::optional<std::string> NextCheck(std::chrono::milliseconds timeout = std::chrono::seconds(5));

private:
    bool Tell(const QString& method, const QVariant& argument);

    std::unique_ptr<ChildProcess> mock_;
    QString connectionName_;
    QDBusConnection bus_;
    bool running_ = false;
};

} // namespace testsupport
