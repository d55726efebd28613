#include "tests/sim/host/host_doubles.h"

#include "framework/audio_hal.h"

namespace
{
constexpr ULONG kTag = POOL_TAG("HstD");

// A device class whose parse finds no streams.
class EmptyDevice : public CAudioHal
{
  public:
    explicit EmptyDevice(PUNKNOWN outerUnknown) : CAudioHal(outerUnknown) {}
    ~EmptyDevice() override;
    STDMETHODIMP InitDevice() override { return STATUS_SUCCESS; }
};
EmptyDevice::~EmptyDevice() {}

// A device class that refuses its descriptors and says which, as the
// driver's classes do.
class RefusingDevice : public CAudioHal
{
  public:
    explicit RefusingDevice(PUNKNOWN outerUnknown) : CAudioHal(outerUnknown) {}
    ~RefusingDevice() override;
    STDMETHODIMP InitDevice() override
    {
        DbgPrint("RefusingDevice: %s\n", kHostRefusal);
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }
};
RefusingDevice::~RefusingDevice() {}

template <typename Device>
NTSTATUS CreateDevice(PUNKNOWN* deviceObject, PUNKNOWN outerUnknown, USHORT, USHORT)
{
    auto device = new (NonPagedPool, kTag) Device(outerUnknown);
    if (device == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    *deviceObject = device->GetNonDelegatingUnknown();
    (*deviceObject)->AddRef();
    return STATUS_SUCCESS;
}

// A topology filter with a bridge pin in, a sink pin out and a bridge pin out.
PCPIN_DESCRIPTOR g_Pins[kHostTopologyPins] = {};

class Topology : public CUnknown, public IMiniportTopology, public IMiniportIdentity
{
  public:
    Topology() : CUnknown(nullptr)
    {
        const KSPIN_DATAFLOW flows[] = {KSPIN_DATAFLOW_IN, KSPIN_DATAFLOW_OUT, KSPIN_DATAFLOW_OUT};
        const KSPIN_COMMUNICATION kinds[] = {KSPIN_COMMUNICATION_BRIDGE, KSPIN_COMMUNICATION_SINK,
                                             KSPIN_COMMUNICATION_BRIDGE};
        for (ULONG i = 0; i < kHostTopologyPins; ++i)
        {
            g_Pins[i].KsPinDescriptor.DataFlow = flows[i];
            g_Pins[i].KsPinDescriptor.Communication = kinds[i];
        }
        m_Filter.PinSize = sizeof(PCPIN_DESCRIPTOR);
        m_Filter.PinCount = kHostTopologyPins;
        m_Filter.Pins = g_Pins;
        m_Filter.NodeSize = sizeof(PCNODE_DESCRIPTOR);
    }
    ~Topology() override;
    DECLARE_STD_UNKNOWN()
    STDMETHODIMP GetDescription(PPCFILTER_DESCRIPTOR* description) override
    {
        *description = &m_Filter;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE, ULONG, PVOID,
                                       PULONG) override
    {
        return STATUS_NOT_IMPLEMENTED;
    }
    STDMETHODIMP Init(PUNKNOWN, PRESOURCELIST, PPORTTOPOLOGY) override { return STATUS_SUCCESS; }
    STDMETHODIMP GetConnectionId(PULONG) override { return STATUS_UNSUCCESSFUL; }
    STDMETHODIMP GetFilterName(PWSTR* filterName) override
    {
        *filterName = const_cast<PWSTR>(u"Topo");
        return STATUS_SUCCESS;
    }

  private:
    PCFILTER_DESCRIPTOR m_Filter = {};
};
Topology::~Topology() {}

NTSTATUS Topology::NonDelegatingQueryInterface(REFIID iid, PVOID* object)
{
    if (IsEqualGUID(iid, IID_IMiniport) || IsEqualGUID(iid, IID_IMiniportTopology))
        *object = static_cast<IMiniportTopology*>(this);
    else if (IsEqualGUID(iid, IID_IMiniportIdentity))
        *object = static_cast<IMiniportIdentity*>(this);
    else
        return CUnknown::NonDelegatingQueryInterface(iid, object);
    NonDelegatingAddRef();
    return STATUS_SUCCESS;
}

NTSTATUS CreateTopology(PUNKNOWN* miniport, REFCLSID, PUNKNOWN, POOL_TYPE poolType)
{
    auto topology = new (poolType, kTag) Topology();
    if (topology == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    *miniport = topology->GetNonDelegatingUnknown();
    (*miniport)->AddRef();
    return STATUS_SUCCESS;
}

constexpr auto CreateEmpty = CreateDevice<EmptyDevice>;
constexpr auto CreateRefusing = CreateDevice<RefusingDevice>;
const DeviceClassFactories c_Classes = {CreateEmpty, CreateEmpty, CreateEmpty,
                                        CreateEmpty, CreateEmpty, CreateEmpty};
const DeviceClassFactories c_Refusing = {CreateRefusing, CreateRefusing, CreateRefusing,
                                         CreateRefusing, CreateRefusing, CreateRefusing};
const AdapterMiniportFactories c_NoMiniports = {nullptr, nullptr};
const AdapterMiniportFactories c_Topology = {CreateTopology, nullptr};
} // namespace

HostDoubles::HostDoubles(bool topology, bool refusing)
    : m_PreviousClasses(SetDeviceClassFactories(refusing ? &c_Refusing : &c_Classes)),
      m_PreviousMiniports(SetAdapterMiniportFactories(topology ? &c_Topology : &c_NoMiniports))
{
}

HostDoubles::~HostDoubles()
{
    SetDeviceClassFactories(m_PreviousClasses);
    SetAdapterMiniportFactories(m_PreviousMiniports);
}
