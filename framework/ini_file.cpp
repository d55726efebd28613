#include "framework/ini_file.h"

#include "framework/registry_settings.h"
#include "platform/portcls/portcls.h"

namespace
{
const WCHAR c_DefaultIniName[] = u"VESTRA.INI";

bool IsBlank(UCHAR c)
{
    return c == ' ' || c == '\t';
}

// Token ends of the entry lines.
bool IsTokenEnd(UCHAR c)
{
    return c == '\t' || c == '\r' || c == ' ' || c == ';' || c == ',';
}

CHAR UpperAscii(CHAR c)
{
    return (c >= 'a' && c <= 'z') ? (CHAR)(c - 'a' + 'A') : c;
}

bool IsHexPrefixed(const CHAR* token, ULONG length)
{
    return length >= 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X');
}

void StoreLittleEndian(PUCHAR out, ULONG value)
{
    out[0] = (UCHAR)value;
    out[1] = (UCHAR)(value >> 8);
    out[2] = (UCHAR)(value >> 16);
    out[3] = (UCHAR)(value >> 24);
}
} // namespace

CIniFile::CIniFile(PDEVICE_OBJECT deviceObject)
    : m_FileHandle(nullptr), m_IoStatus{},
      m_LineBuffer(nullptr), m_DeviceSection{}, m_HardwareIdKey{}, m_ReadOffset(0),
      m_ReadLimit(INI_READ_LIMIT), m_DeviceObject(deviceObject), m_Path{}
{
}

CIniFile::~CIniFile()
{
    IniCloseFile();
    if (m_LineBuffer != nullptr)
        ExFreePoolWithTag(m_LineBuffer, INI_POOL_TAG);
    m_LineBuffer = nullptr;
}

ULONG CIniFile::IniParseNumber(const CHAR* token, ULONG length)
{
    ULONG value = 0;
    if (token == nullptr || length == 0)
        return 0;
    if (IsHexPrefixed(token, length))
    {
        for (ULONG i = 2; i < length; ++i)
        {
            UCHAR c = (UCHAR)token[i];
            ULONG digit;
            if (c >= '0' && c <= '9')
                digit = c - '0';
            else if (c >= 'a' && c <= 'f')
                digit = c - 'a' + 10;
            else
                digit = (ULONG)c - 0x37;
            value = value * 16 + digit;
        }
        return value;
    }
    if (token[0] >= '0' && token[0] <= '9')
    {
        for (ULONG i = 0; i < length; ++i)
            value = value * 10 + ((ULONG)(UCHAR)token[i] - (ULONG)'0');
        return value;
    }
    return 0;
}

NTSTATUS CIniFile::IniBuildPath()
{
    PAGED_CODE();
    auto* temp = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, INI_TEMP_SIZE, INI_POOL_TAG));
    if (m_LineBuffer == nullptr)
    {
        m_LineBuffer = static_cast<PUCHAR>(
            ExAllocatePoolWithTag(PagedPool, INI_LINE_BUFFER_SIZE, INI_POOL_TAG));
        if (m_LineBuffer != nullptr)
            RtlZeroMemory(m_LineBuffer, INI_LINE_BUFFER_SIZE);
    }
    if (temp == nullptr || m_LineBuffer == nullptr)
    {
        if (temp != nullptr)
            ExFreePoolWithTag(temp, INI_POOL_TAG);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(temp, INI_TEMP_SIZE);

    ULONG resultLength = 0;
    NTSTATUS status = PcGetDeviceProperty(m_DeviceObject, DevicePropertyHardwareID, INI_TEMP_SIZE,
                                          temp, &resultLength);
    if (NT_SUCCESS(status))
    {
        // The first string of the list, upper case, narrowed; bounded by what
        // the property returned even when it carries no terminator.
        ULONG available = resultLength < INI_TEMP_SIZE ? resultLength : INI_TEMP_SIZE;
        available /= sizeof(WCHAR);
        ULONG n = 0;
        for (ULONG i = 0; i < available && n < INI_HARDWARE_ID_SIZE - 1; ++i)
        {
            WCHAR c = RtlUpcaseUnicodeChar(temp[i]);
            if (c == 0)
                break;
            m_HardwareIdKey[n++] = c < 0x80 ? (CHAR)c : '?';
        }
        m_HardwareIdKey[n] = 0;
    }

    // One character more than the value may fill keeps the name terminated
    // whatever bytes the registry holds.
    WCHAR name[INI_PATH_CCH + 1] = {};
    RtlStringCchCopyW(name, INI_PATH_CCH, c_DefaultIniName);
    RegistryBinarySetting(m_DeviceObject, SETTINGS_READ, name, INI_PATH_CCH * sizeof(WCHAR),
                          u"ModuleName");
    name[INI_PATH_CCH] = 0;
    if (!NT_SUCCESS(RtlStringCchPrintfW(m_Path, INI_PATH_CCH, u"%s%s", u"\\SystemRoot\\", name)))
        m_Path[0] = 0; // a cut path would name another file: open nothing instead

    ExFreePoolWithTag(temp, INI_POOL_TAG);
    return status;
}

