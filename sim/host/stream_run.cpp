#include "sim/host/stream_run.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim/host/harness/HostStream.h"

const char kStreamRunUsage[] =
    "  --play IN.wav           plays the file (integer PCM) through the first render\n"
    "                          wave filter in the file's own format, to its end\n"
    "  --device-out OUT.wav    writes what the device received on the wire\n"
    "  --record OUT.wav        records from the first capture wave filter, the device\n"
    "                          sending a 1000 Hz sine on every channel\n"
    "  --seconds N             how long to record, in device seconds (default 1)\n"
    "  --unplug-after SECONDS  pulls the device out that far into the play or record\n";

namespace
{
// Progress of a long run: one line updated in place on a terminal, a plain
// line every ten seconds otherwise.
void ShowProgress(const char* what, ULONG doneMs, ULONG totalMs)
{
    static const bool terminal = isatty(fileno(stdout)) != 0;
    if (terminal)
    {
        printf("\r%s: %.0f s of %.0f s", what, doneMs / 1000.0, totalMs / 1000.0);
        if (doneMs >= totalMs)
            printf("\n");
    }
    else if (doneMs % 10000 < 1000)
        printf("%s: %.0f s of %.0f s\n", what, doneMs / 1000.0, totalMs / 1000.0);
    fflush(stdout);
}

void PrintSummary(const char* what, const HostStreamSummary& s)
{
    printf("%s summary: %llu frames moved, drift %+.3f ms against the device clock, "
           "glitches: %u late or missing packet(s), %u underrun(s), %u overrun(s)\n",
           what, (unsigned long long)s.Frames, s.DriftMs, s.MissingPackets, s.Underruns,
           s.Overruns);
}

// Seconds as milliseconds: more than 0 and at most an hour; 0 when not.
ULONG SecondsToMs(const char* text)
{
    char* end = nullptr;
    const double seconds = strtod(text, &end);
    if (end == text || *end != 0 || !(seconds > 0) || seconds > 3600)
        return 0;
    const ULONG ms = (ULONG)(seconds * 1000 + 0.5);
    return ms;
}

} // namespace

bool RunStream(HostHarness& host, const StreamRunOptions& options)
{
    const bool play = !options.Play.empty();
    const char* what = play ? "play" : "record";
    HostStreamOptions run;
    run.UnplugAfterMs = options.UnplugAfterMs;
    run.KeepReceived = !options.DeviceOut.empty();
    run.Progress = [what](ULONG done, ULONG total) { ShowProgress(what, done, total); };
    HostStream stream(host);
    HostAudio audio;
    HostStreamSummary summary;
    std::string error;
    NTSTATUS status;
    if (play)
    {
        HostAudio in;
        if (!HostReadWav(options.Play, &in, &error))
        {
            printf("play: %s\n", error.c_str());
            return false;
        }
        printf("play: %s, %llu frames, %u channel(s) of %u bits at %u Hz\n", options.Play.c_str(),
               (unsigned long long)in.Frames(), in.Channels, in.BitsPerSample, in.Rate);
        status = stream.Play(in, run, &audio, &summary);
    }
    else
        status = stream.Record(options.RecordMs, run, &audio, &summary);
    if (!NT_SUCCESS(status))
    {
        if (summary.Unplugged)
            PrintSummary(what, summary);
        printf("%s: %s: %s\n", what, stream.Error().c_str(), HostStatusText(status).c_str());
        return false;
    }
    PrintSummary(what, summary);
    const std::string& out = play ? options.DeviceOut : options.Record;
    if (out.empty())
        return true;
    if (!HostWriteWav(out, audio, &error))
    {
        printf("%s: %s\n", what, error.c_str());
        return false;
    }
    printf("%s: wrote %s, %llu frames, %u channel(s) of %u bits at %u Hz\n", what, out.c_str(),
           (unsigned long long)audio.Frames(), audio.Channels, audio.BitsPerSample, audio.Rate);
    return true;
}

// The options of a play or record run, each with its value; false when
// `arg` is none of them or its value is missing or bad.
bool ParseStreamOption(const char* arg, const char* value, StreamRunOptions* options)
{
    if (value == nullptr)
        return false;
    static const struct
    {
        const char* Name;
        std::string StreamRunOptions::*Text;
        ULONG StreamRunOptions::*Ms;
    } table[] = {
        {"--play", &StreamRunOptions::Play, nullptr},
        {"--device-out", &StreamRunOptions::DeviceOut, nullptr},
        {"--record", &StreamRunOptions::Record, nullptr},
        {"--seconds", nullptr, &StreamRunOptions::RecordMs},
        {"--unplug-after", nullptr, &StreamRunOptions::UnplugAfterMs},
    };
    for (const auto& o : table)
        if (strcmp(arg, o.Name) == 0)
        {
            if (o.Text != nullptr)
                options->*o.Text = value;
            else if ((options->*o.Ms = SecondsToMs(value)) == 0)
                return false;
            return true;
        }
    return false;
}

const char* StreamOptionsProblem(const StreamRunOptions& options)
{
    if (!options.Play.empty() && !options.Record.empty())
        return "--play and --record are one run each";
    if (!options.DeviceOut.empty() && options.Play.empty())
        return "--device-out goes with --play";
    return nullptr;
}
