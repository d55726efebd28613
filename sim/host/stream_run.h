// The host program's play and record runs: their options, their progress
// and summary lines, and the WAV files they read and write.
#pragma once

#include <string>

#include "sim/host/harness/HostHarness.h"

struct StreamRunOptions
{
    std::string Play;      // the file to play
    std::string DeviceOut; // where what the device received goes
    std::string Record;    // the file to record into
    ULONG RecordMs = 1000;
    ULONG UnplugAfterMs = 0;

    bool Wanted() const { return !Play.empty() || !Record.empty(); }
};

// The usage lines of the options.
extern const char kStreamRunUsage[];

// Takes one option and its value; false when `arg` is none of them or its
// value is missing or bad.
bool ParseStreamOption(const char* arg, const char* value, StreamRunOptions* options);
// What is wrong with the options taken together; null when nothing.
const char* StreamOptionsProblem(const StreamRunOptions& options);

// Plays or records as the options ask on the started device; true when the
// run went to its end and its file was written.
bool RunStream(HostHarness& host, const StreamRunOptions& options);
