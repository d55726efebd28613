// Sound in, sound out: the host program's play and record runs. The audio
// engine client opens the streaming pin of the device's first render or
// capture wave filter, walks it to RUN and moves data through the cyclic
// buffer on the emulated clock, while the simulated device records what it
// receives on the wire or sends its microphone sine.
#pragma once

#include <functional>
#include <string>

#include "sim/host/harness/host_harness.h"
#include "platform/portcls/portcls_emu.h"
#include "sim/clients/audio_engine_client.h"
#include "sim/host/harness/host_play_source.h"
#include "sim/host/harness/host_wav.h"
#include "sim/host/harness/host_wav_writer.h"

// What could change samples on a stream's path, as far as the host knows:
// whether anything could, and what ("levels or effects", or the driver's own
// words). Where nothing could, a difference no run places is a fault, never
// processing.
struct HostPathChange
{
    bool MayChange = true;
    std::string What = "levels or effects";
};

// One verdict a run. A play: what the device received, against the file. A
// recording: the file, against what the device sent.
enum class HostWire
{
    Exact,   // every sample of the file (the device's), unchanged after the silent start
    Changed, // other samples: the driver's processing (levels, effects) is on
    // Play: the file's samples unchanged up to a frame, nothing of it after;
    // record: nothing of the device's (silence where it sent sound, frames
    // it never sent).
    Partial,
    // Play: the file's samples unchanged up to a frame where packets were
    // lost; record: the device's up to a frame, then frames it did not send
    // there (silence where it sent sound, frames inserted or lost).
    Broken,
    Silent,       // the file is silence, and so was all the device received (sent)
    OtherFormat,  // the device keeps other channels or bits than the file's
    SeveralPaths, // the device takes (sends) the stream on more than one endpoint
    Leftover,     // play: other samples before the file, then every sample of it unchanged
    // Play: the device received nothing; record: the device sent nothing, and
    // the recording holds nothing.
    Nothing,
    // Play: the device received silence only, none of the file's sound;
    // record: the recording holds nothing of the frames the device sent.
    Unreached,
    // Play: the device never received the file's first frames: the file
    // started on the wire at a later frame of it.
    LostStart,
    // Play, from a frame of the file on: the device never received its
    // frames up to a later one it then received; it received frames
    // inserted before the file's went on from an earlier one; or it received
    // silence in their place, and then the file's again in place. Record:
    // frames the device sent lost from a file frame on, or frames repeated.
    Lost,
    Inserted,
    Blanked,
    // Play: every sample of the file unchanged up to its last sound, and
    // then sound after it.
    Appended,
    // Play: sound in place of the file's silence from a frame on, then the
    // file's sound in place again.
    Filled,
    // Play: from a frame on, other samples than the file's that nothing on
    // the path could make, none placed among the file's.
    Other,
};

// What a run moved and how well: frames between the client and the driver
// against those expected, the stream position against the device clock, and
// the glitches.
struct HostStreamSummary
{
    ULONGLONG Frames = 0;         // play: the file's frames the driver took; record: those kept
    ULONGLONG ExpectedFrames = 0; // play: the file's frames; record: the time asked at the rate
    ULONGLONG PeriodFrames = 0;   // one pass of the cyclic buffer: what a run may miss by
    double PeriodMs = 0;          // the same in milliseconds
    // The stream position minus the device's place in the same stream (play:
    // the file's frames it received; record: the time run at its rate), once
    // the stream settled: the path's fixed latency.
    double OffsetMs = 0;
    double DriftMs = 0; // how far that difference moved from then to the end
    // Play: how far the time run at the stream's rate moved against the
    // frames the device received over the same time. Both drifts are
    // positive where the device falls behind.
    double DataDriftMs = 0;
    // Whether the run lasted until the stream settled, so the drift was
    // measured; and the offset too, when on a play the device received sound
    // to place the file's frames by (a silent one tells nothing).
    bool DriftMeasured = false;
    bool OffsetMeasured = false;
    // Packet slots of the run the device got (sent) nothing in: late, lost
    // or not taken, from the slot of the stream's first transfer to the
    // run's last step.
    ULONG MissingPackets = 0;
    ULONG Underruns = 0; // render: silence written while the file still had data
    ULONG Overruns = 0;  // the position overtook the data, or capture data was dropped
    bool Ran = false;    // the pin ran: what follows holds, however the run ended
    bool Unplugged = false;
    bool Interrupted = false; // SIGINT or SIGTERM ended the run
    bool OutFailed = false;   // writing options.Out failed, and the run ended there
    // Whether the device received the file's samples as they are (play), or
    // the file holds the samples the device sent as they are (record).
    HostWire Wire = HostWire::OtherFormat;
    // Changed, Broken, Lost, Inserted, Blanked: the file's first frame that
    // differs; Partial: the first missing.
    ULONGLONG ChangedAtFrame = 0;
    // Play: the wire frame the file's first frame came in; record: the
    // wire frame of the file's first frame the device sent, and the file
    // frame it is (the path's silence before it).
    ULONGLONG FileAtFrame = 0;
    ULONGLONG WireAtFileFrame = 0;
    ULONGLONG LeftoverFrames = 0; // play: frames of sound before the file that are not its
    // Play, LostStart: the file's frame it started at on the wire, the
    // first of it the device received; Lost, Inserted: the file frame it
    // received from ResumedWireFrame on, InsertedFrames more than the file
    // has before it; Blanked: the one after the last received as silence.
    // Record, Lost and Inserted (repeated): the device frame the file holds
    // from ChangedAtFrame on, InsertedFrames lost or repeated before it.
    ULONGLONG FirstReceivedFrame = 0;
    ULONGLONG ResumedWireFrame = 0;
    ULONGLONG InsertedFrames = 0;
    ULONGLONG AppendedFrames = 0; // play: frames of sound after the file's last sound
    // Play: what on the path could change samples, as a verdict of processing
    // names it.
    std::string Processing;
    // The frames the device received (sent) on the stream's endpoint.
    ULONGLONG DeviceFrames = 0;
    // The device's channels and container on the wire (0: not known).
    USHORT DeviceChannels = 0;
    USHORT DeviceBits = 0;
    // The rate the device ran the stream at: one other than the stream's
    // where it ran at one; that it has none of its own and follows the
    // stream's data; or None where the run read none (its interface never
    // streamed).
    SimStreamRate DeviceRate;

