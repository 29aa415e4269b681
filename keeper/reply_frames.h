#pragma once

// The frames of one reply connection, checked as its bytes arrive. A reply is frames and
// nothing else: each is "{TAVRIN_", the rest of its time code and "}", one right after the
// other. Anything else (a browser's request sent to the reply port, say) is no reply, and
// nothing of it may reach the clock.

#include <cstddef>
#include <string>
#include <string_view>

namespace keeper {

class ReplyFrames {
public:
    struct Taken {
        std::string frames; // the whole frames these bytes complete, as they came
        // Empty while all is frames so far; else where a frame should have started, as a
        // short excerpt with anything unprintable escaped, and nothing of the read is given.
        std::string junk;
    };

    // Takes the connection's next bytes. A frame cut by the end of the bytes, even inside
    // its opening, waits for the rest. Once junk has come, nothing more is given.
    Taken Take(std::string_view bytes);
    // Bytes of a frame whose end has not come yet.
    std::size_t Unfinished() const { return unfinished_.size(); }

private:
    std::string unfinished_;
    std::string junk_;
};

} // namespace keeper
