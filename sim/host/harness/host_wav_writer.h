// A WAV file written as its samples arrive, so a run of any length holds
// none of them in memory. Its header follows the file as it grows (once a
// second of audio, and when it closes), so that a run killed on the way
// leaves a file that reads as the frames written up to then, with its valid
// bits. A run that can pass 4 GB writes an RF64 file, whose sizes the
// plain WAV header cannot hold.
#pragma once

#include <string>

#include "sim/host/harness/host_wav.h"
#include "sim/host/harness/host_wav_layout.h"

class HostWavWriter
{
  public:
    explicit HostWavWriter(std::string path) : m_Path(std::move(path)) {}
    // Closes the file if still open.
    ~HostWavWriter();
    HostWavWriter(const HostWavWriter&) = delete;
    HostWavWriter& operator=(const HostWavWriter&) = delete;

    // Creates the file (through a link, as a shell's redirection does) for
    // samples in `format`'s rate, channels, container and valid bits (its
    // data is not written); false with *error saying why. Valid bits below
    // the container make a WAVE_FORMAT_EXTENSIBLE file; the most frames set
    // before make an RF64 file where a WAV file of them would pass 4 GB.
    bool Open(const HostAudio& format, std::string* error);
    // The most frames the run can write, known before it starts (0: not
    // known); set before Open.
    void SetMaxFrames(ULONGLONG frames) { m_MaxFrames = frames; }
    bool IsOpen() const { return m_File != nullptr; }
    // Whether Open made the file, open or closed since.
    bool Made() const { return m_Made; }
    // Appends whole frames of little-endian samples in the opened format.
    // A write that fails keeps the whole frames written before it, and so
    // does one that would take a WAV file past the 4 GB its header can say.
    bool Write(const UCHAR* data, size_t bytes, std::string* error);
    // Completes the header; false with *error saying why.
    bool Close(std::string* error);

    const std::string& Path() const { return m_Path; }
    // The format opened, without data.
    const HostAudio& Format() const { return m_Format; }
    ULONGLONG Frames() const { return m_Frames; }

  private:
    // Says the frames written in the header's sizes.
    bool UpdateHeader(std::string* error);
    // Puts the valid bits back where libsndfile writes the container's.
    bool PutValidBits(std::string* error);
    bool Failed(std::string* error, const std::string& why);

    std::string m_Path;
    HostAudio m_Format;
    struct sf_private_tag* m_File = nullptr;
    int m_Fd = -1;
    HostWavLayout m_Layout;
    ULONGLONG m_Frames = 0;
    ULONGLONG m_HeaderFrames = 0; // the frames the header says
    ULONGLONG m_MaxFrames = 0;
    bool m_Made = false;
};
