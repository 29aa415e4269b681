#include "platform/registry_hive.h"

#include "platform/log.h"
#include "platform/unique_fd.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <utility>

namespace platform {
namespace {

// Far more than any settings a person keeps: a bigger file is a mistake, not settings.
constexpr off_t kMaxHiveSize = 1 << 20;

std::string ParentFolder(const std::string& path)
{
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string Fault(const std::string& path, const std::string& what)
{
    return path + ": " + what;
}

const char* KindOf(mode_t mode)
{
    if (S_ISDIR(mode))
        return "a folder";
    if (S_ISCHR(mode))
        return "a character device";
    if (S_ISBLK(mode))
        return "a block device";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISSOCK(mode))
        return "a socket";
    return "something else";
}

void CheckReadable(const std::string& path, const struct stat& info)
{
    if (!S_ISREG(info.st_mode))
        throw HiveFormatError(Fault(path, std::string("refused: ") + KindOf(info.st_mode) + ", not a regular file"));
    if (info.st_size > kMaxHiveSize)
        throw HiveFormatError(Fault(path, "refused: " + std::to_string(info.st_size) + " bytes, larger than 1 MiB"));
}

// The whole text of a hive file; nothing when there is no such file. Anything but a
// regular file of at most 1 MiB is refused before a byte is read, and opening never waits
// (a FIFO would wait for a writer).
std::optional<std::string> ReadHiveText(const std::string& path)
{
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        if (errno == ENOENT)
            return std::nullopt;
        throw HiveFormatError(Fault(path, std::string("cannot be read: ") + std::strerror(errno)));
    }
    CheckReadable(path, info);
    const UniqueFd file(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!file || fstat(file.Get(), &info) != 0)
        throw HiveFormatError(Fault(path, std::string("cannot be read: ") + std::strerror(errno)));
    CheckReadable(path, info); // it may have been swapped since the first look
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(file.Get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw HiveFormatError(Fault(path, std::string("cannot be read: ") + std::strerror(errno)));
        if (n == 0)
            return text;
        text.append(buffer, static_cast<std::size_t>(n));
        if (text.size() > static_cast<std::size_t>(kMaxHiveSize))
            throw HiveFormatError(Fault(path, "refused: larger than 1 MiB"));
    }
}

// The file that a save replaces: the end of the chain of symbolic links from `path`,
// which need not exist yet. Dotfile managers link the settings file into a repository
// of their own; replacing the link would cut it off.
std::string LinkTarget(std::string path)
{
    for (int hops = 0; hops < 40; ++hops) {
        struct stat info {};
        if (lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode))
            return path;
        std::string target(PATH_MAX, '\0');
        const ssize_t n = readlink(path.c_str(), target.data(), target.size());
        if (n <= 0 || static_cast<std::size_t>(n) >= target.size())
            return path;
        target.resize(static_cast<std::size_t>(n));
        path = target[0] == '/' ? target : ParentFolder(path) + "/" + target;
    }
    return path; // a loop of links, which reading the file has refused already
}

std::string UserName(uid_t uid)
{
    if (const passwd* user = getpwuid(uid))
        return user->pw_name;
    return "uid " + std::to_string(uid);
}

// Why this program should not make files in `folder`, empty when it may: the folder, or
// the nearest one above it that exists, belongs to another user. A sticky folder such as
// /tmp is shared by design: what one makes there stays one's own.
std::string ForeignFolder(std::string folder)
{
    struct stat info {};
    while (stat(folder.c_str(), &info) != 0) {
        if (errno != ENOENT || folder == "/" || folder == ".")
            return {}; // the write itself fails and says so
        folder = ParentFolder(folder);
    }
    if (info.st_uid == geteuid() || (info.st_mode & S_ISVTX) != 0)
        return {};
    return folder + " belongs to " + UserName(info.st_uid);
}

void MakeFolders(const std::string& folder)
{
    for (std::size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
        // Most are there already; a folder that cannot be made fails the save, which says so.
        [[maybe_unused]] const int made = mkdir(folder.substr(0, slash).c_str(), 0700);
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
        if (n == 0)
            errno = ENOSPC; // a regular file takes no more bytes only when the disk is full
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// What failed and the system's reason.
std::string Failure(const std::string& what, int error)
{
    return what + ": " + std::strerror(error);
}

// Replaces `path` by a file holding `data`, made beside it so that the rename is atomic:
// the file is either all there or not at all, even when the disk fills or the machine
// stops half-way. The new file keeps the old one's permissions. Empty when done, else what
// failed.
std::string ReplaceFile(const std::string& path, const std::string& data)
{
    std::string temporary = path + ".XXXXXX";
    UniqueFd file(mkostemp(temporary.data(), O_CLOEXEC));
    if (!file)
        return Failure("cannot make a file in " + ParentFolder(path), errno);
    std::string failure;
    struct stat old {};
    if (stat(path.c_str(), &old) == 0 && fchmod(file.Get(), old.st_mode & 07777) != 0)
        failure = Failure("cannot give " + temporary + " the permissions of " + path, errno);
    else if (!WriteAll(file.Get(), data) || fsync(file.Get()) != 0)
        failure = Failure("cannot write " + temporary, errno);
    if (file.Close() != 0 && failure.empty())
        failure = Failure("cannot write " + temporary, errno);
    if (failure.empty() && rename(temporary.c_str(), path.c_str()) != 0)
        failure = Failure("cannot replace " + path, errno);
    if (!failure.empty()) {
        // Tidying up: the save has failed either way.
        [[maybe_unused]] const int removed = unlink(temporary.c_str());
        return failure;
    }
    // The new file is in place; should the folder not reach the disk before a crash, the
    // old settings come back, whole.
    if (const UniqueFd folder(open(ParentFolder(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)); folder) {
        [[maybe_unused]] const int synced = fsync(folder.Get());
    }
    return {};
}

// Takes the exclusive lock on the open lock file `fd`, waiting at most `patience` for
// another program to let it go; the lock is asked for again and again rather than waited
// for, as a blocking wait could not be bounded. 0 once held, EWOULDBLOCK when the time ran
// out, or the errno of a failure.
int LockWithin(int fd, std::chrono::milliseconds patience)
{
    // Another save holds the lock for milliseconds: asking this often takes it about as soon
    // as a blocking wait would, and costs a system call each time.
    constexpr auto kPause = std::chrono::milliseconds(2);
    const auto deadline = std::chrono::steady_clock::now() + patience;
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0)
            return 0;
        if (errno == EINTR)
            continue;
        if (errno != EWOULDBLOCK)
            return errno;
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline)
            return EWOULDBLOCK;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(kPause, deadline - now));
    }
}

} // namespace

