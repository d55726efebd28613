// A WAV file read a block at a time, so that a play of any length holds only
// the frames it is about to hand on: its format and frame count come from
// the header when it opens, its samples as the little-endian integer PCM
// bytes the driver's pins take (8-bit unsigned, as WAV stores them).
#pragma once

#include <string>

#include "sim/host/harness/host_wav.h"

class HostWavReader
{
  public:
    explicit HostWavReader(std::string path) : m_Path(std::move(path)) {}
    ~HostWavReader();
    HostWavReader(const HostWavReader&) = delete;
    HostWavReader& operator=(const HostWavReader&) = delete;

    // Opens an integer PCM WAV or RF64 file and reads its header; false
    // with *error saying why. *warning (when given) says what was odd but
    // readable: a header that promises more frames than the file holds
    // (those held are read).
    bool Open(std::string* error, std::string* warning = nullptr);
    bool IsOpen() const { return m_File != nullptr; }
    // The format opened (its Data stays empty) and the frames the file holds.
    const HostAudio& Format() const { return m_Format; }
    ULONGLONG Frames() const { return m_Frames; }
    // Reads up to `frames` frames from where the last read ended into `to`
    // (room for that many frames); the frames read, 0 at the end. A file that
    // ends before the frames its header promised fails with *error.
    ULONGLONG Read(UCHAR* to, ULONGLONG frames, std::string* error);
    // Back to the first frame; false with *error saying why.
    bool Rewind(std::string* error);

    const std::string& Path() const { return m_Path; }

  private:
    std::string m_Path;
    HostAudio m_Format;
    struct sf_private_tag* m_File = nullptr;
    ULONGLONG m_Frames = 0;
    ULONGLONG m_Done = 0;
};
