// What the AudioStreaming walk leaves out, each named in the debug output:
// the alternate settings it judges malformed before it walks an interface,
// an interface none of whose settings carries a format the driver carries
// (with what each setting holds), and, when no stream is left, the
// interfaces left out.
#pragma once

#include "usbaudio/uac1/walkers.h"

// A debug line's text built piece by piece: a piece that no longer fits is
// left out, and so is every later one; the text then ends in "...".
struct DebugLineText
{
    static constexpr size_t Bytes = 256;
    char Text[Bytes] = {};
    bool Cut = false;
    void Append(PCSTR format, ...);
};

// The alternate settings of one AudioStreaming interface, judged before its
// walk. A setting the driver cannot read one way only is malformed and left
// out, while the interface's other settings stay: one the configuration
// describes twice (both are left out: which one the device means is not
// known), one whose bNumEndpoints is not the number of endpoint descriptors
// it holds, one with two format-type descriptors, one whose format-type
// descriptor gives another format type than its general descriptor names
// (class 2.0 by its format type, class 1.0 by its format tag: 0x0xxx Type
// I, 0x1xxx Type II, 0x2xxx Type III), and one whose data endpoint runs
// against the terminal it links to (OUT for a terminal recorded from, IN
// for one played to).
class StreamingSettings
{
  public:
    // `configuration` to `end`: the configuration's bytes.
    StreamingSettings(CUsbAudioDevice* device, const StreamingWalkClass& walker,
                      const UCHAR* configuration, const UCHAR* end);

    // Judges each setting of the interface from its interface descriptor at
    // `position` on, naming the malformed ones, and whether a setting kept
    // has a format of channels (one to eight), samples and a coding the
    // driver carries. A descriptor the walk refuses counts as such a format,
    // so that the walk itself says why; otherwise *interfaceEnd is where the
    // interface's descriptors end.
    bool CarriesAFormat(PUCHAR position, UCHAR number, PUCHAR* interfaceEnd);
    bool IsMalformed(UCHAR alternateSetting) const;
    // What each setting holds, when none carries a format: its channel
    // count, and its sample size or coding where those are not carried.
    PCSTR Findings() const { return m_Findings.Text; }

  private:
    enum class Fault : UCHAR;
    struct SettingFacts;
    // The setting's own general and format-type descriptors and data
    // endpoint, its descriptors checked before they are read.
    void ReadSetting(const UCHAR* setting, SettingFacts* facts) const;
    ULONG Descriptions(UCHAR number, UCHAR alternateSetting) const;
    // The terminal the setting links to answers the direction of its data
    // endpoint; a link the walk refuses is not judged here.
    bool RunsAgainstTerminal(const UCHAR* general, const USB_ENDPOINT_DESCRIPTOR* endpoint) const;
    Fault Judge(const UCHAR* setting, const SettingFacts& facts) const;
    void ReportMalformed(const UCHAR* setting, const SettingFacts& facts, Fault fault) const;
    // Judges the setting at its interface descriptor; a malformed one is
    // named and noted.
    bool LeaveOutIfMalformed(const UCHAR* setting);
    // A setting kept: what its general and format-type descriptors say.
    bool FormatCarried(const UCHAR* d, UCHAR alternateSetting);

    CUsbAudioDevice* m_Device;
    const StreamingWalkClass& m_Walker;
    const UCHAR* m_Configuration;
    const UCHAR* m_End;
    ULONG m_Malformed[256 / 32] = {};
    // The settings kept so far: the first general descriptor (the stream's
    // terminal) and the last one (the format a setting without its own has).
    const UCHAR* m_StreamGeneral = nullptr;
    const UCHAR* m_LastGeneral = nullptr;
    DebugLineText m_Findings;
};

// The interfaces the walk left out; when no stream is left, the start ends
// with a line that names them.
class LeftOutInterfaces
{
  public:
    void Add(UCHAR number);
    bool Any() const;
    // "UsbAudio: no audio stream left: AudioStreaming interfaces 1 and 2 left out".
    void ReportNoStreamLeft() const;

  private:
    ULONG m_Numbers[256 / 32] = {};
};
