#pragma once

// Stand-ins for the platform, for tests of the window and the framework.

#include "platform/alerts.h"
#include "platform/civil_time.h"
#include "platform/instance_lock.h"
#include "platform/local_clock.h"
#include "platform/sound_player.h"

#include <functional>
#include <set>
#include <string>
#include <vector>

namespace testsupport {

class FakeClock final : public platform::LocalClock {
public:
    platform::CivilTime Now() const override { return now; }

    void Set(int hour, int minute, int second, int year = 2008, int month = 5, int day = 21)
    {
        now = {};
        now.year = year;
        now.month = month;
        now.day = day;
        now.hour = hour;
        now.minute = minute;
        now.second = second;
    }

    platform::CivilTime now;
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

} // namespace testsupport
