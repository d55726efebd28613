// Control requests answered by the simulated devices as their firmware would:
// standard requests, audio class 1.0 and 2.0 controls with their ranges, the
// device's own requests, and the log of everything asked.
#include <gtest/gtest.h>

#include "sim/devices/reference_devices.h"

namespace
{
struct Reply
{
    EmuUsbHandshake Handshake;
    std::vector<UCHAR> Data;
};

Reply Ctl(SimUsbDevice& d, UCHAR type, UCHAR request, USHORT value, USHORT index, USHORT length,
          std::vector<UCHAR> out = {})
{
    USB_DEFAULT_PIPE_SETUP_PACKET s{type, request, value, index, length};
    std::vector<UCHAR> buffer(length + 1, 0xEE);
    for (size_t i = 0; i < out.size() && i < length; ++i)
        buffer[i] = out[i];
    EmuControlAnswer a = d.ControlTransfer(s, buffer.data(), 7);
    Reply r{a.Handshake, {}};
    if (type & 0x80)
        r.Data.assign(buffer.begin(), buffer.begin() + a.Length);
    EXPECT_EQ(buffer[length], 0xEE) << "device wrote past wLength";
    return r;
}

const EmuUsbHandshake Ack = EmuUsbHandshake::Ack, Stall = EmuUsbHandshake::Stall;

std::unique_ptr<SimUsbDevice> Configured(SimReference which)
{
    auto d = SimCreateReferenceDevice(which);
    EXPECT_EQ(Ctl(*d, 0x00, 9, 1, 0, 0).Handshake, Ack);
    d->ClearLog();
    return d;
}

// 16-bit little-endian bytes
std::vector<UCHAR> LE16(int v)
{
    return {(UCHAR)(v & 0xFF), (UCHAR)((v >> 8) & 0xFF)};
}
} // namespace

TEST(StandardRequests, DescriptorsStringsAndConfiguration)
{
    auto d = SimCreateReferenceDevice(SimReference::Uac1SpeakerMic);
    const SimReferenceConfig& r = SimReferenceDescriptors(SimReference::Uac1SpeakerMic);
    EXPECT_EQ(Ctl(*d, 0x80, 6, 0x0100, 0, 18).Data, r.Device);
    // The 9-byte header first, then the whole configuration.
    Reply head = Ctl(*d, 0x80, 6, 0x0200, 0, 9);
    EXPECT_EQ(head.Data, std::vector<UCHAR>(r.Configuration.begin(), r.Configuration.begin() + 9));
    EXPECT_EQ(Ctl(*d, 0x80, 6, 0x0200, 0, 1000).Data, r.Configuration);
    // Language list, the model string at 0x32 in UTF-16, nothing at 0x50.
    EXPECT_EQ(Ctl(*d, 0x80, 6, 0x0300, 0, 255).Data, (std::vector<UCHAR>{4, 3, 0x09, 0x04}));
    Reply model = Ctl(*d, 0x80, 6, 0x0332, 0x0409, 104);
    ASSERT_EQ(model.Data.size(), 2u + 2 * 11);
    EXPECT_EQ(model.Data[0], 24);
    EXPECT_EQ(model.Data[1], 3);
    EXPECT_EQ(model.Data[2], 'S');
    EXPECT_EQ(model.Data[3], 0);
    EXPECT_EQ(Ctl(*d, 0x80, 6, 0x0350, 0x0409, 104).Handshake, Stall);
    EXPECT_EQ(Ctl(*d, 0x80, 6, 0x0332, 0x0407, 104).Handshake, Stall); // unknown language
    // Before SET_CONFIGURATION no interface exists; then alternate 0 everywhere.
    EXPECT_EQ(Ctl(*d, 0x01, 11, 1, 1, 0).Handshake, Stall);
    EXPECT_EQ(Ctl(*d, 0x00, 9, 2, 0, 0).Handshake, Stall);
    EXPECT_EQ(Ctl(*d, 0x00, 9, 1, 0, 0).Handshake, Ack);
    EXPECT_EQ(Ctl(*d, 0x80, 8, 0, 0, 1).Data, (std::vector<UCHAR>{1}));
    EXPECT_EQ(Ctl(*d, 0x01, 11, 2, 1, 0).Handshake, Ack);
    EXPECT_EQ(d->AlternateSetting(1), 2);
    EXPECT_EQ(Ctl(*d, 0x81, 10, 0, 1, 1).Data, (std::vector<UCHAR>{2}));
    EXPECT_EQ(Ctl(*d, 0x01, 11, 3, 1, 0).Handshake, Stall); // no alternate setting 3
    EXPECT_EQ(d->AlternateSetting(1), 2);
    // Endpoint halt through SET_FEATURE and CLEAR_FEATURE.
    EXPECT_EQ(Ctl(*d, 0x02, 3, 0, 0x83, 0).Handshake, Ack);
    EXPECT_TRUE(d->EndpointHalted(0x83));
    EXPECT_EQ(Ctl(*d, 0x82, 0, 0, 0x83, 2).Data, (std::vector<UCHAR>{1, 0}));
    EXPECT_EQ(Ctl(*d, 0x02, 1, 0, 0x83, 0).Handshake, Ack);
    EXPECT_FALSE(d->EndpointHalted(0x83));
    EXPECT_EQ(Ctl(*d, 0x02, 1, 0, 0x84, 0).Handshake, Stall); // no such endpoint
}

