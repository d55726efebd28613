// The host program: plays the operating system around the driver on the
// virtual clock. It loads the driver, plugs a simulated USB audio device,
// adds and starts it, lists the filters, pins, physical connections and
// device interfaces the driver registered, removes the device, unloads the
// driver and reports what leaked. With --asio it also runs the ASIO test
// client on the started device for the seconds given; with --play or
// --record it plays a WAV file to the device or records from it through the
// driver's wave filters.
//
// A run "worked" (exit status 0) when the driver loaded, the device was
// plugged and added, its start either succeeded or stopped at a step whose
// part of the driver is not built yet (the harness tells which), the removal
// succeeded, the driver unloaded, the kernel reported no misuse and nothing
// leaked. Any other outcome is a failure (1); a bad command line gives 2.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "platform/kernel/emu.h"
#include "sim/clients/asio_client.h"
#include "platform/ks/pcautomation.h"
#include "sim/host/harness/HostHarness.h"
#include "sim/host/self_check.h"
#include "sim/host/stream_run.h"

namespace
{
const char kDefaultDevice[] = "Uac1SpeakerMic";

void Usage(FILE* out)
{
    fprintf(
        out,
        "usage: lthost [--device NAME | --descriptor-file PATH] [--speed full|high]\n"
        "              [--asio SECONDS]\n"
        "              [--play IN.wav [--device-out OUT.wav] | --record OUT.wav [--seconds N]]\n"
        "              [--unplug-after SECONDS]\n"
        "       lthost --list | --self-check | --help\n"
        "\n"
        "  --device NAME           a reference device (default %s; --list names them)\n"
        "  --descriptor-file PATH  a device read from descriptor text (hex bytes, one\n"
        "                          descriptor a line; its speed from a \"speed full\" or\n"
        "                          \"speed high\" line, else high when bcdUSB >= 2.00)\n"
        "  --speed full|high       the speed of the connection, whatever the device says\n"
        "  --asio SECONDS          runs the ASIO test client on the started device: a sine\n"
        "                          through the render rings for SECONDS, the buffer switches\n"
        "                          counted against those expected (they must agree)\n"
        "%s"
        "  --list                  lists the reference devices\n"
        "  --self-check            runs the platform self-check on the real clock\n"
        "\n"
        "Exit status 0 when the run worked: the driver loaded, the device was plugged\n"
        "and added, its start either succeeded or stopped at a step whose part of the\n"
        "driver is not built yet (reported as such), the removal succeeded, the driver\n"
        "unloaded, the kernel reported no misuse and nothing leaked, and an ASIO, play or\n"
        "record run asked for went to its end (a play or record ends with a summary line:\n"
        "frames moved, position drift against the device clock, glitches). 1 otherwise;\n"
        "2 for a bad command line.\n",
        kDefaultDevice, kStreamRunUsage);
}

int g_KernelFailures = 0;

void OnKernelFailure(const char* message)
{
    ++g_KernelFailures;
    printf("kernel failure: %s\n", message);
}

const char* FlowText(KSPIN_DATAFLOW flow)
{
    return flow == KSPIN_DATAFLOW_IN ? "in" : flow == KSPIN_DATAFLOW_OUT ? "out" : "?";
}

const char* CommunicationText(KSPIN_COMMUNICATION c)
{
    switch (c)
    {
    case KSPIN_COMMUNICATION_NONE:
        return "none";
    case KSPIN_COMMUNICATION_SINK:
        return "sink";
    case KSPIN_COMMUNICATION_SOURCE:
        return "source";
    case KSPIN_COMMUNICATION_BOTH:
        return "both";
    case KSPIN_COMMUNICATION_BRIDGE:
        return "bridge";
    }
    return "?";
}

// One step's line; false when it failed.
bool Report(const char* what, NTSTATUS status)
{
    printf("%s: %s\n", what, HostStatusText(status).c_str());
    return NT_SUCCESS(status);
}

// One end of a connection inside a filter.
std::string EndText(ULONG node, ULONG pin)
{
    return (node == PCFILTER_NODE ? std::string("pin ")
                                  : "node " + std::to_string(node) + " pin ") +
           std::to_string(pin);
}

void ListRegistrations(const HostHarness& host)
{
    const std::vector<HostFilter> filters = host.Filters();
    printf("filters: %zu\n", filters.size());
    for (const HostFilter& f : filters)
    {
        printf("  %s (%s), %zu pin(s), %zu node(s), %zu connection(s)\n", f.Name.c_str(),
               f.WaveCyclic ? "wave" : "topology", f.Pins.size(), f.Nodes.size(), f.Links.size());
        for (const HostPin& p : f.Pins)
            printf("    pin %u: %s, %s, %u data range(s)\n", p.Id, FlowText(p.DataFlow),
                   CommunicationText(p.Communication), p.DataRanges);
        for (size_t n = 0; n < f.Nodes.size(); ++n)
            printf("    node %zu: %s\n", n, f.Nodes[n].c_str());
        for (const HostLink& l : f.Links)
            printf("    %s -> %s\n", EndText(l.FromNode, l.FromPin).c_str(),
                   EndText(l.ToNode, l.ToPin).c_str());
    }
    const std::vector<HostConnection> connections = host.Connections();
    printf("physical connections: %zu\n", connections.size());
    for (const HostConnection& c : connections)
        printf("  %s pin %u -> %s pin %u\n", c.From.c_str(), c.FromPin, c.To.c_str(), c.ToPin);
    const std::vector<HostInterface> interfaces = host.Interfaces();
    printf("device interfaces: %zu\n", interfaces.size());
    for (const HostInterface& i : interfaces)
        printf("  %s \"%s\" %s: %s\n", i.Kind.c_str(), i.ReferenceString.c_str(),
               i.Enabled ? "enabled" : "registered, not enabled", i.SymbolicLink.c_str());
}

struct HostOptions
{
    std::string Device = kDefaultDevice;
    bool FromFile = false;
    std::optional<EmuUsbSpeed> Speed;
    ULONG AsioSeconds = 0; // 0: no ASIO run
    StreamRunOptions Stream;
};

bool AsioInterfaceEnabled(const HostHarness& host)
{
    for (const HostInterface& i : host.Interfaces())
        if (i.Kind == "ASIO" && i.Enabled)
            return true;
    return false;
}

// The ASIO test client on the started device: open, map every channel at
// the preferred buffer size, stream a sine, stop, unmap; true when every
// step succeeded and the switches counted are those expected.
bool RunAsioClient(const HostHarness& host, ULONG seconds)
{
    if (!AsioInterfaceEnabled(host))
    {
        printf("asio: the device offers no ASIO stream\n");
        return false;
    }
    AsioTestClient client(host.Fdo());
    std::string name;
    ULONG counts[4] = {}, sizes[4] = {}, rate = 0;
    bool worked = Report("asio open", client.Open()) &&
                  Report("asio device name", client.GetDeviceName(&name)) &&
                  Report("asio channels", client.GetChannelCounts(counts)) &&
                  Report("asio sample rate", client.GetSampleRate(&rate)) &&
                  Report("asio buffer size", client.GetBufferSize(sizes));
    if (!worked)
        return false;
    printf("asio device \"%s\": %u engine(s), %u in, %u out, %u Hz, buffer %u frames\n",
           name.c_str(), counts[0], counts[1], counts[2], rate, sizes[2]);
    if (!Report("asio map", client.MapAll(sizes[2])))
        return false;
    client.WriteSine(1000.0, rate);
    worked = Report("asio start", client.Start());
    if (worked)
    {
        client.Run(seconds * 1000);
        const ULONG expected =
            AsioExpectedSwitches(seconds * 1000, AsioMsPerUrb(sizes[2], rate), 5);
        const ULONG counted = client.HeaderSwitches();
        printf("asio buffer switches: %u signalled, %u counted, %u expected\n",
               client.EventSwitches(), counted, expected);
        printf("asio capture peak: %d\n", (int)client.CapturePeak());
        worked =
            client.EventSwitches() == counted && counted + 1 >= expected && counted <= expected + 1;
        worked = Report("asio stop", client.Stop()) && worked;
    }
    worked = Report("asio unmap", client.Unmap()) && worked;
    client.Close();
    return worked;
}

int RunDevice(const HostOptions& options)
{
    EmuReset(EmuClockMode::Virtual);
    EmuSetFailureHandler(OnKernelFailure);
    bool worked = true;
    {
        HostHarness host;
        std::string error;
        worked = Report("driver load", host.LoadDriver());
        const std::string& device = options.Device;
        NTSTATUS plugged = options.FromFile ? host.PlugDescriptorFile(device, &error, options.Speed)
                                            : host.PlugReference(device, &error, options.Speed);
        if (!NT_SUCCESS(plugged))
        {
            printf("device %s: not plugged: %s\n", device.c_str(), error.c_str());
            worked = false;
        }
        else
        {
            const USB_DEVICE_DESCRIPTOR& d = host.Device()->Descriptors().DeviceDescriptor();
            printf("device %s: VID_%04X PID_%04X, %s speed, plugged\n", device.c_str(), d.idVendor,
                   d.idProduct, host.Device()->Speed() == EmuUsbSpeed::High ? "high" : "full");
            // What is unusual about the device is the driver's to judge.
            for (const std::string& note : host.Device()->Notes())
                printf("device note: %s\n", note.c_str());
        }
        if (worked)
            worked = Report("add device", host.AddDevice());
        if (worked)
        {
            const NTSTATUS started = host.StartDevice();
            const HostStartStep step = host.ExplainStart(started);
            if (NT_SUCCESS(started))
            {
                Report("start device", started);
                if (options.AsioSeconds != 0 && !RunAsioClient(host, options.AsioSeconds))
                    worked = false;
                if (options.Stream.Wanted() && !RunStream(host, options.Stream))
                    worked = false;
            }
            else
            {
                printf("start device: %s at %s: %s%s\n", HostStatusText(started).c_str(),
                       step.Step.c_str(), step.Cause.c_str(),
                       step.NotBuiltYet ? " (not built yet)" : "");
                worked = step.NotBuiltYet;
                if (options.AsioSeconds != 0)
                    printf("asio: not run: the device did not start\n");
                if (options.Stream.Wanted())
                {
                    printf("%s: not run: the device did not start\n",
                           options.Stream.Play.empty() ? "record" : "play");
                    worked = false;
                }
            }
            ListRegistrations(host);
            if (!host.DevicePresent() && !Report("surprise removal", host.SurpriseRemoval()))
                worked = false;
            if (!Report("remove device", host.RemoveDevice()))
                worked = false;
        }
        host.Unplug();
        host.UnloadDriver();
        printf("driver unloaded\n");
    }

    const std::vector<std::string>& debug = EmuDbgOutput();
    if (!debug.empty())
    {
        printf("driver debug output:\n");
        for (const std::string& line : debug)
            printf("  %s%s", line.c_str(), !line.empty() && line.back() == '\n' ? "" : "\n");
    }
    const std::string left = EmuCheckClean(true);
    printf("leaks: %s\n", left.empty() ? "none" : left.c_str());
    if (!left.empty() || g_KernelFailures != 0)
        worked = false;
    EmuShutdown();
    printf("result: %s\n", worked ? "worked" : "FAILED");
    return worked ? 0 : 1;
}
} // namespace

