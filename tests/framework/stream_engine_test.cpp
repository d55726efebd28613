#include <gtest/gtest.h>

#include <algorithm>

#include "platform/kernel/emu.h"
#include "tests/common/emu_test.h"
#include "tests/framework/frame_doubles.h"

namespace
{
const ULONG kStre = POOL_TAG("Stre");

// Releases what a test made, in reverse order of creation.
struct Holder
{
    std::vector<IUnknown*> Objects;
    template <typename T> T* Keep(T* object)
    {
        Objects.push_back(object->GetNonDelegatingUnknown());
        return object;
    }
    ~Holder()
    {
        for (auto it = Objects.rbegin(); it != Objects.rend(); ++it)
            (*it)->Release();
    }
};

void AddFormats(TestEngine* engine)
{
    // Two stereo, one six-channel, one mono.
    WAVEFORMATEXTENSIBLE formats[] = {FormatRecord(2, 44100, 16), FormatRecord(6, 48000, 24),
                                      FormatRecord(2, 48000, 16), FormatRecord(1, 48000, 16)};
    for (auto& f : formats)
        ASSERT_EQ(engine->AddFormatRecord(&f), STATUS_SUCCESS);
}
} // namespace

TEST(StreamEngine, OpenCreatesListsNameAndNamedCallbackObject)
{
    Holder h;
    TestEngine* engine = h.Keep(MakeEngine(STREAM_DIRECTION_CAPTURE));
    ASSERT_NE(engine, nullptr);
    EXPECT_EQ(engine->GetDirection(), 1u);
    EXPECT_EQ(engine->GetConstructionValue(), 0x1234u);
    // Nine 24-byte list headers and the 102-byte name buffer.
    EXPECT_EQ(EmuPoolOutstandingCount(kStre), 10u);
    EXPECT_EQ(EmuPoolOutstandingBytes(kStre), 9u * 24u + 102u);
    // The name buffer is gone again.
    EXPECT_EQ(EmuPoolOutstandingCount(POOL_TAG("Temp")), 0u);

    // The object is found under its address-derived name.
    WCHAR name[64];
    ASSERT_EQ(RtlStringCbPrintfW(name, sizeof(name), u"\\Callback\\StreamEngineAddr%p",
                                 static_cast<IUnknown*>(engine)),
              STATUS_SUCCESS);
    UNICODE_STRING us;
    RtlInitUnicodeString(&us, name);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &us, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    PCALLBACK_OBJECT found = nullptr;
    ASSERT_EQ(ExCreateCallback(&found, &oa, FALSE, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(found, engine->CallbackObject());

    // Registrations on the engine are reached through the object.
    struct Seen
    {
        int Calls = 0;
        PVOID Arg = nullptr;
    } seen;
    PVOID registration = nullptr;
    ASSERT_EQ(engine->RegisterCallback(
                  [](PVOID context, PVOID a1, PVOID)
                  {
                      auto s = static_cast<Seen*>(context);
                      ++s->Calls;
                      s->Arg = a1;
                  },
                  &seen, &registration),
              STATUS_SUCCESS);
    ASSERT_NE(registration, nullptr);
    int marker = 0;
    ExNotifyCallback(found, &marker, nullptr);
    EXPECT_EQ(seen.Calls, 1);
    EXPECT_EQ(seen.Arg, &marker);
    EXPECT_EQ(engine->UnregisterCallback(registration), STATUS_SUCCESS);
    ObDereferenceObject(found);
    EXPECT_EQ(engine->RegisterCallback(nullptr, nullptr, &registration), STATUS_INVALID_PARAMETER);
}

TEST(StreamEngine, OpenFailsCleanlyWhenAListCannotBeAllocated)
{
    for (ULONG skip : {0u, 4u, 8u, 9u})
    {
        TestEngine* engine = MakeUnopenedEngine();
        ASSERT_NE(engine, nullptr);
        EmuPoolInjectFailure(kStre, skip);
        EXPECT_EQ(engine->OpenStreamEngineCallback(0), STATUS_INSUFFICIENT_RESOURCES) << skip;
        EmuPoolClearInjection();
        EXPECT_EQ(EmuPoolOutstandingCount(kStre), 0u) << skip;
        // Without lists the queries answer as for an empty engine.
        EXPECT_EQ(engine->GetFormatCount(), 0u);
        EXPECT_EQ(engine->GetControlCount(), 0u);
        CAudioControl* control = nullptr;
        EXPECT_EQ(engine->GetControlAt(0, &control), STATUS_UNSUCCESSFUL);
        WAVEFORMATEXTENSIBLE record;
        EXPECT_EQ(engine->GetFormatAt(0, &record), STATUS_UNSUCCESSFUL);
        PVOID registration = nullptr;
        EXPECT_EQ(engine->RegisterCallback([](PVOID, PVOID, PVOID) {}, nullptr, &registration),
                  STATUS_UNSUCCESSFUL);
        engine->Release();
    }
}

TEST(StreamEngine, NamesAreBoundedToFiftyCharacters)
{
    Holder h;
    TestEngine* engine = h.Keep(MakeEngine(0));
    WCHAR out[STREAM_ENGINE_NAME_OUT_CHARS];
    ASSERT_EQ(engine->GetName(out), STATUS_SUCCESS);
    EXPECT_EQ(out[0], 0);

    std::u16string fifty(50, u'a');
    fifty[49] = u'z';
    ASSERT_EQ(engine->SetName(fifty.c_str()), STATUS_SUCCESS);
    ASSERT_EQ(engine->GetName(out), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(out), fifty);

    std::u16string fiftyOne(51, u'b');
    EXPECT_EQ(engine->SetName(fiftyOne.c_str()), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(engine->GetName(out), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(out), fifty); // the old name stays

    ASSERT_EQ(engine->SetName(u"SPKOut00"), STATUS_SUCCESS);
    ASSERT_EQ(engine->GetName(out), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(out), u"SPKOut00");
    EXPECT_EQ(engine->SetName(nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(engine->GetName(nullptr), STATUS_INVALID_PARAMETER);
}

TEST(StreamEngine, RenderEndpointKindFollowsOutputTerminalsAndOutputType)
{
    Holder h;
    TestEngine* engine = h.Keep(MakeEngine(STREAM_DIRECTION_RENDER));
    EXPECT_EQ(engine->GetEndpointKind(), 0u); // no controls

    // Input terminals do not count for render; a later output terminal
    // overwrites an earlier one.
    ASSERT_EQ(engine->AddPathControl(h.Keep(MakeTerminal(1, CONTROL_KIND_INPUT_TERMINAL, 7))),
              STATUS_SUCCESS);
    EXPECT_EQ(engine->GetEndpointKind(), 0u);
    ASSERT_EQ(engine->AddPathControl(h.Keep(MakeTerminal(2, CONTROL_KIND_OUTPUT_TERMINAL, 1))),
              STATUS_SUCCESS);
    EXPECT_EQ(engine->GetEndpointKind(), 1u);
    ASSERT_EQ(engine->AddPathControl(h.Keep(MakeTerminal(3, CONTROL_KIND_OUTPUT_TERMINAL, 2))),
              STATUS_SUCCESS);
    EXPECT_EQ(engine->GetEndpointKind(), 2u);
    // A terminal that does not answer the terminal interface reports nothing.
    TestTerminal* mute = h.Keep(MakeTerminal(4, CONTROL_KIND_OUTPUT_TERMINAL, 9));
    mute->Answers = false;
    ASSERT_EQ(engine->AddPathControl(mute), STATUS_SUCCESS);
    EXPECT_EQ(engine->GetEndpointKind(), 2u);
    // The output type decides at once, whatever terminals follow.
    ASSERT_EQ(engine->AddPathControl(h.Keep(MakeOutputType(5, 3))), STATUS_SUCCESS);
    ASSERT_EQ(engine->AddPathControl(h.Keep(MakeTerminal(6, CONTROL_KIND_OUTPUT_TERMINAL, 14))),
              STATUS_SUCCESS);
    EXPECT_EQ(engine->GetEndpointKind(), 3u);
}

TEST(StreamEngine, CaptureEndpointKindCountsInputTerminals)
{
    Holder h;
    TestEngine* spdif = h.Keep(MakeEngine(STREAM_DIRECTION_CAPTURE));
    // The streaming terminal (kind 0) and output terminals do not count.
    spdif->AddPathControl(h.Keep(MakeTerminal(1, CONTROL_KIND_INPUT_TERMINAL, 0)));
    spdif->AddPathControl(h.Keep(MakeTerminal(2, CONTROL_KIND_OUTPUT_TERMINAL, 1)));
    EXPECT_EQ(spdif->GetEndpointKind(), 0u);
    spdif->AddPathControl(h.Keep(MakeTerminal(3, CONTROL_KIND_INPUT_TERMINAL, 3)));
    EXPECT_EQ(spdif->GetEndpointKind(), 3u);

    TestEngine* mixed = h.Keep(MakeEngine(STREAM_DIRECTION_CAPTURE));
    mixed->AddPathControl(h.Keep(MakeTerminal(1, CONTROL_KIND_INPUT_TERMINAL, 7)));
    mixed->AddPathControl(h.Keep(MakeTerminal(2, CONTROL_KIND_INPUT_TERMINAL, 6)));
    EXPECT_EQ(mixed->GetEndpointKind(), 18u);

    // Two inputs of the same kind are still a mix.
    TestEngine* twoMics = h.Keep(MakeEngine(STREAM_DIRECTION_CAPTURE));
    twoMics->AddPathControl(h.Keep(MakeTerminal(1, CONTROL_KIND_INPUT_TERMINAL, 7)));
    twoMics->AddPathControl(h.Keep(MakeTerminal(2, CONTROL_KIND_INPUT_TERMINAL, 7)));
    EXPECT_EQ(twoMics->GetEndpointKind(), 18u);
}

TEST(StreamEngine, HeadphoneLikeRenderStreamsOfferOnlyTwoChannelFormats)
{
    Holder h;
    for (ULONG kind = 0; kind < ENDPOINT_KIND_COUNT; ++kind)
    {
        TestEngine* render = h.Keep(MakeEngine(STREAM_DIRECTION_RENDER));
        AddFormats(render);
        render->AddPathControl(h.Keep(MakeTerminal(1, CONTROL_KIND_OUTPUT_TERMINAL, kind)));
        const bool two = kind == 2 || kind == 3 || kind == 14 || kind == 17;
        EXPECT_EQ(render->GetFormatCount(), two ? 2u : 4u) << kind;
        WAVEFORMATEXTENSIBLE record = {};
        ASSERT_EQ(render->GetFormatAt(1, &record), STATUS_SUCCESS);
        EXPECT_EQ(record.Format.nChannels, two ? 2 : 6) << kind;
        EXPECT_EQ(record.Format.nSamplesPerSec, 48000u);
        EXPECT_EQ(render->GetFormatAt(two ? 2 : 4, &record), STATUS_INVALID_PARAMETER);
    }
    // A capture stream from a headset offers everything.
    TestEngine* capture = h.Keep(MakeEngine(STREAM_DIRECTION_CAPTURE));
    AddFormats(capture);
    capture->AddPathControl(h.Keep(MakeTerminal(1, CONTROL_KIND_INPUT_TERMINAL, 14)));
    EXPECT_EQ(capture->GetEndpointKind(), 14u);
    EXPECT_EQ(capture->GetFormatCount(), 4u);
    // The choice is made anew on every call.
    TestEngine* render = h.Keep(MakeEngine(STREAM_DIRECTION_RENDER));
    AddFormats(render);
    TestTerminal* t = h.Keep(MakeTerminal(1, CONTROL_KIND_OUTPUT_TERMINAL, 1));
    render->AddPathControl(t);
    EXPECT_EQ(render->GetFormatCount(), 4u);
    t->EndpointKind = 17;
    EXPECT_EQ(render->GetFormatCount(), 2u);
    EXPECT_EQ(render->GetFormatAt(0, nullptr), STATUS_INVALID_PARAMETER);
}

// A stream to headphones that has no two-channel format (one earpiece)
// offers all it has, until it has a two-channel one.
TEST(StreamEngine, HeadphoneLikeRenderStreamsWithoutTwoChannelsOfferAll)
{
    Holder h;
    TestEngine* render = h.Keep(MakeEngine(STREAM_DIRECTION_RENDER));
    render->AddPathControl(h.Keep(MakeTerminal(1, CONTROL_KIND_OUTPUT_TERMINAL, 2)));
    for (USHORT channels : {1, 6})
    {
        const WAVEFORMATEXTENSIBLE record = FormatRecord(channels, 48000, 16);
        ASSERT_EQ(render->AddFormatRecord(&record), STATUS_SUCCESS);
    }
    WAVEFORMATEXTENSIBLE record = {};
    EXPECT_EQ(render->GetFormatCount(), 2u);
    ASSERT_EQ(render->GetFormatAt(1, &record), STATUS_SUCCESS);
    EXPECT_EQ(record.Format.nChannels, 6);
    const WAVEFORMATEXTENSIBLE stereo = FormatRecord(2, 44100, 16);
    ASSERT_EQ(render->AddFormatRecord(&stereo), STATUS_SUCCESS);
    EXPECT_EQ(render->GetFormatCount(), 1u);
    ASSERT_EQ(render->GetFormatAt(0, &record), STATUS_SUCCESS);
    EXPECT_EQ(record.Format.nSamplesPerSec, 44100u);
}

TEST(StreamEngine, FormatRecordsAreCopiedAndStereoOnesTwice)
{
    Holder h;
    TestEngine* engine = h.Keep(MakeEngine(0));
    const SIZE_T before = EmuPoolOutstandingCount(kStre);
    WAVEFORMATEXTENSIBLE stereo = FormatRecord(2, 96000, 24);
    ASSERT_EQ(engine->AddFormatRecord(&stereo), STATUS_SUCCESS);
    stereo.Format.nSamplesPerSec = 1; // the engine kept its own copy
    WAVEFORMATEXTENSIBLE record = {};
    ASSERT_EQ(engine->GetFormatAt(0, &record), STATUS_SUCCESS);
    EXPECT_EQ(record.Format.nSamplesPerSec, 96000u);
    EXPECT_EQ(record.Format.nBlockAlign, 6);
    EXPECT_EQ(EmuPoolOutstandingCount(kStre), before + 2);
    WAVEFORMATEXTENSIBLE mono = FormatRecord(1, 48000, 16);
    ASSERT_EQ(engine->AddFormatRecord(&mono), STATUS_SUCCESS);
    EXPECT_EQ(EmuPoolOutstandingCount(kStre), before + 3);
    EXPECT_EQ(engine->AddFormatRecord(nullptr), STATUS_INVALID_PARAMETER);

    // A stereo record whose second copy fails stays in the full list.
    WAVEFORMATEXTENSIBLE other = FormatRecord(2, 44100, 16);
    EmuPoolInjectFailure(kStre, 1);
    EXPECT_EQ(engine->AddFormatRecord(&other), STATUS_INSUFFICIENT_RESOURCES);
    EmuPoolClearInjection();
    EXPECT_EQ(engine->GetFormatCount(), 3u);
    EXPECT_EQ(EmuPoolOutstandingCount(kStre), before + 4); // one list node in "Lis"
}

TEST(StreamEngine, FindFormatCompletesPlainFormatsFromTheRecord)
{
    Holder h;
    TestEngine* engine = h.Keep(MakeEngine(0));
    WAVEFORMATEX format = {WAVE_FORMAT_PCM, 2, 48000, 0, 0, 16, 7};
    EXPECT_EQ(engine->FindFormat(&format), STATUS_NO_MATCH); // empty list
    AddFormats(engine);
    WAVEFORMATEXTENSIBLE flt = FormatRecord(2, 48000, 32, WAVE_FORMAT_IEEE_FLOAT);
    ASSERT_EQ(engine->AddFormatRecord(&flt), STATUS_SUCCESS);

    ASSERT_EQ(engine->FindFormat(&format), STATUS_SUCCESS);
    EXPECT_EQ(format.wFormatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(format.nChannels, 2);
    EXPECT_EQ(format.nSamplesPerSec, 48000u);
    EXPECT_EQ(format.nBlockAlign, 4);
    EXPECT_EQ(format.nAvgBytesPerSec, 192000u);
    EXPECT_EQ(format.wBitsPerSample, 16);
    EXPECT_EQ(format.cbSize, 0);

    WAVEFORMATEX five = {WAVE_FORMAT_PCM, 5, 48000, 0, 0, 16, 0};
    EXPECT_EQ(engine->FindFormat(&five), STATUS_NO_MATCH);
    EXPECT_EQ(five.nBlockAlign, 0);

    // The tag must match the record's sub-format.
    WAVEFORMATEX floatFormat = {WAVE_FORMAT_IEEE_FLOAT, 2, 48000, 0, 0, 32, 0};
    ASSERT_EQ(engine->FindFormat(&floatFormat), STATUS_SUCCESS);
    EXPECT_EQ(floatFormat.wFormatTag, WAVE_FORMAT_IEEE_FLOAT);
    EXPECT_EQ(floatFormat.nBlockAlign, 8);
    WAVEFORMATEX floatAt16 = {WAVE_FORMAT_IEEE_FLOAT, 2, 48000, 0, 0, 16, 0};
    EXPECT_EQ(engine->FindFormat(&floatAt16), STATUS_NO_MATCH);
    EXPECT_EQ(engine->FindFormat(nullptr), STATUS_INVALID_PARAMETER);
}

TEST(StreamEngine, FindFormatComparesExtensibleFormatsWhole)
{
    Holder h;
    TestEngine* engine = h.Keep(MakeEngine(0));
    AddFormats(engine);
    WAVEFORMATEXTENSIBLE wanted = FormatRecord(6, 48000, 24);
    WAVEFORMATEXTENSIBLE copy = wanted;
    EXPECT_EQ(engine->FindFormat(&wanted.Format), STATUS_SUCCESS);
    EXPECT_EQ(memcmp(&wanted, &copy, sizeof(copy)), 0); // nothing written

    wanted.dwChannelMask = 0x3; // any byte differs
    EXPECT_EQ(engine->FindFormat(&wanted.Format), STATUS_NO_MATCH);

    // A record longer than 40 bytes never matches and nothing past the
    // engine's records is read: the caller's block is exactly 18 + cbSize.
    struct
    {
        WAVEFORMATEXTENSIBLE Ext;
        UCHAR More[8];
    } longer = {FormatRecord(6, 48000, 24), {}};
    longer.Ext.Format.cbSize = 23;
    EXPECT_EQ(engine->FindFormat(&longer.Ext.Format), STATUS_NO_MATCH);
    longer.Ext.Format.cbSize = 0xFFFF;
    EXPECT_EQ(engine->FindFormat(&longer.Ext.Format), STATUS_NO_MATCH);
}

// The caller's extensible record is read for 18 + cbSize bytes, and only up
// to the 40 bytes of the engine's own: cbSize 22 is compared (and matches),
// 21 is compared (and its cbSize differs), 23 is refused unread. Each block
// is exactly as long as its cbSize says, so a read past it is caught.
TEST(StreamEngine, FindFormatCbSizeBoundAtItsEdges)
{
    Holder h;
    TestEngine* engine = h.Keep(MakeEngine(0));
    AddFormats(engine);
    const WAVEFORMATEXTENSIBLE wanted = FormatRecord(6, 48000, 24);
    const struct
    {
        USHORT CbSize;
        NTSTATUS Expected;
    } cases[] = {{21, STATUS_NO_MATCH}, {22, STATUS_SUCCESS}, {23, STATUS_NO_MATCH}};
    for (const auto& c : cases)
    {
        std::vector<UCHAR> block(sizeof(WAVEFORMATEX) + c.CbSize, 0);
        memcpy(block.data(), &wanted, std::min(block.size(), sizeof(wanted)));
        auto format = reinterpret_cast<WAVEFORMATEX*>(block.data());
        format->cbSize = c.CbSize;
        EXPECT_EQ(engine->FindFormat(format), c.Expected) << c.CbSize;
    }
}

TEST(StreamEngine, PathControlsAreKeptOncePerIdAndChainNodesJoinTheChain)
{
    Holder h;
    TestEngine* engine = h.Keep(MakeEngine(0));
    TestUnit* first = h.Keep(MakeUnit(9, CONTROL_KIND_GENERIC));
    TestUnit* second = h.Keep(MakeUnit(9, CONTROL_KIND_OUTPUT_TERMINAL));
    second->IsChainNode = true;
    ASSERT_EQ(engine->AddPathControl(first), STATUS_SUCCESS);
    ASSERT_EQ(engine->AddPathControl(second), STATUS_SUCCESS);
    EXPECT_EQ(engine->GetControlCount(), 1u);
    CAudioControl* control = nullptr;
    ASSERT_EQ(engine->GetControlAt(0, &control), STATUS_SUCCESS);
    EXPECT_EQ(control, static_cast<CAudioControl*>(first));
    EXPECT_EQ(engine->ProcessingList()->GetCount(), 0u);

    // A control that is a chain node is referenced twice: as control and node.
    TestUnit* node = h.Keep(MakeUnit(10, CONTROL_KIND_GENERIC));
    node->IsChainNode = true;
    ASSERT_EQ(engine->AddPathControl(node), STATUS_SUCCESS);
    EXPECT_EQ(engine->GetControlCount(), 2u);
    EXPECT_EQ(engine->ProcessingList()->GetCount(), 1u);
    node->AddRef();
    EXPECT_EQ(node->Release(), 3u);

    control = reinterpret_cast<CAudioControl*>(0x1);
    EXPECT_EQ(engine->GetControlAt(2, &control), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(control, reinterpret_cast<CAudioControl*>(0x1)); // not written
    EXPECT_EQ(engine->AddPathControl(nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(engine->AddProcessingNode(nullptr), STATUS_INVALID_PARAMETER);

    // A failed append gives the reference back; a chain node that cannot
    // join the chain is no control of the engine either.
    TestUnit* late = h.Keep(MakeUnit(11, CONTROL_KIND_GENERIC));
    TestUnit* lateNode = h.Keep(MakeUnit(12, CONTROL_KIND_GENERIC));
    lateNode->IsChainNode = true;
    for (ULONG skip : {0u, 1u})
    {
        TestUnit* unit = skip == 0 ? late : lateNode;
        EmuPoolInjectFailure(POOL_TAG("Lis"), skip);
        EXPECT_EQ(engine->AddPathControl(unit), STATUS_INSUFFICIENT_RESOURCES) << skip;
        EmuPoolClearInjection();
        EXPECT_EQ(engine->GetControlCount(), 2u) << skip;
        EXPECT_EQ(engine->ProcessingList()->GetCount(), 1u) << skip;
        unit->AddRef();
        EXPECT_EQ(unit->Release(), 1u) << skip;
    }
}

TEST(StreamEngine, DestructionReleasesNodesControlsAndStageLists)
{
    TestNode* node = MakeNode();
    TestNode* staged = MakeNode();
    TestUnit* control = MakeUnit(3, CONTROL_KIND_GENERIC);
    TestEngine* engine = MakeEngine(0);
    ASSERT_EQ(engine->AddProcessingNode(node), STATUS_SUCCESS);
    ASSERT_EQ(engine->AddPathControl(control), STATUS_SUCCESS);
    staged->AddRef(); // the reference a client hands over with the node
    ASSERT_NE(engine->StageList(3)->AddTail(static_cast<IChainNode*>(staged)), nullptr);
    ASSERT_EQ(engine->AllocateStreamBuffers(), STATUS_SUCCESS);
    WAVEFORMATEXTENSIBLE f = FormatRecord(2, 48000, 16);
    ASSERT_EQ(engine->AddFormatRecord(&f), STATUS_SUCCESS);
    engine->Release();
    EXPECT_EQ(EmuPoolOutstandingCount(kStre), 0u);
    EXPECT_EQ(node->Release(), 0u);
    EXPECT_EQ(staged->Release(), 0u);
    EXPECT_EQ(control->Release(), 0u);
}

TEST(StreamEngine, DestructionWaitsForTheClientListsToDrain)
{
    TestEngine* engine = MakeEngine(0);
    static int client;
    ASSERT_NE(engine->ClientList(2)->AddTail(&client), nullptr);
    struct Drain
    {
        CPtrList* List;
        KEVENT Done;
    } drain = {engine->ClientList(2), {}};
    KeInitializeEvent(&drain.Done, NotificationEvent, FALSE);
    HANDLE thread = nullptr;
    ASSERT_EQ(PsCreateSystemThread(
                  &thread, 0, nullptr, nullptr, nullptr,
                  [](PVOID context)
                  {
                      auto d = static_cast<Drain*>(context);
                      LARGE_INTEGER t = RelativeMs(120);
                      KeDelayExecutionThread(KernelMode, FALSE, &t);
                      PVOID data = nullptr;
                      d->List->RemoveHead(&data);
                      KeSetEvent(&d->Done, 0, FALSE);
                      PsTerminateSystemThread(STATUS_SUCCESS);
                  },
                  &drain),
              STATUS_SUCCESS);
    const ULONGLONG start = EmuNow();
    engine->Release();
    const ULONGLONG waited = (EmuNow() - start) / 10000;
    // Checks every 50 ms: the first check after the removal at 120 ms.
    EXPECT_EQ(waited, 150u);
    KeWaitForSingleObject(&drain.Done, Executive, KernelMode, FALSE, nullptr);
    ZwClose(thread);
    EmuRunUntilIdle();
}

TEST(StreamEngine, BuffersAfterAPartialFailureAreCompletedByTheNextCall)
{
    Holder h;
    TestEngine* engine = h.Keep(MakeEngine(0));
    const SIZE_T lists = EmuPoolOutstandingCount(kStre);
    // Work buffer, pointer array, three channel blocks, then a failure.
    EmuPoolInjectFailure(kStre, 5);
    EXPECT_EQ(engine->AllocateStreamBuffers(), STATUS_INSUFFICIENT_RESOURCES);
    EmuPoolClearInjection();
    EXPECT_EQ(EmuPoolOutstandingCount(kStre), lists + 5);
    ASSERT_NE(engine->WorkBuffer(), nullptr);
    ASSERT_NE(engine->ChannelBuffers(), nullptr);
    EXPECT_EQ(engine->ChannelBuffers()[3], nullptr);
    float* work = engine->WorkBuffer();
    float* channel0 = engine->ChannelBuffers()[0];

    const unsigned long long allocations = EmuPoolAllocationCount(kStre);
    EXPECT_EQ(engine->AllocateStreamBuffers(), STATUS_SUCCESS);
    EXPECT_EQ(EmuPoolAllocationCount(kStre) - allocations, 5u); // channels 3 to 7 only
    EXPECT_EQ(engine->WorkBuffer(), work);
    EXPECT_EQ(engine->ChannelBuffers()[0], channel0);
    SIZE_T size = 0;
    POOL_TYPE type = PagedPool;
    ASSERT_TRUE(EmuPoolIsBlock(work, &size, nullptr, &type));
    EXPECT_EQ(size, 16384u);
    EXPECT_EQ(type, NonPagedPool);
    for (ULONG i = 0; i < 8; ++i)
    {
        ASSERT_TRUE(EmuPoolIsBlock(engine->ChannelBuffers()[i], &size));
        EXPECT_EQ(size, 2048u);
    }
    ASSERT_TRUE(EmuPoolIsBlock(engine->ChannelBuffers(), &size));
    EXPECT_EQ(size, 64u);
    // Nothing more to allocate.
    const unsigned long long after = EmuPoolAllocationCount(kStre);
    EXPECT_EQ(engine->AllocateStreamBuffers(), STATUS_SUCCESS);
    EXPECT_EQ(EmuPoolAllocationCount(kStre), after);
}

TEST(StreamEngine, QueryInterfaceAnswersItsOwnIdOnly)
{
    Holder h;
    TestEngine* engine = h.Keep(MakeEngine(0));
    PVOID object = nullptr;
    ASSERT_EQ(engine->QueryInterface(IID_CStreamEngine, &object), STATUS_SUCCESS);
    EXPECT_EQ(object, static_cast<IUnknown*>(engine));
    static_cast<IUnknown*>(object)->Release();
    object = reinterpret_cast<PVOID>(0x1);
    EXPECT_EQ(engine->QueryInterface(IID_IAdapterCommon, &object), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(engine->PowerChangeState(4), STATUS_SUCCESS); // the double's, logged
    EXPECT_EQ(engine->CStreamEngine::PowerChangeState(4), STATUS_SUCCESS);
}
