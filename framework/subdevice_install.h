// Subdevice installation shared by the topology filter and the stream
// engines' wave filters: a port, a miniport bound to it, and the subdevice
// registered under the name the miniport reports.
#pragma once

#include "framework/interfaces.h"
#include "platform/portcls/portcls.h"

// What one kind of subdevice adds to the shared steps.
class SubdeviceSteps
{
  public:
    // With the adapter's common interface, before the port is created.
    virtual NTSTATUS Prepare(PADAPTERCOMMON) { return STATUS_SUCCESS; }
    // The miniport from the installer's factory: no outer unknown, non-paged
    // pool; STATUS_INVALID_PARAMETER when there is no factory.
    virtual NTSTATUS CreateMiniport(PUNKNOWN* miniport) = 0;
    // Once the miniport has named its subdevice, before the registration.
    virtual NTSTATUS BeforeRegister(PMINIPORTIDENTITY) { return STATUS_SUCCESS; }
    // The subdevice is registered.
    virtual void Registered() {}

  protected:
    ~SubdeviceSteps() = default;
};

// Creates a port of portClassId and the miniport of `steps`, binds them and
// registers the subdevice. portUnknown (optional) receives a referenced
// IUnknown of the port once registered; miniport (optional) receives the
// miniport without a reference of its own (the port holds it), on success
// only. Each step's failure is returned and ends the installation.
NTSTATUS InstallPortSubdevice(PDEVICE_OBJECT deviceObject, PIRP irp, REFCLSID portClassId,
                              PUNKNOWN adapterUnknown, SubdeviceSteps& steps, PUNKNOWN* portUnknown,
                              PUNKNOWN* miniport);
