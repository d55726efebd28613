// The wave filters of a started device: their names, and the first render
// one opened as the audio engine opens it (Filter stays null when there is
// none).
#pragma once

#include <string>
#include <vector>

#include "sim/host/harness/host_stream.h"

struct RenderFilter
{
    explicit RenderFilter(HostHarness& host) : Client(host.Fdo()), Subdevices(Client.Subdevices())
    {
        Info = HostFindWaveFilter(Subdevices, KSPIN_DATAFLOW_IN, &PinId);
        if (Info != nullptr && !NT_SUCCESS(Client.OpenFilter(Info->Name, &Filter)))
            Filter = nullptr;
    }

    AudioEngineClient Client; // closes the filter
    std::vector<EmuPcSubdeviceInfo> Subdevices;
    const EmuPcSubdeviceInfo* Info = nullptr;
    ULONG PinId = 0;
    PFILE_OBJECT Filter = nullptr;
};

// The names of the device's wave filters, in order, a space between.
inline std::string WaveFilters(const HostHarness& host)
{
    std::string names;
    for (const HostFilter& f : host.Filters())
        if (f.WaveCyclic)
            names += (names.empty() ? "" : " ") + f.Name;
    return names;
}
