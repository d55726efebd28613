// Reading an asynchronous device's feedback: each value is the device's
// samples per packet (10.14 in three bytes at full speed, 16.16 in four),
// turned into a rate in Hz; the rates near the nominal one are averaged
// into the rate the render packets follow.
#pragma once

#include "platform/kernel/kernel.h"

inline constexpr ULONG FEEDBACK_BYTES_FULL_SPEED = 3;
inline constexpr ULONG FEEDBACK_BYTES_HIGH_SPEED = 4;

// The value of one feedback packet of `bytes` (3 or 4) as unsigned 16.16
// samples per packet, with the known truncated values of the 44.1 kHz
// family snapped to exact ones; 0 for another length.
ULONG FeedbackSixteenSixteen(const UCHAR* packet, ULONG bytes);

// The rate in Hz of a 16.16 value for `packetsPerSecond` packets a second.
ULONG FeedbackRateHz(ULONG value, ULONG packetsPerSecond);

// The rate the packets follow after a URB's feedback rates: the average of
// the rates within PACING_MAX_DEVIATION_HZ of `nominal` (bounds included),
// with the deviation doubled when it is exactly 500 / msPerUrb Hz either
// way; false (nothing to change) when none lies in the window.
bool AverageFeedbackRates(const ULONG* rates, ULONG count, ULONG nominal, ULONG msPerUrb,
                          PULONG pacingRate);
