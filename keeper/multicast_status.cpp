// The server's status datagrams: between replies they keep the source and state up to date.

#include "keeper/clock_keeper.h"

#include "framework/convert.h"
#include "framework/text.h"
#include "keeper/local_peers.h"
#include "platform/log.h"

namespace keeper {

void ClockKeeper::IdIPWatch1StatusChanged(net::inet::TIdComponent* /*Sender*/)
{
    // On the interface that holds the address: a network without a default route has none
    // that the system would pick.
    if (IdIPWatch1->Online())
        IdIPMCastClient1->SetInterfaceAddress(IdIPWatch1->CurrentAddress());
    IdIPMCastClient1->SetActive(IdIPWatch1->Online());
}

void ClockKeeper::IdIPMCastClient1IPMCastRead(net::inet::TIdComponent* /*Sender*/, std::string_view AData,
                                              net::inet::TIdSocketHandle& ABinding)
{
    // Only the configured server is heard, and on this PC only its owner's socket.
    if (ABinding.SenderIP() != ServerAddress())
        return;
    if (const std::string why = WhyNotTheServersDatagram(peerSockets_, ABinding.SenderIP(), ABinding.SenderPort(),
                                                         ABinding.IP, ABinding.Port);
        !why.empty()) {
        const std::optional<AddressLogLimit::Line> line = droppedDatagramLog.Allow(ABinding.SenderIP());
        if (!line)
            return;
        const std::string text = "status datagram from " + ABinding.SenderIP() + " port "
                               + std::to_string(ABinding.SenderPort()) + " dropped: " + why
                               + line->HeldBackText("dropped");
        qCWarning(platform::lcNet, "%s", text.c_str());
        return;
    }

    // The text ends at the first zero byte; a datagram that starts with one has no line.
    const std::string_view text = AData.substr(0, AData.find('\0'));
    if (text.empty())
        return;
    const std::string firstLine(text.substr(0, text.find_first_of("\r\n")));

    using framework::Copy;
    using framework::StrToInt;
    try {
        FTimeSource = static_cast<std::int16_t>(StrToInt(Copy(firstLine, 1, 1)));
        StrToInt(Copy(firstLine, 3, 1)); // must be a digit; its value is not used
        FSyncState = static_cast<std::int16_t>(StrToInt(Copy(firstLine, 5, 1)));
        ShowSyncBadge();
    } catch (const std::exception&) {
        ShowUnknownBadge();
    }
}

} // namespace keeper
