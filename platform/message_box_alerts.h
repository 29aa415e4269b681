#pragma once

#include "platform/alerts.h"

namespace platform {

// The alerts as Qt message boxes.
class MessageBoxAlerts final : public Alerts {
public:
    void Show(const std::string& caption, const std::string& text, AlertIcon icon) override;
};

} // namespace platform
