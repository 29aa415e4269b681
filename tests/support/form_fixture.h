#pragma once

#include "app/main_form.h"
#include "tests/support/fake_services.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

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
        form = std::make_unique<app::TForm1>(Services());
        form->Timer1->stop();
    }

    void Tick() { form->Timer1Timer(form->Timer1); }

    // As if a request had just gone out: the replies that follow may set the clock.
    void AwaitReply() { form->clockKeeper->requestSentAt = std::chrono::steady_clock::now(); }

    // The badge for a time source and a sync state, as the keeper shows them.
    void ShowBadge(int source, int state) { form->ShowSyncBadge(source, state); }

    void ExpectBadge(const std::string& caption, app::TColor background, app::TColor text)
    {
        EXPECT_EQ(form->tsStatus->Caption(), caption);
        EXPECT_EQ(form->tsStatus->Color(), background);
        EXPECT_EQ(form->tsStatus->FontColor(), text);
    }

    std::unique_ptr<app::TForm1> form;
};

} // namespace testsupport
