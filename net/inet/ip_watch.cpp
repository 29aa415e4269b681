#include "net/inet/ip_watch.h"

#include "framework/main_thread.h"
#include "framework/scope_exit.h"
#include "net/inet/thread.h"
#include "platform/thread_name.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <utility>

namespace net::inet {

using std::chrono::milliseconds;

// Has the main thread check the address at once, then whenever the system tells of a
// change; without such notices, after every cycle. The thread sleeps in between, without a
// limit where the notices come. A check that could not read the addresses is taken again a
// cycle later, notice or not.
class TIdIPWatchThread final : public TIdThread {
public:
    TIdIPWatchThread(std::function<bool()> checkHook, std::unique_ptr<platform::LocalAddressChanges> changes,
                     unsigned cycleTime)
        // A cycle of 0 would spin without sleeping.
        : checkHook_(std::move(checkHook)), changes_(std::move(changes)), cycleTime_(std::max(cycleTime, 1u))
    {
    }

    ~TIdIPWatchThread() override { TerminateAndWaitFor(); }

protected:
    void BeforeExecute() override { platform::NameThisThread("address watch"); }
    void BeforeStepLoop() override { Look(); }

    void WorkStep() override
    {
        const int notices = changes_ ? changes_->Descriptor() : -1;
        const bool timed = notices < 0 || lookAgain_;
        if (!WaitReadableUnlessTerminated(notices, timed ? std::optional(cycleTime_) : std::nullopt))
            Look();
    }

private:
    void Look()
    {
        // Read before the check, so that a change during it is told the next time.
        const bool changed = !changes_ || changes_->MayHaveChanged();
        if (changed || lookAgain_) {
            bool looked = false;
            framework::RunOnMainThread([&] { looked = checkHook_(); });
            lookAgain_ = !looked;
        }
    }

    const std::function<bool()> checkHook_;
    const std::unique_ptr<platform::LocalAddressChanges> changes_;
    const milliseconds cycleTime_;
    bool lookAgain_ = false; // the last check could not read the addresses
};

namespace {

// Loopback addresses do not reach the network.
bool IsUsable(const std::string& address)
{
    return !address.empty() && address.rfind("127.", 0) != 0;
}

} // namespace

TIdIPWatch::TIdIPWatch(ComponentStart start) : TIdComponent(start) {}

TIdIPWatch::~TIdIPWatch()
{
    if (const auto thread = std::move(watchThread_))
        thread->TerminateAndWaitFor();
}

bool TIdIPWatch::Active() const
{
    return NotedActive() || watchThread_ != nullptr;
}

void TIdIPWatch::SetActive(bool value)
{
    if (value == Active())
        return;
    if (NotedWhileLoading(value))
        return;
    if (value) {
        watchThread_ = std::make_unique<TIdIPWatchThread>([this] { return PollAddress(); },
                                                          ProcessStack()->WatchLocalAddressChanges(), WatchInterval);
        watchThread_->StartThread();
    } else {
        // Out of the member first: a check run during the wait may switch the watch again.
        const auto thread = std::move(watchThread_);
        thread->TerminateAndWaitFor();
    }
}

void TIdIPWatch::Loaded()
{
    if (const auto wanted = FinishLoading())
        SetActive(*wanted);
}

bool TIdIPWatch::PollAddress()
{
    // A check nested in another one's lookup.
    if (lookupBusy_)
        return false;
    bool looked = false;
    try {
        const bool wasOnline = online_;
        const std::string old = currentAddress_;

        {
            lookupBusy_ = true;
            const framework::ScopeExit lookupDone([this]() noexcept { lookupBusy_ = false; });
            currentAddress_ = ProcessStack()->FirstLocalAddress();
        }
        looked = true;

        online_ = IsUsable(currentAddress_);
        if (online_ != wasOnline) {
            if (OnStatusChanged)
                OnStatusChanged(this);
        } else if (online_ && currentAddress_ != old && OnAddressChanged) {
            OnAddressChanged(this);
        }
    } catch (...) {
        // Nothing of a check reaches the user or the thread.
    }
    return looked;
}

} // namespace net::inet
