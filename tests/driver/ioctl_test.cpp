// The private device-control codes of the ASIO interface, sent the way a
// user-mode client sends them, against a double of the ASIO operations put
// where a start-up would have put the adapter: each code's length tests, the
// operation and arguments it reaches, the status and the bytes it reports,
// 32-bit callers, unknown codes and a stop request left pending.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/kernel/emu.h"
#include "tests/driver/entry_rig.h"

namespace
{
constexpr ULONG kDoubleTag = POOL_TAG("Dbl5");

// The codes, spelled out as the client's header has them.
constexpr ULONG kGetDeviceName = 0x1D6000;
constexpr ULONG kGetChannelCounts = 0x1D6004;
constexpr ULONG kGetChannelInfo = 0x1DE008;
constexpr ULONG kGetSampleTypes = 0x1D600C;
constexpr ULONG kGetLatencyTable = 0x1D6010;
constexpr ULONG kSetSettingsEvent = 0x1DA014;
constexpr ULONG kGetOwnerState = 0x1D6018;
constexpr ULONG kSetSampleType = 0x1DA01C;
constexpr ULONG kSetLatency = 0x1DA020;
constexpr ULONG kGetLatencies = 0x1D6024;
constexpr ULONG kGetSampleRate = 0x1D6028;
constexpr ULONG kCanSampleRate = 0x1DA02C;
constexpr ULONG kSetSampleRate = 0x1DA030;
constexpr ULONG kGetBufferSize = 0x1D6034;
constexpr ULONG kMapSharedBuffer = 0x1DE038;
constexpr ULONG kUnmapSharedBuffer = 0x1DA03C;
constexpr ULONG kStartStreaming = 0x1DA040;
constexpr ULONG kStopStreaming = 0x1DA044;
constexpr ULONG kReleaseSettingsEvent = 0x1DA04C;
constexpr ULONG kCheckAndSetMode = 0x1DA050;
constexpr ULONG kSetMode = 0x1DA054;
constexpr ULONG kGetMode = 0x1D6058;

struct AsioCall
{
    std::string Op;
    PFILE_OBJECT File = nullptr;
    ULONG Value = 0;        // a 32-bit value or length handed over
    ULONGLONG Handle = 0;   // the handle behind a handle address
    PVOID Buffer = nullptr; // the buffer handed over
    PVOID Output = nullptr; // the output array of a mapping
    ULONG InputLength = 0;  // the input length a mapping is given
};

// The ASIO operations, recording what they get; each writes what its
// contract says it writes, a byte pattern starting at 0xA0.
class AsioDouble : public IAdapterCommon, public IAsioPrivate, public CUnknown
{
  public:
    AsioDouble() : CUnknown(nullptr) {}
    ~AsioDouble() override {}
    STDMETHODIMP QueryInterface(REFIID iid, PVOID* object) override
    {
        return GetOuterUnknown()->QueryInterface(iid, object);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return GetOuterUnknown()->AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return GetOuterUnknown()->Release(); }
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* object) override
    {
        *object = nullptr;
        PUNKNOWN answer = nullptr;
        if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IAdapterCommon))
            answer = static_cast<IAdapterCommon*>(this);
        else if (IsEqualGUID(iid, IID_IAsioPrivate) && AnswersAsio)
            answer = static_cast<IAsioPrivate*>(this);
        if (answer == nullptr)
            return STATUS_INVALID_PARAMETER;
        answer->AddRef();
        *object = answer;
        return STATUS_SUCCESS;
    }

    // IAdapterCommon: what dispatch and removal reach.
    STDMETHODIMP GetStreamCapabilities(ULONG, PENDPOINTCAPABILITIES) override
    {
        return STATUS_INVALID_PARAMETER;
    }
    STDMETHODIMP GetComponentId(PVOID, PKSCOMPONENTID) override { return STATUS_UNSUCCESSFUL; }
    STDMETHODIMP_(ULONG) GetEngineCount() override { return 0; }
    STDMETHODIMP GetEngine(ULONG, CStreamEngine** engine) override
    {
        *engine = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    STDMETHODIMP_(ULONG) GetUnitCount() override { return 0; }
    STDMETHODIMP GetUnit(ULONG, CAudioControl** unit) override
    {
        *unit = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    STDMETHODIMP_(PDEVICE_OBJECT) GetDeviceObject() override { return nullptr; }
    STDMETHODIMP OpenAudioHalCallback(PRESOURCELIST, PDEVICE_OBJECT, PDEVICE_OBJECT,
                                      PDEVICE_OBJECT) override
    {
        return STATUS_SUCCESS;
    }
    STDMETHODIMP StartAllUnits() override { return STATUS_SUCCESS; }
    STDMETHODIMP StopAllUnits() override { return STATUS_SUCCESS; }
    STDMETHODIMP RegisterCallback(PCALLBACK_FUNCTION, PVOID, PVOID* registration) override
    {
        *registration = nullptr;
        return STATUS_UNSUCCESSFUL;
    }
    STDMETHODIMP UnregisterCallback(PVOID) override { return STATUS_SUCCESS; }
    STDMETHODIMP WakeFromIdle(PIRP) override
    {
        ++Wakes;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP InitDevice() override { return STATUS_SUCCESS; }
    STDMETHODIMP CompleteSetup() override { return STATUS_SUCCESS; }
    STDMETHODIMP GetEndpointCapabilities(BOOLEAN, ULONG, PENDPOINTCAPABILITIES) override
    {
        return STATUS_INVALID_PARAMETER;
    }

    // IAsioPrivate
    STDMETHODIMP AsioOpenClient(PFILE_OBJECT) override { return STATUS_SUCCESS; }
    STDMETHODIMP AsioUnused(PFILE_OBJECT) override { return STATUS_UNSUCCESSFUL; }
    STDMETHODIMP AsioCloseClient(PFILE_OBJECT) override { return STATUS_SUCCESS; }
    STDMETHODIMP AsioGetDeviceName(PFILE_OBJECT f, PVOID b, PULONG length) override
    {
        return WithLength("GetDeviceName", f, b, length);
    }
    STDMETHODIMP AsioGetChannelCounts(PFILE_OBJECT f, PVOID b, ULONG length) override
    {
        return Fill("GetChannelCounts", f, b, length, length == 16 ? 16 : 0);
    }
    STDMETHODIMP AsioGetChannelInfo(PFILE_OBJECT f, PVOID b, ULONG length) override
    {
        return Fill("GetChannelInfo", f, b, length, length == 52 ? 52 : 0);
    }
    STDMETHODIMP AsioSetSettingsEvent(PFILE_OBJECT f, PHANDLE h) override
    {
        return Handle("SetSettingsEvent", f, h);
    }
    STDMETHODIMP AsioReleaseSettingsEvent(PFILE_OBJECT f) override
    {
        return Record("ReleaseSettingsEvent", f);
    }
    STDMETHODIMP AsioGetOwnerState(PFILE_OBJECT f, PVOID b) override
    {
        return Fill("GetOwnerState", f, b, 0, 4);
    }
    STDMETHODIMP AsioGetSampleTypes(PFILE_OBJECT f, PVOID b, PULONG length) override
    {
        return WithLength("GetSampleTypes", f, b, length);
    }
    STDMETHODIMP AsioGetLatencyTable(PFILE_OBJECT f, PVOID b, PULONG length) override
    {
        // The whole table, the length left as it was.
        NTSTATUS status = Fill("GetLatencyTable", f, b, *length, *length >= 44 ? 44 : 0);
        Calls.back().Value = *length;
        return status;
    }
    STDMETHODIMP AsioSetSampleType(PFILE_OBJECT f, ULONG type) override
    {
        return Value("SetSampleType", f, type);
    }
    STDMETHODIMP AsioSetLatency(PFILE_OBJECT f, ULONG index) override
    {
        return Value("SetLatency", f, index);
    }
    STDMETHODIMP AsioGetLatencies(PFILE_OBJECT f, PVOID b) override
    {
        return Fill("GetLatencies", f, b, 0, 8);
    }
    STDMETHODIMP AsioGetSampleRate(PFILE_OBJECT f, PVOID b) override
    {
        return Fill("GetSampleRate", f, b, 0, 4);
    }
    STDMETHODIMP AsioCanSampleRate(PFILE_OBJECT f, PVOID b) override
    {
        return Read("CanSampleRate", f, b);
    }
    STDMETHODIMP AsioSetSampleRate(PFILE_OBJECT f, PVOID b) override
    {
        return Read("SetSampleRate", f, b);
    }
    STDMETHODIMP AsioGetBufferSize(PFILE_OBJECT f, PVOID b) override
    {
        return Fill("GetBufferSize", f, b, 0, 16);
    }
    STDMETHODIMP AsioMapSharedBuffer(PFILE_OBJECT f, PVOID input, ULONG inputLength, PVOID output,
                                     PULONG length) override
    {
        AsioCall call{"MapSharedBuffer", f, *length, 0, input, output};
        call.InputLength = inputLength;
        Calls.push_back(call);
        NTSTATUS status = StatusOf("MapSharedBuffer");
        // One 8-byte user address per ring when the length is exactly that.
        if (NT_SUCCESS(status) && output != nullptr && *length == 8 * Rings.size())
            memcpy(output, Rings.data(), *length);
        if (UpdatedLength != ~0u)
            *length = UpdatedLength;
        return status;
    }
    STDMETHODIMP AsioUnmapSharedBuffer(PFILE_OBJECT f) override
    {
        return Record("UnmapSharedBuffer", f);
    }
    STDMETHODIMP AsioStartStreaming(PFILE_OBJECT f, PHANDLE h) override
    {
        return Handle("StartStreaming", f, h);
    }
    STDMETHODIMP AsioStopStreaming(PFILE_OBJECT f, PIRP request) override
    {
        Record("StopStreaming", f);
        if (!HoldStop)
            return StatusOf("StopStreaming");
        Held = request;
        request->IoStatus.Status = STATUS_PENDING;
        IoMarkIrpPending(request);
        return STATUS_PENDING;
    }
    STDMETHODIMP AsioCheckMode(PFILE_OBJECT f, PVOID b) override { return Read("CheckMode", f, b); }
    STDMETHODIMP AsioSetMode(PFILE_OBJECT f, PVOID b) override { return Read("SetMode", f, b); }
    STDMETHODIMP AsioGetMode(PFILE_OBJECT f, PVOID b) override
    {
        return Fill("GetMode", f, b, 0, 4);
    }

    bool AnswersAsio = true;
    int Wakes = 0;
    std::vector<AsioCall> Calls;
    std::map<std::string, NTSTATUS> Statuses; // STATUS_SUCCESS when not named
    ULONG UpdatedLength = ~0u;                // written back through a length address
    ULONG Written = 0;                        // bytes a length-taking operation writes
    std::vector<ULONGLONG> Rings;             // user addresses a mapping returns
    bool HoldStop = false;
    PIRP Held = nullptr;

  private:
    NTSTATUS StatusOf(const std::string& op) const
    {
        auto it = Statuses.find(op);
        return it == Statuses.end() ? STATUS_SUCCESS : it->second;
    }
    NTSTATUS Record(const char* op, PFILE_OBJECT f)
    {
        AsioCall call{op, f};
        Calls.push_back(call);
        return StatusOf(op);
    }
    NTSTATUS Value(const char* op, PFILE_OBJECT f, ULONG value)
    {
        Record(op, f);
        Calls.back().Value = value;
        return StatusOf(op);
    }
    NTSTATUS Read(const char* op, PFILE_OBJECT f, PVOID b)
    {
        ULONG value = 0;
        memcpy(&value, b, 4);
        NTSTATUS status = Value(op, f, value);
        Calls.back().Buffer = b;
        return status;
    }
    NTSTATUS Handle(const char* op, PFILE_OBJECT f, PHANDLE h)
    {
        Record(op, f);
        Calls.back().Handle = (ULONGLONG)(ULONG_PTR)*h;
        return StatusOf(op);
    }
    static void Pattern(PVOID b, ULONG bytes)
    {
        for (ULONG i = 0; i < bytes; ++i)
            static_cast<PUCHAR>(b)[i] = (UCHAR)(0xA0 + i);
    }
    NTSTATUS Fill(const char* op, PFILE_OBJECT f, PVOID b, ULONG length, ULONG bytes)
    {
        Record(op, f);
        Calls.back().Value = length;
        Calls.back().Buffer = b;
        NTSTATUS status = StatusOf(op);
        if (NT_SUCCESS(status) && b != nullptr)
            Pattern(b, bytes);
        return status;
    }
    NTSTATUS WithLength(const char* op, PFILE_OBJECT f, PVOID b, PULONG length)
    {
        NTSTATUS status = Fill(op, f, b, *length, 0);
        if (NT_SUCCESS(status) && b != nullptr && Written <= *length)
            Pattern(b, Written);
        if (UpdatedLength != ~0u)
            *length = UpdatedLength;
        return status;
    }
};

// The driver on a bare bus device with the double as its adapter and the
// ASIO file open, from a 64-bit or a 32-bit process.
class IoctlRig
{
  public:
    explicit IoctlRig(bool is32Bit = false) : m_Rig(std::make_unique<DispatchRig>())
    {
        if (!m_Rig->Ok() || m_Rig->Extension() == nullptr)
            return;
        m_Double = new (NonPagedPool, kDoubleTag) AsioDouble();
        m_Double->GetNonDelegatingUnknown()->AddRef();
        m_Rig->Extension()->Adapter = static_cast<IAdapterCommon*>(m_Double);
        m_Double->AddRef(); // the extension's, dropped by the removal
        if (is32Bit)
        {
            m_Process = EmuCreateProcess(true);
            EmuAttachProcess(m_Process);
        }
        if (!NT_SUCCESS(EmuOpenFile(m_Rig->Fdo(), u"\\LTASIOPrivateInterface", &m_File)))
            m_File = nullptr;
    }
    ~IoctlRig()
    {
        if (m_File != nullptr)
            EmuCloseFile(m_File);
        if (m_Process != nullptr)
        {
            EmuAttachProcess(nullptr);
            EmuDeleteProcess(m_Process);
        }
        m_Rig.reset();
        if (m_Double != nullptr)
        {
            EXPECT_EQ(0u, m_Double->GetNonDelegatingUnknown()->Release());
        }
    }
    bool Ok() const { return m_File != nullptr; }
    AsioDouble& Asio() { return *m_Double; }
    PFILE_OBJECT File() const { return m_File; }

    struct Answer
    {
        NTSTATUS Status;
        ULONG_PTR Information;
        std::vector<UCHAR> Output;
    };
    // Sends the code with the input given and an output of outLength bytes.
    Answer Send(ULONG code, const std::vector<UCHAR>& input, ULONG outLength)
    {
        Answer a{STATUS_PENDING, 0, std::vector<UCHAR>(outLength, 0)};
        m_Double->Calls.clear();
        a.Status = EmuDeviceControl(m_File, code, input.empty() ? nullptr : input.data(),
                                    (ULONG)input.size(), outLength ? a.Output.data() : nullptr,
                                    outLength, &a.Information);
        return a;
    }

  private:
    std::unique_ptr<DispatchRig> m_Rig;
    AsioDouble* m_Double = nullptr;
    PFILE_OBJECT m_File = nullptr;
    PEPROCESS m_Process = nullptr;
};

std::vector<UCHAR> U32(ULONG v)
{
    return {(UCHAR)v, (UCHAR)(v >> 8), (UCHAR)(v >> 16), (UCHAR)(v >> 24)};
}

std::vector<UCHAR> U64(ULONGLONG v)
{
    std::vector<UCHAR> b = U32((ULONG)v), high = U32((ULONG)(v >> 32));
    b.insert(b.end(), high.begin(), high.end());
    return b;
}

// The double's byte pattern, n bytes, then zeros up to size.
std::vector<UCHAR> PatternThenZeros(size_t n, size_t size)
{
    std::vector<UCHAR> b(size, 0);
    for (size_t i = 0; i < n; ++i)
        b[i] = (UCHAR)(0xA0 + i);
    return b;
}

std::vector<std::string> Ops(const AsioDouble& asio)
{
    std::vector<std::string> ops;
    for (const AsioCall& c : asio.Calls)
        ops.push_back(c.Op);
    return ops;
}
} // namespace

using OpList = std::vector<std::string>;

TEST(AsioIoctl, QueriesReachTheirOperationAndReportOnlyTheBytesWritten)
{
    IoctlRig rig;
    ASSERT_TRUE(rig.Ok());
    struct Case
    {
        ULONG Code;
        const char* Op;
        ULONG Out;
        size_t Written; // by the double
    };
    // Larger outputs than the answers: the bytes behind them are never reported.
    const Case cases[] = {
        {kGetChannelCounts, "GetChannelCounts", 16, 16},
        {kGetLatencies, "GetLatencies", 12, 8},
        {kGetSampleRate, "GetSampleRate", 16, 4},
        {kGetBufferSize, "GetBufferSize", 20, 16},
        {kGetMode, "GetMode", 8, 4},
        {kGetOwnerState, "GetOwnerState", 6, 4},
        {kGetLatencyTable, "GetLatencyTable", 64, 44},
    };
    for (const Case& c : cases)
    {
        IoctlRig::Answer a = rig.Send(c.Code, {}, c.Out);
        EXPECT_EQ(STATUS_SUCCESS, a.Status) << c.Op;
        EXPECT_EQ(c.Written, a.Information) << c.Op;
        EXPECT_EQ(PatternThenZeros(c.Written, c.Out), a.Output) << c.Op;
        ASSERT_EQ(OpList{c.Op}, Ops(rig.Asio())) << c.Op;
        EXPECT_EQ(rig.File(), rig.Asio().Calls[0].File) << c.Op;
        EXPECT_NE(nullptr, rig.Asio().Calls[0].Buffer) << c.Op;
    }
    // The channel information reads its record from the shared buffer.
    std::vector<UCHAR> record(52, 0);
    record[0] = 3;
    IoctlRig::Answer a = rig.Send(kGetChannelInfo, record, 52);
    EXPECT_EQ(STATUS_SUCCESS, a.Status);
    EXPECT_EQ(52u, a.Information);
    EXPECT_EQ(52u, rig.Asio().Calls[0].Value);
}

TEST(AsioIoctl, OperationsGivenTheOutputLengthReportWhatTheyLeaveThere)
{
    IoctlRig rig;
    ASSERT_TRUE(rig.Ok());
    for (ULONG code : {kGetDeviceName, kGetSampleTypes})
    {
        // Written back: the bytes written.
        rig.Asio().Written = 12;
        rig.Asio().UpdatedLength = 12;
        IoctlRig::Answer a = rig.Send(code, {}, 64);
        EXPECT_EQ(STATUS_SUCCESS, a.Status);
        EXPECT_EQ(12u, a.Information);
        EXPECT_EQ(64u, rig.Asio().Calls[0].Value);
        EXPECT_EQ(PatternThenZeros(12, 64), a.Output);
        // No output: the size a caller needs comes with the overflow warning.
        rig.Asio().Statuses[rig.Asio().Calls[0].Op] = STATUS_BUFFER_OVERFLOW;
        rig.Asio().UpdatedLength = 23;
        a = rig.Send(code, {}, 0);
        EXPECT_EQ(STATUS_BUFFER_OVERFLOW, a.Status);
        EXPECT_EQ(23u, a.Information);
        EXPECT_EQ(0u, rig.Asio().Calls[0].Value);
        // An output too short for what the operation says: never more than it holds.
        a = rig.Send(code, {}, 5);
        EXPECT_EQ(STATUS_BUFFER_OVERFLOW, a.Status);
        EXPECT_EQ(5u, a.Information);
        // A failure reports nothing.
        rig.Asio().Statuses[rig.Asio().Calls[0].Op] = STATUS_BUFFER_TOO_SMALL;
        a = rig.Send(code, {}, 5);
        EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, a.Status);
        EXPECT_EQ(0u, a.Information);
        rig.Asio().Statuses.clear();
    }
}

