// The control requests of unit, terminal and clock objects to the device's
// AudioControl interface: one table of every request with its encoding per
// audio class version, one transport (IUsbDeviceIo from the owner, the
// interface number in the low byte of wIndex, the entity id in the high
// byte), and the requests of selector units, clock sources and terminals.
// Outputs are written only after a successful request whose reply holds
// every byte that is read.
#pragma once

#include "audioclass/requests/request_blocks.h"

enum class UnitRequest
{
    GetCurrent, // feature-unit get: selector, channel
    SetCurrent, // feature-unit set: selector, channel
    GetMaximum, // class 1.0 range, in this order
    GetMinimum,
    GetResolution,
    GetRange, // class 2.0 range: RANGE block
    TableLength,
    Table,
    CurrentInput,
    SelectInput,
    Frequency,
    SetFrequency,
    FrequencyCount,
    FrequencyList,
    ClockValid,
    JackCount,
    JackList,
    ConnectionState,
    TypeCount,
    TypeList,
    CurrentType,
    SelectType,
    Count
};

struct UnitRequestRow
{
    UnitRequest Which;
    USHORT Function; // class or vendor, to the interface
    BOOLEAN In;
    UCHAR Request;
    LONG Value; // fixed wValue, or -1: selector << 8 | channel
};
// The row of a request in a class version; null when the version has none.
const UnitRequestRow* FindUnitRequest(AudioClassVersion version, UnitRequest which);

// Bytes of the requests whose length is fixed.
inline constexpr ULONG JACK_COUNT_REQUEST_BYTES = 9;
inline constexpr ULONG CONNECTION_STATE_BYTES = 6;
inline constexpr ULONG FREQUENCY_COUNT_REQUEST_BYTES = 14;
// Types a terminal may be switched between: no list is asked for beyond it.
inline constexpr ULONG OUTPUT_TYPE_MAX = 5;

// Sends the request `which` to `entity`. value: wValue for per-channel rows;
// vendor: a class 1.0 device's own selector (128 and above), sent with the
// vendor type. A successful IN request must have received `needed` bytes.
NTSTATUS SendUnitRequest(PUNKNOWN owner, AudioClassVersion version, UnitRequest which, UCHAR entity,
                         USHORT value, bool vendor, PVOID buffer, ULONG length, ULONG needed);

// The requests of one entity that are not a feature unit's.
class CEntityRequests
{
  public:
    CEntityRequests(PUNKNOWN owner, AudioClassVersion version, UCHAR entity)
        : m_Owner(owner), m_Version(version), m_Entity(entity)
    {
    }

    // Selector units: the 1-based input.
    NTSTATUS GetCurrentInput(PUCHAR input);
    NTSTATUS SelectInput(UCHAR input);

    // Clock sources (class 2.0).
    NTSTATUS GetFrequency(PULONG hz);
    NTSTATUS SetFrequency(ULONG hz);
    NTSTATUS GetFrequencyCount(PULONG count);
    // rates: room for `count`; every subrange must be a single rate.
    NTSTATUS GetFrequencyList(ULONG count, PULONG rates);
    NTSTATUS GetClockValid(PUCHAR valid);

    // Terminals: the jacks, built into records (room for `count`).
    NTSTATUS GetJackCount(PULONG count);
    NTSTATUS GetJacks(ULONG count, JackRecord* records, PULONG built);
    NTSTATUS GetConnectionState(PULONG channels);
    // Output terminals: the types they can be switched between (at most 5).
    NTSTATUS GetTypeCount(PULONG count);
    NTSTATUS GetTypes(ULONG count, PUSHORT types, PULONG read);
    NTSTATUS GetCurrentType(PUSHORT type);
    NTSTATUS SelectType(USHORT type);

    UCHAR Entity() const { return m_Entity; }
    AudioClassVersion Version() const { return m_Version; }

  protected:
    NTSTATUS Send(UnitRequest which, PVOID buffer, ULONG length, ULONG needed, USHORT value = 0,
                  bool vendor = false);
    // A request that answers one little-endian value; written on success only.
    NTSTATUS ReadValue(UnitRequest which, PULONG value);
    template <typename T> NTSTATUS ReadNarrow(UnitRequest which, T* value)
    {
        ULONG wide = 0;
        NTSTATUS status = value != nullptr ? ReadValue(which, &wide) : STATUS_INVALID_PARAMETER;
        if (NT_SUCCESS(status))
            *value = (T)wide;
        return status;
    }

    PUNKNOWN m_Owner;
    AudioClassVersion m_Version;
    UCHAR m_Entity;
};
