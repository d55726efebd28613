// The ASIO test client on the devices that offer ASIO, as `lthost --asio`
// runs it: it streams at a rate and in a sample type every engine offers,
// each set where the current one is not, the device receives its sine in
// that type's format, and every buffer switch is signalled; an interrupt
// ends the program's run early, stopped and unmapped in order.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <map>

#include "platform/kernel/emu.h"
#include "sim/clients/asio_client.h"
#include "sim/host/asio_run.h"
#include "sim/host/harness/host_harness.h"
#include "tests/sim/host/program_run.h"
#include "tests/sim/host/scratch_folder.h"

namespace
{
const std::string kQuirks = std::string(LT_QUIRKS_DIR) + "/";

// A quirk file's path; "no-common-type.txt" is the 24-bit headset with a
// 16-bit microphone, whose streams share no type, in a folder of its own.
std::string QuirkPath(const std::string& name)
{
    static const ScratchFolder folder;
    if (name != "no-common-type.txt")
        return kQuirks + name;
    std::string s = ReadAll(kQuirks + "uac2-24-bit-only-headset.txt");
    std::ofstream(folder / name) << s.replace(s.rfind("06 24 02 01 03 18"), 17,
                                              "06 24 02 01 02 10");
    return folder / name;
}

} // namespace

// The client streams in the type it chose, the current one or one every
// engine offers, and endpoint 0x01 receives its sine in that type's format:
// from its first peak on, 1000 Hz at 48 kHz (48 samples a period) at 16000
// of 16 bits' full scale in the type's valid bits, at the top of each
// sample's bytes.
TEST(AsioHost, TheDeviceReceivesTheSineInTheTypeChosen)
{
    // The client's samples reach a device of fewer valid bits whole: it
    // keeps the top of each container.
    for (const auto& [device, type, bytes, valid] :
         {std::tuple{"Uac2HighSpeed", 16u, 2u, 16},
          {"uac2-24-bit-only-headset.txt", 17u, 3u, 24},
          {"high-bandwidth-eight-channels.txt", 27u, 4u, 24},
          {"uac2-20-bit-in-3-bytes-headset.txt", 17u, 3u, 24},
          {"uac2-20-bit-in-4-bytes-headset.txt", 18u, 4u, 32},
          {"uac2-12-bit-headset.txt", 16u, 2u, 16},
          {"uac2-24-and-12-bit-headset.txt", 16u, 2u, 16}})
    {
        SCOPED_TRACE(device);
        HostHarness host;
        std::string error;
        ASSERT_EQ(STATUS_SUCCESS, host.LoadDriver());
        ASSERT_EQ(STATUS_SUCCESS, std::string(device).ends_with(".txt")
                                      ? host.PlugDescriptorFile(QuirkPath(device), &error)
                                      : host.PlugReference(device, &error))
            << error;
        ASSERT_EQ(STATUS_SUCCESS, host.AddDevice());
        ASSERT_EQ(STATUS_SUCCESS, host.StartDevice());
        AsioTestClient client(host.Fdo());
        AsioSampleTypes types;
        ULONG chosen = 0, sizes[4] = {}, rate = 0;
        ASSERT_EQ(STATUS_SUCCESS, client.Open());
        ASSERT_EQ(STATUS_SUCCESS, client.ChooseSampleType(&types, &chosen));
        ASSERT_EQ(type, chosen);
        ASSERT_EQ(STATUS_SUCCESS, client.GetSampleRate(&rate));
        ASSERT_EQ(STATUS_SUCCESS, client.GetBufferSize(sizes));
        ASSERT_EQ(STATUS_SUCCESS, client.MapAll(sizes[2]));
        client.WriteSine(1000.0, rate);
        SimStreaming& streaming = host.Device()->Streaming();
        streaming.ClearRecords();
        ASSERT_EQ(STATUS_SUCCESS, client.Start());
        client.Run(1000);
        UCHAR channels = 0, subslot = 0;
        ASSERT_TRUE(streaming.SelectedFormat(0x01, &channels, &subslot) && subslot == bytes);
        const std::vector<UCHAR>& data = streaming.OutRecord(0x01).Data;
        std::vector<LONG> firstChannel;
        for (size_t i = 0; i + bytes <= data.size(); i += bytes * channels)
        {
            ULONG raw = 0;
            memcpy(&raw, &data[i], bytes);
            firstChannel.push_back((LONG)(raw << (32 - 8 * bytes)));
        }
        const auto sine = [valid](size_t k)
        {
            return (LONG)std::lround(std::ldexp(16000.0 * std::sin(M_PI * k / 24), valid - 16))
                   << (32 - valid);
        };
        const auto peak = std::find(firstChannel.begin(), firstChannel.end(), sine(12));
        ASSERT_GT(firstChannel.end() - peak, 48 * 900); // 900 ms of it at least
        for (auto s = peak; s != firstChannel.end(); ++s)
            ASSERT_EQ(sine(12 + (size_t)(s - peak)), *s) << "sample " << s - firstChannel.begin();
        client.Close();
    }
}

