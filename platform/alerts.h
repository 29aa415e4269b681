#pragma once

#include <string>

namespace platform {

enum class AlertIcon { Error, Exclamation };

// Modal message boxes with one OK button.
class Alerts {
public:
    virtual ~Alerts() = default;

    // Returns when the user has dismissed the box; events go on being handled meanwhile.
    virtual void Show(const std::string& caption, const std::string& text, AlertIcon icon) = 0;
};

} // namespace platform
