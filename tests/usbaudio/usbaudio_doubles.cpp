#include "tests/usbaudio/usbaudio_doubles.h"

#include "platform/kernel/emu.h"
#include "usbaudio/chip_model/devices.h"
#include "audioclass/controls/list_control.h"
#include "usbaudio/device_factories.h"
#include "usbaudio/timed/device.h"
#include "usbaudio/uac2/device.h"

namespace
{
std::string Narrow(PCWSTR name)
{
    std::string s;
    for (ULONG i = 0; name[i] != 0 && i < STREAM_ENGINE_NAME_OUT_CHARS; ++i)
        s += (char)name[i];
    return s;
}

class RigEngine : public CStreamEngine
{
  public:
    explicit RigEngine(const RigEngineSpec& spec) : CStreamEngine(nullptr, 0), m_Spec(spec) {}
    ~RigEngine() override {}
    NTSTATUS ProcessBuffer(PVOID, LONG) override { return STATUS_SUCCESS; }
    NTSTATUS ProcessBufferStage1(PVOID, LONG) override { return STATUS_SUCCESS; }
    NTSTATUS RunStage1(PVOID, ULONG, ULONG) override { return STATUS_SUCCESS; }
    NTSTATUS ProcessBufferStage2(PVOID, LONG) override { return STATUS_SUCCESS; }
    NTSTATUS RunStage2(ULONG) override { return STATUS_SUCCESS; }
    NTSTATUS ProcessBufferStage3(PVOID, LONG) override { return STATUS_SUCCESS; }
    NTSTATUS RunStage3(ULONG) override { return STATUS_SUCCESS; }
    NTSTATUS InstallMiniport(PDEVICE_OBJECT, PIRP, PUNKNOWN) override
    {
        WCHAR name[STREAM_ENGINE_NAME_OUT_CHARS + 1] = {};
        GetName(name);
        RigLog().push_back("install " + Narrow(name));
        if (!m_Spec.FailInstallFor.empty() && m_Spec.FailInstallFor == name)
            return m_Spec.InstallStatus;
        return m_Spec.FailInstallFor.empty() ? m_Spec.InstallStatus : STATUS_SUCCESS;
    }
    NTSTATUS RemoveMiniport(PDEVICE_OBJECT) override
    {
        WCHAR name[STREAM_ENGINE_NAME_OUT_CHARS + 1] = {};
        GetName(name);
        RigLog().push_back("remove " + Narrow(name));
        return m_Spec.RemoveStatus;
    }

