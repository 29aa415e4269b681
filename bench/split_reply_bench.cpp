// A flood of frames in one read: 256 KB and 1 MB of the shortest frames ("{TAVRIN_}", each
// an invalid code that still runs its clock tick), split and applied by the window with the
// real local clock and a fake clock setter. The time of the larger read over the smaller
// one's is near 4 when the work grows linearly; the program fails when it exceeds 6.
//
//   build/bench/split_reply_bench

#include "app/main_form.h"
#include "platform/local_clock.h"
#include "tests/support/fake_services.h"

#include <QApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string_view>

using app::FormServices;
using app::TForm1;

namespace {

constexpr int kRounds = 3;
constexpr double kLinearLimit = 6.0; // quadratic work would give 16
// The shortest frame that opens right: its code, without fields, is invalid.
constexpr std::string_view kFrame = "{TAVRIN_}";

struct Bench : testsupport::FakeServices {
    Bench()
    {
        // The fakes but for the clock, which is the machine's own.
        const FormServices services{application, locks, realClock, sound, tray, registry, clockSetter, ports};
        form = std::make_unique<TForm1>(services);
        form->Timer1->stop();
        form->Timer1Timer(form->Timer1);
        form->clockKeeper->FetchTimeAndDate(); // the first request out of the way
        form->clockKeeper->LocalGroupTimer->stop();
    }
    ~Bench() { form.reset(); }

    platform::SystemLocalClock realClock;
    std::unique_ptr<TForm1> form;
};

double SecondsToSplit(Bench& bench, const std::string& read)
{
    bench.form->clockKeeper->requestSentAt = std::chrono::steady_clock::now(); // answers a request of ours
    const auto start = std::chrono::steady_clock::now();
    bench.form->clockKeeper->SplitTimeReply(read);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string Frames(std::size_t bytes)
{
    std::string read;
    read.reserve(bytes);
    while (read.size() + kFrame.size() <= bytes)
        read += kFrame;
    return read;
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    Bench bench;
    const std::string small = Frames(std::size_t{256} * 1024);
    const std::string large = Frames(std::size_t{1024} * 1024);

    double bestSmall = 1e9;
    double bestLarge = 1e9;
    for (int round = 0; round < kRounds; ++round) {
        bestSmall = std::min(bestSmall, SecondsToSplit(bench, small));
        bestLarge = std::min(bestLarge, SecondsToSplit(bench, large));
    }
    const double ratio = bestLarge / bestSmall;
    const std::size_t smallFrames = small.size() / kFrame.size();
    const std::size_t largeFrames = large.size() / kFrame.size();
    std::printf("256 KB: %zu frames in %.3f s (%.2f us a frame)\n", smallFrames, bestSmall,
                bestSmall * 1e6 / static_cast<double>(smallFrames));
    std::printf("1 MB:   %zu frames in %.3f s (%.2f us a frame)\n", largeFrames, bestLarge,
                bestLarge * 1e6 / static_cast<double>(largeFrames));
    std::printf("ratio:  %.2f (linear: 4; fails above %.0f)\n", ratio, kLinearLimit);
    return ratio <= kLinearLimit ? 0 : 1;
}
