// The system service's bus interface, com.dovetra.TavrinClient1: the real service under the
// clock guard beside the reference servers, in a network namespace of the test's own, on a
// private system bus that includes the packaged bus policy, with python3-dbusmock's polkitd
// deciding what callers may do.

#include "tests/support/clock_guard.h"
#include "tests/support/event_loop.h"
#include "tests/support/fake_polkit.h"
#include "tests/support/file_text.h"
#include "tests/support/notify_socket.h"
#include "tests/support/private_bus.h"
#include "tests/support/private_network.h"
#include "tests/support/silent_bus.h"
#include "tests/support/time_server_process.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QObject>
#include <QTemporaryDir>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>

using namespace std::chrono_literals;
using testing::HasSubstr;
using testsupport::ProcessEventsUntil;

namespace {

const QString kName = QStringLiteral("com.dovetra.TavrinClient1");
const QString kPath = QStringLiteral("/com/dovetra/TavrinClient1");
const QString kPropertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");
const QString kUpdateAction = QStringLiteral("com.dovetra.TavrinClient1.update");
const QString kSetServerAction = QStringLiteral("com.dovetra.TavrinClient1.set-server");

qulonglong NowUSec()
{
    return static_cast<qulonglong>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count());
}

// The PropertiesChanged signals of the service's object, as they come.
class ChangeRecorder : public QObject {
    Q_OBJECT
public:
    struct Change {
        QString interface;
        QVariantMap changed;
        QStringList invalidated;
    };
    std::vector<Change> changes;

    // The last value a signal gave `name`; nothing when none did.
    std::optional<QVariant> Last(const QString& name) const
    {
        for (auto change = changes.rbegin(); change != changes.rend(); ++change)
            if (change->changed.contains(name))
                return change->changed.value(name);
        return std::nullopt;
    }

public Q_SLOTS:
    void Changed(const QString& interface, const QVariantMap& changed, const QStringList& invalidated)
    {
        changes.push_back({interface, changed, invalidated});
    }
};

} // namespace

class ServiceOnTheBus : public testsupport::ClockGuardedTest {
protected:
    void SetUp() override
    {
        if (const std::string why = testsupport::EnterPrivateNetwork(); !why.empty())
            GTEST_SKIP() << why;
        ClockGuardedTest::SetUp();
        top = folder.path().toStdString();
        dropIns = top + "/clientd.conf.d";
        notify = std::make_unique<testsupport::NotifySocket>(top + "/notify");
        bus = std::make_unique<testsupport::PrivateBus>(std::vector<std::string>{TAVRIN_BUS_POLICY});
        ASSERT_FALSE(bus->Address().empty()) << "the private bus did not take the policy: " << bus->Errors();
        client = QDBusConnection::connectToBus(QString::fromStdString(bus->Address()), QStringLiteral("test-client"));
        ASSERT_TRUE(client.isConnected());
        // From any sender: the signals are to be heard from the service's very start.
        ASSERT_TRUE(client.connect(QString(), kPath, kPropertiesInterface, QStringLiteral("PropertiesChanged"),
                                   &recorder, SLOT(Changed(QString, QVariantMap, QStringList))));
    }
    void TearDown() override { QDBusConnection::disconnectFromBus(QStringLiteral("test-client")); }

    // A reference server listening on `address`.
    std::unique_ptr<testsupport::ChildProcess> StartServer(const std::string& address)
    {
        return testsupport::StartTimeServer(TAVRIN_TIME_SERVER, {"--listen-address", address});
    }

    // The service, asking `server` once an hour, its drop-ins in `dropIns`; on `busAddress`,
    // the private bus unless another is given.
    std::unique_ptr<testsupport::ChildProcess> StartService(const std::string& server,
                                                            const std::string& busAddress = {})
    {
        const std::string config = top + "/clientd.conf";
        std::ofstream(config) << "[Time]\nServer=" << server << "\nPollIntervalSec=3600\n";
        return guard.Start({TAVRIN_CLIENTD, "--config", config, "--config-dir", dropIns},
                           {"NOTIFY_SOCKET=" + notify->Path(),
                            "DBUS_SYSTEM_BUS_ADDRESS=" + (busAddress.empty() ? bus->Address() : busAddress)});
    }

    bool AwaitName()
    {
        return ProcessEventsUntil([this] { return client.interface()->isServiceRegistered(kName).value(); }, 10s);
    }

