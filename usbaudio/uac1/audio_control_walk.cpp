#include <initializer_list>
#include <new>

#include "audioclass/controls/chain_nodes.h"
#include "audioclass/controls/selector_control.h"
#include "audioclass/descriptor_rules.h"
#include "usbaudio/uac1/walkers.h"
#include "audioclass/units/uac1_terminals.h"
#include "audioclass/units/uac1_units.h"

namespace
{
constexpr ULONG c_InterfaceBytes = 9;

typedef CUacUnit* (*UnitMaker)(ULONG index);
template <typename T> CUacUnit* Make(ULONG index)
{
    return new (NonPagedPool, UAC1_POOL_TAG) T(index);
}
CUacUnit* MakeFeatureUnit(ULONG index)
{
    auto unit = new (NonPagedPool, UAC1_POOL_TAG) CUac1FeatureUnit(index);
    if (unit != nullptr)
        unit->TakeDeclaredControls();
    return unit;
}
struct UnitKind
{
    UCHAR Subtype;
    UnitMaker Create;
};
// The objects of the class 1.0 AudioControl interface; the header is
// skipped and every other subtype (processing and extension units
// included, refused by name below) ends the walk.
const UnitKind c_Uac1Units[] = {{USB_AUDIO_INPUT_TERMINAL, Make<CUac1InputTerminal>},
                                {USB_AUDIO_OUTPUT_TERMINAL, Make<CUac1OutputTerminal>},
                                {USB_AUDIO_MIXER_UNIT, Make<CUac1MixerUnit>},
                                {USB_AUDIO_SELECTOR_UNIT, Make<CUac1SelectorUnit>},
                                {USB_AUDIO_FEATURE_UNIT, MakeFeatureUnit}};

// The units of either class that no walk has an object for, by the names
// the audio class gives them: the walk refuses them before any maker is asked.
struct UnsupportedUnit
{
    AudioDescriptorVersion Version;
    UCHAR Subtype;
    const char* Name;
};
const UnsupportedUnit c_UnsupportedUnits[] = {
    {AudioDescriptorVersion::Uac1, USB_AUDIO10_PROCESSING_UNIT, "processing unit"},
    {AudioDescriptorVersion::Uac1, USB_AUDIO10_EXTENSION_UNIT, "extension unit"},
    {AudioDescriptorVersion::Uac2, USB_AUDIO20_EFFECT_UNIT, "effect unit"},
    {AudioDescriptorVersion::Uac2, USB_AUDIO20_PROCESSING_UNIT, "processing unit"},
    {AudioDescriptorVersion::Uac2, USB_AUDIO20_CLOCK_SELECTOR, "clock selector"},
    {AudioDescriptorVersion::Uac2, USB_AUDIO20_CLOCK_MULTIPLIER, "clock multiplier"},
    {AudioDescriptorVersion::Uac2, USB_AUDIO20_SAMPLE_RATE_CONVERTER, "sample-rate converter"}};

const char* UnsupportedUnitName(AudioDescriptorVersion version, UCHAR subtype)
{
    for (const UnsupportedUnit& unit : c_UnsupportedUnits)
        if (unit.Version == version && unit.Subtype == subtype)
            return unit.Name;
    return nullptr;
}

// The entity id of an AudioControl descriptor, 0 when it is too short to hold one.
UCHAR EntityId(const UCHAR* d)
{
    return d[0] > 3 ? d[3] : 0;
}

// A unit, or something of one, refused on purpose, in words a user can
// search for: the kind, the id, and what of it the driver does not support.
void ReportUnsupportedUnit(UCHAR interfaceNumber, const char* kind, UCHAR id, const char* whose,
                           NTSTATUS status)
{
    DbgPrint("UsbAudio: AudioControl interface %u: %s %u%s%s is not supported by this driver: "
             "0x%08X\n",
             interfaceNumber, kind, id, whose != nullptr ? " whose " : "",
             whose != nullptr ? whose : "", (unsigned)status);
}

// What the walk makes of one class-specific descriptor before any object:
// a unit of a kind no walk supports, a descriptor of a subtype the class does
// not define, or one whose length the rules refuse, each named in the debug
// output with STATUS_UNSUCCESSFUL; success for one to walk on.
NTSTATUS CheckControlDescriptor(AudioDescriptorVersion version, UCHAR interfaceNumber,
                                const UCHAR* d, ULONG left)
{
    const DescriptorVerdict verdict =
        CheckAudioDescriptor(version, AudioInterfaceKind::AudioControl, d, left);
    // Only a subtype the rules know, or none, has a length to read it by.
    const char* unsupported =
        verdict == DescriptorVerdict::Valid || verdict == DescriptorVerdict::NoRule
            ? UnsupportedUnitName(version, d[2])
            : nullptr;
    if (unsupported != nullptr)
        ReportUnsupportedUnit(interfaceNumber, unsupported, EntityId(d), nullptr,
                              STATUS_UNSUCCESSFUL);
    else if (verdict != DescriptorVerdict::Valid)
        ReportRefusedDescriptor("AudioControl", interfaceNumber, d, STATUS_UNSUCCESSFUL,
                                verdict == DescriptorVerdict::NoRule ? "unknown subtype"
                                                                     : "malformed");
    else
        return STATUS_SUCCESS;
    return STATUS_UNSUCCESSFUL;
}

// A circular queue of ids with a record of the ids it has taken, so that a
// search along source ids ends on any loop the device describes.
class PathRing
{
  public:
    explicit PathRing(ULONG first)
    {
        m_Ids[0] = first;
        m_Count = 1;
    }
    bool Take(PULONG id)
    {
        while (m_Count != 0)
        {
            *id = m_Ids[m_Head];
            m_Head = (m_Head + 1) % PATH_RING_IDS;
            --m_Count;
            if (!Seen(*id))
            {
                Remember(*id);
                return true;
            }
        }
        return false;
    }
    // STATUS_INSUFFICIENT_RESOURCES when `count` more do not fit.
    NTSTATUS Put(CAudioControl* control, ULONG count)
    {
        if (count > PATH_RING_IDS - m_Count)
            return STATUS_INSUFFICIENT_RESOURCES;
        ULONG sources[PATH_RING_IDS] = {};
        ULONG read = count;
        NTSTATUS status = control->GetValues(&read, sources);
        for (ULONG i = 0; NT_SUCCESS(status) && i < read; ++i)
        {
            m_Ids[(m_Head + m_Count) % PATH_RING_IDS] = sources[i];
            ++m_Count;
        }
        return status;
    }

