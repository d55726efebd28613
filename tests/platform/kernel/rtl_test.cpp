// Strings, bounded formatting, debug output and the OS version switches.
#include <gtest/gtest.h>

#include "platform/kernel/emu.h"
#include "tests/common/emu_test.h"

TEST(Format, ConversionsMatchThePlatformsPrintf)
{
    char buf[128];
    void* p = reinterpret_cast<void*>(0x12ABull);
    ASSERT_EQ(RtlStringCbPrintfA(buf, sizeof(buf), "\\Callback\\CyclicControlAddr%p", p),
              STATUS_SUCCESS);
    EXPECT_STREQ(buf, "\\Callback\\CyclicControlAddr00000000000012AB");
    RtlStringCbPrintfA(buf, sizeof(buf), "%sOut%02d|%sIn%02d", "HP", 3, "Mic", 12);
    EXPECT_STREQ(buf, "HPOut03|MicIn12");
    RtlStringCbPrintfA(buf, sizeof(buf), "%d %u %x %X %5d|%-4d|%i %lld", -7, 4000000000u, 0xbeef,
                       0xbeef, 42, 3, INT32_MIN, -5000000000ll);
    EXPECT_STREQ(buf, "-7 4000000000 beef BEEF    42|3   |-2147483648 -5000000000");
    RtlStringCbPrintfA(buf, sizeof(buf), "%ws/%S/%hs/%c%%", u"wide", u"Wide", "narrow", 'z');
    EXPECT_STREQ(buf, "wide/Wide/narrow/z%");
    UNICODE_STRING us;
    RtlInitUnicodeString(&us, u"Counted");
    RtlStringCbPrintfA(buf, sizeof(buf), "[%wZ][%.3s][%s]", &us, "abcdef", (const char*)nullptr);
    EXPECT_STREQ(buf, "[Counted][abc][(null)]");

    WCHAR w[64];
    ASSERT_EQ(RtlStringCbPrintfW(w, sizeof(w), u"%s%02d_%2d_|%S", u"Unit", 5, 1, "ascii"),
              STATUS_SUCCESS);
    EXPECT_EQ(Narrow(w), "Unit05_ 1_|ascii");
}

TEST(Format, OutputIsBoundedAndTerminated)
{
    char small[8];
    memset(small, 'X', sizeof(small));
    EXPECT_EQ(RtlStringCbPrintfA(small, sizeof(small), "%s", "0123456789"), STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(small, "0123456");
    EXPECT_EQ(RtlStringCbPrintfA(small, 0, "%s", "x"), STATUS_INVALID_PARAMETER);
    WCHAR w[4];
    EXPECT_EQ(RtlStringCbPrintfW(w, sizeof(w), u"%d", 123456), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(Narrow(w), "123");
    // An odd byte count leaves room for whole characters only.
    EXPECT_EQ(RtlStringCbPrintfW(w, 5, u"ab"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(Narrow(w), "a");

    WCHAR d[6];
    EXPECT_EQ(RtlStringCbCopyW(d, sizeof(d), u"Hello"), STATUS_SUCCESS);
    EXPECT_EQ(RtlStringCbCatW(d, sizeof(d), u"!"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(Narrow(d), "Hello");
    size_t len = 99;
    EXPECT_EQ(RtlStringCbLengthW(d, sizeof(d), &len), STATUS_SUCCESS);
    EXPECT_EQ(len, 10u);
    WCHAR unterminated[3] = {u'a', u'b', u'c'};
    EXPECT_EQ(RtlStringCchLengthW(unterminated, 3, &len), STATUS_INVALID_PARAMETER);
}

TEST(Strings, CountedStringOperations)
{
    UNICODE_STRING a, b;
    RtlInitUnicodeString(&a, u"Speakers");
    EXPECT_EQ(a.Length, 16);
    EXPECT_EQ(a.MaximumLength, 18);
    RtlInitUnicodeString(&b, u"SPEAKERS");
    EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
    EXPECT_FALSE(RtlEqualUnicodeString(&a, &b, FALSE));
    EXPECT_GT(RtlCompareUnicodeString(&a, &b, FALSE), 0);
    UNICODE_STRING shorter;
    RtlInitUnicodeString(&shorter, u"Speak");
    EXPECT_GT(RtlCompareUnicodeString(&a, &shorter, TRUE), 0);
    EXPECT_EQ(RtlUpcaseUnicodeChar(u'q'), u'Q');
    EXPECT_EQ(RtlUpcaseUnicodeChar(0xE9), 0xC9);

    ANSI_STRING ansi;
    ASSERT_EQ(RtlUnicodeStringToAnsiString(&ansi, &a, TRUE), STATUS_SUCCESS);
    EXPECT_STREQ(ansi.Buffer, "Speakers");
    EXPECT_EQ(ansi.Length, 8);
    RtlFreeAnsiString(&ansi);

    char fixed[4];
    ANSI_STRING f{0, sizeof(fixed), fixed};
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&f, &a, FALSE), STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(fixed, "Spe");

    WCHAR storage[12];
    UNICODE_STRING dst{0, sizeof(storage), storage};
    EXPECT_EQ(RtlAppendUnicodeToString(&dst, u"Line"), STATUS_SUCCESS);
    EXPECT_EQ(RtlAppendUnicodeToString(&dst, u" In"), STATUS_SUCCESS);
    EXPECT_EQ(Narrow(dst), "Line In");
    EXPECT_EQ(RtlAppendUnicodeToString(&dst, u" too long"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Narrow(dst), "Line In");

    UNICODE_STRING num;
    RtlInitUnicodeString(&num, u"0x1F");
    ULONG v = 0;
    EXPECT_EQ(RtlUnicodeStringToInteger(&num, 0, &v), STATUS_SUCCESS);
    EXPECT_EQ(v, 31u);
}

TEST(Debug, DbgPrintIsCaptured)
{
    DbgPrint("%s Tag not PCM\n", "CDspInterleaveSrc::SetFormat");
    ASSERT_EQ(EmuDbgOutput().size(), 1u);
    EXPECT_EQ(EmuDbgOutput()[0], "CDspInterleaveSrc::SetFormat Tag not PCM\n");
    EmuDbgClear();
    EXPECT_TRUE(EmuDbgOutput().empty());
}

TEST(Version, SwitchablePerTest)
{
    ULONG major = 0, minor = 0, build = 0;
    PsGetVersion(&major, &minor, &build, nullptr);
    EXPECT_EQ(major, 10u);
    EXPECT_TRUE(RtlIsNtDdiVersionAvailable(NTDDI_VISTA));
    EmuSetOsVersion(5, 1, 2600, NTDDI_WINXP);
    PsGetVersion(&major, &minor, &build, nullptr);
    EXPECT_EQ(major, 5u);
    EXPECT_EQ(minor, 1u);
    EXPECT_EQ(build, 2600u);
    EXPECT_FALSE(RtlIsNtDdiVersionAvailable(NTDDI_VISTA));
    EXPECT_TRUE(RtlIsNtDdiVersionAvailable(NTDDI_WINXP));
}
