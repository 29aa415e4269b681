#include "platform/termination_signals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace platform {
namespace {

int g_writeEnd = -1;

constexpr int kEndingSignals[] = {SIGTERM, SIGINT, SIGHUP};

// Only async-signal-safe work here: one byte into the pipe wakes the main loop.
void OnSignal(int)
{
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const auto ignored = write(g_writeEnd, &byte, 1);
    errno = saved;
}

void InstallHandler(int signal, void (*handler)(int))
{
    struct sigaction action{};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(signal, &action, nullptr);
}

} // namespace

TerminationSignals::TerminationSignals(QObject* parent) : QObject(parent)
{
    // Not undone with the handlers: whatever the program writes while it ends must not
    // kill it either.
    InstallHandler(SIGPIPE, SIG_IGN);
    if (pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    g_writeEnd = pipe_[1];
    notifier_ = new QSocketNotifier(pipe_[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &TerminationSignals::Drain);
    for (const int signal : kEndingSignals)
        InstallHandler(signal, OnSignal);
}

TerminationSignals::~TerminationSignals()
{
    if (pipe_[0] < 0)
        return;
    for (const int signal : kEndingSignals)
        InstallHandler(signal, SIG_DFL);
    g_writeEnd = -1;
    close(pipe_[0]);
    close(pipe_[1]);
}

void TerminationSignals::Drain()
{
    char bytes[16];
    while (read(pipe_[0], bytes, sizeof bytes) > 0) {
    }
    Q_EMIT received();
}

} // namespace platform
