#include "platform/replace_file.h"

#include "platform/unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace platform {
namespace {

bool WriteAll(int fd, std::string_view data)
{
    while (!data.empty()) {
        const ssize_t written = write(fd, data.data(), data.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

} // namespace

std::string ReplaceFileWhole(const std::string& path, std::string_view data, mode_t mode)
{
    const std::filesystem::path target(path);
    const std::filesystem::path folder = target.parent_path().empty() ? "." : target.parent_path();
    std::string temporary = (folder / ("." + target.filename().string() + ".XXXXXX")).string();
    UniqueFd file(mkostemp(temporary.data(), O_CLOEXEC));
    if (!file)
        return "cannot make a file in " + folder.string() + ": " + std::strerror(errno);

    const char* failedStep = nullptr;
    if (fchmod(file.Get(), mode) != 0)
        failedStep = "set the permissions of";
    else if (!WriteAll(file.Get(), data))
        failedStep = "write";
    else if (fsync(file.Get()) != 0)
        failedStep = "sync";
    else if (file.Close() != 0)
        failedStep = "close";
    else if (rename(temporary.c_str(), path.c_str()) != 0)
        failedStep = "rename the new file onto";
    if (failedStep) {
        const int error = errno;
        // Tidying up: the replacement has failed either way.
        [[maybe_unused]] const int removed = unlink(temporary.c_str());
        return std::string("cannot ") + failedStep + " " + path + ": " + std::strerror(error);
    }

    // The new file is in place; should the folder not reach the disk before a crash, the
    // old file comes back, whole.
    if (const UniqueFd folderFd(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)); folderFd) {
        [[maybe_unused]] const int synced = fsync(folderFd.Get());
    }
    return {};
}

} // namespace platform
