#pragma once

#include "platform/unique_fd.h"

#include <QObject>

#include <memory>

class QSocketNotifier;

namespace platform {

// Turns SIGTERM, SIGINT and SIGHUP (the terminal or the session going away) into a call
// on the main thread, so that the program can end through its normal clean-up instead of
// dying where it stands. A service, which has no terminal, takes SIGHUP as systemd's
// `reload` instead. SIGPIPE is ignored from then on, for the rest of the process: a closed
// output, such as a dry run piped into `head`, only makes the writes fail.
class TerminationSignals final : public QObject {
    Q_OBJECT
public:
    enum class Hangup { Ends, Reloads };

    // Installs the handlers; only one instance may exist at a time. Without them (no pipe,
    // or the system refused a handler) the signals keep their default action, which ends
    // the program at once; a warning says so.
    explicit TerminationSignals(Hangup hangup = Hangup::Ends, QObject* parent = nullptr);
    ~TerminationSignals() override;

Q_SIGNALS:
    // The program is to end. Signals that come together give one call; an end among them
    // wins over a reload.
    void received();
    // With Hangup::Reloads, SIGHUP: the settings are to be read again.
    void reloadAsked();

private:
    void Drain();

    Hangup hangup_;
    UniqueFd readEnd_;
    UniqueFd writeEnd_;
    std::unique_ptr<QSocketNotifier> notifier_; // goes before the pipe it watches
};

} // namespace platform
