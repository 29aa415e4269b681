#pragma once

// The running copy's well-known name on the session bus, through which a later start of the
// program asks it for its window: org.freedesktop.Application's Activate, on the object path
// that the name gives (com.dovetra.TavrinClient: /com/dovetra/TavrinClient). Only Activate
// is served.

#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <chrono>
#include <functional>

namespace platform {

class ActivationService final : public QObject {
public:
    // Offers the interface and asks the bus for `name`, without waiting for it; a name held
    // by another program is said in the log. `activated` (onActivate) runs from the loop for each call,
    // after the caller has had its answer. Called on the main thread.
    ActivationService(QDBusConnection bus, QString name, std::function<void()> activated);
    // Gives the name back.
    ~ActivationService() override;
    ActivationService(const ActivationService&) = delete;
    ActivationService& operator=(const ActivationService&) = delete;

    std::function<void()> onActivate;

private:
    QDBusConnection bus_;
    QString name_;
};

// Asks the program that holds `name` on `bus` to show its window, waiting at most `patience`
// for its answer, and says nothing of the outcome. The bus is never asked to start a
// program for it.
void ActivateRunningCopy(const QDBusConnection& bus, const QString& name, std::chrono::milliseconds patience);

} // namespace platform
