#include "sim/host/harness/host_wav.h"

#include "sim/host/harness/host_wav_reader.h"
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

} // namespace

bool HostReadWav(const std::string& path, HostAudio* audio, std::string* error,
                 std::string* warning)
{
    HostWavReader reader(path);
    if (!reader.Open(error, warning))
        return false;
    *audio = reader.Format();
    audio->Data.assign((size_t)reader.Frames() * audio->FrameBytes(), 0);
    return reader.Read(audio->Data.data(), reader.Frames(), error) == reader.Frames();
}

HostWavHeaderFacts HostReadHeaderFacts(const std::string& path)
{
    HostWavHeaderFacts facts;
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
    // The top bytes line up; the new container's lower bytes are zero. An
    // 8-bit sample is unsigned, a wider one two's complement: a move between
    // them flips the top bit (x - 128 into the top byte, and back).
    const ULONG keep = from < to ? from : to;
    const UCHAR sign = (from == 1) != (to == 1) ? 0x80 : 0x00;
    for (size_t i = 0; i < samples; ++i)
    {
        memcpy(&out.Data[i * to + to - keep], &audio.Data[i * from + from - keep], keep);
        out.Data[i * to + to - 1] ^= sign;
    }
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

USHORT HostWavBits(int encoding)
{
    for (const auto& e : kEncodings)
        if (e.SubFormat == encoding)
            return e.Bits;
    return 0;
}

int HostWavEncoding(USHORT bits)
{
    for (const auto& e : kEncodings)
        if (e.Bits == bits)
            return e.SubFormat;
    return 0;
}
