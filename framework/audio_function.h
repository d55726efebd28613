// The audio function of a configuration: the AudioControl interface the
// driver runs, and the AudioStreaming interfaces that belong to it. A
// composite device may carry other functions (MIDI) with AudioControl
// interfaces of their own; the audio function's is the one whose collection
// (the header's bInCollection list, or the interface association that groups
// it) holds AudioStreaming interfaces. The adapter's class choice and the
// device class's walks both ask here, so they agree on the interface.
#pragma once

#include "platform/usb/usb.h"

// The audio function's AudioControl interface: the first whose collection
// holds an AudioStreaming interface, else the first of the configuration;
// null when there is none.
PUSB_INTERFACE_DESCRIPTOR FindAudioFunctionControl(PUSB_CONFIGURATION_DESCRIPTOR configuration);

// Whether the AudioStreaming interface `number` belongs to the function of
// AudioControl interface `control`: a member of its collection, or any
// AudioStreaming interface when that collection holds none.
BOOLEAN InAudioFunction(PUSB_CONFIGURATION_DESCRIPTOR configuration, UCHAR control, UCHAR number);

// The first MIDIStreaming interface of the collection of AudioControl
// interface `control` (its header's list or its association) in *number;
// FALSE when the collection holds none.
BOOLEAN FindFunctionMidiInterface(PUSB_CONFIGURATION_DESCRIPTOR configuration, UCHAR control,
                                  PUCHAR number);
