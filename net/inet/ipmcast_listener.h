#pragma once

// The thread of TIdIPMCastClient; only the client makes one. It waits for datagrams
// without a time limit: the client wakes it for a stop by shutting its sockets down.

#include "net/inet/thread.h"

#include <vector>

namespace net::inet {

class TIdIPMCastClient;

class TIdIPMCastListenerThread final : public TIdThread {
public:
    // Takes the client's BufferSize and ThreadedEvent as they are now.
    explicit TIdIPMCastListenerThread(TIdIPMCastClient& owner);
    ~TIdIPMCastListenerThread() override;

protected:
    void BeforeExecute() override;
    void WorkStep() override;

private:
    TIdIPMCastClient& ownerClient_;
    // One buffer for every datagram, made once.
    std::vector<char> receiveBuffer_;
    const bool threadedEvent_;
};

} // namespace net::inet
