// Doubles for the class 1.0 walks, units and controls: a stream class that
// stands in for the class 1.0 render and capture streams (it never
// streams), and a unit that answers the on/off, level and selector requests
// from values the test sets and logs what the controls send.
#pragma once

#include <string>
#include <vector>

#include "streaming/usb/usb_audio_stream.h"
#include "audioclass/controls/uac_unit.h"

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

struct FakeUnitScript
{
    ULONG Channels = 2;
    LONG Maximum = 0, Minimum = 0, Resolution = 0;
    std::vector<LONG> Levels = std::vector<LONG>(9, 0);
    std::vector<UCHAR> Booleans = std::vector<UCHAR>(9, 0);
    NTSTATUS SetStatus = STATUS_SUCCESS;
    ULONG UnreadChannels = 0;   // bit c: the get of channel c fails
    ULONG ReadOnlyChannels = 0; // bit c: the device declares channel c read-only
    ULONG Inputs = 4, Current = 1;
    std::vector<std::string> Log; // "level 2 0 -256", "boolean 1 0 1", "select 3"
};

// A unit of kind `kind` whose requests follow the script.
CUacUnit* MakeFakeUnit(FakeUnitScript* script, ULONG id = 9);
