#include "sim/host/stream_run.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <utility>

#include "sim/host/harness/host_formats.h"
#include "sim/host/harness/host_interrupt.h"
#include "sim/host/harness/host_stream.h"

const char kStreamRunUsage[] =
    "  --play IN.wav           plays the file (integer PCM) through the first render\n"
    "                          wave filter, to its end, in the driver's format of the\n"
    "                          file's channels, valid bits and rate\n"
    "  --device-out OUT.wav    writes what the device received on the wire\n"
    "  --record OUT.wav        records from the first capture wave filter, the device\n"
    "                          sending a 1000 Hz sine on every channel whose lowest\n"
    "                          bits tell its frames apart\n"
    "  --seconds N             how long to record, in device seconds (default 1)\n"
    "  --unplug-after SECONDS  pulls the device out that far into the play or record\n"
    "                          (rounded up to the host's 5 ms step); what was moved\n"
    "                          is written, and the run ends early (1)\n";

std::string HostSecondsText(ULONG ms)
{
    char text[32];
    snprintf(text, sizeof(text), "%u.%03u", ms / 1000, ms % 1000);
    std::string s = text;
    while (s.back() == '0')
        s.pop_back();
    if (s.back() == '.')
        s.pop_back();
    return s;
}

std::string HostMsText(double ms)
{
    char text[32];
    const double rounded = std::round(ms * 1000) / 1000;
    snprintf(text, sizeof(text), "%+.3f", rounded == 0 ? 0.0 : rounded);
    return text;
}

