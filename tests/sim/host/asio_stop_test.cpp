// An ASIO client's stop on a device of five engines, two of them render:
// the streams stop one after the other, each waiting for its URBs, and from
// the client's stop on no render endpoint may receive a ring frame it
// already had, at every buffer size the driver states. What the device
// received is placed by the client's frames, which never repeat in a run.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "sim/host/harness/host_asio_data.h"
#include "tests/sim/host/device_start.h"

namespace
{
constexpr char kDevice[] = "five-engine-interface.txt";

// Every client frame each render endpoint received, and those it received
// again.
class RepeatCount : public HostAsioTap
{
  public:
    explicit RepeatCount(const std::vector<AsioClientRing>& rings) : m_Rings(rings) {}

    void Received(size_t ring, std::vector<UCHAR>* bytes) override
    {
        Seen& seen = m_Seen[ring];
        const ULONG frame = m_Rings[ring].Channels * 2;
        std::vector<UCHAR> own(frame);
        for (size_t at = 0; at + frame <= bytes->size(); at += frame)
        {
            ULONGLONG k = 0;
            // A frame is the client's when every byte is; silence is not
            // (in frames of eight bytes it is one far off in the run).
            const PUCHAR first = bytes->data() + at;
            if (std::all_of(first, first + frame, [](UCHAR b) { return b == 0; }) ||
                !AsioClientFrameNumber(first, frame, seen.Last, &k))
                continue;
            AsioClientFrame(k, frame, own.data());
            if (memcmp(own.data(), first, frame) != 0)
                continue;
            seen.Last = k;
            seen.Again += seen.Frames.insert(k).second ? 0 : 1;
        }
    }

    ULONGLONG Frames(size_t ring) { return m_Seen[ring].Frames.size(); }
    ULONGLONG Again(size_t ring) { return m_Seen[ring].Again; }

  private:
    struct Seen
    {
        std::set<ULONGLONG> Frames;
        ULONGLONG Last = 0;
        ULONGLONG Again = 0;
    };
    const std::vector<AsioClientRing>& m_Rings;
    std::map<size_t, Seen> m_Seen;
};

class AsioStop : public testing::TestWithParam<ULONG>
{
  protected:
    void SetUp() override { StartHostDevice(host, kDevice); }

    HostHarness host;
};

// The stated sizes' edges, the preferred one, and the URB splits of 2, 4
// and 5 ms between.
const ULONG kFrames[] = {96, 480, 768, 960, 1200, 1440, 1920, 2400};

TEST_P(AsioStop, NoRenderEndpointReceivesARingFrameTwiceThroughTheStop)
{
    AsioTestClient client(host.Fdo());
    ULONG sizes[4] = {};
    ASSERT_EQ(STATUS_SUCCESS, client.Open());
    ASSERT_EQ(STATUS_SUCCESS, client.GetBufferSize(sizes));
    EXPECT_EQ(96u, sizes[0]);
    EXPECT_EQ(2400u, sizes[1]);
    ASSERT_EQ(STATUS_SUCCESS, client.MapAll(GetParam()));
    ASSERT_EQ(2u, client.RingSampleBytes());
    RepeatCount count(client.Rings());
    HostAsioData data(client, host, 2, &count);
    data.BeforeStart();
    ASSERT_EQ(STATUS_SUCCESS, client.Start());
    data.AfterStart();
    data.Run(300);
    EXPECT_EQ(std::vector<std::string>{}, data.Render().Faults);
    ASSERT_EQ(STATUS_SUCCESS, client.Stop());
    // What the device received through the stop is taken at the first step.
    data.Run(100);
    ULONG render = 0;
    for (size_t ring = 0; ring < client.Rings().size(); ++ring)
    {
        if (client.Rings()[ring].IsInput)
            continue;
        ++render;
        SCOPED_TRACE("render ring " + std::to_string(ring));
        EXPECT_GT(count.Frames(ring), 250u * 48u);
        EXPECT_EQ(0u, count.Again(ring));
    }
    EXPECT_EQ(2u, render);
}

INSTANTIATE_TEST_SUITE_P(Sizes, AsioStop, testing::ValuesIn(kFrames),
                         testing::PrintToStringParamName());
} // namespace
