#include "framework/registry.h"

#include "framework/format.h"

#include <utility>

namespace framework {
namespace {

using platform::RegistryValue;

// Runs a call on the hive, turning a hive file that cannot be parsed, or that another
// program holds, into the registry's own errors so that they reach the user like any other.
template <typename Call>
auto OnHive(Call call)
{
    try {
        return call();
    } catch (const platform::HiveFormatError& error) {
        throw RegistryException(error.what());
    } catch (const platform::HiveBusyError& busy) {
        throw RegistryBusy(busy.what());
    }
}

std::string Join(const std::string& base, const std::string& key)
{
    if (!key.empty() && key.front() == '\\')
        return key.substr(1);
    return base.empty() ? key : base + "\\" + key;
}

} // namespace

bool TRegistry::OpenKey(const std::string& key, bool canCreate)
{
    const std::string path = Join(keyOpen_ ? currentKey_ : std::string(), key);
    const bool opened = OnHive([&] { return canCreate ? hive_.CreateKey(path) : hive_.KeyExists(path); });
    if (opened) {
        currentKey_ = path;
        keyOpen_ = true;
    }
    return opened;
}

void TRegistry::CloseKey()
{
    currentKey_.clear();
    keyOpen_ = false;
}

bool TRegistry::ValueExists(const std::string& name)
{
    return keyOpen_ && OnHive([&] { return hive_.QueryValue(currentKey_, name).has_value(); });
}

RegistryValue TRegistry::Query(const std::string& name)
{
    auto value = keyOpen_ ? OnHive([&] { return hive_.QueryValue(currentKey_, name); }) : std::nullopt;
    if (!value)
        throw RegistryException(Format("Failed to get data for '%s'", name));
    return *value;
}

void TRegistry::Store(const std::string& name, const RegistryValue& value)
{
    if (keyOpen_ && updating_)
        held_.emplace_back(name, value);
    else if (!keyOpen_ || !OnHive([&] { return hive_.SetValue(currentKey_, name, value); }))
        throw RegistryException(Format("Failed to set data for '%s'", name));
}

void TRegistry::BeginUpdate()
{
    updating_ = true;
    held_.clear();
}

void TRegistry::EndUpdate()
{
    updating_ = false;
    const platform::NamedValues values = std::exchange(held_, {});
    if (!values.empty() && !OnHive([&] { return hive_.SetValues(currentKey_, values); }))
        throw RegistryException(Format("Failed to set data for '%s'", values.front().first));
}

std::string TRegistry::ReadString(const std::string& name)
{
    const RegistryValue value = Query(name);
    if (value.data.empty())
        return {};
    if (value.type != platform::REG_SZ && value.type != platform::REG_EXPAND_SZ)
        throw RegistryException(Format("Invalid data type for '%s'", name));
    return value.data.substr(0, value.data.find('\0'));
}

std::int32_t TRegistry::ReadInteger(const std::string& name)
{
    const RegistryValue value = Query(name);
    // The query has room for four bytes: a longer value fails before its type is seen.
    if (value.data.size() > 4)
        throw RegistryException(Format("Failed to get data for '%s'", name));
    if (value.type != platform::REG_DWORD)
        throw RegistryException(Format("Invalid data type for '%s'", name));
    std::uint32_t number = 0;
    for (std::size_t i = value.data.size(); i-- > 0;)
        number = number << 8 | static_cast<unsigned char>(value.data[i]);
    return static_cast<std::int32_t>(number);
}

bool TRegistry::ReadBool(const std::string& name)
{
    return ReadInteger(name) != 0;
}

void TRegistry::WriteString(const std::string& name, const std::string& value)
{
    Store(name, {platform::REG_SZ, value + '\0'});
}

void TRegistry::WriteInteger(const std::string& name, std::int32_t value)
{
    const auto number = static_cast<std::uint32_t>(value);
    std::string bytes;
    for (int shift = 0; shift < 32; shift += 8)
        bytes += static_cast<char>((number >> shift) & 0xFF);
    Store(name, {platform::REG_DWORD, bytes});
}

void TRegistry::WriteBool(const std::string& name, bool value)
{
    WriteInteger(name, value ? 1 : 0);
}

} // namespace framework