TEST(AsioIoctl, ShortBuffersSucceedWithoutReachingTheOperation)
{
    IoctlRig rig;
    ASSERT_TRUE(rig.Ok());
    struct Case
    {
        ULONG Code;
        ULONG In;
        ULONG Out;
    };
    const Case cases[] = {
        {kSetSettingsEvent, 4, 0},  {kSetSettingsEvent, 0, 0},
        {kSetSettingsEvent, 16, 0}, {kSetSampleType, 3, 0},
        {kSetLatency, 3, 8},        {kGetLatencies, 0, 7},
        {kGetSampleRate, 0, 3},     {kCanSampleRate, 2, 0},
        {kSetSampleRate, 0, 4},     {kGetBufferSize, 0, 15},
        {kMapSharedBuffer, 0, 16},  {kStartStreaming, 4, 0},
        {kStopStreaming, 1, 0},     {kReleaseSettingsEvent, 4, 0},
        {kCheckAndSetMode, 3, 0},   {kSetMode, 0, 0},
        {kGetMode, 0, 3},
    };
    for (const Case& c : cases)
    {
        IoctlRig::Answer a = rig.Send(c.Code, std::vector<UCHAR>(c.In, 0x5A), c.Out);
        EXPECT_EQ(STATUS_SUCCESS, a.Status) << std::hex << c.Code << " in " << c.In;
        EXPECT_EQ(0u, a.Information) << std::hex << c.Code;
        EXPECT_TRUE(rig.Asio().Calls.empty()) << std::hex << c.Code << " in " << c.In;
    }
    // The owner state has its own answers for short outputs.
    IoctlRig::Answer a = rig.Send(kGetOwnerState, {}, 0);
    EXPECT_EQ(STATUS_BUFFER_OVERFLOW, a.Status);
    EXPECT_EQ(4u, a.Information);
    for (ULONG out : {1u, 2u, 3u})
    {
        a = rig.Send(kGetOwnerState, {}, out);
        EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, a.Status) << out;
        EXPECT_EQ(0u, a.Information) << out;
        EXPECT_EQ(std::vector<UCHAR>(out, 0), a.Output) << out;
    }
    EXPECT_TRUE(rig.Asio().Calls.empty());
}

