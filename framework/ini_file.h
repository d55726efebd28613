// Reader of the INI file in the system root that seeds the device's registry
// settings at start-up. It lives only during the adapter's Init, at
// PASSIVE_LEVEL, and is never shared.
#pragma once

#include "platform/io/io.h"

// The reader object itself lives in a zero-filled non-paged block under
// INI_OBJECT_POOL_TAG; its buffers are paged under INI_POOL_TAG.
inline constexpr ULONG INI_OBJECT_POOL_TAG = POOL_TAG("PINI");
inline constexpr ULONG INI_POOL_TAG = POOL_TAG(" INI");
inline constexpr ULONG INI_TEMP_SIZE = 1000;
inline constexpr LONG INI_MAX_LINE = 4096;
// The longest line plus the carriage return and line feed written after it.
inline constexpr ULONG INI_LINE_BUFFER_SIZE = INI_MAX_LINE + 2;
inline constexpr LONG INI_READ_LIMIT = 0x7FFFFFFF;
inline constexpr ULONG INI_SECTION_NAME_SIZE = 50;
inline constexpr ULONG INI_HARDWARE_ID_SIZE = 100;
inline constexpr ULONG INI_PATH_CCH = 50;
inline constexpr ULONG INI_MAX_DATA = 1024;
inline constexpr ULONG INI_VALUE_NAME_CCH = 128;
inline constexpr ULONG INI_VERSION_NAME_CCH = 20;
inline constexpr ULONG INI_VERSION_TOKEN_MAX = 19;
inline constexpr ULONG INI_VALUE_TOKEN_MAX = 79;
inline constexpr ULONG INI_SUBKEY_CCH = 80;

class CIniFile
{
  public:
    explicit CIniFile(PDEVICE_OBJECT deviceObject);
    ~CIniFile();
    CIniFile(const CIniFile&) = delete;
    CIniFile& operator=(const CIniFile&) = delete;

    NTSTATUS IniBuildPath();
    // The file's version, 0 when there is none.
    ULONG IniReadVersion();
    // Opens the file and finds this device's line in the section "LINTRA";
    // the file stays open on success.
    NTSTATUS IniOpen();
    // Writes every entry of the device's sections into the registry.
    NTSTATUS IniReadAll();

    // A token's number: "0x" hexadecimal, decimal when it begins with a
    // digit, else 0; wrapping unsigned arithmetic.
    static ULONG IniParseNumber(const CHAR* token, ULONG length);

    PCWSTR GetPath() const { return m_Path; }
    PCSTR GetHardwareIdKey() const { return m_HardwareIdKey; }
    PCSTR GetDeviceSectionName() const { return m_DeviceSection; }

  private:
    NTSTATUS IniOpenFile();
    void IniCloseFile();
    LONG IniReadLine();
    NTSTATUS IniFindSection(PCSTR name);
    NTSTATUS IniFindKey(PCSTR key);
    NTSTATUS IniFindDeviceSection(PCSTR name, PCHAR subkey, ULONG subkeyCapacity, LONG lineLength);
    NTSTATUS IniReadSection(PLONG lineState);
    // The entry's name, and in *position where its tokens begin; false for a
    // blank or comment line, a name too long for its buffer, or no '='.
    bool IniParseEntryName(LONG lineLength, PWCHAR name, ULONG nameCapacity, PLONG position) const;
    // Skips separators from *position and finds the token there, leaving
    // *position at its end; returns the byte that ended it.
    UCHAR IniNextToken(LONG lineLength, PLONG position, PLONG start, PULONG length) const;
    NTSTATUS IniParseVersionLine(LONG lineLength, PWCHAR name, PUCHAR value, PULONG byteCount);
    NTSTATUS IniParseValueLine(LONG lineLength, PWCHAR name, PUCHAR data, PULONG size, PULONG type);

    // Byte i of the current line; the end of the line reads as a carriage
    // return, so parsing never looks past what was read.
    UCHAR LineAt(LONG lineLength, LONG i) const
    {
        return i < lineLength ? m_LineBuffer[i] : (UCHAR)'\r';
    }

    HANDLE m_FileHandle;
    IO_STATUS_BLOCK m_IoStatus;
    PUCHAR m_LineBuffer;
    CHAR m_DeviceSection[INI_SECTION_NAME_SIZE];
    CHAR m_HardwareIdKey[INI_HARDWARE_ID_SIZE];
    ULONG m_ReadOffset;
    LONG m_ReadLimit;
    PDEVICE_OBJECT m_DeviceObject;
    WCHAR m_Path[INI_PATH_CCH];
};
