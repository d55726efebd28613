// The samples a play reads as it goes, a block at a time, so that a play of
// any length holds only the frames it is about to hand on: a WAV file read
// from disk, or audio held in memory.
#pragma once

#include <memory>
#include <string>

#include "sim/host/harness/host_wav.h"
#include "sim/host/harness/host_wav_reader.h"

class HostPlaySource
{
  public:
    virtual ~HostPlaySource() = default;
    // The format (its Data empty) and the frames there are.
    virtual const HostAudio& Format() const = 0;
    virtual ULONGLONG Frames() const = 0;
    // Reads up to `frames` frames from where the last read ended into `to`
    // (room for that many); the frames read, 0 at the end. Fewer than asked
    // before the end is an error, said in *error.
    virtual ULONGLONG Read(UCHAR* to, ULONGLONG frames, std::string* error) = 0;
    // A second reader of the same samples from the first frame, read apart
    // from this one; null with *error saying why.
    virtual std::unique_ptr<HostPlaySource> Again(std::string* error) const = 0;
};

// Audio held in memory; it must outlive the source and its readers.
class HostMemorySource : public HostPlaySource
{
  public:
    explicit HostMemorySource(const HostAudio& audio);
    const HostAudio& Format() const override { return m_Format; }
    ULONGLONG Frames() const override { return m_Audio.Frames(); }
    ULONGLONG Read(UCHAR* to, ULONGLONG frames, std::string* error) override;
    std::unique_ptr<HostPlaySource> Again(std::string* error) const override;

  private:
    const HostAudio& m_Audio;
    HostAudio m_Format;
    ULONGLONG m_Next = 0;
};

// A WAV file through an opened reader, from its first frame; the reader
// must outlive the source. Another reader opens the file again.
class HostFileSource : public HostPlaySource
{
  public:
    explicit HostFileSource(HostWavReader& reader) : m_Reader(reader) {}
    const HostAudio& Format() const override { return m_Reader.Format(); }
    ULONGLONG Frames() const override { return m_Reader.Frames(); }
    ULONGLONG Read(UCHAR* to, ULONGLONG frames, std::string* error) override
    {
        return m_Reader.Read(to, frames, error);
    }
    std::unique_ptr<HostPlaySource> Again(std::string* error) const override;

  private:
    // A source that owns the reader it opened.
    HostFileSource(std::unique_ptr<HostWavReader> reader);

    std::unique_ptr<HostWavReader> m_Owned;
    HostWavReader& m_Reader;
};

// A play's file as the pin takes it: its frames read in order, a block at a
// time, each moved into the pin's container as the audio engine moves it.
class HostPinFrames
{
  public:
    // The source must outlive the object.
    HostPinFrames(HostPlaySource& source, USHORT container);
    // The pin's format (its Data empty): the file's in the pin's container.
    const HostAudio& Format() const { return m_Format; }
    // The next block of frames; empty at the end of the file, and after a
    // read that failed (Error says why).
    const std::vector<UCHAR>& Next();
    const std::string& Error() const { return m_Error; }

  private:
    HostPlaySource& m_Source;
    HostAudio m_Format;
    HostAudio m_Read; // a block as the file holds it
    std::vector<UCHAR> m_Block;
    std::string m_Error;
};
