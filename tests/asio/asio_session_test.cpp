// The ASIO client operations on a real adapter: client records by file
// object, the device name, channel counts and information, sample types,
// latencies and buffer sizes, and the settings with their registry values
// and settings-changed events. The device's one ASIO engine is the
// reference device's playback stream: two channels, 48 kHz and 44.1 kHz at
// 16 bits, 48 kHz at 24 bits.
#include <gtest/gtest.h>

#include <string>

#include "platform/io/io_emu.h"
#include "platform/kernel/emu.h"
#include "tests/asio/asio_rig.h"

namespace
{
std::vector<ULONG> Values(const void* buffer, size_t count)
{
    std::vector<ULONG> v(count);
    memcpy(v.data(), buffer, count * 4);
    return v;
}

class AsioSession : public testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(rig.Ok());
        ASSERT_EQ(STATUS_SUCCESS, rig.Open(0));
        ASSERT_EQ(STATUS_SUCCESS, rig.Open(1));
    }
    PASIOPRIVATE A() { return rig.Asio(); }
    PFILE_OBJECT F(int i) { return rig.File(i); }

    AsioRig rig;
};

TEST_F(AsioSession, UnknownFileObjectsAreRefused)
{
    UCHAR buffer[64] = {};
    ULONG length = sizeof(buffer);
    PFILE_OBJECT none = F(3);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, A()->AsioCloseClient(none));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, A()->AsioGetDeviceName(none, buffer, &length));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, A()->AsioGetChannelCounts(none, buffer, 16));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, A()->AsioGetOwnerState(none, buffer));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, A()->AsioSetSampleType(none, 16));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, A()->AsioGetLatencies(none, buffer));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, A()->AsioGetBufferSize(none, buffer));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, A()->AsioReleaseSettingsEvent(none));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, A()->AsioGetMode(none, buffer));
    EXPECT_EQ(STATUS_UNSUCCESSFUL, A()->AsioUnused(F(0)));
    // A closed client is unknown from then on.
    EXPECT_EQ(STATUS_SUCCESS, A()->AsioCloseClient(F(1)));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, A()->AsioGetMode(F(1), buffer));
}

TEST_F(AsioSession, ANewClientStartsFromTheAdapterSettingsInPcmMode)
{
    ULONG value = 1;
    EXPECT_EQ(STATUS_SUCCESS, A()->AsioSetLatency(F(0), 6));
    ASSERT_EQ(STATUS_SUCCESS, rig.Open(2));
    EXPECT_EQ(STATUS_SUCCESS, A()->AsioGetMode(F(2), &value));
    EXPECT_EQ(0u, value);
    ULONG latencies[2] = {};
    EXPECT_EQ(STATUS_SUCCESS, A()->AsioGetLatencies(F(2), latencies));
    EXPECT_EQ((std::vector<ULONG>{1440, 2880}), Values(latencies, 2)); // 30 ms at 48 kHz
    EXPECT_EQ(STATUS_SUCCESS, A()->AsioGetSampleRate(F(2), &value));
    EXPECT_EQ(48000u, value);
}

