#include "framework/audio_function.h"

namespace
{
constexpr ULONG c_InterfaceBytes = 9;
constexpr ULONG c_AssociationBytes = 8;
// bLength .. bInCollection of a class 1.0 header, then one number each.
constexpr ULONG c_HeaderCollectionAt = 7;

// Interface numbers as a set.
struct InterfaceSet
{
    ULONG Bits[8] = {};
    void Add(ULONG number) { Bits[(number & 0xFF) / 32] |= 1u << (number % 32); }
    bool Has(ULONG number) const { return (Bits[(number & 0xFF) / 32] >> (number % 32) & 1) != 0; }
};

// Calls visit(descriptor) for each descriptor that fits inside wTotalLength;
// visit returns false to stop.
template <typename Visit> void ForEachDescriptor(PUSB_CONFIGURATION_DESCRIPTOR c, Visit visit)
{
    const PUCHAR start = reinterpret_cast<PUCHAR>(c);
    const ULONG total = c->wTotalLength;
    for (ULONG at = c->bLength; at + 2 <= total;)
    {
        const PUCHAR d = start + at;
        if (d[0] < 2 || d[0] > total - at || !visit(d))
            return;
        at += d[0];
    }
}

bool IsAudioInterface(const UCHAR* d, UCHAR subclass)
{
    const auto* i = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(d);
    return d[1] == USB_INTERFACE_DESCRIPTOR_TYPE && d[0] >= c_InterfaceBytes &&
           i->bInterfaceClass == USB_DEVICE_CLASS_AUDIO && i->bInterfaceSubClass == subclass;
}

InterfaceSet StreamingInterfaces(PUSB_CONFIGURATION_DESCRIPTOR c)
{
    InterfaceSet set;
    ForEachDescriptor(c,
                      [&](const UCHAR* d)
                      {
                          if (IsAudioInterface(d, USB_AUDIO_SUBCLASS_AUDIOSTREAMING))
                              set.Add(d[2]);
                          return true;
                      });
    return set;
}

// The collection of the AudioControl interface at `control`: its header's
// list, and the interfaces of the association that groups it.
InterfaceSet Collection(PUSB_CONFIGURATION_DESCRIPTOR c, const UCHAR* control)
{
    InterfaceSet set;
    const UCHAR number = control[2];
    // Only the class 1.0 header lists its collection; class 2.0 groups by
    // association alone.
    const bool classOne =
        reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(control)->bInterfaceProtocol == 0;
    bool inside = false;
    ForEachDescriptor(
        c,
        [&](const UCHAR* d)
        {
            if (d[1] == USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE && d[0] >= c_AssociationBytes &&
                !inside)
            {
                const auto* a = reinterpret_cast<const USB_INTERFACE_ASSOCIATION_DESCRIPTOR*>(d);
                if (number >= a->bFirstInterface &&
                    number - a->bFirstInterface < a->bInterfaceCount)
                    for (ULONG i = 0; i < a->bInterfaceCount; ++i)
                        set.Add(a->bFirstInterface + i);
            }
            else if (d == control)
                inside = true;
            else if (inside && d[1] == USB_INTERFACE_DESCRIPTOR_TYPE)
                return false;
            else if (inside && classOne && d[1] == USB_AUDIO_CS_INTERFACE &&
                     d[0] > c_HeaderCollectionAt && d[2] == USB_AUDIO_AC_HEADER)
            {
                for (ULONG i = 0;
                     i < d[c_HeaderCollectionAt] && c_HeaderCollectionAt + 1 + i < d[0]; ++i)
                    set.Add(d[c_HeaderCollectionAt + 1 + i]);
            }
            return true;
        });
    return set;
}

bool HoldsStreaming(const InterfaceSet& collection, const InterfaceSet& streaming)
{
    for (ULONG i = 0; i < ARRAYSIZE(collection.Bits); ++i)
        if ((collection.Bits[i] & streaming.Bits[i]) != 0)
            return true;
    return false;
}

// The AudioControl interface (alternate setting 0) with this number.
const UCHAR* ControlInterface(PUSB_CONFIGURATION_DESCRIPTOR c, UCHAR number)
{
    const UCHAR* found = nullptr;
    ForEachDescriptor(c,
                      [&](const UCHAR* d)
                      {
                          if (IsAudioInterface(d, USB_AUDIO_SUBCLASS_AUDIOCONTROL) &&
                              d[2] == number && d[3] == 0)
                              found = d;
                          return found == nullptr;
                      });
    return found;
}
} // namespace

PUSB_INTERFACE_DESCRIPTOR FindAudioFunctionControl(PUSB_CONFIGURATION_DESCRIPTOR configuration)
{
    if (configuration == nullptr)
        return nullptr;
    const InterfaceSet streaming = StreamingInterfaces(configuration);
    PUCHAR first = nullptr, chosen = nullptr;
    ForEachDescriptor(configuration,
                      [&](PUCHAR d)
                      {
                          if (!IsAudioInterface(d, USB_AUDIO_SUBCLASS_AUDIOCONTROL))
                              return true;
                          if (first == nullptr)
                              first = d;
                          if (HoldsStreaming(Collection(configuration, d), streaming))
                              chosen = d;
                          return chosen == nullptr;
                      });
    return reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(chosen != nullptr ? chosen : first);
}

BOOLEAN InAudioFunction(PUSB_CONFIGURATION_DESCRIPTOR configuration, UCHAR control, UCHAR number)
{
    if (configuration == nullptr)
        return FALSE;
    const UCHAR* d = ControlInterface(configuration, control);
    if (d == nullptr)
        return TRUE;
    const InterfaceSet collection = Collection(configuration, d);
    const InterfaceSet streaming = StreamingInterfaces(configuration);
    return !HoldsStreaming(collection, streaming) || collection.Has(number);
}

BOOLEAN FindFunctionMidiInterface(PUSB_CONFIGURATION_DESCRIPTOR configuration, UCHAR control,
                                  PUCHAR number)
{
    const UCHAR* d = configuration != nullptr ? ControlInterface(configuration, control) : nullptr;
    if (d == nullptr)
        return FALSE;
    const InterfaceSet collection = Collection(configuration, d);
    BOOLEAN found = FALSE;
    ForEachDescriptor(configuration,
                      [&](const UCHAR* i)
                      {
                          found = IsAudioInterface(i, USB_AUDIO_SUBCLASS_MIDISTREAMING) &&
                                  collection.Has(i[2]);
                          if (found)
                              *number = i[2];
                          return !found;
                      });
    return found;
}
