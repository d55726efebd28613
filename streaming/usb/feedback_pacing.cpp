#include "streaming/usb/feedback_pacing.h"

#include "streaming/usb/iso_pacing.h"

namespace
{
// A truncated value of the 44.1 kHz family (and the rates half a sample per
// frame, or a sixteenth per microframe, either side) and its exact value,
// for values below `Below`.
struct SnapRow
{
    ULONG Below;
    ULONG Before;
    ULONG After;
};
constexpr SnapRow c_ThreeByteSnaps[] = {
    {0x2E0000, 0x2C1900, 0x2C199A}, {0x2E0000, 0x2B9900, 0x2B99A0}, {0x2E0000, 0x2C9900, 0x2C99A0},
    {0x5C0000, 0x583300, 0x583338}, {0x5C0000, 0x57B300, 0x57B338}, {0x5C0000, 0x58B300, 0x58B338},
    {0xB80000, 0xB06600, 0xB06668}, {0xB80000, 0xAFE600, 0xAFE668}, {0xB80000, 0xB0E600, 0xB0E668}};
constexpr SnapRow c_FourByteSnaps[] = {
    {0x5E000, 0x58380, 0x58334},    {0x5E000, 0x57380, 0x57334},    {0x5E000, 0x59380, 0x59334},
    {0xB8000, 0xB0640, 0xB0667},    {0xB8000, 0xAF640, 0xAF667},    {0xB8000, 0xB1640, 0xB1667},
    {0x170000, 0x160C60, 0x160CCD}, {0x170000, 0x15FC60, 0x15FCCD}, {0x170000, 0x161C60, 0x161CCD}};

template <ULONG N> ULONG Snap(const SnapRow (&rows)[N], ULONG value)
{
    for (const SnapRow& row : rows)
        if (value < row.Below && value == row.Before)
            return row.After;
    return value;
}
} // namespace

ULONG FeedbackPacketsPerFrame(UCHAR interval, bool highSpeed)
{
    constexpr UCHAR c_OncePerFrame = 4;
    if (!highSpeed)
        return 1;
    const UCHAR exponent =
        interval < 1 ? 1 : (interval > c_OncePerFrame ? c_OncePerFrame : interval);
    return (FEEDBACK_MICROFRAMES_PER_SECOND / FEEDBACK_FRAMES_PER_SECOND) >> (exponent - 1);
}

ULONG FeedbackSixteenSixteen(const UCHAR* packet, ULONG bytes)
{
    if (bytes == FEEDBACK_BYTES_FULL_SPEED)
    {
        const ULONG tenFourteen = packet[0] | packet[1] << 8 | packet[2] << 16;
        return Snap(c_ThreeByteSnaps, tenFourteen * 4);
    }
    if (bytes == FEEDBACK_BYTES_HIGH_SPEED)
    {
        const ULONG value = packet[0] | packet[1] << 8 | packet[2] << 16 | (ULONG)packet[3] << 24;
        return Snap(c_FourByteSnaps, value);
    }
    return 0;
}

ULONG FeedbackRateHz(ULONG value, ULONG packetsPerSecond)
{
    return (value >> 16) * packetsPerSecond +
           (ULONG)(((ULONGLONG)(value & 0xFFFF) * packetsPerSecond) >> 16);
}

bool AddFeedbackRate(FeedbackAverage* average, ULONG rate)
{
    const LONGLONG low = (LONGLONG)average->Nominal - PACING_MAX_DEVIATION_HZ;
    const LONGLONG high = (LONGLONG)average->Nominal + PACING_MAX_DEVIATION_HZ;
    if (rate < low || rate > high)
        return false;
    average->Sum += rate;
    ++average->Count;
    return true;
}

void AddFeedbackValue(FeedbackAverage* average, ULONG value, bool highSpeed, ULONG packetsPerSecond)
{
    const ULONG perSecond =
        highSpeed ? FEEDBACK_MICROFRAMES_PER_SECOND : FEEDBACK_FRAMES_PER_SECOND;
    if (!AddFeedbackRate(average, FeedbackRateHz(value, perSecond)) &&
        packetsPerSecond != perSecond)
        AddFeedbackRate(average, FeedbackRateHz(value, packetsPerSecond));
}

bool AverageFeedbackRates(const FeedbackAverage& average, ULONG msPerUrb, PULONG pacingRate)
{
    if (average.Count == 0 || msPerUrb == 0)
        return false;
    const LONG mean = (LONG)(average.Sum / average.Count);
    const LONG deviation = mean - (LONG)average.Nominal;
    const LONG doubled = (LONG)(500 / msPerUrb);
    *pacingRate =
        (ULONG)(deviation == doubled || deviation == -doubled ? 2 * mean - (LONG)average.Nominal
                                                              : mean);
    return true;
}
