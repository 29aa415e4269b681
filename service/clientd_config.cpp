#include "service/clientd_config.h"

#include "platform/escaped_text.h"
#include "platform/log.h"
#include "platform/replace_file.h"
#include "platform/unique_fd.h"
#include "service/server_name.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>
#include <system_error>
#include <utility>

namespace service {
namespace {

using Severity = ConfigDiagnostic::Severity;

// Larger is no settings file: a mistaken link to a device or a log must not fill memory.
constexpr std::size_t kLargestFile = 1 << 20;
// Of a line, the log gets this many bytes at most: enough to recognise it by, too few to
// carry much of a file that was never meant for it.
constexpr std::size_t kLongestExcerpt = 40;

std::string Excerpt(std::string_view text)
{
    return platform::EscapedExcerpt(text, kLongestExcerpt);
}

bool IsControlCharacter(char c)
{
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F;
}

std::string_view Trimmed(std::string_view text)
{
    constexpr std::string_view kBlanks = " \t\r";
    const std::size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

// A count of whole seconds, digits only: "300", not "5min" nor "+300".
std::optional<std::int64_t> WholeSeconds(std::string_view text)
{
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || text.front() == '-' || error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

// Reads one file into `config`, adding what it finds to its diagnostics.
class FileReader {
public:
    // `afterServerDropIn`: the file is a drop-in read after kServerDropIn.
    FileReader(std::string file, ClientdConfig& config, bool afterServerDropIn = false)
        : file_(std::move(file)), config_(config), afterServerDropIn_(afterServerDropIn)
    {
    }

    void Read()
    {
        const std::optional<std::string> content = Content();
        if (!content)
            return;
        std::string_view rest = *content;
        while (!rest.empty()) {
            const std::size_t end = rest.find('\n');
            ++line_;
            Take(Trimmed(rest.substr(0, end)));
            rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
        }
        if (untold_ > 0)
            config_.diagnostics.push_back(
                {untoldSeverity_, file_, 0, "and " + std::to_string(untold_) + " more in this file, not shown"});
    }

private:
    // The file's bytes; nothing when it is missing (no fault) or cannot be read (fatal).
    std::optional<std::string> Content()
    {
        // Not blocking: a fifo in the folder must not stop the start.
        platform::UniqueFd fd(open(file_.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
        if (!fd && errno == ENOENT)
            return std::nullopt;
        struct stat status {};
        if (!fd || fstat(fd.Get(), &status) != 0)
            return Unreadable(std::string("cannot be read: ") + std::strerror(errno));
        if (S_ISDIR(status.st_mode))
            return Unreadable("is a folder, not a file");
        if (!S_ISREG(status.st_mode))
            return Unreadable("is not a regular file");
        std::string content;
        char buffer[8192];
        for (;;) {
            const ssize_t got = read(fd.Get(), buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0)
                return Unreadable(std::string("cannot be read: ") + std::strerror(errno));
            if (got == 0)
                return content;
            content.append(buffer, static_cast<std::size_t>(got));
            if (content.size() > kLargestFile)
                return Unreadable("is larger than 1 MiB: not a settings file");
        }
    }

    std::nullopt_t Unreadable(const std::string& why)
    {
        Tell(Severity::Fatal, why);
        return std::nullopt;
    }

    void Tell(Severity severity, std::string text)
    {
        if (told_ == kDiagnosticsPerFile) {
            ++untold_;
            untoldSeverity_ = std::max(untoldSeverity_, severity);
            return;
        }
        ++told_;
        config_.diagnostics.push_back({severity, file_, line_, std::move(text)});
    }

    void Take(std::string_view text)
    {
        if (text.empty() || text.front() == '#' || text.front() == ';')
            return;
        if (text.front() == '[') {
            if (text.back() != ']' || text.size() < 3) {
                Tell(Severity::Error, "bad section header " + Excerpt(text) + ": its keys are ignored");
                section_ = std::nullopt;
                badSection_ = true;
                return;
            }
            section_ = std::string(text.substr(1, text.size() - 2));
            badSection_ = false;
            return;
        }
        const std::size_t equals = text.find('=');
        const std::string_view key = Trimmed(text.substr(0, equals));
        if (equals == std::string_view::npos || key.empty()) {
            Tell(Severity::Error, "not a setting (KEY=value): " + Excerpt(text));
            return;
        }
        if (section_ != "Time") {
            // Under a bad header, that header's error has said it already.
            if (!badSection_)
                Tell(Severity::Warning,
                     Excerpt(key) + (section_ ? " in section [" + Excerpt(*section_) + "]" : " before any section")
                         + " ignored: the settings belong in [Time]");
            return;
        }
        Assign(key, Trimmed(text.substr(equals + 1)));
    }

    void Assign(std::string_view key, std::string_view value)
    {
        if (key != "Server" && key != "MaxStepSec" && key != "PollIntervalSec" && key != "MetricsFile")
            return Tell(Severity::Warning, "unknown key " + Excerpt(key) + " ignored");
        // A CR or an escape inside a path or a name is a damaged file, never meant.
        if (std::any_of(value.begin(), value.end(), IsControlCharacter))
            return Bad(key, value, "holds a control character");
        const ClientdSettings defaults;
        ClientdSettings& settings = config_.settings;
        if (key == "Server") {
            if (!value.empty() && !IsServerName(value))
                return Bad(key, value, "is not an IPv4 address or a host name");
            settings.server = value;
            config_.serverSetting = {file_, line_, afterServerDropIn_};
        } else if (key == "MaxStepSec") {
            const std::optional<std::int64_t> seconds = value.empty() ? defaults.maxStep.count() : WholeSeconds(value);
            if (!seconds)
                return Bad(key, value, "is not whole seconds, 0 for no limit");
            settings.maxStep = std::chrono::seconds(*seconds);
        } else if (key == "PollIntervalSec") {
            const std::optional<std::int64_t> seconds =
                value.empty() ? defaults.pollInterval.count() : WholeSeconds(value);
            if (!seconds || *seconds < ClientdSettings::kShortestPoll.count()
                || *seconds > ClientdSettings::kLongestPoll.count())
                return Bad(key, value,
                           "is not whole seconds from " + std::to_string(ClientdSettings::kShortestPoll.count())
                               + " to " + std::to_string(ClientdSettings::kLongestPoll.count()));
            settings.pollInterval = std::chrono::seconds(*seconds);
        } else { // MetricsFile
            if (!value.empty() && (value.front() != '/' || value.back() == '/'))
                return Bad(key, value, "is not an absolute path to a file");
            settings.metricsFile = value;
        }
    }

    // `why` as "is not ..." or "holds ...".
    void Bad(std::string_view key, std::string_view value, const std::string& why)
    {
        Tell(Severity::Error,
             "bad value for " + std::string(key) + ": \"" + Excerpt(value) + "\" " + why + "; it stays as before");
    }

    std::string file_;
    ClientdConfig& config_;
    bool afterServerDropIn_ = false;
    std::size_t told_ = 0;   // diagnostics of this file in the list
    std::size_t untold_ = 0; // and those left out
    Severity untoldSeverity_ = Severity::Warning;
    int line_ = 0;
    std::optional<std::string> section_; // none before the first header or after a bad one
    bool badSection_ = false;
};

// The drop-ins in the order they are read, as their paths and names; a missing folder
// holds none. Listed with readdir: std::filesystem's walk of a folder alone costs the
// service over a quarter of a MiB.
std::vector<std::pair<std::string, std::string>> DropIns(const std::string& folder,
                                                         std::vector<ConfigDiagnostic>& diagnostics)
{
    const std::unique_ptr<DIR, int (*)(DIR*)> listing(opendir(folder.c_str()), closedir);
    int failure = listing ? 0 : errno;
    std::vector<std::string> names;
    while (listing) {
        // The end of the list and a failure both give null: only errno tells them apart.
        errno = 0;
        const dirent* entry = readdir(listing.get());
        if (!entry) {
            failure = errno;
            break;
        }
        const std::string_view name = entry->d_name;
        if (name.size() > 5 && name.ends_with(".conf") && name.front() != '.')
            names.emplace_back(name);
    }
    if (failure == ENOENT)
        return {};
    if (failure != 0) {
        diagnostics.push_back({Severity::Fatal, folder, 0, std::string("cannot be read: ") + std::strerror(failure)});
        return {};
    }
    std::sort(names.begin(), names.end());
    const std::string prefix = folder.ends_with('/') ? folder : folder + "/";
    std::vector<std::pair<std::string, std::string>> dropIns;
    for (std::string& name : names)
        dropIns.emplace_back(prefix + name, std::move(name));
    return dropIns;
}

} // namespace

std::string ConfigDiagnostic::Where() const
{
    // A drop-in's name is whatever someone gave the file.
    return platform::EscapedText(file) + (line > 0 ? ":" + std::to_string(line) : "") + ": " + text;
}

bool ClientdConfig::Fatal() const
{
    return std::any_of(diagnostics.begin(), diagnostics.end(),
                       [](const ConfigDiagnostic& found) { return found.severity == Severity::Fatal; });
}

ClientdConfig ReadClientdConfig(const std::string& mainFile, const std::string& dropInFolder)
{
    ClientdConfig config;
    FileReader(mainFile, config).Read();
    for (const auto& [path, name] : DropIns(dropInFolder, config.diagnostics))
        FileReader(path, config, name > kServerDropIn).Read();
    return config;
}

bool LogConfigDiagnostics(const ClientdConfig& config)
{
    for (const ConfigDiagnostic& diagnostic : config.diagnostics) {
        const std::string line = diagnostic.Where();
        switch (diagnostic.severity) {
        case Severity::Warning:
            qCWarning(platform::lcService, "%s", line.c_str());
            break;
        case Severity::Error:
            qCCritical(platform::lcService, "%s", line.c_str());
            break;
        case Severity::Fatal:
            qCCritical(platform::lcService, "%s: the service does not start", line.c_str());
            break;
        }
    }
    return !config.Fatal();
}

std::string WriteServerDropIn(const std::string& dropInFolder, const std::string& server)
{
    if (const std::string fault = ServerNameFault(server); !fault.empty())
        return "\"" + server + "\" is neither an IPv4 address nor a host name: " + fault;
    return platform::ReplaceFileWhole((std::filesystem::path(dropInFolder) / kServerDropIn).string(),
                                      "[Time]\nServer=" + server + "\n", 0644);
}

} // namespace service
