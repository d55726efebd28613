#include "streaming/usb/iso_pacing.h"

#include <algorithm>

ULONG PacingBaseSamples(ULONG rate, ULONG packetsPerFrame)
{
    return packetsPerFrame == 0 ? 0 : rate / (packetsPerFrame * 1000);
}

ULONG PacingNominalPacketSamples(ULONG rate, ULONG packetsPerFrame)
{
    const ULONGLONG perSecond = (ULONGLONG)packetsPerFrame * 1000;
    return packetsPerFrame == 0 ? 0 : (ULONG)((rate + perSecond - 1) / perSecond);
}

ULONG PaceRenderPackets(RenderPacing* pacing, ULONG baseSamples, ULONG packetsPerFrame,
                        ULONG blockAlign, PUSBD_ISO_PACKET_DESCRIPTOR packets, ULONG count)
{
    const LONG perSecond = (LONG)(packetsPerFrame * 1000);
    const LONG nominal = (LONG)pacing->NominalRate;
    const LONG deviation = (LONG)PACING_MAX_DEVIATION_HZ;
    // A rate outside the window would let a packet outgrow its share of the
    // data buffer, which is sized for at most two extra samples.
    const LONG rate = std::clamp((LONG)pacing->Rate, nominal - deviation, nominal + deviation);
    const LONG step = rate - (LONG)baseSamples * perSecond;
    const LONG most = pacing->MaxSamples != 0 ? (LONG)pacing->MaxSamples : MAXLONG;
    LONG accumulator = pacing->Accumulator;
    LONG extraTotal = 0;
    ULONG offset = 0;
    for (ULONG i = 0; i < count; ++i)
    {
        accumulator += step;
        const LONG extra = std::min(accumulator / perSecond, most - (LONG)baseSamples);
        accumulator %= perSecond;
        extraTotal += extra;
        const ULONG length = (ULONG)((LONG)baseSamples + extra) * blockAlign;
        packets[i].Offset = offset;
        packets[i].Length = length;
        packets[i].Status = USBD_STATUS_SUCCESS;
        offset += length;
    }
    pacing->Accumulator = accumulator;
    InterlockedExchangeAdd(&pacing->ExtraSamples, extraTotal);
    return offset;
}
