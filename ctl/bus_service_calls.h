#pragma once

// tavrin-clientd asked over the system bus, as com.dovetra.TavrinClient1 at
// /com/dovetra/TavrinClient1 (service/com.dovetra.TavrinClient1.xml). The bus is first
// made to answer within a bound (platform/bus_answer_check.h), since Qt would otherwise
// wait for a silent one without end; each call then has its own timeout. Made and used on
// the main thread, with a QCoreApplication in place: the check runs a loop of its own.

#include "ctl/service_calls.h"

#include <QDBusConnection>
#include <QDBusMessage>

#include <chrono>
#include <optional>
#include <string>

namespace ctl {

class BusServiceCalls final : public ServiceCalls {
public:
    static constexpr std::chrono::milliseconds kBusPatience{3000};
    // For reading the state, and for a change the caller may not be asked about.
    static constexpr std::chrono::milliseconds kCallPatience{5000};
    // An update waits for the server's reply, which may take up to its 5 s deadline.
    static constexpr std::chrono::milliseconds kUpdatePatience{10000};
    // Time for a person to answer the polkit agent's password prompt.
    static constexpr std::chrono::milliseconds kPasswordPatience{90000};

    // `busAddress`: the system bus's, as platform::SystemBusAddress() gives it.
    explicit BusServiceCalls(std::string busAddress);
    ~BusServiceCalls() override;
    BusServiceCalls(const BusServiceCalls&) = delete;
    BusServiceCalls& operator=(const BusServiceCalls&) = delete;

    std::variant<ServiceStatus, BusFailure> ReadStatus() override;
    std::optional<BusFailure> Update() override;
    std::optional<BusFailure> SetServer(const std::string& address, bool interactive) override;

private:
    // Connects at the first call; a failure when the bus does not answer.
    std::optional<BusFailure> Connect();
    // Sends `call` and waits at most `patience` for its reply; an error reply, or none in
    // time, becomes the failure.
    std::variant<QDBusMessage, BusFailure> Call(const QDBusMessage& call, std::chrono::milliseconds patience);

    std::string busAddress_;
    QDBusConnection bus_;
};

} // namespace ctl
