// The device-family requests installed by the presets, answered as those
// chips answer them, and control changes made on the device itself.
#include <gtest/gtest.h>

#include "sim/devices/reference_devices.h"
#include "sim/devices/sim_vendor_presets.h"

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
    std::vector<UCHAR> buffer(length + 1, 0);
    for (size_t i = 0; i < out.size() && i < length; ++i)
        buffer[i] = out[i];
    EmuControlAnswer a = d.ControlTransfer(s, buffer.data(), 0);
    Reply r{a.Handshake, {}};
    if (type & 0x80)
        r.Data.assign(buffer.begin(), buffer.begin() + a.Length);
    return r;
}
const EmuUsbHandshake Ack = EmuUsbHandshake::Ack, Stall = EmuUsbHandshake::Stall;
} // namespace

TEST(VendorPresets, ChipFamilyRequests)
{
    auto d = SimCreateReferenceDevice(SimReference::Uac1SpeakerMic);
    Ctl(*d, 0x00, 9, 1, 0, 0);
    SimPresetChipIdentification(*d, 0x9F, 0x03);
    EXPECT_EQ(Ctl(*d, 0xC3, 0x81, 0, 9, 1).Data, (std::vector<UCHAR>{0x9F}));
    EXPECT_EQ(Ctl(*d, 0xC3, 0x81, 0, 8, 1).Data, (std::vector<UCHAR>{0x03}));
    EXPECT_EQ(Ctl(*d, 0xC3, 0x81, 0, 7, 1).Handshake, Stall);

    auto chip = SimPresetChipRegisters(*d);
    EXPECT_EQ(Ctl(*d, 0x21, 0x09, 0x0200, 3, 4, {0x20, 0xA0, 0xF8, 0x02}).Handshake, Ack);
    EXPECT_EQ(chip->Values[2], 0xF8A0);
    EXPECT_EQ(Ctl(*d, 0x21, 0x09, 0x0200, 3, 4, {0x21, 0xA0, 0xF8, 0x02}).Handshake, Stall);
    EXPECT_EQ(Ctl(*d, 0x21, 0x09, 0x0200, 3, 3, {0x20, 0xA0, 0xF8}).Handshake, Stall);
    ASSERT_EQ(chip->Writes.size(), 1u);
    EXPECT_EQ(Ctl(*d, 0xA1, 0x01, 0x0100, 3, 3).Data, (std::vector<UCHAR>{0, 0, 0}));
    chip->JackSense = true;
    EXPECT_EQ(Ctl(*d, 0xA1, 0x01, 0x0100, 3, 3).Data, (std::vector<UCHAR>{0x10, 0, 0}));

    SimPresetModelStatus(*d, 0x1F);
    EXPECT_EQ(Ctl(*d, 0xC3, 0x02, 0x51, 0, 1).Data, (std::vector<UCHAR>{0x1F}));
    SimPresetModelConfiguration(*d, 0x08, 0x00);
    EXPECT_EQ(Ctl(*d, 0xC3, 0x00, 0x1A, 0, 1).Data, (std::vector<UCHAR>{0x08}));
    EXPECT_EQ(Ctl(*d, 0xC3, 0x00, 0x20, 0, 1).Data, (std::vector<UCHAR>{0x00}));

    auto on = SimPresetStreamingSwitch(*d);
    EXPECT_EQ(Ctl(*d, 0x40, 0x07, 1, 0, 0).Handshake, Ack);
    EXPECT_TRUE(*on);
    EXPECT_EQ(Ctl(*d, 0x40, 0x07, 0, 0, 0).Handshake, Ack);
    EXPECT_FALSE(*on);
    EXPECT_EQ(Ctl(*d, 0x40, 0x07, 2, 0, 0).Handshake, Stall);
}

TEST(VendorPresets, PseudoControlTablesOfBothClasses)
{
    // 1.0: 16-bit entries, selector 139 is bit 10, 140 bit 11; master and two channels.
    auto d1 = SimCreateReferenceDevice(SimReference::Uac1SpeakerMic);
    Ctl(*d1, 0x00, 9, 1, 0, 0);
    SimPresetPseudoControls(
        *d1, SimRef1::FeaturePlay, {0x0C00, 0x0000, 0x0400},
        {{139, {1, false, true, 0, 0, 0, 0}}, {140, {1, false, true, 1, 0, 0, 0}}});
    const USHORT fu = SimRef1::FeaturePlay << 8;
    EXPECT_EQ(Ctl(*d1, 0xA1, 0x85, 0x0010, fu, 2).Data, (std::vector<UCHAR>{25, 0}));
    Reply table = Ctl(*d1, 0xA1, 0x85, 0x0000, fu, 25);
    ASSERT_EQ(table.Data.size(), 25u);
    EXPECT_EQ(table.Data[18], 2);
    EXPECT_EQ(table.Data[19], 0x00);
    EXPECT_EQ(table.Data[20], 0x0C);
    EXPECT_EQ(table.Data[24], 0x04);
    EXPECT_EQ(Ctl(*d1, 0xC1, 0x81, 0x8C00, fu, 1).Data, (std::vector<UCHAR>{1}));
    EXPECT_EQ(Ctl(*d1, 0x41, 0x01, 0x8B02, fu, 1, {1}).Handshake, Ack);
    EXPECT_EQ(Ctl(*d1, 0x41, 0x01, 0x8C02, fu, 1, {1}).Handshake, Stall); // not on channel 2
    EXPECT_EQ(Ctl(*d1, 0xA1, 0x85, 0x0000, fu, 26).Handshake, Stall);     // past the table

    // 2.0: 32-bit entries with readable and writable bits.
    auto d2 = SimCreateReferenceDevice(SimReference::Uac2HighSpeed);
    Ctl(*d2, 0x00, 9, 1, 0, 0);
    // selector 130: bits 2 (read) and 3 (write); master writable, channel 1 read-only.
    SimPresetPseudoControls(*d2, SimRef3::FeaturePlay, {0x0C, 0x04},
                            {{130, {2, true, true, 0, -0x1000, 0, 0x100}}});
    const USHORT fu2 = SimRef3::FeaturePlay << 8;
    EXPECT_EQ(Ctl(*d2, 0xA1, 0x03, 0x0010, fu2, 2).Data, (std::vector<UCHAR>{26, 0}));
    EXPECT_EQ(Ctl(*d2, 0x21, 0x01, 0x8200, fu2, 2, {0x00, 0xFF}).Handshake, Ack);
    EXPECT_EQ(Ctl(*d2, 0x21, 0x01, 0x8201, fu2, 2, {0x00, 0xFF}).Handshake, Stall);
    EXPECT_EQ(Ctl(*d2, 0xA1, 0x02, 0x8201, fu2, 8).Data,
              (std::vector<UCHAR>{1, 0, 0x00, 0xF0, 0x00, 0x00, 0x00, 0x01}));
}

