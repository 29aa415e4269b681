#include "platform/sound_player.h"

#include "platform/log.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLibrary>

#include <alsa/error.h>
#include <canberra.h>
#include <dlfcn.h>

#include <optional>
#include <type_traits>

namespace platform {
namespace {

constexpr const char* kFallbackEvent = "alarm-clock-elapsed";

// libcanberra, loaded at the first sound: until an alarm plays, the program does without
// it and the half-dozen libraries it brings (some 0.6 MB resident).
struct Canberra {
    decltype(&ca_context_create) create;
    decltype(&ca_context_set_driver) setDriver;
    decltype(&ca_context_open) open;
    decltype(&ca_context_play) play;
    decltype(&ca_context_destroy) destroy;
    decltype(&ca_strerror) describe;
};

// The entries, or why the library cannot be loaded. Loaded once, for good.
struct LoadedCanberra {
    std::optional<Canberra> entries;
    std::string error;
};

LoadedCanberra Load()
{
    QLibrary library("canberra", 0);
    const auto bind = [&library](auto& entry, const char* name) {
        entry = reinterpret_cast<std::remove_reference_t<decltype(entry)>>(library.resolve(name));
        return entry != nullptr;
    };
    Canberra canberra{};
    if (bind(canberra.create, "ca_context_create") && bind(canberra.setDriver, "ca_context_set_driver")
        && bind(canberra.open, "ca_context_open") && bind(canberra.play, "ca_context_play")
        && bind(canberra.destroy, "ca_context_destroy") && bind(canberra.describe, "ca_strerror"))
        return {canberra, {}}; // the library stays loaded when `library` goes
    return {std::nullopt, "libcanberra: " + library.errorString().toStdString()};
}

const LoadedCanberra& Library()
{
    static const LoadedCanberra loaded = Load();
    return loaded;
}

// "ALSA: Not available", after the reasons found before it.
void AddReason(const Canberra& canberra, std::string& reasons, const char* driver, int result)
{
    reasons += (reasons.empty() ? "" : "; ") + std::string(driver) + ": " + canberra.describe(result);
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

// Before libcanberra opens ALSA, whose library is then loaded already and shared with it.
void SilenceAlsa()
{
    using SetHandler = int (*)(snd_lib_error_handler_t);
    if (const auto setHandler =
            reinterpret_cast<SetHandler>(QLibrary::resolve("asound", 2, "snd_lib_error_set_handler")))
        setHandler(&IgnoreAlsaError);
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
    return QDir(QCoreApplication::applicationDirPath() + "/../share/tavrin-client").absolutePath().toStdString();
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
    const LoadedCanberra& library = Library();
    if (!library.entries) {
        failure = library.error;
        return false;
    }
    if (!context_ && !Open(failure))
        return false;
    const Canberra& canberra = *library.entries;
    // libcanberra tries an event id before a file and reports a missing file and a
    // missing sound device alike, so the file and the fallback are separate requests.
    int fileResult = CA_ERROR_NOTFOUND;
    if (!path.empty()) {
        fileResult = canberra.play(context_, 0, CA_PROP_MEDIA_FILENAME, path.c_str(), nullptr);
        if (fileResult == CA_SUCCESS)
            return true;
    }
    const int eventResult = canberra.play(context_, 0, CA_PROP_EVENT_ID, kFallbackEvent, nullptr);
    if (eventResult == CA_SUCCESS)
        return true;
    // The file's reason tells more than that of the theme's stand-in.
    AddReason(canberra, failure, driver_, path.empty() ? eventResult : fileResult);
    return false;
}

bool CanberraSoundPlayer::Open(std::string& failure)
{
    if (OpenWith(nullptr, "default driver", failure))
        return true;
    SilenceAlsa();
    return OpenWith("alsa", "ALSA", failure);
}

bool CanberraSoundPlayer::OpenWith(const char* driver, const char* driverName, std::string& failure)
{
    const Canberra& canberra = *Library().entries; // loaded before any context is opened
    int result = canberra.create(&context_);
    if (result == CA_SUCCESS && driver)
        result = canberra.setDriver(context_, driver);
    if (result == CA_SUCCESS)
        result = canberra.open(context_);
    driver_ = driverName;
    if (result == CA_SUCCESS) {
        KeepAlsaDriverLoaded();
        return true;
    }
    Close();
    AddReason(canberra, failure, driverName, result);
    return false;
}

void CanberraSoundPlayer::Close()
{
    if (context_)
        Library().entries->destroy(context_);
    context_ = nullptr;
}

} // namespace platform
