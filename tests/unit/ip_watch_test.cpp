#include "net/inet/ip_watch.h"
#include "net/inet/thread.h"
#include "tests/support/event_loop.h"
#include "tests/support/fakes.h"
#include "tests/support/watchdog.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <fstream>
#include <sstream>
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

std::string ReadFile(const QString& path)
{
    std::ifstream file(path.toStdString(), std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

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

TEST_F(AddressWatch, LosingTheNetworkFiresOnceAndRemembersTheAddress)
{
    PollWith({kLan5});
    PollWith({kLoopback});
    EXPECT_FALSE(watch->Online());
    EXPECT_EQ(watch->CurrentAddress(), "127.0.0.1");
    EXPECT_EQ(changes, 2);
    EXPECT_EQ(watch->FormerAddress(), "192.168.1.5");
    EXPECT_EQ(watch->AddressHistory(), (std::vector<std::string>{"192.168.1.5"}));

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
    EXPECT_EQ(watch->AddressHistory(), (std::vector<std::string>{"192.168.1.5"}));
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

TEST_F(AddressWatch, HistoryKeepsTheNewestEntriesWithoutRepeats)
{
    for (int i = 1; i <= 26; ++i) {
        PollWith({{10, 0, 0, static_cast<std::uint8_t>(i)}});
        PollWith({kLoopback});
    }
    ASSERT_EQ(watch->AddressHistory().size(), 25u);
    EXPECT_EQ(watch->AddressHistory().front(), "10.0.0.2");
    EXPECT_EQ(watch->AddressHistory().back(), "10.0.0.26");

    PollWith({{10, 0, 0, 26}});
    PollWith({kLoopback});
    EXPECT_EQ(watch->AddressHistory().size(), 25u);

    watch->SetMaxHistoryEntries(3);
    EXPECT_EQ(watch->AddressHistory(), (std::vector<std::string>{"10.0.0.24", "10.0.0.25", "10.0.0.26"}));
    watch->SetMaxHistoryEntries(-1);
    EXPECT_TRUE(watch->AddressHistory().empty());
}

TEST_F(AddressWatch, HistoryFileOnlyWhenEnabled)
{
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const QString disabledFile = folder.filePath("off.dat");
    const QString enabledFile = folder.filePath("on.dat");

    PollWith({kLan5});
    watch->HistoryFilename = disabledFile.toStdString();
    watch.reset();
    EXPECT_FALSE(QFile::exists(disabledFile));

    watch = std::make_unique<TIdIPWatch>();
    watch->HistoryFilename = enabledFile.toStdString();
    PollWith({kLan7});
    PollWith({kLoopback});
    PollWith({kLan5});
    watch.reset();
    // The address held at the end joins the history.
    EXPECT_EQ(ReadFile(enabledFile), "192.168.1.7\r\n192.168.1.5\r\n");
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

TEST_F(AddressWatch, ThreadLooksAgainAfterACheckThatCouldNotLook)
{
    testsupport::Watchdog watchdog(20s);
    testsupport::ChangeNotices notices;
    addresses.notices = &notices;
    addresses.addresses = {kLan5};
    addresses.failure = ENOMEM;
    watch->WatchInterval = 10;
    watch->SetActive(true);
    ASSERT_TRUE(testsupport::ProcessEventsUntil([&] { return addresses.lookups >= 1; }));

    // No notice comes, but the address the failed look missed is still found.
    addresses.failure = 0;
    EXPECT_TRUE(testsupport::ProcessEventsUntil([&] { return changes == 1; }));
    EXPECT_TRUE(watch->Online());
    watch->SetActive(false);
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
    addresses.addresses = {kLan5};
    watch->WatchInterval = 1;
    watch->SetActive(true);
    // Without the event loop the thread soon blocks, asking for a check that only the
    // stop's own wait can run.
    std::this_thread::sleep_for(50ms);
    watch->SetActive(false);
    EXPECT_FALSE(watch->Active());
    EXPECT_EQ(changes, addresses.lookups > 0 ? 1 : 0);
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
