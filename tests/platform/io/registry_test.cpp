// The registry as a driver reads and writes it: statuses and sizes of the
// query classes, key creation rules, device keys.
#include <cstdio>
#include <unistd.h>

#include "tests/platform/io/io_fixture.h"

namespace
{
const std::u16string SERVICES = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services";

struct Key
{
    HANDLE Handle = nullptr;
    ~Key()
    {
        if (Handle != nullptr)
            ZwClose(Handle);
    }
};

NTSTATUS Open(const char16_t* path, HANDLE* handle, bool create = false,
              ULONG* disposition = nullptr, HANDLE root = nullptr)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, path);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
    return create ? ZwCreateKey(handle, KEY_ALL_ACCESS, &oa, 0, nullptr, 0, disposition)
                  : ZwOpenKey(handle, KEY_READ, &oa);
}

NTSTATUS Set(HANDLE key, const char16_t* name, ULONG type, const void* data, ULONG size)
{
    UNICODE_STRING n;
    RtlInitUnicodeString(&n, name);
    return ZwSetValueKey(key, &n, 0, type, const_cast<void*>(data), size);
}

NTSTATUS Query(HANDLE key, const char16_t* name, KEY_VALUE_INFORMATION_CLASS cls, void* buffer,
               ULONG length, ULONG* result)
{
    UNICODE_STRING n;
    RtlInitUnicodeString(&n, name);
    return ZwQueryValueKey(key, &n, cls, buffer, length, result);
}
} // namespace