void HostProgress::Show(ULONG doneMs, ULONG totalMs)
{
    static const bool terminal = isatty(fileno(stdout)) != 0;
    if (terminal)
    {
        printf("\r%s: %s s of %s s", m_What, HostSecondsText(doneMs).c_str(),
               HostSecondsText(totalMs).c_str());
        m_Open = true;
    }
    else if (doneMs % 10000 < 1000)
        printf("%s: %s s of %s s\n", m_What, HostSecondsText(doneMs).c_str(),
               HostSecondsText(totalMs).c_str());
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

// What a run's verdict says, and whether it fails the run: one row a
// verdict, each run ends with exactly one. A wire frame counts what the
// device received (sent) from the run's start, silence included; a file
// frame counts the file's.
struct VerdictRow
{
    HostWire Wire;
    bool Fails;
    // {frame}: the frame the verdict names; {format}: the device's.
    const char* Text;
};

const VerdictRow kPlayVerdicts[] = {
    {HostWire::Exact, false,
     "the device received the file's samples unchanged, from wire frame {start}"},
    {HostWire::Leftover, true,
     "the device received {leftover} frame(s) of other samples before the file, which started "
     "late, at wire frame {start}"},
    {HostWire::Changed, false,
     "the device's processing is on: from file frame {frame} it received other samples than "
     "the file's ({processing})"},
    {HostWire::Partial, true,
     "the device received the file's samples unchanged up to file frame {frame}, and nothing of "
     "the file after it"},
    {HostWire::Broken, true,
     "the device received the file's samples unchanged up to file frame {frame}, where packets "
     "were late or missing: the rest was not compared"},
    {HostWire::Silent, false, "the file is silence, and so was all the device received"},
    {HostWire::OtherFormat, false,
     "the device keeps {format}, not the file's format: its samples were not compared"},
    {HostWire::SeveralPaths, false,
     "the device takes the stream on more than one endpoint: its samples were not compared"},
    {HostWire::Nothing, true, "the device received nothing"},
    {HostWire::Unreached, true,
     "the device received {moved} frame(s), all silence: none of the file's sound reached it"},
    {HostWire::LostStart, true,
     "the device never received file frames 0 to {lost}: the file started on the wire at its "
     "frame {first}"},
    {HostWire::Lost, true,
     "the device never received file frames {frame} to {lost}: from wire frame {resumed} it "
     "received the file's frame {first} on"},
    {HostWire::Inserted, true,
     "the device received {inserted} frame(s) inserted at file frame {frame}: from wire frame "
     "{resumed} it received the file's frame {first} on"},
    {HostWire::Blanked, true,
     "the device received silence in place of file frames {frame} to {lost}"},
    {HostWire::Appended, true,
     "the device received the file's samples unchanged, from wire frame {start}, up to its last "
     "sound, and then {appended} frame(s) of sound after it"},
    {HostWire::Filled, true,
     "the device received sound in place of the file's silence, file frames {frame} to {lost}"},
    {HostWire::Other, true,
     "the device received other samples than the file's from file frame {frame}"},
};

const VerdictRow kRecordVerdicts[] = {
    {HostWire::Exact, false,
     "the recording holds the device's samples unchanged, from wire frame {start} at file "
     "frame {wireat}"},
    {HostWire::Changed, false,
     "the device's processing is on: from file frame {frame} the recording holds other samples "
     "than the device sent ({processing})"},
    {HostWire::Broken, true,
     "the recording holds the device's samples unchanged up to file frame {frame}, and then "
     "frames the device did not send there (silence where it sent sound, sound where it sent "
     "silence, other samples where nothing on the path could change them, frames inserted or "
     "lost)"},
    {HostWire::Lost, true,
     "the recording lost {inserted} frame(s) the device sent at file frame {frame}: from there "
     "it holds the device's samples from wire frame {resumed} on"},
    {HostWire::Inserted, true,
     "the recording holds {inserted} frame(s) repeated at file frame {frame}: from there it "
     "holds the device's samples from wire frame {resumed} on"},
    {HostWire::Partial, true,
     "the recording holds nothing the device sent: silence where it sent sound, or frames it "
     "never sent"},
    {HostWire::Silent, false,
     "the recording is silence, and so was all the device sent in time to reach it"},
    {HostWire::OtherFormat, false,
     "the device sends {format}, not the recording's format: its samples were not compared"},
    {HostWire::SeveralPaths, false,
     "the device sends the stream on more than one endpoint: its samples were not compared"},
    {HostWire::Nothing, true, "the device sent nothing, and the recording holds nothing"},
    {HostWire::Unreached, true,
     "the recording holds nothing: none of the {moved} frame(s) the device sent reached it"},
};

// Says the run's verdict, `device` the format on the wire, on the error
// stream when it fails the run; false then.
template <size_t N>
bool PrintVerdict(const char* what, const VerdictRow (&rows)[N], const HostStreamSummary& s,
                  const HostAudio& device)
{
    for (const VerdictRow& row : rows)
        if (row.Wire == s.Wire)
        {
            const std::pair<const char*, std::string> fields[] = {
                {"{frame}", std::to_string(s.ChangedAtFrame)},
                {"{start}", std::to_string(s.FileAtFrame)},
                {"{wireat}", std::to_string(s.WireAtFileFrame)},
                {"{leftover}", std::to_string(s.LeftoverFrames)},
                {"{moved}", std::to_string(s.DeviceFrames)},
                {"{lost}", std::to_string(s.FirstReceivedFrame - 1)},
                {"{first}", std::to_string(s.FirstReceivedFrame)},
                {"{resumed}", std::to_string(s.ResumedWireFrame)},
                {"{inserted}", std::to_string(s.InsertedFrames)},
                {"{appended}", std::to_string(s.AppendedFrames)},
                {"{processing}", s.Processing},
                {"{format}",
                 HostFormatText(device.Channels, device.BitsPerSample, device.Valid(), 0)}};
            std::string text = row.Text;
            for (const auto& [name, value] : fields)
                if (const size_t at = text.find(name); at != std::string::npos)
                    text.replace(at, strlen(name), value);
            if (row.Fails)
                Error(what, text);
            else
                printf("%s: %s\n", what, text.c_str());
            return !row.Fails;
        }
    return false;
}

// Milliseconds measured, or that they were not.
std::string Measured(bool measured, double ms)
{
    return measured ? HostMsText(ms) + " ms" : "not measured";
}

void PrintSummary(const char* what, const HostStreamSummary& s)
{
    const std::string interrupted =
        s.Interrupted ? std::string(", interrupted by ") + HostInterruptName() : "";
    const char* follows = s.DeviceRate.Is == SimStreamRate::FollowsData
                              ? "; the device has no rate of its own: it follows the stream's data"
                              : "";
    printf("%s summary%s: %llu of %llu frames moved, offset %s and drift %s against the device "
           "clock, glitches: %u late or missing packet(s), %u underrun(s), %u overrun(s)%s\n",
           what, interrupted.c_str(), (unsigned long long)s.Frames,
           (unsigned long long)s.ExpectedFrames, Measured(s.OffsetMeasured, s.OffsetMs).c_str(),
           Measured(s.DriftMeasured, s.DriftMs).c_str(), s.MissingPackets, s.Underruns, s.Overruns,
           follows);
}
} // namespace

bool RunStream(HostHarness& host, const StreamRunOptions& options, HostWavReader* play)
{
    if (play == nullptr)
        return RunStream(host, options, (HostPlaySource*)nullptr);
    HostFileSource source(*play);
    return RunStream(host, options, &source);
}