// Every device that offers ASIO, reference or quirk file, streams two
// seconds through `lthost --asio 2` at a rate and in a type named, its 997
// switches signalled and counted, the buffer that of the rate; a device
// whose streams share no type or rate, or no format of both, is said so in
// words; the others say they did not start or offer no ASIO stream.
TEST(AsioHost, TheProgramStreamsOnEveryDeviceThatOffersAsio)
{
    std::map<std::string, std::string> lines = {
        {"uac2-24-bit-only-headset.txt", "asio sample type: 17 (24 bits in 3 bytes), set"},
        {"high-bandwidth-eight-channels.txt", "asio sample type: 27 (24 bits in 4 bytes), set"},
        {"uac2-20-bit-in-3-bytes-headset.txt", "asio sample type: 17 (24 bits in 3 bytes), set"},
        {"uac2-20-bit-in-4-bytes-headset.txt", "asio sample type: 18 (32 bits in 4 bytes), set"},
        {"no-common-type.txt",
         "asio: not run: no sample type is offered by every engine (the current "
         "one is 16 (16 bits in 2 bytes)): the device's streams have no sample "
         "format in common\n"},
        {"uac2-clocks-apart-headset.txt",
         "asio: not run: of the rates asked (the current one, 48000 Hz; then 48000 and 44100 Hz; "
         "then the standard rates from 8000 to 384000 Hz) none is played by every engine\n"},
        {"uac2-24-bit-at-low-rates-headset.txt",
         "asio: not run: an engine has no format of sample type 17 (24 bits in 3 bytes) at 48000 "
         "Hz with all its channels, though every engine offers the type and plays the rate\n"},
        // The rate set, the buffer read again and the device line at that rate.
        {"uac2-44100-clock-headset.txt",
         "asio rate: 44100 Hz, set: the current one, 48000 Hz, is not played by every engine\n"
         "asio buffer size: 0x00000000 STATUS_SUCCESS\nasio device \"Quirk 44.1 kHz Headset\": "
         "2 engine(s), 2 in, 2 out, 44100 Hz, buffer 441 frames\n"},
        {"uac2-fixed-96k-clock-headset.txt",
         "asio rate: 96000 Hz, set: the current one, 48000 Hz, is not played by every engine\n"
         "asio buffer size: 0x00000000 STATUS_SUCCESS\nasio device \"Quirk 96 kHz Fixed Clock "
         "Headset\": 2 engine(s), 2 in, 2 out, 96000 Hz, buffer 960 frames\n"}};
    for (const char* name :
         {"Uac2HighSpeed", "Uac2Spdif", "extension-unit-recorder.txt", "fixed-clock-six-rates.txt",
          "full-speed-feedback-endpoint-too-small.txt", "high-speed-feedback-data-interval-4.txt",
          "high-speed-feedback-endpoint-too-small.txt", "implicit-feedback.txt",
          "uac2-extension-unit-microphone.txt", "uac2-format-type-differs-headset.txt",
          "uac2-extension-unit-read-only-mute.txt", "uac2-impossible-subslots-speaker.txt",
          "uac2-low-rate-microphone.txt", "uac2-mixer-path.txt", "uac2-12-bit-headset.txt",
          "uac2-24-and-12-bit-headset.txt", "uac2-32-bit-terminals-only-headset.txt",
          "uac2-silent-feature-units-headset.txt", "five-engine-interface.txt"})
        lines[name] = "asio sample type: 16 (16 bits in 2 bytes), the current one\n";
    for (const char* name : {"audio-control-endpoint-missing.txt", "extension-unit-speaker.txt",
                             "midi-first-uac3-function.txt", "midi-only-controller.txt",
                             "uac2-clock-selector-speaker.txt"})
        lines[name] = "asio: not run: the device did not start\n";
    std::vector<std::string> devices = HostHarness::ReferenceNames();
    devices.push_back("no-common-type.txt");
    for (const auto& entry : std::filesystem::directory_iterator(kQuirks))
        devices.push_back(entry.path().filename());
    for (const std::string& device : devices)
    {
        SCOPED_TRACE(device);
        const bool file = device.ends_with(".txt");
        const ProgramRun run = RunProgram({file ? "--descriptor-file" : "--device",
                                           file ? QuirkPath(device) : device, "--asio", "2"});
        const std::string said = run.Out + run.Err;
        const std::string line =
            lines.contains(device) ? lines[device] : "asio: the device offers no ASIO stream\n";
        const bool streams = !line.starts_with("asio:");
        EXPECT_EQ(streams ? 0 : 1, run.Exit) << said;
        EXPECT_NE(said.npos, said.find(line)) << said;
        const bool current = streams && !line.starts_with("asio rate");
        EXPECT_NE(said.npos, said.find(current ? "asio rate: 48000 Hz, the current one\n" : ""));
        EXPECT_EQ(streams, said.find("asio map: 0x00000000") != said.npos) << said;
        EXPECT_EQ(streams, said.find("asio buffer switches: 997 signalled, 997 counted, 997 "
                                     "expected\n") != said.npos)
            << said;
    }
}

