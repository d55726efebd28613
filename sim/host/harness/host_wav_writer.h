// A WAV file written as its samples arrive, so a run of any length holds
// none of them in memory: the header is completed when the file closes (at
// the run's end, or after the device was pulled out).
#pragma once

#include <string>

#include "sim/host/harness/host_wav.h"

class HostWavWriter
{
  public:
    explicit HostWavWriter(std::string path) : m_Path(std::move(path)) {}
    // Closes the file if still open.
    ~HostWavWriter();
    HostWavWriter(const HostWavWriter&) = delete;
    HostWavWriter& operator=(const HostWavWriter&) = delete;

    // Creates the file for samples in `format`'s rate, channels, container
    // and valid bits (its data is not written); false with *error saying why.
    // Valid bits below the container make a WAVE_FORMAT_EXTENSIBLE file.
    bool Open(const HostAudio& format, std::string* error);
    // The most frames the run can write, known before it starts (0: not
    // known); set before Open.
    void SetMaxFrames(ULONGLONG frames) { m_MaxFrames = frames; }
    bool IsOpen() const { return m_File != nullptr; }
    // Whether Open made the file, open or closed since.
    bool Made() const { return m_Made; }
    // Appends whole frames of little-endian samples in the opened format.
    // A write that fails keeps the whole frames written before it.
    bool Write(const UCHAR* data, size_t bytes, std::string* error);
    // Completes the header; false with *error saying why.
    bool Close(std::string* error);

    const std::string& Path() const { return m_Path; }
    // The format opened, without data.
    const HostAudio& Format() const { return m_Format; }
    ULONGLONG Frames() const { return m_Frames; }

  private:
    std::string m_Path;
    HostAudio m_Format;
    struct sf_private_tag* m_File = nullptr;
    ULONGLONG m_Frames = 0;
    ULONGLONG m_MaxFrames = 0;
    bool m_Made = false;
};
