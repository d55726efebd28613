// A play's compare fed what the device received as a run feeds it, and files
// of samples of any width built for it.
#pragma once

#include <algorithm>
#include <functional>
#include <vector>

#include "sim/host/harness/host_wire_compare.h"

// Samples of `bits` bits, a frame's channels in a row, as a WAV file holds
// them (8-bit ones unsigned, 128 their silence).
inline std::vector<UCHAR> PackSamples(const std::vector<int>& samples, USHORT bits)
{
    std::vector<UCHAR> bytes;
    bytes.reserve(samples.size() * bits / 8);
    for (int v : samples)
        for (USHORT b = 0; b < bits / 8; ++b)
            bytes.push_back(bits == 8 ? (UCHAR)(v + 128) : (UCHAR)(v >> (8 * b)));
    return bytes;
}

// A file (by default mono, 16-bit, 48 kHz) against what the device received
// after the path's 720 frames of silence, and then `playOut` frames of
// silence, a packet's 48 frames at a time.
struct PlayOf
{
    explicit PlayOf(const std::vector<SHORT>& f, HostPathChange path = {})
        : PlayOf(HostAudio{48000,
                           1,
                           16,
                           {reinterpret_cast<const UCHAR*>(f.data()),
                            reinterpret_cast<const UCHAR*>(f.data() + f.size())}},
                 std::move(path))
    {
    }
    explicit PlayOf(HostAudio file, HostPathChange path = {})
        : File(std::move(file)),
          Compare(std::make_unique<HostMemorySource>(File), File.BitsPerSample, std::move(path))
    {
    }
    HostWire Received(const std::vector<SHORT>& wire, HostStreamSummary* summary,
                      size_t playOut = 2000)
    {
        const auto* bytes = reinterpret_cast<const UCHAR*>(wire.data());
        return Received(std::vector<UCHAR>(bytes, bytes + 2 * wire.size()), summary, playOut);
    }
    // `path`, where given: what could change samples as the packet of wire
    // frame n comes.
    HostWire Received(std::vector<UCHAR> wire, HostStreamSummary* summary, size_t playOut = 2000,
                      const std::function<HostPathChange(size_t)>& path = {})
    {
        const size_t bytes = File.FrameBytes();
        const UCHAR silence = File.BitsPerSample == 8 ? 0x80 : 0x00;
        wire.insert(wire.begin(), 720 * bytes, silence);
        wire.resize(wire.size() + playOut * bytes, silence);
        for (size_t at = 0; at < wire.size(); at += 48 * bytes)
        {
            if (path)
                Compare.SetPath(path(at / bytes));
            Compare.Feed({wire.begin() + (ptrdiff_t)at,
                          wire.begin() + (ptrdiff_t)std::min(at + 48 * bytes, wire.size())});
        }
        return Compare.Result(true, true, false, summary);
    }
    const HostAudio File;
    HostPlayCompare Compare;
};