    QDBusMessage Call(const QString& interface, const QString& member, const QVariantList& arguments = {})
    {
        QDBusMessage call = QDBusMessage::createMethodCall(kName, kPath, interface, member);
        call.setArguments(arguments);
        return client.call(call, QDBus::Block, 10000);
    }
    QDBusMessage Update() { return Call(kName, QStringLiteral("Update")); }
    QDBusMessage SetServer(const QString& address, bool interactive)
    {
        return Call(kName, QStringLiteral("SetServer"), {address, interactive});
    }

    QVariantMap Properties()
    {
        const QDBusMessage reply = Call(kPropertiesInterface, QStringLiteral("GetAll"), {kName});
        EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
        return reply.arguments().isEmpty() ? QVariantMap() : qdbus_cast<QVariantMap>(reply.arguments().first());
    }
    QVariant Property(const QString& name)
    {
        const QDBusMessage reply = Call(kPropertiesInterface, QStringLiteral("Get"), {kName, name});
        EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
        return reply.arguments().isEmpty() ? QVariant() : reply.arguments().first().value<QDBusVariant>().variant();
    }

    // Until a signal has given `name` a value that `good` takes.
    bool AwaitChange(const QString& name, const std::function<bool(const QVariant&)>& good)
    {
        return ProcessEventsUntil(
            [&] {
                const auto last = recorder.Last(name);
                return last && good(*last);
            },
            10s);
    }

    // The requests a server has logged so far, reading what it wrote meanwhile.
    static int Requests(testsupport::ChildProcess& server)
    {
        // A wait shorter than a millisecond would not look at the pipe at all.
        while (server.ReadLine(10ms)) {
        }
        return testsupport::CountOf(server.Output(), "request from");
    }
    static bool AwaitRequests(testsupport::ChildProcess& server, int count)
    {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (Requests(server) < count && std::chrono::steady_clock::now() < deadline)
            server.ReadLine(100ms);
        return Requests(server) >= count;
    }

    QTemporaryDir folder;
    std::string top;
    std::string dropIns;
    std::unique_ptr<testsupport::NotifySocket> notify;
    std::unique_ptr<testsupport::PrivateBus> bus;
    QDBusConnection client{QString()};
    ChangeRecorder recorder;
};

TEST_F(ServiceOnTheBus, ItsPropertiesTellTheLastReplyAndTheirChangesAreSignalled)
{
    auto server = StartServer("127.0.0.1");
    auto service = StartService("127.0.0.1");
    ASSERT_TRUE(AwaitName()) << service->Errors();
    ASSERT_TRUE(AwaitChange("LastUpdateUSec", [](const QVariant& value) { return value.toULongLong() > 0; }))
        << service->Errors();

    const QVariantMap properties = Properties();
    const qulonglong now = NowUSec();
    EXPECT_EQ(properties.value("Server").toString(), "127.0.0.1");
    EXPECT_EQ(properties.value("Reachable").toBool(), true);
    EXPECT_EQ(properties.value("Source").toInt(), 1); // the reference server's defaults: GPS, in sync
    EXPECT_EQ(properties.value("State").toInt(), 2);
    EXPECT_GT(properties.value("LastUpdateUSec").toULongLong(), now - 60'000'000ULL);
    EXPECT_LE(properties.value("LastUpdateUSec").toULongLong(), now + 1'000'000ULL); // the clock may have been slewed
    EXPECT_LT(std::llabs(properties.value("OffsetUSec").toLongLong()), 2'000'000LL);
    EXPECT_THAT(properties.value("LastResult").toString().toStdString(), testing::StartsWith("Last update"));
    EXPECT_EQ(properties.value("Failing").toBool(), false);
    EXPECT_GT(properties.value("NextUpdateUSec").toULongLong(), now);
    EXPECT_LE(properties.value("NextUpdateUSec").toULongLong(), now + 3600'000'000ULL);
    EXPECT_EQ(Property("Server"), properties.value("Server"));

    // The properties, their types and the introspection are those of the interface's file.
    const std::string xml = testsupport::ReadFile(TAVRIN_BUS_INTERFACE_XML);
    const std::regex declared(R"re(<property name="(\w+)" type="(\w+)" access="read"/>)re");
    int count = 0;
    for (auto found = std::sregex_iterator(xml.begin(), xml.end(), declared); found != std::sregex_iterator();
         ++found, ++count) {
        const QString name = QString::fromStdString((*found)[1]);
        ASSERT_TRUE(properties.contains(name)) << name.toStdString();
        EXPECT_STREQ(QDBusMetaType::typeToSignature(properties.value(name).metaType()), (*found)[2].str().c_str())
            << name.toStdString();
    }
    EXPECT_EQ(properties.size(), count);
    const QDBusMessage introspection =
        Call(QStringLiteral("org.freedesktop.DBus.Introspectable"), QStringLiteral("Introspect"));
    const std::size_t start = xml.find("<interface ");
    const std::size_t end = xml.rfind("</interface>") + 12;
    EXPECT_THAT(introspection.arguments().value(0).toString().toStdString(), HasSubstr(xml.substr(start, end - start)));

    // A client that follows the signals holds what GetAll says, and no signal repeats a value.
    ASSERT_FALSE(recorder.changes.empty());
    QVariantMap followed;
    for (const ChangeRecorder::Change& change : recorder.changes) {
        EXPECT_EQ(change.interface, kName);
        EXPECT_TRUE(change.invalidated.isEmpty());
        for (auto property = change.changed.begin(); property != change.changed.end(); ++property) {
            EXPECT_NE(followed.value(property.key()), *property) << property.key().toStdString() << " sent unchanged";
            followed[property.key()] = *property;
        }
    }
    for (auto property = followed.begin(); property != followed.end(); ++property)
        EXPECT_EQ(*property, properties.value(property.key())) << property.key().toStdString();

    // Read-only, all of them; and nothing else is there.
    EXPECT_EQ(
        Call(kPropertiesInterface, QStringLiteral("Set"), {kName, "Server", QVariant::fromValue(QDBusVariant("x"))})
            .errorName(),
        "org.freedesktop.DBus.Error.PropertyReadOnly");
    EXPECT_EQ(Call(kPropertiesInterface, QStringLiteral("Get"), {kName, "Servers"}).errorName(),
              "org.freedesktop.DBus.Error.UnknownProperty");
    EXPECT_EQ(Call(kName, QStringLiteral("SetServer"), {QStringLiteral("192.0.2.1")}).errorName(),
              "org.freedesktop.DBus.Error.InvalidArgs");
    EXPECT_EQ(Requests(*server), 1) << server->Output();
}

