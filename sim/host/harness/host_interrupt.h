// SIGINT and SIGTERM during a run: caught, so that the run ends early with
// its pin stopped, its device removed and its files closed whole, then
// raised again with their default action, so that the shell sees them.
#pragma once

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
