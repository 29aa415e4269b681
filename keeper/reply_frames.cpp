#include "keeper/reply_frames.h"

#include "platform/escaped_text.h"

#include <algorithm>
#include <utility>

namespace keeper {
namespace {

// What the server sends first in every frame. Checking all of it, not a lone "{", keeps a
// request of any text protocol (which starts with a word) out at its first byte.
constexpr std::string_view kOpening = "{TAVRIN_";
constexpr std::size_t kExcerpt = 24; // of junk, for the log

} // namespace

ReplyFrames::Taken ReplyFrames::Take(std::string_view bytes)
{
    if (!junk_.empty())
        return {{}, junk_};
    std::string text = std::move(unfinished_);
    text += bytes;
    std::size_t whole = 0; // where the frame under way starts
    while (whole < text.size()) {
        const std::size_t opened = std::min(kOpening.size(), text.size() - whole);
        if (text.compare(whole, opened, kOpening, 0, opened) != 0) {
            junk_ = platform::EscapedExcerpt(std::string_view(text).substr(whole), kExcerpt);
            unfinished_.clear();
            return {{}, junk_};
        }
        const std::size_t end = text.find('}', whole + opened);
        if (opened < kOpening.size() || end == std::string::npos)
            break;
        whole = end + 1;
    }
    unfinished_ = text.substr(whole);
    text.resize(whole);
    return {std::move(text), {}};
}

} // namespace keeper
