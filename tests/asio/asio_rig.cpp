#include "tests/asio/asio_rig.h"

#include <gtest/gtest.h>

#include "platform/io/io_emu.h"
#include "platform/kernel/emu.h"

std::vector<UCHAR> U32s(std::initializer_list<ULONG> values)
{
    std::vector<UCHAR> bytes;
    for (ULONG v : values)
        for (int shift = 0; shift < 32; shift += 8)
            bytes.push_back((UCHAR)(v >> shift));
    return bytes;
}

EndpointCapabilities AsioCaps()
{
    EndpointCapabilities caps = {};
    caps.ThirdValue = ENDPOINT_CAPS_ASIO_STREAM;
    return caps;
}

AsioRig::AsioRig(bool is32Bit, std::unique_ptr<SimUsbDevice> device) : m_Stream(std::move(device))
{
    if (!m_Stream.Ok())
        return;
    ClassScript().EngineCount = 1;
    ClassScript().Capabilities = {AsioCaps()};
    ClassScript().Engines = {m_Stream.Stream()};
    if (!NT_SUCCESS(Session().Configure(1)))
        return;
    m_Watching = NT_SUCCESS(AsioProcessWatchStart());
    m_Process = EmuCreateProcess(is32Bit);
    EmuAttachProcess(m_Process);
    m_Ok = m_Watching;
}

AsioRig::~AsioRig()
{
    if (m_Process != nullptr)
    {
        for (auto& file : m_Files)
            Asio()->AsioCloseClient(&file);
        for (HANDLE h : m_Handles)
            EmuCloseUserHandle(m_Process, h);
        EmuAttachProcess(nullptr);
        EmuDeleteProcess(m_Process);
    }
    if (m_Watching)
        AsioProcessWatchStop();
    ClassScript().Engines.clear();
}

HANDLE AsioRig::NewEvent(PKEVENT* event, ACCESS_MASK access)
{
    HANDLE handle = nullptr;
    EXPECT_EQ(STATUS_SUCCESS,
              EmuCreateUserEvent(m_Process, SynchronizationEvent, FALSE, &handle, event, access));
    m_Handles.push_back(handle);
    return handle;
}

NTSTATUS AsioRig::Map(int i, ULONG bufferFrames, const std::vector<std::array<ULONG, 2>>& pairs,
                      ULONGLONG* address, ULONG outLength)
{
    std::vector<UCHAR> input = U32s({0, (ULONG)pairs.size(), bufferFrames});
    for (const auto& pair : pairs)
    {
        std::vector<UCHAR> more = U32s({pair[0], pair[1]});
        input.insert(input.end(), more.begin(), more.end());
    }
    std::vector<ULONGLONG> out(outLength / 8 + 1, 0);
    ULONG length = outLength;
    NTSTATUS status = Asio()->AsioMapSharedBuffer(File(i), input.data(), (ULONG)input.size(),
                                                  out.data(), &length);
    if (address != nullptr)
        *address = out[0];
    return status;
}

AsioRingHeader* AsioRig::Header(ULONG ring) const
{
    const AsioRingEntry* entry = Session().Rings().GetEntry(ring);
    return entry != nullptr ? reinterpret_cast<AsioRingHeader*>(entry->UserAddress) : nullptr;
}
