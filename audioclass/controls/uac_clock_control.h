// The clock-frequency control of a class 2.0 clock source: the rates the
// clock reported when the control was made, and the rate in use and the
// clock's validity asked of the device through its clock source.
#pragma once

#include "audioclass/controls/clock_frequency_control.h"
#include "audioclass/controls/uac_unit.h"

class CUacClockControl : public CClockFrequencyControl
{
  public:
    explicit CUacClockControl(ULONG id) : CClockFrequencyControl(nullptr, id) {}
    STDMETHODIMP SetFrequency(ULONG hz) override;
    STDMETHODIMP GetCurrent(PULONG hz) override;
    STDMETHODIMP GetClockValid(PUCHAR valid) override;
    // Reads the rates the clock can run at: a clock with a rate range, or
    // whose RANGE lists more rates than the control holds, is refused.
    NTSTATUS CreateClockControl(CUacUnit* unit);

  private:
    PCLOCKCONTROL m_Clock = nullptr;
};
