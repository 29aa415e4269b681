#include "net/inet/component.h"

#include <memory>
#include <mutex>

namespace {

std::mutex componentLock;
int componentCount = 0;
std::unique_ptr<TIdStack> processStack;

} // namespace

TIdComponent::TIdComponent(TComponentStart start) : loading_(start == TComponentStart::Loading)
{
    const std::lock_guard lock(componentLock);
    if (componentCount++ == 0)
        processStack = std::make_unique<TIdStack>();
}

TIdComponent::~TIdComponent()
{
    const std::lock_guard lock(componentLock);
    if (--componentCount == 0)
        processStack.reset();
}

TIdStack* ProcessStack()
{
    return processStack.get();
}