TEST_F(AsioSession, ChannelCountsAndInformation)
{
    ULONG counts[4] = {9, 9, 9, 9};
    EXPECT_EQ(STATUS_SUCCESS, A()->AsioGetChannelCounts(F(0), counts, 16));
    EXPECT_EQ((std::vector<ULONG>{1, 0, 2, 0}), Values(counts, 4));
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, A()->AsioGetChannelCounts(F(0), counts, 15));

    ASSERT_EQ(STATUS_SUCCESS, rig.Stream().Stream()->SetName(u"SPK"));
    struct Case
    {
        ULONG Channel, IsInput;
        NTSTATUS Status;
        const char* Name;
    };
    const Case cases[] = {
        {0, 0, STATUS_SUCCESS, "SPK_00 ch"},           {1, 0, STATUS_SUCCESS, "SPK_01 ch"},
        {2, 0, STATUS_INVALID_PARAMETER, ""}, // one past the last
        {0, 1, STATUS_INVALID_PARAMETER, ""}, // no input channels
        {0xFFFFFFFF, 0, STATUS_INVALID_PARAMETER, ""},
    };
    for (const Case& c : cases)
    {
        UCHAR record[52] = {};
        memcpy(record, &c.Channel, 4);
        memcpy(record + 4, &c.IsInput, 4);
        EXPECT_EQ(c.Status, A()->AsioGetChannelInfo(F(0), record, 52)) << c.Channel;
        if (c.Status != STATUS_SUCCESS)
            continue;
        EXPECT_EQ((std::vector<ULONG>{c.Channel, 0, 0, 0, 16}), Values(record, 5));
        EXPECT_STREQ(c.Name, reinterpret_cast<const char*>(record + 20));
    }
    // A long engine name is cut to the 32 bytes of the record's name.
    ASSERT_EQ(STATUS_SUCCESS,
              rig.Stream().Stream()->SetName(u"AVeryLongEngineNameThatRunsPastTheRecord"));
    UCHAR record[60];
    memset(record, 0xEE, sizeof(record));
    memset(record, 0, 8);
    EXPECT_EQ(STATUS_SUCCESS, A()->AsioGetChannelInfo(F(0), record, 52));
    EXPECT_EQ(31u, strlen(reinterpret_cast<const char*>(record + 20)));
    EXPECT_EQ(0xEE, record[52]);
    // While a client owns mapped rings every channel is active.
    ASSERT_EQ(STATUS_SUCCESS, rig.Map(1, 480, {{0, 0}}));
    memset(record, 0, 8);
    EXPECT_EQ(STATUS_SUCCESS, A()->AsioGetChannelInfo(F(0), record, 52));
    EXPECT_EQ(1u, Values(record, 3)[2]);
}

TEST_F(AsioSession, SampleTypesOfferedByEveryEngineAndWrittenOnlyWithinTheOutput)
{
    // 16 bits and 24 bits packed, after the current type.
    ULONG types[8] = {};
    ULONG length = 0;
    EXPECT_EQ(STATUS_BUFFER_OVERFLOW, A()->AsioGetSampleTypes(F(0), nullptr, &length));
    EXPECT_EQ(16u, length);
    length = 15;
    memset(types, 0xEE, sizeof(types));
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, A()->AsioGetSampleTypes(F(0), types, &length));
    EXPECT_EQ(0xEEEEEEEEu, types[0]);
    length = 32;
    EXPECT_EQ(STATUS_SUCCESS, A()->AsioGetSampleTypes(F(0), types, &length));
    EXPECT_EQ(16u, length);
    EXPECT_EQ((std::vector<ULONG>{16, 2, 16, 17, 0xEEEEEEEE}), Values(types, 5));
    // Without ASIO engines: no list.
    ClassScript().Capabilities = {EndpointCapabilities{}};
    length = 0;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, A()->AsioGetSampleTypes(F(0), nullptr, &length));
    EXPECT_EQ(8u, length);
}

TEST_F(AsioSession, LatencyTableAndOwnerState)
{
    ULONG table[12] = {};
    ULONG length = 0;
    EXPECT_EQ(STATUS_BUFFER_OVERFLOW, A()->AsioGetLatencyTable(F(0), nullptr, &length));
    EXPECT_EQ(44u, length);
    length = 43;
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, A()->AsioGetLatencyTable(F(0), table, &length));
    length = 48;
    memset(table, 0xEE, sizeof(table));
    EXPECT_EQ(STATUS_SUCCESS, A()->AsioGetLatencyTable(F(0), table, &length));
    EXPECT_EQ((std::vector<ULONG>{4, 9, 2, 4, 6, 8, 10, 20, 30, 40, 50, 0xEEEEEEEE}),
              Values(table, 12));
    ULONG owner = 7;
    EXPECT_EQ(STATUS_SUCCESS, A()->AsioGetOwnerState(F(0), &owner));
    EXPECT_EQ(0u, owner);
}

