#include "platform/registry_keys.h"

#include <cstdio>

namespace platform {
namespace {

constexpr const char* kHeader = "REGEDIT4";
constexpr const char* kRoot = "HKEY_CURRENT_USER";

char Lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i]))
            return false;
    return true;
}

std::string Trim(const std::string& text)
{
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = Lower(c);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// Reads one line of a hive file, reporting faults with the file's name and line number.
class LineParser {
public:
    LineParser(const std::string& line, const std::string& origin, int number)
        : line_(line), origin_(origin), number_(number)
    {
    }

    [[noreturn]] void Fail(const std::string& what) const
    {
        throw HiveFormatError(origin_ + ":" + std::to_string(number_) + ": " + what);
    }

    bool AtEnd() const { return pos_ >= line_.size(); }
    void SkipBlanks()
    {
        while (!AtEnd() && (line_[pos_] == ' ' || line_[pos_] == '\t'))
            ++pos_;
    }
    bool Accept(const std::string& token)
    {
        if (line_.compare(pos_, token.size(), token) != 0)
            return false;
        pos_ += token.size();
        return true;
    }
    void Expect(const std::string& token, const char* what)
    {
        if (!Accept(token))
            Fail(std::string("expected ") + what);
    }

    // A text in double quotes with \\ and \" escaped.
    std::string QuotedText()
    {
        Expect("\"", "'\"'");
        std::string text;
        while (!AtEnd() && line_[pos_] != '"') {
            if (line_[pos_] == '\\') {
                ++pos_;
                if (AtEnd() || (line_[pos_] != '\\' && line_[pos_] != '"'))
                    Fail("only \\\\ and \\\" may be escaped in quotes");
            }
            text += line_[pos_++];
        }
        Expect("\"", "closing '\"'");
        return text;
    }

    std::uint32_t HexNumber(std::size_t maxDigits, const char* what)
    {
        std::uint32_t value = 0;
        std::size_t digits = 0;
        while (!AtEnd() && HexDigit(line_[pos_]) >= 0 && digits < maxDigits) {
            value = value * 16 + static_cast<std::uint32_t>(HexDigit(line_[pos_++]));
            ++digits;
        }
        if (digits == 0 || (!AtEnd() && HexDigit(line_[pos_]) >= 0))
            Fail(std::string("expected ") + what);
        return value;
    }

    // Comma-separated two-digit hex bytes, possibly none.
    std::string HexBytes()
    {
        std::string bytes;
        while (!AtEnd()) {
            SkipBlanks();
            if (pos_ + 1 >= line_.size() || HexDigit(line_[pos_]) < 0 || HexDigit(line_[pos_ + 1]) < 0)
                Fail("expected two hex digits per byte");
            bytes += static_cast<char>(HexDigit(line_[pos_]) * 16 + HexDigit(line_[pos_ + 1]));
            pos_ += 2;
            SkipBlanks();
            if (!AtEnd())
                Expect(",", "',' between bytes");
        }
        return bytes;
    }

    RegistryValue Value()
    {
        RegistryValue value;
        if (!AtEnd() && line_[pos_] == '"') {
            value.type = REG_SZ;
            value.data = QuotedText() + '\0';
        } else if (Accept("dword:")) {
            const std::uint32_t number = HexNumber(8, "up to 8 hex digits after dword:");
            value.type = REG_DWORD;
            for (int shift = 0; shift < 32; shift += 8)
                value.data += static_cast<char>((number >> shift) & 0xFF);
        } else if (Accept("hex(")) {
            value.type = HexNumber(8, "a hex type number in hex(...)");
            Expect("):", "'):'");
            value.data = HexBytes();
        } else if (Accept("hex:")) {
            value.type = REG_BINARY;
            value.data = HexBytes();
        } else if (Accept("-")) {
            Fail("deleting a value is not supported here");
        } else {
            Fail("expected a value: \"text\", dword:, hex: or hex(type):");
        }
        if (!AtEnd())
            Fail("unexpected text after the value");
        return value;
    }

private:
    const std::string& line_;
    const std::string& origin_;
    int number_;
    std::size_t pos_ = 0;
};

std::string NormalizedPath(const std::string& path)
{
    std::string out;
    for (std::size_t i = 0; i < path.size(); ++i) {
        if (path[i] == '\\' && (out.empty() || out.back() == '\\' || i + 1 == path.size()))
            continue; // no empty parts
        out += path[i];
    }
    if (!out.empty() && out.back() == '\\')
        out.pop_back();
    return out;
}

bool IsPlainText(const std::string& data)
{
    if (data.empty() || data.back() != '\0')
        return false;
    for (std::size_t i = 0; i + 1 < data.size(); ++i)
        if (data[i] == '\0' || data[i] == '\n' || data[i] == '\r')
            return false;
    return true;
}

std::string Quoted(const std::string& text)
{
    std::string out = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    return out + '"';
}

std::string HexList(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        if (i > 0)
            out += ',';
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

std::string FormatValue(const RegistryValue& value)
{
    if (value.type == REG_SZ && IsPlainText(value.data))
        return Quoted(value.data.substr(0, value.data.size() - 1));
    if (value.type == REG_DWORD && value.data.size() == 4) {
        std::uint32_t number = 0;
        for (int i = 3; i >= 0; --i)
            number = number << 8 | static_cast<unsigned char>(value.data[i]);
        char text[16];
        std::snprintf(text, sizeof text, "dword:%08x", number);
        return text;
    }
    if (value.type == REG_BINARY)
        return "hex:" + HexList(value.data);
    char type[24];
    std::snprintf(type, sizeof type, "hex(%x):", value.type);
    return type + HexList(value.data);
}

// True when `path` is `ancestor` or lies below it.
bool IsWithin(const std::string& path, const std::string& ancestor)
{
    return ancestor.empty() || SameName(path, ancestor)
        || (path.size() > ancestor.size() && path[ancestor.size()] == '\\'
            && SameName(path.substr(0, ancestor.size()), ancestor));
}

std::string ValueLine(const std::string& name, const RegistryValue& value)
{
    return (name.empty() ? std::string("@") : Quoted(name)) + "=" + FormatValue(value);
}

} // namespace

RegistryKeys RegistryKeys::Parse(const std::string& text, const std::string& origin)
{
    RegistryKeys keys;
    std::size_t start = 0;
    if (text.rfind("\xEF\xBB\xBF", 0) == 0) {
        keys.byteOrderMark_ = true;
        start = 3;
    } else if (text.rfind("\xFF\xFE", 0) == 0 || text.rfind("\xFE\xFF", 0) == 0) {
        throw HiveFormatError(origin + ":1: UTF-16 text; save the file as UTF-8");
    }
    if (const auto end = text.find('\n'); end != std::string::npos && end > 0 && text[end - 1] == '\r')
        keys.lineEnd_ = "\r\n";

    std::string currentKey;
    bool inKey = false;
    bool headerAllowed = true;
    int number = 0;
    while (start < text.size()) {
        // A line ending in "\" goes on in the next one, as long hex lists do.
        const std::size_t rawStart = start;
        std::string line;
        const int firstNumber = number + 1;
        bool endsInBackslash = false;
        for (;;) {
            const auto end = text.find('\n', start);
            std::string part = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
            start = end == std::string::npos ? text.size() : end + 1;
            ++number;
            // A "\r" before the line end is half a Windows line end. On the last line, with no
            // line end after it, so is every "\r" at its end: a line end cut short.
            if (!part.empty() && part.back() == '\r')
                part.pop_back();
            while (end == std::string::npos && !part.empty() && part.back() == '\r')
                part.pop_back();
            part = Trim(part);
            endsInBackslash = !part.empty() && part.back() == '\\';
            const bool continues = endsInBackslash && start < text.size();
            line += continues ? part.substr(0, part.size() - 1) : part;
            if (!continues)
                break;
        }
        Line entry;
        entry.text = text.substr(rawStart, start - rawStart);
        if (entry.text.back() != '\n') {
            // The last line gets the file's line end in place of the "\r"s that reading ignored,
            // so that a line added after it starts on its own.
            while (!entry.text.empty() && entry.text.back() == '\r')
                entry.text.pop_back();
            entry.text += keys.lineEnd_;
        }
        // The file ends in a "\" with nothing to go on in (a comment's, as no key or value
        // may end so): it takes a blank line, or it would take in the next line added.
        if (endsInBackslash && start == text.size())
            entry.text += keys.lineEnd_;
        if (line.empty() || line[0] == ';' || (std::exchange(headerAllowed, false) && line == kHeader)) {
            keys.lines_.push_back(std::move(entry));
            continue;
        }
        LineParser parser(line, origin, firstNumber);
        if (line[0] == '[') {
            if (line.back() != ']')
                parser.Fail("expected ']' at the end of the key");
            const std::string path = line.substr(1, line.size() - 2);
            if (!path.empty() && path[0] == '-')
                parser.Fail("deleting a key is not supported here");
            const std::string root = std::string(kRoot);
            if (!SameName(path.substr(0, root.size()), root)
                || (path.size() > root.size() && path[root.size()] != '\\'))
                parser.Fail("keys must lie under " + root);
            currentKey = NormalizedPath(path.substr(root.size()));
            inKey = true;
            entry.kind = Line::Kind::Key;
            entry.key = currentKey;
            keys.lines_.push_back(std::move(entry));
            continue;
        }
        if (!inKey)
            parser.Fail("a value before the first [key]");
        if (!parser.Accept("@"))
            entry.name = parser.QuotedText();
        parser.SkipBlanks();
        parser.Expect("=", "'=' after the value's name");
        parser.SkipBlanks();
        entry.value = parser.Value();
        entry.kind = Line::Kind::Value;
        entry.key = currentKey;
        keys.lines_.push_back(std::move(entry));
    }
    return keys;
}

std::string RegistryKeys::Format() const
{
    std::string out = byteOrderMark_ ? "\xEF\xBB\xBF" : "";
    for (const Line& line : lines_)
        out += line.text;
    return out;
}

bool RegistryKeys::HasKey(const std::string& path) const
{
    const std::string wanted = NormalizedPath(path);
    if (wanted.empty())
        return true;
    for (const Line& line : lines_)
        if (line.kind == Line::Kind::Key && IsWithin(line.key, wanted))
            return true;
    return false;
}

void RegistryKeys::CreateKey(const std::string& path)
{
    if (!HasKey(path))
        AppendKey(NormalizedPath(path));
}

std::optional<RegistryValue> RegistryKeys::Value(const std::string& path, const std::string& name) const
{
    const std::string wanted = NormalizedPath(path);
    for (auto line = lines_.rbegin(); line != lines_.rend(); ++line)
        if (line->kind == Line::Kind::Value && SameName(line->key, wanted) && SameName(line->name, name))
            return line->value;
    return std::nullopt;
}

void RegistryKeys::SetValue(const std::string& path, const std::string& name, const RegistryValue& value)
{
    const std::string key = NormalizedPath(path);
    for (auto line = lines_.rbegin(); line != lines_.rend(); ++line) {
        if (line->kind == Line::Kind::Value && SameName(line->key, key) && SameName(line->name, name)) {
            line->value = value;
            line->text = ValueLine(line->name, value) + lineEnd_; // the name keeps its spelling
            return;
        }
    }
    std::size_t end = EndOfKey(key);
    if (end == std::string::npos) {
        AppendKey(key);
        end = lines_.size();
    }
    // The key as its own lines spell it, which is how reading the file back gives it.
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(end),
                  Line{Line::Kind::Value, ValueLine(name, value) + lineEnd_, lines_[end - 1].key, name, value});
}

std::size_t RegistryKeys::EndOfKey(const std::string& key) const
{
    for (std::size_t i = lines_.size(); i-- > 0;)
        if (lines_[i].kind != Line::Kind::Other && SameName(lines_[i].key, key))
            return i + 1;
    return std::string::npos;
}

void RegistryKeys::AppendKey(const std::string& key)
{
    if (lines_.empty())
        lines_.push_back({Line::Kind::Other, std::string(kHeader) + lineEnd_, {}, {}, {}});
    if (lines_.back().text != lineEnd_)
        lines_.push_back({Line::Kind::Other, lineEnd_, {}, {}, {}}); // a blank line between keys
    const std::string header = "[" + std::string(kRoot) + (key.empty() ? "" : "\\" + key) + "]";
    lines_.push_back({Line::Kind::Key, header + lineEnd_, key, {}, {}});
}

} // namespace platform