TEST(Uac1Requests, FeatureUnitValuesPersistAndAreRangeChecked)
{
    auto d = Configured(SimReference::Uac1SpeakerMic);
    const USHORT fu = SimRef1::FeaturePlay << 8 | SimRef1::ControlInterface;
    // Volume of channel 1: the device's defaults, -10 dB in -60..0 dB, 0.5 dB steps.
    EXPECT_EQ(Ctl(*d, 0xA1, 0x81, 0x0201, fu, 2).Data, LE16(-0x0A00));
    EXPECT_EQ(Ctl(*d, 0xA1, 0x82, 0x0201, fu, 2).Data, LE16(-0x3C00));
    EXPECT_EQ(Ctl(*d, 0xA1, 0x83, 0x0201, fu, 2).Data, LE16(0));
    EXPECT_EQ(Ctl(*d, 0xA1, 0x84, 0x0201, fu, 2).Data, LE16(0x0080));
    EXPECT_EQ(Ctl(*d, 0x21, 0x01, 0x0201, fu, 2, LE16(-0x1800)).Handshake, Ack);
    EXPECT_EQ(Ctl(*d, 0xA1, 0x81, 0x0201, fu, 2).Data, LE16(-0x1800));
    EXPECT_EQ(d->Audio().FindControl(SimRef1::FeaturePlay, 2, 1)->Current, -0x1800);
    // Channel 2 was not touched; minus infinity is taken; above the maximum is not.
    EXPECT_EQ(Ctl(*d, 0xA1, 0x81, 0x0202, fu, 2).Data, LE16(-0x0A00));
    EXPECT_EQ(Ctl(*d, 0x21, 0x01, 0x0202, fu, 2, LE16(0x8000)).Handshake, Ack);
    EXPECT_EQ(Ctl(*d, 0x21, 0x01, 0x0202, fu, 2, LE16(0x0100)).Handshake, Stall);
    EXPECT_EQ(Ctl(*d, 0x21, 0x01, 0x0202, fu, 1, LE16(0)).Handshake, Stall); // wrong length
    EXPECT_EQ(Ctl(*d, 0xA1, 0x81, 0x0202, fu, 2).Data, LE16(0x8000));
    // Mute only on the master channel; volume not on the master.
    EXPECT_EQ(Ctl(*d, 0x21, 0x01, 0x0100, fu, 1, {1}).Handshake, Ack);
    EXPECT_EQ(Ctl(*d, 0xA1, 0x81, 0x0100, fu, 1).Data, (std::vector<UCHAR>{1}));
    EXPECT_EQ(Ctl(*d, 0x21, 0x01, 0x0100, fu, 1, {2}).Handshake, Stall);
    EXPECT_EQ(Ctl(*d, 0xA1, 0x81, 0x0101, fu, 1).Handshake, Stall);
    EXPECT_EQ(Ctl(*d, 0xA1, 0x81, 0x0200, fu, 2).Handshake, Stall);
    EXPECT_EQ(Ctl(*d, 0xA1, 0x82, 0x0100, fu, 1).Handshake, Stall); // no range for a switch
    EXPECT_EQ(Ctl(*d, 0x21, 0x02, 0x0201, fu, 2, LE16(0)).Handshake, Stall); // SET_MIN
    // An entity that does not exist, a request to the wrong interface.
    EXPECT_EQ(Ctl(*d, 0xA1, 0x81, 0x0201, 0x0900, 2).Handshake, Stall);
    EXPECT_EQ(Ctl(*d, 0xA1, 0x81, 0x0201, 0x0205, 2).Handshake, Stall);
    // The log holds every request exactly as asked and answered.
    std::vector<std::string> log = d->LogText();
    ASSERT_GE(log.size(), 6u);
    EXPECT_EQ(log[0], "A1 81 0201 0200 0002 > 00 F6");
    EXPECT_EQ(log[4], "21 01 0201 0200 0002 < 00 E8");
    EXPECT_EQ(log[5], "A1 81 0201 0200 0002 > 00 E8");
    EXPECT_EQ(log[8], "21 01 0202 0200 0002 < 00 01 STALL");
    EXPECT_EQ(log[9], "21 01 0202 0200 0001 < 00 STALL");
}

