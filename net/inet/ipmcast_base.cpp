#include "net/inet/ipmcast_client.h"

#include "framework/convert.h"
#include "net/inet/exceptions.h"

namespace net::inet {

TIdIPMCastBase::TIdIPMCastBase(ComponentStart start) : TIdComponent(start) {}

bool TIdIPMCastBase::Active() const
{
    return NotedActive() || Joined();
}

void TIdIPMCastBase::SetActive(bool value)
{
    if (value == Active())
        return;
    if (NotedWhileLoading(value))
        return;
    if (value)
        JoinGroup();
    else
        LeaveGroup();
}

void TIdIPMCastBase::Loaded()
{
    if (const auto wanted = FinishLoading())
        SetActive(*wanted);
}

void TIdIPMCastBase::SetMulticastGroup(const std::string& group)
{
    if (group == multicastGroup_)
        return;
    if (!IsMulticastAddress(group))
        throw EIdMCastNotValidAddress();
    SetActive(false);
    multicastGroup_ = group;
}

bool TIdIPMCastBase::IsMulticastAddress(const std::string& text)
{
    if (!TIdStack::IsDottedQuad(text))
        return false;
    std::string rest = text;
    const int first = framework::StrToInt(TIdStack::SplitAtFirst(rest, "."));
    return first >= 224 && first <= 239;
}

} // namespace net::inet
