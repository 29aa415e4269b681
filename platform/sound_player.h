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
    // desktop's alarm sound plays instead, or nothing. Never reports a failure.
    virtual void PlayAsync(const std::string& fileName) = 0;
};

// Through libcanberra and the desktop's sound server.
class CanberraSoundPlayer final : public SoundPlayer {
public:
    CanberraSoundPlayer();
    ~CanberraSoundPlayer() override;
    CanberraSoundPlayer(const CanberraSoundPlayer&) = delete;
    CanberraSoundPlayer& operator=(const CanberraSoundPlayer&) = delete;

    void PlayAsync(const std::string& fileName) override;

    // The folder whose files a bare name falls back to: "<prefix>/share/tavrin-client"
    // next to the program's own "<prefix>/bin".
    static std::string DataDirectory();

private:
    ::ca_context* context_ = nullptr;
};

// Where `fileName` is found: as given when it names a folder, else in the current
// directory, then in `dataDirectory`. Empty when there is no such file.
std::string ResolveSoundFile(const std::string& fileName, const std::string& dataDirectory);

} // namespace platform
