// The device's capability record and the per-endpoint records derived from
// it. The driver tests no single bit of the mask beyond the masking here:
// user mode reads them through the topology filter.
#pragma once

#include "framework/adapter_interfaces.h"
#include "usbaudio/table/device_table.h"

inline constexpr ULONG CAPABILITY_POOL_TAG = POOL_TAG("pmet");
// The product-string read of the capability part of InitDevice.
inline constexpr ULONG CAPABILITY_STRING_BYTES = 104;

// A source record with the three named fields; every other byte is zero.
EndpointCapabilities MakeCapabilityRecord(ULONG mask, ULONG second, ULONG third);

// The capability part of the audio class 1.0 device's InitDevice: reads the
// product string (index 0x50, then 0x32) and, for the chip maker's model
// families, the chip's status or configuration bytes, and fills *record.
NTSTATUS ReadUac1CapabilityRecord(PUSBDEVICEIO io, const DeviceRecord& device,
                                  EndpointCapabilities* record);

// The source records the chip-model classes and the timed class write
// before their parse.
EndpointCapabilities ModelACapabilityRecord();
EndpointCapabilities ModelBCapabilityRecord(const DeviceRecord& device);
EndpointCapabilities ModelCCapabilityRecord(const DeviceRecord& device);
EndpointCapabilities TimedCapabilityRecord();
EndpointCapabilities Uac2CapabilityRecord();

// The record of one endpoint kind and direction, from the device's source
// record: the audio class 1.0 family and the timed class, and class 2.0
// (which also needs the device's engine count).
void DeriveUac1EndpointRecord(const EndpointCapabilities& source, const DeviceRecord& device,
                              BOOLEAN isInput, ULONG endpointKind, EndpointCapabilities* record);
void DeriveUac2EndpointRecord(const EndpointCapabilities& source, const DeviceRecord& device,
                              BOOLEAN isInput, ULONG endpointKind, ULONG engineCount,
                              EndpointCapabilities* record);
