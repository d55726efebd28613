#include <gtest/gtest.h>

#include "framework/registry_settings.h"
#include "platform/kernel/emu.h"
#include "tests/framework/settings_rig.h"

namespace
{
void SetSetting(SettingsRig& rig, const std::u16string& name, ULONG type,
                const std::vector<UCHAR>& data)
{
    EmuRegistrySetValue(rig.SettingsPath(), name, type, data.data(), (ULONG)data.size());
}
} // namespace

TEST(RegistrySettings, WriteCreatesSettingsKeyAndRawBinaryValue)
{
    SettingsRig rig;
    ASSERT_TRUE(rig.Ok());
    ULONG value = 0x11223344;
    EXPECT_EQ(RegistryBinarySetting(rig.Fdo(), SETTINGS_WRITE, &value, 4, u"ASIOMLSampleRate"),
              STATUS_SUCCESS);
    ULONG type = 0;
    std::vector<UCHAR> data;
    ASSERT_TRUE(rig.Value(u"", u"ASIOMLSampleRate", &type, &data));
    EXPECT_EQ(type, (ULONG)REG_BINARY);
    EXPECT_EQ(data, Bytes({0x44, 0x33, 0x22, 0x11}));

    // Read back through the same routine.
    ULONG back = 0;
    EXPECT_EQ(RegistryBinarySetting(rig.Fdo(), SETTINGS_READ, &back, 4, u"ASIOMLSampleRate"),
              STATUS_SUCCESS);
    EXPECT_EQ(back, 0x11223344u);
}

