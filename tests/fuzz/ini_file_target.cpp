#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/io/io_emu.h"
#include "sim/devices/reference_devices.h"
#include "sim/host/harness/scenario_host.h"
#include "tests/fuzz/fuzz_input.h"
#include "tests/fuzz/fuzz_targets.h"

namespace
{
constexpr ULONG kRunMs = 12;
const char kDevice[] = "Uac1SpeakerMic";

// The system root of this process: a folder of its own under /tmp.
const std::string& SystemRoot()
{
    static const std::string root = []
    {
        const std::string dir = "/tmp/lt-fuzz-ini-" + std::to_string(getpid());
        mkdir(dir.c_str(), 0700);
        return dir;
    }();
    return root;
}

std::string HardwareId()
{
    const std::vector<UCHAR>& d = SimReferenceDescriptors(SimReference::Uac1SpeakerMic).Device;
    char id[64];
    snprintf(id, sizeof(id), "USB\\VID_%04X&PID_%04X&REV_%04X", d[8] | d[9] << 8,
             d[10] | d[11] << 8, d[12] | d[13] << 8);
    return id;
}
} // namespace

std::string FuzzIniFile(const uint8_t* data, size_t size)
{
    FuzzSession session;
    const std::string path = SystemRoot() + "/VESTRA.INI";
    if (FILE* f = fopen(path.c_str(), "wb"))
    {
        fwrite(data, 1, size, f);
        fclose(f);
    }
    EmuSetSystemRoot(SystemRoot());
    {
        ScenarioHost host(kDevice);
        if (host.Plugged())
            host.Live(kRunMs);
    }
    return session.End();
}

// A file the device's start imports: a version, this device's line, its
// section with numbers and a name, and a subkey section.
std::vector<FuzzInputBytes> FuzzIniFileSeeds()
{
    const std::string id = HardwareId();
    const std::string files[] = {
        "[VERSION]\r\nVer=0x0A\r\n[LINTRA]\r\n" + id +
            "=DevA\r\n[DevA]\r\nA=1\r\nGain = 0x10, 300\r\nName = Line In\r\n"
            "[DevA:Mixer]\r\nUnit05_ 1_=0x7F\r\n",
        "[VERSION]\r\nV=3\r\n[LINTRA]\r\n" + id + " = DevB ; note\r\n[DevB]\r\nDisable=1\r\n",
    };
    std::vector<FuzzInputBytes> seeds;
    for (const std::string& f : files)
        seeds.emplace_back(f.begin(), f.end());
    return seeds;
}