int main(int argc, char** argv)
{
    HostOptions options;
    for (int i = 1; i < argc; ++i)
    {
        const char* arg = argv[i];
        if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0)
        {
            Usage(stdout);
            return 0;
        }
        if (strcmp(arg, "--list") == 0)
        {
            for (const std::string& name : HostHarness::ReferenceNames())
                printf("%s\n", name.c_str());
            return 0;
        }
        if (strcmp(arg, "--self-check") == 0)
            return RunPlatformSelfCheck();
        if ((strcmp(arg, "--device") == 0 || strcmp(arg, "--descriptor-file") == 0) && i + 1 < argc)
        {
            options.FromFile = strcmp(arg, "--descriptor-file") == 0;
            options.Device = argv[++i];
            continue;
        }
        if (strcmp(arg, "--speed") == 0 && i + 1 < argc &&
            (strcmp(argv[i + 1], "full") == 0 || strcmp(argv[i + 1], "high") == 0))
        {
            options.Speed = strcmp(argv[++i], "high") == 0 ? EmuUsbSpeed::High : EmuUsbSpeed::Full;
            continue;
        }
        if (strcmp(arg, "--asio") == 0 && i + 1 < argc && atoi(argv[i + 1]) > 0)
        {
            options.AsioSeconds = (ULONG)atoi(argv[++i]);
            continue;
        }
        if (ParseStreamOption(arg, i + 1 < argc ? argv[i + 1] : nullptr, &options.Stream))
        {
            ++i;
            continue;
        }
        fprintf(stderr, "lthost: unexpected argument \"%s\"\n", arg);
        Usage(stderr);
        return 2;
    }
    if (const char* problem = StreamOptionsProblem(options.Stream))
    {
        fprintf(stderr, "lthost: %s\n", problem);
        Usage(stderr);
        return 2;
    }
    return RunDevice(options);
}