// SIGINT once the run has said its first progress line: the run is said to
// be interrupted with the switches of the seconds it ran, the stream stopped
// and unmapped, the device removed, and the program ends by the signal.
TEST(AsioHost, AnInterruptEndsTheRunInOrder)
{
    const ProgramRun run = RunProgram({"--device", "Uac2HighSpeed", "--asio", "3600"},
                                      {.Until = "asio: 10 s of", .Signal = SIGINT});
    EXPECT_EQ(SIGINT, run.Signal) << run.Err;
    const std::string interrupted = "asio: interrupted by SIGINT after ";
    const size_t at = run.Err.find(interrupted);
    ASSERT_NE(run.Err.npos, at) << run.Err;
    const ULONG seconds = std::stoul(run.Err.substr(at + interrupted.size()));
    EXPECT_GE(seconds, 10u);
    const std::string n = std::to_string(AsioExpectedSwitches(seconds * 1000, 2, 5));
    // Not found, the switches leave nothing to find after them.
    size_t line = run.Out.find("asio buffer switches: " + n + " signalled, " + n);
    for (const char* said : {"asio stop: 0x0", "asio unmap: 0x0", "remove device: 0x0",
                             "leaks: none", "result: FAILED"})
        ASSERT_NE(run.Out.npos, line = run.Out.find(said, line)) << said << " in\n" << run.Out;
}

// The run fails where its check does, saying why on the error stream: the
// device received none of the client's frames (the tap takes them all), a
// frame read from the capture ring differs from the device's, or the render
// ring's stream started a frame past its first.
TEST(AsioHost, TheRunFailsWhereItsCheckFails)
{
    struct Tap : HostAsioTap
    {
        int What = 0;
        void Started(const std::vector<AsioClientRing>& rings) override
        {
            rings[0].Base[24] += What == 2 ? 4 : 0;
        }
        void Received(size_t, std::vector<UCHAR>* bytes) override
        {
            if (What == 0)
                bytes->clear();
        }
        void Read(size_t, std::vector<UCHAR>* frames) override
        {
            if (What == 1 && !frames->empty())
                (*frames)[0] ^= 1;
        }
    };
    const char* const lines[] = {
        "asio: render: no frame was compared: the device moved none on the ring's endpoint\n",
        "asio: capture: the capture ring holds other samples than the device sent in place of wire "
        "frames 0 to 0, from frame 0\n",
        "asio: render: the stream started at ring byte 4, not at the ring's first frame (ring byte "
        "0)\n"};
    for (int what = 0; what < 3; ++what)
    {
        HostHarness host;
        std::string error;
        ASSERT_EQ(STATUS_SUCCESS, host.LoadDriver());
        ASSERT_EQ(STATUS_SUCCESS, host.PlugReference("Uac2HighSpeed", &error)) << error;
        ASSERT_EQ(STATUS_SUCCESS, host.AddDevice());
        ASSERT_EQ(STATUS_SUCCESS, host.StartDevice());
        Tap tap;
        tap.What = what;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        EXPECT_FALSE(RunAsioClient(host, 100, &tap)) << lines[what];
        testing::internal::GetCapturedStdout();
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.npos, err.find(lines[what])) << err;
    }
}
