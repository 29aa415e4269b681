#pragma once

namespace platform {

// Raises this process's soft limit of open descriptors to its hard limit. Desktops start
// programs at 1,024, which a burst of connections from the network could fill.
void RaiseOpenFileLimit();

} // namespace platform