TEST(AsioIoctl, SettingsTakeTheValueAtTheStartOfTheInput)
{
    IoctlRig rig;
    ASSERT_TRUE(rig.Ok());
    struct Case
    {
        ULONG Code;
        OpList Ops;
    };
    const Case cases[] = {
        {kSetSampleType, {"SetSampleType"}},          {kCanSampleRate, {"CanSampleRate"}},
        {kSetSampleRate, {"SetSampleRate"}},          {kSetMode, {"SetMode"}},
        {kCheckAndSetMode, {"CheckMode", "SetMode"}},
    };
    std::vector<UCHAR> input = U32(44100);
    input.push_back(0xEE); // longer inputs are fine
    for (const Case& c : cases)
    {
        IoctlRig::Answer a = rig.Send(c.Code, input, 0);
        EXPECT_EQ(STATUS_SUCCESS, a.Status);
        EXPECT_EQ(0u, a.Information);
        ASSERT_EQ(c.Ops, Ops(rig.Asio())) << std::hex << c.Code;
        for (const AsioCall& call : rig.Asio().Calls)
            EXPECT_EQ(44100u, call.Value) << call.Op;
    }
    // Checking and setting the mode: the status is the setting's.
    rig.Asio().Statuses["CheckMode"] = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(STATUS_SUCCESS, rig.Send(kCheckAndSetMode, U32(1), 0).Status);
    rig.Asio().Statuses["SetMode"] = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(STATUS_UNSUCCESSFUL, rig.Send(kCheckAndSetMode, U32(1), 0).Status);
    rig.Asio().Statuses.clear();
    // Actions without data.
    for (auto [code, op] : {std::pair{kUnmapSharedBuffer, "UnmapSharedBuffer"},
                            std::pair{kReleaseSettingsEvent, "ReleaseSettingsEvent"},
                            std::pair{kStopStreaming, "StopStreaming"}})
    {
        rig.Asio().Statuses[op] = STATUS_INVALID_PARAMETER;
        IoctlRig::Answer a = rig.Send(code, {}, 8);
        EXPECT_EQ(STATUS_INVALID_PARAMETER, a.Status) << op;
        EXPECT_EQ(0u, a.Information) << op;
        EXPECT_EQ(OpList{op}, Ops(rig.Asio()));
    }
}

