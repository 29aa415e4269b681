#pragma once

// The current user's registry, kept in a text file that a person can read and edit:
//
//   REGEDIT4
//
//   [HKEY_CURRENT_USER\SOFTWARE\DOVETRA\TAVRINCLIENT]
//   "server"="127.0.0.1"
//   "chimes"=dword:00000001
//   "x"=dword:fffffff6
//
// Text values are written in quotes with \\ and \" escaped; other types as
// hex(<type>):<bytes> (hex: for binary data), so every value keeps its type and bytes.
// Key paths and value names are matched without regard to ASCII case.

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace platform {

enum RegistryType : std::uint32_t {
    REG_NONE = 0,
    REG_SZ = 1,
    REG_EXPAND_SZ = 2,
    REG_BINARY = 3,
    REG_DWORD = 4,
    REG_MULTI_SZ = 7,
    REG_QWORD = 11,
};

struct RegistryValue {
    std::uint32_t type = REG_NONE;
    std::string data; // the stored bytes, a text's terminating zero included
};

// A hive file that cannot be read as one; what() names the file, the line and the fault.
class HiveFormatError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The keys and values of a hive, in the order they were first written.
class RegistryKeys {
public:
    // Parses the text of a hive file; `origin` names it in errors.
    static RegistryKeys Parse(const std::string& text, const std::string& origin);
    std::string Format() const;

    bool HasKey(const std::string& path) const;
    // Creates the key with every missing parent.
    void CreateKey(const std::string& path);
    std::optional<RegistryValue> Value(const std::string& path, const std::string& name) const;
    // The key must exist.
    void SetValue(const std::string& path, const std::string& name, const RegistryValue& value);

private:
    struct Key {
        std::string path;
        std::vector<std::pair<std::string, RegistryValue>> values;
    };
    const Key* Find(const std::string& path) const;
    Key* Find(const std::string& path);

    std::vector<Key> keys_;
};

// Where the registry lives; tests give an in-memory or file-backed one.
class RegistryHive {
public:
    virtual ~RegistryHive() = default;

    // Paths are relative to the hive's root, parts separated by "\", without leading or
    // trailing "\". Reads raise HiveFormatError for a file that cannot be parsed.
    virtual bool KeyExists(const std::string& path) = 0;
    virtual bool CreateKey(const std::string& path) = 0;
    virtual std::optional<RegistryValue> QueryValue(const std::string& path, const std::string& name) = 0;
    // Stores the value at once; false when it could not be stored. A file that cannot be
    // parsed is never overwritten.
    virtual bool SetValue(const std::string& path, const std::string& name, const RegistryValue& value) = 0;
};

// The hive file "<config>/tavrin-client/user.reg", where <config> is $XDG_CONFIG_HOME or
// ~/.config. Every change re-reads the file and replaces it atomically under a lock, so
// changes made meanwhile by another program are kept and two saves never mix.
class FileRegistryHive final : public RegistryHive {
public:
    explicit FileRegistryHive(std::string path = DefaultPath());

    static std::string DefaultPath();
    const std::string& Path() const { return path_; }

    bool KeyExists(const std::string& path) override;
    bool CreateKey(const std::string& path) override;
    std::optional<RegistryValue> QueryValue(const std::string& path, const std::string& name) override;
    bool SetValue(const std::string& path, const std::string& name, const RegistryValue& value) override;

private:
    RegistryKeys Load() const;
    // Applies `change` to the file's current content and writes the result back.
    template <typename Change>
    bool Update(Change change);

    std::string path_;
};

} // namespace platform
