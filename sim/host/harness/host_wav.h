// WAV files of the host program, read and written through libsndfile: the
// samples are held as the little-endian integer PCM bytes the driver's pins
// take, whatever the byte order of the file.
#pragma once

#include <string>
#include <vector>

#include "platform/kernel/nt_types.h"

struct HostAudio
{
    ULONG Rate = 0;
    USHORT Channels = 0;
    USHORT BitsPerSample = 0; // the container: 8, 16, 24 or 32
    std::vector<UCHAR> Data;  // interleaved frames, little-endian
    USHORT ValidBits = 0;     // the meaningful (top) bits of the container; 0: all

    ULONG FrameBytes() const { return (ULONG)Channels * (BitsPerSample / 8); }
    ULONGLONG Frames() const { return FrameBytes() == 0 ? 0 : Data.size() / FrameBytes(); }
    USHORT Valid() const { return ValidBits != 0 ? ValidBits : BitsPerSample; }
};

// Reads an integer PCM WAV or RF64 file; false with *error saying why.
// *warning (when given) says what was odd but readable: a header that
// promises more frames than the file holds (the frames held are read).
bool HostReadWav(const std::string& path, HostAudio* audio, std::string* error,
                 std::string* warning = nullptr);
// Writes the audio as an integer PCM WAV file (HostWavWriter: RF64 past
// 4 GB); false with *error saying why.
bool HostWriteWav(const std::string& path, const HostAudio& audio, std::string* error);
// libsndfile's integer PCM encoding for a container of `bits`; 0 for none.
int HostWavEncoding(USHORT bits);
// The container of one of libsndfile's integer PCM encodings; 0 for another.
USHORT HostWavBits(int encoding);

// What libsndfile does not tell of a WAV file's header: the valid bits of an
// extensible format and the data length the header promises (an RF64
// file's in its ds64 chunk).
struct HostWavHeaderFacts
{
    USHORT ValidBits = 0;
    ULONGLONG DataBytes = 0;
};
HostWavHeaderFacts HostReadHeaderFacts(const std::string& path);
// Sets the valid bits of a closed extensible (or RF64) file's format chunk
// (libsndfile writes the container's there); false with *error saying why.
bool HostSetValidBits(const std::string& path, USHORT validBits, std::string* error);

// The same samples in another container of 8 to 32 bits: each keeps its top
// bits (PCM is left-justified), so nothing is lost while the valid bits fit,
// and its value: 8-bit samples are unsigned, wider ones signed.
HostAudio HostRepack(const HostAudio& audio, USHORT containerBits);

// Whether a file to read is there and can be read: not "-" (standard input)
// and a regular file (not a folder, a named pipe or a device); false with
// *error naming the problem.
bool HostCheckInput(const std::string& path, std::string* error);

// A file a run reads, and what it is to the run ("the file being played").
struct HostRunInput
{
    std::string Path;
    const char* Role;
};

// Whether an output can be written, checked before a run: a name that is not
// empty or "-" (standard output), not the program's own standard output or
// error by another name (the null device aside), not a folder or a named
// pipe, a file that opens for writing or, where it is not there yet, one
// that can be made in its folder (a link's target's, as the writer writes
// through links), and not a file of `inputs`, by its name or through a link;
// false with *error saying why. It changes nothing on disk.
bool HostCheckOutput(const std::string& path, const std::vector<HostRunInput>& inputs,
                     std::string* error);
