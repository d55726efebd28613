#include "platform/kernel/emu.h"
#include "sim/clients/asio_client.h"
#include "sim/host/harness/scenario_host.h"
#include "tests/fuzz/fuzz_input.h"
#include "tests/fuzz/fuzz_targets.h"

namespace
{
const char* const kDevices[] = {"Uac2HighSpeed", "Uac2Spdif"};

// The ASIO codes by function number, with the access each is declared with.
struct AsioCode
{
    ULONG Function;
    ULONG Access;
};
constexpr ULONG R = FILE_READ_ACCESS, W = FILE_WRITE_ACCESS;
constexpr AsioCode kCodes[] = {
    {0x800, R},     {0x801, R}, {0x802, R | W}, {0x803, R}, {0x804, R}, {0x805, W},
    {0x806, R},     {0x807, W}, {0x808, W},     {0x809, R}, {0x80A, R}, {0x80B, W},
    {0x80C, W},     {0x80D, R}, {0x80E, R | W}, {0x80F, W}, {0x810, W}, {0x811, W},
    {0x812, R | W}, {0x813, W}, {0x814, W},     {0x815, W}, {0x816, R},
};
constexpr UCHAR kRawCode = 0xFF;
constexpr ULONG kMaxOperations = 48;
constexpr ULONG kMaxBuffer = 1024;

enum Operation : UCHAR
{
    Control,
    Map,
    Start,
    Stop,
    Unmap,
    Wait,
    Operations
};

ULONG CodeOf(FuzzInput& in)
{
    const UCHAR pick = in.Byte();
    if (pick == kRawCode)
        return in.Dword();
    const AsioCode& c = kCodes[pick % std::size(kCodes)];
    return CTL_CODE(FILE_DEVICE_SOUND, c.Function, METHOD_BUFFERED, c.Access);
}

void RunOperation(AsioTestClient& client, FuzzInput& in)
{
    switch (in.Byte() % Operations)
    {
    case Control:
    {
        const ULONG code = CodeOf(in);
        const ULONG inLength = in.Word() % kMaxBuffer;
        const ULONG outLength = in.Word() % kMaxBuffer;
        std::vector<UCHAR> input = in.Bytes(inLength);
        input.resize(inLength);
        std::vector<UCHAR> output(outLength);
        client.Control(code, input.data(), inLength, output.data(), outLength);
        break;
    }
    case Map:
        client.MapAll(in.Word() % 4096);
        break;
    case Start:
        client.Start();
        break;
    case Stop:
        client.Stop();
        break;
    case Unmap:
        client.Unmap();
        break;
    default:
        EmuAdvanceMs(in.Byte() % 32);
        break;
    }
}
} // namespace

std::string FuzzAsioControl(const uint8_t* data, size_t size)
{
    FuzzSession session;
    FuzzInput in(data, size);
    {
        ScenarioHost host(kDevices[in.Byte() % std::size(kDevices)]);
        if (host.Plugged() && NT_SUCCESS(host.Start()))
        {
            AsioTestClient client(host.Host().Fdo());
            if (NT_SUCCESS(client.Open()))
                for (ULONG i = 0; i < kMaxOperations && !in.Empty(); ++i)
                    RunOperation(client, in);
        }
    }
    return session.End();
}

// Every code once with empty buffers and with room, then a client's whole
// run: map, start, time, stop, unmap.
std::vector<FuzzInputBytes> FuzzAsioControlSeeds()
{
    std::vector<FuzzInputBytes> seeds;
    for (uint8_t device = 0; device < std::size(kDevices); ++device)
    {
        FuzzInputBytes seed{device};
        for (uint8_t code = 0; code < std::size(kCodes); ++code)
        {
            seed.insert(seed.end(), {Control, code});
            FuzzPutWord(&seed, 16);
            FuzzPutWord(&seed, 64);
            seed.insert(seed.end(), 16, 0x01);
        }
        seeds.push_back(seed);
        FuzzInputBytes run{device, Map};
        FuzzPutWord(&run, 480);
        run.insert(run.end(), {Start, Wait, 20, Stop, Unmap});
        seeds.push_back(run);
    }
    return seeds;
}
