// The parameter blocks of unit requests, built byte by byte as a device
// sends them: levels, RANGE blocks, the pseudo-control table, descriptor
// bitmaps, output types, jacks and the connection state.
#include <gtest/gtest.h>

#include <vector>

#include "audioclass/requests/request_blocks.h"

using Bytes = std::vector<UCHAR>;

namespace
{
// A table as a device keeps it: 16 unread bytes, its length, then the class
// 1.0 entry size and 16-bit entries or the class 2.0 32-bit entries.
Bytes Table(AudioClassVersion version, const std::vector<ULONG>& entries, int statedDelta = 0,
            UCHAR entrySize = 2)
{
    const bool v1 = version == AudioClassVersion::Uac1;
    Bytes t(v1 ? 19 : 18, 0);
    if (v1)
        t[18] = entrySize;
    for (ULONG e : entries)
        for (int b = 0; b < (v1 ? 2 : 4); ++b)
            t.push_back((UCHAR)(e >> (8 * b)));
    const int stated = (int)t.size() + statedDelta;
    t[16] = (UCHAR)stated;
    t[17] = (UCHAR)(stated >> 8);
    return t;
}
} // namespace

TEST(RequestBlocks, PseudoControlTableClass1)
{
    // Selector 0x81 (bit 0) on the master, 0x83 (bit 2) on channel 1.
    const Bytes t = Table(AudioClassVersion::Uac1, {0x0001, 0x0004});
    const ULONG n = (ULONG)t.size();
    PseudoControlTable table(AudioClassVersion::Uac1, t.data(), n, n);
    EXPECT_EQ(2u, table.EntryCount());
    EXPECT_TRUE(table.Has(0x81, 0, false));
    EXPECT_FALSE(table.Has(0x81, 1, false));
    EXPECT_TRUE(table.Has(0x83, 1, true));
    EXPECT_FALSE(table.Has(0x83, 2, false)); // past the entries
    EXPECT_FALSE(table.Has(0x01, 0, false)); // not a pseudo selector
    // The smallest of asked, received and stated lengths counts.
    EXPECT_EQ(1u, PseudoControlTable(AudioClassVersion::Uac1, t.data(), n - 1, n).EntryCount());
    EXPECT_EQ(1u, PseudoControlTable(AudioClassVersion::Uac1, t.data(), n, n - 2).EntryCount());
    const Bytes shortStated = Table(AudioClassVersion::Uac1, {0x0001, 0x0004}, -2);
    EXPECT_EQ(1u,
              PseudoControlTable(AudioClassVersion::Uac1, shortStated.data(), n, n).EntryCount());
    // Below its header, or with another entry size: no table.
    EXPECT_FALSE(PseudoControlTable(AudioClassVersion::Uac1, t.data(), n, 18).Present());
    EXPECT_FALSE(PseudoControlTable(AudioClassVersion::Uac1, t.data(), n, 17).Present());
    const Bytes wide = Table(AudioClassVersion::Uac1, {0x0001, 0x0004}, 0, 4);
    EXPECT_FALSE(PseudoControlTable(AudioClassVersion::Uac1, wide.data(), n, n).Present());
    EXPECT_FALSE(PseudoControlTable(AudioClassVersion::Uac1, nullptr, n, n).Present());
}
TEST(RequestBlocks, FeatureUnitBitmaps)
{
    // Class 1.0, one-byte entries: master mute, channels 1 and 2 volume.
    const Bytes d1 = {0x0A, 0x24, 0x06, 0x02, 0x01, 0x01, 0x01, 0x02, 0x02, 0x00};
    FeatureUnitBitmaps one(AudioClassVersion::Uac1, d1.data(), (ULONG)d1.size());
    EXPECT_EQ(2u, one.LogicalChannels());
    EXPECT_TRUE(one.Has(1, 0, false));
    EXPECT_FALSE(one.Has(2, 0, false));
    EXPECT_TRUE(one.Has(2, 2, false));
    EXPECT_FALSE(one.Has(2, 3, false));
    EXPECT_FALSE(one.Has(0, 0, false));
    EXPECT_FALSE(one.Has(9, 1, false)); // beyond the 8 bits of a byte
    // Two-byte entries: selector 10 (bit 9) on the master.
    const Bytes d2 = {0x0B, 0x24, 0x06, 0x04, 0x01, 0x02, 0x00, 0x02, 0x02, 0x00, 0x00};
    FeatureUnitBitmaps two(AudioClassVersion::Uac1, d2.data(), (ULONG)d2.size());
    EXPECT_EQ(1u, two.LogicalChannels());
    EXPECT_TRUE(two.Has(10, 0, false));
    EXPECT_TRUE(two.Has(2, 1, false));
    // A control size of 0, a descriptor cut short, a length beyond the bytes.
    Bytes zero = d1;
    zero[5] = 0;
    EXPECT_FALSE(FeatureUnitBitmaps(AudioClassVersion::Uac1, zero.data(), 10).Has(1, 0, false));
    EXPECT_FALSE(FeatureUnitBitmaps(AudioClassVersion::Uac1, d1.data(), 7).Has(1, 0, false));
    FeatureUnitBitmaps cut(AudioClassVersion::Uac1, d1.data(), 8);
    EXPECT_TRUE(cut.Has(1, 0, false));
    EXPECT_FALSE(cut.Has(2, 1, false));
    // Class 2.0: four-byte entries from byte 5, read and write bits.
    const Bytes d3 = {0x12, 0x24, 0x06, 0x02, 0x01, 0x0F, 0, 0, 0,
                      0x04, 0,    0,    0,    0x0C, 0,    0, 0, 0x00};
    FeatureUnitBitmaps uac2(AudioClassVersion::Uac2, d3.data(), (ULONG)d3.size());
    EXPECT_EQ(2u, uac2.LogicalChannels());
    EXPECT_TRUE(uac2.Has(1, 0, true));
    EXPECT_TRUE(uac2.Has(2, 1, false));
    EXPECT_FALSE(uac2.Has(2, 1, true));
    EXPECT_TRUE(uac2.Has(2, 1, true, true));
    EXPECT_TRUE(uac2.Has(2, 2, true));
    EXPECT_FALSE(uac2.Has(0x81, 0, false));
}
TEST(RequestBlocks, JackList)
{
    // Two jacks: green with presence detection, and one without (bits 8-11)
    // in colour code 14, connection type 2, locations 0x31.
    const Bytes list = {2,         0x03, 0, 0, 0,    0x00, 0x40, 0x01, 0x01,
                        /**/ 0x0C, 0,    0, 0, 0x00, 0xE1, 0x02, 0x31};
    for (AudioClassVersion v : {AudioClassVersion::Uac1, AudioClassVersion::Uac2})
    {
        JackRecord jacks[3];
        memset(jacks, 0xEE, sizeof(jacks));
        ASSERT_EQ(2u, ParseJackList(v, list.data(), 17, jacks, 3));
        const bool v1 = v == AudioClassVersion::Uac1;
        const ULONG first[9] = {3, 0x00FF00, 1, 1, 0, 0, 0, 0, v1 ? 1u : 0u};
        const ULONG second[9] = {0x0C, 0xFFFFFF, 2, 1, 3, 0, 0, 1, 0};
        EXPECT_EQ(0, memcmp(first, &jacks[0], 36));
        EXPECT_EQ(0, memcmp(second, &jacks[1], 36));
        EXPECT_EQ(0xEEEEEEEEu, jacks[2].ChannelMapping);
    }
    JackRecord jacks[2];
    EXPECT_EQ(1u, ParseJackList(AudioClassVersion::Uac2, list.data(), 16, jacks, 2));
    EXPECT_EQ(1u, ParseJackList(AudioClassVersion::Uac2, list.data(), 17, jacks, 1));
    EXPECT_EQ(0u, ParseJackList(AudioClassVersion::Uac2, list.data(), 0, jacks, 2));
    const ULONG colours[16] = {0,        0,        0x808080, 0x0000FF, 0x00FF00, 0xFF0000,
                               0xFF8000, 0xFFFF00, 0x800080, 0xFF0080, 0,        0,
                               0,        0,        0xFFFFFF, 0};
    EXPECT_EQ(0, memcmp(colours, JackColorTable, sizeof(colours)));
}
// A level goes out in the device's units (1/4 dB in one byte, 1/256 dB in
// two), held at the ends of what the bytes can carry rather than wrapped.
TEST(RequestBlocks, LevelsToTheDeviceAtTheEndsOfTheirBytes)
{
    constexpr LONG kQuarter = 1 << 14, kStep = 1 << 8;
    struct Case
    {
        ULONG Size;
        LONG Level;
        Bytes Sent;
    } cases[] = {
        {1, -128 * kQuarter, {0x80}},        {1, -128 * kQuarter - 1, {0x80}},
        {1, -129 * kQuarter, {0x80}},        {1, 127 * kQuarter, {0x7F}},
        {1, 128 * kQuarter, {0x7F}},         {1, -kQuarter, {0xFF}},
        {2, -32768 * kStep, {0x00, 0x80}},   {2, -32768 * kStep - 1, {0x00, 0x80}},
        {2, (LONG)0x80000000, {0x00, 0x80}}, {2, 32767 * kStep, {0xFF, 0x7F}},
        {2, 32768 * kStep, {0xFF, 0x7F}},
    };
    for (const Case& c : cases)
    {
        Bytes sent(c.Size, 0x5A);
        LevelToDevice(c.Level, c.Size, sent.data());
        EXPECT_EQ(c.Sent, sent) << c.Size << " " << c.Level;
    }
}
