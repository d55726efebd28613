// SIGINT and SIGTERM during a run: caught, so that the run ends early with
// its pin stopped, its device removed and its files closed whole, then
// raised again with their default action, so that the shell sees them.
#pragma once

// Catches SIGINT and SIGTERM from here on.
void HostCatchInterrupts();
// Whether one of them came since.
bool HostInterrupted();
// The signal that came ("SIGINT", "SIGTERM"); empty when none.
const char* HostInterruptName();
// Raises the signal that came again, with its default action; returns when
// none came.
void HostRaiseInterrupt();
