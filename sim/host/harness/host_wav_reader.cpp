#include "sim/host/harness/host_wav_reader.h"

#include <sndfile.h>

#include <algorithm>
#include <vector>

namespace
{
bool IsWav(int format)
{
    const int major = format & SF_FORMAT_TYPEMASK;
    return major == SF_FORMAT_WAV || major == SF_FORMAT_WAVEX || major == SF_FORMAT_RF64;
}

// Frames converted a block at a time, so a long read needs no second copy.
constexpr sf_count_t kReadFrames = 4096;

// A sample libsndfile gives as a left-justified 32-bit integer, into the
// little-endian container of `bytes` (8-bit unsigned, as WAV stores it).
void PutSample(int sample, ULONG bytes, UCHAR* to)
{
    const ULONG v = (ULONG)sample;
    for (ULONG i = 0; i < bytes; ++i)
        to[i] = (UCHAR)(v >> (32 - 8 * bytes + 8 * i));
    if (bytes == 1)
        to[0] ^= 0x80;
}
} // namespace

HostWavReader::~HostWavReader()
{
    if (m_File != nullptr)
        sf_close(m_File);
}

bool HostWavReader::Open(std::string* error, std::string* warning)
{
    if (!HostCheckInput(m_Path, error))
        return false;
    SF_INFO info = {};
    m_File = sf_open(m_Path.c_str(), SFM_READ, &info);
    if (m_File == nullptr)
    {
        *error = m_Path + ": " + sf_strerror(nullptr);
        return false;
    }
    const USHORT bits = HostWavBits(info.format & SF_FORMAT_SUBMASK);
    if (!IsWav(info.format) || bits == 0)
    {
        *error = m_Path + ": not an integer PCM WAV file (8, 16, 24 or 32 bits)";
        return false;
    }
    if (info.channels < 1 || info.channels > 0xFFFF || info.samplerate <= 0)
    {
        *error = m_Path + ": no channels or no sample rate";
        return false;
    }
    m_Format = {(ULONG)info.samplerate, (USHORT)info.channels, bits, {}};
    m_Frames = info.frames > 0 ? (ULONGLONG)info.frames : 0;
    m_Done = 0;
    const HostWavHeaderFacts facts = HostReadHeaderFacts(m_Path);
    if (facts.ValidBits > bits)
    {
        *error = m_Path + ": " + std::to_string(facts.ValidBits) +
                 " valid bits in a container of " + std::to_string(bits);
        return false;
    }
    m_Format.ValidBits = facts.ValidBits == bits ? 0 : facts.ValidBits;
    const ULONGLONG promised = facts.DataBytes / m_Format.FrameBytes();
    if (warning != nullptr && promised > m_Frames)
        *warning = m_Path + ": the header says " + std::to_string(promised) +
                   " frames, the file holds " + std::to_string(m_Frames);
    return true;
}

ULONGLONG HostWavReader::Read(UCHAR* to, ULONGLONG frames, std::string* error)
{
    if (m_File == nullptr)
    {
        *error = m_Path + ": not open";
        return 0;
    }
    const ULONG bytes = m_Format.BitsPerSample / 8;
    const ULONG frameBytes = m_Format.FrameBytes();
    std::vector<int> block((size_t)kReadFrames * m_Format.Channels);
    ULONGLONG done = 0;
    frames = std::min(frames, m_Frames - m_Done);
    while (done < frames)
    {
        const sf_count_t want = (sf_count_t)std::min<ULONGLONG>(kReadFrames, frames - done);
        if (sf_readf_int(m_File, block.data(), want) != want)
        {
            *error = m_Path + ": the file ends before its last frame";
            break;
        }
        UCHAR* at = to + done * frameBytes;
        for (size_t i = 0; i < (size_t)want * m_Format.Channels; ++i)
            PutSample(block[i], bytes, at + i * bytes);
        done += (ULONGLONG)want;
    }
    m_Done += done;
    return done;
}

bool HostWavReader::Rewind(std::string* error)
{
    if (m_File == nullptr || sf_seek(m_File, 0, SEEK_SET) != 0)
    {
        *error = m_Path + ": cannot return to the first frame";
        return false;
    }
    m_Done = 0;
    return true;
}
