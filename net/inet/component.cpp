#include "net/inet/component.h"

#include <memory>
#include <mutex>
#include <utility>

namespace net::inet {
namespace {

std::mutex ComponentLock;
int ComponentCount = 0;
std::unique_ptr<TIdStack> processStack;

} // namespace

TIdComponent::TIdComponent(ComponentStart start) : loading_(start == ComponentStart::Loading)
{
    const std::lock_guard lock(ComponentLock);
    if (ComponentCount++ == 0)
        processStack = std::make_unique<TIdStack>();
}

TIdComponent::~TIdComponent()
{
    const std::lock_guard lock(ComponentLock);
    if (--ComponentCount == 0)
        processStack.reset();
}

bool TIdComponent::NotedWhileLoading(bool active)
{
    if (!loading_)
        return false;
    notedActive_ = active;
    return true;
}

std::optional<bool> TIdComponent::FinishLoading()
{
    if (!loading_)
        return std::nullopt;
    loading_ = false;
    return std::exchange(notedActive_, false);
}

TIdStack* ProcessStack()
{
    return processStack.get();
}

} // namespace net::inet
