// Feeds arbitrary reads to the keeper's time-reply handling, behind the window. Besides the sanitizers'
// findings, it stops on a clock set to a second outside 1970 to 9999 UTC, and on a badge
// colour outside its table.

#include "app/main_form.h"
#include "tests/support/fake_services.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <memory>

using app::kButtonFace;
using app::TColor;
using app::TForm1;

namespace {

struct Harness : testsupport::FakeServices {
    Harness()
    {
        form = std::make_unique<TForm1>(Services());
        form->Timer1->stop();
    }
    ~Harness() { form.reset(); }

    std::unique_ptr<TForm1> form;
};

Harness* harness = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_LOGGING_RULES", "tavrin.*=false"); // a line per clock step would drown the run
    static QApplication application(*argc, *argv);
    static Harness made;
    harness = &made;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    TForm1& form = *harness->form;
    std::vector<std::int64_t>& set = harness->clockSetter.set;
    keeper::ClockKeeper& keeper = *form.clockKeeper;
    keeper.requestSentAt = std::chrono::steady_clock::now(); // the frames answer a request of ours
    keeper.SplitTimeReply(std::string(reinterpret_cast<const char*>(data), size));
    for (const std::int64_t second : set) {
        if (second < 0 || second > 253'402'300'799) {
            std::fprintf(stderr, "clock set to a count out of range: %lld\n", static_cast<long long>(second));
            std::abort();
        }
    }
    set.clear();
    harness->clockSetter.setAt.clear();
    harness->tray.requests.clear(); // the fake tray keeps every request it was given
    const TColor colour = form.tsStatus->Color();
    if (colour != 0x0000FF && colour != 0x00FFFF && colour != 0x00FF00 && colour != kButtonFace)
        std::abort();
    return 0;
}
