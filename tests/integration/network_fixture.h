#pragma once

#include "tests/support/private_network.h"

#include <gtest/gtest.h>

namespace testsupport {

// Each test program runs in a network namespace of its own (see EnterPrivateNetwork),
// so fixed ports and groups meet no one else's traffic.
class PrivateNetworkTest : public testing::Test {
protected:
    void SetUp() override
    {
        if (const std::string why = EnterPrivateNetwork(); !why.empty())
            GTEST_SKIP() << why;
    }
};

} // namespace testsupport
