// SIGINT and SIGTERM during a run: caught, so that the run ends early with
// its pin stopped, its device removed and its files closed whole, then
// raised again with their default action, so that the shell sees them. The
// host's memory running out ends a run early the same way, and fails it.
#pragma once

#include <string>

// Catches SIGINT and SIGTERM from here on.
void HostCatchInterrupts();
// Whether one of them came since: a part of the run that asks ends early,
// or does not begin, and says so.
bool HostInterrupted();
// Whether one came that nothing asked about since: it came once the run's
// parts had ended.
bool HostInterruptUnheeded();
// The signal that came ("SIGINT", "SIGTERM"), else "the host's memory
// running out" once it ran out; empty when neither.
const char* HostInterruptName();

// Holds a reserve of memory from here on. The first allocation that finds
// no memory left gets the reserve back, and the run ends early as a signal
// ends it, with room to stop its pin, remove the device, unload the driver
// and close its files; no allocation anywhere, the driver's calls into the
// platform and the simulated device included, fails for it. One that finds
// none after that throws std::bad_alloc, which the host catches.
void HostReserveMemory();
// Says the host's memory ran out (the host caught a std::bad_alloc, the
// step that asked unwound), and takes the reserve again where that made room.
void HostNoteOutOfMemory();
// Whether it ran out since the reserve was taken: the run fails.
bool HostOutOfMemory();
// Holds SIGINT and SIGTERM from here on, so that the run's result is said
// as it stands: one that comes later is dropped when the program ends.
void HostHoldInterrupts();
// Raises the signal that came again, with its default action; returns when
// none came.
void HostRaiseInterrupt();

// A test's probe, called with a place's name just before each check that
// keeps a part of the run from beginning (the part's name: "driver load",
// "device NAME", "add device", "start device", "asio", "play", "record"), an
// output from being made ("output") or a scan of a file's silence from going
// on ("scan") once a signal came: it may raise one there. The program sets
// none.
void HostSetInterruptProbe(void (*probe)(const std::string& place));
// Calls the probe set, if any.
void HostProbeInterrupt(const std::string& place);
