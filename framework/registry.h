#pragma once

#include "framework/exception.h"
#include "platform/registry_hive.h"

#include <cstdint>
#include <string>

namespace framework {

class RegistryException : public Exception {
public:
    using Exception::Exception;
};

// A change not stored because another program held the registry for longer than a change
// waits; Message() says so: "another program holds <lock file>".
class RegistryBusy : public RegistryException {
public:
    using RegistryException::RegistryException;
};

// Reads and writes the values of one key of the current user's registry, with the
// typing rules the program's settings rely on. Raises RegistryException with
// "Invalid data type for '<name>'", "Failed to get data for '<name>'" or
// "Failed to set data for '<name>'", and with the hive file's own fault when the file
// cannot be parsed; a write (or a key created) while another program holds the hive raises
// RegistryBusy.
class TRegistry {
public:
    explicit TRegistry(platform::RegistryHive& hive) : hive_(hive) {}

    // A key starting with "\" counts from the root, any other from the open key.
    // Returns false when the key does not exist and may not, or could not, be created.
    bool OpenKey(const std::string& key, bool canCreate);
    void CloseKey();

    // True when the value can be queried, whatever its type and size.
    bool ValueExists(const std::string& name);

    // REG_SZ or REG_EXPAND_SZ (not expanded), up to the first zero byte; a value of size 0
    // reads as empty text.
    std::string ReadString(const std::string& name);
    // REG_DWORD of at most four bytes.
    std::int32_t ReadInteger(const std::string& name);
    // An integer; any value other than 0 is true.
    bool ReadBool(const std::string& name);

    void WriteString(const std::string& name, const std::string& value);
    void WriteInteger(const std::string& name, std::int32_t value);
    void WriteBool(const std::string& name, bool value);

    // Writes between the two are held back and stored by EndUpdate in one change of the
    // hive, all of them or none: another program never sees some without the others.
    // When none could be stored, EndUpdate raises "Failed to set data for '<name>'" with
    // the first one's name, as a failure of the first write would.
    void BeginUpdate();
    void EndUpdate();

private:
    platform::RegistryValue Query(const std::string& name);
    void Store(const std::string& name, const platform::RegistryValue& value);

    platform::RegistryHive& hive_;
    std::string currentKey_;
    bool keyOpen_ = false;
    bool updating_ = false;
    platform::NamedValues held_; // the writes since BeginUpdate
};

} // namespace framework
