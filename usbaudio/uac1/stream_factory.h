// The stream factory of a class 1.0 device family: the family's render
// class for a playback interface, else the class 1.0 capture, allocated
// with the family's pool tag and handed out with one reference.
#pragma once

#include <new>

#include "streaming/usb/usb_audio1_capture.h"
#include "usbaudio/uac1/walkers.h"

template <typename Render, ULONG PoolTag>
NTSTATUS CreateUac1FamilyStream(ULONG direction, ULONG interfaceNumber, ULONG link,
                                CUsbAudioStream** stream)
{
    if (direction == STREAM_DIRECTION_RENDER)
        *stream = new (NonPagedPool, PoolTag) Render(nullptr, interfaceNumber, link);
    else
        *stream = new (NonPagedPool, PoolTag) CUsbAudio1Capture(nullptr, interfaceNumber, link);
    if (*stream == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    (*stream)->AddRef();
    return STATUS_SUCCESS;
}