    // The frames moved are those expected, and the position kept to the
    // device clock, each within one period.
    bool Kept() const;
};

struct HostStreamOptions
{
    // Pulls the device out after this many milliseconds of running (0: never).
    ULONG UnplugAfterMs = 0;
    // Keeps what the device received, or the recording, in memory (a long
    // run may only count it).
    bool KeepReceived = true;
    // Where what the device received, or the recording, is written as it
    // arrives: opened once the pin runs, in the format the device takes or
    // the pin records in; left closed when the pin refused its format. The
    // run ends at the first write that fails.
    HostWavWriter* Out = nullptr;
    // Called with the milliseconds run and the run's length, once a second of
    // device time.
    std::function<void(ULONG doneMs, ULONG totalMs)> Progress;
    // What the device sends on a recording, on every channel (the sine's
    // frequency and level are kSineHz and kSineAmplitude): by default a sine
    // whose frames are marked, so that the verdict places each frame of the
    // recording at the one it came from, whole periods lost or repeated too.
    SimInPattern RecordPattern = SimInPattern::MarkedSine;
    // A test's hand between the stream and its verdict: given the bytes in
    // the order the verdict takes them (play: what the device received;
    // record: the recording) and how many came before, it may change them,
    // drop some or add more.
    std::function<void(ULONGLONG before, std::vector<UCHAR>& bytes)> Tap;
};

class HostStream
{
  public:
    // The device must be started.
    explicit HostStream(HostHarness& host) : m_Host(host) {}

    // Plays `file` through the first render wave filter, to the end of the
    // file and until the cyclic buffer has played out, in the driver's
    // format of the file's channels, valid bits and rate (moved to another
    // container as the audio engine would); *received gets what the device
    // received, in its own format. The file is read as it plays, a few
    // periods ahead of the pin, and compared as the device receives it (a
    // second reader of it). The driver's own status when it refuses the
    // format.
    NTSTATUS Play(HostPlaySource& file, const HostStreamOptions& options, HostAudio* received,
                  HostStreamSummary* summary);
    NTSTATUS Play(const HostAudio& file, const HostStreamOptions& options, HostAudio* received,
                  HostStreamSummary* summary);
    // Records `ms` of device time from the first capture wave filter in the
    // format the driver chooses, the device sending options.RecordPattern:
    // it runs until the recording holds that time (within one period more),
    // and keeps that time only. The recording is compared with what the
    // device sent on the endpoint the driver reads.
    NTSTATUS Record(ULONG ms, const HostStreamOptions& options, HostAudio* recorded,
                    HostStreamSummary* summary);

    // What failed, in words; empty after a run that worked.
    const std::string& Error() const { return m_Error; }
    // What failed in writing options.Out; empty when nothing.
    const std::string& OutError() const { return m_OutError; }
    // After a pin refused its format: the data ranges the pin offers, a line each.
    const std::string& Offered() const { return m_Offered; }

    // The sine the simulated microphone sends (its frames marked).
    static constexpr ULONG kSineHz = 1000;
    static constexpr double kSineAmplitude = 0.5;

  private:
    // Whether the run ends here, before its time: a write to options.Out
    // failed, SIGINT or SIGTERM came, or the run has lasted the options' time
    // and the device is pulled out (the driver then sees its transfers fail).
    bool EndsEarly(const HostStreamOptions& options, ULONG elapsed, HostStreamSummary* summary);
    // The status a run ends with: the device's absence, the failed write or
    // the signal, said in words with the milliseconds of the `run` it lasted,
    // or success.
    NTSTATUS RunEnd(HostStreamSummary* summary, ULONG elapsed, const char* run);

    // Says the pin refused `what` and keeps what it offers.
    NTSTATUS Refused(AudioEngineClient& client, PFILE_OBJECT filter, const EmuPcSubdeviceInfo& info,
                     ULONG pinId, const std::string& what, NTSTATUS status);

    // Hands `bytes` to options.Out, opening it in `format` first; a failure
    // is kept in m_OutError and ends the writing.
    void ToOut(const HostStreamOptions& options, const HostAudio& format, const UCHAR* data,
               size_t bytes);

    HostHarness& m_Host;
    std::string m_Error;
    std::string m_OutError;
    std::string m_Offered;
};

// The first wave filter whose streaming pin takes data in `flow` (render:
// into the filter; capture: out of it), with that pin's id; null when none.
const EmuPcSubdeviceInfo* HostFindWaveFilter(const std::vector<EmuPcSubdeviceInfo>& subdevices,
                                             KSPIN_DATAFLOW flow, ULONG* pinId);
// The isochronous data endpoints of the device in one direction: feedback
// endpoints and class 1.0 synch endpoints (those a data endpoint names, or
// with a refresh rate) excluded.
std::vector<UCHAR> HostDataEndpoints(const SimUsbDevice& device, bool in);
