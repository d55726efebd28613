// The host program's play and record runs: their options, their progress
// and summary lines, and the WAV files they write.
#pragma once

#include <string>

#include "sim/host/harness/host_harness.h"
#include "sim/host/harness/host_wav.h"
#include "sim/host/harness/host_play_source.h"

struct StreamRunOptions
{
    std::string Play;      // the file to play
    std::string DeviceOut; // where what the device received goes
    std::string Record;    // the file to record into
    ULONG RecordMs = 1000;
    bool SecondsGiven = false;
    ULONG UnplugAfterMs = 0;

    bool Wanted() const { return !Play.empty() || !Record.empty(); }
};

// The usage lines of the options.
extern const char kStreamRunUsage[];

// Milliseconds as seconds, to the millisecond and no further: "0.1", "2".
std::string HostSecondsText(ULONG ms);
// Signed milliseconds to the microsecond, zero without a sign's minus: "+0.000".
std::string HostMsText(double ms);

// Progress of a long run: one line updated in place on a terminal, a plain
// line every ten seconds otherwise; Done ends a line left open.
class HostProgress
{
  public:
    explicit HostProgress(const char* what) : m_What(what) {}
    ~HostProgress() { Done(); }
    void Show(ULONG doneMs, ULONG totalMs);
    void Done();

  private:
    const char* m_What;
    bool m_Open = false;
};

// Plays `play` (opened, at its first frame; null for a recording) or
// records as the options ask on the started device; true when the run went
// to its end and kept to the device, its verdict and its packets were
// sound, a recording holds exactly the frames asked, and its file was
// written. A run that ended early still writes what it moved.
bool RunStream(HostHarness& host, const StreamRunOptions& options, HostWavReader* play);
// The same with the file to play read from any source.
bool RunStream(HostHarness& host, const StreamRunOptions& options, HostPlaySource* play);
