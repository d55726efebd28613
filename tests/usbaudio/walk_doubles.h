// The double for the class 1.0 walks: a stream class that stands in for the
// class 1.0 render and capture streams (it never streams).
#pragma once

#include "streaming/usb/usb_audio_stream.h"

// Installs the double stream class for the walk while in scope.
class ScopedTestStreams
{
  public:
    ScopedTestStreams();
    ~ScopedTestStreams();

  private:
    void* m_Previous;
};

// A stream made by the double factory, with the arguments it was made with
// and the device whose endpoints it reads, if any.
CUsbAudioStream* MakeTestStream(ULONG direction, ULONG interfaceNumber = 1, ULONG link = 0,
                                PUNKNOWN owner = nullptr);
