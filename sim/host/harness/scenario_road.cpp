#include "sim/host/harness/scenario_road.h"

ScenarioRoad::ScenarioRoad(ScenarioHost& host, Road road) : m_Host(host), m_Road(road)
{
    if (road != Road::Asio)
    {
        const KSPIN_DATAFLOW flow = In() ? KSPIN_DATAFLOW_OUT : KSPIN_DATAFLOW_IN;
        m_Running = NT_SUCCESS(host.OpenWave(flow, &m_Pin)) && NT_SUCCESS(host.RunPin(m_Pin));
        return;
    }
    if (!host.HasAsio())
        return;
    m_Asio = std::make_unique<AsioTestClient>(host.Host().Fdo());
    ULONG sizes[4] = {}, rate = 0;
    m_Running = NT_SUCCESS(m_Asio->Open()) && NT_SUCCESS(m_Asio->GetSampleRate(&rate)) &&
                NT_SUCCESS(m_Asio->GetBufferSize(sizes)) && NT_SUCCESS(m_Asio->MapAll(sizes[2])) &&
                NT_SUCCESS(m_Asio->Start());
}

ScenarioRoad::~ScenarioRoad()
{
    if (m_Asio != nullptr)
    {
        m_Asio->Stop();
        m_Asio->Unmap();
        m_Asio->Close();
    }
    if (m_Pin != nullptr)
    {
        m_Host.StopPin(m_Pin);
        m_Host.ClosePin(m_Pin);
    }
}

void ScenarioRoad::Play(ULONG ms)
{
    if (m_Asio != nullptr)
        m_Asio->Run(ms);
    else if (m_Pin != nullptr)
        m_Host.Play(m_Pin, ms, In());
}

ULONG ScenarioRoad::Packets() const
{
    return m_Road == Road::Asio ? m_Host.DataPackets(false) + m_Host.DataPackets(true)
                                : m_Host.DataPackets(In());
}

ULONGLONG ScenarioRoad::Progress()
{
    if (m_Asio != nullptr)
        return m_Asio->EventSwitches();
    return m_Pin != nullptr ? m_Host.Client().Statistics(m_Pin).Consumed : 0;
}

ULONG ScenarioRoad::PlayUntilSpanMoves(ULONG packets, ULONG spanMs, ULONG boundMs)
{
    ULONG span = 0;
    for (ULONG spent = 0; spent < boundMs && span < packets; spent += spanMs)
    {
        const ULONG from = Packets();
        Play(spanMs);
        span = Packets() - from;
    }
    return span;
}

namespace
{
// The roads a scenario device has no way to offer: the class 1.0 devices
// have no ASIO client, the S/PDIF device no capture pin.
struct MissingRoad
{
    const char* Device;
    Road Kind;
};
constexpr MissingRoad kMissingRoads[] = {
    {"Uac1SpeakerMic", Road::Asio},  {"Uac1Surround71", Road::Asio}, {"ChipModelA", Road::Asio},
    {"ChipModelB", Road::Asio},      {"ChipModelC", Road::Asio},     {"TimedChip", Road::Asio},
    {"TimedChipListed", Road::Asio}, {"Uac2Spdif", Road::Capture}};
} // namespace

bool ScenarioHasRoad(const std::string& device, Road road)
{
    for (const MissingRoad& missing : kMissingRoads)
        if (device == missing.Device && road == missing.Kind)
            return false;
    return true;
}
