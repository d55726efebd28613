#include "sim/host/harness/host_wav.h"

#include "sim/host/harness/host_wav_layout.h"
#include "sim/host/harness/host_wav_reader.h"
#include "sim/host/harness/host_wav_writer.h"

#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
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

// Where a file that is not there yet would be made: the last target of
// the links it is given through (a shell's redirection makes it there).
std::string WhereMade(std::string path)
{
    constexpr int kMostLinks = 40; // as the kernel follows them
    for (int i = 0; i < kMostLinks; ++i)
    {
        char target[PATH_MAX];
        const ssize_t bytes = readlink(path.c_str(), target, sizeof(target) - 1);
        if (bytes < 0)
            return path;
        target[bytes] = 0;
        const size_t slash = path.rfind('/');
        path = target[0] == '/' || slash == std::string::npos ? std::string(target)
                                                              : path.substr(0, slash + 1) + target;
    }
    return path;
}

// Whether a file could be made in `folder`: a file with no name made and
// dropped at once, so nothing shows on disk; where the file system cannot
// make one, the folder's permissions.
int CanMakeIn(const std::string& folder)
{
    const int fd = open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd >= 0)
        return close(fd), 0;
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
        return errno;
    return faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) == 0 ? 0 : errno;
}

// Whether the writer could write `path`: 0, or why not as an error number.
// A file that is there is opened as the writer opens it, but not emptied;
// one that is not is made with no name where the writer would make it.
int CanWrite(const std::string& path, bool there)
{
    if (there)
    {
        const int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        return fd < 0 ? errno : (close(fd), 0);
    }
    const std::string made = WhereMade(path);
    const size_t slash = made.rfind('/');
    return CanMakeIn(slash == std::string::npos ? "." : slash == 0 ? "/" : made.substr(0, slash));
}

// What a file that is not a regular one is, in words: a run reads regular
// files only. A named pipe would hold the run until something writes to it;
// a device reads without end (/dev/zero) or nothing at all (/dev/null).
const char* NotAFile(mode_t mode)
{
    static constexpr struct
    {
        mode_t Type;
        const char* Kind;
    } kKinds[] = {
        {S_IFDIR, "is a folder, not a file"},           {S_IFIFO, "is a named pipe, not a file"},
        {S_IFCHR, "is a character device, not a file"}, {S_IFBLK, "is a block device, not a file"},
        {S_IFSOCK, "is a socket, not a file"},
    };
    for (const auto& k : kKinds)
        if ((mode & S_IFMT) == k.Type)
            return k.Kind;
    return "is not a regular file";
}

bool SameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether an output is the program's own standard output or error, by any
// spelling (/dev/stdout, /proc/self/fd/2, the file they were redirected to):
// the WAV would be written over its log. The null device keeps nothing, so
// it is no log to spoil. What it is, in words; null when neither.
const char* LogStream(const struct stat& out)
{
    static constexpr struct
    {
        int Fd;
        const char* Problem;
    } kStreams[] = {
        {STDOUT_FILENO, "is the program's standard output, where its log goes; give a file name"},
        {STDERR_FILENO, "is the program's standard error, where its errors go; give a file name"},
    };
    struct stat null;
    if (S_ISCHR(out.st_mode) && stat("/dev/null", &null) == 0 && out.st_rdev == null.st_rdev)
        return nullptr;
    for (const auto& s : kStreams)
    {
        struct stat stream;
        if (fstat(s.Fd, &stream) == 0 && SameFile(stream, out))
            return s.Problem;
    }
    return nullptr;
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
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    const HostWavLayout layout = HostReadWavLayout(fd);
    close(fd);
    return {layout.ValidBits, layout.DataBytes};
}

bool HostWriteWav(const std::string& path, const HostAudio& audio, std::string* error)
{
    HostWavWriter writer(path);
    writer.SetMaxFrames(audio.Frames());
    return writer.Open(audio, error) &&
           writer.Write(audio.Data.data(), audio.Frames() * audio.FrameBytes(), error) &&
           writer.Close(error);
}

bool HostSetValidBits(const std::string& path, USHORT validBits, std::string* error)
{
    const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    bool set = false;
    if (fd >= 0)
    {
        const HostWavLayout layout = HostReadWavLayout(fd);
        UCHAR bits[2] = {(UCHAR)validBits, (UCHAR)(validBits >> 8)};
        if (layout.BigEndian)
            std::swap(bits[0], bits[1]);
        set = layout.ValidBitsAt >= 0 && pwrite(fd, bits, 2, layout.ValidBitsAt) == 2;
        set = close(fd) == 0 && set;
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
    if (path == "-")
    {
        *error = "-: standard input is not read; give a file name (./- for a file named -)";
        return false;
    }
    struct stat in;
    const bool there = stat(path.c_str(), &in) == 0;
    const char* kind = there && !S_ISREG(in.st_mode) ? NotAFile(in.st_mode) : nullptr;
    const int fd = kind != nullptr ? -1 : open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
    {
        *error = path + ": " + (kind != nullptr ? kind : strerror(errno));
        return false;
    }
    close(fd);
    return true;
}

bool HostCheckOutput(const std::string& path, const std::vector<HostRunInput>& inputs,
                     std::string* error)
{
    if (path.empty() || path == "-")
    {
        *error = path.empty() ? "an output needs a file name"
                              : "-: standard output is not written; give a file name (./- for a "
                                "file named -)";
        return false;
    }
    struct stat out;
    const bool existed = stat(path.c_str(), &out) == 0;
    const int notThere = existed ? 0 : errno;
    const char* problem = existed ? LogStream(out) : nullptr;
    if (problem == nullptr && existed && S_ISFIFO(out.st_mode))
        problem = NotAFile(out.st_mode);
    if (problem != nullptr || (notThere != 0 && notThere != ENOENT))
    {
        *error = path + ": " + (problem != nullptr ? problem : strerror(notThere));
        return false;
    }
    // A file the run reads is there, so an output that is one is there too.
    for (const HostRunInput& input : inputs)
    {
        struct stat in;
        if (existed && stat(input.Path.c_str(), &in) == 0 && SameFile(in, out))
        {
            *error = path + ": is " + input.Role;
            return false;
        }
    }
    if (const int failed = CanWrite(path, existed); failed != 0)
    {
        *error = path + ": " + strerror(failed);
        return false;
    }
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
