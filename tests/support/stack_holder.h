#pragma once

#include "net/inet/component.h"

namespace testsupport {

// Any internet component keeps the process's socket stack; this one does nothing else.
class StackHolder final : public net::inet::TIdComponent {
public:
    StackHolder() : net::inet::TIdComponent(net::inet::ComponentStart::Ready) {}
};

} // namespace testsupport
