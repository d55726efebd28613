#include <gtest/gtest.h>

#include <new>
#include <random>
#include <string>

#include "framework/ini_file.h"
#include "framework/registry_settings.h"
#include "platform/kernel/emu.h"
#include "tests/framework/settings_rig.h"

namespace
{
const char c_Hwid[] = "USB\\VID_4C54&PID_1001&REV_0100";

std::string Lines(std::initializer_list<std::string> lines)
{
    std::string out;
    for (const std::string& l : lines)
        out += l + "\r\n";
    return out;
}

// Version section, LINTRA line for this device and whatever follows.
std::string WithDevice(const std::string& deviceLine, const std::string& rest)
{
    return Lines({"[VERSION]", "Ver=0x0A", "[LINTRA]", deviceLine}) + rest;
}

struct IniRun
{
    NTSTATUS Build = STATUS_UNSUCCESSFUL;
    ULONG Version = 0;
    NTSTATUS Open = STATUS_UNSUCCESSFUL;
    std::u16string Path;
    std::string Key;
    std::string Section;
};

// Init's calling order: constructor in a zero-filled "PINI" block, path,
// version, then open and import, destructor.
IniRun RunIni(SettingsRig& rig, bool import = true)
{
    IniRun r;
    void* mem = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(CIniFile), INI_OBJECT_POOL_TAG);
    EXPECT_NE(mem, nullptr);
    if (mem == nullptr)
        return r;
    memset(mem, 0, sizeof(CIniFile));
    auto* ini = new (mem) CIniFile(rig.Fdo());
    r.Build = ini->IniBuildPath();
    r.Path = ini->GetPath();
    r.Key = ini->GetHardwareIdKey();
    r.Version = ini->IniReadVersion();
    if (import)
    {
        r.Open = ini->IniOpen();
        r.Section = ini->GetDeviceSectionName();
        if (NT_SUCCESS(r.Open))
        {
            EXPECT_EQ(ini->IniReadAll(), STATUS_SUCCESS);
        }
    }
    ini->~CIniFile();
    ExFreePoolWithTag(mem, INI_OBJECT_POOL_TAG);
    return r;
}

ULONG VersionOf(const std::string& file)
{
    SettingsRig rig;
    EXPECT_TRUE(rig.Ok());
    rig.WriteFile("VESTRA.INI", file);
    return RunIni(rig, false).Version;
}

std::vector<UCHAR> Le32(ULONG v)
{
    return Bytes({int(v & 0xFF), int((v >> 8) & 0xFF), int((v >> 16) & 0xFF), int(v >> 24)});
}
} // namespace