TEST(Uac1Requests, ToneSelectorMixerAndEndpointFrequency)
{
    auto d = Configured(SimReference::Uac1Surround71);
    const USHORT fu = SimRef2::FeaturePlay << 8;
    // Bass: one byte in quarter dB, -12..+12 dB in 1 dB steps.
    EXPECT_EQ(Ctl(*d, 0xA1, 0x82, 0x0300, fu, 1).Data, (std::vector<UCHAR>{0xD0}));
    EXPECT_EQ(Ctl(*d, 0x21, 0x01, 0x0300, fu, 1, {0xFC}).Handshake, Ack);
    EXPECT_EQ(Ctl(*d, 0xA1, 0x81, 0x0300, fu, 1).Data, (std::vector<UCHAR>{0xFC}));
    EXPECT_EQ(Ctl(*d, 0x21, 0x01, 0x0300, fu, 1, {0x31}).Handshake, Stall);
    // Two-byte bitmaps: loudness (bit 9) on the master, volume on channel 8.
    EXPECT_EQ(Ctl(*d, 0x21, 0x01, 0x0A00, fu, 1, {1}).Handshake, Ack);
    EXPECT_EQ(Ctl(*d, 0xA1, 0x81, 0x0208, fu, 2).Data, LE16(-0x0A00));
    EXPECT_EQ(Ctl(*d, 0xA1, 0x81, 0x0209, fu, 2).Handshake, Stall);
    // Selector: inputs 1..2.
    const USHORT su = SimRef2::Selector << 8;
    EXPECT_EQ(Ctl(*d, 0xA1, 0x81, 0x0000, su, 1).Data, (std::vector<UCHAR>{1}));
    EXPECT_EQ(Ctl(*d, 0xA1, 0x83, 0x0000, su, 1).Data, (std::vector<UCHAR>{2}));
    EXPECT_EQ(Ctl(*d, 0x21, 0x01, 0x0000, su, 1, {2}).Handshake, Ack);
    EXPECT_EQ(d->Audio().SelectorInput(SimRef2::Selector), 2);
    EXPECT_EQ(Ctl(*d, 0x21, 0x01, 0x0000, su, 1, {3}).Handshake, Stall);
    EXPECT_EQ(Ctl(*d, 0x21, 0x01, 0x0000, su, 1, {0}).Handshake, Stall);
    EXPECT_EQ(Ctl(*d, 0x21, 0x01, 0x0100, su, 1, {1}).Handshake, Stall);
    // Mixer: 10 input channels (8 + 2) by 8 outputs.
    const USHORT mu = SimRef2::Mixer << 8;
    EXPECT_EQ(Ctl(*d, 0x21, 0x01, 0x0A02, mu, 2, LE16(-0x0600)).Handshake, Ack);
    EXPECT_EQ(Ctl(*d, 0xA1, 0x81, 0x0A02, mu, 2).Data, LE16(-0x0600));
    EXPECT_EQ(Ctl(*d, 0xA1, 0x81, 0x0B01, mu, 2).Handshake, Stall);
    EXPECT_EQ(Ctl(*d, 0xA1, 0x81, 0x0109, mu, 2).Handshake, Stall);
    // Endpoint sampling frequency: only on a selected setting, only listed rates.
    EXPECT_EQ(Ctl(*d, 0x22, 0x01, 0x0100, 0x01, 3, {0x44, 0xAC, 0x00}).Handshake, Stall);
    EXPECT_EQ(Ctl(*d, 0x01, 11, 1, 1, 0).Handshake, Ack);
    EXPECT_EQ(Ctl(*d, 0xA2, 0x81, 0x0100, 0x01, 3).Data, (std::vector<UCHAR>{0x80, 0xBB, 0x00}));
    EXPECT_EQ(Ctl(*d, 0x22, 0x01, 0x0100, 0x01, 3, {0x44, 0xAC, 0x00}).Handshake, Ack);
    EXPECT_EQ(d->Audio().EndpointRate(0x01), 44100u);
    EXPECT_EQ(Ctl(*d, 0x22, 0x01, 0x0100, 0x01, 3, {0x00, 0x7D, 0x00}).Handshake, Stall);
    // The capture range is continuous from 8 to 48 kHz.
    EXPECT_EQ(Ctl(*d, 0x01, 11, 1, 2, 0).Handshake, Ack);
    EXPECT_EQ(Ctl(*d, 0x22, 0x01, 0x0100, 0x82, 3, {0x80, 0x3E, 0x00}).Handshake, Ack);
    EXPECT_EQ(d->Audio().StreamRate(2), (SimStreamRate{SimStreamRate::Own, 16000}));
    EXPECT_EQ(Ctl(*d, 0x22, 0x01, 0x0100, 0x82, 3, {0x00, 0x77, 0x01}).Handshake, Stall);
}