TEST(AsioIoctl, LatencySetAndReadBackInOneRequest)
{
    IoctlRig rig;
    ASSERT_TRUE(rig.Ok());
    // With room for the two latencies they come back.
    IoctlRig::Answer a = rig.Send(kSetLatency, U32(5), 8);
    EXPECT_EQ(STATUS_SUCCESS, a.Status);
    EXPECT_EQ(8u, a.Information);
    EXPECT_EQ((OpList{"SetLatency", "GetLatencies"}), Ops(rig.Asio()));
    EXPECT_EQ(5u, rig.Asio().Calls[0].Value);
    EXPECT_EQ(PatternThenZeros(8, 8), a.Output);
    // Without, the latency is only set.
    a = rig.Send(kSetLatency, U32(5), 4);
    EXPECT_EQ(STATUS_SUCCESS, a.Status);
    EXPECT_EQ(0u, a.Information);
    EXPECT_EQ(OpList{"SetLatency"}, Ops(rig.Asio()));
    // The read-back's status is the request's.
    rig.Asio().Statuses["GetLatencies"] = STATUS_INVALID_PARAMETER;
    a = rig.Send(kSetLatency, U32(5), 8);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, a.Status);
    EXPECT_EQ(0u, a.Information);
    // A latency that was refused is not reported as set.
    rig.Asio().Statuses["SetLatency"] = STATUS_INVALID_PARAMETER;
    rig.Asio().Statuses["GetLatencies"] = STATUS_SUCCESS;
    a = rig.Send(kSetLatency, U32(12), 8);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, a.Status);
    EXPECT_EQ(0u, a.Information);
    EXPECT_EQ(OpList{"SetLatency"}, Ops(rig.Asio()));
}

