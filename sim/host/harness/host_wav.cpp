#include "sim/host/harness/host_wav.h"

#include "sim/host/harness/host_wav_writer.h"

#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace
{
// The integer PCM encodings a pin takes, by sample width. A RIFF WAV file
// stores them little-endian (8-bit unsigned), as the pins do, so raw writes
// move the samples unchanged; reads go through libsndfile's conversion, as a
// RIFX file holds them big-endian.
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
constexpr long kValidBitsAt = 18;          // in the fmt chunk's body

ULONG Number(const UCHAR* p, ULONG bytes, bool bigEndian)
{
    ULONG v = 0;
    for (ULONG i = 0; i < bytes; ++i)
        v |= (ULONG)p[bigEndian ? bytes - 1 - i : i] << (8 * i);
    return v;
}

// One chunk of a RIFF (little-endian) or RIFX (big-endian) WAVE file.
struct Chunk
{
    char Id[4];
    ULONG Size;
    long Body; // where its bytes start
    bool BigEndian;
};

// Calls `visit` for each chunk up to and with the data chunk, while it
// returns true.
template <typename Visit> void WalkChunks(FILE* f, Visit visit)
{
    UCHAR head[12];
    if (fread(head, 1, sizeof(head), f) != sizeof(head) || memcmp(head + 8, "WAVE", 4) != 0 ||
        (memcmp(head, "RIFF", 4) != 0 && memcmp(head, "RIFX", 4) != 0))
        return;
    const bool bigEndian = head[3] == 'X';
    UCHAR header[8];
    while (fread(header, 1, sizeof(header), f) == sizeof(header))
    {
        Chunk chunk{{}, Number(header + 4, 4, bigEndian), ftell(f), bigEndian};
        memcpy(chunk.Id, header, 4);
        if (!visit(chunk) || memcmp(chunk.Id, "data", 4) == 0 ||
            fseek(f, chunk.Body + (long)chunk.Size + (long)(chunk.Size & 1), SEEK_SET) != 0)
            break;
    }
}

HeaderFacts ReadHeaderFacts(const std::string& path)
{
    HeaderFacts facts;
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr)
        return facts;
    WalkChunks(f,
               [&](const Chunk& c)
               {
                   UCHAR fmt[kExtensibleFmtBytes] = {};
                   if (memcmp(c.Id, "data", 4) == 0)
                       facts.DataBytes = c.Size;
                   else if (memcmp(c.Id, "fmt ", 4) == 0 && c.Size >= sizeof(fmt) &&
                            fread(fmt, 1, sizeof(fmt), f) == sizeof(fmt) &&
                            Number(fmt, 2, c.BigEndian) == kExtensibleTag)
                       facts.ValidBits = (USHORT)Number(fmt + kValidBitsAt, 2, c.BigEndian);
                   return true;
               });
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

// Frames read a block at a time, so a long file needs no second copy.
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

// Every frame of the file through libsndfile's own conversion, whatever
// the byte order it stores them in; false when it holds fewer than it says.
bool ReadSamples(SNDFILE* file, sf_count_t frames, HostAudio* audio)
{
    const ULONG bytes = audio->BitsPerSample / 8;
    audio->Data.assign((size_t)frames * audio->FrameBytes(), 0);
    std::vector<int> block((size_t)kReadFrames * audio->Channels);
    for (sf_count_t done = 0; done < frames;)
    {
        const sf_count_t want = std::min(kReadFrames, frames - done);
        if (sf_readf_int(file, block.data(), want) != want)
            return false;
        UCHAR* to = &audio->Data[(size_t)done * audio->FrameBytes()];
        for (size_t i = 0; i < (size_t)want * audio->Channels; ++i)
            PutSample(block[i], bytes, to + i * bytes);
        done += want;
    }
    return true;
}
} // namespace

bool HostReadWav(const std::string& path, HostAudio* audio, std::string* error,
                 std::string* warning)
{
    if (!HostCheckInput(path, error))
        return false;
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
    if (!ReadSamples(file.File, info.frames, audio))
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
    HostWavWriter writer(path);
    return writer.Open(audio, error) &&
           writer.Write(audio.Data.data(), audio.Frames() * audio.FrameBytes(), error) &&
           writer.Close(error);
}

bool HostSetValidBits(const std::string& path, USHORT validBits, std::string* error)
{
    FILE* f = fopen(path.c_str(), "r+b");
    bool set = false;
    if (f != nullptr)
    {
        WalkChunks(f,
                   [&](const Chunk& c)
                   {
                       UCHAR fmt[kExtensibleFmtBytes] = {};
                       if (memcmp(c.Id, "fmt ", 4) != 0)
                           return true;
                       UCHAR bits[2] = {(UCHAR)validBits, (UCHAR)(validBits >> 8)};
                       if (c.BigEndian)
                           std::swap(bits[0], bits[1]);
                       set = c.Size >= sizeof(fmt) &&
                             fread(fmt, 1, sizeof(fmt), f) == sizeof(fmt) &&
                             Number(fmt, 2, c.BigEndian) == kExtensibleTag &&
                             fseek(f, c.Body + kValidBitsAt, SEEK_SET) == 0 &&
                             fwrite(bits, 1, 2, f) == 2;
                       return false;
                   });
        set = fclose(f) == 0 && set;
    }
    if (!set)
        *error = path + ": the valid bits could not be set in its format chunk";
    return set;
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

bool HostCheckInput(const std::string& path, std::string* error)
{
    struct stat in;
    const int fd =
        stat(path.c_str(), &in) == 0 && S_ISDIR(in.st_mode) ? -2 : open(path.c_str(), O_RDONLY);
    if (fd < 0)
    {
        *error = path + ": " + (fd == -2 ? "is a folder, not a file" : strerror(errno));
        return false;
    }
    close(fd);
    return true;
}

bool HostCheckOutput(const std::string& path, const std::vector<HostRunInput>& inputs,
                     std::string* error)
{
    if (path.empty())
    {
        *error = "an output needs a file name";
        return false;
    }
    struct stat out;
    const bool existed = stat(path.c_str(), &out) == 0;
    // A file the run reads is there, so an output that is one is there too.
    for (const HostRunInput& input : inputs)
    {
        struct stat in;
        if (existed && stat(input.Path.c_str(), &in) == 0 && in.st_dev == out.st_dev &&
            in.st_ino == out.st_ino)
        {
            *error = path + ": is " + input.Role;
            return false;
        }
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

int HostWavEncoding(USHORT bits)
{
    for (const auto& e : kEncodings)
        if (e.Bits == bits)
            return e.SubFormat;
    return 0;
}
