// Start and stop of the owner's rings on their USB streams: every active
// ring's kind-5 client is opened, then started at one frame for all, capture
// rings first so the inputs run before the outputs they feed; stopping
// stops and closes them and the streams fall back to their other clients.
#include "asio/asio_rings.h"
#include "asio/asio_host.h"
#include "platform/usb/usbdlib.h"

namespace
{
constexpr UCHAR c_StreamingRequest = 0x07;
} // namespace

void CAsioRings::SendVendorRequest(USHORT value)
{
    if (!m_Adapter->GetDeviceRecord().Has(DEVICE_STREAMING_ANNOUNCED))
        return;
    URB urb;
    RtlZeroMemory(&urb, sizeof(urb));
    UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_DEVICE,
                          sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST), 0, 0, c_StreamingRequest,
                          value, 0, nullptr, nullptr, 0, nullptr);
    // Best effort: the streams run whether or not the device listens.
    m_Adapter->SubmitUrbSync(&urb);
}

void CAsioRings::CloseClients(bool activeOnly)
{
    for (ULONG i = 0; i < m_Count; ++i)
    {
        AsioRingEntry* e = &m_Entries[i];
        if (e->Registration == nullptr || e->Control == nullptr || (activeOnly && e->Active == 0))
            continue;
        e->Control->StopClient(e->Registration->Registration, nullptr);
        e->Control->CloseClient(e->Registration->Registration);
    }
}

NTSTATUS CAsioRings::Start(const AsioRingSettings& settings, bool* opened)
{
    *opened = false;
    if (m_Entries == nullptr || !m_Mapped)
        return STATUS_INVALID_PARAMETER;
    ULONG frame = 0;
    for (ULONG i = 0; i < m_Count; ++i)
    {
        AsioRingEntry* e = &m_Entries[i];
        if (e->Block == nullptr || e->Active == 0)
            continue;
        WAVEFORMATEXTENSIBLE format;
        NTSTATUS status = AsioSelectStreamFormat(i, settings, &format);
        ULONG msPerUrb = 0;
        if (NT_SUCCESS(status) && (e->Registration == nullptr || e->Control == nullptr))
            status = STATUS_INVALID_PARAMETER;
        if (NT_SUCCESS(status))
            status = e->Control->OpenClient(e->Registration->Registration, &msPerUrb, &frame);
        if (!NT_SUCCESS(status))
        {
            CloseClients(false);
            return status;
        }
    }
    *opened = true;
    // The rings are read again from the first URB of this start.
    KIRQL irql;
    KeAcquireSpinLock(&m_Lock, &irql);
    m_Halted = false;
    KeReleaseSpinLock(&m_Lock, irql);
    const ULONG startFrame = frame + ASIO_START_LEAD_FRAMES;
    NTSTATUS result = STATUS_SUCCESS;
    constexpr ULONG c_GroupOrder[] = {1, 0}; // inputs, then outputs
    for (ULONG input : c_GroupOrder)
        for (ULONG i = 0; i < m_Count; ++i)
        {
            AsioRingEntry* e = &m_Entries[i];
            if (e->Registration == nullptr || e->Active == 0 || e->IsInput != input)
                continue;
            ULONG msPerUrb = 0;
            NTSTATUS status = e->Control->StartClient(e->Registration->Registration, startFrame,
                                                      &msPerUrb, nullptr);
            // A ring that does not start is reported; the rest of its group waits.
            if (!NT_SUCCESS(status))
            {
                result = status;
                break;
            }
        }
    SendVendorRequest(1);
    return result;
}

NTSTATUS CAsioRings::Stop()
{
    if (m_Entries == nullptr)
        return STATUS_INVALID_PARAMETER;
    CloseClients(true);
    SendVendorRequest(0);
    return STATUS_SUCCESS;
}
