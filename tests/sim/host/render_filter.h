// The first render (or capture) wave filter of a started device, opened as
// the audio engine opens it; Filter stays null when there is none.
#pragma once

#include <vector>

#include "sim/host/harness/host_stream.h"

struct RenderFilter
{
    // The capture filter where `flow` is KSPIN_DATAFLOW_OUT.
    explicit RenderFilter(HostHarness& host, KSPIN_DATAFLOW flow = KSPIN_DATAFLOW_IN)
        : Client(host.Fdo()), Subdevices(Client.Subdevices())
    {
        Info = HostFindWaveFilter(Subdevices, flow, &PinId);
        if (Info != nullptr && !NT_SUCCESS(Client.OpenFilter(Info->Name, &Filter)))
            Filter = nullptr;
    }

    AudioEngineClient Client; // closes the filter
    std::vector<EmuPcSubdeviceInfo> Subdevices;
    const EmuPcSubdeviceInfo* Info = nullptr;
    ULONG PinId = 0;
    PFILE_OBJECT Filter = nullptr;
};
