#include "sim/devices/sim_chip_model_devices.h"

#include <cstdio>

#include "audioclass/device_selectors.h"
#include "sim/devices/reference_devices.h"
#include "sim/devices/sim_vendor_presets.h"

namespace
{
// The tables keep one descriptor (or field) a line with its explanation.
// clang-format off
const std::vector<UCHAR> c_ChipDevice = {
    0x12, 0x01, 0x10, 0x01, // DEVICE, USB 1.10
    0x00, 0x00, 0x00, 0x40, // class per interface, bMaxPacketSize0 64
    0x54, 0x4C, 0x00, 0x00, // idVendor 0x4C54, idProduct: the model's
    0x00, 0x01,             // bcdDevice 1.00
    0x01, 0x02, 0x00, 0x01, // strings 1 and 2, no serial, one configuration
};
constexpr size_t c_VendorOffset = 8, c_ProductOffset = 10;

// Models A and B: wTotalLength (bytes 2, 3) and the header's (bytes 23, 24)
// are filled in from the table's own length.
const std::vector<UCHAR> c_ChipABConfiguration = {
    0x09, 0x02, 0x00, 0x00, // CONFIGURATION, wTotalLength below
    0x03, 0x01, 0x00, 0x80, 0x32, // 3 interfaces, value 1, bus powered, 100 mA
    0x09, 0x04, 0x00, 0x00, 0x00, 0x01, 0x01, 0x00, 0x00, // AudioControl 0, no endpoint
    0x0A, 0x24, 0x01, 0x00, 0x01, // HEADER, bcdADC 1.00
    0x00, 0x00,             // wTotalLength below
    0x02, 0x01, 0x02,       // interfaces 1 and 2
    0x0C, 0x24, 0x02, 0x01, // INPUT_TERMINAL 1
    0x01, 0x01, 0x00, 0x02, // USB streaming, no association, 2 channels
    0x03, 0x00, 0x00, 0x00, // left and right front, no names
    0x0A, 0x24, 0x06, 0x09, // FEATURE_UNIT 9
    0x01, 0x01,             // bSourceID 1, bControlSize 1
    0x01, 0x02, 0x02,       // master: mute; left, right: volume
    0x00,                   // iFeature
    0x0A, 0x24, 0x06, 0x0D, // FEATURE_UNIT 13
    0x09, 0x01,             // bSourceID 9, bControlSize 1
    0x01, 0x02, 0x02,       // master: mute (model A adds bass); left, right: volume
    0x00,                   // iFeature
    0x09, 0x24, 0x03, 0x06, // OUTPUT_TERMINAL 6
    0x01, 0x03,             // speaker
    0x00, 0x0D, 0x00,       // no association, bSourceID 13
    0x0C, 0x24, 0x02, 0x04, // INPUT_TERMINAL 4
    0x01, 0x02, 0x00, 0x01, // microphone, no association, 1 channel
    0x00, 0x00, 0x00, 0x00, // no position, no names
    0x09, 0x24, 0x06, 0x0A, // FEATURE_UNIT 10
    0x04, 0x01,             // bSourceID 4, bControlSize 1
    0x03, 0x00,             // master: mute, volume; channel 1: none
    0x00,                   // iFeature
    0x09, 0x24, 0x03, 0x07, // OUTPUT_TERMINAL 7
    0x01, 0x01,             // USB streaming
    0x00, 0x0A, 0x00,       // no association, bSourceID 10
    // AudioStreaming interface 1: playback, 2 channels, 16 bits, 48 kHz
    0x09, 0x04, 0x01, 0x00, 0x00, 0x01, 0x02, 0x00, 0x00,
    0x09, 0x04, 0x01, 0x01, 0x01, 0x01, 0x02, 0x00, 0x00,
    0x07, 0x24, 0x01, 0x01, 0x01, 0x01, 0x00, // AS_GENERAL: terminal 1, PCM
    0x0B, 0x24, 0x02, 0x01, 0x02, 0x02, 0x10, // FORMAT_TYPE I, 2 x 16 bits
    0x01, 0x80, 0xBB, 0x00, // 48000 Hz
    0x09, 0x05, 0x01, 0x09, 0xC4, 0x00, 0x01, 0x00, 0x00, // ENDPOINT 1 OUT, 196 bytes
    0x07, 0x25, 0x01, 0x01, 0x00, 0x00, 0x00, // EP_GENERAL: sampling frequency
    // AudioStreaming interface 2: capture, 1 channel, 16 bits, 48 kHz
    0x09, 0x04, 0x02, 0x00, 0x00, 0x01, 0x02, 0x00, 0x00,
    0x09, 0x04, 0x02, 0x01, 0x01, 0x01, 0x02, 0x00, 0x00,
    0x07, 0x24, 0x01, 0x07, 0x01, 0x01, 0x00, // AS_GENERAL: terminal 7, PCM
    0x0B, 0x24, 0x02, 0x01, 0x01, 0x02, 0x10, // FORMAT_TYPE I, 1 x 16 bits
    0x01, 0x80, 0xBB, 0x00, // 48000 Hz
    0x09, 0x05, 0x82, 0x05, 0x62, 0x00, 0x01, 0x00, 0x00, // ENDPOINT 2 IN, 98 bytes
    0x07, 0x25, 0x01, 0x01, 0x00, 0x00, 0x00, // EP_GENERAL: sampling frequency
};
// clang-format on
constexpr size_t c_HeaderOffset = 18, c_Fu13MasterOffset = 56;
constexpr UCHAR c_BassBit = 0x04;

// The chip's volume values on each reduced unit: its raw range (device
// units, which are not 1/256 dB on every unit) and where it starts.
struct ChipVolume
{
    UCHAR Unit;
    std::vector<UCHAR> Channels;
    LONG Current, Minimum, Maximum, Resolution;
};
struct ChipModelPreset
{
    const char* Name;
    USHORT Product;
    const char16_t* ModelString; // compared from its first character
    std::vector<ChipVolume> Volumes;
};
const ChipModelPreset c_Presets[] = {
    {"ChipModelA",
     0x1311,
     u"4402 Chip A",
     {{9, {1, 2}, -2560, -9472, 0, 256},   // the step table's device column
      {13, {1, 2}, 0, -7168, 2816, 256},   // steps -28 to 11
      {10, {0}, -2048, -5888, 768, 256}}}, // steps -23 to 3
    {"ChipModelB",
     0x1302,
     u"4407 Chip B",
     {{9, {1, 2}, 0, 0, 5760, 384},        // 0 to 22.5 dB in 1/256 dB
      {13, {1, 2}, -976, -7120, -16, 192}, // -37 to 0 dB
      {10, {0}, 3456, 0, 5760, 384}}},     // -13.5 to 9 dB
    {"ChipModelC", 0x1401, u"LTK250 Chip C", {}},
};
constexpr UCHAR c_ModelStringIndex = 0x50;
constexpr UCHAR c_ModelCEffectsUnit = SimRef1::FeaturePlay;

const ChipModelPreset& PresetOf(SimChipModel model)
{
    return c_Presets[(size_t)model];
}

void PutWord(std::vector<UCHAR>& bytes, size_t offset, size_t value)
{
    bytes[offset] = (UCHAR)value;
    bytes[offset + 1] = (UCHAR)(value >> 8);
}

std::vector<UCHAR> ChipABConfiguration(SimChipModel model)
{
    std::vector<UCHAR> c = c_ChipABConfiguration;
    PutWord(c, 2, c.size());
    size_t acEnd = c_HeaderOffset;
    while (acEnd < c.size() && c[acEnd + 1] == USB_AUDIO_CS_INTERFACE)
        acEnd += c[acEnd];
    PutWord(c, c_HeaderOffset + 5, acEnd - c_HeaderOffset);
    if (model == SimChipModel::A)
        c[c_Fu13MasterOffset] |= c_BassBit;
    return c;
}
} // namespace

