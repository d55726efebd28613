// Lock object around a kernel mutex. The order of the virtual operations is
// fixed: code that holds only a pointer to the lock calls them by place. A
// kernel mutex needs no tear-down, so there is no destructor work.
#pragma once

#include "platform/kernel/kernel.h"

class CSyncMutex
{
  public:
    CSyncMutex();

    // Waits without time-out; below DISPATCH_LEVEL only.
    virtual BOOLEAN Lock();
    virtual BOOLEAN Reserved1();
    virtual BOOLEAN Unlock();
    virtual BOOLEAN Reserved2();
    // Zero time-out wait; callable at DISPATCH_LEVEL.
    virtual BOOLEAN TryLock();
    // The release that goes with TryLock; callable at DISPATCH_LEVEL.
    virtual BOOLEAN UnlockNonPaged();

  private:
    KMUTEX m_Mutex;
};