TEST(Uac2Requests, ClockSourceRangesAndValidity)
{
    auto d = Configured(SimReference::Uac2HighSpeed);
    const USHORT clock = SimRef3::Clock << 8;
    Reply range = Ctl(*d, 0xA1, 0x02, 0x0100, clock, 2 + 12 * 6);
    ASSERT_EQ(range.Data.size(), 74u);
    EXPECT_EQ(range.Data[0], 6);
    const ULONG rates[6] = {44100, 48000, 88200, 96000, 176400, 192000};
    for (int i = 0; i < 6; ++i)
    {
        const UCHAR* p = &range.Data[2 + 12 * i];
        EXPECT_EQ((ULONG)(p[0] | p[1] << 8 | p[2] << 16 | p[3] << 24), rates[i]);
        EXPECT_EQ((ULONG)(p[4] | p[5] << 8 | p[6] << 16 | p[7] << 24), rates[i]);
        EXPECT_EQ(p[8] | p[9] | p[10] | p[11], 0);
    }
    // The count alone: the first two bytes of a 14-byte request.
    EXPECT_EQ(Ctl(*d, 0xA1, 0x02, 0x0100, clock, 14).Data.size(), 14u);
    EXPECT_EQ(Ctl(*d, 0xA1, 0x01, 0x0100, clock, 4).Data, (std::vector<UCHAR>{0x44, 0xAC, 0, 0}));
    EXPECT_EQ(Ctl(*d, 0x21, 0x01, 0x0100, clock, 4, {0x00, 0x77, 0x01, 0x00}).Handshake, Ack);
    EXPECT_EQ(d->Audio().ClockRate(SimRef3::Clock), 96000u);
    EXPECT_EQ(Ctl(*d, 0x21, 0x01, 0x0100, clock, 4, {0x39, 0x30, 0x00, 0x00}).Handshake, Stall);
    EXPECT_EQ(d->Audio().ClockRate(SimRef3::Clock), 96000u);
    EXPECT_EQ(Ctl(*d, 0xA1, 0x01, 0x0200, clock, 1).Data, (std::vector<UCHAR>{1}));
    d->Audio().SetClockValid(SimRef3::Clock, false);
    EXPECT_EQ(Ctl(*d, 0xA1, 0x01, 0x0200, clock, 1).Data, (std::vector<UCHAR>{0}));
    EXPECT_EQ(Ctl(*d, 0x21, 0x01, 0x0200, clock, 1, {1}).Handshake, Stall); // read only
    // 1.0 request codes mean nothing to a 2.0 entity.
    EXPECT_EQ(Ctl(*d, 0xA1, 0x81, 0x0100, clock, 4).Handshake, Stall);
}

