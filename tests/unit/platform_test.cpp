#include "platform/instance_lock.h"
#include "platform/sound_player.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <unistd.h>

#include <gtest/gtest.h>

namespace {

void Touch(const QString& path)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
}

} // namespace

TEST(SoundFile, FoundInTheCurrentDirectoryBeforeTheDataDirectory)
{
    QTemporaryDir current, data;
    const QString previous = QDir::currentPath();
    QDir::setCurrent(current.path());
    Touch(data.filePath("hour.wav"));
    EXPECT_EQ(platform::ResolveSoundFile("hour.wav", data.path().toStdString()),
              data.filePath("hour.wav").toStdString());
    Touch(current.filePath("hour.wav"));
    EXPECT_EQ(platform::ResolveSoundFile("hour.wav", data.path().toStdString()),
              QDir(current.path()).absoluteFilePath("hour.wav").toStdString());
    EXPECT_EQ(platform::ResolveSoundFile("other.wav", data.path().toStdString()), "");
    EXPECT_EQ(platform::ResolveSoundFile("", data.path().toStdString()), "");
    // A name with a folder is taken as it is, never looked up elsewhere.
    EXPECT_EQ(platform::ResolveSoundFile("sub/hour.wav", data.path().toStdString()), "");
    QDir::setCurrent(previous);
}

TEST(SoundFile, AFolderIsNotAFile)
{
    QTemporaryDir data;
    QDir(data.path()).mkdir("hour.wav");
    EXPECT_EQ(platform::ResolveSoundFile("hour.wav", data.path().toStdString()), "");
}

TEST(InstanceLocks, ALockIsHeldUntilTheProcessEnds)
{
    QTemporaryDir runtime;
    qputenv("XDG_RUNTIME_DIR", runtime.path().toUtf8());
    platform::FileInstanceLocks first, second;
    EXPECT_TRUE(first.Acquire("tavrinc"));
    EXPECT_FALSE(second.Acquire("tavrinc"));
    EXPECT_FALSE(first.Acquire("tavrinc"));
    EXPECT_TRUE(second.Acquire("tclient")); // names are separate locks
    EXPECT_TRUE(QFile::exists(runtime.filePath("tavrinc")));
}

TEST(InstanceLocks, ALockThatCannotBeMadeCountsAsFree)
{
    qputenv("XDG_RUNTIME_DIR", "/nonexistent/folder");
    platform::FileInstanceLocks locks;
    EXPECT_TRUE(locks.Acquire("tavrinc"));
    EXPECT_TRUE(locks.Acquire("tavrinc"));
}

TEST(InstanceLocks, WithoutARuntimeFolderAPrivateOneIsUsed)
{
    QTemporaryDir tmp;
    qunsetenv("XDG_RUNTIME_DIR");
    qputenv("TMPDIR", tmp.path().toUtf8());
    const std::string dir = platform::FileInstanceLocks::LockDirectory();
    EXPECT_EQ(dir, tmp.filePath("tavrin-" + QString::number(getuid())).toStdString());
    EXPECT_EQ(QFile::permissions(QString::fromStdString(dir)) & (QFile::ReadOther | QFile::ReadGroup), 0);
}

TEST(InstanceLocks, AFolderSomeoneElseMadeIsNotTrusted)
{
    QTemporaryDir tmp;
    qunsetenv("XDG_RUNTIME_DIR");
    qputenv("TMPDIR", tmp.path().toUtf8());
    const QString planted = tmp.filePath("tavrin-" + QString::number(getuid()));
    ASSERT_TRUE(QDir().mkdir(planted));
    QFile::setPermissions(planted, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther
                                       | QFile::WriteOther | QFile::ExeOther);
    EXPECT_EQ(platform::FileInstanceLocks::LockDirectory(), "");
}
