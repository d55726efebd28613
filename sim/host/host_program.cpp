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
// plugged, added and started, the removal succeeded, the driver unloaded,
// the kernel reported no misuse and nothing leaked. Any other outcome is a
// failure (1); a bad command line gives 2. SIGINT or SIGTERM ends a run
// early, in order (no later part of it begins), and then the program by
// that signal.
#include "sim/host/host_program.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "platform/kernel/emu.h"
#include "platform/ks/pcautomation.h"
#include "sim/host/asio_run.h"
#include "sim/host/harness/host_harness.h"
#include "sim/host/harness/host_interrupt.h"
#include "sim/host/host_options.h"
#include "sim/host/self_check.h"

namespace
{
const char* const kDefaultDevice = kHostDefaultDevice;

void Usage(FILE* out)
{
    fprintf(
        out,
        "usage: lthost [--device NAME | --descriptor-file PATH] [--speed full|high]\n"
        "              [--asio SECONDS] [--verbose]\n"
        "              [--play IN.wav [--device-out OUT.wav] | --record OUT.wav [--seconds N]]\n"
        "              [--unplug-after SECONDS]\n"
        "       lthost --list | --self-check | --help\n"
        "\n"
        "  --device NAME           a reference device (default %s; --list names them)\n"
        "  --descriptor-file PATH  a device read from descriptor text (hex bytes, one\n"
        "                          descriptor a line; its speed from a \"speed full\" or\n"
        "                          \"speed high\" line, else high when bcdUSB >= 2.00)\n"
        "  --speed full|high       the speed of the connection, whatever the device says\n"
        "                          (TimedChip and TimedChipListed run at full speed only,\n"
        "                          Uac2HighSpeed and Uac2Spdif at high speed only)\n"
        "  --asio SECONDS          runs the ASIO test client on the started device for\n"
        "                          SECONDS: it writes frames that never repeat into the\n"
        "                          render rings and reads the capture rings, both compared\n"
        "                          with what the device received and sent, and counts the\n"
        "                          buffer switches against those expected (all must agree)\n"
        "%s"
        "  --verbose               echoes the driver's debug output as it comes\n"
        "  --list                  lists the reference devices\n"
        "  --self-check            runs the platform self-check on the real clock\n"
        "\n"
        "Exit status 0 when the run worked: the driver loaded, the device was plugged,\n"
        "added and started, the removal succeeded, the driver unloaded, the kernel\n"
        "reported no misuse and nothing leaked, and an ASIO, play or record run asked\n"
        "for went to its end (a play or record ends with a summary line: frames moved\n"
        "of those expected, the position's offset and drift against the device clock,\n"
        "glitches; it fails when the frames or the drift are off by more than one pass\n"
        "of the cyclic buffer). SECONDS are from 0.001 to %u. 1 otherwise;\n"
        "2 for a bad command line, a device not known, a file to play that cannot be\n"
        "read or an output that cannot be written or is a file the run reads (all\n"
        "checked before the driver loads; \"-\", the program's own standard output or\n"
        "error, named pipes and, to read, devices are not taken; a descriptor file\n"
        "holds at most %zu bytes, %zu a line).\n"
        "SIGINT or SIGTERM ends a run early: no later part of it begins (an output\n"
        "not begun is left as it was), the device is removed, the driver unloaded\n"
        "and every file closed whole, then the program ends by the signal.\n",
        kDefaultDevice, kStreamRunUsage, kHostMaxSeconds, kSimDescriptorTextMost,
        kSimDescriptorLineMost);
}

int g_KernelFailures = 0;

void OnKernelFailure(const char* message)
{
    ++g_KernelFailures;
    fflush(stdout);
    fprintf(stderr, "kernel failure: %s\n", message);
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

// One step's line, on the error stream when it failed; false then.
bool Report(const char* what, NTSTATUS status)
{
    fflush(stdout);
    fprintf(NT_SUCCESS(status) ? stdout : stderr, "%s: %s\n", what, HostStatusText(status).c_str());
    return NT_SUCCESS(status);
}

// A line on the error stream, after what was said so far.
void Error(const char* format, const std::string& a, const std::string& b = "")
{
    fflush(stdout);
    fprintf(stderr, format, a.c_str(), b.c_str());
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

// The device the options name, plugged; false with the reason said.
bool Plug(HostHarness& host, const HostOptions& options, HostPrepared* prepared)
{
    std::string error;
    const std::string& device = options.Device;
    const NTSTATUS plugged = options.FromFile
                                 ? host.PlugDevice(std::move(prepared->DeviceFromFile), device)
                                 : host.PlugReference(device, &error, options.Speed);
    if (!NT_SUCCESS(plugged))
    {
        Error("device %s: not plugged: %s\n", device,
              error.empty() ? HostStatusText(plugged) : error);
        return false;
    }
    const USB_DEVICE_DESCRIPTOR& d = host.Device()->Descriptors().DeviceDescriptor();
    printf("device %s: VID_%04X PID_%04X, %s speed, plugged\n", device.c_str(), d.idVendor,
           d.idProduct, HostSpeedText(host.Device()->Speed()));
    // What is unusual about the device is the driver's to judge.
    for (const std::string& note : host.Device()->Notes())
        printf("device note: %s\n", note.c_str());
    return true;
}

// Runs a step of the run; an allocation in it that found no memory, once the
// reserve was spent, fails it (said) and ends the run early: the steps after
// it remove the device and unload the driver all the same.
template <class Step> bool Guarded(const std::string& what, Step step)
{
    try
    {
        return step();
    }
    catch (const std::bad_alloc&)
    {
        HostNoteOutOfMemory();
        fflush(stdout);
        fprintf(stderr, "%s: failed: the host ran out of memory\n", what.c_str());
        return false;
    }
}

// The parts of a run, in order: once SIGINT or SIGTERM came, none begins
// (no pin opened, no output touched), and it and each one after it say so.
class RunParts
{
  public:
    explicit RunParts(const HostOptions& options)
        : m_Names{"driver load", "device " + options.Device, "add device", "start device"}
    {
        if (options.AsioMs != 0)
            m_Names.push_back("asio");
        if (options.Stream.Wanted())
            m_Names.push_back(StreamName(options));
    }

    static const char* StreamName(const HostOptions& options)
    {
        return options.Stream.Play.empty() ? "record" : "play";
    }

    // Whether the part named may begin.
    bool MayBegin(const std::string& part) const
    {
        HostProbeInterrupt(part);
        if (!HostInterrupted())
            return true;
        for (auto p = std::find(m_Names.begin(), m_Names.end(), part); p != m_Names.end(); ++p)
            Error("%s: not run: interrupted by %s\n", *p, HostInterruptName());
        return false;
    }

  private:
    std::vector<std::string> m_Names;
};

// A part of the run, begun where it may, guarded.
template <class Step> bool Part(const RunParts& parts, const std::string& name, Step step)
{
    return parts.MayBegin(name) && Guarded(name, step);
}

// Starts the device and runs what the options ask on it; false when a part
// of it failed or did not begin.
bool StartAndRun(HostHarness& host, const HostOptions& options, const HostPrepared& prepared,
                 const RunParts& parts)
{
    if (!parts.MayBegin("start device"))
        return false;
    const NTSTATUS started = host.StartDevice();
    if (NT_SUCCESS(started))
    {
        Report("start device", started);
        // A part that does not begin has said so for every part after it.
        if (options.AsioMs != 0 && !parts.MayBegin("asio"))
            return false;
        const char* stream = RunParts::StreamName(options);
        bool worked = options.AsioMs == 0 ||
                      Guarded("asio", [&] { return RunAsioClient(host, options.AsioMs); });
        if (options.Stream.Wanted() &&
            !Part(parts, stream,
                  [&] { return RunStream(host, options.Stream, prepared.Play.get()); }))
            worked = false;
        return worked;
    }
    const HostStartStep step = host.ExplainStart(started);
    Error("start device: %s at %s\n", HostStatusText(started), step.Step + ": " + step.Cause);
    if (options.AsioMs != 0)
        Error("asio: %s%s\n", "not run: the device did not start");
    if (options.Stream.Wanted())
        Error("%s: %s\n", RunParts::StreamName(options), "not run: the device did not start");
    return false;
}

bool g_ResultSaid = false;

// The run's result line, and whether the run worked, the host's memory not
// having run out; nothing here allocates. A signal that came once every
// part had ended cut nothing short, but it still ends the program: it is
// said.
bool SayResult(bool worked)
{
    // From here the result stands: a signal that comes later is not taken.
    HostHoldInterrupts();
    fflush(stdout);
    if (HostInterruptUnheeded())
        fprintf(stderr,
                "lthost: interrupted by %s after the run's parts ended: nothing was cut short\n",
                HostInterruptName());
    const bool interrupted = HostInterrupted();
    worked = worked && !HostOutOfMemory();
    printf("result: %s%s%s\n", worked ? "worked" : "FAILED", interrupted ? ", interrupted by " : "",
           interrupted ? HostInterruptName() : "");
    g_ResultSaid = true;
    return worked;
}

// Opens each standard descriptor that is closed on the null device: a file
// the run opens would otherwise take its number, and the log written there
// would go into the file. Its lines go nowhere. False when one stays closed.
bool OpenClosedStandardDescriptors()
{
    for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO})
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF &&
            open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY) != fd)
        {
            fprintf(stderr, "lthost: descriptor %d is closed and /dev/null does not open: %s\n", fd,
                    strerror(errno));
            return false;
        }
    return true;
}

