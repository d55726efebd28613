// The endpoint that carries an AudioStreaming setting's audio. A setting may
// hold more than one isochronous endpoint: beside its data endpoint an
// explicit feedback endpoint, or the synch endpoint that a class 1.0 data
// endpoint names, and either may run the other way or come first. The one
// rule here is what the walkers judge a setting's direction by and what the
// streams size, pace and select their data pipe by.
#pragma once

#include "platform/usb/usb.h"

// The setting's data endpoint: of its isochronous endpoints whose usage is
// data (implicit feedback data is data all the same) and that no other
// endpoint of the setting names as its synch endpoint, the first one
// followed by its class-specific endpoint descriptor, else the first one;
// null when it has none. `setting` is the setting's interface descriptor,
// `end` the end of the bytes it lies in; the setting's descriptors end at
// the next interface descriptor, and at one that does not fit the bytes.
// *endpointsHeld, when given, is the number of endpoint descriptors among
// them (0 for no setting).
const USB_ENDPOINT_DESCRIPTOR* FindAudioDataEndpoint(const UCHAR* setting, const UCHAR* end,
                                                     PULONG endpointsHeld = nullptr);

// The data endpoint of an interface's alternate setting in a configuration
// descriptor (its first interface descriptor of that number and setting).
const USB_ENDPOINT_DESCRIPTOR* FindSettingDataEndpoint(PUSB_CONFIGURATION_DESCRIPTOR config,
                                                       ULONG interfaceNumber,
                                                       UCHAR alternateSetting);

// The endpoint descriptor of `address` in an interface's alternate setting
// of a configuration descriptor; null when the setting holds none.
const USB_ENDPOINT_DESCRIPTOR* FindSettingEndpoint(PUSB_CONFIGURATION_DESCRIPTOR config,
                                                   ULONG interfaceNumber, UCHAR alternateSetting,
                                                   UCHAR address);
