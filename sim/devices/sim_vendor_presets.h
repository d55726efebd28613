// The device's own requests that the driver sends to particular chip
// families, with the answers those chips give, ready to install on any
// simulated device.
#pragma once

#include <map>
#include <memory>
#include <vector>

#include "sim/devices/sim_usb_device.h"

// Chip identification of the timed family: VENDOR_OTHER IN, bRequest 0x81,
// wValue 0, wIndex 9 and 8, one byte each.
void SimPresetChipIdentification(SimUsbDevice& device, UCHAR index9, UCHAR index8);

// The timed family's register file behind its class requests to interface
// wIndex 3: register writes (OUT, bRequest 0x09, wValue 0x0200, 4 bytes
// {0x20, value low, value high, register}) and the jack state (IN, bRequest
// 0x01, wValue 0x0100, 3 bytes, bit 4 of byte 0 the jack-sense bit).
struct SimChipRegisters
{
    USHORT Values[8] = {};
    bool JackSense = false;
    std::vector<std::vector<UCHAR>> Writes; // every write, as received
};
std::shared_ptr<SimChipRegisters> SimPresetChipRegisters(SimUsbDevice& device);

// Status byte of the first model family: VENDOR_OTHER IN, bRequest 0x02,
// wValue 0x51, wIndex 0, one byte.
void SimPresetModelStatus(SimUsbDevice& device, UCHAR status);

// Configuration bytes of the third model family: VENDOR_OTHER IN, bRequest
// 0x00, wValue 0x1A and then 0x20, wIndex 0, one byte each.
void SimPresetModelConfiguration(SimUsbDevice& device, UCHAR first, UCHAR second);

// The streaming switch some devices take when the ASIO path starts and
// stops: VENDOR_DEVICE OUT, bRequest 0x07, wValue 1 or 0, wIndex 0, no data.
// The returned flag follows the last value sent.
std::shared_ptr<bool> SimPresetStreamingSwitch(SimUsbDevice& device);

// A feature unit's pseudo-control table in its memory space (read with the
// MEM requests at offsets 0x10 and 0) and the controls it announces:
// `bitmaps` holds one bitmap per channel, master first (1.0: bit
// (selector & 0x7F) - 1 of a 16-bit entry; 2.0: readable bit
// 2((selector & 0x7F) - 1) and the writable bit after it in a 32-bit entry);
// `controls` gives each announced selector's value set.
void SimPresetPseudoControls(SimUsbDevice& device, UCHAR unit, const std::vector<ULONG>& bitmaps,
                             const std::map<UCHAR, SimControlValue>& controls);

// Selectable output types of an output terminal, each with its jacks.
void SimPresetOutputTypes(SimUsbDevice& device, UCHAR terminal, const std::vector<USHORT>& types,
                          const std::vector<std::vector<SimJack>>& jacks, size_t current = 0);