TEST_F(ServiceOnTheBus, PolkitDecidesUpdateAndSetServerWhichAreSpacedStoredAndApplied)
{
    // The servers connect back from 127.0.0.1, whatever address they listen on: only the
    // second server's replies are taken, the first's are refused as not the server's.
    auto first = StartServer("127.0.0.2");
    auto second = StartServer("127.0.0.1");
    auto service = StartService("127.0.0.2");
    ASSERT_TRUE(AwaitName()) << service->Errors();
    ASSERT_TRUE(AwaitRequests(*first, 1)); // the first request goes out at start
    const std::string dropIn = dropIns + "/50-server.conf";

    // Without polkit nothing is allowed, and the caller learns why.
    QDBusMessage refused = Update();
    EXPECT_EQ(refused.errorName(), "org.freedesktop.DBus.Error.AccessDenied");
    EXPECT_THAT(refused.errorMessage().toStdString(), HasSubstr("polkit is not on the system bus"));
    EXPECT_EQ(SetServer("127.0.0.1", false).errorName(), "org.freedesktop.DBus.Error.AccessDenied");

    // polkit refuses.
    testsupport::FakePolkit polkit(bus->Address());
    ASSERT_TRUE(polkit.Running()) << polkit.Errors();
    refused = Update();
    EXPECT_EQ(refused.errorName(), "org.freedesktop.DBus.Error.AccessDenied");
    EXPECT_THAT(refused.errorMessage().toStdString(), HasSubstr("does not allow com.dovetra.TavrinClient1.update"));
    auto check = polkit.NextCheck();
    ASSERT_TRUE(check);
    EXPECT_THAT(*check, HasSubstr("\"com.dovetra.TavrinClient1.update\" {} 0 \"\""));
    EXPECT_THAT(*check, HasSubstr("dbus.String('" + client.baseService().toStdString() + "', variant_level=1)"));

    // A name that is none is refused before polkit is asked, saying why.
    const QDBusMessage bad = SetServer("time server", true);
    EXPECT_EQ(bad.errorName(), "org.freedesktop.DBus.Error.InvalidArgs");
    EXPECT_THAT(bad.errorMessage().toStdString(),
                HasSubstr("\"time server\" is neither an IPv4 address nor a host name: it holds a space"));
    EXPECT_EQ(SetServer("127.0.0.1", true).errorName(), "org.freedesktop.DBus.Error.AccessDenied");
    check = polkit.NextCheck(); // this one's, not the bad name's
    ASSERT_TRUE(check);
    EXPECT_THAT(*check, HasSubstr("\"com.dovetra.TavrinClient1.set-server\" {} 1 \"\""));

    // Allowed, but the drop-in folder is not there: the system's reason comes back.
    ASSERT_TRUE(polkit.Allow({kSetServerAction}));
    const QDBusMessage unwritten = SetServer("127.0.0.1", false);
    EXPECT_EQ(unwritten.errorName(), "org.freedesktop.DBus.Error.Failed");
    EXPECT_THAT(unwritten.errorMessage().toStdString(), HasSubstr("No such file or directory"));
    EXPECT_FALSE(std::filesystem::exists(dropIns));
    EXPECT_EQ(Property("Server").toString(), "127.0.0.2");

    // Stored, applied at once, and signalled.
    std::filesystem::create_directory(dropIns);
    const QDBusMessage stored = SetServer("127.0.0.1", false);
    ASSERT_EQ(stored.type(), QDBusMessage::ReplyMessage) << stored.errorMessage().toStdString();
    EXPECT_EQ(testsupport::ReadFile(dropIn), "[Time]\nServer=127.0.0.1\n");
    EXPECT_EQ(Property("Server").toString(), "127.0.0.1");
    EXPECT_TRUE(AwaitChange("Server", [](const QVariant& value) { return value.toString() == "127.0.0.1"; }));

    // An Update is answered once its request has had its outcome: the properties tell it.
    ASSERT_TRUE(polkit.Allow({kSetServerAction, kUpdateAction}));
    const auto beforeFirstUpdate = std::chrono::steady_clock::now();
    const qulonglong lastUpdate = Property("LastUpdateUSec").toULongLong();
    const QDBusMessage updated = Update();
    ASSERT_EQ(updated.type(), QDBusMessage::ReplyMessage) << updated.errorMessage().toStdString();
    EXPECT_GT(Property("LastUpdateUSec").toULongLong(), lastUpdate);
    EXPECT_EQ(Property("LastResult").toString().toStdString().find("Last update"), 0u);
    ASSERT_TRUE(AwaitRequests(*second, 1)); // to the new server

    // Nine more within the second: they join it.
    std::vector<QDBusPendingCall> calls;
    for (int i = 0; i < 9; ++i) {
        testsupport::ProcessEventsFor(100ms);
        calls.push_back(client.asyncCall(QDBusMessage::createMethodCall(kName, kPath, kName, "Update")));
    }
    ASSERT_TRUE(ProcessEventsUntil([&] {
        return std::all_of(calls.begin(), calls.end(), [](const QDBusPendingCall& call) { return call.isFinished(); });
    }));
    for (const QDBusPendingCall& call : calls)
        EXPECT_FALSE(call.isError()) << call.error().message().toStdString();

    // The next one only ten seconds after it, however often asked meanwhile: Updates every
    // half second until the server sees a second request.
    const auto deadline = beforeFirstUpdate + 20s;
    while (Requests(*second) < 2 && std::chrono::steady_clock::now() < deadline) {
        EXPECT_EQ(Update().type(), QDBusMessage::ReplyMessage);
        second->ReadLine(500ms);
    }
    EXPECT_EQ(Requests(*second), 2);
    // The first request started after the first call went, the second was seen after it started.
    EXPECT_GE(std::chrono::steady_clock::now() - beforeFirstUpdate, 9900ms);
    // The first server heard only the request at start: nothing refused went out.
    EXPECT_EQ(Requests(*first), 1);
    ASSERT_TRUE(service->AwaitErrors([](const std::string& errors) {
        return testsupport::CountOf(errors, "a request now, asked on the bus") >= 2;
    }));
    EXPECT_EQ(testsupport::CountOf(service->Errors(), "a request now, asked on the bus"), 2) << service->Errors();
}

