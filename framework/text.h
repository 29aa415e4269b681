#pragma once

#include <string>
#include <string_view>

// Byte-string routines with 1-based character positions, the way the protocol texts and
// their fields are counted.
namespace framework {

// Position of the first occurrence of `needle` in `text`, or 0 when absent or empty.
int Pos(std::string_view needle, std::string_view text);

// Up to `count` characters from `index` on; empty when `index` lies outside the text or
// `count` is not positive, clipped at the end.
std::string Copy(std::string_view text, int index, int count);

// Removes up to `count` characters from `index` on; nothing when `index` lies outside
// the text or `count` is not positive.
void Delete(std::string& text, int index, int count);

} // namespace framework
