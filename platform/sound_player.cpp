#include "platform/sound_player.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <canberra.h>

namespace platform {
namespace {

constexpr const char* kFallbackEvent = "alarm-clock-elapsed";

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

CanberraSoundPlayer::CanberraSoundPlayer()
{
    if (ca_context_create(&context_) != CA_SUCCESS)
        context_ = nullptr;
}

CanberraSoundPlayer::~CanberraSoundPlayer()
{
    if (context_)
        ca_context_destroy(context_);
}

std::string CanberraSoundPlayer::DataDirectory()
{
    return QDir(QCoreApplication::applicationDirPath() + "/../share/tavrin-client")
        .absolutePath()
        .toStdString();
}

void CanberraSoundPlayer::PlayAsync(const std::string& fileName)
{
    if (!context_)
        return;
    // libcanberra tries an event id before a file and reports a missing file and a
    // missing sound device alike, so the file and the fallback are separate requests.
    const std::string path = ResolveSoundFile(fileName, DataDirectory());
    if (!path.empty()
        && ca_context_play(context_, 0, CA_PROP_MEDIA_FILENAME, path.c_str(), nullptr) == CA_SUCCESS)
        return;
    ca_context_play(context_, 0, CA_PROP_EVENT_ID, kFallbackEvent, nullptr);
}

} // namespace platform
