// The one table of what a class-specific audio descriptor must hold before
// anything reads it: per class version, interface kind and subtype, the
// fixed bytes and the counted parts whose length the descriptor gives itself
// (inputs, rates, channel bitmaps). The descriptor walkers, the device
// classes and the simulated devices' notes all check with it, so that a
// descriptor the driver walks is one the simulator describes the same way.
// Header only: the simulator uses it without the driver's libraries.
#pragma once

#include "platform/usb/usb.h"

enum class AudioDescriptorVersion : UCHAR
{
    Uac1,
    Uac2
};

enum class AudioInterfaceKind : UCHAR
{
    AudioControl,
    AudioStreaming
};

// How the counted part of a descriptor is measured.
enum class CountedPart : UCHAR
{
    None,
    BytesPerCount,  // Count (byte at CountOffset) x PerCount bytes
    SampleRates,    // class 1.0 format types: 0 rates = a range of 2, else n rates, 3 bytes each
    ControlBitmaps, // class 1.0 feature unit: bControlSize (not 0) for the master at least
    FormatTypeByte  // class 2.0 format type: depends on bFormatType; the fixed part is enough
};

struct AudioDescriptorRule
{
    AudioDescriptorVersion Version;
    AudioInterfaceKind Interface;
    UCHAR Subtype;
    UCHAR FixedBytes; // with a count of 0
    CountedPart Counted;
    UCHAR CountOffset;
    UCHAR PerCount;
};

inline constexpr AudioDescriptorRule AUDIO_DESCRIPTOR_RULES[] = {
    // class 1.0 AudioControl: header (+ bInCollection interfaces), terminals,
    // mixer and selector (+ bNrInPins sources), feature unit (+ bitmaps),
    // processing and extension units (+ bNrInPins sources)
    {AudioDescriptorVersion::Uac1, AudioInterfaceKind::AudioControl, USB_AUDIO_AC_HEADER, 8,
     CountedPart::BytesPerCount, 7, 1},
    {AudioDescriptorVersion::Uac1, AudioInterfaceKind::AudioControl, USB_AUDIO_INPUT_TERMINAL, 12,
     CountedPart::None, 0, 0},
    {AudioDescriptorVersion::Uac1, AudioInterfaceKind::AudioControl, USB_AUDIO_OUTPUT_TERMINAL, 9,
     CountedPart::None, 0, 0},
    {AudioDescriptorVersion::Uac1, AudioInterfaceKind::AudioControl, USB_AUDIO_MIXER_UNIT, 10,
     CountedPart::BytesPerCount, 4, 1},
    {AudioDescriptorVersion::Uac1, AudioInterfaceKind::AudioControl, USB_AUDIO_SELECTOR_UNIT, 6,
     CountedPart::BytesPerCount, 4, 1},
    {AudioDescriptorVersion::Uac1, AudioInterfaceKind::AudioControl, USB_AUDIO_FEATURE_UNIT, 7,
     CountedPart::ControlBitmaps, 5, 1},
    {AudioDescriptorVersion::Uac1, AudioInterfaceKind::AudioControl, USB_AUDIO10_PROCESSING_UNIT,
     13, CountedPart::BytesPerCount, 6, 1},
    {AudioDescriptorVersion::Uac1, AudioInterfaceKind::AudioControl, USB_AUDIO10_EXTENSION_UNIT, 13,
     CountedPart::BytesPerCount, 6, 1},
    // class 1.0 AudioStreaming: general, format type (+ rates), format specific
    {AudioDescriptorVersion::Uac1, AudioInterfaceKind::AudioStreaming, USB_AUDIO_AS_GENERAL, 7,
     CountedPart::None, 0, 0},
    {AudioDescriptorVersion::Uac1, AudioInterfaceKind::AudioStreaming, USB_AUDIO_FORMAT_TYPE, 8,
     CountedPart::SampleRates, 7, 3},
    {AudioDescriptorVersion::Uac1, AudioInterfaceKind::AudioStreaming, USB_AUDIO_FORMAT_SPECIFIC, 5,
     CountedPart::None, 0, 0},
    // class 2.0 AudioControl: header, terminals, mixer, selector (+ sources),
    // feature unit (4 bytes per channel beyond the master), processing unit
    // (+ sources, before its process-specific bytes) and extension unit
    // (+ sources), clock source, selector (+ sources) and multiplier
    {AudioDescriptorVersion::Uac2, AudioInterfaceKind::AudioControl, USB_AUDIO_AC_HEADER, 9,
     CountedPart::None, 0, 0},
    {AudioDescriptorVersion::Uac2, AudioInterfaceKind::AudioControl, USB_AUDIO_INPUT_TERMINAL, 17,
     CountedPart::None, 0, 0},
    {AudioDescriptorVersion::Uac2, AudioInterfaceKind::AudioControl, USB_AUDIO_OUTPUT_TERMINAL, 12,
     CountedPart::None, 0, 0},
    {AudioDescriptorVersion::Uac2, AudioInterfaceKind::AudioControl, USB_AUDIO_MIXER_UNIT, 13,
     CountedPart::BytesPerCount, 4, 1},
    {AudioDescriptorVersion::Uac2, AudioInterfaceKind::AudioControl, USB_AUDIO_SELECTOR_UNIT, 7,
     CountedPart::BytesPerCount, 4, 1},
    {AudioDescriptorVersion::Uac2, AudioInterfaceKind::AudioControl, USB_AUDIO_FEATURE_UNIT, 10,
     CountedPart::None, 0, 0},
    {AudioDescriptorVersion::Uac2, AudioInterfaceKind::AudioControl, USB_AUDIO20_PROCESSING_UNIT,
     16, CountedPart::BytesPerCount, 6, 1},
    {AudioDescriptorVersion::Uac2, AudioInterfaceKind::AudioControl, USB_AUDIO20_EXTENSION_UNIT, 15,
     CountedPart::BytesPerCount, 6, 1},
    {AudioDescriptorVersion::Uac2, AudioInterfaceKind::AudioControl,
     USB_AUDIO20_CLOCK_SOURCE_SUBTYPE, 8, CountedPart::None, 0, 0},
    {AudioDescriptorVersion::Uac2, AudioInterfaceKind::AudioControl, USB_AUDIO20_CLOCK_SELECTOR, 7,
     CountedPart::BytesPerCount, 4, 1},
    {AudioDescriptorVersion::Uac2, AudioInterfaceKind::AudioControl, USB_AUDIO20_CLOCK_MULTIPLIER,
     7, CountedPart::None, 0, 0},
    // class 2.0 AudioStreaming: general, format type
    {AudioDescriptorVersion::Uac2, AudioInterfaceKind::AudioStreaming, USB_AUDIO_AS_GENERAL, 16,
     CountedPart::None, 0, 0},
    {AudioDescriptorVersion::Uac2, AudioInterfaceKind::AudioStreaming, USB_AUDIO_FORMAT_TYPE, 6,
     CountedPart::FormatTypeByte, 3, 0},
};

