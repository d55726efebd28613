// Registry keys of the adapter: the device's driver and hardware keys, general
// keys by path, and their subkeys, over the I/O manager's registry.
#include "platform/portcls/pc_internal.h"

namespace
{
class CRegistryKey : public CUnknown, public IRegistryKey
{
  public:
    CRegistryKey(PUNKNOWN outerUnknown, HANDLE key) : CUnknown(outerUnknown), m_Key(key) {}
    ~CRegistryKey() override
    {
        if (m_Key != nullptr)
            ZwClose(m_Key);
    }
    DECLARE_STD_UNKNOWN()

    STDMETHODIMP QueryKey(KEY_INFORMATION_CLASS keyInformationClass, PVOID keyInformation,
                          ULONG length, PULONG resultLength) override
    {
        return ZwQueryKey(m_Key, keyInformationClass, keyInformation, length, resultLength);
    }
    STDMETHODIMP QueryValueKey(PUNICODE_STRING valueName,
                               KEY_VALUE_INFORMATION_CLASS keyValueInformationClass,
                               PVOID keyValueInformation, ULONG length,
                               PULONG resultLength) override
    {
        return ZwQueryValueKey(m_Key, valueName, keyValueInformationClass, keyValueInformation,
                               length, resultLength);
    }
    STDMETHODIMP SetValueKey(PUNICODE_STRING valueName, ULONG type, PVOID data,
                             ULONG dataSize) override
    {
        return ZwSetValueKey(m_Key, valueName, 0, type, data, dataSize);
    }
    STDMETHODIMP NewSubKey(IRegistryKey** registrySubKey, PUNKNOWN outerUnknown,
                           ACCESS_MASK desiredAccess, PUNICODE_STRING subKeyName,
                           ULONG createOptions, PULONG disposition) override
    {
        if (registrySubKey == nullptr || subKeyName == nullptr)
            return STATUS_INVALID_PARAMETER;
        *registrySubKey = nullptr;
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, subKeyName,
                                   OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, m_Key, nullptr);
        HANDLE key = nullptr;
        NTSTATUS status =
            ZwCreateKey(&key, desiredAccess, &attributes, 0, nullptr, createOptions, disposition);
        if (!NT_SUCCESS(status))
            return status;
        return Wrap(key, outerUnknown, registrySubKey);
    }

    static NTSTATUS Wrap(HANDLE key, PUNKNOWN outerUnknown, PREGISTRYKEY* out)
    {
        auto object = new (PagedPool, PC_TAG_REGISTRY) CRegistryKey(outerUnknown, key);
        if (object == nullptr)
        {
            ZwClose(key);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        object->NonDelegatingAddRef();
        *out = object;
        return STATUS_SUCCESS;
    }

  private:
    HANDLE m_Key;
};

NTSTATUS CRegistryKey::NonDelegatingQueryInterface(REFIID interfaceId, PVOID* object)
{
    if (object != nullptr && IsEqualGUID(interfaceId, IID_IRegistryKey))
    {
        *object = static_cast<IRegistryKey*>(this);
        // Counted through the interface: on the outer object when aggregated.
        static_cast<IRegistryKey*>(this)->AddRef();
        return STATUS_SUCCESS;
    }
    return CUnknown::NonDelegatingQueryInterface(interfaceId, object);
}
} // namespace

NTSTATUS PcNewRegistryKey(PREGISTRYKEY* outRegistryKey, PUNKNOWN outerUnknown,
                          ULONG registryKeyType, ACCESS_MASK desiredAccess, PVOID deviceObject,
                          PVOID, POBJECT_ATTRIBUTES objectAttributes, ULONG createOptions,
                          PULONG disposition)
{
    PAGED_CODE();
    if (outRegistryKey == nullptr)
        return STATUS_INVALID_PARAMETER;
    *outRegistryKey = nullptr;
    HANDLE key = nullptr;
    NTSTATUS status;
    switch (registryKeyType)
    {
    case GeneralRegistryKey:
        if (objectAttributes == nullptr)
            return STATUS_INVALID_PARAMETER;
        status = ZwCreateKey(&key, desiredAccess, objectAttributes, 0, nullptr, createOptions,
                             disposition);
        break;
    case DeviceRegistryKey:
    case DriverRegistryKey:
    {
        PcDeviceContext* device = PcGetDeviceContext(static_cast<PDEVICE_OBJECT>(deviceObject));
        if (device == nullptr)
            return STATUS_INVALID_PARAMETER;
        status = IoOpenDeviceRegistryKey(
            device->PhysicalDeviceObject,
            registryKeyType == DeviceRegistryKey ? PLUGPLAY_REGKEY_DEVICE : PLUGPLAY_REGKEY_DRIVER,
            desiredAccess, &key);
        if (NT_SUCCESS(status) && disposition != nullptr)
            *disposition = REG_OPENED_EXISTING_KEY;
        break;
    }
    default:
        return STATUS_INVALID_PARAMETER;
    }
    if (!NT_SUCCESS(status))
        return status;
    return CRegistryKey::Wrap(key, outerUnknown, outRegistryKey);
}
