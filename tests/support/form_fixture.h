#pragma once

#include "app/main_form.h"
#include "tests/support/fake_services.h"

#include <gtest/gtest.h>

#include <memory>

namespace testsupport {

// A main window over fake services; its timers are stopped so that the test drives every
// tick itself.
class FormTest : public testing::Test, protected FakeServices {
protected:
    void SetUp() override
    {
        clock.Set(12, 0, 0);
        MakeForm();
    }
    void TearDown() override { form.reset(); }

    void MakeForm()
    {
        form = std::make_unique<TForm1>(Services());
        form->Timer1->stop();
    }

    void Tick() { form->Timer1Timer(form->Timer1); }

    std::unique_ptr<TForm1> form;
};

} // namespace testsupport
