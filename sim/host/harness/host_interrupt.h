// SIGINT and SIGTERM during a run: caught, so that the run ends early with
// its pin stopped, its device removed and its files closed whole, then
// raised again with their default action, so that the shell sees them.
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
// The signal that came ("SIGINT", "SIGTERM"); empty when none.
const char* HostInterruptName();
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
