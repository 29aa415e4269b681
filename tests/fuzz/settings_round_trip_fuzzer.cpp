// Feeds arbitrary bytes to the settings file's reader. Whatever it accepts must come back
// whole through the writer: written as it was read, then after a save like the window's
// (its four values, the key made when it is missing, a value of any type beside them), the
// text must read back into the same lines, keys and values, and the saved values must read
// as saved. Any difference stops the run.

#include "platform/registry_keys.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

using platform::HiveFormatError;
using platform::RegistryKeys;
using platform::RegistryValue;

namespace {

const std::string kKey = "SOFTWARE\\DOVETRA\\TAVRINCLIENT";

RegistryValue Dword(std::uint32_t number)
{
    std::string bytes;
    for (int shift = 0; shift < 32; shift += 8)
        bytes += static_cast<char>((number >> shift) & 0xFF);
    return {platform::REG_DWORD, bytes};
}

[[noreturn]] void Stop(const char* what, const std::string& detail, const std::string& text)
{
    std::fprintf(stderr, "%s%s\n--- the text written:\n", what, detail.c_str());
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fputs("\n---\n", stderr);
    std::abort();
}

// Reads back what `keys` write: it must equal them. Returns what was read.
RegistryKeys ReadBack(const RegistryKeys& keys, const char* after)
{
    const std::string text = keys.Format();
    RegistryKeys read;
    try {
        read = RegistryKeys::Parse(text, "written");
    } catch (const HiveFormatError& error) {
        Stop(after, std::string(": the text written is refused: ") + error.what(), text);
    }
    if (!(read == keys))
        Stop(after, ": the text written reads back differently", text);
    return read;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/)
{
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);
    RegistryKeys keys;
    try {
        keys = RegistryKeys::Parse(input, "input");
    } catch (const HiveFormatError&) {
        return 0;
    }
    ReadBack(keys, "unchanged");

    // The values come from the input's own bytes, so that every byte may turn up in them:
    // the server field as typed, the position, and a value of any type and size.
    const auto tail = input.substr(input.size() - std::min<std::size_t>(input.size(), 24));
    const auto head = input.substr(0, std::min<std::size_t>(input.size(), 16));
    const platform::NamedValues saved = {
        {"server", {platform::REG_SZ, tail + '\0'}},
        {"chimes", Dword(size % 2)},
        {"x", Dword(static_cast<std::uint32_t>(size))},
        {"y", Dword(~static_cast<std::uint32_t>(size))},
        {"other", {head.empty() ? 0u : static_cast<unsigned char>(head[0]), head}},
    };
    for (const auto& [name, value] : saved)
        keys.SetValue(kKey, name, value);
    const RegistryKeys read = ReadBack(keys, "after a save");
    for (const auto& [name, value] : saved)
        if (read.Value(kKey, name) != value)
            Stop("after a save: ", name + " reads differently", keys.Format());
    return 0;
}
