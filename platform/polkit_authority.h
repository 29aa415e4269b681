#pragma once

// Whether polkit lets a caller on the system bus take an action, asked of
// org.freedesktop.PolicyKit1 without waiting: the verdict comes later from the loop, so
// that a polkit that is slow, or waits for a password, never holds the main thread.
// Main thread only.

#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <chrono>
#include <functional>
#include <string>

namespace platform {

struct PolkitVerdict {
    enum class Outcome {
        Allowed,
        Refused,
        NeedsInteraction, // allowed after authentication, which the caller did not allow
        NoAnswer,         // polkit is not on the bus, or failed to answer
    };
    Outcome outcome = Outcome::NoAnswer;
    std::string detail; // for NoAnswer: why, in words
};

class PolkitAuthority {
public:
    // How long polkit may take; with interaction allowed it may be waiting for a password.
    static constexpr std::chrono::seconds kPatience{25};
    static constexpr std::chrono::seconds kInteractivePatience{120};

    // Asks whether the bus client `busName` (a unique name, ":1.42") may take `action`, on
    // `bus`; `interactive`: polkit may have the caller's agent ask for a password. `verdict`
    // is called once, from the loop, and never once this object is gone.
    void Check(const QDBusConnection& bus, const QString& busName, const QString& action, bool interactive,
               std::function<void(const PolkitVerdict&)> verdict);

private:
    QObject answers_; // the pending calls' receiver: none is answered once this is gone
};

} // namespace platform
