#include "tests/effects/effect_node_rig.h"

#include <gtest/gtest.h>

#include <cmath>

#include "platform/kernel/emu.h"

namespace
{
class EffectUnit : public CUacUnit, public IUnitBooleanRequests
{
  public:
    explicit EffectUnit(EffectUnitScript* script) : CUacUnit(0), m_Script(script) {}
    DECLARE_CONTROL_UNKNOWN()
    STDMETHODIMP GetBoolean(UCHAR, ULONG, PUCHAR value) override
    {
        *value = m_Script->DeviceValue;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP SetBoolean(UCHAR selector, ULONG channel, UCHAR value) override
    {
        m_Script->Sets.push_back(std::to_string(selector) + " " + std::to_string(channel) + " " +
                                 std::to_string(value));
        return m_Script->SetStatus;
    }
    STDMETHODIMP GetBooleanChannels(UCHAR, PULONG count) override
    {
        *count = 1;
        return STATUS_SUCCESS;
    }
    NTSTATUS CreateControls(CAudioHal*) override { return STATUS_SUCCESS; }

  protected:
    UCHAR Subtype() const override { return USB_AUDIO_FEATURE_UNIT; }

  private:
    EffectUnitScript* m_Script;
};

NTSTATUS EffectUnit::NonDelegatingQueryInterface(REFIID interfaceId, PVOID* object)
{
    const ControlInterfaceEntry entries[] = {
        {&IID_IUnitBooleanRequests, static_cast<IUnitBooleanRequests*>(this)}};
    if (NT_SUCCESS(AnswerControlInterface(entries, interfaceId, object)))
        return STATUS_SUCCESS;
    return CUacUnit::NonDelegatingQueryInterface(interfaceId, object);
}
} // namespace

CUacUnit* MakeEffectUnit(EffectUnitScript* script)
{
    auto unit = new (NonPagedPool, POOL_TAG("EfUt")) EffectUnit(script);
    unit->AddRef();
    return unit;
}

WAVEFORMATEXTENSIBLE EffectPcmFormat(ULONG channels, ULONG rate)
{
    WAVEFORMATEXTENSIBLE f = {};
    f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    f.Format.nChannels = (WORD)channels;
    f.Format.nSamplesPerSec = rate;
    f.Format.wBitsPerSample = 24;
    f.Format.nBlockAlign = (WORD)(3 * channels);
    f.Format.nAvgBytesPerSec = rate * f.Format.nBlockAlign;
    f.Format.cbSize = 22;
    f.Samples.wValidBitsPerSample = 24;
    f.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    return f;
}

WAVEFORMATEXTENSIBLE EffectFloatFormat(ULONG channels, ULONG rate)
{
    WAVEFORMATEXTENSIBLE f = EffectPcmFormat(channels, rate);
    f.SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
    f.Format.wBitsPerSample = 32;
    f.Samples.wValidBitsPerSample = 32;
    f.Format.nBlockAlign = (WORD)(4 * channels);
    f.Format.nAvgBytesPerSec = rate * f.Format.nBlockAlign;
    return f;
}

EffectBlock::EffectBlock()
{
    for (ULONG c = 0; c < EFFECT_MAX_CHANNELS; ++c)
    {
        Data[c].assign(EFFECT_CHUNK_FRAMES, 0.0f);
        Table[c] = Data[c].data();
    }
}

void EffectBlock::Fill(ULONG channel, float value)
{
    Data[channel].assign(EFFECT_CHUNK_FRAMES, value);
}

NTSTATUS ProcessAtDispatch(IChainNode* node, WAVEFORMATEXTENSIBLE& format, float** table,
                           ULONG frames)
{
    const unsigned long long before = EmuPoolDispatchRequestCount();
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    const NTSTATUS status = node->Process(&format.Format, table, frames);
    KeLowerIrql(old);
    EXPECT_EQ(before, EmuPoolDispatchRequestCount()) << "the node allocated while processing";
    return status;
}

EffectRun RunChain(const std::vector<IChainNode*>& chain, WAVEFORMATEXTENSIBLE format,
                   const std::vector<std::vector<float>>& input)
{
    EffectRun run;
    const size_t frames = input.empty() ? 0 : input[0].size();
    for (size_t done = 0; done < frames; done += EFFECT_CHUNK_FRAMES)
    {
        EffectBlock block;
        const size_t n = std::min<size_t>(EFFECT_CHUNK_FRAMES, frames - done);
        for (size_t c = 0; c < input.size(); ++c)
            std::copy(input[c].begin() + done, input[c].begin() + done + n, block.Data[c].begin());
        for (IChainNode* node : chain)
            EXPECT_EQ(STATUS_SUCCESS, ProcessAtDispatch(node, format, block.Table, (ULONG)n));
        run.Left.insert(run.Left.end(), block.Data[0].begin(), block.Data[0].begin() + n);
        run.Right.insert(run.Right.end(), block.Data[1].begin(), block.Data[1].begin() + n);
    }
    return run;
}

size_t PeakOf(const std::vector<float>& signal)
{
    size_t peak = 0;
    for (size_t i = 0; i < signal.size(); ++i)
        peak = std::fabs(signal[i]) > std::fabs(signal[peak]) ? i : peak;
    return peak;
}

std::string SaidBy(CEffectPseudoControl* node, WAVEFORMATEXTENSIBLE format)
{
    char said[STREAM_ENGINE_DESCRIPTION_CHARS] = "x";
    node->DescribeChange(&format.Format, said, sizeof(said));
    EXPECT_EQ(said[0] != 0, node->ChangesSamples(&format.Format) != FALSE) << said;
    return said;
}