TEST(IniFile, ParseNumber)
{
    struct Case
    {
        const char* Token;
        ULONG Value;
    } cases[] = {
        {"0x0A", 10},
        {"0XfF", 255},
        {"0x", 0},
        {"0X", 0},
        {"0x1", 1},
        {"0x10", 16},
        {"0xFFFFFFFF", 0xFFFFFFFFu},
        {"0x100000001", 1},              // wraps
        {"0x1G", 1 * 16 + ('G' - 0x37)}, // any other character counts code - 0x37
        {"0xg", (ULONG)('g' - 0x37)},
        {"300", 300},
        {"007", 7},
        {"4294967295", 0xFFFFFFFFu},
        {"4294967296", 0},                       // wraps
        {"12a", 1 * 100 + 2 * 10 + ('a' - '0')}, // any character counts code - '0'
        {"1-", 10 + (ULONG)('-' - '0')},
        {"abc", 0},
        {"-5", 0},
        {"", 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CIniFile::IniParseNumber(c.Token, (ULONG)strlen(c.Token)), c.Value) << c.Token;
    // Only the given length is read.
    EXPECT_EQ(CIniFile::IniParseNumber("12345", 2), 12u);
    EXPECT_EQ(CIniFile::IniParseNumber(nullptr, 4), 0u);
}

TEST(IniFile, VersionExamples)
{
    EXPECT_EQ(VersionOf(Lines({"[VERSION]", "Ver=0x0A"})), 10u);
    EXPECT_EQ(VersionOf(Lines({"[VERSION]", "; shipped with the product", "X=7"})), 7u);
    // Decimal, blanks around the equals sign, several bytes, a comment.
    EXPECT_EQ(VersionOf(Lines({"[VERSION]", "  Version = 300 ; build"})), 300u);
    EXPECT_EQ(VersionOf(Lines({"[VERSION]", "V = 0x01 0x02"})), 0x0201u);
    EXPECT_EQ(VersionOf(Lines({"[VERSION]", "V = 0x01,0x0203"})), 0x00020301u);
    EXPECT_EQ(VersionOf(Lines({"[VERSION]", "V=0x1G"})), 0x20u);
    // The header is compared as a prefix, case-sensitively.
    EXPECT_EQ(VersionOf(Lines({"[VERSION] 2024", "V=3"})), 3u);
    EXPECT_EQ(VersionOf(Lines({"[version]", "V=3"})), 0u);
    EXPECT_EQ(VersionOf(Lines({"[LINTRA]", "V=3", "[VERSION]", "", "V=4"})), 4u);
}

TEST(IniFile, VersionMissingOrUnusable)
{
    {
        SettingsRig rig; // no file at all
        ASSERT_TRUE(rig.Ok());
        IniRun r = RunIni(rig);
        EXPECT_EQ(r.Version, 0u);
        EXPECT_FALSE(NT_SUCCESS(r.Open));
    }
    EXPECT_EQ(VersionOf(""), 0u);
    EXPECT_EQ(VersionOf(Lines({"[LINTRA]", "V=3"})), 0u);
    // The next header ends the search.
    EXPECT_EQ(VersionOf(Lines({"[VERSION]", "; none", "[LINTRA]", "V=3"})), 0u);
    // Lines that do not parse are passed over.
    EXPECT_EQ(VersionOf(Lines({"[VERSION]", "no equals sign", "V=5"})), 5u);
    EXPECT_EQ(VersionOf(Lines({"[VERSION]", std::string(20, 'N') + "=1", "V=6"})), 6u);
    EXPECT_EQ(VersionOf(Lines({"[VERSION]", "V=" + std::string(20, '1'), "V=8"})), 8u);
    // 1024 value bytes are accepted, 1028 are not.
    std::string ok = "V=0x05";
    for (int i = 1; i < 256; ++i)
        ok += ",1";
    ok += ",0x01,0x01,0x01";
    EXPECT_EQ(VersionOf(Lines({"[VERSION]", ok})), 0x105u);
    std::string tooMany = "V=0x05";
    for (int i = 1; i < 257; ++i)
        tooMany += ",1";
    EXPECT_EQ(VersionOf(Lines({"[VERSION]", tooMany, "V=9"})), 9u);
}

TEST(IniFile, EndOfFileEndsTheLastLine)
{
    // No carriage return after the last line: still read.
    EXPECT_EQ(VersionOf("[VERSION]\r\nV=9"), 9u);
    EXPECT_EQ(VersionOf("[VERSION]"), 0u);
    // Lines that end with a line feed alone make one long line: the header
    // line still begins with the header, but no entry follows it.
    EXPECT_EQ(VersionOf("[VERSION]\nV=1\n"), 0u);
    // The byte after a carriage return is skipped whatever it is: here the
    // semicolon that would make the next line a comment.
    EXPECT_EQ(VersionOf("[VERSION]\r;V=2\r\n"), 2u);
    EXPECT_EQ(VersionOf("[VERSION]\r\nV=0x0B\r"), 11u);
}

TEST(IniFile, PathAndHardwareIdKey)
{
    {
        SettingsRig rig({u"usb\\vid_4c54&pid_1001&rev_0100", u"usb\\vid_4c54&pid_1001"});
        ASSERT_TRUE(rig.Ok());
        IniRun r = RunIni(rig, false);
        EXPECT_EQ(r.Build, STATUS_SUCCESS);
        EXPECT_EQ(r.Path, u"\\SystemRoot\\VESTRA.INI");
        EXPECT_EQ(r.Key, c_Hwid);
    }
    {
        // "ModuleName" names another file, as raw UTF-16 bytes.
        SettingsRig rig;
        ASSERT_TRUE(rig.Ok());
        std::vector<UCHAR> name = WideBytes(u"OEM.INI", true);
        EmuRegistrySetValue(rig.SettingsPath(), u"ModuleName", REG_BINARY, name.data(),
                            (ULONG)name.size());
        rig.WriteFile("VESTRA.INI", Lines({"[VERSION]", "V=1"}));
        rig.WriteFile("OEM.INI", Lines({"[VERSION]", "V=2"}));
        IniRun r = RunIni(rig, false);
        EXPECT_EQ(r.Path, u"\\SystemRoot\\OEM.INI");
        EXPECT_EQ(r.Version, 2u);
    }
    {
        // A full 100-byte name without a terminator, and a path that would
        // not fit: nothing is opened rather than a cut name.
        SettingsRig rig;
        ASSERT_TRUE(rig.Ok());
        std::vector<UCHAR> name = WideBytes(std::u16string(50, u'A'), false);
        EmuRegistrySetValue(rig.SettingsPath(), u"ModuleName", REG_BINARY, name.data(),
                            (ULONG)name.size());
        rig.WriteFile(std::string(37, 'A'), Lines({"[VERSION]", "V=1"}));
        IniRun r = RunIni(rig);
        EXPECT_EQ(r.Path, u"");
        EXPECT_EQ(r.Version, 0u);
        EXPECT_FALSE(NT_SUCCESS(r.Open));
    }
    {
        // The longest name that fits: 12 + 37 characters.
        SettingsRig rig;
        ASSERT_TRUE(rig.Ok());
        std::vector<UCHAR> name = WideBytes(std::u16string(37, u'B'), true);
        EmuRegistrySetValue(rig.SettingsPath(), u"ModuleName", REG_BINARY, name.data(),
                            (ULONG)name.size());
        rig.WriteFile(std::string(37, 'B'), Lines({"[VERSION]", "V=4"}));
        IniRun r = RunIni(rig, false);
        EXPECT_EQ(r.Version, 4u);
    }
}

TEST(IniFile, BuildPathFailures)
{
    {
        // Hardware IDs that do not fit the 1000-byte buffer: the failure is
        // returned, the path is still built, and no key means no import.
        SettingsRig rig({std::u16string(600, u'X')});
        ASSERT_TRUE(rig.Ok());
        rig.WriteFile("VESTRA.INI",
                      WithDevice(std::string(600, 'X') + "=DevA", Lines({"[DevA]", "A=1"})));
        IniRun r = RunIni(rig);
        EXPECT_EQ(r.Build, STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(r.Version, 10u);
        EXPECT_FALSE(NT_SUCCESS(r.Open));
        ULONG type;
        std::vector<UCHAR> data;
        EXPECT_FALSE(rig.Value(u"", u"A", &type, &data));
    }
    {
        SettingsRig rig;
        ASSERT_TRUE(rig.Ok());
        for (ULONG skip : {0u, 1u})
        {
            EmuPoolInjectFailure(POOL_TAG(" INI"), skip, 1);
            IniRun r = RunIni(rig, false);
            EmuPoolClearInjection();
            EXPECT_EQ(r.Build, STATUS_INSUFFICIENT_RESOURCES) << skip;
            EXPECT_EQ(r.Version, 0u);
        }
        EXPECT_EQ(EmuPoolOutstandingCount(POOL_TAG(" INI")), 0u);
    }
    {
        // The key is cut at 99 characters.
        SettingsRig rig({std::u16string(120, u'k')});
        ASSERT_TRUE(rig.Ok());
        IniRun r = RunIni(rig, false);
        EXPECT_EQ(r.Key, std::string(99, 'K'));
    }
}

TEST(IniFile, DeviceLineInLintra)
{
    // Any letter case of the whole first hardware ID.
    {
        SettingsRig rig;
        ASSERT_TRUE(rig.Ok());
        rig.WriteFile("VESTRA.INI", WithDevice("usb\\vid_4c54&pid_1001&rev_0100 = DevA",
                                               Lines({"[DevA]", "A=1"})));
        IniRun r = RunIni(rig);
        EXPECT_EQ(r.Version, 10u);
        EXPECT_EQ(r.Open, STATUS_SUCCESS);
        EXPECT_EQ(r.Section, "DevA");
        ULONG type = 0;
        std::vector<UCHAR> data;
        ASSERT_TRUE(rig.Value(u"", u"A", &type, &data));
        EXPECT_EQ(type, (ULONG)REG_BINARY);
        EXPECT_EQ(data, Le32(1));
    }
    // A line without the revision part does not match a first ID that has
    // one; nor does a longer ID that merely begins with ours. The real line
    // after them does.
    {
        SettingsRig rig;
        ASSERT_TRUE(rig.Ok());
        rig.WriteFile("VESTRA.INI",
                      Lines({"[VERSION]", "V=1", "[LINTRA]", "USB\\VID_4C54&PID_1001=DevB",
                             std::string(c_Hwid) + "0=DevC", std::string(c_Hwid) + "\t=\tDevA;x",
                             "[DevB]", "B=1", "[DevC]", "C=1", "[DevA]", "A=2"}));
        IniRun r = RunIni(rig);
        EXPECT_EQ(r.Open, STATUS_SUCCESS);
        EXPECT_EQ(r.Section, "DevA");
        ULONG type = 0;
        std::vector<UCHAR> data;
        EXPECT_FALSE(rig.Value(u"", u"B", &type, &data));
        EXPECT_FALSE(rig.Value(u"", u"C", &type, &data));
        ASSERT_TRUE(rig.Value(u"", u"A", &type, &data));
        EXPECT_EQ(data, Le32(2));
    }
    // No line for the device, or the section ends first: the open fails.
    for (const std::string& file :
         {Lines({"[VERSION]", "V=1", "[LINTRA]", "USB\\VID_4C54&PID_2222=DevA", "[DevA]", "A=1"}),
          Lines({"[VERSION]", "V=1", "[LINTRA]", "[X]", std::string(c_Hwid) + "=DevA"}),
          Lines({"[VERSION]", "V=1", std::string(c_Hwid) + "=DevA"}),
          Lines({"[VERSION]", "V=1", "[LINTRA]", c_Hwid, "[DevA]", "A=1"})})
    {
        SettingsRig rig;
        ASSERT_TRUE(rig.Ok());
        rig.WriteFile("VESTRA.INI", file);
        IniRun r = RunIni(rig);
        EXPECT_EQ(r.Open, STATUS_UNSUCCESSFUL);
        ULONG type = 0;
        std::vector<UCHAR> data;
        EXPECT_FALSE(rig.Value(u"", u"A", &type, &data));
    }
}

TEST(IniFile, SectionNameLimits)
{
    // 49 characters are taken; 50 would be cut into another name: refused.
    for (int length : {49, 50})
    {
        SettingsRig rig;
        ASSERT_TRUE(rig.Ok());
        std::string name(length, 'S');
        rig.WriteFile("VESTRA.INI", WithDevice(std::string(c_Hwid) + "=" + name,
                                               Lines({"[" + name.substr(0, 49) + "]", "A=1"})));
        IniRun r = RunIni(rig);
        ULONG type = 0;
        std::vector<UCHAR> data;
        if (length == 49)
        {
            EXPECT_EQ(r.Open, STATUS_SUCCESS);
            EXPECT_TRUE(rig.Value(u"", u"A", &type, &data));
        }
        else
        {
            EXPECT_EQ(r.Open, STATUS_UNSUCCESSFUL);
            EXPECT_FALSE(rig.Value(u"", u"A", &type, &data));
        }
    }
    // An empty section name finds no section.
    SettingsRig rig;
    ASSERT_TRUE(rig.Ok());
    rig.WriteFile("VESTRA.INI", WithDevice(std::string(c_Hwid) + "= ;none", Lines({"[]", "A=1"})));
    IniRun r = RunIni(rig);
    EXPECT_EQ(r.Open, STATUS_SUCCESS);
    EXPECT_EQ(r.Section, "");
    ULONG type = 0;
    std::vector<UCHAR> data;
    EXPECT_FALSE(rig.Value(u"", u"A", &type, &data));
}

TEST(IniFile, ValueExamples)
{
    SettingsRig rig;
    ASSERT_TRUE(rig.Ok());
    rig.WriteFile("VESTRA.INI",
                  WithDevice(std::string(c_Hwid) + "=DevA",
                             Lines({"[DevA:Mixer]", "Gain = 0x10, 300", "Name = Line In"})));
    IniRun r = RunIni(rig);
    ASSERT_EQ(r.Open, STATUS_SUCCESS);
    ULONG type = 0;
    std::vector<UCHAR> data;
    ASSERT_TRUE(rig.Value(u"Mixer", u"Gain", &type, &data));
    EXPECT_EQ(type, (ULONG)REG_BINARY);
    EXPECT_EQ(data, Bytes({0x10, 0x2C, 0x01, 0x00, 0x00}));
    ASSERT_TRUE(rig.Value(u"Mixer", u"Name", &type, &data));
    EXPECT_EQ(type, (ULONG)REG_SZ);
    EXPECT_EQ(data.size(), 12u);
    EXPECT_EQ(data, WideBytes(u"LineIn", false));
    EXPECT_FALSE(rig.Value(u"", u"Gain", &type, &data));
}

TEST(IniFile, ValueTokens)
{
    SettingsRig rig;
    ASSERT_TRUE(rig.Ok());
    std::string text79(79, 't');
    std::string text80(80, 't');
    std::string text512;
    for (int i = 0; i < 8; ++i)
        text512 += std::string(64, 'a' + i) + " ";
    std::string text520 = text512 + "abcdefgh";
    std::string n256, n257;
    for (int i = 0; i < 256; ++i)
        n256 += "1,";
    n257 = n256 + "2";
    // Each line in a block of its own: a line that fails ends its block.
    std::string blocks;
    for (const std::string& line :
         {std::string("Comment = 1 ; 2 3"), std::string("Trailing = 5 \t"), std::string("Empty ="),
          std::string("Tabs\t=\t0x7F\t0x80"), std::string("Mixed = 1 ab"), "Long79 = " + text79,
          "Long80 = " + text80, "Text1024 = " + text512, "Text1040 = " + text520,
          "Num1024 = " + n256, "Num1028 = " + n257, std::string("After = 1")})
        blocks += Lines({"[DevA]", line});
    rig.WriteFile("VESTRA.INI", WithDevice(std::string(c_Hwid) + "=DevA", blocks));
    IniRun r = RunIni(rig);
    ASSERT_EQ(r.Open, STATUS_SUCCESS);
    ULONG type = 0;
    std::vector<UCHAR> data;
    ASSERT_TRUE(rig.Value(u"", u"Comment", &type, &data));
    EXPECT_EQ(data, Le32(1));
    // A blank after the last token adds nothing and keeps the binary type.
    ASSERT_TRUE(rig.Value(u"", u"Trailing", &type, &data));
    EXPECT_EQ(type, (ULONG)REG_BINARY);
    EXPECT_EQ(data, Le32(5));
    // No token: an empty text.
    ASSERT_TRUE(rig.Value(u"", u"Empty", &type, &data));
    EXPECT_EQ(type, (ULONG)REG_SZ);
    EXPECT_TRUE(data.empty());
    ASSERT_TRUE(rig.Value(u"", u"Tabs", &type, &data));
    EXPECT_EQ(data, Bytes({0x7F, 0x80}));
    // Text and numbers on one line are kept in order; the last token's type.
    ASSERT_TRUE(rig.Value(u"", u"Mixed", &type, &data));
    EXPECT_EQ(type, (ULONG)REG_SZ);
    EXPECT_EQ(data, Bytes({1, 0, 0, 0, 'a', 0, 'b', 0}));
    ASSERT_TRUE(rig.Value(u"", u"Long79", &type, &data));
    EXPECT_EQ(data.size(), 158u);
    EXPECT_FALSE(rig.Value(u"", u"Long80", &type, &data));
    ASSERT_TRUE(rig.Value(u"", u"Text1024", &type, &data));
    EXPECT_EQ(data.size(), 1024u);
    EXPECT_FALSE(rig.Value(u"", u"Text1040", &type, &data));
    ASSERT_TRUE(rig.Value(u"", u"Num1024", &type, &data));
    EXPECT_EQ(data.size(), 1024u);
    EXPECT_EQ(type, (ULONG)REG_BINARY);
    EXPECT_FALSE(rig.Value(u"", u"Num1028", &type, &data));
    EXPECT_TRUE(rig.Value(u"", u"After", &type, &data));
}

TEST(IniFile, NameLimitsOfValueLines)
{
    SettingsRig rig;
    ASSERT_TRUE(rig.Ok());
    rig.WriteFile("VESTRA.INI", WithDevice(std::string(c_Hwid) + "=DevA",
                                           Lines({"[DevA]", std::string(127, 'V') + " = 1",
                                                  "[DevA]", std::string(128, 'W') + " = 2",
                                                  "[DevA]", "NoEquals 5", "[DevA]", "After = 3"})));
    IniRun r = RunIni(rig);
    ASSERT_EQ(r.Open, STATUS_SUCCESS);
    ULONG type = 0;
    std::vector<UCHAR> data;
    EXPECT_TRUE(rig.Value(u"", std::u16string(127, u'V'), &type, &data));
    EXPECT_EQ(EmuRegistryValueNames(rig.SettingsPath()).size(), 2u);
    ASSERT_TRUE(rig.Value(u"", u"After", &type, &data));
    EXPECT_EQ(data, Le32(3));
}

TEST(IniFile, BlocksOfTheDeviceSection)
{
    SettingsRig rig;
    ASSERT_TRUE(rig.Ok());
    // One section of the name before "LINTRA" (never seen), then after the
    // device's line one without and one with a subkey; a blank line ends a
    // block, and a comment line likewise.
    rig.WriteFile("VESTRA.INI",
                  Lines({"[DevA]", "Early=1", "[VERSION]", "V=3", "[LINTRA]",
                         std::string(c_Hwid) + "=DevA", "[Other]", "O=1", "[DevA]", "A=1", "",
                         "B=2", "C=3", "[DevA:Sub]", "D=4", "; comment", "E=5", "[DevA]", "F=6"}));
    IniRun r = RunIni(rig);
    ASSERT_EQ(r.Version, 3u);
    ASSERT_EQ(r.Open, STATUS_SUCCESS);
    ULONG type = 0;
    std::vector<UCHAR> data;
    EXPECT_FALSE(rig.Value(u"", u"Early", &type, &data));
    EXPECT_FALSE(rig.Value(u"", u"O", &type, &data));
    EXPECT_TRUE(rig.Value(u"", u"A", &type, &data));
    EXPECT_FALSE(rig.Value(u"", u"B", &type, &data));
    EXPECT_FALSE(rig.Value(u"", u"C", &type, &data));
    EXPECT_TRUE(rig.Value(u"Sub", u"D", &type, &data));
    EXPECT_FALSE(rig.Value(u"Sub", u"E", &type, &data));
    EXPECT_FALSE(rig.Value(u"", u"E", &type, &data));
    ASSERT_TRUE(rig.Value(u"", u"F", &type, &data));
    EXPECT_EQ(data, Le32(6));
    // "IniVersion" is not the reader's to write.
    EXPECT_FALSE(rig.Value(u"", u"IniVersion", &type, &data));
}

TEST(IniFile, SubkeyHeaders)
{
    SettingsRig rig;
    ASSERT_TRUE(rig.Ok());
    std::string sub79(79, 'k');
    std::string sub80(80, 'm');
    rig.WriteFile("VESTRA.INI",
                  WithDevice(std::string(c_Hwid) + "=DevA",
                             Lines({"[DevA:" + sub79 + "]", "A=1", "[DevA:" + sub80 + "]", "B=2",
                                    "[DevA:Tone] trailing", "C=3", "[DevAB]", "D=4", "[DevA", "E=5",
                                    "[DevA:]", "F=6"})));
    IniRun r = RunIni(rig);
    ASSERT_EQ(r.Open, STATUS_SUCCESS);
    ULONG type = 0;
    std::vector<UCHAR> data;
    EXPECT_TRUE(rig.Value(std::u16string(79, u'k'), u"A", &type, &data));
    // A subkey that does not fit is skipped with its block, never misfiled.
    EXPECT_FALSE(rig.Value(u"", u"B", &type, &data));
    EXPECT_EQ(EmuRegistrySubkeys(rig.SettingsPath()).size(), 2u);
    EXPECT_TRUE(rig.Value(u"Tone", u"C", &type, &data));
    EXPECT_FALSE(rig.Value(u"", u"D", &type, &data));
    EXPECT_FALSE(rig.Value(u"", u"E", &type, &data));
    // An empty subkey puts the values directly under "Settings".
    EXPECT_TRUE(rig.Value(u"", u"F", &type, &data));
}

TEST(IniFile, LongLinesAreCutAfter4097Bytes)
{
    SettingsRig rig;
    ASSERT_TRUE(rig.Ok());
    // 4097 bytes make one line; the header right after them is read as the
    // next line (its own block starts there).
    rig.WriteFile("VESTRA.INI",
                  WithDevice(std::string(c_Hwid) + "=DevA",
                             Lines({"[DevA]", "A=1", std::string(4097, 'Z') + "[DevA]", "Q=5",
                                    std::string(4096, 'Y'), "[DevA]", "R=6",
                                    std::string(4098, 'X') + "[DevA]", "S=7"})));
    IniRun r = RunIni(rig);
    ASSERT_EQ(r.Open, STATUS_SUCCESS);
    ULONG type = 0;
    std::vector<UCHAR> data;
    EXPECT_TRUE(rig.Value(u"", u"A", &type, &data));
    ASSERT_TRUE(rig.Value(u"", u"Q", &type, &data));
    EXPECT_EQ(data, Le32(5));
    EXPECT_TRUE(rig.Value(u"", u"R", &type, &data));
    // One byte more and the rest no longer begins with the bracket.
    EXPECT_FALSE(rig.Value(u"", u"S", &type, &data));

    // A long value line is parsed only as far as it was read.
    SettingsRig rig2;
    ASSERT_TRUE(rig2.Ok());
    rig2.WriteFile("VESTRA.INI", WithDevice(std::string(c_Hwid) + "=DevA",
                                            Lines({"[DevA]", "Big = " + std::string(5000, ' ')})));
    RunIni(rig2);
    EXPECT_TRUE(rig2.Value(u"", u"Big", &type, &data));
    EXPECT_TRUE(data.empty());
}

TEST(IniFile, FuzzedFilesStayInBounds)
{
    // Deterministic: a fixed seed, a fixed number of files.
    std::mt19937 rng(0x1A2B3C4D);
    auto pick = [&](size_t n) { return (size_t)(rng() % n); };
    const std::string alphabet = "0123456789abcdefxXAFG=[]:;, \t\r\n\"\\";
    auto junk = [&](size_t maxLength)
    {
        std::string s;
        size_t n = pick(maxLength + 1);
        for (size_t i = 0; i < n; ++i)
            s += pick(8) == 0 ? (char)pick(256) : alphabet[pick(alphabet.size())];
        return s;
    };
    auto token = [&]()
    {
        switch (pick(6))
        {
        case 0:
            return "0x" + junk(4);
        case 1:
            return std::to_string(rng());
        case 2:
            return std::string(pick(120), 'T');
        default:
            return junk(12);
        }
    };
    const char* seps[] = {" ", ",", "\t", ", ", ";", ""};
    SettingsRig rig;
    ASSERT_TRUE(rig.Ok());
    for (int iteration = 0; iteration < 60; ++iteration)
    {
        std::string file;
        bool structured = pick(4) != 0;
        if (structured)
            file = Lines({"[VERSION]", "V=" + token(), "[LINTRA]",
                          std::string(c_Hwid) + "=" + (pick(3) ? "DevA" : junk(60))});
        size_t lines = pick(40);
        for (size_t l = 0; l < lines; ++l)
        {
            switch (pick(7))
            {
            case 0:
                file += "[DevA" + (pick(2) ? ":" + junk(100) : std::string()) + "]";
                break;
            case 1:
            {
                std::string line = junk(pick(2) ? 10 : 200) + (pick(5) ? "=" : "");
                size_t tokens = pick(12);
                for (size_t t = 0; t < tokens; ++t)
                    line += token() + seps[pick(6)];
                file += line;
                break;
            }
            case 2:
                file += std::string(pick(9000), (char)pick(256));
                break;
            case 3:
                file += ";" + junk(30);
                break;
            case 4:
                file += "";
                break;
            default:
                file += junk(80);
                break;
            }
            file += pick(6) ? "\r\n" : (pick(2) ? "\n" : "\r");
        }
        if (pick(2))
            file += junk(50); // an unterminated last line
        rig.WriteFile("VESTRA.INI", file);
        RunIni(rig);
    }
    // Whatever was imported holds names and data within their limits.
    std::vector<std::u16string> keys = EmuRegistrySubkeys(rig.SettingsPath());
    keys.push_back(u"");
    for (const std::u16string& key : keys)
    {
        EXPECT_LT(key.size(), 80u);
        for (const std::u16string& name : EmuRegistryValueNames(rig.SettingsPath(key)))
        {
            ULONG type = 0;
            std::vector<UCHAR> data;
            ASSERT_TRUE(rig.Value(key, name, &type, &data));
            EXPECT_LT(name.size(), 128u);
            EXPECT_LE(data.size(), 1024u);
            EXPECT_TRUE(type == REG_SZ || type == REG_BINARY) << type;
        }
    }
    EXPECT_EQ(EmuPoolOutstandingCount(POOL_TAG(" INI")), 0u);
}
