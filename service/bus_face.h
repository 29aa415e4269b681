#pragma once

// The service's face on the system bus: the interface com.dovetra.TavrinClient1
// (service/bus_interface.h) over the ClockService, as the tray is the window's face. Its
// properties follow the service's state, with one PropertiesChanged for each gathered
// change (ClockService::SetStateListener); Update has the keeper ask the time server now;
// SetServer stores a new server in the drop-in folder and applies the settings at once.
// polkit decides who may call either, asked without waiting, and the call is answered once
// it has decided; the log names the caller by its user and process, which the bus is asked
// for first. SetServer refuses, storing nothing, while a drop-in read after the one it
// writes sets the server: that file decides, and the caller learns which. Without a bus, or with one that does not
// answer, the clock is kept all the same and the bus looked for again (platform/bus_link.h). Main thread only.
//
// Update is answered once its request has had its outcome, so that the properties read
// after the answer tell it; at the latest kLongestUpdate after the request started, should
// none come (a server that takes the request and never replies). A call within
// UpdateLimit::kSpacing of the last request an Update started joins it: answered with it
// while it is under way, at once when its outcome is in already. Without a server
// configured Update fails.

#include "platform/bus_caller.h"
#include "platform/bus_link.h"
#include "platform/polkit_authority.h"
#include "service/update_limit.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QObject>
#include <QTimer>
#include <QVariantMap>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace service {

class ClockService;

class BusFace final : public QDBusVirtualObject {
public:
    // A reply comes within 5 s of the request going out, or is not taken.
    static constexpr std::chrono::seconds kLongestUpdate{6};

    // Where the service's settings come from, and where SetServer stores its drop-in.
    struct SettingsFiles {
        std::string mainFile;
        std::string dropInFolder;
    };

    // Looks for the bus at `busAddress` at once; the name and the object follow from the
    // loop, once it answers.
    BusFace(ClockService& service, SettingsFiles files, const std::string& busAddress);
    ~BusFace() override;
    BusFace(const BusFace&) = delete;
    BusFace& operator=(const BusFace&) = delete;

    QString introspect(const QString& path) const override;
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;

private:
    void Connected(const QDBusConnection& bus);
    void RequestName(const QDBusConnection& bus);
    // Sends PropertiesChanged for what changed since the last time.
    void Publish();
    QVariantMap Current() const;

    QDBusMessage Properties(const QDBusMessage& call) const;
    void Update(const QDBusMessage& call, const QDBusConnection& bus);
    void SetServer(const QDBusMessage& call, const QDBusConnection& bus);
    // The answer to an allowed Update; nothing while its request is under way. `caller`
    // as BusCaller::Text() gives it.
    std::optional<QDBusMessage> StartUpdate(const QDBusMessage& call, const QDBusConnection& bus,
                                            const std::string& caller);
    // Answers the Updates that wait for the request under way.
    void AnswerUpdates();
    QDBusMessage StoreServer(const QDBusMessage& call, const std::string& address, const std::string& caller);
    // The refusal of a SetServer while a later drop-in sets the server; nothing when the
    // stored one would hold.
    std::optional<QDBusMessage> OverrideRefusal(const QDBusMessage& call) const;
    // Asks the bus who the caller is, then polkit whether it may take `action`; answers the
    // call with what `allowed` gives the caller's description when it may (nothing: it
    // answers later itself), with the refusal when not.
    void Authorise(const QDBusMessage& call, const QDBusConnection& bus, const char* action, bool interactive,
                   std::function<std::optional<QDBusMessage>(const std::string& caller)> allowed);

    ClockService& service_;
    SettingsFiles files_;
    UpdateLimit updateLimit_;
    std::vector<std::pair<QDBusMessage, QDBusConnection>> awaitingOutcome_; // Updates, with their bus
    bool requestUnderWay_ = false;     // an Update's request has had no outcome yet
    std::uint64_t resultsAtStart_ = 0; // the service's results when it started
    QTimer updateDeadline_;
    QVariantMap published_; // the properties as last sent
    platform::BusCallers callers_;
    platform::PolkitAuthority polkit_;
    QObject nameRequests_; // the name requests' receiver: none is answered once the face is gone
    platform::BusLink link_;
};

} // namespace service
