// Pacing of render packets: a stream whose rate is not a whole number of
// samples per packet sends base-size packets and, whenever the fraction has
// added up to a whole sample, one sample more (or less, when the device's
// clock runs slow). The same routine serves every render class, each with its
// own pacing state.
#pragma once

#include "platform/kernel/kernel.h"
#include "platform/usb/usbdi.h"

// A measured rate is used only this close to the nominal rate.
inline constexpr ULONG PACING_MAX_DEVIATION_HZ = 1000;

struct RenderPacing
{
    ULONG Rate;                 // the rate the packets follow, in Hz
    ULONG NominalRate;          // the format's rate
    LONG Accumulator;           // fraction of a sample carried to the next packet, in 1/P units
    volatile LONG ExtraSamples; // samples sent beyond the base size, running total
    // The most sample frames the endpoint's packets carry; 0: no bound.
    ULONG MaxSamples;
};

// Sample frames per packet at the nominal rate: rate / (packets per frame x 1000).
ULONG PacingBaseSamples(ULONG rate, ULONG packetsPerFrame);
// The largest packet the nominal rate builds, in sample frames: the same
// quotient rounded up. Endpoints are sized for it.
ULONG PacingNominalPacketSamples(ULONG rate, ULONG packetsPerFrame);

// The most sample frames one packet can carry while the rate stays within
// PACING_MAX_DEVIATION_HZ of nominal: data buffers are sized from it.
inline constexpr ULONG PacingMaxSamplesPerPacket(ULONG baseSamples)
{
    return baseSamples + 2;
}

// Gives `count` packets their offsets and lengths in bytes and returns the
// transfer length. Each packet carries base plus the whole samples the
// accumulator holds; the rate is held inside the window around nominal, and
// a packet the rate would make larger than the endpoint carries is cut to
// what it carries (the samples cut are not sent).
ULONG PaceRenderPackets(RenderPacing* pacing, ULONG baseSamples, ULONG packetsPerFrame,
                        ULONG blockAlign, PUSBD_ISO_PACKET_DESCRIPTOR packets, ULONG count);
