#pragma once

#include <string>

namespace platform {

// Named locks that say whether another copy of the program runs. A lock belongs to the
// process that took it and goes away with it, however the process ends.
class InstanceLocks {
public:
    virtual ~InstanceLocks() = default;

    // Takes the lock `name` for the rest of this process's life. Returns false when
    // another process holds it. A lock that cannot be made at all counts as free: the
    // program then runs, only without protection against a second copy.
    virtual bool Acquire(const std::string& name) = 0;
};

// flock()ed files "<name>" in $XDG_RUNTIME_DIR, or in a private per-user folder under
// the temporary directory when that is unset.
class FileInstanceLocks final : public InstanceLocks {
public:
    bool Acquire(const std::string& name) override;

    // Empty when no safe folder exists.
    static std::string LockDirectory();
};

} // namespace platform
