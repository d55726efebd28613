// The ASIO test client on the class 2.0 reference devices, as `lthost --asio`
// runs it: a sine written into the render rings must reach the device, the
// capture rings must fill, and every buffer switch must be signalled.
#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/kernel/emu.h"
#include "sim/clients/asio_client.h"
#include "sim/host/harness/host_harness.h"

namespace
{
constexpr double c_SineAmplitude = 16000.0 / 32768.0; // the client's 16-bit sine

// The largest sample magnitude of little-endian signed samples of `bytes`
// each, as a fraction of full scale.
double PeakFraction(const std::vector<UCHAR>& data, ULONG bytes)
{
    LONGLONG peak = 0;
    for (size_t i = 0; i + bytes <= data.size(); i += bytes)
    {
        ULONG raw = 0;
        for (ULONG b = 0; b < bytes; ++b)
            raw |= (ULONG)data[i + b] << (8 * b);
        const LONG value = (LONG)(raw << (32 - 8 * bytes)) >> (32 - 8 * bytes);
        peak = std::max<LONGLONG>(peak, std::llabs(value));
    }
    return (double)peak / (double)(1LL << (8 * bytes - 1));
}

// True when the endpoint received the client's sine in some subslot size.
bool ReceivedTheSine(const SimOutRecord& record)
{
    for (ULONG bytes = 2; bytes <= 4; ++bytes)
        if (std::abs(PeakFraction(record.Data, bytes) - c_SineAmplitude) < 0.002)
            return true;
    return false;
}
} // namespace

TEST(AsioHost, ClassTwoDevicesStreamTheSineAndSignalEverySwitch)
{
    for (const char* name : {"Uac2HighSpeed", "Uac2Spdif"})
    {
        HostHarness host;
        std::string error;
        ASSERT_EQ(STATUS_SUCCESS, host.LoadDriver());
        ASSERT_EQ(STATUS_SUCCESS, host.PlugReference(name, &error)) << error;
        ASSERT_EQ(STATUS_SUCCESS, host.AddDevice());
        ASSERT_EQ(STATUS_SUCCESS, host.StartDevice()) << name;
        {
            AsioTestClient client(host.Fdo());
            ULONG sizes[4] = {}, rate = 0;
            ASSERT_EQ(STATUS_SUCCESS, client.Open()) << name;
            ASSERT_EQ(STATUS_SUCCESS, client.GetSampleRate(&rate)) << name;
            ASSERT_EQ(STATUS_SUCCESS, client.GetBufferSize(sizes)) << name;
            ASSERT_EQ(STATUS_SUCCESS, client.MapAll(sizes[2])) << name;
            client.WriteSine(1000.0, rate);
            host.Device()->Streaming().ClearRecords();
            ASSERT_EQ(STATUS_SUCCESS, client.Start()) << name;
            client.Run(1000);
            const ULONG expected = AsioExpectedSwitches(1000, AsioMsPerUrb(sizes[2], rate), 5);
            EXPECT_EQ(client.EventSwitches(), client.HeaderSwitches()) << name;
            EXPECT_LE(client.HeaderSwitches(), expected + 1) << name;
            EXPECT_GE(client.HeaderSwitches() + 1, expected) << name;
            EXPECT_GT(client.CapturePeak(), 0) << name;
            EXPECT_EQ(STATUS_SUCCESS, client.Stop()) << name;
            EXPECT_EQ(STATUS_SUCCESS, client.Unmap()) << name;
            client.Close();
        }
        bool sine = false;
        for (UCHAR endpoint = 0x01; endpoint <= 0x0F; ++endpoint)
            sine = sine || ReceivedTheSine(host.Device()->Streaming().OutRecord(endpoint));
        EXPECT_TRUE(sine) << name << ": no OUT endpoint received the client's sine";
        EXPECT_EQ(STATUS_SUCCESS, host.RemoveDevice()) << name;
        host.Unplug();
        host.UnloadDriver();
        EXPECT_EQ("", EmuCheckClean(false)) << name;
    }
}
