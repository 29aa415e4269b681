#pragma once

// Stand-ins for the platform, for tests of the window and the framework.

#include "platform/alerts.h"
#include "platform/civil_time.h"
#include "platform/instance_lock.h"
#include "platform/local_addresses.h"
#include "platform/local_clock.h"
#include "platform/registry_hive.h"
#include "platform/sound_player.h"
#include "platform/tray_icon.h"
#include "platform/unique_fd.h"

#include <QIcon>
#include <QImage>

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace testsupport {

// A day, and a time of that day.
inline platform::CivilTime CivilAt(int year, int month, int day, int hour = 0, int minute = 0, int second = 0,
                                   int millisecond = 0)
{
    platform::CivilTime time;
    time.year = year;
    time.month = month;
    time.day = day;
    time.hour = hour;
    time.minute = minute;
    time.second = second;
    time.millisecond = millisecond;
    return time;
}

// Its local reading and its UTC reading are set apart: a test of the display sets the one,
// a test of keeping the clock the other.
class FakeClock final : public platform::LocalClock {
public:
    platform::CivilTime Now() const override { return now; }
    platform::UtcTime UtcNow() const override { return utcNow; }

    // UTC reading `seconds` since 1970 and `milliseconds` beyond.
    void SetUtc(std::int64_t seconds, int milliseconds = 0)
    {
        utcNow = platform::UtcTime(std::chrono::seconds(seconds) + std::chrono::milliseconds(milliseconds));
    }

    void Set(int hour, int minute, int second, int year = 2008, int month = 5, int day = 21)
    {
        now = CivilAt(year, month, day, hour, minute, second);
    }

    platform::CivilTime now;
    // 1960 unless set: before any second a time code can carry, so that every code steps.
    platform::UtcTime utcNow{std::chrono::seconds(-315'619'200)};
};

class FakeSoundPlayer final : public platform::SoundPlayer {
public:
    void PlayAsync(const std::string& fileName) override { played.push_back(fileName); }

    std::vector<std::string> played;
};

struct AlertRecord {
    std::string caption;
    std::string text;
    platform::AlertIcon icon;
};

class FakeAlerts final : public platform::Alerts {
public:
    void Show(const std::string& caption, const std::string& text, platform::AlertIcon icon) override
    {
        shown.push_back({caption, text, icon});
        if (whileShown)
            whileShown();
    }

    std::vector<AlertRecord> shown;
    std::function<void()> whileShown; // runs as if inside the box's modal loop
};

class FakeInstanceLocks final : public platform::InstanceLocks {
public:
    bool Acquire(const std::string& name) override
    {
        acquired.push_back(name);
        return heldElsewhere.count(name) == 0;
    }

    std::set<std::string> heldElsewhere;
    std::vector<std::string> acquired;
};

struct TrayRequest {
    platform::TrayAction action;
    QImage image; // the face at 16 x 16
    std::string tip;
    std::string iconName;
    bool needsAttention;
};

// Keeps one icon like the notification area does, and records every request.
class FakeTrayIcon final : public platform::TrayIcon {
public:
    bool Notify(platform::TrayAction action, const platform::TrayFace& face, const std::string& tip) override
    {
        const QImage image = face.icon.isNull() ? QImage() : face.icon.pixmap(16, 16).toImage();
        requests.push_back({action, image, tip, face.iconName, face.needsAttention});
        switch (action) {
        case platform::TrayAction::Add:
            return available && !std::exchange(present, true);
        case platform::TrayAction::Modify:
            return present;
        case platform::TrayAction::Delete:
            return std::exchange(present, false);
        }
        return false;
    }
    void ShowMessage(const std::string& title, const std::string& text) override { messages.push_back({title, text}); }
    std::optional<QPoint> CursorPosition() const override { return cursor; }
    void SetContextMenu(QMenu* menu) override { contextMenu = menu; }

    bool available = true;
    std::vector<std::pair<std::string, std::string>> messages; // title and text of each notification
    bool present = false;
    std::optional<QPoint> cursor = QPoint(100, 100);
    QMenu* contextMenu = nullptr;
    std::vector<TrayRequest> requests;
};

// A registry held in memory, whose writes can be made to fail, be refused or find it busy.
class MemoryRegistryHive final : public platform::RegistryHive {
public:
    bool KeyExists(const std::string& path) override { return keys.HasKey(path); }
    bool CreateKey(const std::string& path) override
    {
        if (keys.HasKey(path))
            return true;
        if (!busy.empty())
            throw platform::HiveBusyError(busy);
        if (failWrites || !refusal.empty())
            return false;
        keys.CreateKey(path);
        return true;
    }
    std::optional<platform::RegistryValue> QueryValue(const std::string& path, const std::string& name) override
    {
        return keys.Value(path, name);
    }
    bool SetValues(const std::string& path, const platform::NamedValues& values) override
    {
        if (!busy.empty())
            throw platform::HiveBusyError(busy);
        if (failWrites || !refusal.empty())
            return false;
        for (const auto& [name, value] : values)
            keys.SetValue(path, name, value);
        ++changes;
        return true;
    }
    std::string WriteRefusal() override { return refusal; }

    platform::RegistryKeys keys;
    bool failWrites = false;
    std::string refusal;
    std::string busy; // while set, changes raise HiveBusyError with it, as a hive held by another program does
    int changes = 0;  // calls that stored values
};

// The local host's addresses as a test wants them; only loopback by default (offline).
// What the system tells of address changes: set by the test, read on the watch's thread.
// Made `waitable`, they also wake a watch that waits on their descriptor, as the kernel's do.
struct ChangeNotices {
    explicit ChangeNotices(bool waitable = false) : wake(waitable ? eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK) : -1) {}

    // A change to be told.
    void Tell()
    {
        pending = true;
        if (wake) {
            constexpr std::uint64_t kOne = 1;
            [[maybe_unused]] const ssize_t written = write(wake.Get(), &kOne, sizeof kOne); // never full
        }
    }

    std::atomic<bool> pending{false};
    std::atomic<int> reads{0};
    platform::UniqueFd wake;
};

class NoticedChanges final : public platform::LocalAddressChanges {
public:
    explicit NoticedChanges(ChangeNotices& notices) : notices_(notices) {}

    bool MayHaveChanged() override
    {
        if (notices_.wake) {
            std::uint64_t told = 0;
            // Empty when nothing was told: only `pending` counts.
            [[maybe_unused]] const ssize_t read = ::read(notices_.wake.Get(), &told, sizeof told);
        }
        const bool changed = notices_.pending.exchange(false) || std::exchange(first_, false);
        ++notices_.reads;
        return changed;
    }

    int Descriptor() const override { return notices_.wake.Get(); }

private:
    ChangeNotices& notices_;
    bool first_ = true; // the first look is always taken
};

class FakeLocalAddresses final : public platform::LocalAddresses {
public:
    std::vector<platform::Ipv4Address> List() override
    {
        ++lookups;
        if (duringLookup)
            duringLookup();
        if (failure != 0)
            throw std::system_error(failure, std::generic_category());
        return addresses;
    }

    std::unique_ptr<platform::LocalAddressChanges> WatchChanges() override
    {
        return notices ? std::make_unique<NoticedChanges>(*notices) : nullptr;
    }

    std::vector<platform::Ipv4Address> addresses = {{127, 0, 0, 1}};
    int failure = 0; // an errno the lookup fails with
    int lookups = 0;
    std::function<void()> duringLookup;
    ChangeNotices* notices = nullptr; // none: the system tells of no changes
};

} // namespace testsupport
