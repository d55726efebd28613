#include "sim/host/asio_run.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "sim/clients/asio_client.h"
#include "sim/host/harness/host_asio_data.h"
#include "sim/host/harness/host_interrupt.h"
#include "sim/host/stream_run.h"

namespace
{
// One step's line, on the error stream when it failed; false then.
bool Report(const char* what, NTSTATUS status)
{
    fflush(stdout);
    fprintf(NT_SUCCESS(status) ? stdout : stderr, "asio %s: %s\n", what,
            HostStatusText(status).c_str());
    return NT_SUCCESS(status);
}

// Why the run failed, on the error stream after what was said so far.
void Error(const std::string& text)
{
    fflush(stdout);
    fprintf(stderr, "asio: %s\n", text.c_str());
}

bool AsioInterfaceEnabled(const HostHarness& host)
{
    for (const HostInterface& i : host.Interfaces())
        if (i.Kind == "ASIO" && i.Enabled)
            return true;
    return false;
}

// The rate the run streams at, said; false when no rate asked is played.
bool ChooseSampleRate(AsioTestClient& client, ULONG* rate)
{
    ULONG current = 0;
    if (!Report("sample rate", client.ChooseSampleRate(&current, rate)))
        return false;
    const std::string currentText = std::to_string(current) + " Hz";
    if (*rate == 0)
        Error("not run: of the rates asked (the current one, " + currentText +
              "; then 48000 and 44100 Hz; then the standard rates from 8000 to 384000 Hz) none is "
              "played by every engine");
    else if (*rate == current)
        printf("asio rate: %s, the current one\n", currentText.c_str());
    else
        printf("asio rate: %u Hz, set: the current one, %s, is not played by every engine\n", *rate,
               currentText.c_str());
    return *rate != 0;
}

// The type the run streams in, said; 0 when no type is offered.
ULONG ChooseSampleType(AsioTestClient& client)
{
    AsioSampleTypes types;
    ULONG chosen = 0;
    if (!Report("sample types", client.ChooseSampleType(&types, &chosen)))
        return 0;
    const std::string current = AsioSampleTypeText(types.Current);
    if (chosen == 0)
        Error("not run: no sample type is offered by every engine (the current one is " + current +
              "): the device's streams have no sample format in common");
    else if (chosen == types.Current)
        printf("asio sample type: %s, the current one\n", current.c_str());
    else
        printf("asio sample type: %s, set: the current one, %s, is not offered by every engine\n",
               AsioSampleTypeText(chosen).c_str(), current.c_str());
    return chosen;
}

// Maps the rings; the type and the rate were each chosen without the other,
// so an engine may lack a format of both: said in words.
bool Map(AsioTestClient& client, ULONG frames, ULONG rate, ULONG type)
{
    const NTSTATUS status = client.MapAll(frames);
    if (!Report("map", status) && status == STATUS_NOT_FOUND)
        Error("not run: an engine has no format of sample type " + AsioSampleTypeText(type) +
              " at " + std::to_string(rate) +
              " Hz with all its channels, though every engine offers the type and plays the rate");
    return NT_SUCCESS(status);
}

// Streams for up to `ms`, a second at a time, the client writing ahead and
// reading behind the driver and both ways compared as they go, so a long
// run keeps no more than a few rings of data. An interrupt ends it after
// the second under way; the milliseconds run.
ULONG Stream(HostAsioData& data, ULONG ms)
{
    HostProgress progress("asio");
    ULONG done = 0;
    while (done < ms && !HostInterrupted())
    {
        const ULONG step = std::min<ULONG>(1000, ms - done);
        data.Run(step);
        done += step;
        progress.Show(done, ms);
    }
    progress.Done();
    if (done < ms)
        Error(std::string("interrupted by ") + HostInterruptName() + " after " +
              HostSecondsText(done) + " s of " + HostSecondsText(ms) + " s: the run ends early");
    return done;
}

// Whether the switches signalled and counted in `ms` are those expected.
bool SwitchesAgree(const AsioTestClient& client, ULONG ms, ULONG frames, ULONG rate)
{
    const ULONG expected = AsioExpectedSwitches(ms, AsioMsPerUrb(frames, rate), 5);
    const ULONG counted = client.HeaderSwitches();
    printf("asio buffer switches: %u signalled, %u counted, %u expected\n", client.EventSwitches(),
           counted, expected);
    const bool agree =
        client.EventSwitches() == counted && counted + 1 >= expected && counted <= expected + 1;
    if (!agree)
        Error("the buffer switches signalled, counted and expected disagree");
    return agree;
}

// One way's compare said: its frames unchanged, each once and in order, on
// the output, or the processing that changed them; each fault, a position
// that does not count what was moved or no frame at all on the error
// stream, and false.
bool SayCompare(const char* way, const char* agreed, const HostAsioWay& said)
{
    if (!said.Has)
    {
        printf("asio %s: the device offers no %s ring\n", way, way);
        return true;
    }
    if (!said.Position.empty())
        Error(std::string(way) + ": " + said.Position);
    if (!said.Processing.empty())
        printf("asio %s: %s\n", way, said.Processing.c_str());
    for (const std::string& fault : said.Faults)
        Error(std::string(way) + ": " + fault);
    if (said.Received == 0)
        Error(std::string(way) + ": no frame was compared: the device moved none on the ring's "
                                 "endpoint");
    else if (said.Faults.empty() && said.Processing.empty())
        printf("asio %s: %s %llu frames unchanged, each once and in order\n", way, agreed,
               (unsigned long long)said.Compared);
    return said.Faults.empty() && said.Position.empty() && said.Received != 0;
}

bool DataAgrees(const HostAsioData& data)
{
    const bool render = SayCompare("render", "the device received the client's", data.Render());
    const bool capture =
        SayCompare("capture", "the capture rings held the device's", data.Capture());
    return render && capture;
}
} // namespace

bool RunAsioClient(const HostHarness& host, ULONG ms, HostAsioTap* tap)
{
    if (!AsioInterfaceEnabled(host))
    {
        Error("the device offers no ASIO stream");
        return false;
    }
    AsioTestClient client(host.Fdo());
    std::string name;
    ULONG counts[4] = {}, sizes[4] = {}, rate = 0;
    bool worked =
        Report("open", client.Open()) && Report("device name", client.GetDeviceName(&name)) &&
        Report("channels", client.GetChannelCounts(counts)) && ChooseSampleRate(client, &rate) &&
        Report("buffer size", client.GetBufferSize(sizes));
    if (!worked)
        return false;
    printf("asio device \"%s\": %u engine(s), %u in, %u out, %u Hz, buffer %u frames\n",
           name.c_str(), counts[0], counts[1], counts[2], rate, sizes[2]);
    const ULONG type = ChooseSampleType(client);
    if (type == 0 || !Map(client, sizes[2], rate, type))
        return false;
    HostAsioData data(client, host, client.RingSampleBytes(), tap);
    data.BeforeStart();
    worked = Report("start", client.Start());
    if (worked)
    {
        data.AfterStart();
        const ULONG done = Stream(data, ms);
        worked = SwitchesAgree(client, done, sizes[2], rate) && done == ms;
        worked = DataAgrees(data) && worked;
        worked = Report("stop", client.Stop()) && worked;
    }
    worked = Report("unmap", client.Unmap()) && worked;
    client.Close();
    return worked;
}
