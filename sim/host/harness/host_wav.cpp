#include "sim/host/harness/host_wav.h"

#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

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

// What libsndfile does not tell of a WAV file's header: the valid bits of an
// extensible format and the data length the header promises.
struct HeaderFacts
{
    USHORT ValidBits = 0;
    ULONGLONG DataBytes = 0;
};

constexpr USHORT kExtensibleTag = 0xFFFE;
constexpr size_t kExtensibleFmtBytes = 24; // through wValidBitsPerSample

ULONG Le(const UCHAR* p, ULONG bytes)
{
    ULONG v = 0;
    for (ULONG i = 0; i < bytes; ++i)
        v |= (ULONG)p[i] << (8 * i);
    return v;
}

// Walks the RIFF chunks up to the data chunk.
HeaderFacts ReadHeaderFacts(const std::string& path)
{
    HeaderFacts facts;
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr)
        return facts;
    UCHAR head[12];
    if (fread(head, 1, sizeof(head), f) == sizeof(head) && memcmp(head, "RIFF", 4) == 0 &&
        memcmp(head + 8, "WAVE", 4) == 0)
    {
        UCHAR chunk[8];
        while (fread(chunk, 1, sizeof(chunk), f) == sizeof(chunk))
        {
            const ULONG size = Le(chunk + 4, 4);
            if (memcmp(chunk, "data", 4) == 0)
            {
                facts.DataBytes = size;
                break;
            }
            UCHAR fmt[kExtensibleFmtBytes] = {};
            const long body = ftell(f);
            if (memcmp(chunk, "fmt ", 4) == 0 && size >= sizeof(fmt) &&
                fread(fmt, 1, sizeof(fmt), f) == sizeof(fmt) && Le(fmt, 2) == kExtensibleTag)
                facts.ValidBits = (USHORT)Le(fmt + 18, 2);
            if (fseek(f, body + (long)size + (long)(size & 1), SEEK_SET) != 0)
                break;
        }
    }
    fclose(f);
    return facts;
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

bool HostReadWav(const std::string& path, HostAudio* audio, std::string* error,
                 std::string* warning)
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
    const HeaderFacts facts = ReadHeaderFacts(path);
    if (facts.ValidBits > bits)
    {
        *error = path + ": " + std::to_string(facts.ValidBits) + " valid bits in a container of " +
                 std::to_string(bits);
        return false;
    }
    audio->ValidBits = facts.ValidBits == bits ? 0 : facts.ValidBits;
    const ULONGLONG promised = facts.DataBytes / audio->FrameBytes();
    if (warning != nullptr && promised > audio->Frames())
        *warning = path + ": the header says " + std::to_string(promised) +
                   " frames, the file holds " + std::to_string(audio->Frames());
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

HostAudio HostRepack(const HostAudio& audio, USHORT containerBits)
{
    HostAudio out{audio.Rate, audio.Channels, containerBits, {}, audio.ValidBits};
    const ULONG from = audio.BitsPerSample / 8, to = containerBits / 8;
    const size_t samples = from == 0 ? 0 : audio.Data.size() / from;
    out.Data.assign(samples * to, 0);
    // The top bytes line up; the new container's lower bytes are zero.
    const ULONG keep = from < to ? from : to;
    for (size_t i = 0; i < samples; ++i)
        memcpy(&out.Data[i * to + to - keep], &audio.Data[i * from + from - keep], keep);
    if (audio.Valid() >= containerBits)
        out.ValidBits = 0;
    else if (out.ValidBits == 0)
        out.ValidBits = audio.BitsPerSample;
    return out;
}

bool HostCheckOutput(const std::string& path, const std::string& input, std::string* error)
{
    if (path.empty())
    {
        *error = "an output needs a file name";
        return false;
    }
    struct stat out;
    const bool existed = stat(path.c_str(), &out) == 0;
    struct stat in;
    if (existed && !input.empty() && stat(input.c_str(), &in) == 0 && in.st_dev == out.st_dev &&
        in.st_ino == out.st_ino)
    {
        *error = path + ": is the file being played";
        return false;
    }
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0666);
    if (fd < 0)
    {
        *error = path + ": " + strerror(errno);
        return false;
    }
    close(fd);
    if (!existed)
        unlink(path.c_str());
    return true;
}
