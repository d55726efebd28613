#include "sim/devices/sim_raw_device.h"

#include <algorithm>
#include <cstring>

namespace
{
// A reply byte of this value refuses the request, packet or transfer.
constexpr UCHAR kRefuse = 0xFF;
} // namespace

SimRawDevice::SimRawDevice(std::vector<UCHAR> device, std::vector<UCHAR> configuration,
                           std::vector<UCHAR> replies, EmuUsbSpeed speed)
    : m_Device(std::move(device)), m_Configuration(std::move(configuration)),
      m_Replies(std::move(replies)), m_Speed(speed)
{
}

USHORT SimRawDevice::Word(size_t at) const
{
    return at + 1 < m_Device.size() ? (USHORT)(m_Device[at] | m_Device[at + 1] << 8) : 0;
}

UCHAR SimRawDevice::Next()
{
    if (m_Replies.empty())
        return 0;
    const UCHAR b = m_Replies[m_Next];
    m_Next = (m_Next + 1) % m_Replies.size();
    return b;
}

ULONG SimRawDevice::Fill(UCHAR* data, ULONG length)
{
    for (ULONG i = 0; i < length; ++i)
        data[i] = Next();
    return length;
}

// The two descriptor blocks as they stand; any other IN request a length
// byte from the pool (kRefuse: a stall) and that many bytes of it; every OUT
// request is acknowledged.
EmuControlAnswer SimRawDevice::ControlTransfer(const USB_DEFAULT_PIPE_SETUP_PACKET& setup,
                                               UCHAR* data, ULONG)
{
    const ULONG asked = setup.wLength;
    if ((setup.bmRequestType & 0x80) == 0)
        return {EmuUsbHandshake::Ack, asked};
    const UCHAR type = (UCHAR)(setup.wValue >> 8);
    if (setup.bmRequestType == 0x80 && setup.bRequest == USB_REQUEST_GET_DESCRIPTOR &&
        (type == USB_DEVICE_DESCRIPTOR_TYPE || type == USB_CONFIGURATION_DESCRIPTOR_TYPE))
    {
        const std::vector<UCHAR>& block =
            type == USB_DEVICE_DESCRIPTOR_TYPE ? m_Device : m_Configuration;
        const ULONG length = std::min<ULONG>(asked, (ULONG)block.size());
        if (length != 0)
            memcpy(data, block.data(), length);
        return {EmuUsbHandshake::Ack, length};
    }
    const UCHAR length = Next();
    if (length == kRefuse)
        return {EmuUsbHandshake::Stall, 0};
    return {EmuUsbHandshake::Ack, Fill(data, std::min<ULONG>(asked, length))};
}

USBD_STATUS SimRawDevice::IsochOut(UCHAR, ULONG, ULONG, const UCHAR*, ULONG)
{
    return Next() == kRefuse ? USBD_STATUS_XACT_ERROR : USBD_STATUS_SUCCESS;
}

// A byte of the pool sets the share of the room the packet fills (kRefuse:
// an error), the pool the bytes.
USBD_STATUS SimRawDevice::IsochIn(UCHAR, ULONG, ULONG, UCHAR* data, ULONG capacity, ULONG* length)
{
    const UCHAR share = Next();
    *length = 0;
    if (share == kRefuse)
        return USBD_STATUS_XACT_ERROR;
    *length = Fill(data, (ULONG)((ULONGLONG)capacity * share / (kRefuse - 1)));
    return USBD_STATUS_SUCCESS;
}

// Odd length bytes NAK, kRefuse stalls, an even one sends half of it.
USBD_STATUS SimRawDevice::InterruptOrBulkIn(UCHAR, UCHAR* data, ULONG capacity, ULONG* length)
{
    const UCHAR b = Next();
    *length = 0;
    if (b == kRefuse)
        return USBD_STATUS_STALL_PID;
    if (b & 1)
        return USBD_STATUS_PENDING;
    *length = Fill(data, std::min<ULONG>(capacity, b / 2));
    return USBD_STATUS_SUCCESS;
}

USBD_STATUS SimRawDevice::InterruptOrBulkOut(UCHAR, const UCHAR*, ULONG)
{
    return USBD_STATUS_SUCCESS;
}
