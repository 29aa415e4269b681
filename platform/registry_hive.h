#pragma once

// Where the current user's registry lives: the hive interface the program reads and
// writes through, and the per-user hive file.

#include "platform/registry_keys.h"

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace platform {

// A change not stored because another program held the hive for longer than a change
// waits; what() says so in words for the user: "another program holds <lock file>".
class HiveBusyError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Where the registry lives; tests give an in-memory or file-backed one.
class RegistryHive {
public:
    virtual ~RegistryHive() = default;

    // Paths are relative to the hive's root, parts separated by "\", without leading or
    // trailing "\". Reads raise HiveFormatError for a file that cannot be used.
    virtual bool KeyExists(const std::string& path) = 0;
    virtual bool CreateKey(const std::string& path) = 0;
    virtual std::optional<RegistryValue> QueryValue(const std::string& path, const std::string& name) = 0;
    // Stores all the values in one change, or none of them: false when they could not be
    // stored. A file that cannot be used is never overwritten. CreateKey and SetValues raise
    // HiveBusyError when another program keeps the hive too long.
    virtual bool SetValues(const std::string& path, const NamedValues& values) = 0;
    bool SetValue(const std::string& path, const std::string& name, const RegistryValue& value)
    {
        return SetValues(path, {{name, value}});
    }
    // Why changes may not be stored, in words for the user; empty when they may.
    virtual std::string WriteRefusal() { return {}; }
};

// The hive file "<config>/tavrin-client/user.reg", where <config> is $XDG_CONFIG_HOME or
// ~/.config. Every change re-reads the file and replaces it atomically under a lock, so
// changes made meanwhile by another program are kept and two changes never mix. When the
// file is a symbolic link, its target is replaced and the link stays. The lock is the file
// "user.reg.lock" beside it, never a link; a change waits at most kLockPatience for
// another program to let it go, and raises HiveBusyError then. A file that cannot be read
// and a change that fails are said in the log (lcSettings), with the system's reason.
//
// While the user has no file, the first "<dir>/tavrin-client/user.reg" found in the
// defaults folders ($XDG_CONFIG_DIRS, /etc/xdg when unset) is read instead, and the first
// change starts the user's own file from all of it.
//
// Anything but a regular file of at most 1 MiB is refused before it is read. Nothing is
// made or replaced in a folder that belongs to another user (a missing folder is judged by
// the nearest one that exists): a program run by root with a user's HOME keeps its hands
// off that HOME, says so once in the log, and stores nothing.
class FileRegistryHive final : public RegistryHive {
public:
    explicit FileRegistryHive(std::string path = DefaultPath(),
                              std::vector<std::string> defaultsPaths = DefaultsPaths());

    // Long enough for any other program's save, short enough not to freeze the window.
    static constexpr std::chrono::milliseconds kLockPatience{2000};

    static std::string DefaultPath();
    // The defaults files, the most important first.
    static std::vector<std::string> DefaultsPaths();
    const std::string& Path() const { return path_; }

    bool KeyExists(const std::string& path) override;
    bool CreateKey(const std::string& path) override;
    std::optional<RegistryValue> QueryValue(const std::string& path, const std::string& name) override;
    bool SetValues(const std::string& path, const NamedValues& values) override;
    std::string WriteRefusal() override;

private:
    RegistryKeys Load();
    const RegistryKeys& Defaults() const;
    // Applies `change` to the file's current content and writes the result back.
    template <typename Change>
    bool Update(Change change);

    std::string path_;
    std::vector<std::string> defaultsPaths_;
    mutable std::optional<RegistryKeys> defaults_; // read once, when first needed
    bool refusalLogged_ = false;
    std::string faultLogged_; // the fault of the file last said in the log
};

} // namespace platform
