// Reading an asynchronous device's feedback: each value is the device's
// samples per frame (10.14 in three bytes at full speed) or per microframe
// (16.16 in four at high speed), turned into a rate in Hz; the rates near
// the nominal one are averaged into the rate the render packets follow.
#pragma once

#include "platform/kernel/kernel.h"

inline constexpr ULONG FEEDBACK_BYTES_FULL_SPEED = 3;
inline constexpr ULONG FEEDBACK_BYTES_HIGH_SPEED = 4;
inline constexpr ULONG FEEDBACK_FRAMES_PER_SECOND = 1000;
inline constexpr ULONG FEEDBACK_MICROFRAMES_PER_SECOND = 8000;

// The packets a feedback endpoint of `interval` (its bInterval) answers in
// a 1 ms frame: on a high-speed bus one every 2^(bInterval - 1)
// microframes, bInterval 0 read as 1 and one a frame from 4 up, as the USB
// stack schedules it; one at full speed.
ULONG FeedbackPacketsPerFrame(UCHAR interval, bool highSpeed);

// The value of one feedback packet of `bytes` (3 or 4) as unsigned 16.16
// samples per packet, with the known truncated values of the 44.1 kHz
// family snapped to exact ones; 0 for another length.
ULONG FeedbackSixteenSixteen(const UCHAR* packet, ULONG bytes);

// The rate in Hz of a 16.16 value for `packetsPerSecond` packets a second.
ULONG FeedbackRateHz(ULONG value, ULONG packetsPerSecond);

// The feedback rates of one URB that lie within PACING_MAX_DEVIATION_HZ of
// the nominal rate (bounds included): their sum and count, kept as the
// values arrive.
struct FeedbackAverage
{
    ULONG Nominal;
    ULONGLONG Sum;
    ULONG Count;
};

// Counts `rate` when it lies in the window; false when it does not.
bool AddFeedbackRate(FeedbackAverage* average, ULONG rate);

// Counts one 16.16 value. It is samples per 125 us microframe on a
// high-speed bus and per 1 ms frame at full speed; where only its reading
// per packet of the data endpoint (`packetsPerSecond`) lies in the window,
// that reading counts, as devices that report per packet are read.
void AddFeedbackValue(FeedbackAverage* average, ULONG value, bool highSpeed,
                      ULONG packetsPerSecond);

// The rate the packets follow after a URB's feedback: the average of the
// counted rates, with the deviation doubled when it is exactly
// 500 / msPerUrb Hz either way; false (nothing to change) when none counted.
bool AverageFeedbackRates(const FeedbackAverage& average, ULONG msPerUrb, PULONG pacingRate);
