#include "framework/text.h"

#include <algorithm>

namespace framework {

int Pos(std::string_view needle, std::string_view text)
{
    if (needle.empty())
        return 0;
    const auto found = text.find(needle);
    return found == std::string_view::npos ? 0 : static_cast<int>(found) + 1;
}

std::string Copy(std::string_view text, int index, int count)
{
    const int length = static_cast<int>(text.size());
    if (index < 1 || index > length || count <= 0)
        return {};
    return std::string(text.substr(index - 1, std::min(count, length - index + 1)));
}

void Delete(std::string& text, int index, int count)
{
    const int length = static_cast<int>(text.size());
    if (index < 1 || index > length || count <= 0)
        return;
    text.erase(index - 1, std::min(count, length - index + 1));
}

} // namespace framework
