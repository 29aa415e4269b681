#include "keeper/synchroniser_watch.h"

#include "framework/application.h"
#include "platform/log.h"
#include "platform/log_event.h"
#include "platform/log_events.h"

namespace keeper {
namespace {

using platform::SynchroniserFinding;

// For the log: who said what.
std::string Described(const SynchroniserFinding& finding)
{
    switch (finding.source) {
    case SynchroniserFinding::Source::Timedated:
        return std::string("systemd-timedated says NTP ") + (finding.ntp ? "on" : "off") + ", clock "
             + (finding.synchronised ? "synchronised" : "not synchronised");
    case SynchroniserFinding::Source::Kernel:
        return std::string("the kernel says its clock is ") + (finding.synchronised ? "" : "not ")
             + "kept synchronised";
    case SynchroniserFinding::Source::Nobody:
        break;
    }
    return "neither systemd-timedated nor the kernel could tell";
}

} // namespace

std::string SynchroniserNotice(const SynchroniserFinding& finding)
{
    if (finding.ntp)
        return "Another time synchroniser is on: run 'timedatectl set-ntp false'";
    if (finding.synchronised)
        return "Another time synchroniser keeps the clock: stop chronyd or ntpd, or run 'timedatectl set-ntp false'";
    return {};
}

SynchroniserWatch::SynchroniserWatch(platform::SynchroniserProbe& probe, Notice notice,
                                     std::chrono::milliseconds interval, bool askNow)
    : probe_(probe), notice_(std::move(notice))
{
    timer_.setInterval(interval);
    QObject::connect(&timer_, &QTimer::timeout, &timer_, framework::Guarded([this] { CheckNow(); }));
    timer_.start();
    if (askNow)
        CheckNow();
}

void SynchroniserWatch::CheckNow()
{
    // The answer may come later, from the loop: what the notice raises goes to the display.
    probe_.Ask([this, alive = std::weak_ptr<const bool>(alive_)](const SynchroniserFinding& finding) {
        if (!alive.expired())
            framework::RunGuarded([&] { Take(finding); });
    });
}

void SynchroniserWatch::OwnKernelMark()
{
    ownKernelMark_ = true;
    if (heard_)
        Take(*heard_);
}

void SynchroniserWatch::OwnNtpService()
{
    ownNtpService_ = true;
    if (heard_)
        Take(*heard_);
}

SynchroniserFinding SynchroniserWatch::OthersOnly(SynchroniserFinding finding) const
{
    // timedated's "synchronised" is the kernel's flag too.
    if (ownKernelMark_)
        finding.synchronised = false;
    if (ownNtpService_)
        finding.ntp = false;
    return finding;
}

void SynchroniserWatch::Take(const SynchroniserFinding& heard)
{
    heard_ = heard;
    const SynchroniserFinding finding = OthersOnly(heard);
    if (last_ && *last_ == finding)
        return;
    const bool wasActive = last_ && last_->Active();
    last_ = finding;
    // The log tells what was heard; what this program does itself is left out of the verdict.
    const std::string notice = SynchroniserNotice(finding);
    if (finding.Active())
        platform::LogEvent(platform::lcSync, QtWarningMsg, platform::kOtherSynchroniser, {},
                           "another synchroniser keeps the clock: " + Described(heard) + "; " + notice);
    else if (wasActive)
        qCInfo(platform::lcSync).noquote()
            << QString::fromStdString("no other synchroniser keeps the clock now: " + Described(heard));
    else
        qCDebug(platform::lcSync).noquote()
            << QString::fromStdString("no other synchroniser found: " + Described(heard));
    if (finding.Active() || wasActive)
        notice_(notice);
}

} // namespace keeper
