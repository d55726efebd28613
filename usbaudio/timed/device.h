// The timed device class: a class 1.0 device of one chip family. Before its
// descriptors are parsed it identifies the chip, reads its switches, applies
// the listed devices' overrides and cuts the configuration descriptor to
// match; its units and streams write the chip's registers through the one
// register file it owns; the first listed device runs a jack timer in place
// of interrupt polling.
#pragma once

#include "streaming/usb/usb_audio_timed_render.h"
#include "usbaudio/timed/jack_timer.h"
#include "usbaudio/timed/registers.h"
#include "usbaudio/uac1/device.h"

extern const DeviceClassTraits TIMED_DEVICE_TRAITS;

// The line's analog feature unit of the first listed device: the jack timer
// forces its mute on while the jack is sensed.
DEFINE_GUID(IID_ITimedForcedMute, 0x5C1F7A2EL, 0x93B4, 0x4D6A, 0x8E, 0x27, 0x41, 0xD0, 0x6B, 0x3C,
            0x9A, 0x58);
DECLARE_INTERFACE_(ITimedForcedMute, IUnknown)
{
    STDMETHOD(SetForcedMute)(UCHAR on) PURE;
};
typedef ITimedForcedMute* PTIMEDFORCEDMUTE;

// The unit the jack timer mutes.
inline constexpr ULONG TIMED_JACK_MUTE_UNIT = 11;

class CChainNode;

class CUsbAudioTimedDevice : public CUsbAudio1Device, public CTimedRegisterWriter
{
  public:
    CUsbAudioTimedDevice(PUNKNOWN outerUnknown, USHORT idVendor, USHORT idProduct)
        : CUsbAudio1Device(outerUnknown, idVendor, idProduct, TIMED_DEVICE_TRAITS)
    {
    }
    ~CUsbAudioTimedDevice() override;

    // The register refresh of the chip, also on every return to full power.
    STDMETHODIMP PostParse() override;
    STDMETHODIMP ParseAudioControl(struct _USB_INTERFACE_DESCRIPTOR* interfaceDescriptor,
                                   ULONG bytesToEnd) override;
    STDMETHODIMP ParseAudioStreaming(struct _USB_CONFIGURATION_DESCRIPTOR* configuration,
                                     struct _USB_INTERFACE_DESCRIPTOR* firstStreamingInterface,
                                     ULONG bytesToEnd) override;

    // The units, then the jack timer; the timer stops before the units.
    STDMETHODIMP StartAllUnits() override;
    STDMETHODIMP StopAllUnits() override;
    // The jack timer's start and stop, in place of interrupt polling; the
    // timer runs only for the device that wants it.
    NTSTATUS StartInterruptPolling();
    NTSTATUS StopInterruptPolling();
    bool JackTimerRunning() const { return m_JackTimer.Running(); }

    // Writes a chip register (see CTimedRegisterFile::Write).
    NTSTATUS WriteRegister(ULONG reg, USHORT value, USHORT mask) override;
    TimedRegister RegisterShadow(ULONG reg) const { return m_Registers.Shadow(reg); }

    const TimedSwitches& Switches() const { return m_Settings.Switches; }
    bool WantsJackTimer() const { return m_Settings.WantsTimer != FALSE; }

    // The render chain's node the jack timer drives; the device keeps a
    // reference, a later one replaces an earlier one.
    void SetJackNode(CChainNode* node);
    bool HasJackNode() const { return m_JackNode != nullptr; }
    CChainNode* JackNode() const { return m_JackNode; }
    // For the jack timer: the new state to the node and unit 11.
    void ApplyJackState(ULONG state);
    // Unit 11's forced mute; nothing when the unit is gone or of another class.
    void ForceLineMute(UCHAR on);
    // The adapter's USB interface with a reference, or null.
    PUSBDEVICEIO QueryUsbIo();

  protected:
    NTSTATUS FillCapabilityRecord(PUSBDEVICEIO io) override;
    // The chip, the switches and the overrides, then the descriptor cut to them.
    NTSTATUS PrepareConfiguration(PUSBDEVICEIO io) override;

  private:
    CTimedRegisterFile m_Registers;
    TimedDeviceSettings m_Settings;
    CTimedJackTimer m_JackTimer;
    CChainNode* m_JackNode = nullptr;
};