FileRegistryHive::FileRegistryHive(std::string path, std::vector<std::string> defaultsPaths)
    : path_(std::move(path)), defaultsPaths_(std::move(defaultsPaths))
{
    WriteRefusal(); // said at start, not first when the user tries to save
}

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

std::vector<std::string> FileRegistryHive::DefaultsPaths()
{
    const char* variable = std::getenv("XDG_CONFIG_DIRS");
    const std::string folders = variable && *variable ? variable : "/etc/xdg";
    std::vector<std::string> paths;
    for (std::size_t start = 0; start <= folders.size();) {
        const auto end = std::min(folders.find(':', start), folders.size());
        std::string folder = folders.substr(start, end - start);
        while (folder.size() > 1 && folder.back() == '/')
            folder.pop_back();
        if (!folder.empty() && folder[0] == '/') // relative entries are not meant to count
            paths.push_back(folder + "/tavrin-client/user.reg");
        start = end + 1;
    }
    return paths;
}

RegistryKeys FileRegistryHive::Load()
{
    try {
        const auto text = ReadHiveText(path_);
        RegistryKeys keys = text ? RegistryKeys::Parse(*text, path_) : Defaults();
        faultLogged_.clear();
        return keys;
    } catch (const HiveFormatError& error) {
        // The user is shown it too, but a client started with the session leaves a trace
        // here; once for each fault, as every later read meets it again.
        if (std::exchange(faultLogged_, error.what()) != error.what())
            qCWarning(lcSettings, "settings file not used: %s", error.what());
        throw;
    }
}

const RegistryKeys& FileRegistryHive::Defaults() const
{
    if (!defaults_) {
        defaults_.emplace();
        for (const std::string& path : defaultsPaths_) {
            try {
                if (const auto text = ReadHiveText(path)) {
                    defaults_ = RegistryKeys::Parse(*text, path);
                    qCInfo(lcSettings, "no settings file of the user's own: starting from %s", path.c_str());
                    break;
                }
            } catch (const HiveFormatError& error) {
                qCWarning(lcSettings, "defaults not used: %s", error.what());
            }
        }
    }
    return *defaults_;
}

template <typename Change>
bool FileRegistryHive::Update(Change change)
{
    if (!WriteRefusal().empty())
        return false;
    const auto logNotSaved = [](const std::string& why) {
        qCWarning(lcSettings, "settings not saved: %s", why.c_str());
    };
    MakeFolders(ParentFolder(path_));
    // The hive file itself is replaced on every save, so it cannot carry the lock. The lock
    // file is never followed as a link, which would let whoever can make one there have
    // this program make or lock a file elsewhere.
    const std::string lockPath = path_ + ".lock";
    const UniqueFd lock(open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!lock) {
        logNotSaved(Failure("cannot open " + lockPath, errno));
        return false;
    }
    const int locked = LockWithin(lock.Get(), kLockPatience);
    if (locked == EWOULDBLOCK) {
        const std::string busy = "another program holds " + lockPath;
        logNotSaved(busy);
        throw HiveBusyError(busy);
    }
    // A file system without locks (ENOLCK) saves unlocked, as it could not save at all otherwise.
    if (locked != 0 && locked != ENOLCK) {
        logNotSaved(Failure("cannot lock " + lockPath, locked));
        return false;
    }
    RegistryKeys keys = Load(); // raises for a file that cannot be used, which stays as it is
    change(keys);
    if (const std::string failure = ReplaceFile(LinkTarget(path_), keys.Format()); !failure.empty()) {
        logNotSaved(failure);
        return false;
    }
    return true;
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

bool FileRegistryHive::SetValues(const std::string& path, const NamedValues& values)
{
    return Update([&](RegistryKeys& keys) {
        for (const auto& [name, value] : values)
            keys.SetValue(path, name, value);
    });
}

std::string FileRegistryHive::WriteRefusal()
{
    std::string refusal = ForeignFolder(ParentFolder(path_));
    if (refusal.empty())
        refusal = ForeignFolder(ParentFolder(LinkTarget(path_)));
    if (!refusal.empty() && !std::exchange(refusalLogged_, true))
        qCWarning(lcSettings, "settings are not saved: %s, and this program runs as %s", refusal.c_str(),
                  UserName(geteuid()).c_str());
    return refusal;
}

} // namespace platform
