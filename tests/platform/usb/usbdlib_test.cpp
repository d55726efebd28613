// Descriptor parsing and the configuration request of the USB driver library.
#include <gtest/gtest.h>

#include "platform/kernel/emu.h"
#include "platform/usb/usbdlib.h"

namespace
{
// configuration: interface 0 (audio control) with one class descriptor,
// interface 1 settings 0 and 1 (audio streaming), setting 1 with one endpoint.
std::vector<UCHAR> Sample()
{
    return {
        0x09, 0x02, 0x35, 0x00, 0x02, 0x01, 0x00, 0x80, 0x32, // configuration, 53 bytes
        0x09, 0x04, 0x00, 0x00, 0x00, 0x01, 0x01, 0x00, 0x00, // offset 9: interface 0
        0x03, 0x24, 0x01,                                     // offset 18: class descriptor
        0x09, 0x04, 0x01, 0x00, 0x00, 0x01, 0x02, 0x00, 0x00, // offset 21: interface 1.0
        0x09, 0x04, 0x01, 0x01, 0x01, 0x01, 0x02, 0x00, 0x00, // offset 30: interface 1.1
        0x07, 0x05, 0x01, 0x09, 0xC4, 0x00, 0x01,             // offset 39: endpoint
        0x07, 0x25, 0x01, 0x01, 0x00, 0x00, 0x00,             // offset 46: class endpoint
    };
}

PUSB_CONFIGURATION_DESCRIPTOR Cfg(std::vector<UCHAR>& b)
{
    return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(b.data());
}
UCHAR* At(std::vector<UCHAR>& b, size_t offset)
{
    return b.data() + offset;
}
} // namespace

TEST(UsbdParse, InterfacesByCriteriaWithWildcards)
{
    std::vector<UCHAR> b = Sample();
    auto* c = Cfg(b);
    EXPECT_EQ((void*)USBD_ParseConfigurationDescriptorEx(c, c, -1, -1, -1, -1, -1), At(b, 9));
    EXPECT_EQ((void*)USBD_ParseConfigurationDescriptorEx(c, c, 1, 1, -1, -1, -1), At(b, 30));
    EXPECT_EQ((void*)USBD_ParseConfigurationDescriptorEx(c, c, -1, -1, 1, 2, -1), At(b, 21));
    // The search starts where it is told, the start included.
    EXPECT_EQ((void*)USBD_ParseConfigurationDescriptorEx(c, At(b, 30), -1, -1, 1, 2, -1),
              At(b, 30));
    EXPECT_EQ((void*)USBD_ParseConfigurationDescriptorEx(c, At(b, 21), -1, -1, 1, 2, -1),
              At(b, 21));
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(c, c, 2, -1, -1, -1, -1), nullptr);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(c, c, -1, -1, 1, 1, 0x20), nullptr);
    EXPECT_EQ((void*)USBD_ParseDescriptors(b.data(), 53, b.data(), USB_ENDPOINT_DESCRIPTOR_TYPE),
              At(b, 39));
    EXPECT_EQ((void*)USBD_ParseDescriptors(b.data(), 53, b.data(), 0x25), At(b, 46));
    EXPECT_EQ(USBD_ParseDescriptors(b.data(), 53, At(b, 53), 0x25), nullptr);
}

TEST(UsbdParse, WalkStopsAtBadLengths)
{
    // A class descriptor of length 1, or 0, hides everything behind it.
    for (UCHAR bad : {0, 1})
    {
        std::vector<UCHAR> b = Sample();
        b[18] = bad;
        auto* c = Cfg(b);
        EXPECT_EQ((void*)USBD_ParseConfigurationDescriptorEx(c, c, 0, 0, -1, -1, -1), At(b, 9));
        EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(c, c, 1, -1, -1, -1, -1), nullptr);
    }
    // wTotalLength cutting interface 1.1 in half: it is not found.
    std::vector<UCHAR> b = Sample();
    b[2] = 34;
    auto* c = Cfg(b);
    EXPECT_EQ((void*)USBD_ParseConfigurationDescriptorEx(c, c, 1, 0, -1, -1, -1), At(b, 21));
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(c, c, 1, 1, -1, -1, -1), nullptr);
    // A descriptor whose length runs past the end stops the walk.
    b = Sample();
    b[46] = 8;
    EXPECT_EQ(USBD_ParseDescriptors(b.data(), 53, b.data(), 0x25), nullptr);
    // An interface descriptor shorter than 9 bytes never matches.
    b = Sample();
    b[21] = 8;
    b[29] = 0x09; // the next descriptor now starts one byte earlier; keep the walk sane
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(Cfg(b), Cfg(b), 1, 0, -1, -1, -1), nullptr);
}

