#include "sim/devices/sim_vendor_presets.h"

#include <cstring>

void SimPresetChipIdentification(SimUsbDevice& device, UCHAR index9, UCHAR index8)
{
    device.ScriptRequest({0xC3, 0x81, 0x0000, 0x0009}, {index9});
    device.ScriptRequest({0xC3, 0x81, 0x0000, 0x0008}, {index8});
}

std::shared_ptr<SimChipRegisters> SimPresetChipRegisters(SimUsbDevice& device)
{
    auto chip = std::make_shared<SimChipRegisters>();
    device.ScriptHandler({0x21, 0x09, 0x0200, 0x0003},
                         [chip](const USB_DEFAULT_PIPE_SETUP_PACKET& s, UCHAR* data, ULONG* length)
                         {
                             if (s.wLength != 4 || data[0] != 0x20 || data[3] >= 8)
                                 return false;
                             chip->Values[data[3]] = (USHORT)(data[1] | data[2] << 8);
                             chip->Writes.emplace_back(data, data + 4);
                             *length = 4;
                             return true;
                         });
    device.ScriptHandler({0xA1, 0x01, 0x0100, 0x0003},
                         [chip](const USB_DEFAULT_PIPE_SETUP_PACKET& s, UCHAR* data, ULONG* length)
                         {
                             if (s.wLength == 0)
                                 return false;
                             UCHAR state[3] = {(UCHAR)(chip->JackSense ? 0x10 : 0x00), 0, 0};
                             *length = s.wLength < 3 ? s.wLength : 3;
                             memcpy(data, state, *length);
                             return true;
                         });
    return chip;
}

void SimPresetModelStatus(SimUsbDevice& device, UCHAR status)
{
    device.ScriptRequest({0xC3, 0x02, 0x0051, 0x0000}, {status});
}

void SimPresetModelConfiguration(SimUsbDevice& device, UCHAR first, UCHAR second)
{
    device.ScriptRequest({0xC3, 0x00, 0x001A, 0x0000}, {first});
    device.ScriptRequest({0xC3, 0x00, 0x0020, 0x0000}, {second});
}

std::shared_ptr<bool> SimPresetStreamingSwitch(SimUsbDevice& device)
{
    auto on = std::make_shared<bool>(false);
    device.ScriptHandler({0x40, 0x07, -1, 0x0000},
                         [on](const USB_DEFAULT_PIPE_SETUP_PACKET& s, UCHAR*, ULONG* length)
                         {
                             if (s.wLength != 0 || s.wValue > 1)
                                 return false;
                             *on = s.wValue == 1;
                             *length = 0;
                             return true;
                         });
    return on;
}

void SimPresetPseudoControls(SimUsbDevice& device, UCHAR unit, const std::vector<ULONG>& bitmaps,
                             const std::map<UCHAR, SimControlValue>& controls)
{
    bool v2 = device.Audio().IsAudioClass2();
    std::vector<UCHAR> table(v2 ? 18 : 19, 0);
    if (!v2)
        table[18] = 2; // entry size
    for (ULONG bits : bitmaps)
        for (int b = 0; b < (v2 ? 4 : 2); ++b)
            table.push_back((UCHAR)(bits >> (8 * b)));
    table[16] = (UCHAR)table.size();
    table[17] = (UCHAR)(table.size() >> 8);
    device.Audio().SetMemory(unit, table);
    for (const auto& [selector, value] : controls)
    {
        ULONG bit = (ULONG)(selector & 0x7F) - 1;
        for (size_t ch = 0; ch < bitmaps.size(); ++ch)
        {
            bool present = v2 ? ((bitmaps[ch] >> (2 * bit)) & 3) != 0 : ((bitmaps[ch] >> bit) & 1);
            if (!present)
                continue;
            SimControlValue v = value;
            if (v2)
                v.Writable = ((bitmaps[ch] >> (2 * bit + 1)) & 1) != 0;
            device.Audio().AddControl(unit, selector, (UCHAR)ch, v);
        }
    }
}

void SimPresetOutputTypes(SimUsbDevice& device, UCHAR terminal, const std::vector<USHORT>& types,
                          const std::vector<std::vector<SimJack>>& jacks, size_t current)
{
    SimTerminalPorts* ports = device.Audio().Ports(terminal, true);
    if (ports == nullptr)
        return;
    ports->Types = types;
    ports->Jacks = jacks;
    ports->CurrentType = current;
}
