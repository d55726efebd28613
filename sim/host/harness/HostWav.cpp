#include "sim/host/harness/HostWav.h"

#include <sndfile.h>

namespace
{
// The integer PCM encodings a pin takes, by sample width. A WAV file stores
// them little-endian (8-bit unsigned), as the pins do, so raw reads and
// writes move the samples unchanged.
constexpr struct
{
    int SubFormat;
    USHORT Bits;
} kEncodings[] = {
    {SF_FORMAT_PCM_U8, 8},
    {SF_FORMAT_PCM_16, 16},
    {SF_FORMAT_PCM_24, 24},
    {SF_FORMAT_PCM_32, 32},
};

bool IsWav(int format)
{
    const int major = format & SF_FORMAT_TYPEMASK;
    return major == SF_FORMAT_WAV || major == SF_FORMAT_WAVEX;
}

// Closes the file when the routine returns.
struct SndFile
{
    SNDFILE* File;
    ~SndFile()
    {
        if (File != nullptr)
            sf_close(File);
    }
};
} // namespace

bool HostReadWav(const std::string& path, HostAudio* audio, std::string* error)
{
    SF_INFO info = {};
    SndFile file{sf_open(path.c_str(), SFM_READ, &info)};
    if (file.File == nullptr)
    {
        *error = path + ": " + sf_strerror(nullptr);
        return false;
    }
    USHORT bits = 0;
    for (const auto& e : kEncodings)
        if ((info.format & SF_FORMAT_SUBMASK) == e.SubFormat)
            bits = e.Bits;
    if (!IsWav(info.format) || bits == 0)
    {
        *error = path + ": not an integer PCM WAV file (8, 16, 24 or 32 bits)";
        return false;
    }
    if (info.channels < 1 || info.channels > 0xFFFF || info.samplerate <= 0)
    {
        *error = path + ": no channels or no sample rate";
        return false;
    }
    audio->Rate = (ULONG)info.samplerate;
    audio->Channels = (USHORT)info.channels;
    audio->BitsPerSample = bits;
    audio->Data.assign((size_t)info.frames * audio->FrameBytes(), 0);
    const sf_count_t read =
        sf_read_raw(file.File, audio->Data.data(), (sf_count_t)audio->Data.size());
    if (read != (sf_count_t)audio->Data.size())
    {
        *error = path + ": the file ends before its last frame";
        return false;
    }
    return true;
}

bool HostWriteWav(const std::string& path, const HostAudio& audio, std::string* error)
{
    SF_INFO info = {};
    info.samplerate = (int)audio.Rate;
    info.channels = audio.Channels;
    for (const auto& e : kEncodings)
        if (audio.BitsPerSample == e.Bits)
            info.format = SF_FORMAT_WAV | e.SubFormat;
    if (info.format == 0 || !sf_format_check(&info))
    {
        *error = path + ": no WAV encoding for " + std::to_string(audio.Channels) +
                 " channel(s) of " + std::to_string(audio.BitsPerSample) + " bits at " +
                 std::to_string(audio.Rate) + " Hz";
        return false;
    }
    SndFile file{sf_open(path.c_str(), SFM_WRITE, &info)};
    if (file.File == nullptr)
    {
        *error = path + ": " + sf_strerror(nullptr);
        return false;
    }
    const sf_count_t bytes = (sf_count_t)(audio.Frames() * audio.FrameBytes());
    if (sf_write_raw(file.File, audio.Data.data(), bytes) != bytes)
    {
        *error = path + ": " + sf_strerror(file.File);
        return false;
    }
    return true;
}