TEST(RegistrySettings, MissingValueLeavesTheDefaultForTheCallerToWriteBack)
{
    SettingsRig rig;
    ASSERT_TRUE(rig.Ok());
    ULONG latency = 4; // preset default
    EXPECT_EQ(RegistryBinarySetting(rig.Fdo(), SETTINGS_READ, &latency, 4, u"ASIOMLDataLatency"),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(latency, 4u);
    // The caller's pattern: write the default back on exactly that status.
    EXPECT_EQ(RegistryBinarySetting(rig.Fdo(), SETTINGS_WRITE, &latency, 4, u"ASIOMLDataLatency"),
              STATUS_SUCCESS);
    ULONG type = 0;
    std::vector<UCHAR> data;
    ASSERT_TRUE(rig.Value(u"", u"ASIOMLDataLatency", &type, &data));
    EXPECT_EQ(data, Bytes({4, 0, 0, 0}));
}

TEST(RegistrySettings, ShorterStoredValueCopiesOnlyItsBytes)
{
    SettingsRig rig;
    ASSERT_TRUE(rig.Ok());
    SetSetting(rig, u"Short", REG_BINARY, Bytes({0xAA, 0xBB}));
    ULONG v = 0x11223344;
    EXPECT_EQ(RegistryBinarySetting(rig.Fdo(), SETTINGS_READ, &v, 4, u"Short"), STATUS_SUCCESS);
    EXPECT_EQ(v, 0x1122BBAAu);
    // The stored type is not compared with the requested one.
    SetSetting(rig, u"Dword", REG_DWORD, Bytes({7, 0, 0, 0}));
    v = 0;
    EXPECT_EQ(RegistryBinarySetting(rig.Fdo(), SETTINGS_READ, &v, 4, u"Dword"), STATUS_SUCCESS);
    EXPECT_EQ(v, 7u);
}

TEST(RegistrySettings, LongerStoredValueIsRefusedWithTheBufferUntouched)
{
    SettingsRig rig;
    ASSERT_TRUE(rig.Ok());
    // Up to 4 bytes too long: the record fits the read buffer, the variable does not.
    for (int extra = 1; extra <= 4; ++extra)
    {
        std::vector<UCHAR> stored(4 + extra, 0x77);
        SetSetting(rig, u"Long", REG_BINARY, stored);
        ULONG v = 0x01020304;
        EXPECT_EQ(RegistryBinarySetting(rig.Fdo(), SETTINGS_READ, &v, 4, u"Long"),
                  STATUS_UNSUCCESSFUL)
            << extra;
        EXPECT_EQ(v, 0x01020304u);
    }
    // Beyond that the registry itself reports the overflow.
    for (int extra : {5, 6, 100})
    {
        std::vector<UCHAR> stored(4 + extra, 0x77);
        SetSetting(rig, u"Long", REG_BINARY, stored);
        ULONG v = 0x01020304;
        EXPECT_EQ(RegistryBinarySetting(rig.Fdo(), SETTINGS_READ, &v, 4, u"Long"),
                  STATUS_BUFFER_OVERFLOW)
            << extra;
        EXPECT_EQ(v, 0x01020304u);
    }
    // A one-byte on/off setting against a 4-byte value.
    SetSetting(rig, u"Switch", REG_BINARY, Bytes({1, 0, 0, 0}));
    UCHAR on = 9;
    EXPECT_EQ(RegistryBinarySetting(rig.Fdo(), SETTINGS_READ, &on, 1, u"Switch"),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(on, 9);
}

TEST(RegistrySettings, TypesAndModes)
{
    SettingsRig rig;
    ASSERT_TRUE(rig.Ok());
    SetSetting(rig, u"Path", REG_EXPAND_SZ, WideBytes(u"x", true));
    UCHAR buf[8] = {};
    EXPECT_EQ(AccessSettingsKey(rig.Fdo(), SETTINGS_READ, nullptr, u"Path", REG_EXPAND_SZ, buf,
                                sizeof(buf)),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(buf[0], 0);
    for (ULONG type : {0u, 2u, 5u, 7u, 11u})
        EXPECT_EQ(AccessSettingsKey(rig.Fdo(), SETTINGS_WRITE, nullptr, u"Bad", type, buf, 4),
                  STATUS_UNSUCCESSFUL)
            << type;
    ULONG type = 0;
    std::vector<UCHAR> data;
    EXPECT_FALSE(rig.Value(u"", u"Bad", &type, &data));

    // REG_SZ and REG_DWORD are written with their type.
    std::vector<UCHAR> text = WideBytes(u"Line", true);
    EXPECT_EQ(AccessSettingsKey(rig.Fdo(), SETTINGS_WRITE, nullptr, u"LineInName", REG_SZ,
                                text.data(), (ULONG)text.size()),
              STATUS_SUCCESS);
    ASSERT_TRUE(rig.Value(u"", u"LineInName", &type, &data));
    EXPECT_EQ(type, (ULONG)REG_SZ);
    EXPECT_EQ(data, text);
    ULONG d = 5;
    EXPECT_EQ(AccessSettingsKey(rig.Fdo(), SETTINGS_WRITE, nullptr, u"D", REG_DWORD, &d, 4),
              STATUS_SUCCESS);
    ASSERT_TRUE(rig.Value(u"", u"D", &type, &data));
    EXPECT_EQ(type, (ULONG)REG_DWORD);

    // Any other mode succeeds and changes nothing.
    ULONG v = 0xABCD;
    EXPECT_EQ(AccessSettingsKey(rig.Fdo(), 3, nullptr, u"D", REG_BINARY, &v, 4), STATUS_SUCCESS);
    EXPECT_EQ(AccessSettingsKey(rig.Fdo(), 0, nullptr, u"New", REG_BINARY, &v, 4), STATUS_SUCCESS);
    EXPECT_EQ(v, 0xABCDu);
    ASSERT_TRUE(rig.Value(u"", u"D", &type, &data));
    EXPECT_EQ(data, Bytes({5, 0, 0, 0}));
    EXPECT_FALSE(rig.Value(u"", u"New", &type, &data));
}

TEST(RegistrySettings, SubkeyUnderSettings)
{
    SettingsRig rig;
    ASSERT_TRUE(rig.Ok());
    UCHAR gain[5] = {0x10, 0x2C, 0x01, 0, 0};
    EXPECT_EQ(AccessSettingsKey(rig.Fdo(), SETTINGS_WRITE, u"Mixer", u"Gain", REG_BINARY, gain, 5),
              STATUS_SUCCESS);
    ULONG type = 0;
    std::vector<UCHAR> data;
    ASSERT_TRUE(rig.Value(u"Mixer", u"Gain", &type, &data));
    EXPECT_EQ(data, Bytes({0x10, 0x2C, 0x01, 0, 0}));
    EXPECT_FALSE(rig.Value(u"", u"Gain", &type, &data));
    UCHAR back[5] = {};
    EXPECT_EQ(AccessSettingsKey(rig.Fdo(), SETTINGS_READ, u"Mixer", u"Gain", REG_BINARY, back, 5),
              STATUS_SUCCESS);
    EXPECT_EQ(back[1], 0x2C);
}

TEST(RegistrySettings, IndexedNamesAndTheirCut)
{
    SettingsRig rig;
    ASSERT_TRUE(rig.Ok());
    UCHAR on = 1;
    EXPECT_EQ(RegistryIndexedSetting(rig.Fdo(), SETTINGS_WRITE, &on, 1, u"Unit", 7),
              STATUS_SUCCESS);
    ULONG type = 0;
    std::vector<UCHAR> data;
    ASSERT_TRUE(rig.Value(u"", u"Unit7", &type, &data));
    EXPECT_EQ(type, (ULONG)REG_BINARY);
    EXPECT_EQ(data, Bytes({1}));
    EXPECT_EQ(RegistryIndexedSetting(rig.Fdo(), SETTINGS_WRITE, &on, 1, u"Unit", -3),
              STATUS_SUCCESS);
    EXPECT_TRUE(rig.Value(u"", u"Unit-3", &type, &data));
    UCHAR back = 0;
    EXPECT_EQ(RegistryIndexedSetting(rig.Fdo(), SETTINGS_READ, &back, 1, u"Unit", 7),
              STATUS_SUCCESS);
    EXPECT_EQ(back, 1);

    // A name longer than 49 characters is cut there and still used.
    std::u16string base(47, u'B');
    EXPECT_EQ(RegistryIndexedSetting(rig.Fdo(), SETTINGS_WRITE, &on, 1, base.c_str(), 1234),
              STATUS_SUCCESS);
    EXPECT_TRUE(rig.Value(u"", base + u"12", &type, &data));
    EXPECT_EQ(EmuRegistryValueNames(rig.SettingsPath()).size(), 3u);
}

TEST(RegistrySettings, ReadBufferIsTaggedAndFreedOnEveryPath)
{
    SettingsRig rig;
    ASSERT_TRUE(rig.Ok());
    ULONG v = 1;
    ASSERT_EQ(RegistryBinarySetting(rig.Fdo(), SETTINGS_WRITE, &v, 4, u"X"), STATUS_SUCCESS);
    unsigned long long before = EmuPoolAllocationCount(POOL_TAG("hlep"));
    EXPECT_EQ(RegistryBinarySetting(rig.Fdo(), SETTINGS_READ, &v, 4, u"X"), STATUS_SUCCESS);
    EXPECT_EQ(RegistryBinarySetting(rig.Fdo(), SETTINGS_READ, &v, 4, u"Missing"),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(EmuPoolAllocationCount(POOL_TAG("hlep")), before + 2);
    EXPECT_EQ(EmuPoolOutstandingCount(POOL_TAG("hlep")), 0u);

    // Without a read buffer the value is not read and the call fails.
    EmuPoolInjectFailure(POOL_TAG("hlep"), 0, 1);
    v = 0x55;
    EXPECT_EQ(RegistryBinarySetting(rig.Fdo(), SETTINGS_READ, &v, 4, u"X"),
              STATUS_INSUFFICIENT_RESOURCES);
    EmuPoolClearInjection();
    EXPECT_EQ(v, 0x55u);
}

TEST(RegistrySettings, BadArgumentsAndKeysThatCannotOpen)
{
    SettingsRig rig;
    ASSERT_TRUE(rig.Ok());
    ULONG v = 0;
    EXPECT_EQ(RegistryBinarySetting(rig.Fdo(), SETTINGS_READ, nullptr, 4, u"X"),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RegistryBinarySetting(rig.Fdo(), SETTINGS_READ, &v, 4, nullptr),
              STATUS_INVALID_PARAMETER);
    // A size whose read buffer would wrap around.
    EXPECT_EQ(RegistryBinarySetting(rig.Fdo(), SETTINGS_READ, &v, 0xFFFFFFF8u, u"X"),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RegistryIndexedSetting(rig.Fdo(), SETTINGS_READ, &v, 4, nullptr, 1),
              STATUS_INVALID_PARAMETER);
    // A device object port-class does not know: its failure is returned.
    EXPECT_FALSE(NT_SUCCESS(RegistryBinarySetting(nullptr, SETTINGS_READ, &v, 4, u"X")));
    // A zero-length write stores an empty value.
    EXPECT_EQ(RegistryBinarySetting(rig.Fdo(), SETTINGS_WRITE, nullptr, 0, u"Empty"),
              STATUS_SUCCESS);
    ULONG type = 0;
    std::vector<UCHAR> data{1};
    ASSERT_TRUE(rig.Value(u"", u"Empty", &type, &data));
    EXPECT_TRUE(data.empty());
}
