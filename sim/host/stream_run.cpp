#include "sim/host/stream_run.h"

#include <unistd.h>

#include <cstdio>

#include "sim/host/harness/host_formats.h"
#include "sim/host/harness/host_stream.h"

const char kStreamRunUsage[] =
    "  --play IN.wav           plays the file (integer PCM) through the first render\n"
    "                          wave filter, to its end, in the driver's format of the\n"
    "                          file's channels, valid bits and rate\n"
    "  --device-out OUT.wav    writes what the device received on the wire\n"
    "  --record OUT.wav        records from the first capture wave filter, the device\n"
    "                          sending a 1000 Hz sine on every channel\n"
    "  --seconds N             how long to record, in device seconds (default 1)\n"
    "  --unplug-after SECONDS  pulls the device out that far into the play or record;\n"
    "                          what was moved is written, and the run ends early (1)\n";

void HostProgress::Show(ULONG doneMs, ULONG totalMs)
{
    static const bool terminal = isatty(fileno(stdout)) != 0;
    if (terminal)
    {
        printf("\r%s: %.0f s of %.0f s", m_What, doneMs / 1000.0, totalMs / 1000.0);
        m_Open = true;
    }
    else if (doneMs % 10000 < 1000)
        printf("%s: %.0f s of %.0f s\n", m_What, doneMs / 1000.0, totalMs / 1000.0);
    fflush(stdout);
}

void HostProgress::Done()
{
    if (m_Open)
        printf("\n");
    m_Open = false;
}

namespace
{
// Errors go to the error stream, after what was said so far.
void Error(const char* what, const std::string& text)
{
    fflush(stdout);
    fprintf(stderr, "%s: %s\n", what, text.c_str());
}

void PrintSummary(const char* what, const HostStreamSummary& s)
{
    printf("%s summary: %llu of %llu frames moved, offset %+.3f ms and drift %+.3f ms against "
           "the device clock, glitches: %u late or missing packet(s), %u underrun(s), "
           "%u overrun(s)\n",
           what, (unsigned long long)s.Frames, (unsigned long long)s.ExpectedFrames, s.OffsetMs,
           s.DriftMs, s.MissingPackets, s.Underruns, s.Overruns);
    if (s.Wire == HostWire::Exact)
        printf("%s: the device received the file's samples unchanged, from frame %llu\n", what,
               (unsigned long long)s.FileAtFrame);
    else if (s.Wire == HostWire::Leftover)
        printf("%s: the device received %llu frame(s) of other samples before the file, which "
               "started late, at frame %llu, and then came unchanged\n",
               what, (unsigned long long)s.LeftoverFrames, (unsigned long long)s.FileAtFrame);
    else if (s.Wire == HostWire::Changed)
        printf("%s: the device's processing is on: from frame %llu it received other samples "
               "than the file's (levels or effects)\n",
               what, (unsigned long long)s.ChangedAtFrame);
}
} // namespace

bool RunStream(HostHarness& host, const StreamRunOptions& options, const HostAudio& play)
{
    const bool playing = !options.Play.empty();
    const char* what = playing ? "play" : "record";
    HostStreamOptions run;
    run.UnplugAfterMs = options.UnplugAfterMs;
    run.KeepReceived = !options.DeviceOut.empty();
    HostProgress progress(what);
    run.Progress = [&progress](ULONG done, ULONG total) { progress.Show(done, total); };
    HostStream stream(host);
    HostAudio audio;
    HostStreamSummary summary;
    NTSTATUS status;
    if (playing)
    {
        printf("play: %s, %llu frames, %s\n", options.Play.c_str(),
               (unsigned long long)play.Frames(),
               HostFormatText(play.Channels, play.BitsPerSample, play.Valid(), play.Rate).c_str());
        status = stream.Play(play, run, &audio, &summary);
    }
    else
        status = stream.Record(options.RecordMs, run, &audio, &summary);
    progress.Done();
    if (!NT_SUCCESS(status) && !summary.Unplugged)
    {
        Error(what, stream.Error() + ": " + HostStatusText(status));
        if (!stream.Offered().empty())
            fprintf(stderr, "%s: the filter offers:\n%s", what, stream.Offered().c_str());
        return false;
    }
    PrintSummary(what, summary);
    bool worked = NT_SUCCESS(status);
    if (!worked)
        Error(what, "ended early: " + stream.Error());
    else if (!summary.Kept())
    {
        Error(what, "the run did not keep to the device: frames or position off by more than "
                    "one period (" +
                        std::to_string(summary.PeriodFrames) + " frames)");
        worked = false;
    }
    else if (summary.MissingPackets != 0 || summary.Wire == HostWire::Leftover)
    {
        Error(what, summary.MissingPackets != 0
                        ? std::to_string(summary.MissingPackets) + " packet(s) late or missing"
                        : "samples that are not the file's came before it");
        worked = false;
    }
    const std::string& out = playing ? options.DeviceOut : options.Record;
    if (out.empty())
        return worked;
    std::string error;
    if (!HostWriteWav(out, audio, &error))
    {
        Error(what, error);
        return false;
    }
    printf("%s: wrote %s, %llu frames, %s%s\n", what, out.c_str(),
           (unsigned long long)audio.Frames(),
           HostFormatText(audio.Channels, audio.BitsPerSample, audio.Valid(), audio.Rate).c_str(),
           NT_SUCCESS(status) ? "" : " (ended early)");
    return worked;
}
