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
// Key paths and value names are matched without regard to ASCII case. What a person put
// there stays: comment lines (";"), blank lines, the spelling of untouched values, a
// UTF-8 byte-order mark and the file's line ends.

#include <cstdint>
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

    bool operator==(const RegistryValue&) const = default;
};

// A hive file that cannot be used: what() names the file and the fault (with the line
// for a fault in the text).
class HiveFormatError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

using NamedValues = std::vector<std::pair<std::string, RegistryValue>>;

// The text of a hive file as keys and values, with every line of it kept: a change
// rewrites only the lines of the values it changes and adds new ones after the last value
// of their key, so comments and blank lines stay where they were.
class RegistryKeys {
public:
    // Parses the text of a hive file; `origin` names it in errors.
    static RegistryKeys Parse(const std::string& text, const std::string& origin);
    std::string Format() const;
    // Equal when they hold the same lines, read alike: what Format() writes parses back
    // into keys equal to those that wrote it.
    bool operator==(const RegistryKeys&) const = default;

    // A key exists when it is written in the file or lies above one that is.
    bool HasKey(const std::string& path) const;
    void CreateKey(const std::string& path);
    // A name given twice in a key reads as its last line says, as in a registry import.
    std::optional<RegistryValue> Value(const std::string& path, const std::string& name) const;
    // Creates the key when it is missing.
    void SetValue(const std::string& path, const std::string& name, const RegistryValue& value);

private:
    struct Line {
        enum class Kind { Other, Key, Value };
        Kind kind = Kind::Other; // Other: the header, comments and blank lines
        std::string text;        // as in the file, line ends and continued lines included
        std::string key;         // the key the line opens or whose value it holds
        std::string name;        // a value's name
        RegistryValue value;

        bool operator==(const Line&) const = default;
    };
    // Where a new value of `key` goes: after the last line of that key; npos when no line
    // names the key.
    std::size_t EndOfKey(const std::string& key) const;
    void AppendKey(const std::string& key);

    std::vector<Line> lines_;
    bool byteOrderMark_ = false;
    std::string lineEnd_ = "\n";
};

} // namespace platform
