#pragma once

// A connection of the program's own to a D-Bus bus that may be absent, silent or restarted,
// which never holds the main thread: Qt connects only to a bus that has just answered a
// BusAnswerCheck (platform/bus_answer_check.h), and while there is no connection, or once it
// is lost, the bus is checked anew every `retry`. Each new connection is handed to the
// owner, who registers its objects and names on it; an owner that must know when there is
// none is told that too. Main thread only.

#include "platform/bus_answer_check.h"

#include <QDBusConnection>
#include <QLoggingCategory>
#include <QString>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace platform {

class BusLink {
public:
    static constexpr std::chrono::milliseconds kPatience{3000};
    static constexpr std::chrono::milliseconds kRetry{30000};

    // Called from the loop with each new connection, never once the link is gone.
    using Connected = std::function<void(const QDBusConnection& bus)>;
    // Called from the loop, never once the link is gone, whenever a look finds no bus to
    // use: one that cannot be reached or does not answer, or a connection lost since.
    using Unavailable = std::function<void()>;
    using Category = const QLoggingCategory& (*)();

    // Checks the bus at `address` at once. The log (`category`) hears, once per change, that
    // there is no bus, or that it does not answer, and that it does again; `what` names what goes without the
    // bus meanwhile ("the bus interface com.dovetra.TavrinClient1").
    BusLink(std::string address, std::string what, Category category, Connected connected,
            std::chrono::milliseconds patience = kPatience, std::chrono::milliseconds retry = kRetry,
            Unavailable unavailable = {});
    // Leaves the bus.
    ~BusLink();
    BusLink(const BusLink&) = delete;
    BusLink& operator=(const BusLink&) = delete;

    // The connection: a disconnected one while there is none.
    const QDBusConnection& Connection() const { return bus_; }

private:
    // Unless connected, or a check is under way, checks the bus.
    void Look();
    void Checked(BusAnswer answer);
    // Says once, until the bus answers again, that there is no bus to use: `what` happened.
    void NoteSilence(const std::string& what);
    // The same for a bus that is there: it cannot be used, for the reason `why`.
    void NoteUnusable(const std::string& why);

    std::string address_;
    std::string what_;
    Category category_;
    Connected connected_;
    Unavailable unavailable_;
    std::chrono::milliseconds patience_;
    std::chrono::milliseconds retry_;
    QString connectionName_; // the link's own: given up when it goes
    QDBusConnection bus_;
    std::unique_ptr<BusAnswerCheck> check_;
    QTimer retryTimer_;
    bool silenceLogged_ = false; // said that the bus is not there, until it is again
    bool hadConnection_ = false; // the last look found one: its loss is said once
};

} // namespace platform