TEST_F(ServiceOnTheBus, WithoutAServerUpdateSaysSoAndTheFirstServerSetStartsTheKeeping)
{
    auto server = StartServer("127.0.0.1");
    std::filesystem::create_directory(dropIns);
    auto service = StartService("");
    ASSERT_TRUE(AwaitName()) << service->Errors();
    testsupport::FakePolkit polkit(bus->Address());
    ASSERT_TRUE(polkit.Running()) << polkit.Errors();
    ASSERT_TRUE(polkit.Allow({kSetServerAction, kUpdateAction}));

    QVariantMap properties = Properties();
    EXPECT_EQ(properties.value("Server").toString(), "");
    EXPECT_EQ(properties.value("NextUpdateUSec").toULongLong(), 0ULL); // nothing planned
    EXPECT_EQ(properties.value("LastUpdateUSec").toULongLong(), 0ULL);
    const QDBusMessage nothing = Update();
    EXPECT_EQ(nothing.errorName(), "org.freedesktop.DBus.Error.Failed");
    EXPECT_THAT(nothing.errorMessage().toStdString(), HasSubstr("no server is configured"));

    const QDBusMessage stored = SetServer("127.0.0.1", false);
    ASSERT_EQ(stored.type(), QDBusMessage::ReplyMessage) << stored.errorMessage().toStdString();
    ASSERT_TRUE(AwaitRequests(*server, 1)); // the keeping starts with a request at once
    ASSERT_TRUE(AwaitChange("LastUpdateUSec", [](const QVariant& value) { return value.toULongLong() > 0; }));
    properties = Properties();
    EXPECT_EQ(properties.value("Server").toString(), "127.0.0.1");
    EXPECT_GT(properties.value("NextUpdateUSec").toULongLong(), NowUSec());
}

