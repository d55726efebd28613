// The host program's play compare over two seconds of a mono 16-bit file at
// 48 kHz, received after the path's 720 frames of silence, a packet at a
// time: noise received whole, and a constant with one frame in 63 blanked for
// half a second from its frame 48,000 or from its first. Each reports the
// compare's work a received frame ("work_a_frame") beside the time it took.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <vector>

#include "sim/host/harness/host_wire_compare.h"

namespace
{
constexpr size_t kFrames = 96000, kLead = 720, kPlayOut = 2000;

void PlayCompare(benchmark::State& state)
{
    const size_t blankFrom = (size_t)state.range(0); // kFrames: none blanked
    std::vector<SHORT> file(kFrames, 8000);
    std::mt19937 random(81);
    if (blankFrom == kFrames)
        std::generate(file.begin(), file.end(),
                      [&random] { return (SHORT)(1 + random() % 30000); });
    std::vector<SHORT> wire(kLead + kFrames + kPlayOut, 0);
    std::copy(file.begin(), file.end(), wire.begin() + kLead);
    for (size_t k = blankFrom; k < std::min(blankFrom + 24000, kFrames); k += 63)
        wire[kLead + k] = 0;
    const auto* bytes = reinterpret_cast<const UCHAR*>(file.data());
    const HostAudio audio{48000, 1, 16, {bytes, bytes + 2 * kFrames}};
    const auto* received = reinterpret_cast<const UCHAR*>(wire.data());
    ULONGLONG work = 0;
    for (auto _ : state)
    {
        HostPlayCompare compare(std::make_unique<HostMemorySource>(audio), 16);
        for (size_t at = 0; at < wire.size(); at += 48)
            compare.Feed({received + 2 * at, received + 2 * std::min(at + 48, wire.size())});
        HostStreamSummary summary;
        benchmark::DoNotOptimize(compare.Result(true, true, false, &summary));
        work = compare.Work();
    }
    state.counters["work_a_frame"] = (double)work / (double)wire.size();
    state.SetItemsProcessed((int64_t)(state.iterations() * wire.size()));
}
BENCHMARK(PlayCompare)->Arg(kFrames)->Arg(48000)->Arg(0)->Unit(benchmark::kMillisecond);
} // namespace
