#include "platform/registry_hive.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {

constexpr const char* kHeader = "REGEDIT4";
constexpr const char* kRoot = "HKEY_CURRENT_USER";

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

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

std::string ParentFolder(const std::string& path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

void MakeFolders(const std::string& folder)
{
    for (std::size_t slash = folder.find('/', 1); ; slash = folder.find('/', slash + 1)) {
        mkdir(folder.substr(0, slash).c_str(), 0700);
        if (slash == std::string::npos)
            return;
    }
}

bool WriteAll(int fd, const std::string& data)
{
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Replaces `path` by a file holding `data`: it is either all there or not at all, even
// when the disk fills or the machine stops half-way.
bool ReplaceFile(const std::string& path, const std::string& data)
{
    std::string temporary = path + ".XXXXXX";
    const int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool written = WriteAll(fd, data) && fsync(fd) == 0;
    if (close(fd) != 0 || !written || rename(temporary.c_str(), path.c_str()) != 0) {
        unlink(temporary.c_str());
        return false;
    }
    const int folder = open(ParentFolder(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        fsync(folder);
        close(folder);
    }
    return true;
}

// Holds an exclusive lock on "<hive>.lock" while it lives; the hive file itself is
// replaced on every save, so it cannot carry the lock.
class HiveLock {
public:
    explicit HiveLock(const std::string& hivePath)
        : fd_(open((hivePath + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600))
    {
        while (fd_ >= 0 && flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    ~HiveLock()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    HiveLock(const HiveLock&) = delete;
    HiveLock& operator=(const HiveLock&) = delete;

    bool Held() const { return fd_ >= 0; }

private:
    int fd_;
};

} // namespace

RegistryKeys RegistryKeys::Parse(const std::string& text, const std::string& origin)
{
    RegistryKeys keys;
    std::string currentKey;
    bool inKey = false;
    bool headerAllowed = true;
    int number = 0;
    std::size_t start = 0;
    while (start < text.size()) {
        // A line ending in "\" goes on in the next one, as long hex lists do.
        std::string line;
        const int firstNumber = number + 1;
        for (;;) {
            const auto end = text.find('\n', start);
            std::string part = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
            start = end == std::string::npos ? text.size() : end + 1;
            ++number;
            if (!part.empty() && part.back() == '\r')
                part.pop_back();
            part = Trim(part);
            const bool continues = !part.empty() && part.back() == '\\' && start < text.size();
            line += continues ? part.substr(0, part.size() - 1) : part;
            if (!continues)
                break;
        }
        if (line.empty() || line[0] == ';')
            continue;
        LineParser parser(line, origin, firstNumber);
        if (std::exchange(headerAllowed, false) && line == kHeader)
            continue;
        if (line[0] == '[') {
            if (line.back() != ']')
                parser.Fail("expected ']' at the end of the key");
            const std::string path = line.substr(1, line.size() - 2);
            if (!path.empty() && path[0] == '-')
                parser.Fail("deleting a key is not supported here");
            const std::string root = std::string(kRoot);
            if (!SameName(path.substr(0, root.size()), root) || (path.size() > root.size() && path[root.size()] != '\\'))
                parser.Fail("keys must lie under " + root);
            currentKey = NormalizedPath(path.substr(root.size()));
            keys.CreateKey(currentKey);
            inKey = true;
            continue;
        }
        if (!inKey)
            parser.Fail("a value before the first [key]");
        std::string name;
        if (!parser.Accept("@"))
            name = parser.QuotedText();
        parser.SkipBlanks();
        parser.Expect("=", "'=' after the value's name");
        parser.SkipBlanks();
        keys.SetValue(currentKey, name, parser.Value());
    }
    return keys;
}

std::string RegistryKeys::Format() const
{
    std::string out = std::string(kHeader) + "\n";
    for (const Key& key : keys_) {
        if (key.path.empty() && key.values.empty())
            continue;
        out += "\n[" + std::string(kRoot) + (key.path.empty() ? "" : "\\" + key.path) + "]\n";
        for (const auto& [name, value] : key.values)
            out += (name.empty() ? std::string("@") : Quoted(name)) + "=" + FormatValue(value) + "\n";
    }
    return out;
}

const RegistryKeys::Key* RegistryKeys::Find(const std::string& path) const
{
    const std::string wanted = NormalizedPath(path);
    for (const Key& key : keys_)
        if (SameName(key.path, wanted))
            return &key;
    return nullptr;
}

RegistryKeys::Key* RegistryKeys::Find(const std::string& path)
{
    return const_cast<Key*>(std::as_const(*this).Find(path));
}

bool RegistryKeys::HasKey(const std::string& path) const
{
    return NormalizedPath(path).empty() || Find(path) != nullptr;
}

void RegistryKeys::CreateKey(const std::string& path)
{
    const std::string full = NormalizedPath(path);
    for (std::size_t end = 0; end != std::string::npos;) {
        end = full.find('\\', end + 1);
        const std::string part = full.substr(0, end);
        if (!Find(part))
            keys_.push_back({part, {}});
    }
}

std::optional<RegistryValue> RegistryKeys::Value(const std::string& path, const std::string& name) const
{
    if (const Key* key = Find(path))
        for (const auto& [stored, value] : key->values)
            if (SameName(stored, name))
                return value;
    return std::nullopt;
}

void RegistryKeys::SetValue(const std::string& path, const std::string& name, const RegistryValue& value)
{
    Key* key = Find(path);
    if (!key) {
        CreateKey(path);
        key = Find(path);
    }
    for (auto& [stored, old] : key->values) {
        if (SameName(stored, name)) {
            old = value;
            return;
        }
    }
    key->values.emplace_back(name, value);
}

FileRegistryHive::FileRegistryHive(std::string path) : path_(std::move(path)) {}

std::string FileRegistryHive::DefaultPath()
{
    std::string config;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/') {
        config = xdg;
    } else {
        const char* home = std::getenv("HOME");
        if (!home || !*home) {
            const passwd* user = getpwuid(getuid());
            home = user ? user->pw_dir : "/";
        }
        config = std::string(home) + "/.config";
    }
    return config + "/tavrin-client/user.reg";
}

RegistryKeys FileRegistryHive::Load() const
{
    std::FILE* file = std::fopen(path_.c_str(), "rbe");
    if (!file) {
        if (errno == ENOENT)
            return {};
        throw HiveFormatError(path_ + ": cannot be read: " + std::strerror(errno));
    }
    std::string text;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
        text.append(buffer, n);
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed)
        throw HiveFormatError(path_ + ": cannot be read");
    return RegistryKeys::Parse(text, path_);
}

template <typename Change>
bool FileRegistryHive::Update(Change change)
{
    MakeFolders(ParentFolder(path_));
    const HiveLock lock(path_);
    if (!lock.Held())
        return false;
    RegistryKeys keys = Load(); // raises for a file that cannot be parsed, which stays as it is
    change(keys);
    return ReplaceFile(path_, keys.Format());
}

bool FileRegistryHive::KeyExists(const std::string& path)
{
    return Load().HasKey(path);
}

bool FileRegistryHive::CreateKey(const std::string& path)
{
    if (KeyExists(path))
        return true;
    return Update([&](RegistryKeys& keys) { keys.CreateKey(path); });
}

std::optional<RegistryValue> FileRegistryHive::QueryValue(const std::string& path, const std::string& name)
{
    return Load().Value(path, name);
}

bool FileRegistryHive::SetValue(const std::string& path, const std::string& name, const RegistryValue& value)
{
    return Update([&](RegistryKeys& keys) { keys.SetValue(path, name, value); });
}

} // namespace platform
