// The timed family's terminals and recording selector: input terminals
// without jack requests, the speaker terminal whose output kinds (speakers,
// headphones, S/PDIF) are routed through chip registers and whose jacks are
// fixed descriptions, and a selector that sends the chip its own input codes.
#pragma once

#include "usbaudio/timed/device.h"
#include "audioclass/units/plain_input_terminal.h"
#include "audioclass/units/uac1_terminals.h"
#include "audioclass/units/uac1_units.h"

// The output kinds of the speaker terminal, at most three.
inline constexpr ULONG TIMED_OUTPUT_KINDS = 3;

class CTimedInputTerminal : public CPlainInputTerminal
{
  public:
    CTimedInputTerminal(ULONG index, CUsbAudioTimedDevice*) : CPlainInputTerminal(index) {}
};

class CTimedOutputTerminal : public CUac1OutputTerminal
{
  public:
    CTimedOutputTerminal(ULONG index, CUsbAudioTimedDevice* device)
        : CUac1OutputTerminal(index), m_TimedDevice(device)
    {
    }
    // The kinds from the device's switches, the class 1.0 set-up, then the
    // registers of the current kind.
    NTSTATUS Init(const UCHAR* descriptor, CAudioHal* device) override;
    NTSTATUS CreateControls(CAudioHal* device) override;
    NTSTATUS GetSingleControlId(ULONG selector, ULONG channel, PULONG id) override;

    STDMETHODIMP SetKind(ULONG endpointKind) override;
    STDMETHODIMP GetJackCount(PULONG count, ULONG index) override;
    STDMETHODIMP GetJackInfo(ULONG bytes, PVOID jacks, ULONG index) override;

  private:
    void RouteKind(ULONG kind);

    CUsbAudioTimedDevice* m_TimedDevice;
};

class CTimedSelectorUnit : public CUac1SelectorUnit
{
  public:
    CTimedSelectorUnit(ULONG index, CUsbAudioTimedDevice*) : CUac1SelectorUnit(index) {}
    STDMETHODIMP GetCurrent(PULONG selection) override;
    STDMETHODIMP SetCurrent(ULONG selection) override;
    NTSTATUS CreateControls(CAudioHal* device) override;
    UCHAR DeviceCode(ULONG pin) const { return pin >= 1 && pin <= m_Pins ? m_Codes[pin - 1] : 0; }

  private:
    UCHAR m_Codes[255] = {};
    ULONG m_Pins = 0;
};