TEST(Uac2Requests, FeatureUnitRangeAndAlternateSettings)
{
    auto d = Configured(SimReference::Uac2HighSpeed);
    const USHORT fu = SimRef3::FeaturePlay << 8;
    // RANGE of a two-byte level: one subrange of MIN, MAX, RES.
    EXPECT_EQ(Ctl(*d, 0xA1, 0x02, 0x0201, fu, 8).Data,
              (std::vector<UCHAR>{1, 0, 0x00, 0xC4, 0x00, 0x00, 0x80, 0x00}));
    EXPECT_EQ(Ctl(*d, 0x21, 0x01, 0x0202, fu, 2, LE16(-0x0300)).Handshake, Ack);
    EXPECT_EQ(Ctl(*d, 0xA1, 0x01, 0x0202, fu, 2).Data, LE16(-0x0300));
    EXPECT_EQ(Ctl(*d, 0xA1, 0x01, 0x0101, fu, 1).Handshake, Stall); // mute only on master
    // A read-only control refuses a set.
    SimControlValue ro{1, false, false, 0, 0, 0, 0};
    d->Audio().AddControl(SimRef3::FeaturePlay, 0x0A, 0, ro);
    EXPECT_EQ(Ctl(*d, 0xA1, 0x01, 0x0A00, fu, 1).Data, (std::vector<UCHAR>{0}));
    EXPECT_EQ(Ctl(*d, 0x21, 0x01, 0x0A00, fu, 1, {1}).Handshake, Stall);
    // Valid alternate settings: bControlSize then the bitmap; settings 0, 1, 2 exist.
    EXPECT_EQ(Ctl(*d, 0xA1, 0x01, 0x0200, 0x0001, 5).Data, (std::vector<UCHAR>{4, 0x07, 0, 0, 0}));
    d->Audio().SetValidAltSettings(1, 1, 0x03);
    EXPECT_EQ(Ctl(*d, 0xA1, 0x01, 0x0200, 0x0001, 5).Data, (std::vector<UCHAR>{1, 0x03}));
    EXPECT_EQ(Ctl(*d, 0x01, 11, 2, 1, 0).Handshake, Ack);
    EXPECT_EQ(Ctl(*d, 0xA1, 0x01, 0x0100, 0x0001, 1).Data, (std::vector<UCHAR>{2}));
    EXPECT_EQ(Ctl(*d, 0xA1, 0x01, 0x0200, 0x0005, 5).Handshake, Stall); // no interface 5
}

TEST(Uac2Requests, ConnectorsJacksAndOutputTypes)
{
    auto d = Configured(SimReference::Uac2Spdif);
    const USHORT hp = SimRef4::Headphones << 8, line = SimRef4::LineIn << 8;
    EXPECT_EQ(Ctl(*d, 0xA1, 0x01, 0x0200, hp, 6).Data, (std::vector<UCHAR>{2, 0x03, 0, 0, 0, 0}));
    EXPECT_EQ(Ctl(*d, 0xA1, 0x01, 0x0200, line, 6).Data, (std::vector<UCHAR>{0, 0, 0, 0, 0, 0}));
    // Jack count first (9 bytes asked, 9 given), then the list.
    EXPECT_EQ(Ctl(*d, 0xA1, 0x01, 0x02FF, hp, 9).Data,
              (std::vector<UCHAR>{1, 0x03, 0, 0, 0, 0x00, 0x40, 0x01, 0x01}));
    // The S/PDIF terminal has no connector control.
    EXPECT_EQ(Ctl(*d, 0xA1, 0x01, 0x0200, SimRef4::Spdif << 8, 6).Handshake, Stall);
    // Output types of the headphone terminal: its own type unless told otherwise.
    EXPECT_EQ(Ctl(*d, 0xA1, 0x02, 0x0800, hp, 8).Data,
              (std::vector<UCHAR>{1, 0, 0x02, 0x03, 0x02, 0x03, 0, 0}));
    SimTerminalPorts* ports = d->Audio().Ports(SimRef4::Headphones, false);
    ports->Types = {0x0302, 0x0301};
    ports->Jacks = {{{0x3, 0x01014000}}, {}};
    EXPECT_EQ(Ctl(*d, 0x21, 0x01, 0x0800, hp, 2, LE16(0x0301)).Handshake, Ack);
    EXPECT_EQ(Ctl(*d, 0xA1, 0x01, 0x0800, hp, 2).Data, LE16(0x0301));
    EXPECT_EQ(Ctl(*d, 0xA1, 0x01, 0x02FF, hp, 9).Data, (std::vector<UCHAR>{0}));
    EXPECT_EQ(Ctl(*d, 0x21, 0x01, 0x0800, hp, 2, LE16(0x0603)).Handshake, Stall);
}