TEST(RegistryTest, PartialInformationStatusesAndSizes)
{
    EmuRegistrySetBinary(SERVICES + u"\\lt\\Settings", u"Gain", {1, 2, 3, 4, 5, 6});
    Key k;
    ASSERT_EQ(
        Open(u"\\REGISTRY\\machine\\system\\CurrentControlSet\\services\\LT\\SETTINGS", &k.Handle),
        STATUS_SUCCESS);
    // Fixed part: title index, type, data length = 12 bytes; the data follows.
    alignas(8) UCHAR buffer[64];
    ULONG result = 0;
    memset(buffer, 0xAB, sizeof(buffer));
    EXPECT_EQ(Query(k.Handle, u"gain", KeyValuePartialInformation, buffer, 11, &result),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result, 18u);
    EXPECT_EQ(buffer[0], 0xAB); // nothing written
    EXPECT_EQ(Query(k.Handle, u"Gain", KeyValuePartialInformation, buffer, 12, &result),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(result, 18u);
    auto info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
    EXPECT_EQ(info->Type, (ULONG)REG_BINARY);
    EXPECT_EQ(info->DataLength, 6u);
    EXPECT_EQ(buffer[12], 0xAB); // no data on overflow
    EXPECT_EQ(Query(k.Handle, u"Gain", KeyValuePartialInformation, buffer, 17, &result),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(Query(k.Handle, u"Gain", KeyValuePartialInformation, buffer, 18, &result),
              STATUS_SUCCESS);
    EXPECT_EQ(result, 18u);
    const UCHAR data[6] = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(memcmp(info->Data, data, 6), 0);
    EXPECT_EQ(Query(k.Handle, u"Missing", KeyValuePartialInformation, buffer, 64, &result),
              STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST(RegistryTest, FullAndBasicInformationCarryTheName)
{
    Key k;
    ULONG disposition = 0;
    ASSERT_EQ(Open((SERVICES + u"\\lt").c_str(), &k.Handle, true, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, (ULONG)REG_CREATED_NEW_KEY);
    ULONG v = 0x11223344;
    ASSERT_EQ(Set(k.Handle, u"Rate", REG_DWORD, &v, 4), STATUS_SUCCESS);
    alignas(8) UCHAR buffer[64];
    ULONG result = 0;
    // Full: 20 fixed bytes, the 8-byte name, data at the next 4-byte boundary.
    EXPECT_EQ(Query(k.Handle, u"RATE", KeyValueFullInformation, buffer, 19, &result),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result, 32u);
    EXPECT_EQ(Query(k.Handle, u"RATE", KeyValueFullInformation, buffer, 31, &result),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(Query(k.Handle, u"RATE", KeyValueFullInformation, buffer, 32, &result),
              STATUS_SUCCESS);
    auto full = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(buffer);
    EXPECT_EQ(full->Type, (ULONG)REG_DWORD);
    EXPECT_EQ(full->NameLength, 8u);
    EXPECT_EQ(std::u16string(full->Name, 4), u"Rate"); // the stored spelling
    EXPECT_EQ(full->DataOffset, 28u);
    EXPECT_EQ(full->DataLength, 4u);
    ULONG stored;
    memcpy(&stored, buffer + full->DataOffset, 4);
    EXPECT_EQ(stored, 0x11223344u);
    EXPECT_EQ(Query(k.Handle, u"Rate", KeyValueBasicInformation, buffer, 20, &result),
              STATUS_SUCCESS);
    EXPECT_EQ(result, 20u);
    EXPECT_EQ(Query(k.Handle, u"Rate", KeyValueBasicInformation, buffer, 16, &result),
              STATUS_BUFFER_OVERFLOW);
}

TEST(RegistryTest, CreateMakesOnlyTheLastKeyAndOpenFindsAnyCase)
{
    Key a, b, c;
    ULONG disposition = 0;
    EXPECT_EQ(Open((SERVICES + u"\\x\\y").c_str(), &a.Handle, true, &disposition),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(a.Handle, nullptr);
    ASSERT_EQ(Open((SERVICES + u"\\X").c_str(), &a.Handle, true, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, (ULONG)REG_CREATED_NEW_KEY);
    ASSERT_EQ(Open((SERVICES + u"\\x").c_str(), &b.Handle, true, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, (ULONG)REG_OPENED_EXISTING_KEY);
    // Relative to an open key.
    ASSERT_EQ(Open(u"Sub", &c.Handle, true, &disposition, b.Handle), STATUS_SUCCESS);
    EXPECT_TRUE(EmuRegistryKeyExists(SERVICES + u"\\X\\sub"));
    HANDLE h = nullptr;
    EXPECT_EQ(Open(u"\\Sub", &h, false, nullptr, b.Handle), STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(Open(u"Registry\\Machine", &h), STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(Open(u"\\Registry\\\\Machine", &h), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(Open(u"\\Registry\\Machine\\Nothing", &h), STATUS_OBJECT_NAME_NOT_FOUND);
    // The basic information of a key is its own last name, as stored.
    alignas(8) UCHAR buffer[64];
    ULONG result = 0;
    EXPECT_EQ(ZwQueryKey(c.Handle, KeyBasicInformation, buffer, 15, &result),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result, 22u);
    EXPECT_EQ(ZwQueryKey(c.Handle, KeyBasicInformation, buffer, 18, &result),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(ZwQueryKey(c.Handle, KeyBasicInformation, buffer, sizeof(buffer), &result),
              STATUS_SUCCESS);
    auto info = reinterpret_cast<PKEY_BASIC_INFORMATION>(buffer);
    EXPECT_EQ(std::u16string(info->Name, info->NameLength / 2), u"Sub");
}

TEST(RegistryTest, ValuesAreReplacedDeletedAndCheckedForBadInput)
{
    Key k;
    ASSERT_EQ(Open((SERVICES + u"\\v").c_str(), &k.Handle, true), STATUS_SUCCESS);
    EXPECT_EQ(Set(k.Handle, u"A", REG_SZ, u"ab", 6), STATUS_SUCCESS);
    EXPECT_EQ(Set(k.Handle, u"a", REG_BINARY, "\x07", 1), STATUS_SUCCESS);
    ULONG type = 0;
    std::vector<UCHAR> data;
    ASSERT_TRUE(EmuRegistryGetValue(SERVICES + u"\\V", u"A", &type, &data));
    EXPECT_EQ(type, (ULONG)REG_BINARY);
    EXPECT_EQ(data, std::vector<UCHAR>{7});
    EXPECT_EQ(EmuRegistryValueNames(SERVICES + u"\\v").size(), 1u);
    EXPECT_EQ(Set(k.Handle, u"B", REG_BINARY, nullptr, 4), STATUS_INVALID_PARAMETER);
    UNICODE_STRING odd = {3, 4, const_cast<PWSTR>(u"ab")};
    EXPECT_EQ(ZwSetValueKey(k.Handle, &odd, 0, REG_DWORD, &type, 4), STATUS_INVALID_PARAMETER);
    UNICODE_STRING n;
    RtlInitUnicodeString(&n, u"A");
    EXPECT_EQ(ZwDeleteValueKey(k.Handle, &n), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteValueKey(k.Handle, &n), STATUS_OBJECT_NAME_NOT_FOUND);
    // A key deleted under an open handle.
    EXPECT_TRUE(EmuRegistryDeleteKey(SERVICES + u"\\v"));
    EXPECT_EQ(Set(k.Handle, u"C", REG_DWORD, &type, 4), STATUS_KEY_DELETED);
    // A handle of another type.
    PEPROCESS p = EmuCreateProcess(false);
    HANDLE ev = nullptr;
    ASSERT_EQ(EmuCreateUserEvent(p, NotificationEvent, FALSE, &ev), STATUS_SUCCESS);
    ULONG result;
    EmuRunInProcess(
        p,
        [](void* c)
        {
            ULONG r;
            EXPECT_EQ(ZwQueryKey(*(HANDLE*)c, KeyBasicInformation, nullptr, 0, &r),
                      STATUS_OBJECT_TYPE_MISMATCH);
        },
        &ev);
    EXPECT_EQ(ZwQueryKey((HANDLE)0x7777, KeyBasicInformation, nullptr, 0, &result),
              STATUS_INVALID_HANDLE);
    EXPECT_EQ(EmuCloseUserHandle(p, ev), STATUS_SUCCESS);
    EmuDeleteProcess(p);
}

TEST(RegistryTest, DeviceKeysOfAPhysicalDevice)
{
    TestStack s(2);
    // The hardware profile's device key is the instance key: its own name is
    // the instance name; the plain device key is "Device Parameters".
    HANDLE h = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(s.Bottom(),
                                      PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_CURRENT_HWPROFILE,
                                      KEY_ALL_ACCESS, &h),
              STATUS_SUCCESS);
    alignas(8) UCHAR buffer[128];
    ULONG result = 0;
    ASSERT_EQ(ZwQueryKey(h, KeyBasicInformation, buffer, sizeof(buffer), &result), STATUS_SUCCESS);
    auto info = reinterpret_cast<PKEY_BASIC_INFORMATION>(buffer);
    EXPECT_EQ(std::u16string(info->Name, info->NameLength / 2), u"7&2a1b&0&2");
    ZwClose(h);
    ASSERT_EQ(IoOpenDeviceRegistryKey(s.Bottom(), PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &h),
              STATUS_SUCCESS);
    ULONG one = 1;
    EXPECT_EQ(Set(h, u"SelectiveSuspendEnabled", REG_DWORD, &one, 4), STATUS_SUCCESS);
    ZwClose(h);
    EXPECT_TRUE(EmuRegistryGetValue(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\USB\\"
                                    u"VID_4C54&PID_1001\\7&2a1b&0&2\\Device Parameters",
                                    u"SelectiveSuspendEnabled", nullptr, nullptr));
    ASSERT_EQ(IoOpenDeviceRegistryKey(s.Bottom(), PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &h),
              STATUS_SUCCESS);
    ASSERT_EQ(ZwQueryKey(h, KeyBasicInformation, buffer, sizeof(buffer), &result), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(info->Name, info->NameLength / 2), u"0000");
    ZwClose(h);
    EXPECT_EQ(IoOpenDeviceRegistryKey(s.Top(), PLUGPLAY_REGKEY_DEVICE, KEY_READ, &h),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(IoOpenDeviceRegistryKey(s.Bottom(), PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_DRIVER,
                                      KEY_READ, &h),
              STATUS_INVALID_PARAMETER);
}

TEST(RegistryTest, TheTreeSurvivesSaveAndLoad)
{
    EmuRegistrySetMultiSz(SERVICES + u"\\saved", u"Ids", {u"A", u"Bc"});
    EmuRegistrySetDword(SERVICES + u"\\saved\\deeper", u"", 9);
    char path[] = "/tmp/lt_reg_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    ASSERT_TRUE(EmuRegistrySave(path));
    EXPECT_TRUE(EmuRegistryDeleteKey(SERVICES + u"\\saved"));
    ASSERT_TRUE(EmuRegistryLoad(path));
    ULONG type = 0;
    std::vector<UCHAR> data;
    ASSERT_TRUE(EmuRegistryGetValue(SERVICES + u"\\saved", u"ids", &type, &data));
    EXPECT_EQ(type, (ULONG)REG_MULTI_SZ);
    const char16_t multi[] = u"A\0Bc\0";
    EXPECT_EQ(data.size(), sizeof(multi));
    EXPECT_EQ(memcmp(data.data(), multi, sizeof(multi)), 0);
    ASSERT_TRUE(EmuRegistryGetValue(SERVICES + u"\\saved\\deeper", u"", &type, &data));
    EXPECT_EQ(data, (std::vector<UCHAR>{9, 0, 0, 0}));
    // A damaged file changes nothing.
    FILE* f = fopen(path, "a");
    fputs("V zz 1 00\n", f);
    fclose(f);
    EmuRegistrySetDword(SERVICES + u"\\after", u"x", 1);
    EXPECT_FALSE(EmuRegistryLoad(path));
    EXPECT_TRUE(EmuRegistryKeyExists(SERVICES + u"\\after"));
    unlink(path);
}
