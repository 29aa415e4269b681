#include "net/inet/ip_watch.h"
#include "net/inet/thread.h"
#include "tests/support/event_loop.h"
#include "tests/support/fakes.h"
#include "tests/support/watchdog.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <random>
#include <stdexcept>
#include <thread>
#include <utility>

using namespace net::inet; // the components under test
using platform::Ipv4Address;
using namespace std::chrono_literals;

namespace {

const Ipv4Address kLan5{192, 168, 1, 5};
const Ipv4Address kLan7{192, 168, 1, 7};
const Ipv4Address kLoopback{127, 0, 0, 1};

} // namespace

class AddressWatch : public testing::Test {
protected:
    void SetUp() override
    {
        TIdStack::UseLocalAddressSource(&addresses);
        watch = std::make_unique<TIdIPWatch>();
        watch->HistoryEnabled = false;
        watch->OnStatusChanged = [this](TIdComponent* sender) {
            EXPECT_EQ(sender, watch.get());
            ++changes;
        };
    }

    void TearDown() override
    {
        watch.reset();
        TIdStack::UseLocalAddressSource(nullptr);
    }

    void PollWith(std::vector<Ipv4Address> list)
    {
        addresses.addresses = std::move(list);
        watch->PollAddress();
    }

    testsupport::FakeLocalAddresses addresses;
    std::unique_ptr<TIdIPWatch> watch;
    int changes = 0;
};

TEST_F(AddressWatch, FirstUsableAddressFiresOnce)
{
    EXPECT_FALSE(watch->Online());
    PollWith({kLan5, kLoopback});
    EXPECT_TRUE(watch->Online());
    EXPECT_EQ(watch->CurrentAddress(), "192.168.1.5");
    EXPECT_EQ(changes, 1);

    PollWith({kLan5, kLoopback});
    EXPECT_EQ(changes, 1);
}

TEST_F(AddressWatch, NewAddressWhileOnlineFiresNothing)
{
    PollWith({kLan5});
    PollWith({kLan7});
    EXPECT_TRUE(watch->Online());
    EXPECT_EQ(watch->CurrentAddress(), "192.168.1.7");
    EXPECT_EQ(changes, 1);
}

TEST_F(AddressWatch, AnotherUsableAddressWhileOnlineIsToldOnce)
{
    std::vector<std::string> told;
    watch->OnAddressChanged = [&](TIdComponent* sender) {
        EXPECT_EQ(sender, watch.get());
        told.push_back(watch->CurrentAddress());
    };
    PollWith({kLan5});            // online: a change of status, not of address
    PollWith({kLan5, kLoopback}); // the same address
    PollWith({kLan7});            // moved
    PollWith({kLan7});
    PollWith({kLoopback}); // offline
    PollWith({kLan5});     // online again
    EXPECT_EQ(told, (std::vector<std::string>{"192.168.1.7"}));
    EXPECT_EQ(changes, 3);
}

TEST_F(AddressWatch, LosingTheNetworkFiresOnce)
{
    PollWith({kLan5});
    PollWith({kLoopback});
    EXPECT_FALSE(watch->Online());
    EXPECT_EQ(watch->CurrentAddress(), "127.0.0.1");
    EXPECT_EQ(changes, 2);

    PollWith({kLoopback});
    EXPECT_EQ(changes, 2);
}

TEST_F(AddressWatch, AnyLoopbackAddressIsOffline)
{
    PollWith({{127, 0, 1, 1}});
    EXPECT_FALSE(watch->Online());
    EXPECT_EQ(changes, 0);

    PollWith({kLan5});
    PollWith({{127, 0, 1, 1}});
    EXPECT_FALSE(watch->Online());
    EXPECT_EQ(changes, 2);
}

TEST_F(AddressWatch, FailedLookupChangesNothing)
{
    PollWith({kLan5});
    addresses.failure = ENOMEM;
    watch->PollAddress();
    EXPECT_TRUE(watch->Online());
    EXPECT_EQ(watch->CurrentAddress(), "192.168.1.5");

    addresses.failure = 0;
    PollWith({});
    EXPECT_TRUE(watch->Online());
    EXPECT_EQ(watch->CurrentAddress(), "192.168.1.5");
    EXPECT_EQ(changes, 1);
}

TEST_F(AddressWatch, RaisingHandlerIsDroppedAndTheChangeStands)
{
    watch->OnStatusChanged = [this](TIdComponent*) {
        ++changes;
        throw std::runtime_error("handler failed");
    };
    EXPECT_NO_THROW(PollWith({kLan5}));
    EXPECT_TRUE(watch->Online());
    PollWith({kLan5});
    EXPECT_EQ(changes, 1);
}

