#include "streaming/usb/audio_data_endpoint.h"

#include "platform/usb/usbdlib.h"

namespace
{
// The descriptor at `at` when it is one of the setting's: it names its
// length and type, fits the bytes, and is not the next interface descriptor.
const UCHAR* SettingDescriptor(const UCHAR* at, const UCHAR* end)
{
    if (at >= end || end - at < 2 || at[0] < 2 || at[0] > end - at ||
        at[1] == USB_INTERFACE_DESCRIPTOR_TYPE)
        return nullptr;
    return at;
}

const UCHAR* NextSettingDescriptor(const UCHAR* d, const UCHAR* end)
{
    return SettingDescriptor(d + d[0], end);
}

// An isochronous endpoint whose usage bits say data or implicit feedback
// data; explicit feedback and the reserved usage carry no audio.
bool IsAudioDataUsage(const UCHAR* d)
{
    if (d[1] != USB_ENDPOINT_DESCRIPTOR_TYPE || d[0] < sizeof(USB_ENDPOINT_DESCRIPTOR))
        return false;
    const auto ep = reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR*>(d);
    const UCHAR usage = ep->bmAttributes & USB_ENDPOINT_USAGE_MASK;
    return (ep->bmAttributes & USB_ENDPOINT_TYPE_MASK) == USB_ENDPOINT_TYPE_ISOCHRONOUS &&
           (usage == USB_ENDPOINT_USAGE_DATA || usage == USB_ENDPOINT_USAGE_IMPLICIT_FEEDBACK);
}

// Whether another endpoint of the setting names `candidate` as its synch
// endpoint (a class 1.0 endpoint's bSynchAddress): a synch endpoint carries
// the device's rate, not audio, though its usage bits may say data.
bool NamedAsSynchEndpoint(const UCHAR* first, const UCHAR* end, const UCHAR* candidate)
{
    const UCHAR address =
        reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR*>(candidate)->bEndpointAddress;
    for (const UCHAR* d = first; d != nullptr; d = NextSettingDescriptor(d, end))
        if (d != candidate && d[1] == USB_ENDPOINT_DESCRIPTOR_TYPE &&
            d[0] >= sizeof(USB_AUDIO_ENDPOINT_DESCRIPTOR) &&
            reinterpret_cast<const USB_AUDIO_ENDPOINT_DESCRIPTOR*>(d)->bSynchAddress == address)
            return true;
    return false;
}

// The interface descriptor of an interface's alternate setting in a
// configuration descriptor (its first of that number and setting), and in
// *end the end of the configuration's bytes; null when it has none.
const UCHAR* FindSetting(PUSB_CONFIGURATION_DESCRIPTOR config, ULONG interfaceNumber,
                         UCHAR alternateSetting, const UCHAR** end)
{
    if (config == nullptr)
        return nullptr;
    PUSB_INTERFACE_DESCRIPTOR intf = USBD_ParseConfigurationDescriptorEx(
        config, config, (LONG)interfaceNumber, alternateSetting, -1, -1, -1);
    *end = reinterpret_cast<const UCHAR*>(config) + config->wTotalLength;
    return reinterpret_cast<const UCHAR*>(intf);
}
} // namespace

const USB_ENDPOINT_DESCRIPTOR* FindAudioDataEndpoint(const UCHAR* setting, const UCHAR* end,
                                                     PULONG endpointsHeld)
{
    const UCHAR* first = nullptr;
    if (setting != nullptr && end - setting >= 2 && setting[0] >= 2 && setting[0] <= end - setting)
        first = SettingDescriptor(setting + setting[0], end);
    const UCHAR* found = nullptr;
    const UCHAR* fallback = nullptr;
    ULONG held = 0;
    // The walk goes on past the data endpoint to count the setting's endpoints.
    for (const UCHAR* d = first; d != nullptr; d = NextSettingDescriptor(d, end))
    {
        held += d[1] == USB_ENDPOINT_DESCRIPTOR_TYPE ? 1 : 0;
        if (found != nullptr || !IsAudioDataUsage(d) || NamedAsSynchEndpoint(first, end, d))
            continue;
        const UCHAR* next = NextSettingDescriptor(d, end);
        if (next != nullptr && next[1] == USB_AUDIO_CS_ENDPOINT)
            found = d;
        else
            fallback = fallback != nullptr ? fallback : d;
    }
    if (endpointsHeld != nullptr)
        *endpointsHeld = held;
    return reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR*>(found != nullptr ? found : fallback);
}

const USB_ENDPOINT_DESCRIPTOR* FindSettingDataEndpoint(PUSB_CONFIGURATION_DESCRIPTOR config,
                                                       ULONG interfaceNumber,
                                                       UCHAR alternateSetting)
{
    const UCHAR* end = nullptr;
    const UCHAR* setting = FindSetting(config, interfaceNumber, alternateSetting, &end);
    return setting != nullptr ? FindAudioDataEndpoint(setting, end) : nullptr;
}

const USB_ENDPOINT_DESCRIPTOR* FindSettingEndpoint(PUSB_CONFIGURATION_DESCRIPTOR config,
                                                   ULONG interfaceNumber, UCHAR alternateSetting,
                                                   UCHAR address)
{
    const UCHAR* end = nullptr;
    const UCHAR* setting = FindSetting(config, interfaceNumber, alternateSetting, &end);
    if (setting == nullptr)
        return nullptr;
    for (const UCHAR* d = SettingDescriptor(setting + setting[0], end); d != nullptr;
         d = NextSettingDescriptor(d, end))
    {
        const auto ep = reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR*>(d);
        if (d[1] == USB_ENDPOINT_DESCRIPTOR_TYPE && d[0] >= sizeof(USB_ENDPOINT_DESCRIPTOR) &&
            ep->bEndpointAddress == address)
            return ep;
    }
    return nullptr;
}