TEST(UsbdParse, ConfigurationRequestHoldsOneRecordPerInterface)
{
    std::vector<UCHAR> b = Sample();
    auto* c = Cfg(b);
    USBD_INTERFACE_LIST_ENTRY list[3] = {};
    list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(c, c, 0, 0, -1, -1, -1);
    list[1].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(c, c, 1, 1, -1, -1, -1);
    PURB urb = USBD_CreateConfigurationRequestEx(c, list);
    ASSERT_NE(urb, nullptr);
    // 40 bytes of header and handle, then 24 + 0 and 24 + 24 bytes of records.
    EXPECT_EQ(urb->UrbHeader.Length, 112);
    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, c);
    EXPECT_EQ((UCHAR*)list[0].Interface, (UCHAR*)urb + 40);
    EXPECT_EQ((UCHAR*)list[1].Interface, (UCHAR*)urb + 64);
    EXPECT_EQ(list[0].Interface->Length, 24);
    EXPECT_EQ(list[1].Interface->Length, 48);
    EXPECT_EQ(list[1].Interface->InterfaceNumber, 1);
    EXPECT_EQ(list[1].Interface->AlternateSetting, 1);
    EXPECT_EQ(list[1].Interface->NumberOfPipes, 1u);
    EXPECT_EQ(list[1].Interface->Pipes[0].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
    ULONG tag = 0;
    ASSERT_TRUE(EmuPoolIsBlock(urb, nullptr, &tag));
    EXPECT_EQ(tag, USBD_POOL_TAG);
    ExFreePool(urb);
    // A single interface without endpoints still gets a full-size URB.
    list[1].InterfaceDescriptor = nullptr;
    urb = USBD_CreateConfigurationRequestEx(c, list);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(urb->UrbHeader.Length, sizeof(struct _URB_SELECT_CONFIGURATION));
    ExFreePool(urb);
    list[0].InterfaceDescriptor = nullptr;
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(c, list), nullptr);
    EmuPoolInjectFailure(USBD_POOL_TAG, 0);
    list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(c, c, 0, 0, -1, -1, -1);
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(c, list), nullptr);
    EmuPoolClearInjection();
}

TEST(UsbdBuild, RequestBuildersFillTheirFields)
{
    URB urb;
    memset(&urb, 0xAA, sizeof(urb));
    UCHAR buffer[18];
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), 3, 0x50,
                                 0x0409, buffer, nullptr, 104, nullptr);
    EXPECT_EQ(urb.UrbHeader.Length, 136);
    EXPECT_EQ(urb.UrbHeader.Function, 0x000B);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.DescriptorType, 3);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.Index, 0x50);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.LanguageId, 0x0409);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 104u);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBuffer, buffer);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferMDL, nullptr);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.UrbLink, nullptr);

    UsbBuildSelectInterfaceRequest(&urb, (USHORT)GET_SELECT_INTERFACE_REQUEST_SIZE(2), &urb, 1, 2);
    EXPECT_EQ(urb.UrbHeader.Length, 104);
    EXPECT_EQ(urb.UrbSelectInterface.Interface.Length, 72);
    EXPECT_EQ(urb.UrbSelectInterface.Interface.InterfaceNumber, 1);
    EXPECT_EQ(urb.UrbSelectInterface.Interface.AlternateSetting, 2);

    UsbBuildVendorRequest(&urb, URB_FUNCTION_CLASS_ENDPOINT, 136, USBD_TRANSFER_DIRECTION_OUT, 0,
                          0x01, 0x0100, 0x0001, buffer, nullptr, 3, nullptr);
    EXPECT_EQ(urb.UrbHeader.Function, 0x001C);
    EXPECT_EQ(urb.UrbControlVendorClassRequest.Request, 0x01);
    EXPECT_EQ(urb.UrbControlVendorClassRequest.Value, 0x0100);
    EXPECT_EQ(urb.UrbControlVendorClassRequest.Index, 0x0001);
    EXPECT_EQ(urb.UrbControlVendorClassRequest.TransferFlags, 0u);
    EXPECT_EQ(urb.UrbControlVendorClassRequest.TransferBufferLength, 3u);

    UsbBuildInterruptOrBulkTransferRequest(&urb, 128, &urb, buffer, nullptr, 2, 3, nullptr);
    EXPECT_EQ(urb.UrbHeader.Function, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.TransferFlags, 3u);
    EXPECT_EQ(urb.UrbBulkOrInterruptTransfer.PipeHandle, &urb);
    // The 64-bit sizes the driver allocates by.
    EXPECT_EQ(GET_ISO_URB_SIZE(10), 140u + 120u);
    EXPECT_EQ(GET_SELECT_INTERFACE_REQUEST_SIZE(0), 56u);
    EXPECT_EQ(GET_USBD_INTERFACE_SIZE(3), 96u);
}
