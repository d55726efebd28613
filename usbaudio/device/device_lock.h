// Holds a device object's lock for a scope; without a lock nothing is held.
#pragma once

#include "framework/interfaces.h"

class DeviceLockHold
{
  public:
    explicit DeviceLockHold(PDEVICELOCK lock) : m_Lock(lock)
    {
        if (m_Lock != nullptr)
            m_Lock->LockDevice();
    }
    ~DeviceLockHold()
    {
        if (m_Lock != nullptr)
            m_Lock->UnlockDevice();
    }
    DeviceLockHold(const DeviceLockHold&) = delete;
    DeviceLockHold& operator=(const DeviceLockHold&) = delete;

  private:
    PDEVICELOCK m_Lock;
};