TEST(DeviceRequests, ScriptedVendorTableAndFaults)
{
    auto d = Configured(SimReference::Uac1SpeakerMic);
    // Unknown vendor requests stall; scripted ones answer or take data.
    EXPECT_EQ(Ctl(*d, 0xC3, 0x81, 0, 9, 1).Handshake, Stall);
    d->ScriptRequest({0xC3, 0x81, 0, 9}, {0x9F});
    d->ScriptRequest({0x40, 0x07, -1, 0}, {});
    EXPECT_EQ(Ctl(*d, 0xC3, 0x81, 0, 9, 1).Data, (std::vector<UCHAR>{0x9F}));
    EXPECT_EQ(Ctl(*d, 0x40, 0x07, 1, 0, 0).Handshake, Ack);
    EXPECT_EQ(Ctl(*d, 0x40, 0x07, 1, 1, 0).Handshake, Stall);
    // Pseudo controls of 1.0 travel as vendor requests to the unit.
    const USHORT fu = SimRef1::FeaturePlay << 8;
    d->Audio().AddControl(SimRef1::FeaturePlay, 0x82, 0, {2, true, true, 0, -0x1000, 0, 0x100});
    EXPECT_EQ(Ctl(*d, 0xC1, 0x83, 0x8200, fu, 2).Data, LE16(0));
    EXPECT_EQ(Ctl(*d, 0x41, 0x01, 0x8200, fu, 2, LE16(-0x0200)).Handshake, Ack);
    EXPECT_EQ(Ctl(*d, 0xA1, 0x81, 0x8200, fu, 2).Handshake, Stall); // not as a class request
    // Memory space of a unit, read by GET_MEM at an offset.
    d->Audio().SetMemory(SimRef1::FeaturePlay, {1, 2, 3, 4, 5});
    EXPECT_EQ(Ctl(*d, 0xA1, 0x85, 0x0001, fu, 3).Data, (std::vector<UCHAR>{2, 3, 4}));
    EXPECT_EQ(Ctl(*d, 0xA1, 0x85, 0x0003, fu, 3).Handshake, Stall);

    // Faults: a stall, a short read after one good answer, silence, unplug.
    SimRequestMatch volume{0xA1, 0x81, 0x0201, fu};
    d->InjectControlFault(volume, SimFaultKind::Stall);
    EXPECT_EQ(Ctl(*d, 0xA1, 0x81, 0x0201, fu, 2).Handshake, Stall);
    EXPECT_EQ(Ctl(*d, 0xA1, 0x81, 0x0201, fu, 2).Data.size(), 2u);
    d->InjectControlFault(volume, SimFaultKind::ShortRead, 1, 1, 1);
    EXPECT_EQ(Ctl(*d, 0xA1, 0x81, 0x0201, fu, 2).Data.size(), 2u);
    EXPECT_EQ(Ctl(*d, 0xA1, 0x81, 0x0201, fu, 2).Data, (std::vector<UCHAR>{0x00}));
    d->InjectControlFault(volume, SimFaultKind::NoResponse);
    EXPECT_EQ(Ctl(*d, 0xA1, 0x81, 0x0201, fu, 2).Handshake, EmuUsbHandshake::NoResponse);
    d->InjectControlFault({}, SimFaultKind::Unplug);
    EXPECT_EQ(Ctl(*d, 0x80, 6, 0x0100, 0, 18).Handshake, EmuUsbHandshake::Unplug);
    std::vector<std::string> log = d->LogText();
    ASSERT_GE(log.size(), 6u);
    EXPECT_EQ(log[log.size() - 6], "A1 81 0201 0200 0002 STALL");
    EXPECT_EQ(log[log.size() - 4], "A1 81 0201 0200 0002 > 00 F6");
    EXPECT_EQ(log[log.size() - 3], "A1 81 0201 0200 0002 > 00");
    EXPECT_EQ(log[log.size() - 2], "A1 81 0201 0200 0002 NAK");
    EXPECT_EQ(log[log.size() - 1], "80 06 0100 0000 0012 GONE");
}
