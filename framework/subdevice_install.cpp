#include "framework/subdevice_install.h"

NTSTATUS InstallPortSubdevice(PDEVICE_OBJECT deviceObject, PIRP irp, REFCLSID portClassId,
                              PUNKNOWN adapterUnknown, SubdeviceSteps& steps, PUNKNOWN* portUnknown,
                              PUNKNOWN* miniport)
{
    PAGED_CODE();
    PADAPTERCOMMON adapter = nullptr;
    PPORT port = nullptr;
    PUNKNOWN newMiniport = nullptr;
    PMINIPORTIDENTITY identity = nullptr;
    PWSTR name = nullptr;
    // Held only while the subdevice is installed.
    NTSTATUS status = adapterUnknown->QueryInterface(IID_IAdapterCommon, (PVOID*)&adapter);
    if (NT_SUCCESS(status))
        status = steps.Prepare(adapter);
    if (NT_SUCCESS(status))
        status = PcNewPort(&port, portClassId);
    if (NT_SUCCESS(status))
        status = steps.CreateMiniport(&newMiniport);
    if (NT_SUCCESS(status) && newMiniport == nullptr)
        status = STATUS_UNSUCCESSFUL;
    if (NT_SUCCESS(status))
        status = port->Init(deviceObject, irp, newMiniport, adapterUnknown, nullptr);
    if (NT_SUCCESS(status))
        status = newMiniport->QueryInterface(IID_IMiniportIdentity, (PVOID*)&identity);
    if (NT_SUCCESS(status))
        status = identity->GetFilterName(&name);
    if (NT_SUCCESS(status) && name == nullptr)
        status = STATUS_UNSUCCESSFUL;
    if (NT_SUCCESS(status))
        status = steps.BeforeRegister(identity);
    if (NT_SUCCESS(status))
        status = PcRegisterSubdevice(deviceObject, name, port);
    if (NT_SUCCESS(status))
    {
        if (portUnknown != nullptr)
            status = port->QueryInterface(IID_IUnknown, (PVOID*)portUnknown);
        steps.Registered();
    }
    if (NT_SUCCESS(status) && miniport != nullptr)
        *miniport = newMiniport; // the port holds it

    if (newMiniport != nullptr)
        newMiniport->Release();
    if (identity != nullptr)
        identity->Release();
    if (port != nullptr)
        port->Release();
    if (adapter != nullptr)
        adapter->Release();
    return status;
}
