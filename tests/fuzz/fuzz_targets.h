// The fuzz targets. Each runs one input on a freshly reset emulated platform
// and returns what the input left behind (pool, threads, timers, requests the
// driver still holds): empty when clean. The libFuzzer entry aborts on
// anything left; the corpus replay test expects nothing of any corpus file.
// An emulated-kernel failure report (a wrong IRQL, a double completion, a
// deadlock) aborts under libFuzzer and fails the test under GoogleTest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using FuzzInputBytes = std::vector<uint8_t>;

// A bare device on the emulated bus that serves the input's bytes verbatim:
// a flags byte (bit 0 high speed), the device descriptor (a length byte,
// then its bytes), the configuration descriptor (a 16-bit length, then its
// bytes), then the pool of every other reply. The driver is started, a
// render, a capture and an ASIO run are tried, and the device is removed.
std::string FuzzBareDevice(const uint8_t* data, size_t size);
// A reference device or chip model (first byte) whose configuration
// descriptor is the rest of the input, through the simulator's loader, the start, a short life and
// removal.
std::string FuzzDeviceStart(const uint8_t* data, size_t size);
// The ASIO device-control codes on a started class 2.0 device: a list of
// operations, each a raw code with random buffers or one of the client's
// own steps (map, start, stop, unmap, time passing).
std::string FuzzAsioControl(const uint8_t* data, size_t size);
// Kernel-streaming property requests from a user-mode process on the
// topology and wave filters, and pin creates with random data formats.
std::string FuzzKsRequests(const uint8_t* data, size_t size);
// The INI file in the system root, read by the adapter's start.
std::string FuzzIniFile(const uint8_t* data, size_t size);

struct FuzzTargetInfo
{
    const char* Name; // fuzz_<Name> is the libFuzzer program, fuzz/corpus/<Name> its corpus
    std::string (*Run)(const uint8_t* data, size_t size);
    std::vector<FuzzInputBytes> (*Seeds)();
};
extern const FuzzTargetInfo kFuzzTargets[5];

std::vector<FuzzInputBytes> FuzzBareDeviceSeeds();
std::vector<FuzzInputBytes> FuzzDeviceStartSeeds();
std::vector<FuzzInputBytes> FuzzAsioControlSeeds();
std::vector<FuzzInputBytes> FuzzKsRequestsSeeds();
std::vector<FuzzInputBytes> FuzzIniFileSeeds();
