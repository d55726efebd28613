// What the audio class 2.0 streams ask of the device besides their data:
// the rate of the clock their terminal names, and whether an alternate
// setting of their interface may be used at the clock's current rate.
#pragma once

#include "streaming/usb/usb_audio_stream.h"

// Bytes of the valid-alternate-settings reply: bControlSize and a bitmap of
// up to four bytes.
inline constexpr ULONG VALID_ALT_SETTINGS_BYTES = 5;

// Sets the rate of the clock whose control has `clockControlId` among the
// objects of the stream's device.
NTSTATUS SetStreamClockFrequency(CUsbAudioStream* stream, ULONG clockControlId, ULONG hz);

// The first step of preparing a class 2.0 stream: a missing client or frame
// number is refused, and so is a stream another preparation owns (not
// closed); then the clock is set to the client's rate.
NTSTATUS PrepareStreamClock(CUsbAudioStream* stream, ULONG clockControlId, PSTREAMCLIENT client,
                            PULONG frameNumber);

// Whether a valid-alternate-settings reply of `received` bytes marks the
// setting: only bitmap bytes the reply holds and bControlSize covers count.
BOOLEAN AltSettingMarkedValid(const UCHAR* reply, ULONG received, UCHAR alternateSetting);

// Asks the interface for its valid alternate settings; setting 0 is always valid.
BOOLEAN QueryAlternateSettingValid(PUSBDEVICEIO io, UCHAR interfaceNumber, UCHAR alternateSetting);

// The same for the stream's own interface, asked through its device.
BOOLEAN QueryStreamAlternateSettingValid(CUsbAudioStream* stream, UCHAR alternateSetting);