TEST(AsioIoctl, HandlesAreFourBytesFromThirtyTwoBitProcessesAndWidened)
{
    {
        IoctlRig rig;
        ASSERT_TRUE(rig.Ok());
        for (ULONG code : {kSetSettingsEvent, kStartStreaming})
        {
            EXPECT_EQ(STATUS_SUCCESS, rig.Send(code, U64(0x123456789Aull), 0).Status);
            ASSERT_EQ(1u, rig.Asio().Calls.size());
            EXPECT_EQ(0x123456789Aull, rig.Asio().Calls[0].Handle);
            // A 64-bit caller's 4-byte handle does nothing and succeeds.
            EXPECT_EQ(STATUS_SUCCESS, rig.Send(code, U32(0x124), 0).Status);
            EXPECT_TRUE(rig.Asio().Calls.empty());
        }
    }
    {
        IoctlRig rig(true);
        ASSERT_TRUE(rig.Ok());
        for (ULONG code : {kSetSettingsEvent, kStartStreaming})
        {
            EXPECT_EQ(STATUS_SUCCESS, rig.Send(code, U32(0x124), 0).Status);
            ASSERT_EQ(1u, rig.Asio().Calls.size());
            EXPECT_EQ(0x124ull, rig.Asio().Calls[0].Handle);
            // Widened as the system widens a 32-bit handle: with its sign.
            EXPECT_EQ(STATUS_SUCCESS, rig.Send(code, U32(0xFFFFFFFF), 0).Status);
            EXPECT_EQ(~0ull, rig.Asio().Calls[0].Handle);
            EXPECT_EQ(STATUS_SUCCESS, rig.Send(code, U64(0x124), 0).Status);
            EXPECT_TRUE(rig.Asio().Calls.empty());
        }
    }
}

