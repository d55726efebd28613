// Where a WAVE file's header keeps what the host reads and writes of it
// beside libsndfile: the valid bits of an extensible format, and the fields
// that say how long the file is. RIFF files are little-endian, RIFX files
// big-endian; an RF64 file (little-endian) keeps its sizes past 4 GB in its
// ds64 chunk, its RIFF and data sizes then reading 0xFFFFFFFF.
#pragma once

#include <sys/types.h>

#include "platform/kernel/nt_types.h"

struct HostWavLayout
{
    bool Wave = false; // a RIFF, RIFX or RF64 WAVE file
    bool BigEndian = false;
    bool Rf64 = false;
    off_t Ds64 = -1;        // RF64: the ds64 body (RIFF size, data size, sample count)
    off_t ValidBitsAt = -1; // an extensible format's wValidBitsPerSample; -1: none
    USHORT ValidBits = 0;
    off_t FactAt = -1;       // the fact chunk's sample count; -1: no fact chunk
    off_t Data = -1;         // the data chunk's first byte; -1: no data chunk
    ULONGLONG DataBytes = 0; // what the header says the data chunk holds
};

// RF64's size fields that point to its ds64 chunk.
inline constexpr ULONG kHostWavSizeInDs64 = 0xFFFFFFFF;

// Reads the layout of the file open on `fd` from its chunks, up to and with
// the data chunk.
HostWavLayout HostReadWavLayout(int fd);
