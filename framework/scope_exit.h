#pragma once

#include <type_traits>
#include <utility>

namespace framework {

// Runs an action when the scope that holds it ends, however it ends: by falling off its
// end, by a return or by an exception. What a flag or a resource must get back on every
// way out is then written once, next to where it was taken:
//
//     busy_ = true;
//     const ScopeExit idleAgain([this]() noexcept { busy_ = false; });
//
// The action may run while an exception travels, where a second one would end the
// program, so it must be noexcept. Dismiss() keeps it from running, for an action that
// undoes a step only when what follows fails.
template <typename Action>
class [[nodiscard]] ScopeExit {
    static_assert(std::is_nothrow_invocable_v<Action&>, "a scope's exit action must be noexcept");

public:
    explicit ScopeExit(Action action) noexcept(std::is_nothrow_move_constructible_v<Action>)
        : action_(std::move(action))
    {
    }
    ~ScopeExit()
    {
        if (armed_)
            action_();
    }
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;

    void Dismiss() noexcept { armed_ = false; }

private:
    Action action_;
    bool armed_ = true;
};

} // namespace framework
