// The audio-engine client reads what a driver replies: topology lists whose
// header or count do not fit the reply are refused, not read past.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/io/io_emu.h"
#include "sim/clients/audio_engine_client.h"

namespace
{
// What the stand-in driver answers to a topology list request: the size it
// asks for, then a reply of `Returned` bytes with this header.
struct Reply
{
    ULONG Needed;
    ULONG Returned;
    KSMULTIPLE_ITEM Header;
};
Reply g_Reply;

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS Open(PDEVICE_OBJECT, PIRP irp)
{
    return Complete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS Property(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG length = stack->Parameters.DeviceIoControl.OutputBufferLength;
    if (length == 0)
        return Complete(irp, STATUS_BUFFER_OVERFLOW, g_Reply.Needed);
    UCHAR* out = static_cast<UCHAR*>(irp->UserBuffer);
    memset(out, 0xA5, length);
    if (length >= sizeof(KSMULTIPLE_ITEM))
        memcpy(out, &g_Reply.Header, sizeof(KSMULTIPLE_ITEM));
    return Complete(irp, STATUS_SUCCESS, g_Reply.Returned);
}

class Client : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_EQ(EmuLoadDriver(u"KsReplies", nullptr, &Driver), STATUS_SUCCESS);
        Driver->MajorFunction[IRP_MJ_CREATE] = Open;
        Driver->MajorFunction[IRP_MJ_CLEANUP] = Open;
        Driver->MajorFunction[IRP_MJ_CLOSE] = Open;
        Driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = Property;
        ASSERT_EQ(EmuCreatePhysicalDevice(Driver, 0, u"ROOT\\KSREPLIES\\0000", &Device),
                  STATUS_SUCCESS);
        Engine = new AudioEngineClient(Device);
        ASSERT_EQ(Engine->OpenFilter(u"Topo", &Filter), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        delete Engine;
        if (Device != nullptr)
            IoDeleteDevice(Device);
        if (Driver != nullptr)
            EmuUnloadDriver(Driver);
    }
    PDRIVER_OBJECT Driver = nullptr;
    PDEVICE_OBJECT Device = nullptr;
    AudioEngineClient* Engine = nullptr;
    PFILE_OBJECT Filter = nullptr;
};
} // namespace

TEST_F(Client, TopologyListsAreReadOnlyAsFarAsTheReplyGoes)
{
    const ULONG two = sizeof(KSMULTIPLE_ITEM) + 2 * sizeof(GUID);
    std::vector<GUID> nodes;
    // A well-formed reply of two nodes.
    g_Reply = {two, two, {two, 2}};
    ASSERT_EQ(Engine->GetNodeTypes(Filter, &nodes), STATUS_SUCCESS);
    ASSERT_EQ(nodes.size(), 2u);
    const UCHAR* bytes = reinterpret_cast<const UCHAR*>(nodes.data());
    for (size_t i = 0; i < 2 * sizeof(GUID); ++i)
        ASSERT_EQ(bytes[i], 0xA5);
    // A count of a thousand in a reply that holds two.
    g_Reply = {two, two, {two, 1000}};
    EXPECT_EQ(Engine->GetNodeTypes(Filter, &nodes), STATUS_INVALID_BUFFER_SIZE);
    EXPECT_EQ(nodes.size(), 2u); // left as it was
    // A reply shorter than its header.
    g_Reply = {4, 4, {4, 0}};
    EXPECT_EQ(Engine->GetNodeTypes(Filter, &nodes), STATUS_INVALID_BUFFER_SIZE);
    // A reply said to be longer than the buffer it was given.
    g_Reply = {two, two + 64, {two + 64, 6}};
    EXPECT_EQ(Engine->GetNodeTypes(Filter, &nodes), STATUS_INVALID_BUFFER_SIZE);

    // Connections: 16 bytes each, the last one cut short.
    std::vector<KSTOPOLOGY_CONNECTION> wires;
    const ULONG cut = sizeof(KSMULTIPLE_ITEM) + 2 * sizeof(KSTOPOLOGY_CONNECTION) - 1;
    g_Reply = {cut, cut, {cut, 2}};
    EXPECT_EQ(Engine->GetConnections(Filter, &wires), STATUS_INVALID_BUFFER_SIZE);
    EXPECT_TRUE(wires.empty());
    g_Reply = {cut, cut, {cut, 1}};
    EXPECT_EQ(Engine->GetConnections(Filter, &wires), STATUS_SUCCESS);
    EXPECT_EQ(wires.size(), 1u);
}
