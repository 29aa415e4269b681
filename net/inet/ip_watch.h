#pragma once

#include "net/inet/component.h"

#include <functional>
#include <memory>
#include <string>

namespace net::inet {

class TIdIPWatchThread;

using TNotifyEvent = std::function<void(TIdComponent* Sender)>;

// Tells whether the PC has a usable network address. While active, a thread of its own
// has the main thread look at the first local address (TIdStack::FirstLocalAddress) when
// it starts, and then whenever the addresses may have changed: where the system tells of
// changes (see TIdStack::WatchLocalAddressChanges), the thread sleeps until it does;
// elsewhere it looks after every WatchInterval. When that turns from no usable address to
// a usable one or back, OnStatusChanged fires on the main thread, and when one usable
// address gives way to another, OnAddressChanged. Loopback addresses (127.0.0.0/8) are
// not usable.
class TIdIPWatch final : public TIdComponent {
public:
    explicit TIdIPWatch(ComponentStart start = ComponentStart::Ready);
    // Stops the thread, waiting for it to end.
    ~TIdIPWatch() override;

    bool Active() const;
    // Starts or stops the thread, waiting for it to end; while loading, only notes the
    // wish. Main thread only.
    void SetActive(bool value);

    // The object model's settings for a file of past addresses. The watch keeps no such
    // history and writes no file, whatever they hold.
    bool HistoryEnabled = true;
    std::string HistoryFilename = "iphist.dat";
    // Milliseconds between looks where the system tells of no changes, and before a look
    // that could not read the addresses is taken again; read when the thread starts.
    unsigned WatchInterval = 1000;
    // Fires once per change of Online, after Online and CurrentAddress have their new
    // values; an exception it raises is dropped.
    TNotifyEvent OnStatusChanged;
    // Fires when a check finds another usable address while the PC stays online (it
    // moved to another address or interface), after CurrentAddress has the new one; an
    // exception it raises is dropped.
    TNotifyEvent OnAddressChanged;

    // False until the first check that finds a usable address.
    bool Online() const { return online_; }
    // The address of the last successful check.
    const std::string& CurrentAddress() const { return currentAddress_; }

    // One check, as the thread has the main thread run it. Nothing it meets escapes:
    // when the address cannot be found, nothing changes. Returns whether it could look
    // at the addresses; the thread looks again a WatchInterval later when it could not.
    bool PollAddress();

    // Carries out a write of Active noted while loading.
    void Loaded() override;

private:
    std::unique_ptr<TIdIPWatchThread> watchThread_;
    std::string currentAddress_;
    bool online_ = false;
    bool lookupBusy_ = false;
};

} // namespace net::inet
