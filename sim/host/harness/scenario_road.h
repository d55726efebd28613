// One road of audio through the driver, open and running on a started
// device: a render pin, a capture pin, or the ASIO client with every channel
// of both directions; stopped and closed when it goes.
#pragma once

#include <memory>
#include <string>

#include "sim/host/harness/scenario_host.h"

enum class Road
{
    Render,
    Capture,
    Asio
};

struct RoadCase
{
    Road Kind;
    const char* Name;
};
inline constexpr RoadCase kRoads[] = {
    {Road::Render, "Render"}, {Road::Capture, "Capture"}, {Road::Asio, "Asio"}};

class ScenarioRoad
{
  public:
    ScenarioRoad(ScenarioHost& host, Road road);
    ~ScenarioRoad();
    ScenarioRoad(const ScenarioRoad&) = delete;
    ScenarioRoad& operator=(const ScenarioRoad&) = delete;

    bool Running() const { return m_Running; }
    // Runs emulated time with the road's client at work.
    void Play(ULONG ms);
    // Data packets the road's endpoints moved so far (both directions for ASIO).
    ULONG Packets() const;
    // Progress the client sees: buffer switches, or bytes of position.
    ULONGLONG Progress();
    // Plays in spans of `spanMs` until a span moves at least `packets` (or
    // `boundMs` have gone by); the packets of the last span.
    ULONG PlayUntilSpanMoves(ULONG packets, ULONG spanMs, ULONG boundMs);
    PFILE_OBJECT Pin() const { return m_Pin; }

  private:
    bool In() const { return m_Road == Road::Capture; }

    ScenarioHost& m_Host;
    Road m_Road;
    PFILE_OBJECT m_Pin = nullptr;
    std::unique_ptr<AsioTestClient> m_Asio;
    bool m_Running = false;
};

// Whether the scenario device has the road at all, by what it is rather than
// by trying: a road it has that does not run fails its scenarios instead of
// leaving them skipped.
bool ScenarioHasRoad(const std::string& device, Road road);