  private:
    RigEngineSpec m_Spec;
};

NTSTATUS AddEngine(CUsbAudioDevice* device, const RigEngineSpec& spec)
{
    auto engine = new (NonPagedPool, kRigTag) RigEngine(spec);
    engine->AddRef();
    NTSTATUS status = engine->OpenStreamEngineCallback(spec.Direction);
    if (NT_SUCCESS(status) && !spec.Kinds.empty())
    {
        auto list = new (NonPagedPool, kRigTag) CListControl(nullptr, 100);
        list->AddRef();
        status = list->Init(0, (ULONG)spec.Kinds.size(), spec.Kinds.data());
        if (NT_SUCCESS(status))
            status = engine->AddPathControl(list);
        list->Release();
    }
    if (NT_SUCCESS(status) && !spec.Name.empty())
        status = engine->SetName(spec.Name.c_str());
    if (NT_SUCCESS(status))
        status = device->AddStreamObject(engine);
    engine->Release();
    return status;
}

template <typename Base> class Walked : public Base
{
  public:
    using Base::Base;
    STDMETHODIMP ParseAudioControl(struct _USB_INTERFACE_DESCRIPTOR* iface, ULONG bytes) override
    {
        RigLog().push_back("ParseAudioControl if=" + std::to_string(iface->bInterfaceNumber) +
                           " bytes=" + std::to_string(bytes));
        for (ULONG id : Walk().UnitIds)
        {
            CAudioControl* unit = MakeUnit(id);
            NTSTATUS status = this->AddDeviceUnit(unit);
            unit->Release();
            if (!NT_SUCCESS(status))
                return status;
        }
        return Walk().AudioControlStatus;
    }
    STDMETHODIMP ParseAudioStreaming(struct _USB_CONFIGURATION_DESCRIPTOR*,
                                     struct _USB_INTERFACE_DESCRIPTOR* iface, ULONG bytes) override
    {
        RigLog().push_back("ParseAudioStreaming if=" + std::to_string(iface->bInterfaceNumber) +
                           " bytes=" + std::to_string(bytes));
        for (const RigEngineSpec& spec : Walk().Engines)
        {
            NTSTATUS status = AddEngine(this, spec);
            if (!NT_SUCCESS(status))
                return status;
        }
        return STATUS_SUCCESS;
    }
    STDMETHODIMP PostParse() override
    {
        RigLog().push_back("PostParse");
        return STATUS_SUCCESS;
    }
};

template <typename T>
NTSTATUS CreateWalked(PUNKNOWN* object, PUNKNOWN adapter, USHORT idVendor, USHORT idProduct)
{
    auto device = new (NonPagedPool, kRigTag) Walked<T>(adapter, idVendor, idProduct);
    if (device == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    *object = device->GetNonDelegatingUnknown();
    (*object)->AddRef();
    return STATUS_SUCCESS;
}

const DeviceClassFactories c_Walked = {
    CreateWalked<CUsbAudio2Device>,  CreateWalked<CUsbAudioTimedDevice>,
    CreateWalked<CUsbAudio1DeviceA>, CreateWalked<CUsbAudio1DeviceB>,
    CreateWalked<CUsbAudio1DeviceC>, CreateWalked<CUsbAudio1Device>,
};
} // namespace

std::vector<std::string>& RigLog()
{
    static std::vector<std::string> log;
    return log;
}

RigEngineSpec RenderEngine(const std::vector<ULONG>& kinds, const char16_t* name)
{
    RigEngineSpec spec;
    spec.Kinds = kinds;
    spec.Name = name;
    return spec;
}

WalkScript& Walk()
{
    static WalkScript script;
    return script;
}

void UseDeviceClasses(bool walked)
{
    RigLog().clear();
    SetDeviceClassFactories(walked ? &c_Walked : nullptr);
}

CUsbAudioDevice* DeviceOf(const UsbAdapterRig& rig)
{
    PADAPTERCOMMON device =
        rig.Adapter() != nullptr ? rig.Adapter()->GetDeviceInterface() : nullptr;
    if (device == nullptr)
        return nullptr;
    return static_cast<CUsbAudioDevice*>(static_cast<CAudioHal*>(device));
}

POUTPUTTYPECONTROL OutputTypeOf(CUsbAudioDevice* device, ULONG index)
{
    CStreamEngine* engine = nullptr;
    if (!NT_SUCCESS(device->GetEngine(index, &engine)))
        return nullptr;
    POUTPUTTYPECONTROL control = FindOutputTypeControl(engine);
    if (control != nullptr)
        control->Release(); // the engine keeps it
    return control;
}

std::string EngineName(CUsbAudioDevice* device, ULONG index)
{
    CStreamEngine* engine = nullptr;
    WCHAR name[STREAM_ENGINE_NAME_OUT_CHARS + 1] = {};
    if (!NT_SUCCESS(device->GetEngine(index, &engine)) || !NT_SUCCESS(engine->GetName(name)))
        return "?";
    return Narrow(name);
}

void SetEngineName(CUsbAudioDevice* device, ULONG index, const char16_t* name)
{
    CStreamEngine* engine = nullptr;
    if (NT_SUCCESS(device->GetEngine(index, &engine)))
        engine->SetName(name);
}

CAudioControl* MakeUnit(ULONG id, ULONG kind)
{
    auto unit = new (NonPagedPool, kRigTag) CAudioControl(nullptr, id, kind);
    unit->AddRef();
    return unit;
}

size_t DbgLinesSaying(const std::string& text)
{
    size_t count = 0;
    for (const std::string& line : EmuDbgOutput())
        count += line.find(text) != std::string::npos ? 1 : 0;
    return count;
}
