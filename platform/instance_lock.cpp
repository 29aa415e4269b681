#include "platform/instance_lock.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace platform {

std::string FileInstanceLocks::LockDirectory()
{
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime)
        return runtime;
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/tavrin-" + std::to_string(getuid());
    // Usually there already; whatever else went wrong, the look below finds out.
    [[maybe_unused]] const int made = mkdir(dir.c_str(), 0700);
    // A shared temporary directory: use the folder only if it is really ours.
    struct stat info {};
    if (lstat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != getuid()
        || (info.st_mode & 0077) != 0)
        return {};
    return dir;
}

bool FileInstanceLocks::Acquire(const std::string& name)
{
    const std::string dir = LockDirectory();
    if (dir.empty())
        return true;
    const std::string path = dir + "/" + name;
    UniqueFd file(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!file)
        return true;
    if (flock(file.Get(), LOCK_EX | LOCK_NB) == 0) {
        held_.push_back(std::move(file)); // the lock is held while the descriptor is open
        return true;
    }
    return errno != EWOULDBLOCK;
}

} // namespace platform