NTSTATUS CIniFile::IniOpenFile()
{
    PAGED_CODE();
    IniCloseFile();
    if (m_Path[0] == 0)
        return STATUS_OBJECT_NAME_INVALID;
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, m_Path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr, nullptr);
    HANDLE handle = nullptr;
    NTSTATUS status = ZwCreateFile(&handle, GENERIC_READ, &attributes, &m_IoStatus, nullptr,
                                   FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, FILE_OPEN,
                                   FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (!NT_SUCCESS(status))
        return status;
    m_FileHandle = handle;
    m_ReadOffset = 0;
    m_ReadLimit = INI_READ_LIMIT;
    return STATUS_SUCCESS;
}

void CIniFile::IniCloseFile()
{
    if (m_FileHandle != nullptr && NT_SUCCESS(ZwClose(m_FileHandle)))
        m_FileHandle = nullptr;
}

LONG CIniFile::IniReadLine()
{
    if (m_FileHandle == nullptr || m_LineBuffer == nullptr)
        return -1;
    LONG n = 0;
    for (;;)
    {
        ULONG got = 0;
        if (m_ReadOffset < (ULONG)m_ReadLimit)
        {
            LARGE_INTEGER offset;
            offset.QuadPart = m_ReadOffset;
            m_IoStatus.Information = 0;
            NTSTATUS status = ZwReadFile(m_FileHandle, nullptr, nullptr, nullptr, &m_IoStatus,
                                         &m_LineBuffer[n], 1, &offset, nullptr);
            // The end of the file is no error: it ends the last line.
            if (status == STATUS_END_OF_FILE)
                got = 0;
            else if (!NT_SUCCESS(status))
                return -1;
            else
                got = m_IoStatus.Information != 0 ? 1 : 0;
        }
        if (got == 0)
        {
            if (n == 0)
                return -1;
            m_LineBuffer[n] = '\r';
            m_LineBuffer[n + 1] = '\n';
            return n;
        }
        if (m_LineBuffer[n] == '\r')
        {
            // The byte after the carriage return is taken as the line feed.
            m_ReadOffset += 2;
            m_LineBuffer[n + 1] = '\n';
            return n;
        }
        m_ReadOffset += 1;
        if (++n > INI_MAX_LINE)
            return INI_MAX_LINE + 1;
    }
}

NTSTATUS CIniFile::IniFindSection(PCSTR name)
{
    PAGED_CODE();
    if (m_FileHandle == nullptr)
        return STATUS_UNSUCCESSFUL;
    CHAR header[80];
    if (!NT_SUCCESS(RtlStringCbPrintfA(header, sizeof(header), "[%s]", name)))
        return STATUS_UNSUCCESSFUL;
    LONG headerLength = (LONG)strlen(header);
    for (;;)
    {
        LONG length = IniReadLine();
        if (length < 0)
            return STATUS_UNSUCCESSFUL;
        if (length >= headerLength && m_LineBuffer[0] == '[' &&
            memcmp(m_LineBuffer, header, headerLength) == 0)
            return STATUS_SUCCESS;
    }
}