  private:
    bool Seen(ULONG id) const
    {
        for (ULONG i = 0; i < m_Taken; ++i)
            if (m_TakenIds[i] == id)
                return true;
        return false;
    }
    void Remember(ULONG id)
    {
        if (m_Taken < c_Remembered)
            m_TakenIds[m_Taken++] = id;
    }
    static constexpr ULONG c_Remembered = 256;
    ULONG m_Ids[PATH_RING_IDS] = {};
    ULONG m_Head = 0;
    ULONG m_Count = 0;
    ULONG m_TakenIds[c_Remembered] = {};
    ULONG m_Taken = 0;
};

bool EngineHolds(CStreamEngine* engine, ULONG id)
{
    for (ULONG i = 0; i < engine->GetControlCount(); ++i)
    {
        CAudioControl* control = nullptr;
        if (NT_SUCCESS(engine->GetControlAt(i, &control)) && control->GetId() == id)
            return true;
    }
    return false;
}

CAudioControl* EngineControlOfKind(CStreamEngine* engine, ULONG kind)
{
    for (ULONG i = 0; i < engine->GetControlCount(); ++i)
    {
        CAudioControl* control = nullptr;
        if (NT_SUCCESS(engine->GetControlAt(i, &control)) && control->GetKind() == kind)
            return control;
    }
    return nullptr;
}

// Calls `visit` for each unit of the device's list until it returns true.
template <typename Visit> void ForEachDeviceUnit(CUsbAudioDevice* device, Visit visit)
{
    CPtrList* units = nullptr;
    if (!NT_SUCCESS(device->GetUnitList(&units)) || units == nullptr)
        return;
    POSITION position = units->GetHeadPosition();
    PVOID data = nullptr;
    while (units->GetNext(&position, &data))
        if (visit(static_cast<CUacUnit*>(data)))
            return;
}

// Points the output terminal whose first control is `terminalControl` at `newSource`.
void RelinkOutputTerminal(CUsbAudioDevice* device, CAudioControl* terminalControl, ULONG newSource)
{
    if (terminalControl == nullptr)
        return;
    ForEachDeviceUnit(device,
                      [&](CUacUnit* unit)
                      {
                          ULONG first = 0;
                          if (unit->GetKind() != USB_AUDIO_OUTPUT_TERMINAL ||
                              !NT_SUCCESS(unit->UnitGetFirstValue(&first)) ||
                              first != terminalControl->GetId())
                              return false;
                          unit->UnitSetFirstValue(1, &newSource);
                          return true;
                      });
}

NTSTATUS CreateUnit(CUsbAudioDevice* device, const UCHAR* descriptor)
{
    for (const UnitKind& kind : c_Uac1Units)
    {
        if (kind.Subtype != descriptor[2])
            continue;
        // The listed vendor's terminal 16 is a headphone output whatever it says.
        UCHAR copy[256];
        if (kind.Subtype == USB_AUDIO_OUTPUT_TERMINAL &&
            device->GetDeviceRecord().Has(DEVICE_HEADPHONE_TERMINAL_16) &&
            descriptor[3] == UAC1_HEADPHONE_TERMINAL_ID &&
            (descriptor[4] | descriptor[5] << 8) == USB_AUDIO_TERMINAL_SPEAKER)
        {
            RtlCopyMemory(copy, descriptor, descriptor[0]);
            copy[4] = (UCHAR)USB_AUDIO_TERMINAL_HEADPHONES;
            copy[5] = (UCHAR)(USB_AUDIO_TERMINAL_HEADPHONES >> 8);
            descriptor = copy;
        }
        return AddWalkedUnit(device, kind.Create(DeviceUnitCount(device)), descriptor);
    }
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS CheckListedOutputs(CUsbAudioDevice* device)
{
    if (!device->GetDeviceRecord().Has(DEVICE_TWO_OUTPUT_TERMINALS))
        return STATUS_SUCCESS;
    for (ULONG id : {UAC1_HEADPHONE_TERMINAL_ID, UAC1_SECOND_OUTPUT_TERMINAL_ID})
    {
        CAudioControl* unit = nullptr;
        NTSTATUS status = device->FindUnitByIdInDevice(id, &unit);
        if (!NT_SUCCESS(status))
            return status;
        if (unit->GetKind() != USB_AUDIO_OUTPUT_TERMINAL)
            return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}
} // namespace

ULONG DeviceUnitCount(CUsbAudioDevice* device)
{
    CPtrList* units = nullptr;
    device->GetUnitList(&units);
    return units != nullptr ? units->GetCount() : 0;
}

NTSTATUS AddWalkedUnit(CUsbAudioDevice* device, CUacUnit* unit, const UCHAR* descriptor)
{
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    UnitRefusal refusal;
    if (unit != nullptr)
    {
        unit->AddRef();
        status = unit->Init(descriptor, device);
        if (!NT_SUCCESS(status))
            refusal = unit->Refusal();
        if (NT_SUCCESS(status))
            status = device->AddDeviceUnit(unit);
        unit->Release();
    }
    const UCHAR number = device->GetAudioControlInterfaceNumber();
    if (refusal.What != nullptr)
        ReportUnsupportedUnit(number, refusal.Kind, EntityId(descriptor), refusal.What, status);
    else if (!NT_SUCCESS(status))
        ReportRefusedDescriptor("AudioControl", number, descriptor, status, "could not be created");
    return status;
}

namespace
{
// Unit ids are bytes: a longer run of units without controls is a loop.
constexpr ULONG c_MaxPassThroughUnits = 256;

// The control a consumer of unit `id` links to: the end of that unit's
// chain, or, for a unit without controls of its own (a feature unit that
// declares none), its own source's link.
NTSTATUS SourceLink(CUsbAudioDevice* device, ULONG id, PULONG link)
{
    for (ULONG hop = 0; hop < c_MaxPassThroughUnits; ++hop)
    {
        CAudioControl* found = nullptr;
        NTSTATUS status = device->FindUnitByIdInDevice(id, &found);
        if (!NT_SUCCESS(status))
            return status;
        auto unit = static_cast<CUacUnit*>(found);
        ULONG count = 1;
        if (NT_SUCCESS(unit->UnitGetOutputValue(link)))
            return STATUS_SUCCESS;
        if (unit->GetValueCount() != 1 || !NT_SUCCESS(unit->GetValues(&count, &id)))
            return STATUS_UNSUCCESSFUL;
    }
    return STATUS_UNSUCCESSFUL;
}
} // namespace

// Each unit's first control gets, for each source, the control at the end
// of the source unit's chain: a consumer of a feature unit follows its last
// control, so that every control of the unit is on the path. A link that
// cannot be kept fails the walk: a path cut there would lose its stream.
NTSTATUS LinkUnitSources(CUsbAudioDevice* device)
{
    NTSTATUS status = STATUS_SUCCESS;
    ForEachDeviceUnit(device,
                      [&](CUacUnit* unit)
                      {
                          ULONG first = 0;
                          ULONG count = unit->GetValueCount();
                          ULONG sources[LINKED_SOURCES_MAX] = {};
                          if (!NT_SUCCESS(unit->UnitGetFirstValue(&first)) || count == 0 ||
                              count > LINKED_SOURCES_MAX ||
                              !NT_SUCCESS(unit->GetValues(&count, sources)))
                              return false;
                          for (ULONG i = 0; i < count; ++i)
                          {
                              ULONG sourceEnd = 0;
                              if (NT_SUCCESS(SourceLink(device, sources[i], &sourceEnd)))
                                  sources[i] = sourceEnd;
                          }
                          status = unit->UnitSetFirstValue(count, sources);
                          return !NT_SUCCESS(status);
                      });
    return status;
}

void ReportRefusedDescriptor(const char* interfaceKind, UCHAR interfaceNumber, const UCHAR* d,
                             NTSTATUS status, const char* why)
{
    DbgPrint("UsbAudio: %s interface %u: descriptor subtype 0x%02X id %u length %u refused%s%s%s: "
             "0x%08X\n",
             interfaceKind, interfaceNumber, d[0] > 2 ? d[2] : 0, EntityId(d), d[0],
             why != nullptr ? " (" : "", why != nullptr ? why : "", why != nullptr ? ")" : "",
             (unsigned)status);
}

NTSTATUS CheckWalkedInterface(const USB_INTERFACE_DESCRIPTOR* d, ULONG bytesToEnd, UCHAR subclass,
                              AudioDescriptorVersion version)
{
    const bool classOne = version == AudioDescriptorVersion::Uac1;
    const UCHAR protocol =
        classOne ? USB_AUDIO_PROTOCOL_UNDEFINED : USB_AUDIO_PROTOCOL_IP_VERSION_02_00;
    const char* kind =
        subclass == USB_AUDIO_SUBCLASS_AUDIOCONTROL ? "AudioControl" : "AudioStreaming";
    if (d == nullptr)
    {
        DbgPrint("UsbAudio: no %s interface to walk: 0x%08X\n", kind,
                 (unsigned)STATUS_INVALID_PARAMETER);
        return STATUS_INVALID_PARAMETER;
    }
    if (bytesToEnd >= c_InterfaceBytes && d->bLength >= c_InterfaceBytes &&
        d->bInterfaceClass == USB_DEVICE_CLASS_AUDIO && d->bInterfaceSubClass == subclass &&
        d->bInterfaceProtocol == protocol)
        return STATUS_SUCCESS;
    DbgPrint("UsbAudio: %s interface %u is not one of audio class %s: %u bytes, class %u, "
             "subclass %u, protocol 0x%02X (0x%02X expected): 0x%08X\n",
             kind, d->bInterfaceNumber, classOne ? "1.0" : "2.0", d->bLength, d->bInterfaceClass,
             d->bInterfaceSubClass, d->bInterfaceProtocol, protocol,
             (unsigned)STATUS_INVALID_PARAMETER);
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS CheckDescriptorFits(const char* interfaceKind, UCHAR interfaceNumber, const UCHAR* d,
                             ULONG left)
{
    if (DescriptorFits(d, left))
        return STATUS_SUCCESS;
    DbgPrint("UsbAudio: %s interface %u: descriptor length %u refused (%u byte(s) left in the "
             "configuration): 0x%08X\n",
             interfaceKind, interfaceNumber, d[0], left, (unsigned)STATUS_UNSUCCESSFUL);
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS WalkAudioControl(CUsbAudioDevice* device, PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor,
                          ULONG bytesToEnd, AudioDescriptorVersion version,
                          PAUDIO_CONTROL_UNIT_MAKER createUnit)
{
    PAGED_CODE();
    NTSTATUS status = CheckWalkedInterface(interfaceDescriptor, bytesToEnd,
                                           USB_AUDIO_SUBCLASS_AUDIOCONTROL, version);
    if (!NT_SUCCESS(status))
        return status;
    const PUCHAR base = reinterpret_cast<PUCHAR>(interfaceDescriptor);
    // A longer interface descriptor is walked past whole.
    ULONG position =
        interfaceDescriptor->bLength <= bytesToEnd ? interfaceDescriptor->bLength : bytesToEnd;
    while (position < bytesToEnd)
    {
        const UCHAR* d = base + position;
        const ULONG left = bytesToEnd - position;
        status =
            CheckDescriptorFits("AudioControl", interfaceDescriptor->bInterfaceNumber, d, left);
        if (!NT_SUCCESS(status))
            return status;
        if (d[1] != USB_AUDIO_CS_INTERFACE)
            break;
        status = CheckControlDescriptor(version, interfaceDescriptor->bInterfaceNumber, d, left);
        // The maker names a unit it could not create (AddWalkedUnit).
        if (NT_SUCCESS(status) && d[2] != USB_AUDIO_AC_HEADER)
            status = createUnit(device, d);
        if (!NT_SUCCESS(status))
            return status;
        position += d[0];
    }
    return LinkUnitSources(device);
}

NTSTATUS ParseAudioControlUac1(CUsbAudioDevice* device,
                               PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor, ULONG bytesToEnd)
{
    PAGED_CODE();
    NTSTATUS status = WalkAudioControl(device, interfaceDescriptor, bytesToEnd,
                                       AudioDescriptorVersion::Uac1, CreateUnit);
    if (!NT_SUCCESS(status))
        return status;
    status = CheckListedOutputs(device);
    if (!NT_SUCCESS(status))
        DbgPrint("UsbAudio: AudioControl interface %u: the listed device's output terminals %u "
                 "and %u are not both there: 0x%08X\n",
                 device->GetAudioControlInterfaceNumber(), UAC1_HEADPHONE_TERMINAL_ID,
                 UAC1_SECOND_OUTPUT_TERMINAL_ID, (unsigned)status);
    return status;
}

// ----------------------------------------------------------------------------
// Stream paths

// The pseudo controls a unit on the path hangs beside its chain (the chip
// feature unit's effect nodes): each whose source the engine holds joins
// it, in the device's order, so the delay node comes before the headphone
// node that hangs off it.
static NTSTATUS AddPathSideControls(CUsbAudioDevice* device, CStreamEngine* engine)
{
    for (ULONG i = 0; i < device->GetUnitCount(); ++i)
    {
        CAudioControl* control = nullptr;
        ULONG source = 0, count = 1;
        if (!NT_SUCCESS(device->GetUnit(i, &control)) ||
            control->GetKind() != CONTROL_KIND_PSEUDO || EngineHolds(engine, control->GetId()) ||
            !NT_SUCCESS(control->GetValues(&count, &source)) || count != 1 ||
            !EngineHolds(engine, source))
            continue;
        NTSTATUS status = engine->AddPathControl(control);
        if (!NT_SUCCESS(status))
            return status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS AddPathUnits(CUsbAudioDevice* device, CStreamEngine* engine, ULONG startId)
{
    PAGED_CODE();
    PathRing ring(startId);
    ULONG id = 0;
    while (ring.Take(&id))
    {
        if (EngineHolds(engine, id))
            continue;
        CAudioControl* control = nullptr;
        NTSTATUS status = device->FindUnitById(id, &control);
        if (NT_SUCCESS(status))
            status = engine->AddPathControl(control);
        if (NT_SUCCESS(status) && control->GetValueCount() != 0 &&
            control->GetKind() != CONTROL_KIND_MIXER_UNIT)
            status = ring.Put(control, control->GetValueCount());
        if (!NT_SUCCESS(status))
            return status;
    }
    return AddPathSideControls(device, engine);
}

// Whether an id upstream of `id` (itself included) answers isHit(device, id).
template <typename Hit>
static NTSTATUS ReachesUpstream(CUsbAudioDevice* device, ULONG id, Hit isHit, bool* hit)
{
    *hit = false;
    PathRing ring(id);
    ULONG next = 0;
    while (ring.Take(&next))
    {
        if (isHit(device, next))
        {
            *hit = true;
            return STATUS_SUCCESS;
        }
        CAudioControl* control = nullptr;
        NTSTATUS status = device->FindUnitById(next, &control);
        if (NT_SUCCESS(status) && control->GetValueCount() != 0)
            status = ring.Put(control, control->GetValueCount());
        if (!NT_SUCCESS(status))
            return status;
    }
    return STATUS_SUCCESS;
}

// Whether `linkId` lies upstream of the control `id`.
static NTSTATUS ReachesLink(CUsbAudioDevice* device, ULONG id, ULONG linkId, bool* hit)
{
    return ReachesUpstream(
        device, id, [&](CUsbAudioDevice*, ULONG next) { return next == linkId; }, hit);
}

// Whether the control is a terminal of the kind (input or output) and, if
// so, whether the device names it (a microphone, a speaker, a line) rather
// than it being the USB side of a stream.
static bool IsTerminalOfKind(CAudioControl* control, ULONG controlKind, bool* named)
{
    *named = false;
    if (control->GetKind() != controlKind)
        return false;
    PTERMINALCONTROL terminal = nullptr;
    if (!NT_SUCCESS(control->QueryInterface(IID_ITerminalControl, (PVOID*)&terminal)))
        return false;
    ULONG kind = ENDPOINT_KIND_STREAM;
    *named = NT_SUCCESS(terminal->GetCurrentKind(&kind)) && kind != ENDPOINT_KIND_STREAM;
    terminal->Release();
    return true;
}

static bool IsNamedInput(CAudioControl* control)
{
    bool named = false;
    return IsTerminalOfKind(control, CONTROL_KIND_INPUT_TERMINAL, &named) && named;
}

static bool IsNamedOutput(CAudioControl* control)
{
    bool named = false;
    return IsTerminalOfKind(control, CONTROL_KIND_OUTPUT_TERMINAL, &named) && named;
}

NTSTATUS PlaysToUsbSideOnly(CUsbAudioDevice* device, ULONG linkId, bool* usbOnly)
{
    PAGED_CODE();
    bool reachedNamed = false, reachedUsb = false;
    for (ULONG i = 0; i < device->GetUnitCount() && !reachedNamed; ++i)
    {
        CAudioControl* control = nullptr;
        bool named = false, hit = false;
        if (!NT_SUCCESS(device->GetUnit(i, &control)) ||
            !IsTerminalOfKind(control, CONTROL_KIND_OUTPUT_TERMINAL, &named))
            continue;
        NTSTATUS status = ReachesLink(device, control->GetId(), linkId, &hit);
        if (!NT_SUCCESS(status))
            return status;
        (named ? reachedNamed : reachedUsb) |= hit;
    }
    *usbOnly = reachedUsb && !reachedNamed;
    return STATUS_SUCCESS;
}

static bool IsNamedInputId(CUsbAudioDevice* device, ULONG id)
{
    CAudioControl* control = nullptr;
    return NT_SUCCESS(device->FindUnitById(id, &control)) && IsNamedInput(control);
}

bool EngineHoldsNamedInput(CStreamEngine* engine)
{
    for (ULONG i = 0; i < engine->GetControlCount(); ++i)
    {
        CAudioControl* control = nullptr;
        if (NT_SUCCESS(engine->GetControlAt(i, &control)) && IsNamedInput(control))
            return true;
    }
    return false;
}

// Calls visit(source, &stop) for each input the engine does not hold yet of
// each mixer (or extension unit) among the engine's controls from index
// `from` on, in list and source order, until visit fails or sets stop.
template <typename Visit>
static NTSTATUS ForEachMixerInput(CStreamEngine* engine, ULONG from, Visit visit)
{
    bool stop = false;
    for (ULONG i = from; !stop && i < engine->GetControlCount(); ++i)
    {
        CAudioControl* mixer = nullptr;
        ULONG sources[PATH_RING_IDS] = {};
        ULONG count = PATH_RING_IDS;
        if (!NT_SUCCESS(engine->GetControlAt(i, &mixer)) ||
            mixer->GetKind() != CONTROL_KIND_MIXER_UNIT)
            continue;
        if (mixer->GetValueCount() > PATH_RING_IDS)
            return STATUS_INSUFFICIENT_RESOURCES;
        NTSTATUS status = mixer->GetValues(&count, sources);
        for (ULONG s = 0; NT_SUCCESS(status) && !stop && s < count; ++s)
            if (!EngineHolds(engine, sources[s]))
                status = visit(sources[s], &stop);
        if (!NT_SUCCESS(status))
            return status;
    }
    return STATUS_SUCCESS;
}

// The inputs of the engine's mixers (and extension units) that lead to the
// streaming terminal, walked as the path is: a render path that meets its
// terminal only through such a unit reaches it, and the unit's other inputs
// stay out.
static NTSTATUS FollowMixersToLink(CUsbAudioDevice* device, CStreamEngine* engine, ULONG linkId)
{
    bool added = true;
    while (added && !EngineHolds(engine, linkId))
    {
        added = false;
        NTSTATUS status = ForEachMixerInput(engine, 0,
                                            [&](ULONG source, bool*)
                                            {
                                                bool hit = false;
                                                NTSTATUS s =
                                                    ReachesLink(device, source, linkId, &hit);
                                                if (!NT_SUCCESS(s) || !hit)
                                                    return s;
                                                added = true;
                                                return AddPathUnits(device, engine, source);
                                            });
        if (!NT_SUCCESS(status))
            return status;
    }
    return STATUS_SUCCESS;
}

// A recording taken from a mixer (or an extension unit) that no named input
// reaches directly: the mixer's first input, in its source order, that comes
// from a named input terminal joins the path, so that terminal names the
// recording as it would without the mixer. A mixer met on the way is
// followed the same way. Inputs from the playback stream's terminal stay out.
static NTSTATUS FollowMixersToInput(CUsbAudioDevice* device, CStreamEngine* engine)
{
    ULONG from = 0;
    while (!EngineHoldsNamedInput(engine))
    {
        ULONG chosen = 0;
        bool found = false;
        NTSTATUS status = ForEachMixerInput(
            engine, from,
            [&](ULONG source, bool* stop)
            {
                chosen = source;
                // An input whose search fails (a source the device does not have) leads nowhere.
                *stop =
                    NT_SUCCESS(ReachesUpstream(device, source, IsNamedInputId, &found)) && found;
                found = *stop;
                return STATUS_SUCCESS;
            });
        if (!NT_SUCCESS(status) || !found)
            return status;
        // The next mixer to follow is one this input brought in.
        from = engine->GetControlCount();
        status = AddPathUnits(device, engine, chosen);
        if (!NT_SUCCESS(status))
            return status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS ConnectStreamPins(CUsbAudioDevice* device, CStreamEngine* engine, ULONG linkId)
{
    PAGED_CODE();
    if (engine->GetDirection() == STREAM_DIRECTION_CAPTURE)
    {
        NTSTATUS status = AddPathUnits(device, engine, linkId);
        return NT_SUCCESS(status) ? FollowMixersToInput(device, engine) : status;
    }
    bool anyHit = false;
    bool anyTerminal = false;
    NTSTATUS status = STATUS_SUCCESS;
    const ULONG controls = device->GetUnitCount();
    for (ULONG i = 0; i < controls; ++i)
    {
        CAudioControl* control = nullptr;
        if (!NT_SUCCESS(device->GetUnit(i, &control)) || !IsNamedOutput(control))
            continue;
        anyTerminal = true;
        bool hit = false;
        status = ReachesLink(device, control->GetId(), linkId, &hit);
        if (NT_SUCCESS(status) && hit)
        {
            status = AddPathUnits(device, engine, control->GetId());
            if (!NT_SUCCESS(status))
                return status;
            anyHit = true;
        }
    }
    if (!anyTerminal || !anyHit || !NT_SUCCESS(status))
        return STATUS_INVALID_PARAMETER;
    return FollowMixersToLink(device, engine, linkId);
}

NTSTATUS CreateSoftMuteNode(CUsbAudioDevice* device, ULONG newId, ULONG sourceId, ULONG channels,
                            CStreamEngine* engine)
{
    PAGED_CODE();
    auto node = new (NonPagedPool, UAC1_POOL_TAG) CSoftMuteNode(newId);
    if (node == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    node->AddRef();
    NTSTATUS status = node->Init(sourceId, channels);
    if (NT_SUCCESS(status))
        status = device->AddUnitObject(node);
    if (NT_SUCCESS(status))
        status = engine->AddPathControl(node);
    node->Release();
    return status;
}

NTSTATUS CreateSelectorPathControl(CUsbAudioDevice* device, ULONG newId, ULONG inputs,
                                   const ULONG* sources, CStreamEngine* engine)
{
    PAGED_CODE();
    auto selector = new (NonPagedPool, UAC1_POOL_TAG) CSelectorControl(nullptr, newId);
    if (selector == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    selector->AddRef();
    NTSTATUS status = selector->Init(inputs, sources);
    if (NT_SUCCESS(status))
        selector->SetCurrent(1);
    if (NT_SUCCESS(status))
        status = device->AddUnitObject(selector);
    if (NT_SUCCESS(status))
        status = engine->AddPathControl(selector);
    selector->Release();
    return status;
}

static NTSTATUS BuildTwoEntryPath(CUsbAudioDevice* device, CStreamEngine* engine)
{
    CAudioControl* input = EngineControlOfKind(engine, CONTROL_KIND_INPUT_TERMINAL);
    if (input == nullptr)
        return STATUS_SUCCESS;
    const ULONG muteId = device->GetUnitCount();
    NTSTATUS status = CreateSoftMuteNode(device, muteId, input->GetId(), 1, engine);
    if (!NT_SUCCESS(status))
        return status;
    ULONG newest = muteId;
    if (engine->GetDirection() == STREAM_DIRECTION_CAPTURE &&
        !RtlIsNtDdiVersionAvailable(WINDOWS_VISTA_DDI))
    {
        newest = muteId + 1;
        status = CreateSelectorPathControl(device, newest, 1, &muteId, engine);
        if (!NT_SUCCESS(status))
            return status;
    }
    RelinkOutputTerminal(device, EngineControlOfKind(engine, CONTROL_KIND_OUTPUT_TERMINAL), newest);
    return STATUS_SUCCESS;
}

NTSTATUS BuildPathsUac1(CUsbAudioDevice* device, CStreamEngine* engine)
{
    PAGED_CODE();
    if (engine->GetControlCount() == 2)
        return BuildTwoEntryPath(device, engine);
    if (engine->GetDirection() != STREAM_DIRECTION_CAPTURE)
        return STATUS_SUCCESS;
    ULONG terminals = 0;
    for (ULONG i = 0; i < engine->GetControlCount(); ++i)
    {
        CAudioControl* control = nullptr;
        if (NT_SUCCESS(engine->GetControlAt(i, &control)) &&
            (control->GetKind() == CONTROL_KIND_INPUT_TERMINAL ||
             control->GetKind() == CONTROL_KIND_OUTPUT_TERMINAL))
            ++terminals;
    }
    CAudioControl* output = EngineControlOfKind(engine, CONTROL_KIND_OUTPUT_TERMINAL);
    if (EngineControlOfKind(engine, CONTROL_KIND_SELECTOR) != nullptr || terminals != 2 ||
        output == nullptr)
        return STATUS_SUCCESS;
    ULONG source = 0;
    ULONG one = 1;
    output->GetValues(&one, &source);
    // Later systems show a capture path without a selector as it is.
    if (RtlIsNtDdiVersionAvailable(WINDOWS_VISTA_DDI))
        return STATUS_SUCCESS;
    const ULONG selectorId = device->GetUnitCount();
    NTSTATUS status = CreateSelectorPathControl(device, selectorId, 1, &source, engine);
    if (NT_SUCCESS(status))
        RelinkOutputTerminal(device, output, selectorId);
    return status;
}
