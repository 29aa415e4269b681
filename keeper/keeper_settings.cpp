#include "keeper/keeper_settings.h"

#include <arpa/inet.h>
#include <strings.h>

#include <utility>

namespace keeper {

ServerName::ServerName(std::string text) : text_(std::move(text))
{
    in_addr address{};
    isAddress_ = inet_pton(AF_INET, text_.c_str(), &address) == 1;
}

bool ServerName::SameName(const std::string& name) const
{
    return !text_.empty() && strcasecmp(text_.c_str(), name.c_str()) == 0;
}

} // namespace keeper