TEST(AsioIoctl, SharedBuffersOfA64BitCallerComeBackInPlace)
{
    IoctlRig rig;
    ASSERT_TRUE(rig.Ok());
    rig.Asio().Rings = {0x00007FF612345000ull, 0x00007FF612346000ull};
    IoctlRig::Answer a = rig.Send(kMapSharedBuffer, U32(2), 16);
    EXPECT_EQ(STATUS_SUCCESS, a.Status);
    EXPECT_EQ(16u, a.Information);
    ASSERT_EQ(1u, rig.Asio().Calls.size());
    EXPECT_EQ(rig.Asio().Calls[0].Buffer, rig.Asio().Calls[0].Output);
    EXPECT_EQ(16u, rig.Asio().Calls[0].Value);
    std::vector<UCHAR> expected = U64(rig.Asio().Rings[0]), second = U64(rig.Asio().Rings[1]);
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(expected, a.Output);
    // A failure reports nothing.
    rig.Asio().Statuses["MapSharedBuffer"] = STATUS_INVALID_PARAMETER;
    a = rig.Send(kMapSharedBuffer, U32(2), 16);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, a.Status);
    EXPECT_EQ(0u, a.Information);
}

TEST(AsioIoctl, SharedBuffersOfA32BitCallerAreNarrowedToFourBytesEach)
{
    IoctlRig rig(true);
    ASSERT_TRUE(rig.Ok());
    rig.Asio().Rings = {0x1111111122345000ull, 0x3333333344346000ull, 0x0000000055347000ull};
    IoctlRig::Answer a = rig.Send(kMapSharedBuffer, U32(3), 12);
    EXPECT_EQ(STATUS_SUCCESS, a.Status);
    EXPECT_EQ(12u, a.Information);
    ASSERT_EQ(1u, rig.Asio().Calls.size());
    // The operation wrote into an array of its own, twice the output.
    EXPECT_NE(rig.Asio().Calls[0].Buffer, rig.Asio().Calls[0].Output);
    EXPECT_EQ(24u, rig.Asio().Calls[0].Value);
    std::vector<UCHAR> expected = U32(0x22345000);
    for (ULONG low : {0x44346000u, 0x55347000u})
    {
        std::vector<UCHAR> b = U32(low);
        expected.insert(expected.end(), b.begin(), b.end());
    }
    EXPECT_EQ(expected, a.Output);
    EXPECT_EQ(0u, EmuPoolOutstandingCount(POOL_TAG("adap")));
    // The length the operation leaves decides how many come back, never more
    // than the output holds.
    rig.Asio().UpdatedLength = 8;
    a = rig.Send(kMapSharedBuffer, U32(3), 12);
    EXPECT_EQ(4u, a.Information);
    EXPECT_EQ(std::vector<UCHAR>({0x00, 0x50, 0x34, 0x22, 0, 0, 0, 0, 0, 0, 0, 0}), a.Output);
    rig.Asio().UpdatedLength = 400;
    a = rig.Send(kMapSharedBuffer, U32(3), 12);
    EXPECT_EQ(12u, a.Information);
    rig.Asio().UpdatedLength = ~0u;
    // Without memory for the array nothing is mapped.
    EmuPoolInjectFailure(POOL_TAG("adap"), 0, 1);
    a = rig.Send(kMapSharedBuffer, U32(3), 12);
    EmuPoolClearInjection();
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, a.Status);
    EXPECT_EQ(0u, a.Information);
    EXPECT_TRUE(rig.Asio().Calls.empty());
    // A failed mapping frees the array too.
    rig.Asio().Statuses["MapSharedBuffer"] = STATUS_INVALID_PARAMETER;
    a = rig.Send(kMapSharedBuffer, U32(3), 12);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, a.Status);
    EXPECT_EQ(0u, a.Information);
    EXPECT_EQ(0u, EmuPoolOutstandingCount(POOL_TAG("adap")));
}

