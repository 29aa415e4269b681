#pragma once

#include <exception>
#include <functional>
#include <string>

namespace testsupport {

// The message of the `Expected` that `action` raised; "(nothing raised)" when it returned.
// Anything else it raises goes on to the test, which fails.
template <typename Expected = std::exception>
std::string RaisedBy(const std::function<void()>& action)
{
    try {
        action();
    } catch (const Expected& error) {
        return error.what();
    }
    return "(nothing raised)";
}

} // namespace testsupport