bool CIniFile::IniParseEntryName(LONG lineLength, PWCHAR name, ULONG nameCapacity,
                                 PLONG position) const
{
    LONG i = 0;
    while (LineAt(lineLength, i) == ' ')
        ++i;
    if (LineAt(lineLength, i) == '\r' || LineAt(lineLength, i) == ';')
        return false;

    ULONG n = 0;
    for (; i < lineLength; ++i)
    {
        UCHAR c = m_LineBuffer[i];
        if (c == '\t' || c == ' ' || c == '=')
            break;
        if (n >= nameCapacity - 1)
            return false;
        name[n++] = c;
    }
    name[n] = 0;

    while (i < lineLength && m_LineBuffer[i] != '=')
        ++i;
    if (i >= lineLength)
        return false; // no equals sign: nothing to parse
    ++i;
    while (IsBlank(LineAt(lineLength, i)))
        ++i;
    *position = i;
    return true;
}

UCHAR CIniFile::IniNextToken(LONG lineLength, PLONG position, PLONG start, PULONG length) const
{
    LONG i = *position;
    UCHAR c;
    while ((c = LineAt(lineLength, i)) == '\t' || c == ' ' || c == ',')
        ++i;
    *start = i;
    while (i < lineLength && !IsTokenEnd(m_LineBuffer[i]))
        ++i;
    *length = (ULONG)(i - *start);
    *position = i;
    return LineAt(lineLength, i);
}

NTSTATUS CIniFile::IniParseVersionLine(LONG lineLength, PWCHAR name, PUCHAR value, PULONG byteCount)
{
    LONG i = 0;
    if (!IniParseEntryName(lineLength, name, INI_VERSION_NAME_CCH, &i))
        return STATUS_UNSUCCESSFUL;

    // Only the first four bytes make the version; later ones are counted
    // against the limit and dropped. Nothing reaches the caller unless the
    // whole line parses.
    UCHAR first[4] = {0, 0, 0, 0};
    ULONG count = 0;
    for (;;)
    {
        LONG start = 0;
        ULONG tokenLength = 0;
        const UCHAR end = IniNextToken(lineLength, &i, &start, &tokenLength);
        if (tokenLength > INI_VERSION_TOKEN_MAX)
            return STATUS_UNSUCCESSFUL;
        if (tokenLength != 0)
        {
            const CHAR* token = reinterpret_cast<const CHAR*>(&m_LineBuffer[start]);
            ULONG number = IniParseNumber(token, tokenLength);
            UCHAR bytes[4];
            StoreLittleEndian(bytes, number);
            ULONG add = (tokenLength == 4 && IsHexPrefixed(token, tokenLength)) ? 1 : 4;
            if (count + add > INI_MAX_DATA)
                return STATUS_UNSUCCESSFUL;
            for (ULONG k = 0; k < add; ++k, ++count)
                if (count < 4)
                    first[count] = bytes[k];
        }
        if (end == '\r' || end == ';')
            break;
    }
    for (ULONG k = 0; k < count && k < 4; ++k)
        value[k] = first[k];
    *byteCount = count;
    return STATUS_SUCCESS;
}

ULONG CIniFile::IniReadVersion()
{
    PAGED_CODE();
    if (!NT_SUCCESS(IniOpenFile()))
        return 0;
    if (!NT_SUCCESS(IniFindSection("VERSION")))
    {
        IniCloseFile();
        return 0;
    }
    UCHAR value[4] = {0, 0, 0, 0};
    for (;;)
    {
        LONG length = IniReadLine();
        if (length < 0 || m_LineBuffer[0] == '[')
            break;
        WCHAR name[INI_VERSION_NAME_CCH];
        ULONG count = 0;
        if (NT_SUCCESS(IniParseVersionLine(length, name, value, &count)))
            break;
    }
    IniCloseFile();
    return (ULONG)value[0] | ((ULONG)value[1] << 8) | ((ULONG)value[2] << 16) |
           ((ULONG)value[3] << 24);
}

