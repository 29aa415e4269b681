// Waiting for the reply port while another program holds it: a restarted service finds the
// port with a tray that has not let it go yet, a tray finds it with another user's copy.
// Tried once a second, quietly: the notice and the log said it once when the wait began.

#include "keeper/clock_keeper.h"

#include "platform/log.h"

#include <utility>

namespace keeper {

void ClockKeeper::WaitForReplyPort()
{
    if (replyPortRetry_->isActive())
        return;
    replyPortWaitSince_ = std::chrono::steady_clock::now();
    replyPortRetry_->start();
}

void ClockKeeper::RetryReplyPort()
{
    try {
        ServerSocket1->SetActive(true);
    } catch (const net::ESocketError& failure) {
        if (failure.ErrorCode() != net::WSAEADDRINUSE)
            face_.ShowStatus(failure.Message());
        return;
    }
    ReplyPortTaken();
    // As at start: a request now, the next one an interval later.
    FFirstFetch = true;
    schedule_.Started(platform::BootClock::now());
    ArmSchedule();
}

void ClockKeeper::ReplyPortTaken()
{
    replyPortRetry_->stop();
    if (!std::exchange(replyPortInUse, false))
        return;
    const std::chrono::duration<double> waited = std::chrono::steady_clock::now() - replyPortWaitSince_;
    qCInfo(platform::lcNet, "reply port %d taken after %.1f s: replies come to this program again",
           ServerSocket1->Port(), waited.count());
    ReportNotice(Notice::ReplyPortInUse, "");
}

} // namespace keeper
