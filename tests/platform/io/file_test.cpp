// Files under "\SystemRoot\", read one request at a time at explicit offsets.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "tests/platform/io/io_fixture.h"

namespace
{
class FileTest : public testing::Test
{
  protected:
    void SetUp() override
    {
        char dir[] = "/tmp/lt_root_XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        m_Root = dir;
        mkdir((m_Root + "/Inf").c_str(), 0755);
        Write("/VESTRA.INI", "[VERSION]\r\nVer=0x0A\r\n");
        Write("/Inf/Deep.txt", "x");
        EmuSetSystemRoot(m_Root);
    }
    void TearDown() override
    {
        unlink((m_Root + "/VESTRA.INI").c_str());
        unlink((m_Root + "/Inf/Deep.txt").c_str());
        rmdir((m_Root + "/Inf").c_str());
        rmdir(m_Root.c_str());
    }
    void Write(const std::string& name, const std::string& text)
    {
        FILE* f = fopen((m_Root + name).c_str(), "wb");
        fwrite(text.data(), 1, text.size(), f);
        fclose(f);
    }
    std::string m_Root;
};

NTSTATUS Open(const char16_t* path, HANDLE* handle, ACCESS_MASK access = GENERIC_READ,
              ULONG disposition = FILE_OPEN, IO_STATUS_BLOCK* iosbOut = nullptr)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, path);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                               nullptr);
    IO_STATUS_BLOCK iosb{};
    NTSTATUS status = ZwCreateFile(
        handle, access, &oa, &iosb, nullptr, FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, disposition,
        FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, nullptr, 0);
    if (iosbOut != nullptr)
        *iosbOut = iosb;
    return status;
}

NTSTATUS ReadAt(HANDLE h, LONGLONG offset, void* buffer, ULONG length, ULONG_PTR* got)
{
    IO_STATUS_BLOCK iosb{};
    iosb.Information = 0xDEAD;
    LARGE_INTEGER at;
    at.QuadPart = offset;
    NTSTATUS status = ZwReadFile(h, nullptr, nullptr, nullptr, &iosb, buffer, length, &at, nullptr);
    *got = iosb.Information;
    return status;
}
} // namespace

TEST_F(FileTest, ByteByByteToTheEndOfTheFile)
{
    HANDLE h = nullptr;
    IO_STATUS_BLOCK iosb{};
    ASSERT_EQ(Open(u"\\SystemRoot\\vestra.ini", &h, GENERIC_READ, FILE_OPEN, &iosb),
              STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, (ULONG_PTR)FILE_OPENED);
    const std::string expected = "[VERSION]\r\nVer=0x0A\r\n";
    std::string text;
    ULONG_PTR got = 0;
    for (LONGLONG offset = 0;; ++offset)
    {
        char c = 0;
        NTSTATUS status = ReadAt(h, offset, &c, 1, &got);
        if (status == STATUS_END_OF_FILE)
        {
            EXPECT_EQ(got, 0u);
            EXPECT_EQ(offset, (LONGLONG)expected.size());
            break;
        }
        ASSERT_EQ(status, STATUS_SUCCESS);
        ASSERT_EQ(got, 1u);
        text += c;
    }
    EXPECT_EQ(text, expected);
    // A read across the end gives what is there.
    char tail[16] = {};
    EXPECT_EQ(ReadAt(h, 17, tail, sizeof(tail), &got), STATUS_SUCCESS);
    EXPECT_EQ(got, 4u);
    EXPECT_EQ(std::string(tail, 4), "0A\r\n");
    EXPECT_EQ(ReadAt(h, 1000, tail, 1, &got), STATUS_END_OF_FILE);
    EXPECT_EQ(ReadAt(h, -1, tail, 1, &got), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
}

TEST_F(FileTest, NamesAreFoundIgnoringCaseAndStayInsideTheRoot)
{
    HANDLE h = nullptr;
    ASSERT_EQ(Open(u"\\SYSTEMROOT\\inf\\DEEP.TXT", &h), STATUS_SUCCESS);
    ZwClose(h);
    EXPECT_EQ(Open(u"\\SystemRoot\\none.ini", &h), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Open(u"\\SystemRoot\\nodir\\x.ini", &h), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(Open(u"\\SystemRoot\\..\\etc\\passwd", &h), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(Open(u"\\SystemRoot\\Inf\\\\Deep.txt", &h), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(Open(u"\\SystemRoot\\Inf", &h), STATUS_FILE_IS_A_DIRECTORY);
    EXPECT_EQ(Open(u"\\??\\C:\\Windows\\VESTRA.INI", &h), STATUS_OBJECT_PATH_NOT_FOUND);
    // The root is read-only.
    EXPECT_EQ(Open(u"\\SystemRoot\\VESTRA.INI", &h, GENERIC_WRITE), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Open(u"\\SystemRoot\\VESTRA.INI", &h, GENERIC_READ, FILE_OVERWRITE_IF),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(h, nullptr);
    EmuSetSystemRoot("");
    EXPECT_EQ(Open(u"\\SystemRoot\\VESTRA.INI", &h), STATUS_OBJECT_PATH_NOT_FOUND);
}

TEST_F(FileTest, ReadsNeedReadAccessAndAFileHandle)
{
    HANDLE h = nullptr;
    ASSERT_EQ(Open(u"\\SystemRoot\\VESTRA.INI", &h, FILE_READ_ATTRIBUTES), STATUS_SUCCESS);
    char c;
    ULONG_PTR got;
    EXPECT_EQ(ReadAt(h, 0, &c, 1, &got), STATUS_ACCESS_DENIED);
    ZwClose(h);
    // A key handle is not a file.
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Registry\\Machine");
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    ASSERT_EQ(ZwOpenKey(&h, KEY_READ, &oa), STATUS_SUCCESS);
    EXPECT_EQ(ReadAt(h, 0, &c, 1, &got), STATUS_OBJECT_TYPE_MISMATCH);
    ZwClose(h);
    EXPECT_EQ(ReadAt(h, 0, &c, 1, &got), STATUS_INVALID_HANDLE);
}
