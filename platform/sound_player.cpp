#include "platform/sound_player.h"

#include "platform/log.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <alsa/error.h>
#include <canberra.h>
#include <dlfcn.h>

namespace platform {
namespace {

constexpr const char* kFallbackEvent = "alarm-clock-elapsed";

// "ALSA: Not available", after the reasons found before it.
void AddReason(std::string& reasons, const char* driver, int result)
{
    reasons += (reasons.empty() ? "" : "; ") + std::string(driver) + ": " + ca_strerror(result);
}

// ALSA prints its own lines on stderr at every attempt: some sixteen an hour on a PC
// without a sound card. The one line of the log says it instead.
void IgnoreAlsaError(const char*, int, const char*, int, const char*, ...) {}

// libcanberra's ALSA driver plays each sound on a detached thread of the driver's own code,
// and destroying a context unloads the driver while its last player thread may still be
// returning into that code. Once loaded, the driver stays loaded. A null result means it
// was not loaded, so nothing needs to stay.
void KeepAlsaDriverLoaded()
{
    dlopen("libcanberra-alsa.so", RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE);
}

bool IsPlayableFile(const QString& path)
{
    const QFileInfo info(path);
    return info.isFile() && info.isReadable();
}

} // namespace

std::string ResolveSoundFile(const std::string& fileName, const std::string& dataDirectory)
{
    const QString name = QString::fromStdString(fileName);
    if (name.isEmpty())
        return {};
    if (name.contains('/'))
        return IsPlayableFile(name) ? QFileInfo(name).absoluteFilePath().toStdString() : std::string();
    for (const QString& dir : {QDir::currentPath(), QString::fromStdString(dataDirectory)}) {
        const QString path = QDir(dir).filePath(name);
        if (!dir.isEmpty() && IsPlayableFile(path))
            return QFileInfo(path).absoluteFilePath().toStdString();
    }
    return {};
}

CanberraSoundPlayer::~CanberraSoundPlayer()
{
    Close();
}

std::string CanberraSoundPlayer::DataDirectory()
{
    return QDir(QCoreApplication::applicationDirPath() + "/../share/tavrin-client")
        .absolutePath()
        .toStdString();
}

void CanberraSoundPlayer::PlayAsync(const std::string& fileName)
{
    std::string failure;
    if (Play(ResolveSoundFile(fileName, DataDirectory()), failure)) {
        silenceLogged_ = false;
        return;
    }
    Close();
    if (!silenceLogged_)
        qCWarning(lcDesktop, "no sound can play, so the hour alarm is silent (%s)", failure.c_str());
    silenceLogged_ = true;
}

bool CanberraSoundPlayer::Play(const std::string& path, std::string& failure)
{
    if (!context_ && !Open(failure))
        return false;
    // libcanberra tries an event id before a file and reports a missing file and a
    // missing sound device alike, so the file and the fallback are separate requests.
    int fileResult = CA_ERROR_NOTFOUND;
    if (!path.empty()) {
        fileResult = ca_context_play(context_, 0, CA_PROP_MEDIA_FILENAME, path.c_str(), nullptr);
        if (fileResult == CA_SUCCESS)
            return true;
    }
    const int eventResult = ca_context_play(context_, 0, CA_PROP_EVENT_ID, kFallbackEvent, nullptr);
    if (eventResult == CA_SUCCESS)
        return true;
    // The file's reason tells more than that of the theme's stand-in.
    AddReason(failure, driver_, path.empty() ? eventResult : fileResult);
    return false;
}

bool CanberraSoundPlayer::Open(std::string& failure)
{
    if (OpenWith(nullptr, "default driver", failure))
        return true;
    snd_lib_error_set_handler(&IgnoreAlsaError);
    return OpenWith("alsa", "ALSA", failure);
}

bool CanberraSoundPlayer::OpenWith(const char* driver, const char* driverName, std::string& failure)
{
    int result = ca_context_create(&context_);
    if (result == CA_SUCCESS && driver)
        result = ca_context_set_driver(context_, driver);
    if (result == CA_SUCCESS)
        result = ca_context_open(context_);
    driver_ = driverName;
    if (result == CA_SUCCESS) {
        KeepAlsaDriverLoaded();
        return true;
    }
    Close();
    AddReason(failure, driverName, result);
    return false;
}

void CanberraSoundPlayer::Close()
{
    if (context_)
        ca_context_destroy(context_);
    context_ = nullptr;
}

} // namespace platform
