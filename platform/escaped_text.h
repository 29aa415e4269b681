#pragma once

// Text that came from elsewhere (a settings file, another program on the bus) made safe to
// show on a terminal or in the log, as systemctl shows strings it did not make: nothing
// in it can move the cursor, change colours or start a line of its own.

#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

// `text` with C escapes for what a terminal would act on: \a \b \t \n \v \f \r and \\ by
// name, every other control character (C0, DEL, and C1 such as the one-byte CSI) and every
// byte that is not part of well-formed UTF-8 as \xNN. Letters beyond ASCII stay as they are.
std::string EscapedText(std::string_view text);

// The start of `text`, escaped, of at most `longest` bytes as written (an escape counts
// for all of its characters; a character is never cut in two), with "…" after it when
// something was left out: a short piece of a line for the log.
std::string EscapedExcerpt(std::string_view text, std::size_t longest);

} // namespace platform
