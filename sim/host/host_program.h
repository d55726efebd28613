// The host program, from its command line to its exit status: main() is
// this, and its tests run it in a child process of their own.
#pragma once

// Runs `lthost` as `argv` asks; the program's exit status. A run that a
// SIGINT or SIGTERM ended is ended by that signal before this returns.
int HostProgramMain(int argc, char** argv);