NTSTATUS CIniFile::IniOpen()
{
    PAGED_CODE();
    NTSTATUS status = IniOpenFile();
    if (!NT_SUCCESS(status))
        return status;
    status = IniFindKey(m_HardwareIdKey);
    if (!NT_SUCCESS(status))
        IniCloseFile();
    return status;
}

NTSTATUS CIniFile::IniFindKey(PCSTR key)
{
    PAGED_CODE();
    if (m_FileHandle == nullptr)
        return STATUS_UNSUCCESSFUL;
    NTSTATUS status = IniFindSection("LINTRA");
    if (!NT_SUCCESS(status))
        return status;
    LONG keyLength = (LONG)strlen(key);
    if (keyLength == 0)
        return STATUS_UNSUCCESSFUL; // an empty key would match every line
    for (;;)
    {
        LONG length = IniReadLine();
        if (length < 0 || m_LineBuffer[0] == '[')
            return STATUS_UNSUCCESSFUL;
        if (length < keyLength)
            continue;
        LONG i = 0;
        while (i < keyLength && UpperAscii((CHAR)m_LineBuffer[i]) == UpperAscii(key[i]))
            ++i;
        if (i < keyLength)
            continue;
        while (IsBlank(LineAt(length, i)))
            ++i;
        // The key must be followed by the equals sign: a longer hardware ID
        // that merely begins with ours belongs to another device.
        if (LineAt(length, i) != '=')
            continue;
        ++i;
        while (IsBlank(LineAt(length, i)))
            ++i;
        ULONG n = 0;
        for (UCHAR c = LineAt(length, i); c != '\t' && c != '\r' && c != ' ' && c != ';';
             c = LineAt(length, ++i))
        {
            if (n >= INI_SECTION_NAME_SIZE - 1)
            {
                m_DeviceSection[0] = 0;
                return STATUS_UNSUCCESSFUL; // a cut name would name another section
            }
            m_DeviceSection[n++] = (CHAR)c;
        }
        m_DeviceSection[n] = 0;
        return STATUS_SUCCESS;
    }
}

