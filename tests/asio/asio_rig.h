// The ASIO session of a real adapter on the speaker-and-microphone reference
// device, whose playback interface is served by the streaming tests' test
// stream and offered to ASIO as the device's one engine. A user-mode process
// is attached while the rig lives, so rings map into it and event handles
// are its own; clients are named by file objects of the rig.
#pragma once

#include <array>
#include <vector>

#include "asio/asio_session.h"
#include "tests/streaming/usb/usb_stream_rig.h"

std::vector<UCHAR> U32s(std::initializer_list<ULONG> values);

class AsioRig
{
  public:
    explicit AsioRig(bool is32Bit = false, std::unique_ptr<SimUsbDevice> device = nullptr);
    ~AsioRig();
    bool Ok() const { return m_Ok; }

    PASIOPRIVATE Asio() const { return static_cast<IAsioPrivate*>(m_Stream.Adapter().Adapter()); }
    CAdapterCommon* Adapter() const { return m_Stream.Adapter().Adapter(); }
    CAsioSession& Session() const { return Adapter()->GetAsioSession(); }
    StreamRig& Stream() { return m_Stream; }
    UsbAdapterRig& Usb() { return m_Stream.Adapter(); }
    PEPROCESS Process() const { return m_Process; }

    // Client i's file object (0 to 3).
    PFILE_OBJECT File(int i) { return &m_Files[(size_t)i]; }
    NTSTATUS Open(int i) { return Asio()->AsioOpenClient(File(i)); }

    // A user event of the rig's process.
    HANDLE NewEvent(PKEVENT* event = nullptr, ACCESS_MASK access = EVENT_ALL_ACCESS);

    // Maps for client i with the buffer size and {is-input, channel} pairs.
    NTSTATUS Map(int i, ULONG bufferFrames, const std::vector<std::array<ULONG, 2>>& pairs,
                 ULONGLONG* address = nullptr, ULONG outLength = 8);
    AsioRingHeader* Header(ULONG ring = 0) const;
    PUCHAR Data(ULONG ring = 0) const { return reinterpret_cast<PUCHAR>(Header(ring)) + 40; }

  private:
    mutable StreamRig m_Stream;
    PEPROCESS m_Process = nullptr;
    std::array<FILE_OBJECT, 4> m_Files{};
    std::vector<HANDLE> m_Handles;
    bool m_Ok = false;
    bool m_Watching = false; // the process-exit watch, as the driver's load starts it
};

// The engine capabilities of an ASIO engine.
EndpointCapabilities AsioCaps();
