#pragma once

#include <QObject>

class QSocketNotifier;

namespace platform {

// Turns SIGTERM, SIGINT and SIGHUP (the terminal or the session going away) into a call
// on the main thread, so that the program can end through its normal clean-up instead of
// dying where it stands. SIGPIPE is ignored from then on, for the rest of the process: a
// closed output, such as a dry run piped into `head`, only makes the writes fail.
class TerminationSignals final : public QObject {
    Q_OBJECT
public:
    // Installs the handlers; only one instance may exist at a time.
    explicit TerminationSignals(QObject* parent = nullptr);
    ~TerminationSignals() override;

Q_SIGNALS:
    void received();

private:
    void Drain();

    int pipe_[2] = {-1, -1};
    QSocketNotifier* notifier_ = nullptr;
};

} // namespace platform
