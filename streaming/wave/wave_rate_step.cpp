#include "streaming/wave/wave_rate_step.h"

namespace
{
constexpr ULONG c_MsPerSecond = 1000;
} // namespace

void WaveRateStep::SetHost(ULONG hostBytesPerSecond)
{
    HostBytesPerMs = hostBytesPerSecond / c_MsPerSecond;
    HostRemainderPerMs = hostBytesPerSecond % c_MsPerSecond;
    HostCarry = 0;
}

void WaveRateStep::SetDevice(ULONG deviceBytesPerSecond)
{
    DeviceBytesPerMs = deviceBytesPerSecond / c_MsPerSecond;
    DeviceRemainderPerMs = deviceBytesPerSecond % c_MsPerSecond;
    DeviceCarry = 0;
    DeviceByteRemainder = 0;
}

ULONG WaveRateStep::HostBytes(ULONG deviceBytes)
{
    if (DeviceBytesPerMs == 0)
        return 0; // a device below a byte per millisecond moves no whole milliseconds
    const ULONG ms = (DeviceByteRemainder + deviceBytes) / DeviceBytesPerMs;
    const ULONG t = DeviceRemainderPerMs * ms + DeviceCarry;
    const ULONG e = t / c_MsPerSecond;
    DeviceCarry = t - c_MsPerSecond * e;
    DeviceByteRemainder = DeviceByteRemainder + deviceBytes - DeviceBytesPerMs * ms - e;
    const ULONG u = HostRemainderPerMs * ms + HostCarry;
    const ULONG f = u / c_MsPerSecond;
    HostCarry = u - c_MsPerSecond * f;
    return HostBytesPerMs * ms + f;
}
