// The interrupt-endpoint polling of a device object: when the AudioControl
// interface has an interrupt endpoint of the class's message size, one
// system thread keeps one read outstanding on it and hands every status
// message to the device; class 2.0 also keeps one bulk read outstanding on
// the interface's bulk pipe, whose data nobody uses. Stop cancels what is
// out, waits for the thread object itself and lets it go, so it always ends
// and nothing of the thread outlives it.
#pragma once

#include "framework/adapter_interfaces.h"
#include "usbaudio/device/device_worker_thread.h"

// What the polling asks of the device it serves; the device object is one.
class IPolledDevice
{
  public:
    // The object whose IUsbDeviceIo the reads go through.
    virtual PUNKNOWN PollingIoObject() = 0;
    // The AudioControl interface whose endpoints are read.
    virtual UCHAR PolledInterface() const = 0;
    // Every unit told once, when polling starts with startup notifications.
    virtual void NotifyEveryUnit() = 0;
    // A status message read from the interrupt endpoint (length as read).
    virtual void HandleStatusMessage(const UCHAR* message, ULONG length) = 0;

  protected:
    ~IPolledDevice() = default;
};

inline constexpr ULONG POLLING_URB_POOL_TAG = POOL_TAG("URB ");
inline constexpr ULONG POLLING_BULK_READ_BYTES = 512;
inline constexpr UCHAR POLLING_NO_PIPE = 255;

struct PollingTraits
{
    USHORT MessageBytes; // the interrupt pipe's maximum packet size, and the read
    KPRIORITY Priority;
    BOOLEAN StartupNotifications; // every unit is notified once when polling starts
    BOOLEAN BulkRead;             // the first bulk IN pipe keeps a read outstanding
};
extern const PollingTraits UAC1_POLLING;
extern const PollingTraits UAC2_POLLING;

class CInterruptPolling
{
  public:
    CInterruptPolling();
    ~CInterruptPolling();
    CInterruptPolling(const CInterruptPolling&) = delete;
    CInterruptPolling& operator=(const CInterruptPolling&) = delete;

    // Selects alternate setting 0 of the AudioControl interface, finds its
    // pipes and, when there is an interrupt pipe, starts the thread. No
    // endpoint or no such pipe: success without a thread.
    NTSTATUS Start(IPolledDevice* device, const PollingTraits& traits);
    // Ends the thread (when one runs) and frees the pipe information.
    void Stop();

    bool IsRunning() const { return m_Worker.IsRunning(); }
    PKTHREAD Thread() const { return m_Worker.Thread(); }
    UCHAR InterruptPipeIndex() const { return m_InterruptPipe; }
    UCHAR BulkPipeIndex() const { return m_BulkPipe; }

  private:
    // One transfer kept outstanding: its IRP, URB, buffer and the event its
    // completion sets (signalled while it is not out).
    struct Read
    {
        PIRP Irp;
        PURB Urb;
        PUCHAR Buffer;
        PKEVENT Done;
        ULONG Bytes;
        USBD_PIPE_HANDLE Pipe;
        bool Out;
    };

    NTSTATUS SelectInterface(PUSBDEVICEIO io, UCHAR interfaceNumber, ULONG endpoints);
    void FindPipes();
    void FreePipeInformation();

    static void ThreadStart(PVOID context);
    void Poll(PUSBDEVICEIO io);
    void Serve(PUSBDEVICEIO io, Read& interrupt, Read& bulk);
    bool Prepare(PUSBDEVICEIO io, Read& read, UCHAR pipeIndex, ULONG bytes);
    NTSTATUS Send(PUSBDEVICEIO io, Read& read);
    void Finish(PUSBDEVICEIO io, Read& read);
    static NTSTATUS ReadCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context);

    IPolledDevice* m_Device;
    const PollingTraits* m_Traits;
    PUSBD_INTERFACE_INFORMATION m_PipeInformation;
    UCHAR m_InterruptPipe;
    UCHAR m_BulkPipe;
    CDeviceWorkerThread m_Worker;
};
