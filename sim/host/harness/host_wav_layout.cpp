#include "sim/host/harness/host_wav_layout.h"

#include <unistd.h>

#include <cstring>

namespace
{
constexpr USHORT kExtensibleTag = 0xFFFE;
constexpr size_t kExtensibleFmtBytes = 24; // through wValidBitsPerSample
constexpr off_t kValidBitsAt = 18;         // in the fmt chunk's body
constexpr size_t kDs64SizesBytes = 16;     // the RIFF and data sizes

ULONGLONG Number(const UCHAR* p, ULONG bytes, bool bigEndian)
{
    ULONGLONG v = 0;
    for (ULONG i = 0; i < bytes; ++i)
        v |= (ULONGLONG)p[bigEndian ? bytes - 1 - i : i] << (8 * i);
    return v;
}

bool ReadAt(int fd, off_t at, UCHAR* to, size_t bytes)
{
    return pread(fd, to, bytes, at) == (ssize_t)bytes;
}

bool Is(const UCHAR* id, const char* name)
{
    return memcmp(id, name, 4) == 0;
}

// What one chunk before the data tells: the format's valid bits, the fact
// chunk's place, an RF64 file's data size.
void Visit(int fd, const UCHAR* id, off_t body, ULONGLONG size, HostWavLayout* layout,
           ULONGLONG* ds64DataBytes)
{
    UCHAR fmt[kExtensibleFmtBytes];
    UCHAR ds64[kDs64SizesBytes];
    if (Is(id, "fmt ") && size >= sizeof(fmt) && ReadAt(fd, body, fmt, sizeof(fmt)) &&
        Number(fmt, 2, layout->BigEndian) == kExtensibleTag)
    {
        layout->ValidBitsAt = body + kValidBitsAt;
        layout->ValidBits = (USHORT)Number(fmt + kValidBitsAt, 2, layout->BigEndian);
    }
    else if (Is(id, "fact") && size >= 4)
        layout->FactAt = body;
    else if (Is(id, "ds64") && layout->Rf64 && size >= sizeof(ds64) &&
             ReadAt(fd, body, ds64, sizeof(ds64)))
    {
        layout->Ds64 = body;
        *ds64DataBytes = Number(ds64 + 8, 8, false);
    }
}
} // namespace

HostWavLayout HostReadWavLayout(int fd)
{
    HostWavLayout layout;
    UCHAR head[12];
    if (!ReadAt(fd, 0, head, sizeof(head)) || !Is(head + 8, "WAVE") ||
        !(Is(head, "RIFF") || Is(head, "RIFX") || Is(head, "RF64")))
        return layout;
    layout.Wave = true;
    layout.BigEndian = Is(head, "RIFX");
    layout.Rf64 = Is(head, "RF64");
    ULONGLONG ds64DataBytes = 0;
    UCHAR header[8];
    // Each chunk moves on by at least its header, and a read past the end
    // stops the walk.
    for (off_t at = sizeof(head); ReadAt(fd, at, header, sizeof(header));)
    {
        const ULONGLONG size = Number(header + 4, 4, layout.BigEndian);
        const off_t body = at + (off_t)sizeof(header);
        if (Is(header, "data"))
        {
            layout.Data = body;
            layout.DataBytes =
                layout.Ds64 >= 0 && size == kHostWavSizeInDs64 ? ds64DataBytes : size;
            break;
        }
        Visit(fd, header, body, size, &layout, &ds64DataBytes);
        at = body + (off_t)(size + (size & 1));
    }
    return layout;
}
