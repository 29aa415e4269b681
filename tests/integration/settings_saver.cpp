// Saves the window's settings again and again through its "Hour Alarm" command, reading
// the file back after each save; two of these on one file show whether saves can mix.
// Usage: settings-saver HIVE-FILE TAG ROUNDS
// Its settings are the server "10.0.0.<TAG>" and the position (TAG, TAG). It prints
// "ready", starts once "<HIVE-FILE>.go" exists, and at the end prints when it saved first
// and last (steady clock, nanoseconds), so that a test can see the savers overlap. Exits 1
// when a read finds a mix of two savers' settings, or a save was not made.

#include "app/main_form.h"
#include "platform/registry_hive.h"
#include "tests/support/fake_services.h"

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QLineEdit>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

using app::TForm1;

namespace {

const std::string kKey = "SOFTWARE\\DOVETRA\\TAVRINCLIENT";

// The saver whose settings the file holds, read in one go; 0 for a mix or none.
int TagOf(const std::string& path)
{
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    const auto keys = platform::RegistryKeys::Parse(file.readAll().toStdString(), path);
    const auto server = keys.Value(kKey, "server");
    const auto x = keys.Value(kKey, "x");
    const auto y = keys.Value(kKey, "y");
    if (!server || !x || !y || x->data != y->data || server->data.rfind("10.0.0.", 0) != 0)
        return 0;
    const int tag = std::stoi(server->data.substr(7));
    return static_cast<unsigned char>(x->data[0]) == tag ? tag : 0;
}

bool WaitForFile(const std::string& path)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!QFile::exists(QString::fromStdString(path))) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fputs("usage: settings-saver HIVE-FILE TAG ROUNDS\n", stderr);
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    const std::string path = argv[1];
    const int tag = std::stoi(argv[2]);
    const int rounds = std::stoi(argv[3]);

    testsupport::FakeServices fakes;
    platform::FileRegistryHive hive(path, {});
    TForm1 form(
        {fakes.application, fakes.locks, fakes.clock, fakes.sound, fakes.tray, hive, fakes.clockSetter, fakes.ports});
    form.Timer1->stop();
    form.Edit1->setText(QString("10.0.0.%1").arg(tag));
    form.move(tag, tag);

    std::puts("ready");
    std::fflush(stdout);
    if (!WaitForFile(path + ".go"))
        return 2;
    const auto first = std::chrono::steady_clock::now();
    for (int round = 0; round < rounds; ++round) {
        form.Chimes1->trigger();
        // The other saver holds the lock for a save at a time, never for as long as a save waits.
        if (const std::string said = form.StatusBar1->PanelText(1); said.rfind("Settings not saved", 0) == 0) {
            std::fprintf(stderr, "round %d: %s\n", round, said.c_str());
            return 1;
        }
        if (TagOf(path) == 0) {
            QFile file(QString::fromStdString(path));
            file.open(QIODevice::ReadOnly);
            std::fprintf(stderr, "round %d: mixed settings:\n%s", round, file.readAll().constData());
            return 1;
        }
    }
    const auto last = std::chrono::steady_clock::now();
    if (!fakes.alerts.shown.empty()) {
        std::fprintf(stderr, "alert: %s\n", fakes.alerts.shown[0].text.c_str());
        return 1;
    }
    std::printf("%lld %lld\n", static_cast<long long>(first.time_since_epoch().count()),
                static_cast<long long>(last.time_since_epoch().count()));
    return 0;
}