TEST_F(AsioSession, SettingsAreCheckedStoredAndAnnounced)
{
    PKEVENT first = nullptr, second = nullptr;
    HANDLE h0 = rig.NewEvent(&first), h1 = rig.NewEvent(&second);
    ASSERT_EQ(STATUS_SUCCESS, A()->AsioSetSettingsEvent(F(0), &h0));
    ASSERT_EQ(STATUS_SUCCESS, A()->AsioSetSettingsEvent(F(1), &h1));
    // A client has one settings event at a time.
    EXPECT_EQ(STATUS_INVALID_PARAMETER, A()->AsioSetSettingsEvent(F(0), &h1));

    struct Case
    {
        const char* What;
        NTSTATUS (*Set)(PASIOPRIVATE, PFILE_OBJECT, ULONG);
        ULONG Value;
        NTSTATUS Status;
        const char16_t* Name;
    };
    auto type = [](PASIOPRIVATE a, PFILE_OBJECT f, ULONG v) { return a->AsioSetSampleType(f, v); };
    auto latency = [](PASIOPRIVATE a, PFILE_OBJECT f, ULONG v) { return a->AsioSetLatency(f, v); };
    auto rate = [](PASIOPRIVATE a, PFILE_OBJECT f, ULONG v) { return a->AsioSetSampleRate(f, &v); };
    const Case cases[] = {
        {"type 17", type, 17, STATUS_SUCCESS, u"ASIOMLDataBitDepth"},
        {"type 27", type, 27, STATUS_UNSUCCESSFUL, nullptr}, // no engine plays it
        {"type 18", type, 18, STATUS_UNSUCCESSFUL, nullptr},
        {"type 19", type, 19, STATUS_INVALID_PARAMETER, nullptr},
        {"type 33", type, 33, STATUS_INVALID_PARAMETER, nullptr},
        {"latency 8", latency, 8, STATUS_SUCCESS, u"ASIOMLDataLatency"},
        {"latency 9", latency, 9, STATUS_INVALID_PARAMETER, nullptr},
        {"rate 44100", rate, 44100, STATUS_SUCCESS, u"ASIOMLSampleRate"},
        {"rate 96000", rate, 96000, STATUS_UNSUCCESSFUL, nullptr},
        {"rate 7999", rate, 7999, STATUS_INVALID_PARAMETER, nullptr},
        {"rate DSD", rate, 2822400, STATUS_INVALID_PARAMETER, nullptr},
    };
    for (const Case& c : cases)
    {
        KeClearEvent(first);
        KeClearEvent(second);
        EXPECT_EQ(c.Status, c.Set(A(), F(0), c.Value)) << c.What;
        ULONG stored = 0;
        if (c.Name == nullptr)
        {
            EXPECT_EQ(FALSE, KeReadStateEvent(second)) << c.What;
            continue;
        }
        ASSERT_TRUE(rig.Usb().GetSetting(c.Name, &stored)) << c.What;
        EXPECT_EQ(c.Value, stored) << c.What;
        // Every client hears, also of a rate set while no rings are mapped.
        EXPECT_EQ(TRUE, KeReadStateEvent(first)) << c.What;
        EXPECT_EQ(TRUE, KeReadStateEvent(second)) << c.What;
    }
    EXPECT_EQ(17u, rig.Adapter()->GetAsioSampleType());
    EXPECT_EQ(8u, rig.Adapter()->GetAsioLatencyIndex());
    EXPECT_EQ(44100u, rig.Adapter()->GetAsioSampleRate());
    // Released events are no longer set.
    EXPECT_EQ(STATUS_SUCCESS, A()->AsioReleaseSettingsEvent(F(1)));
    KeClearEvent(second);
    EXPECT_EQ(STATUS_SUCCESS, A()->AsioSetLatency(F(0), 2));
    EXPECT_EQ(FALSE, KeReadStateEvent(second));
    EXPECT_EQ(STATUS_SUCCESS, A()->AsioSetSettingsEvent(F(1), &h1));
}

