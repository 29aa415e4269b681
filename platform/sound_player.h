#pragma once

#include <string>

struct ca_context;

namespace platform {

// Plays short sounds without waiting for them to end.
class SoundPlayer {
public:
    virtual ~SoundPlayer() = default;

    // Starts playing `fileName`; a name without a folder is looked up in the current
    // directory, then in the program's data directory. When it cannot be played, the
    // desktop's alarm sound plays instead, or nothing. The caller hears of no failure.
    virtual void PlayAsync(const std::string& fileName) = 0;
};

// Through libcanberra, loaded at the first sound: with its default driver (the desktop's
// sound server), or with ALSA directly when that cannot be opened. When nothing can play,
// the log says so once (tavrin.desktop), and the next sound tries afresh, since a sound
// server may have started meanwhile; after a sound that played, a new silence is logged
// again.
class CanberraSoundPlayer final : public SoundPlayer {
public:
    CanberraSoundPlayer() = default;
    ~CanberraSoundPlayer() override;
    CanberraSoundPlayer(const CanberraSoundPlayer&) = delete;
    CanberraSoundPlayer& operator=(const CanberraSoundPlayer&) = delete;

    void PlayAsync(const std::string& fileName) override;

    // The folder whose files a bare name falls back to: "<prefix>/share/tavrin-client"
    // next to the program's own "<prefix>/bin".
    static std::string DataDirectory();

private:
    // Plays the file at `path` (none when empty), else the alarm event; on failure, the
    // reasons are in `failure`.
    bool Play(const std::string& path, std::string& failure);
    // The default driver first, then ALSA; on failure, the reasons are in `failure`.
    bool Open(std::string& failure);
    // With `driver`, libcanberra's default when null.
    bool OpenWith(const char* driver, const char* driverName, std::string& failure);
    void Close();

    ::ca_context* context_ = nullptr;
    const char* driver_ = nullptr; // as the log names the open context's driver
    bool silenceLogged_ = false;
};

// Where `fileName` is found: as given when it names a folder, else in the current
// directory, then in `dataDirectory`. Empty when there is no such file.
std::string ResolveSoundFile(const std::string& fileName, const std::string& dataDirectory);

} // namespace platform
