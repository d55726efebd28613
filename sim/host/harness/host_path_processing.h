// What could change samples on a stream's path, as the driver's stream
// engine says it: the simulated device applies no levels of its own to the
// data, so the engine's processing chain is the one thing on a path that can
// make the device receive (or a client read) other samples than were sent.
// A path's processing can change during a run (a jack node that starts
// attenuating, a user's level), so a verdict reads it at every step and
// keeps all it saw.
#pragma once

#include <string>

#include "platform/io/io.h"

class HostPathProcessing
{
  public:
    // The engine of index `engine` among the adapter's of the device `fdo`.
    HostPathProcessing(PDEVICE_OBJECT fdo, ULONG engine);

    // What the engine changes now, in the driver's own words ("volume -6.0
    // dB on control 3; mute on control 5"); each description not seen before
    // is kept. True while something is on.
    bool Read();
    // Every description kept since the run began, "; " between them; empty
    // while nothing on the path could change samples.
    const std::string& Seen() const { return m_Seen; }

    // The index among the adapter's engines of the engine behind the ASIO
    // ring `ring` (the rings are mapped one an ASIO engine, in the engines'
    // order); false where there is none.
    static bool AsioRingEngine(PDEVICE_OBJECT fdo, ULONG ring, ULONG* engine);
    // The engine whose wave filter is `filter` (as the port registered it);
    // false where there is none.
    static bool WaveFilterEngine(PDEVICE_OBJECT fdo, const std::u16string& filter, ULONG* engine);

  private:
    PDEVICE_OBJECT m_Fdo;
    ULONG m_Engine;
    std::string m_Seen;
    char m_Now[512]; // non-paged, as the engine's spin lock asks
};