// A drop-in read after the one SetServer writes decides: set-server is refused, naming it;
// once it is gone, the server is stored, and the log names who asked by user and process.
TEST_F(ServiceOnTheBus, SetServerUnderALaterDropInIsRefusedNamingIt)
{
    std::filesystem::create_directory(dropIns);
    const std::string local = dropIns + "/90-local.conf";
    std::ofstream(local) << "[Time]\nServer=127.0.0.5\n";
    auto service = StartService("127.0.0.2");
    ASSERT_TRUE(AwaitName()) << service->Errors();
    testsupport::FakePolkit polkit(bus->Address());
    ASSERT_TRUE(polkit.Running()) << polkit.Errors();
    ASSERT_TRUE(polkit.Allow({kSetServerAction}));
    const auto setServer = [this](const std::string& address) {
        auto tavrinctl = std::make_unique<testsupport::ChildProcess>(
            std::vector<std::string>{TAVRINCTL, "set-server", address},
            std::vector<std::string>{"DBUS_SYSTEM_BUS_ADDRESS=" + bus->Address()});
        EXPECT_TRUE(tavrinctl->WaitForExit(20s));
        return tavrinctl;
    };
    const auto refused = setServer("127.0.0.3");
    EXPECT_EQ(refused->ExitCode(), 1);
    EXPECT_EQ(refused->Errors(), "tavrinctl: the service refused '127.0.0.3': " + local
                                     + ":2: sets Server=127.0.0.5, which wins over a server set on the bus (it is "
                                       "read after 50-server.conf): change or remove it there\n");
    EXPECT_FALSE(std::filesystem::exists(dropIns + "/50-server.conf"));

    std::filesystem::remove(local);
    const auto stored = setServer("127.0.0.3");
    EXPECT_EQ(stored->ExitCode(), 0) << stored->Errors();
    EXPECT_EQ(Property("Server").toString(), "127.0.0.3");
    const std::regex caller("server 127.0.0.3 stored in .*, asked on the bus by uid " + std::to_string(getuid())
                            + R"(( \(.+\))?, pid )" + std::to_string(stored->Pid()) + "\n");
    EXPECT_TRUE(service->AwaitErrors([&](const std::string& errors) { return std::regex_search(errors, caller); }))
        << service->Errors();
}

TEST_F(ServiceOnTheBus, KeepsTheClockWhenTheBusDoesNotAnswer)
{
    const testsupport::SilentBus silent(testsupport::SilentBus::Silence::AfterAuthentication);
    ASSERT_FALSE(silent.Address().empty());
    auto server = StartServer("127.0.0.1");
    auto service = StartService("127.0.0.1", silent.Address());
    ASSERT_TRUE(notify->AwaitWith("READY=1")) << service->Errors();
    ASSERT_TRUE(notify->AwaitWith("STATUS=Last update")) << testing::PrintToString(notify->Heard());
    ASSERT_TRUE(service->AwaitErrors(
        [](const std::string& errors) { return errors.find("cannot be used") != std::string::npos; }));
    EXPECT_EQ(testsupport::CountOf(service->Errors(), "the bus interface com.dovetra.TavrinClient1 waits for it"), 1)
        << service->Errors();
    EXPECT_GE(silent.Connections(), 1);
}

#include "service_bus_test.moc"
