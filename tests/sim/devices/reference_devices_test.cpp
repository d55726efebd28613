// The reference descriptor sets, checked by a walk of their own: every
// descriptor's length and type against the USB 2.0 and audio-class layouts,
// the totals, the endpoint counts, and a round trip through the text form.
#include <gtest/gtest.h>

#include <set>

#include "sim/devices/reference_devices.h"

namespace
{
const SimReference kAll[] = {SimReference::Uac1SpeakerMic, SimReference::Uac1Surround71,
                             SimReference::Uac2HighSpeed, SimReference::Uac2Spdif};

unsigned Word(const std::vector<UCHAR>& b, size_t at)
{
    return b[at] | b[at + 1] << 8;
}

// The length an audio-class descriptor must have, from its own fields.
size_t ExpectedAcLength(bool v2, const UCHAR* d)
{
    switch (d[2])
    {
    case 0x01: // header
        return v2 ? 9 : 8 + d[7];
    case 0x02: // input terminal
        return v2 ? 17 : 12;
    case 0x03: // output terminal
        return v2 ? 12 : 9;
    case 0x04:    // mixer: 1.0 bitmap length is ceil(inputs x outputs / 8)
        return 0; // checked separately
    case 0x05:    // selector
        return (v2 ? 7 : 6) + d[4];
    case 0x06:    // feature unit: master plus logical channels of the source cluster
        return 0; // checked separately
    case 0x0A:
        return 8;
    default:
        return 0;
    }
}

struct Walk
{
    std::string Error;
    int Interfaces = 0;
    int Endpoints = 0;
};

Walk WalkConfiguration(const SimReferenceConfig& r)
{
    Walk w;
    const std::vector<UCHAR>& c = r.Configuration;
    auto fail = [&](size_t at, const std::string& what)
    {
        if (w.Error.empty())
            w.Error = "offset " + std::to_string(at) + ": " + what;
    };
    if (c.size() < 9 || c[0] != 9 || c[1] != 2)
    {
        fail(0, "configuration header");
        return w;
    }
    if (Word(c, 2) != c.size())
        fail(2, "wTotalLength");
    std::set<int> numbers;
    int endpointsLeft = 0;
    bool inAc = false, inAs = false, v2 = false;
    size_t acStart = 0, acDeclared = 0, acSum = 0;
    std::map<int, int> channelsOf; // entity -> output channels
    size_t pos = 9;
    while (pos < c.size())
    {
        const UCHAR* d = &c[pos];
        size_t len = d[0];
        if (len < 2 || pos + len > c.size())
        {
            fail(pos, "length outside the configuration");
            break;
        }
        switch (d[1])
        {
        case 0x0B:
            if (len != 8)
                fail(pos, "interface association length");
            break;
        case 0x04:
            if (len != 9)
                fail(pos, "interface length");
            if (endpointsLeft != 0)
                fail(pos, "missing endpoints");
            if (inAc && acDeclared != acSum)
                fail(acStart, "AudioControl total");
            endpointsLeft = d[4];
            numbers.insert(d[2]);
            inAc = d[5] == 1 && d[6] == 1;
            inAs = d[5] == 1 && d[6] == 2;
            v2 = d[7] == 0x20;
            if (inAc)
                acSum = 0;
            ++w.Interfaces;
            break;
        case 0x05:
            if (len != (v2 ? 7u : 9u))
                fail(pos, "endpoint length");
            if (endpointsLeft-- <= 0)
                fail(pos, "endpoint beyond bNumEndpoints");
            ++w.Endpoints;
            break;
        case 0x25:
            if (len != (v2 ? 8u : 7u) || d[2] != 1)
                fail(pos, "class endpoint descriptor");
            break;
        case 0x24:
            if (inAc)
            {
                acSum += len;
                if (d[2] == 1)
                {
                    acStart = pos;
                    acDeclared = v2 ? Word(c, pos + 6) : Word(c, pos + 5);
                }
                size_t expected = ExpectedAcLength(v2, d);
                if (d[2] == 0x02)
                    channelsOf[d[3]] = v2 ? d[8] : d[7];
                if (d[2] == 0x05 || d[2] == 0x06)
                    channelsOf[d[3]] = channelsOf[d[2] == 0x05 ? d[5] : d[4]];
                if (d[2] == 0x06)
                {
                    int logical = channelsOf[d[4]];
                    expected = v2 ? 6 + 4 * (logical + 1) : 7 + d[5] * (logical + 1);
                }
                if (d[2] == 0x04)
                {
                    int inputs = 0;
                    for (int i = 0; i < d[4]; ++i)
                        inputs += channelsOf[d[5 + i]];
                    int outputs = d[5 + d[4]];
                    channelsOf[d[3]] = outputs;
                    expected = 10 + d[4] + (inputs * outputs + 7) / 8;
                }
                if (expected != 0 && expected != len)
                    fail(pos, "AudioControl descriptor subtype " + std::to_string(d[2]) +
                                  " length " + std::to_string(len) + " expected " +
                                  std::to_string(expected));
            }
            else if (inAs)
            {
                if (d[2] == 1 && len != (v2 ? 16u : 7u))
                    fail(pos, "AS_GENERAL length");
                if (d[2] == 2)
                {
                    size_t expected = v2 ? 6 : 8 + 3 * (d[7] == 0 ? 2 : d[7]);
                    if (len != expected)
                        fail(pos, "FORMAT_TYPE length");
                }
            }
            else
                fail(pos, "class descriptor outside an audio interface");
            break;
        default:
            fail(pos, "unexpected descriptor type");
        }
        pos += len;
    }
    if (inAc && acDeclared != acSum)
        fail(acStart, "AudioControl total");
    if (endpointsLeft != 0)
        fail(pos, "missing endpoints at the end");
    if ((int)numbers.size() != c[4])
        fail(4, "bNumInterfaces");
    return w;
}
} // namespace

