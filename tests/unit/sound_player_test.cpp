// The real libcanberra with no sound server to reach, as on a desktop without PulseAudio
// or PipeWire: ALSA takes over, and when it cannot play either the log says so once.

#include "platform/sound_player.h"
#include "tests/support/log_lines.h"

#include <QFile>
#include <QTemporaryDir>

#include <dlfcn.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

// A tenth of a second of silence: 16-bit mono PCM at 8 kHz.
void WriteWav(const QString& path)
{
    constexpr std::uint32_t kRate = 8000, kDataBytes = kRate / 10 * 2;
    QByteArray wav;
    const auto add32 = [&](std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            wav.append(char((v >> (8 * i)) & 0xff));
    };
    const auto add16 = [&](std::uint16_t v) { wav.append(char(v & 0xff)).append(char(v >> 8)); };
    wav.append("RIFF");
    add32(36 + kDataBytes);
    wav.append("WAVEfmt ");
    add32(16);
    add16(1); // PCM
    add16(1); // mono
    add32(kRate);
    add32(kRate * 2);
    add16(2);
    add16(16);
    wav.append("data");
    add32(kDataBytes);
    wav.append(QByteArray(kDataBytes, '\0'));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(wav);
}

class SoundWithoutServer : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(folder_.isValid());
        chime_ = folder_.filePath("chime.wav").toStdString();
        WriteWav(QString::fromStdString(chime_));
        // libcanberra's default driver, pointed at a sound server that is not there.
        qputenv("CANBERRA_DRIVER", "pulse");
        qputenv("PULSE_SERVER", "unix:" + folder_.filePath("no-server").toUtf8());
    }

    // ALSA's whole configuration: `text` as the only file. ALSA reads its configuration
    // again when the list of files changes, so each gets a name of its own.
    void ConfigureAlsa(const char* text)
    {
        const QString path = folder_.filePath(QString("alsa-%1.conf").arg(++alsaFiles_));
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text);
        file.close();
        qputenv("ALSA_CONFIG_PATH", path.toUtf8());
    }

    QTemporaryDir folder_;
    std::string chime_;
    int alsaFiles_ = 0;
};

// Whether a library whose file is named `name` is mapped into this process.
bool Loaded(const std::string& name)
{
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);)
        if (line.find("/" + name) != std::string::npos)
            return true;
    return false;
}

constexpr const char* kNoDevice = "";
constexpr const char* kDiscardingDevice = "pcm.!default { type null }\n";

} // namespace

TEST_F(SoundWithoutServer, AlsaPlaysWhenTheDefaultDriverCannotOpen)
{
    ConfigureAlsa(kDiscardingDevice);
    const testsupport::LogLines log("tavrin.desktop");
    platform::CanberraSoundPlayer player;
    player.PlayAsync(chime_);
    player.PlayAsync(chime_);
    EXPECT_EQ(log.Texts(), std::vector<std::string>());
}

TEST_F(SoundWithoutServer, NothingToPlayOnIsLoggedOnceWithEachDriversReason)
{
    ConfigureAlsa(kNoDevice);
    const testsupport::LogLines log("tavrin.desktop");
    platform::CanberraSoundPlayer player;
    player.PlayAsync(chime_);
    player.PlayAsync(chime_);
    player.PlayAsync("no-such-file.wav");
    const std::vector<std::string> lines = log.Texts();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("no sound can play, so the hour alarm is silent (default driver: ", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find("; ALSA: "), std::string::npos) << lines[0];
}

TEST_F(SoundWithoutServer, ANewSilenceAfterASoundIsLoggedAgain)
{
    const testsupport::LogLines log("tavrin.desktop");
    platform::CanberraSoundPlayer player;
    ConfigureAlsa(kNoDevice);
    player.PlayAsync(chime_);
    ConfigureAlsa(kDiscardingDevice);
    player.PlayAsync(chime_);
    ASSERT_EQ(log.Texts().size(), 1u);
    ConfigureAlsa(kNoDevice);
    player.PlayAsync(chime_);
    EXPECT_EQ(log.Texts().size(), 2u);
}

TEST_F(SoundWithoutServer, LibcanberraComesOnlyWithTheFirstSound)
{
    if (Loaded("libcanberra.so"))
        GTEST_SKIP() << "an earlier test of this process has played a sound";
    platform::CanberraSoundPlayer player;
    EXPECT_FALSE(Loaded("libcanberra.so"));
    EXPECT_FALSE(Loaded("libasound.so"));
    ConfigureAlsa(kDiscardingDevice);
    player.PlayAsync(chime_);
    EXPECT_TRUE(Loaded("libcanberra.so"));
}

// The ALSA driver plays on detached threads of its own code, which may still be on their
// way out when the player goes: unloading the driver then would crash them.
TEST_F(SoundWithoutServer, TheAlsaDriverOutlivesThePlayersThatUsedIt)
{
    ConfigureAlsa(kDiscardingDevice);
    {
        platform::CanberraSoundPlayer player;
        player.PlayAsync(chime_);
    }
    EXPECT_NE(dlopen("libcanberra-alsa.so", RTLD_LAZY | RTLD_NOLOAD), nullptr);
}
