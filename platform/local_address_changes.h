#pragma once

// Whether the local host's addresses may have changed, as the system tells it: a watch
// that costs one look at a socket while nothing changes, where listing the addresses to
// compare them costs a dump of every interface.

#include "platform/unique_fd.h"

namespace platform {

class LocalAddressChanges {
public:
    virtual ~LocalAddressChanges() = default;

    // True at the first call, and when the addresses may have changed since the last
    // one. Never waits. Calls come from one thread at a time.
    virtual bool MayHaveChanged() = 0;

    // A descriptor that turns readable (or tells a fault) when a change may have been told,
    // for a caller that waits in the system rather than asking again and again; the next
    // MayHaveChanged takes what made it readable. -1 where there is none: then only asking
    // tells.
    virtual int Descriptor() const { return -1; }
};

// The kernel's notices of IPv4 addresses and of interfaces (rtnetlink), subscribed to
// when made: a change after that is told by the next call. Where the notices cannot be
// had, or some were lost, a call says true.
class SystemLocalAddressChanges final : public LocalAddressChanges {
public:
    SystemLocalAddressChanges();

    bool MayHaveChanged() override;
    int Descriptor() const override { return notices_.Get(); }

private:
    UniqueFd notices_;
    bool first_ = true;
};

} // namespace platform