TEST_F(AsioSession, EventHandlesMustBeEventsTheCallerMaySet)
{
    HANDLE readOnly = rig.NewEvent(nullptr, SYNCHRONIZE);
    EXPECT_NE(STATUS_SUCCESS, A()->AsioSetSettingsEvent(F(0), &readOnly));
    HANDLE bogus = (HANDLE)(ULONG_PTR)0x7FF0;
    EXPECT_NE(STATUS_SUCCESS, A()->AsioSetSettingsEvent(F(0), &bogus));
    // Nothing was kept: a good handle is taken afterwards.
    HANDLE good = rig.NewEvent();
    EXPECT_EQ(STATUS_SUCCESS, A()->AsioSetSettingsEvent(F(0), &good));
}

TEST_F(AsioSession, RateTestsUseTheEngineFormatsOfTheClientMode)
{
    ULONG rate = 48000;
    EXPECT_EQ(STATUS_SUCCESS, A()->AsioCanSampleRate(F(0), &rate));
    rate = 44100;
    EXPECT_EQ(STATUS_SUCCESS, A()->AsioCanSampleRate(F(0), &rate));
    rate = 96000;
    EXPECT_EQ(STATUS_UNSUCCESSFUL, A()->AsioCanSampleRate(F(0), &rate));
    // No DSD formats: DSD mode is refused and the client stays in PCM.
    ULONG mode = 1;
    EXPECT_EQ(STATUS_UNSUCCESSFUL, A()->AsioCheckMode(F(0), &mode));
    EXPECT_EQ(STATUS_UNSUCCESSFUL, A()->AsioSetMode(F(0), &mode));
    mode = 2;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, A()->AsioSetMode(F(0), &mode));
    mode = 0;
    EXPECT_EQ(STATUS_SUCCESS, A()->AsioSetMode(F(0), &mode));
    mode = 9;
    EXPECT_EQ(STATUS_SUCCESS, A()->AsioGetMode(F(0), &mode));
    EXPECT_EQ(0u, mode);
}

TEST_F(AsioSession, LatenciesAndBufferSizesFollowTheSettings)
{
    ULONG latencies[2] = {}, sizes[4] = {};
    EXPECT_EQ(STATUS_SUCCESS, A()->AsioGetLatencies(F(0), latencies));
    EXPECT_EQ((std::vector<ULONG>{480, 960}), Values(latencies, 2));
    EXPECT_EQ(STATUS_SUCCESS, A()->AsioGetBufferSize(F(0), sizes));
    EXPECT_EQ((std::vector<ULONG>{96, 2400, 480, 1}), Values(sizes, 4));
    ULONG rate = 44100;
    ASSERT_EQ(STATUS_SUCCESS, A()->AsioSetSampleRate(F(0), &rate));
    ASSERT_EQ(STATUS_SUCCESS, A()->AsioSetLatency(F(0), 0));
    EXPECT_EQ(STATUS_SUCCESS, A()->AsioGetLatencies(F(1), latencies));
    EXPECT_EQ((std::vector<ULONG>{88, 176}), Values(latencies, 2));
    EXPECT_EQ(STATUS_SUCCESS, A()->AsioGetBufferSize(F(1), sizes));
    EXPECT_EQ((std::vector<ULONG>{88, 2205, 88, 1}), Values(sizes, 4));
}