TEST_F(AddressWatch, CheckStartedDuringALookupDoesNothing)
{
    addresses.duringLookup = [this] {
        addresses.duringLookup = nullptr;
        watch->PollAddress();
    };
    PollWith({kLan5});
    EXPECT_EQ(addresses.lookups, 1);
    EXPECT_EQ(changes, 1);
    EXPECT_TRUE(watch->Online());
}

TEST_F(AddressWatch, RandomChecksFireAsTheAddressesChange)
{
    // What a check should find, worked out beside the watch: a check that cannot look
    // changes nothing; otherwise the first address decides, and only a usable one is online.
    struct Expected {
        bool online = false;
        std::string address;
        int statusChanges = 0;
        std::vector<std::string> addressChanges;
    } expected;
    std::vector<std::string> told;
    watch->OnStatusChanged = [&](TIdComponent*) {
        ++changes;
        EXPECT_EQ(watch->Online(), expected.online) << "Online must have its new value when told";
    };
    watch->OnAddressChanged = [&](TIdComponent*) { told.push_back(watch->CurrentAddress()); };

    const std::vector<Ipv4Address> pool = {kLan5, kLan7, {10, 0, 0, 1}, kLoopback, {127, 0, 1, 1}};
    std::mt19937 random(20240607);
    for (int step = 0; step < 400; ++step) {
        std::vector<Ipv4Address> list;
        const int count = std::uniform_int_distribution(0, 2)(random);
        for (int i = 0; i < count; ++i)
            list.push_back(pool[std::uniform_int_distribution<std::size_t>(0, pool.size() - 1)(random)]);
        addresses.failure = std::uniform_int_distribution(0, 9)(random) == 0 ? ENOMEM : 0;

        if (!list.empty() && addresses.failure == 0) {
            const std::string first = TIdStack::AddressToText(list.front());
            const bool online = list.front()[0] != 127;
            if (online != expected.online)
                ++expected.statusChanges;
            else if (online && first != expected.address)
                expected.addressChanges.push_back(first);
            expected.online = online;
            expected.address = first;
        }
        PollWith(list);
        ASSERT_EQ(watch->Online(), expected.online) << "step " << step;
        ASSERT_EQ(watch->CurrentAddress(), expected.address) << "step " << step;
        ASSERT_EQ(changes, expected.statusChanges) << "step " << step;
        ASSERT_EQ(told, expected.addressChanges) << "step " << step;
    }
}

TEST_F(AddressWatch, WritesNoHistoryFileWhateverItsSettings)
{
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(folder.path()));
    for (const bool enabled : {false, true}) {
        for (const std::string& file : {std::string("iphist.dat"), folder.filePath("named.dat").toStdString()}) {
            watch = std::make_unique<TIdIPWatch>();
            watch->HistoryEnabled = enabled;
            watch->HistoryFilename = file;
            PollWith({kLan7});
            PollWith({kLoopback});
            PollWith({kLan5});
            watch.reset(); // online to the end, with past addresses
        }
    }
    QDir::setCurrent(previous);
    EXPECT_TRUE(QDir(folder.path()).isEmpty());
}

TEST_F(AddressWatch, ThreadChecksOnTheMainThread)
{
    testsupport::Watchdog watchdog(20s);
    std::thread::id checkedOn;
    watch->OnStatusChanged = [&](TIdComponent*) {
        checkedOn = std::this_thread::get_id();
        ++changes;
    };
    addresses.addresses = {kLan5};
    watch->WatchInterval = 100;
    watch->SetActive(true);
    EXPECT_TRUE(watch->Active());
    EXPECT_TRUE(testsupport::ProcessEventsUntil([&] { return changes == 1; }));
    EXPECT_EQ(checkedOn, std::this_thread::get_id());

    const int lookups = addresses.lookups;
    EXPECT_TRUE(testsupport::ProcessEventsUntil([&] { return addresses.lookups >= lookups + 2; }));
    EXPECT_EQ(changes, 1);

    watch->SetActive(false);
    EXPECT_FALSE(watch->Active());
}

TEST_F(AddressWatch, ThreadHandsChecksOverOnlyWhenTheSystemTellsOfAChange)
{
    testsupport::Watchdog watchdog(20s);
    testsupport::ChangeNotices notices;
    addresses.notices = &notices;
    addresses.addresses = {kLan5};
    watch->WatchInterval = 10;
    watch->SetActive(true);
    ASSERT_TRUE(testsupport::ProcessEventsUntil([&] { return changes == 1; })); // the first look is unasked

    // Slices without a notice: had any handed a check over, the next could not have begun.
    const int reads = notices.reads;
    ASSERT_TRUE(testsupport::ProcessEventsUntil([&] { return notices.reads >= reads + 3; }));
    EXPECT_EQ(addresses.lookups, 1);

    addresses.addresses = {kLoopback};
    notices.pending = true;
    EXPECT_TRUE(testsupport::ProcessEventsUntil([&] { return changes == 2; }));
    EXPECT_EQ(addresses.lookups, 2);
    watch->SetActive(false);
}

