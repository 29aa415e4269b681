#pragma once

// The main window over fake services, for measuring its handlers.

#include "app/main_form.h"
#include "tests/support/fake_services.h"

#include <memory>

namespace bench {

// Timers stopped, so that only what is measured runs; the first tick's request out of
// the way.
struct BenchForm : testsupport::FakeServices {
    BenchForm()
    {
        form = std::make_unique<app::TForm1>(Services());
        form->Timer1->stop();
        clock.Set(12, 34, 0);
        form->Timer1Timer(form->Timer1);
        form->clockKeeper->FetchTimeAndDate(); // the first request out of the way
        form->clockKeeper->LocalGroupTimer->stop();
    }
    ~BenchForm() { form.reset(); }

    std::unique_ptr<app::TForm1> form;
};

} // namespace bench
