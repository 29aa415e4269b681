#pragma once

// Replacing a file whole, so that whoever reads it meanwhile sees the old content or the
// new one, never a part, and a crash or a full disk leaves the old one in place.

#include <sys/types.h>

#include <string>
#include <string_view>

namespace platform {

// Replaces `path` (or makes it) by a file holding `data`, with the permission bits `mode`
// whatever the umask. The content goes first into a hidden file beside it,
// ".<name>.XXXXXX", which no reader's "*.conf" or "*.prom" takes for its own; that file
// is synced and renamed over `path`, and the folder synced after. On failure `path` stays
// as it was and the hidden file is gone. Returns why it failed, in words naming the file;
// empty on success.
[[nodiscard]] std::string ReplaceFileWhole(const std::string& path, std::string_view data, mode_t mode);

} // namespace platform
