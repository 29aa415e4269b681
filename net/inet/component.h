#pragma once

#include "net/inet/stack.h"

#include <optional>

namespace net::inet {

// How a component begins its life: ready for use, or still being set up by its owner.
// While loading, a write to Active is only noted; the owner's call of Loaded() at the
// end of its set-up carries it out, so that nothing starts before the owner (and the
// handlers it binds) is complete.
enum class ComponentStart { Ready, Loading };

// Base of the internet components. While any of them lives, the process has one
// TIdStack, made with the first and freed with the last.
class TIdComponent {
public:
    TIdComponent(const TIdComponent&) = delete;
    TIdComponent& operator=(const TIdComponent&) = delete;
    virtual ~TIdComponent();

    bool Loading() const { return loading_; }
    // Ends the loading state; components with a switch override it to carry out the
    // write of Active noted meanwhile. Once loaded, further calls do nothing.
    virtual void Loaded() { FinishLoading(); }

protected:
    explicit TIdComponent(ComponentStart start);

    // While loading, notes a write of Active and returns true: the caller does no more.
    bool NotedWhileLoading(bool active);
    bool NotedActive() const { return notedActive_; }
    // Ends loading and hands back the Active noted meanwhile; nothing when loading had
    // ended already.
    std::optional<bool> FinishLoading();

private:
    bool loading_;
    bool notedActive_ = false;
};

// The process's stack; null while no component lives. Components are made and
// destroyed on the main thread; their worker threads use the stack while it lives.
TIdStack* ProcessStack();

} // namespace net::inet
