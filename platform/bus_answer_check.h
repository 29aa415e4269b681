#pragma once

// Whether a D-Bus bus answers, found out on the main loop within a bound. Qt connects to a
// bus synchronously: a bus whose socket takes the connection and then stays silent holds
// the calling thread, Qt's own D-Bus thread and the program's end for as long as it stays
// so. A bus that has just answered this check, by letting us authenticate and replying to
// the greeting every client sends first, is one that Qt may connect to.

#include "platform/unique_fd.h"

#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

class QSocketNotifier;

namespace platform {

// The system bus's address: DBUS_SYSTEM_BUS_ADDRESS, or the well-known socket.
std::string SystemBusAddress();

// What the address is to this process, for messages: "system bus" or "session bus" when it
// is that bus's address here, "bus" otherwise.
std::string BusKind(const std::string& address);

// The socket a D-Bus address names: its first "unix:" entry with a path or an abstract
// name, the sockaddr_un path as bytes (an abstract name led by a NUL); empty when there
// is none.
std::string UnixSocketOfBusAddress(const std::string& address);

// What a check found. A missing socket is told apart from a silent bus: it means that no
// bus runs there at all, which is worth saying in those words.
enum class BusAnswer {
    Answered,
    Absent, // no socket at the address, or nothing listening on it
    Silent, // turned us away, or no answer within the bound, or an address we cannot reach
};

class BusAnswerCheck {
public:
    // Called once with what the check found; from the loop of the thread that made the
    // check, never before the constructor has returned, and never once the check is gone.
    // It may not destroy the check.
    using Outcome = std::function<void(BusAnswer answer)>;

    // Starts at once. A bus that cannot be reached (an address other than a Unix socket's,
    // say) has not answered.
    BusAnswerCheck(const std::string& address, std::chrono::milliseconds patience, Outcome outcome);
    ~BusAnswerCheck();
    BusAnswerCheck(const BusAnswerCheck&) = delete;
    BusAnswerCheck& operator=(const BusAnswerCheck&) = delete;

    // Whether the outcome has been given.
    bool Finished() const { return !outcome_; }

private:
    enum class Stage { Authenticating, Greeting };

    // What connecting found: Answered stands for a connection made.
    BusAnswer Connect(const std::string& address);
    void OnReadable();
    // Sends all of `bytes` at once: the messages are small and the socket new, so a send
    // that would block means a bus that does not read.
    bool Send(const std::string& bytes);
    void Finish(BusAnswer answer);

    Outcome outcome_;
    Stage stage_ = Stage::Authenticating;
    std::string received_;
    BusAnswer atDeadline_ = BusAnswer::Silent; // what the deadline finds: set when connecting already failed
    UniqueFd socket_;
    std::unique_ptr<QSocketNotifier> reader_; // goes before the socket it watches
    QTimer deadline_;
};

} // namespace platform