TEST(ReferenceDevices, EveryDescriptorHasItsLengthAndType)
{
    for (SimReference which : kAll)
    {
        const SimReferenceConfig& r = SimReferenceDescriptors(which);
        SCOPED_TRACE(r.Name);
        ASSERT_EQ(r.Device.size(), 18u);
        EXPECT_EQ(r.Device[0], 18);
        EXPECT_EQ(r.Device[1], 1);
        EXPECT_EQ(r.Device[17], 1);
        // USB 2.0 devices must be able to run at high speed, 1.1 devices not.
        EXPECT_EQ(Word(r.Device, 2) >= 0x0200, r.Speed == EmuUsbSpeed::High);
        Walk w = WalkConfiguration(r);
        EXPECT_EQ(w.Error, "");
        EXPECT_EQ(w.Interfaces >= 5, true);
        ASSERT_NE(SimCreateReferenceDevice(which), nullptr);
    }
}

TEST(ReferenceDevices, TextFormRoundTrips)
{
    for (SimReference which : kAll)
    {
        const SimReferenceConfig& r = SimReferenceDescriptors(which);
        SCOPED_TRACE(r.Name);
        SimDescriptorSource source;
        ASSERT_EQ(SimParseDescriptorText(SimReferenceText(which), &source), "");
        EXPECT_EQ(source.Device, r.Device);
        EXPECT_EQ(source.Configurations, std::vector<std::vector<UCHAR>>{r.Configuration});
        EXPECT_EQ(source.Strings, r.Strings);
        EXPECT_FALSE(source.Speed.has_value());
    }
}

TEST(ReferenceDevices, ModelStringsSitWhereTheDriverLooks)
{
    // The 1.0 speaker answers only the fallback index, the surround device
    // only the first one.
    const auto& s1 = SimReferenceDescriptors(SimReference::Uac1SpeakerMic).Strings;
    EXPECT_EQ(s1.count(0x50), 0u);
    EXPECT_EQ(s1.at(0x32), u"Speaker Mic");
    const auto& s2 = SimReferenceDescriptors(SimReference::Uac1Surround71).Strings;
    EXPECT_EQ(s2.at(0x50), u"Generic 7.1 Sound");
    EXPECT_EQ(s2.count(0x32), 0u);
}
