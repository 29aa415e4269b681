#include "platform/termination_signals.h"

#include "platform/log.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace platform {
namespace {

int handlerWriteEnd = -1;

constexpr int kEndingSignals[] = {SIGTERM, SIGINT, SIGHUP};

// Only async-signal-safe work here: the signal's number, one byte, into the pipe wakes the
// main loop.
void OnSignal(int signal)
{
    const int saved = errno;
    const auto byte = static_cast<char>(signal);
    // A full pipe holds a wake-up already, and one is all the main loop needs: the bytes
    // that fit tell whether an end is among them.
    [[maybe_unused]] const auto written = write(handlerWriteEnd, &byte, 1);
    errno = saved;
}

// A refusal leaves the signal as it was, which the warning tells.
void InstallHandler(int signal, void (*handler)(int))
{
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (sigaction(signal, &action, nullptr) != 0)
        qCWarning(lcDesktop, "cannot set the action of SIG%s: %s", sigabbrev_np(signal), std::strerror(errno));
}

} // namespace

TerminationSignals::TerminationSignals(Hangup hangup, QObject* parent) : QObject(parent), hangup_(hangup)
{
    // Not undone with the handlers: whatever the program writes while it ends must not
    // kill it either.
    InstallHandler(SIGPIPE, SIG_IGN);
    int ends[2];
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
        qCWarning(lcDesktop, "no pipe for the ending signals: %s; they end the program at once", std::strerror(errno));
        return;
    }
    readEnd_.Reset(ends[0]);
    writeEnd_.Reset(ends[1]);
    handlerWriteEnd = writeEnd_.Get();
    notifier_ = std::make_unique<QSocketNotifier>(readEnd_.Get(), QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &TerminationSignals::Drain);
    for (const int signal : kEndingSignals)
        InstallHandler(signal, OnSignal);
}

TerminationSignals::~TerminationSignals()
{
    if (!readEnd_)
        return;
    for (const int signal : kEndingSignals)
        InstallHandler(signal, SIG_DFL);
    handlerWriteEnd = -1;
}

void TerminationSignals::Drain()
{
    bool ending = false;
    bool reload = false;
    char bytes[16];
    // Until the pipe is empty (EAGAIN) or gone: either way there is nothing more to take.
    for (ssize_t got = 0; (got = read(readEnd_.Get(), bytes, sizeof bytes)) > 0;) {
        for (ssize_t i = 0; i < got; ++i) {
            if (bytes[i] == SIGHUP && hangup_ == Hangup::Reloads)
                reload = true;
            else
                ending = true;
        }
    }
    if (ending)
        Q_EMIT received();
    else if (reload)
        Q_EMIT reloadAsked();
}

} // namespace platform