bool RunStream(HostHarness& host, const StreamRunOptions& options, HostPlaySource* play)
{
    const bool playing = !options.Play.empty();
    const char* what = playing ? "play" : "record";
    const std::string& outPath = playing ? options.DeviceOut : options.Record;
    HostWavWriter out(outPath);
    HostStreamOptions run;
    run.UnplugAfterMs = options.UnplugAfterMs;
    run.KeepReceived = false;
    run.Out = outPath.empty() ? nullptr : &out;
    HostProgress progress(what);
    run.Progress = [&progress](ULONG done, ULONG total) { progress.Show(done, total); };
    HostStream stream(host);
    HostAudio audio;
    HostStreamSummary summary;
    NTSTATUS status;
    if (playing)
    {
        const HostAudio& f = play->Format();
        printf("play: %s, %llu frames, %s\n", options.Play.c_str(),
               (unsigned long long)play->Frames(),
               HostFormatText(f.Channels, f.BitsPerSample, f.Valid(), f.Rate).c_str());
        status = stream.Play(*play, run, &audio, &summary);
    }
    else
        status = stream.Record(options.RecordMs, run, &audio, &summary);
    progress.Done();
    std::string closing;
    const bool closed = out.Close(&closing);
    // A run that never began says why; one that began says what it moved,
    // however it ended.
    if (!NT_SUCCESS(status) && !summary.Ran)
    {
        Error(what, stream.Error() + ": " + HostStatusText(status));
        if (!stream.Offered().empty())
            fprintf(stderr, "%s: the filter's data ranges offer:\n%s", what,
                    stream.Offered().c_str());
        return false;
    }
    PrintSummary(what, summary);
    bool worked = NT_SUCCESS(status);
    const HostAudio device{audio.Rate, summary.DeviceChannels, summary.DeviceBits, {}};
    // A recording's device sends once asked: before that only a signal
    // leaves the recording empty.
    if (!playing && summary.Interrupted && summary.Wire == HostWire::Nothing)
    {
        Error(what, std::string("the recording holds nothing: interrupted by ") +
                        HostInterruptName() + " before the device sent anything");
        worked = false;
    }
    else if (playing ? !PrintVerdict(what, kPlayVerdicts, summary, audio)
                     : !PrintVerdict(what, kRecordVerdicts, summary, device))
        worked = false;
    // However short the run, a device at another rate plays (sends) other time.
    if (summary.DeviceRate.Is == SimStreamRate::Own && summary.DeviceRate.Hz != audio.Rate)
    {
        Error(what, "the device ran the stream at " + std::to_string(summary.DeviceRate.Hz) +
                        " Hz, not at the stream's " + std::to_string(audio.Rate) + " Hz");
        worked = false;
    }
    // A device that follows its data has no rate to compare: data sent at
    // another rate than the stream's moves against the time run.
    if (summary.DeviceRate.Is == SimStreamRate::FollowsData && summary.DriftMeasured &&
        std::fabs(summary.DataDriftMs) > summary.PeriodMs)
    {
        Error(what, "data drift " + HostMsText(summary.DataDriftMs) +
                        " ms: the device received the stream's data " +
                        (summary.DataDriftMs > 0 ? "behind" : "ahead of") +
                        " the time run, at another rate than the stream's " +
                        std::to_string(audio.Rate) + " Hz");
        worked = false;
    }
    if (summary.MissingPackets != 0)
    {
        Error(what, std::to_string(summary.MissingPackets) + " packet(s) late or missing");
        worked = false;
    }
    if (!NT_SUCCESS(status))
        Error(what, "ended early: " + stream.Error());
    else if (!summary.Kept())
    {
        Error(what, "the run did not keep to the device: frames or position off by more than "
                    "one period (" +
                        std::to_string(summary.PeriodFrames) + " frames)");
        worked = false;
    }
    // A recording that went to its end holds exactly the frames asked.
    if (NT_SUCCESS(status) && !playing && summary.Frames != summary.ExpectedFrames)
    {
        Error(what, "the recording holds " + std::to_string(summary.Frames) + " of the " +
                        std::to_string(summary.ExpectedFrames) +
                        " frames asked, all that came in its time");
        worked = false;
    }
    // A file that could not be made was named when the run ended.
    if (outPath.empty() || (summary.OutFailed && !out.Made()))
        return worked;
    if (!closed || !out.Made())
    {
        // A recording's output is made once its pin runs, a play's at the
        // device's first frames: one not made since a signal came is left as
        // it was.
        const std::string why = summary.Interrupted
                                    ? std::string("interrupted by ") + HostInterruptName()
                                    : "the device received nothing";
        Error(what, closed ? outPath + ": not written: " + why : closing);
        return false;
    }
    const HostAudio& f = out.Format();
    printf("%s: wrote %s, %llu frames, %s%s\n", what, outPath.c_str(),
           (unsigned long long)out.Frames(),
           HostFormatText(f.Channels, f.BitsPerSample, f.Valid(), f.Rate).c_str(),
           NT_SUCCESS(status) ? "" : " (ended early)");
    return worked;
}
