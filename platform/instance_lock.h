#pragma once

#include "platform/unique_fd.h"

#include <string>
#include <vector>

namespace platform {

// Named locks that say whether another copy of the program runs. A lock belongs to the
// process that took it and goes away with it, however the process ends.
class InstanceLocks {
public:
    virtual ~InstanceLocks() = default;

    // Takes the lock `name` for the rest of this process's life. Returns false when
    // another process holds it. A lock that cannot be made at all counts as free: the
    // program then runs, only without protection against a second copy.
    [[nodiscard]] virtual bool Acquire(const std::string& name) = 0;
};

// flock()ed files "<name>" in $XDG_RUNTIME_DIR, or in a private per-user folder under
// the temporary directory when that is unset. The locks taken are held while this object
// lives, which for the program's is the life of the process.
class FileInstanceLocks final : public InstanceLocks {
public:
    [[nodiscard]] bool Acquire(const std::string& name) override;

    // Empty when no safe folder exists.
    static std::string LockDirectory();

private:
    std::vector<UniqueFd> held_;
};

} // namespace platform
