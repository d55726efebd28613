// The clock shape: up to 30 sample rates of a clock and the rate in use.
#pragma once

#include "audioclass/controls/control_interfaces.h"

inline constexpr ULONG CLOCK_CONTROL_POOL_TAG = POOL_TAG("cloc");
inline constexpr ULONG CLOCK_CONTROL_MAX_RATES = 30;

class CClockFrequencyControl : public CAudioControl, public IClockControl
{
  public:
    CClockFrequencyControl(PUNKNOWN outerUnknown, ULONG id)
        : CAudioControl(outerUnknown, id, CONTROL_KIND_CLOCK_FREQUENCY_LIST)
    {
    }
    ~CClockFrequencyControl() override;
    DECLARE_CONTROL_UNKNOWN()

    // Fails when *count is below the number of rates.
    STDMETHODIMP GetFrequencies(PULONG count, PULONG frequencies) override;
    STDMETHODIMP GetCount(PULONG count) override;
    // The shape only keeps the rate.
    STDMETHODIMP SetFrequency(ULONG hz) override;
    STDMETHODIMP GetCurrent(PULONG hz) override;
    // The shape's clock is always valid.
    STDMETHODIMP GetClockValid(PUCHAR valid) override;
    STDMETHODIMP Init(ULONG count, const ULONG* frequencies) override;

  protected:
    ULONG m_Count = 0;
    PULONG m_Frequencies = nullptr;
    ULONG m_Current = 0;
};