TEST_F(AsioSession, StoredValuesAreCheckedWhereTheyAreUsed)
{
    rig.Usb().SetSetting(u"ASIOMLDataLatency", 9);
    ASSERT_EQ(STATUS_SUCCESS, rig.Session().Configure(1));
    EXPECT_EQ(9u, rig.Adapter()->GetAsioLatencyIndex());
    ULONG out[4] = {};
    EXPECT_EQ(STATUS_INVALID_PARAMETER, A()->AsioGetLatencies(F(0), out));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, A()->AsioGetBufferSize(F(0), out));
    // A client's setting mends it.
    EXPECT_EQ(STATUS_SUCCESS, A()->AsioSetLatency(F(0), 1));
    EXPECT_EQ(STATUS_SUCCESS, A()->AsioGetLatencies(F(0), out));
}

std::string ProductName()
{
    DeviceBytes bytes = ReferenceBytes(SimReference::Uac1SpeakerMic);
    std::string name;
    for (char16_t c : bytes.Strings[bytes.Device[15]])
        name += (char)c;
    while (!name.empty() && name.back() == ' ')
        name.pop_back();
    return name;
}

TEST_F(AsioSession, DeviceNameIsTheProductString)
{
    const std::string expected = ProductName();
    ASSERT_FALSE(expected.empty());
    char name[300];
    memset(name, 0xEE, sizeof(name));
    ULONG length = 0;
    EXPECT_EQ(STATUS_BUFFER_OVERFLOW, A()->AsioGetDeviceName(F(0), nullptr, &length));
    EXPECT_EQ(expected.size() + 1, length);
    length = (ULONG)expected.size();
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, A()->AsioGetDeviceName(F(0), name, &length));
    length = sizeof(name);
    EXPECT_EQ(STATUS_SUCCESS, A()->AsioGetDeviceName(F(0), name, &length));
    EXPECT_EQ(expected.size() + 1, length);
    EXPECT_EQ(expected, std::string(name));
    EXPECT_EQ((char)0xEE, name[length]);
}

std::unique_ptr<SimUsbDevice> DeviceNamed(bool hasProduct, const std::u16string& product)
{
    DeviceBytes bytes = ReferenceBytes(SimReference::Uac1SpeakerMic);
    if (hasProduct)
        bytes.Strings[bytes.Device[15]] = product;
    else
        bytes.Device[15] = 0;
    return MakeSimDevice(bytes);
}

TEST(AsioDeviceName, WithoutAProductStringTheFixedNameCutToFit)
{
    AsioRig rig(false, DeviceNamed(false, u""));
    ASSERT_TRUE(rig.Ok());
    ASSERT_EQ(STATUS_SUCCESS, rig.Open(0));
    char name[64];
    ULONG length = 0;
    EXPECT_EQ(STATUS_BUFFER_OVERFLOW, rig.Asio()->AsioGetDeviceName(rig.File(0), nullptr, &length));
    EXPECT_EQ(23u, length);
    length = sizeof(name);
    EXPECT_EQ(STATUS_SUCCESS, rig.Asio()->AsioGetDeviceName(rig.File(0), name, &length));
    EXPECT_STREQ("Lintra USB ASIO Device", name);
    EXPECT_EQ(23u, length);
    length = 10;
    memset(name, 0xEE, sizeof(name));
    EXPECT_EQ(STATUS_SUCCESS, rig.Asio()->AsioGetDeviceName(rig.File(0), name, &length));
    EXPECT_STREQ("Lintra US", name);
    EXPECT_EQ(10u, length);
    EXPECT_EQ((char)0xEE, name[10]);
}

TEST(AsioDeviceName, TrailingBlanksAreRemoved)
{
    AsioRig rig(false, DeviceNamed(true, u"Studio Box   "));
    ASSERT_TRUE(rig.Ok());
    ASSERT_EQ(STATUS_SUCCESS, rig.Open(0));
    char name[64] = {};
    ULONG length = sizeof(name);
    EXPECT_EQ(STATUS_SUCCESS, rig.Asio()->AsioGetDeviceName(rig.File(0), name, &length));
    EXPECT_STREQ("Studio Box", name);
    EXPECT_EQ(11u, length);
}
} // namespace