TEST(VendorPresets, OutputTypesOfAClass1Terminal)
{
    auto d = SimCreateReferenceDevice(SimReference::Uac1SpeakerMic);
    Ctl(*d, 0x00, 9, 1, 0, 0);
    const USHORT ot = SimRef1::Speaker << 8;
    EXPECT_EQ(Ctl(*d, 0xC1, 0x86, 0x0800, ot, 2).Handshake, Stall); // none announced yet
    SimPresetOutputTypes(*d, SimRef1::Speaker, {0x0301, 0x0302},
                         {{{0x3, 0x01015000}}, {{0x3, 0x01014000}, {0x4, 0x01016000}}});
    EXPECT_EQ(Ctl(*d, 0xC1, 0x86, 0x0800, ot, 2).Data, (std::vector<UCHAR>{2, 0}));
    EXPECT_EQ(Ctl(*d, 0xC1, 0x86, 0x0800, ot, 14).Data,
              (std::vector<UCHAR>{2, 0, 0x01, 0x03, 0, 0, 0, 0, 0x02, 0x03, 0, 0, 0, 0}));
    EXPECT_EQ(Ctl(*d, 0xC1, 0x81, 0x0800, ot, 2).Data, (std::vector<UCHAR>{0x01, 0x03}));
    EXPECT_EQ(Ctl(*d, 0x41, 0x81, 0x0800, ot, 2, {0x02, 0x03}).Handshake, Ack);
    EXPECT_EQ(Ctl(*d, 0xC1, 0x81, 0x02FF, ot, 9).Data,
              (std::vector<UCHAR>{2, 0x03, 0, 0, 0, 0x00, 0x40, 0x01, 0x01}));
    EXPECT_EQ(Ctl(*d, 0xC1, 0x81, 0x02FF, ot, 17).Data.size(), 17u);
    // As class requests these do not exist in 1.0.
    EXPECT_EQ(Ctl(*d, 0xA1, 0x81, 0x0800, ot, 2).Handshake, Stall);
}

TEST(DeviceSideChanges, ValueChangesAndAStatusMessageIsQueued)
{
    auto d1 = SimCreateReferenceDevice(SimReference::Uac1SpeakerMic);
    Ctl(*d1, 0x00, 9, 1, 0, 0);
    EXPECT_TRUE(d1->ChangeControlOnDevice(SimRef1::FeaturePlay, 1, 0, 1));
    EXPECT_FALSE(d1->ChangeControlOnDevice(SimRef1::FeaturePlay, 1, 1, 1));
    EXPECT_EQ(Ctl(*d1, 0xA1, 0x81, 0x0100, SimRef1::FeaturePlay << 8, 1).Data,
              (std::vector<UCHAR>{1}));
    UCHAR msg[6];
    ULONG length = 0;
    ASSERT_EQ(d1->InterruptOrBulkIn(SimRef1::StatusEndpoint, msg, 6, &length), USBD_STATUS_SUCCESS);
    EXPECT_EQ(length, 2u);
    EXPECT_EQ(msg[0], 0x80);
    EXPECT_EQ(msg[1], SimRef1::FeaturePlay);

    auto d2 = SimCreateReferenceDevice(SimReference::Uac2HighSpeed);
    Ctl(*d2, 0x00, 9, 1, 0, 0);
    EXPECT_TRUE(d2->ChangeControlOnDevice(SimRef3::FeaturePlay, 2, 1, -0x0400));
    ASSERT_EQ(d2->InterruptOrBulkIn(SimRef3::StatusEndpoint, msg, 6, &length), USBD_STATUS_SUCCESS);
    EXPECT_EQ(length, 6u);
    // bInfo 0 (interface), bAttribute CUR, wValue volume/channel 1, wIndex unit 2/interface 0
    EXPECT_EQ(std::vector<UCHAR>(msg, msg + 6),
              (std::vector<UCHAR>{0x00, 0x01, 0x01, 0x02, 0x00, SimRef3::FeaturePlay}));
}