TEST(AsioIoctl, UnknownCodesAndAMissingInterfaceAreRefused)
{
    IoctlRig rig;
    ASSERT_TRUE(rig.Ok());
    // Function 0x812, a known function with other access bits, a code of
    // another device type, another method.
    for (ULONG code : {0x1DA048u, 0x1DE048u, 0x1DA000u, 0x1D2000u, 0x226000u, 0x1D605Cu})
    {
        IoctlRig::Answer a = rig.Send(code, U32(1), 8);
        EXPECT_EQ(STATUS_NOT_SUPPORTED, a.Status) << std::hex << code;
        EXPECT_EQ(0u, a.Information);
        EXPECT_TRUE(rig.Asio().Calls.empty());
    }
    rig.Asio().AnswersAsio = false;
    IoctlRig::Answer a = rig.Send(kGetSampleRate, {}, 4);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, a.Status);
    EXPECT_EQ(0u, a.Information);
    EXPECT_TRUE(rig.Asio().Calls.empty());
    // Every request woke the device first, as the open did.
    EXPECT_EQ(8, rig.Asio().Wakes);
}

TEST(AsioIoctl, AStopRequestTheOperationKeepsStaysPending)
{
    IoctlRig rig;
    ASSERT_TRUE(rig.Ok());
    rig.Asio().HoldStop = true;
    auto request = EmuIoRequest::DeviceControl(rig.File(), kStopStreaming, nullptr, 0, 0);
    ASSERT_NE(nullptr, request);
    EXPECT_EQ(STATUS_PENDING, request->Send());
    EXPECT_FALSE(request->Completed());
    ASSERT_EQ(request->Irp(), rig.Asio().Held);
    // Completed later, by whoever kept it, with the status it gets then.
    PIRP held = rig.Asio().Held;
    held->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(held, IO_NO_INCREMENT);
    ASSERT_TRUE(request->Wait(0));
    EXPECT_EQ(STATUS_CANCELLED, request->Status());
    EXPECT_EQ(0u, request->Information());
}
