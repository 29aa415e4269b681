// What a panel's calls cost the window when they come in floods, on a private bus: the
// tray icon (a StatusNotifierItem) with the window's menu, and a "panel" on a thread of its
// own that sends 2,000 calls of a kind without waiting, then takes the answers. Prints,
// for each kind, the time until every call was answered and handled, the longest gap
// between two ticks of the window's 250 ms timer and between two turns of the main loop (a
// 10 ms timer), how often the window was asked to act and how often the menu opened; then the
// resident memory before and after one GetGroupProperties call with a million ids, and
// what GetProperty answers for a property left at its default.
//
//   build/bench/tray_menu_calls

#include "bench/bench_form.h"
#include "bench/process_usage.h"
#include "platform/status_notifier_item.h"
#include "tests/support/private_bus.h"

#include <QAction>
#include <QApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QMenu>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kCalls = 2000;

// The longest wait between two timeouts of a timer.
class GapMeter {
public:
    explicit GapMeter(QTimer& timer)
    {
        QObject::connect(&timer, &QTimer::timeout, &timer, [this] {
            const Clock::time_point now = Clock::now();
            if (last_ != Clock::time_point())
                longest_ = std::max(longest_, now - last_);
            last_ = now;
        });
    }
    double LongestMs() const { return std::chrono::duration<double, std::milli>(longest_).count(); }

private:
    Clock::time_point last_;
    Clock::duration longest_{};
};

struct Flood {
    const char* name;
    QDBusMessage call;
};

// Runs the loop until `done` holds, for at most a minute.
template <typename Done>
bool RunUntil(Done done)
{
    QElapsedTimer elapsed;
    elapsed.start();
    while (!done() && elapsed.elapsed() < 60000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    return done();
}

// How often the window was asked to act: a click handed over, an entry triggered.
int windowAsked = 0;

void Measure(const std::string& address, bench::BenchForm& bench, const Flood& flood)
{
    windowAsked = 0;
    bench.form->hide();
    bench.form->PopupMenu1->hide();
    QCoreApplication::processEvents();
    int popups = 0;
    const QMetaObject::Connection counting =
        QObject::connect(bench.form->PopupMenu1, &QMenu::aboutToShow, [&] { ++popups; });
    bench.form->Timer1->start();
    const GapMeter ticks(*bench.form->Timer1);
    QTimer probe;
    probe.start(10);
    const GapMeter turns(probe);

    std::atomic<int> answered = 0;
    std::atomic<int> failed = 0;
    QElapsedTimer elapsed;
    elapsed.start();
    std::thread panel([&] {
        QDBusConnection bus = QDBusConnection::connectToBus(QString::fromStdString(address), "panel");
        std::vector<QDBusPendingCall> calls;
        calls.reserve(kCalls);
        for (int i = 0; i < kCalls; ++i)
            calls.push_back(bus.asyncCall(flood.call, 30000));
        for (QDBusPendingCall& call : calls) {
            call.waitForFinished();
            if (call.isError() && failed == 0)
                std::fprintf(stderr, "%s: %s\n", flood.name, qPrintable(call.error().message()));
            ++(call.isError() ? failed : answered);
        }
    });
    // Handled: every call answered, and what the answers queued has run.
    const bool finished = RunUntil([&] { return answered + failed == kCalls; });
    panel.join();
    bool marker = false;
    QTimer::singleShot(0, [&] { marker = true; });
    RunUntil([&] { return marker; });
    const double seconds = static_cast<double>(elapsed.nsecsElapsed()) / 1e9;
    bench.form->Timer1->stop();
    QObject::disconnect(counting);
    std::printf("%-34s %s and handled in %6.2f s, %d failed; longest gap between ticks %7.1f ms, between turns "
                "%7.1f ms; the window asked %d time(s), the menu opened %d time(s)\n",
                flood.name, finished ? "answered" : "NOT ALL answered", seconds, failed.load(), ticks.LongestMs(),
                turns.LongestMs(), windowAsked, popups);
}

QDBusMessage ItemCall(const QString& service, const char* method)
{
    QDBusMessage call =
        QDBusMessage::createMethodCall(service, "/StatusNotifierItem", "org.kde.StatusNotifierItem", method);
    call << 0 << 0;
    return call;
}

QDBusMessage MenuCall(const QString& service, const char* method)
{
    return QDBusMessage::createMethodCall(service, "/MenuBar", "com.canonical.dbusmenu", method);
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    const testsupport::PrivateBus bus;
    if (bus.Address().empty()) {
        std::fputs("no dbus-daemon to run a private bus\n", stderr);
        return 1;
    }
    const QDBusConnection tray = QDBusConnection::connectToBus(QString::fromStdString(bus.Address()), "tray");
    bench::BenchForm bench;
    platform::StatusNotifierItem item(tray, "Tavrin Client", bench.form->PopupMenu1);
    item.onMouse = [&](platform::TrayMouseEvent event) {
        ++windowAsked;
        bench.form->HandleTrayNotify(event);
    };
    QObject::connect(bench.form->Properties1, &QAction::triggered, [] { ++windowAsked; });
    const QString service = item.ServiceName();

    QDBusMessage clicked = MenuCall(service, "Event");
    clicked << 1 << QString("clicked") << QVariant::fromValue(QDBusVariant(0)) << 0u; // "Properties"
    QDBusMessage opened = MenuCall(service, "Event");
    opened << 0 << QString("opened") << QVariant::fromValue(QDBusVariant(0)) << 0u;
    for (const Flood& flood :
         {Flood{"2,000 ContextMenu", ItemCall(service, "ContextMenu")},
          Flood{"2,000 Activate", ItemCall(service, "Activate")}, Flood{"2,000 Event(Properties, clicked)", clicked},
          Flood{"2,000 Event(0, opened)", opened}})
        Measure(bus.Address(), bench, flood);

    const QDBusConnection panel = QDBusConnection::connectToBus(QString::fromStdString(bus.Address()), "panel");
    QList<int> ids;
    for (int i = 0; i < 1000000; ++i)
        ids.append(i % 4);
    const long before = bench::ResidentKiB();
    QDBusMessage group = MenuCall(service, "GetGroupProperties");
    group << QVariant::fromValue(ids) << QStringList();
    QDBusPendingCall groupCall = panel.asyncCall(group, 60000);
    RunUntil([&] { return groupCall.isFinished(); });
    const QDBusMessage groupReply = groupCall.reply();
    ids.clear();
    ids.squeeze();
    std::printf("GetGroupProperties, 1,000,000 ids: resident %ld MB before, %ld MB after (%s)\n", before / 1024,
                bench::ResidentKiB() / 1024,
                groupReply.type() == QDBusMessage::ReplyMessage ? "answered" : "no answer");

    QDBusMessage property = MenuCall(service, "GetProperty");
    property << 1 << QString("visible");
    QDBusPendingCall propertyCall = panel.asyncCall(property, 2000);
    RunUntil([&] { return propertyCall.isFinished(); });
    const QDBusMessage propertyReply = propertyCall.reply();
    std::printf("GetProperty(1, \"visible\"): %s\n",
                propertyReply.type() == QDBusMessage::ReplyMessage ? qPrintable(
                    "answered " + propertyReply.arguments().at(0).value<QDBusVariant>().variant().toString())
                                                                   : qPrintable("error " + propertyReply.errorName()));
    return 0;
}
