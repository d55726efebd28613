// The work buffer of one transform call: the caller's, rounded up to 32
// bytes, or one of the call's own when the record needs one and none was
// given.
#pragma once

#include <cstdint>

#include "primitives/fft/DspFftCoreBridge.h"
#include "primitives/fft/DspFftSpec.h"

class DspFftWorkBuffer
{
  public:
    DspFftWorkBuffer(const DspFftSpecR32f* spec, uint8_t* callerWork)
    {
        if (spec->workBytes <= 0)
        {
            return;
        }
        if (callerWork != nullptr)
        {
            m_Work = reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(callerWork) + 31) &
                                                ~uintptr_t{31});
            return;
        }
        m_Owned = static_cast<uint8_t*>(DspFftCore::AllocAligned(spec->workBytes));
        m_Work = m_Owned;
        m_Failed = m_Owned == nullptr;
    }
    ~DspFftWorkBuffer() { DspFftCore::Free(m_Owned); }
    DspFftWorkBuffer(const DspFftWorkBuffer&) = delete;
    DspFftWorkBuffer& operator=(const DspFftWorkBuffer&) = delete;

    bool Failed() const { return m_Failed; }
    uint8_t* Get() const { return m_Work; }

  private:
    uint8_t* m_Work = nullptr;
    uint8_t* m_Owned = nullptr;
    bool m_Failed = false;
};
