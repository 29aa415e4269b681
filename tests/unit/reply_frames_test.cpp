// What a reply connection may send, read by read: frames and nothing else.

#include "keeper/reply_frames.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

TEST(ReplyFrames, GivesWholeFramesAsTheyCompleteAndNothingOnceJunkCame)
{
    const std::string frame = "{TAVRIN_1,0,2,00421211371200}";
    const std::string other = "{TAVRIN_3,0,1,00431211371260}";
    struct Read {
        std::string bytes;
        std::string frames; // what this read gives
        bool junk = false;
    };
    struct Case {
        const char* what;
        std::vector<Read> reads;
    };
    const std::vector<Case> cases = {
        {"two frames", {{frame + other, frame + other}}},
        {"a frame cut in its code", {{frame.substr(0, 12), ""}, {frame.substr(12) + other, frame + other}}},
        {"cut inside the opening", {{"{TAV", ""}, {frame.substr(4), frame}}},
        {"a browser's request", {{"POST / HTTP/1.1\r\nHost: 127.0.0.1:6646\r\n\r\nx}" + frame, "", true}}},
        {"a brace alone is no opening", {{"{abc}" + frame, "", true}}},
        {"a character between frames", {{frame + "x" + other, "", true}}},
        {"a line end after a frame", {{frame + "\r\n", "", true}}},
        {"a cut opening that goes wrong", {{"{TAV", ""}, {"X_1}", "", true}}},
        {"a lone brace, then junk", {{"{", ""}, {"POST / HTTP/1.1", "", true}, {frame, "", true}}},
        {"junk after frames of an earlier read", {{frame, frame}, {"}" + other, "", true}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        keeper::ReplyFrames frames;
        for (const Read& read : c.reads) {
            const keeper::ReplyFrames::Taken taken = frames.Take(read.bytes);
            EXPECT_EQ(taken.frames, read.frames) << read.bytes;
            EXPECT_EQ(!taken.junk.empty(), read.junk) << read.bytes;
        }
    }
}