NTSTATUS CIniFile::IniFindDeviceSection(PCSTR name, PCHAR subkey, ULONG subkeyCapacity,
                                        LONG lineLength)
{
    PAGED_CODE();
    if (m_FileHandle == nullptr || name == nullptr || name[0] == 0)
        return STATUS_UNSUCCESSFUL;
    CHAR header[128];
    if (!NT_SUCCESS(RtlStringCbPrintfA(header, sizeof(header), "[%s]", name)))
        return STATUS_UNSUCCESSFUL;
    LONG headerLength = (LONG)strlen(header);
    LONG length = lineLength;
    if (length < 1)
        length = IniReadLine();
    for (; length >= 0; length = IniReadLine())
    {
        if (length < headerLength || m_LineBuffer[0] != '[')
            continue;
        if (memcmp(m_LineBuffer, header, headerLength) == 0)
        {
            subkey[0] = 0;
            return STATUS_SUCCESS;
        }
        // "[name:subkey]": the same header with a colon for its bracket.
        if (memcmp(m_LineBuffer, header, headerLength - 1) != 0 ||
            m_LineBuffer[headerLength - 1] != ':')
            continue;
        LONG limit = length < 128 ? length : 128;
        LONG end = headerLength;
        while (end < limit && m_LineBuffer[end] != ']')
            ++end;
        ULONG n = (ULONG)(end - headerLength);
        if (n >= subkeyCapacity)
            continue; // does not fit: skip the block rather than misfile its values
        RtlCopyMemory(subkey, &m_LineBuffer[headerLength], n);
        subkey[n] = 0;
        return STATUS_SUCCESS;
    }
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS CIniFile::IniParseValueLine(LONG lineLength, PWCHAR name, PUCHAR data, PULONG size,
                                     PULONG type)
{
    LONG i = 0;
    if (!IniParseEntryName(lineLength, name, INI_VALUE_NAME_CCH, &i))
        return STATUS_UNSUCCESSFUL;

    // Tokens are appended in order; text as UTF-16 with a terminator that
    // is written but not counted.
    ULONG used = 0;
    ULONG valueType = REG_SZ; // a line without tokens writes an empty text
    for (;;)
    {
        LONG start = 0;
        ULONG tokenLength = 0;
        const UCHAR end = IniNextToken(lineLength, &i, &start, &tokenLength);
        if (tokenLength > INI_VALUE_TOKEN_MAX)
            return STATUS_UNSUCCESSFUL;
        if (tokenLength != 0)
        {
            const CHAR* token = reinterpret_cast<const CHAR*>(&m_LineBuffer[start]);
            if (tokenLength == 4 && IsHexPrefixed(token, tokenLength))
            {
                if (used + 1 > INI_MAX_DATA)
                    return STATUS_UNSUCCESSFUL;
                data[used++] = (UCHAR)IniParseNumber(token, tokenLength);
                valueType = REG_BINARY;
            }
            else if (token[0] >= '0' && token[0] <= '9')
            {
                if (used + 4 > INI_MAX_DATA)
                    return STATUS_UNSUCCESSFUL;
                StoreLittleEndian(&data[used], IniParseNumber(token, tokenLength));
                used += 4;
                valueType = REG_BINARY;
            }
            else
            {
                if (used + tokenLength * sizeof(WCHAR) > INI_MAX_DATA)
                    return STATUS_UNSUCCESSFUL;
                for (ULONG k = 0; k < tokenLength; ++k, used += 2)
                {
                    data[used] = (UCHAR)token[k];
                    data[used + 1] = 0;
                }
                valueType = REG_SZ;
            }
        }
        if (end == '\r' || end == ';')
            break;
    }
    if (valueType == REG_SZ)
    {
        data[used] = 0;
        data[used + 1] = 0;
    }
    *size = used;
    *type = valueType;
    return STATUS_SUCCESS;
}

NTSTATUS CIniFile::IniReadSection(PLONG lineState)
{
    PAGED_CODE();
    CHAR subkey[INI_SUBKEY_CCH];
    if (!NT_SUCCESS(IniFindDeviceSection(m_DeviceSection, subkey, INI_SUBKEY_CCH, *lineState)))
        return STATUS_UNSUCCESSFUL;
    WCHAR wideSubkey[INI_SUBKEY_CCH];
    PCWSTR subkeyName = nullptr;
    if (subkey[0] != 0)
    {
        RtlStringCbPrintfW(wideSubkey, sizeof(wideSubkey), u"%S", subkey);
        subkeyName = wideSubkey;
    }

    bool previousFailed = false;
    for (;;)
    {
        LONG length = IniReadLine();
        *lineState = length;
        if (length < 0)
            return STATUS_SUCCESS; // end of file: the next search finds nothing
        if (previousFailed)
            return STATUS_SUCCESS; // a blank or comment line ended the block
        if (m_LineBuffer[0] == '[')
            return STATUS_SUCCESS; // the next call examines this header first
        WCHAR name[INI_VALUE_NAME_CCH];
        UCHAR data[INI_MAX_DATA + sizeof(WCHAR)];
        ULONG size = 0;
        ULONG type = 0;
        if (!NT_SUCCESS(IniParseValueLine(length, name, data, &size, &type)))
        {
            previousFailed = true;
            continue;
        }
        // A failed write does not stop the import.
        AccessSettingsKey(m_DeviceObject, SETTINGS_WRITE, subkeyName, name, type, data, size);
    }
}

NTSTATUS CIniFile::IniReadAll()
{
    PAGED_CODE();
    LONG lineState = 0;
    while (NT_SUCCESS(IniReadSection(&lineState)))
    {
    }
    return STATUS_SUCCESS;
}