int RunDevice(const HostOptions& options, HostPrepared* prepared)
{
    const RunParts parts(options);
    bool worked = true;
    {
        HostHarness host;
        worked =
            Part(parts, "driver load", [&] { return Report("driver load", host.LoadDriver()); }) &&
            Part(parts, "device " + options.Device,
                 [&] { return Plug(host, options, prepared); }) &&
            Part(parts, "add device", [&] { return Report("add device", host.AddDevice()); });
        if (worked)
        {
            worked = Guarded("start device",
                             [&] { return StartAndRun(host, options, *prepared, parts); });
            worked = Guarded("registrations",
                             [&]
                             {
                                 ListRegistrations(host);
                                 return true;
                             }) &&
                     worked;
            if (!Guarded("surprise removal",
                         [&] {
                             return host.DevicePresent() ||
                                    Report("surprise removal", host.SurpriseRemoval());
                         }))
                worked = false;
            if (!Guarded("remove device",
                         [&] { return Report("remove device", host.RemoveDevice()); }))
                worked = false;
        }
        Guarded("driver unload",
                [&]
                {
                    host.Unplug();
                    host.UnloadDriver();
                    printf("driver unloaded\n");
                    return true;
                });
    }
    const std::string left = EmuCheckClean(true);
    // Leaks fail the run: said on the error stream.
    fflush(stdout);
    fprintf(left.empty() ? stdout : stderr, "leaks: %s\n", left.empty() ? "none" : left.c_str());
    if (!left.empty() || g_KernelFailures != 0)
        worked = false;
    EmuShutdown();
    return SayResult(worked) ? 0 : 1;
}
// The program once its standard descriptors are open and its memory reserve taken.
int RunProgram(int argc, char** argv);
} // namespace

