// The stream engine's pass over one 10 ms transfer buffer of 8 channels of
// packed 24-bit PCM at 48 kHz with one chain node that leaves the samples as
// they are, beside the bare conversions the pass is made of (to float
// de-interleaved, interleave, back to 24 bits) in the same chunks: their ratio
// is what the engine adds (lock, control register, node walk).
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "framework/stream_engine.h"
#include "platform/kernel/emu.h"
#include "primitives/convert/DspConvertFullScale.h"
#include "primitives/dsp.h"

namespace
{
constexpr ULONG kChannels = 8;
constexpr ULONG kFrames = 480;
constexpr ULONG kBytes = kFrames * kChannels * 3;
constexpr ULONG kTag = POOL_TAG("BEng");

class BenchEngine : public CStreamEngine
{
  public:
    BenchEngine() : CStreamEngine(nullptr, 0) {}
    void UseFormat(const WAVEFORMATEXTENSIBLE& format) { m_CurrentWaveFormat = format; }
};

class UnitNode : public CUnknown, public IChainNode
{
  public:
    UnitNode() : CUnknown(nullptr) {}
    DECLARE_STD_UNKNOWN()
    STDMETHODIMP Reserved1() override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP Reserved2() override { return STATUS_NOT_IMPLEMENTED; }
    STDMETHODIMP SetFormat(PWAVEFORMATEX) override { return STATUS_SUCCESS; }
    STDMETHODIMP ResetStages() override { return STATUS_SUCCESS; }
    STDMETHODIMP Process(PWAVEFORMATEX, PVOID, ULONG) override { return STATUS_SUCCESS; }
    STDMETHODIMP Flush(PWAVEFORMATEX, PVOID, ULONG) override { return STATUS_SUCCESS; }
};

NTSTATUS UnitNode::NonDelegatingQueryInterface(REFIID, PVOID* object)
{
    *object = static_cast<IChainNode*>(this);
    AddRef();
    return STATUS_SUCCESS;
}

std::vector<UCHAR> Signal()
{
    std::vector<UCHAR> bytes(kBytes);
    for (ULONG i = 0; i < kFrames * kChannels; ++i)
    {
        const auto v = (LONG)(6000000.0 * std::sin(0.0021 * i));
        bytes[3 * i] = (UCHAR)v;
        bytes[3 * i + 1] = (UCHAR)(v >> 8);
        bytes[3 * i + 2] = (UCHAR)(v >> 16);
    }
    return bytes;
}

void BM_EnginePass10ms8ch24bit(benchmark::State& state)
{
    EmuReset(EmuClockMode::Virtual);
    auto engine = new (NonPagedPool, kTag) BenchEngine();
    engine->AddRef();
    engine->OpenStreamEngineCallback(STREAM_DIRECTION_RENDER);
    engine->AllocateStreamBuffers();
    WAVEFORMATEXTENSIBLE format = {};
    format.Format = {WAVE_FORMAT_PCM, kChannels, 48000, 48000 * kChannels * 3,
                     kChannels * 3,   24,        0};
    engine->UseFormat(format);
    auto node = new (NonPagedPool, kTag) UnitNode();
    node->AddRef();
    engine->AddProcessingNode(node);
    node->Release();
    std::vector<UCHAR> bytes = Signal();
    for (auto _ : state)
        benchmark::DoNotOptimize(engine->ProcessBuffer(bytes.data(), (LONG)kBytes));
    engine->Release();
    EmuCheckClean(true);
}
BENCHMARK(BM_EnginePass10ms8ch24bit);

void BM_BareConversions10ms8ch24bit(benchmark::State& state)
{
    std::vector<UCHAR> bytes = Signal();
    std::vector<float> work(STREAM_ENGINE_CHUNK_FRAMES * kChannels);
    std::vector<std::vector<float>> channels(kChannels,
                                             std::vector<float>(STREAM_ENGINE_CHUNK_FRAMES));
    std::vector<float*> pointers;
    for (std::vector<float>& channel : channels)
        pointers.push_back(channel.data());
    for (auto _ : state)
    {
        const int32_t n = (int32_t)(kFrames * kChannels);
        DspDeinterleave24sTo32fFullScale(bytes.data(), kChannels, kFrames, pointers.data());
        DspInterleave32f(pointers.data(), kChannels, kFrames, work.data());
        DspConvert32fTo24sScaled(work.data(), bytes.data(), n, -23);
        benchmark::DoNotOptimize(bytes.data());
    }
}
BENCHMARK(BM_BareConversions10ms8ch24bit);
} // namespace
