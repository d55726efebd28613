// The run a play window places frames by, on files of the kinds the random
// plays draw whose frames are never silent: no passage half as long as the
// run is held twice among its places, so a run's frames place it by chance
// no more often than the file's own frames tell apart.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string_view>
#include <unordered_map>

#include "sim/host/harness/host_play_window.h"

namespace
{
// Half a second of 16-bit stereo frames at `rate` and a run more: noise held
// for `shortest` to `longest` frames, 2 to 4 values (`values`), or (`longest`
// 0) a 997 Hz sine.
std::vector<UCHAR> Kind(ULONG rate, size_t shortest, size_t longest, size_t values)
{
    std::mt19937 random(85);
    const size_t frames = rate / 2 + HostPlayWindow::kLongestRun;
    std::vector<SHORT> samples(2 * frames);
    for (size_t f = 0, left = 0; f < frames; ++f, --left)
    {
        if (longest != 0 && left == 0)
        {
            samples[2 * f] = (SHORT)(1 + random() % (values != 0 ? values : 0x7ffe));
            samples[2 * f + 1] = (SHORT)(1 + random() % 0x7ffe);
            left = shortest + random() % (longest - shortest + 1);
        }
        else if (longest != 0)
            std::copy_n(&samples[2 * f - 2], 2, &samples[2 * f]);
        else
            samples[2 * f] = samples[2 * f + 1] =
                (SHORT)std::lround(16000 * std::sin(2 * M_PI * 997 * (double)f / rate));
        samples[2 * f + 1] = values != 0 ? samples[2 * f] : samples[2 * f + 1];
    }
    const auto* bytes = reinterpret_cast<const UCHAR*>(samples.data());
    return {bytes, bytes + 2 * samples.size()};
}
} // namespace

TEST(HostPlayWindow, NoPassageHalfARunLongIsHeldTwice)
{
    const struct
    {
        const char* Name;
        std::vector<UCHAR> Frames;
    } rows[] = {
        {"noise", Kind(8000, 1, 1, 0)},
        {"held for 10", Kind(8000, 10, 10, 0)},
        {"held for 2 to 64", Kind(8000, 2, 64, 0)},
        {"3 values", Kind(8000, 1, 1, 3)},
        {"997 Hz at 44.1 kHz", Kind(44100, 0, 0, 0)},
        {"997 Hz at 96 kHz", Kind(96000, 0, 0, 0)},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.Name);
        HostPlayWindow window(4, 0x00);
        const size_t places = row.Frames.size() / 4 - HostPlayWindow::kLongestRun + 1;
        ULONGLONG work = 0;
        window.Hold(row.Frames, 0, places, &work);
        const size_t half = window.RunFrames() / 2;
        // Each passage of half a run, by its bytes, and the places holding it.
        std::unordered_map<std::string_view, size_t> held;
        const std::string_view all(reinterpret_cast<const char*>(row.Frames.data()),
                                   row.Frames.size());
        for (size_t p = 0; p < places; ++p)
            ++held[all.substr(4 * p, 4 * half)];
        size_t twice = 0;
        for (const auto& [passage, count] : held)
            twice += count - 1;
        EXPECT_EQ(0u, twice) << "a run of " << window.RunFrames() << " frames";
    }
}
