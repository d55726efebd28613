#include "tests/fuzz/fuzz_targets.h"

const FuzzTargetInfo kFuzzTargets[5] = {
    {"bare_device", FuzzBareDevice, FuzzBareDeviceSeeds},
    {"device_start", FuzzDeviceStart, FuzzDeviceStartSeeds},
    {"asio_control", FuzzAsioControl, FuzzAsioControlSeeds},
    {"ks_requests", FuzzKsRequests, FuzzKsRequestsSeeds},
    {"ini_file", FuzzIniFile, FuzzIniFileSeeds},
};
