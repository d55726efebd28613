// The host program's ASIO run: the ASIO test client on the started device,
// as `lthost --asio SECONDS` asks it.
#pragma once

#include "sim/host/harness/host_asio_data.h"

// Opens the private interface, chooses a rate and a sample type every ASIO
// engine offers (the current one where it is, else one set), maps every
// channel at the preferred buffer size of that rate, streams for `ms` (less
// when SIGINT or SIGTERM comes) frames that never repeat, written ahead of
// the driver's position, while reading the capture rings behind it, stops
// and unmaps, each step and the rate and type chosen said on the way; true
// when every step succeeded, the run went to its end, the switches counted
// are those expected, and the device received the client's frames and the
// capture rings held the device's, each once and in order (or processing on
// the path changed them, named). `tap`, for tests: what stands between the
// device and the compare.
bool RunAsioClient(const HostHarness& host, ULONG ms, HostAsioTap* tap = nullptr);