const char* SimChipModelName(SimChipModel model)
{
    return PresetOf(model).Name;
}

std::vector<std::string> SimChipModelNames()
{
    std::vector<std::string> names;
    for (const ChipModelPreset& p : c_Presets)
        names.push_back(p.Name);
    return names;
}

std::optional<SimChipModel> SimChipModelNamed(const std::string& name)
{
    for (size_t i = 0; i < std::size(c_Presets); ++i)
        if (name == c_Presets[i].Name)
            return (SimChipModel)i;
    return std::nullopt;
}

std::vector<UCHAR> SimChipModelConfiguration(SimChipModel model)
{
    return model == SimChipModel::C
               ? SimReferenceDescriptors(SimReference::Uac1SpeakerMic).Configuration
               : ChipABConfiguration(model);
}

std::unique_ptr<SimUsbDevice> SimCreateChipModelDevice(SimChipModel model,
                                                       std::optional<EmuUsbSpeed> speed,
                                                       USHORT idVendor,
                                                       const std::vector<UCHAR>* configuration)
{
    const ChipModelPreset& preset = PresetOf(model);
    std::vector<UCHAR> device = c_ChipDevice;
    PutWord(device, c_VendorOffset, idVendor);
    PutWord(device, c_ProductOffset, preset.Product);
    const std::vector<UCHAR> own = SimChipModelConfiguration(model);
    std::map<UCHAR, std::u16string> strings = {
        {1, u"Lintra Audio"}, {2, u"USB Chip"}, {c_ModelStringIndex, preset.ModelString}};
    std::string error;
    const EmuUsbSpeed connection = speed.value_or(EmuUsbSpeed::Full);
    std::unique_ptr<SimUsbDevice> d = SimUsbDevice::Create(
        device, configuration != nullptr ? *configuration : own, strings, connection, &error,
        connection == EmuUsbSpeed::Full ? SimLoadCheck::Strict : SimLoadCheck::Notes);
    if (!d)
    {
        fprintf(stderr, "chip model device %s: %s\n", preset.Name, error.c_str());
        return nullptr;
    }
    for (const ChipVolume& v : preset.Volumes)
        for (UCHAR channel : v.Channels)
            d->Audio().AddControl(v.Unit, USB_AUDIO_FU_VOLUME_CONTROL, channel,
                                  {2, true, true, v.Current, v.Minimum, v.Maximum, v.Resolution});
    // Model C's playback unit announces the two effect selectors.
    if (model == SimChipModel::C)
        SimPresetPseudoControls(
            *d, c_ModelCEffectsUnit, {0x0C00},
            {{UAC_PSEUDO_DELAY_SELECTOR, {}}, {UAC_PSEUDO_HEADPHONE_SELECTOR, {}}});
    return d;
}