int HostProgramMain(int argc, char** argv)
{
    if (!OpenClosedStandardDescriptors())
        return 2;
    HostReserveMemory();
    try
    {
        return RunProgram(argc, argv);
    }
    catch (const std::bad_alloc&)
    {
        // What was under way ended there; the device and the driver, where
        // they were, went with the harness.
        fflush(stdout);
        fputs("lthost: the host ran out of memory\n", stderr);
        if (!g_ResultSaid)
            puts("result: FAILED");
        return 1;
    }
}

namespace
{
int RunProgram(int argc, char** argv)
{
    HostOptions options;
    std::string error;
    if (!HostParseOptions(argc, argv, &options, &error))
    {
        fprintf(stderr, "lthost: %s\n(lthost --help lists the options)\n", error.c_str());
        return 2;
    }
    switch (options.Action)
    {
    case HostAction::Help:
        Usage(stdout);
        return 0;
    case HostAction::List:
        for (const std::string& name : HostHarness::ReferenceNames())
            printf("%s\n", name.c_str());
        return 0;
    case HostAction::SelfCheck:
        return RunPlatformSelfCheck();
    case HostAction::Run:
        break;
    }
    // A file-size limit fails the write that reaches it, as a full disk
    // does, instead of ending the program with the file's header unwritten.
    signal(SIGXFSZ, SIG_IGN);
    EmuReset(EmuClockMode::Virtual);
    EmuSetFailureHandler(OnKernelFailure);
    EmuDbgEcho(options.Verbose);
    int status = 2;
    {
        // Bad input is refused before the driver loads, so nothing of a run is lost to it.
        HostPrepared prepared;
        std::string warning;
        const bool ready = HostPrepareRun(options, &prepared, &error, &warning);
        if (!warning.empty())
            fprintf(stderr, "lthost: warning: %s\n", warning.c_str());
        if (!ready)
        {
            fprintf(stderr, "lthost: %s\n", error.c_str());
            EmuShutdown();
            return 2;
        }
        // From here SIGINT and SIGTERM end the run early, in order.
        HostCatchInterrupts();
        status = RunDevice(options, &prepared);
    }
    // The device is removed, the driver unloaded and every file closed: the
    // shell sees the signal that ended the run.
    HostRaiseInterrupt();
    return status;
}
} // namespace