TEST_F(AddressWatch, ThreadWaitsForTheSystemsNoticesAndLooksAtEach)
{
    testsupport::Watchdog watchdog(20s);
    testsupport::ChangeNotices notices(true);
    addresses.notices = &notices;
    addresses.addresses = {kLan5};
    // A cycle so short that a watch reading on a timer would read far more often than told.
    watch->WatchInterval = 1;
    watch->SetActive(true);
    ASSERT_TRUE(testsupport::ProcessEventsUntil([&] { return changes == 1; })); // the first look is unasked
    EXPECT_EQ(notices.reads, 1);

    // Each notice is read once and looked at once; the look is the marker that the read is done.
    for (int told = 1; told <= 3; ++told) {
        notices.Tell();
        ASSERT_TRUE(testsupport::ProcessEventsUntil([&] { return addresses.lookups == 1 + told; }));
        EXPECT_EQ(notices.reads, 1 + told);
    }
    addresses.addresses = {kLoopback};
    notices.Tell();
    EXPECT_TRUE(testsupport::ProcessEventsUntil([&] { return changes == 2; }));
    EXPECT_FALSE(watch->Online());
    // A stop ends the wait, which has no limit.
    watch->SetActive(false);
    EXPECT_EQ(notices.reads, 5);
}

TEST_F(AddressWatch, ThreadLooksAgainAfterACheckThatCouldNotLook)
{
    testsupport::Watchdog watchdog(20s);
    // Whether the watch reads the notices on a timer or waits for them.
    for (const bool waitable : {false, true}) {
        SCOPED_TRACE(waitable ? "waiting for notices" : "reading notices on a timer");
        testsupport::ChangeNotices notices(waitable);
        addresses.notices = &notices;
        addresses.addresses = {kLan5};
        addresses.failure = ENOMEM;
        addresses.lookups = 0;
        changes = 0;
        watch = std::make_unique<TIdIPWatch>();
        watch->OnStatusChanged = [this](TIdComponent*) { ++changes; };
        watch->WatchInterval = 10;
        watch->SetActive(true);
        ASSERT_TRUE(testsupport::ProcessEventsUntil([&] { return addresses.lookups >= 1; }));

        // No notice comes, but the address the failed look missed is still found.
        addresses.failure = 0;
        EXPECT_TRUE(testsupport::ProcessEventsUntil([&] { return changes == 1; }));
        EXPECT_TRUE(watch->Online());
        watch->SetActive(false);
        addresses.notices = nullptr;
    }
}

TEST_F(AddressWatch, SwitchingOnTwiceMakesOneThread)
{
    testsupport::Watchdog watchdog(20s);
    const int before = TIdThread::LiveThreadCount();
    watch->SetActive(false);
    EXPECT_EQ(TIdThread::LiveThreadCount(), before);
    watch->SetActive(true);
    watch->SetActive(true);
    EXPECT_EQ(TIdThread::LiveThreadCount(), before + 1);
    watch->SetActive(false);
    EXPECT_EQ(TIdThread::LiveThreadCount(), before);
}

TEST_F(AddressWatch, StoppingWhileTheThreadAwaitsACheckDoesNotHang)
{
    testsupport::Watchdog watchdog(20s);
    testsupport::ChangeNotices notices;
    addresses.notices = &notices;
    addresses.addresses = {kLan5};
    watch->WatchInterval = 1;
    watch->SetActive(true);
    // The thread's first read of the notices always finds a change: from there on it asks
    // for a check, and without the event loop only the stop's own wait can run it.
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (notices.reads == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    ASSERT_GT(notices.reads, 0) << "the thread never read the notices";
    EXPECT_EQ(addresses.lookups, 0);
    watch->SetActive(false);
    EXPECT_FALSE(watch->Active());
    EXPECT_EQ(addresses.lookups, 1);
    EXPECT_EQ(changes, 1);
}

TEST_F(AddressWatch, SwitchedOnWhileLoadingStartsOnceLoaded)
{
    testsupport::Watchdog watchdog(20s);
    const int before = TIdThread::LiveThreadCount();
    auto loading = std::make_unique<TIdIPWatch>(ComponentStart::Loading);
    loading->HistoryEnabled = false;
    loading->SetActive(true);
    EXPECT_TRUE(loading->Active());
    EXPECT_EQ(TIdThread::LiveThreadCount(), before);

    loading->Loaded();
    EXPECT_TRUE(loading->Active());
    EXPECT_EQ(TIdThread::LiveThreadCount(), before + 1);
    loading.reset();
    EXPECT_EQ(TIdThread::LiveThreadCount(), before);
}
