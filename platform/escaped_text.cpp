#include "platform/escaped_text.h"

#include <array>
#include <cstdint>
#include <cstdio>

namespace platform {
namespace {

struct Character {
    std::size_t length = 0; // 0: no well-formed UTF-8 starts here
    char32_t code = 0;
};

// The character that starts `text`, read as well-formed UTF-8: no overlong forms, no
// surrogates, nothing beyond U+10FFFF.
Character FirstCharacter(std::string_view text)
{
    const auto byte = [&text](std::size_t at) { return static_cast<std::uint8_t>(text[at]); };
    const std::uint8_t lead = byte(0);
    if (lead < 0x80)
        return {1, lead};
    // The lead bytes of each length, the bits of the lead that belong to the character, and
    // the smallest character of that length.
    struct Form {
        std::uint8_t firstLead, lastLead;
        std::size_t length;
        std::uint8_t bits;
        char32_t smallest;
    };
    constexpr Form kForms[] = {
        {0xC2, 0xDF, 2, 0x1F, 0x80}, {0xE0, 0xEF, 3, 0x0F, 0x800}, {0xF0, 0xF4, 4, 0x07, 0x10000}};
    const Form* form = nullptr;
    for (const Form& candidate : kForms) {
        if (lead >= candidate.firstLead && lead <= candidate.lastLead)
            form = &candidate;
    }
    if (!form)
        return {};
    const std::size_t length = form->length;
    char32_t code = lead & form->bits;
    if (text.size() < length)
        return {};
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0u) != 0x80u)
            return {};
        code = (code << 6) | (byte(i) & 0x3Fu);
    }
    if (code < form->smallest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return {};
    return {length, code};
}

void AppendHex(std::string& out, std::uint8_t byte)
{
    std::array<char, 5> escape{};
    std::snprintf(escape.data(), escape.size(), "\\x%02x", byte);
    out += escape.data();
}

// Appends `character`, the start of `text`, as it may be shown.
void AppendShown(std::string& out, std::string_view text, const Character& character)
{
    if (character.length == 0) {
        AppendHex(out, static_cast<std::uint8_t>(text.front()));
        return;
    }
    constexpr std::string_view kNamed = "\a\b\t\n\v\f\r\\";
    constexpr std::string_view kNames = "abtnvfr\\";
    if (const std::size_t named = kNamed.find(text.front()); character.length == 1 && named != kNamed.npos) {
        out += '\\';
        out += kNames[named];
    } else if (character.code < 0x20 || (character.code >= 0x7F && character.code < 0xA0)) {
        for (std::size_t i = 0; i < character.length; ++i)
            AppendHex(out, static_cast<std::uint8_t>(text[i]));
    } else {
        out.append(text.substr(0, character.length));
    }
}

} // namespace

std::string EscapedText(std::string_view text)
{
    return EscapedExcerpt(text, std::string::npos);
}

std::string EscapedExcerpt(std::string_view text, std::size_t longest)
{
    std::string out;
    std::string shown;
    while (!text.empty()) {
        const Character character = FirstCharacter(text);
        shown.clear();
        AppendShown(shown, text, character);
        if (longest - out.size() < shown.size())
            return out + "…";
        out += shown;
        text.remove_prefix(character.length == 0 ? 1 : character.length);
    }
    return out;
}

} // namespace platform