enum class DescriptorVerdict : UCHAR
{
    Valid,
    BadLength,  // bLength below 2 (3 class-specific) or past the bytes left
    TooShort,   // shorter than its subtype and counts need
    BadContent, // a field the walkers divide or count by is 0
    NoRule      // a subtype the table does not know
};

inline const AudioDescriptorRule* FindAudioDescriptorRule(AudioDescriptorVersion version,
                                                          AudioInterfaceKind kind, UCHAR subtype)
{
    for (const AudioDescriptorRule& rule : AUDIO_DESCRIPTOR_RULES)
        if (rule.Version == version && rule.Interface == kind && rule.Subtype == subtype)
            return &rule;
    return nullptr;
}

// The walk's own check of any descriptor: a length that can be walked and
// that stays inside the bytes left.
inline bool DescriptorFits(const UCHAR* descriptor, ULONG bytesLeft, ULONG minimum = 2)
{
    return bytesLeft >= 2 && descriptor[0] >= minimum && descriptor[0] <= bytesLeft;
}

// The bytes a class-specific descriptor must have, read from its own count
// fields, which must lie inside `length` (its bLength, already known to fit).
// 0 with *verdict set when the counts cannot be read or are refused.
inline ULONG AudioDescriptorNeeds(const AudioDescriptorRule& rule, const UCHAR* d, ULONG length,
                                  DescriptorVerdict* verdict)
{
    *verdict = DescriptorVerdict::Valid;
    ULONG needed = rule.FixedBytes;
    if (rule.Counted == CountedPart::None)
        return needed;
    if (rule.CountOffset >= length)
    {
        *verdict = DescriptorVerdict::TooShort;
        return 0;
    }
    const ULONG count = d[rule.CountOffset];
    switch (rule.Counted)
    {
    case CountedPart::BytesPerCount:
        return needed + count * rule.PerCount;
    case CountedPart::SampleRates:
        return needed + (count == 0 ? 2 : count) * rule.PerCount;
    case CountedPart::ControlBitmaps:
        if (count == 0)
            *verdict = DescriptorVerdict::BadContent;
        return needed + count;
    default:
        return needed;
    }
}

// Checks one class-specific descriptor at `d` with `bytesLeft` bytes to the
// end of the configuration.
inline DescriptorVerdict CheckAudioDescriptor(AudioDescriptorVersion version,
                                              AudioInterfaceKind kind, const UCHAR* d,
                                              ULONG bytesLeft)
{
    if (!DescriptorFits(d, bytesLeft, sizeof(USB_AUDIO_CS_DESCRIPTOR_HEADER)))
        return DescriptorVerdict::BadLength;
    const AudioDescriptorRule* rule = FindAudioDescriptorRule(version, kind, d[2]);
    if (rule == nullptr)
        return DescriptorVerdict::NoRule;
    DescriptorVerdict verdict = DescriptorVerdict::Valid;
    const ULONG needed = AudioDescriptorNeeds(*rule, d, d[0], &verdict);
    if (verdict != DescriptorVerdict::Valid)
        return verdict;
    return d[0] < needed ? DescriptorVerdict::TooShort : DescriptorVerdict::Valid;
}
