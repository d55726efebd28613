#include "sim/host/harness/host_play_source.h"

#include <algorithm>
#include <cstring>

namespace
{
// Frames read at a time: a block of a few tens of milliseconds.
constexpr ULONGLONG kBlockFrames = 4096;
} // namespace

HostMemorySource::HostMemorySource(const HostAudio& audio)
    : m_Audio(audio), m_Format{audio.Rate, audio.Channels, audio.BitsPerSample, {}, audio.ValidBits}
{
}

ULONGLONG HostMemorySource::Read(UCHAR* to, ULONGLONG frames, std::string*)
{
    frames = std::min(frames, Frames() - m_Next);
    const size_t frameBytes = m_Audio.FrameBytes();
    if (frames != 0)
        memcpy(to, m_Audio.Data.data() + m_Next * frameBytes, (size_t)frames * frameBytes);
    m_Next += frames;
    return frames;
}

std::unique_ptr<HostPlaySource> HostMemorySource::Again(std::string*) const
{
    return std::make_unique<HostMemorySource>(m_Audio);
}

HostFileSource::HostFileSource(std::unique_ptr<HostWavReader> reader)
    : m_Owned(std::move(reader)), m_Reader(*m_Owned)
{
}

std::unique_ptr<HostPlaySource> HostFileSource::Again(std::string* error) const
{
    auto reader = std::make_unique<HostWavReader>(m_Reader.Path());
    if (!reader->Open(error))
        return nullptr;
    return std::unique_ptr<HostPlaySource>(new HostFileSource(std::move(reader)));
}

HostPinFrames::HostPinFrames(HostPlaySource& source, USHORT container)
    : m_Source(source), m_Format(HostRepack(source.Format(), container)), m_Read(source.Format())
{
}

const std::vector<UCHAR>& HostPinFrames::Next()
{
    const ULONG frameBytes = m_Read.FrameBytes();
    m_Read.Data.resize((size_t)kBlockFrames * frameBytes);
    const ULONGLONG got =
        m_Error.empty() ? m_Source.Read(m_Read.Data.data(), kBlockFrames, &m_Error) : 0;
    m_Read.Data.resize((size_t)got * frameBytes);
    if (m_Format.BitsPerSample == m_Read.BitsPerSample)
        m_Block.swap(m_Read.Data); // refilled, at its size, by the next read
    else
        m_Block = HostRepack(m_Read, m_Format.BitsPerSample).Data;
    return m_Block;
}
