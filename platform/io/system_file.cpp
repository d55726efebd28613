// Read-only files under "\SystemRoot\", mapped to a host folder, opened
// through kernel handles.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>

#include "platform/io/io_internal.h"
#include "platform/kernel/emu.h"

namespace
{
const ULONG FILE_MAGIC = 0x656c6946; // "File"
const SIZE_T MAXIMUM_FILE = 64u << 20;

struct SystemFile
{
    ULONG Magic;
    std::vector<UCHAR> Content;
};

void DeleteSystemFile(void* object)
{
    auto file = static_cast<PFILE_OBJECT>(object);
    delete static_cast<SystemFile*>(file->FsContext);
    delete file;
}

const EmuObjectKind& FileKind()
{
    static EmuObjectKind kind = {*IoFileObjectType, DeleteSystemFile};
    return kind;
}

std::string Utf8(const std::u16string& s)
{
    std::string r;
    for (char16_t c : s)
    {
        if (c < 0x80)
            r += (char)c;
        else if (c < 0x800)
        {
            r += (char)(0xC0 | (c >> 6));
            r += (char)(0x80 | (c & 0x3F));
        }
        else
        {
            r += (char)(0xE0 | (c >> 12));
            r += (char)(0x80 | ((c >> 6) & 0x3F));
            r += (char)(0x80 | (c & 0x3F));
        }
    }
    return r;
}

bool EqualNoCase(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
    {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z')
            x = (char)(x - 32);
        if (y >= 'a' && y <= 'z')
            y = (char)(y - 32);
        if (x != y)
            return false;
    }
    return true;
}

// The host entry of `dir` whose name equals `name` ignoring case.
bool FindEntry(const std::string& dir, const std::string& name, std::string* found)
{
    DIR* d = opendir(dir.c_str());
    if (d == nullptr)
        return false;
    bool ok = false;
    while (dirent* e = readdir(d))
        if (EqualNoCase(e->d_name, name))
        {
            *found = dir + "/" + e->d_name;
            ok = true;
            break;
        }
    closedir(d);
    return ok;
}

// Maps "\SystemRoot\a\b" to a host path, component by component.
NTSTATUS MapPath(const std::u16string& name, std::string* hostPath)
{
    const std::u16string prefix = u"\\SYSTEMROOT\\";
    if (name.size() <= prefix.size() || IoUpper(name.substr(0, prefix.size())) != prefix)
        return STATUS_OBJECT_PATH_NOT_FOUND;
    const std::string& root = Io().SystemRoot;
    if (root.empty())
        return STATUS_OBJECT_PATH_NOT_FOUND;
    std::u16string rest = name.substr(prefix.size());
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;)
    {
        size_t end = rest.find(u'\\', start);
        std::u16string part =
            rest.substr(start, end == std::u16string::npos ? std::u16string::npos : end - start);
        if (part.empty() || part == u"." || part == u".." ||
            part.find_first_of(std::u16string(u"/:*?\"<>|\0", 9)) != std::u16string::npos)
            return STATUS_OBJECT_NAME_INVALID;
        parts.push_back(Utf8(part));
        if (end == std::u16string::npos)
            break;
        start = end + 1;
    }
    std::string path = root;
    for (size_t i = 0; i < parts.size(); ++i)
    {
        std::string next;
        if (!FindEntry(path, parts[i], &next))
            return i + 1 == parts.size() ? STATUS_OBJECT_NAME_NOT_FOUND
                                         : STATUS_OBJECT_PATH_NOT_FOUND;
        path = next;
    }
    *hostPath = path;
    return STATUS_SUCCESS;
}

ACCESS_MASK MapGeneric(ACCESS_MASK access)
{
    if ((access & GENERIC_READ) != 0)
        access = (access & ~GENERIC_READ) | FILE_GENERIC_READ;
    return access;
}
} // namespace

void EmuSetSystemRoot(const std::string& hostDirectory)
{
    Io().SystemRoot = hostDirectory;
}

NTSTATUS ZwCreateFile(PHANDLE fileHandle, ACCESS_MASK desiredAccess,
                      POBJECT_ATTRIBUTES objectAttributes, PIO_STATUS_BLOCK ioStatusBlock,
                      PLARGE_INTEGER, ULONG, ULONG, ULONG createDisposition, ULONG createOptions,
                      PVOID, ULONG)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        EmuReportFailure("ZwCreateFile at IRQL %d", KeGetCurrentIrql());
    if (fileHandle == nullptr || ioStatusBlock == nullptr || objectAttributes == nullptr ||
        objectAttributes->Length != sizeof(OBJECT_ATTRIBUTES) ||
        !IoValidUnicode(objectAttributes->ObjectName))
        return STATUS_INVALID_PARAMETER;
    *fileHandle = nullptr;
    if (objectAttributes->RootDirectory != nullptr)
        return STATUS_INVALID_PARAMETER;
    // The system root is read-only.
    const ACCESS_MASK writes = GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA;
    if ((desiredAccess & writes) != 0 ||
        (createDisposition != FILE_OPEN && createDisposition != FILE_OPEN_IF))
        return STATUS_ACCESS_DENIED;
    std::string hostPath;
    NTSTATUS status = MapPath(IoFromUnicode(objectAttributes->ObjectName), &hostPath);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND && createDisposition == FILE_OPEN_IF)
        status = STATUS_ACCESS_DENIED;
    if (!NT_SUCCESS(status))
    {
        ioStatusBlock->Status = status;
        ioStatusBlock->Information = FILE_DOES_NOT_EXIST;
        return status;
    }
    struct stat st;
    if (stat(hostPath.c_str(), &st) != 0)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    if (S_ISDIR(st.st_mode))
        return STATUS_FILE_IS_A_DIRECTORY;
    if ((SIZE_T)st.st_size > MAXIMUM_FILE)
        return STATUS_INSUFFICIENT_RESOURCES;
    auto* content = new SystemFile{FILE_MAGIC, {}};
    content->Content.resize((size_t)st.st_size);
    FILE* f = fopen(hostPath.c_str(), "rb");
    bool read = f != nullptr && (content->Content.empty() ||
                                 fread(content->Content.data(), 1, content->Content.size(), f) ==
                                     content->Content.size());
    if (f != nullptr)
        fclose(f);
    if (!read)
    {
        delete content;
        return STATUS_ACCESS_DENIED;
    }
    auto* file = new FILE_OBJECT{};
    file->Type = IO_TYPE_FILE;
    file->Size = sizeof(FILE_OBJECT);
    file->FsContext = content;
    file->ReadAccess = TRUE;
    file->SharedRead = TRUE;
    if ((createOptions & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT)) != 0)
        file->Flags |= FO_SYNCHRONOUS_IO;
    KeInitializeEvent(&file->Lock, SynchronizationEvent, FALSE);
    KeInitializeEvent(&file->Event, NotificationEvent, FALSE);
    EmuObRegister(file, &FileKind());
    status = EmuObCreateHandle(file, MapGeneric(desiredAccess), KernelMode, fileHandle);
    ObDereferenceObject(file);
    ioStatusBlock->Status = status;
    ioStatusBlock->Information = FILE_OPENED;
    return status;
}

NTSTATUS ZwReadFile(HANDLE fileHandle, HANDLE event, PIO_APC_ROUTINE, PVOID,
                    PIO_STATUS_BLOCK ioStatusBlock, PVOID buffer, ULONG length,
                    PLARGE_INTEGER byteOffset, PULONG)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        EmuReportFailure("ZwReadFile at IRQL %d", KeGetCurrentIrql());
    if (ioStatusBlock == nullptr || (length != 0 && buffer == nullptr))
        return STATUS_INVALID_PARAMETER;
    PVOID object = nullptr;
    OBJECT_HANDLE_INFORMATION handleInfo{};
    NTSTATUS status = ObReferenceObjectByHandle(fileHandle, 0, *IoFileObjectType, KernelMode,
                                                &object, &handleInfo);
    if (!NT_SUCCESS(status))
        return status;
    auto file = static_cast<PFILE_OBJECT>(object);
    auto content = static_cast<SystemFile*>(file->FsContext);
    if (content == nullptr || content->Magic != FILE_MAGIC)
        status = STATUS_INVALID_DEVICE_REQUEST;
    else if ((handleInfo.GrantedAccess & FILE_READ_DATA) == 0)
        status = STATUS_ACCESS_DENIED;
    if (!NT_SUCCESS(status))
    {
        ObDereferenceObject(file);
        return status;
    }
    LONGLONG offset;
    bool useCurrent =
        byteOffset == nullptr || (byteOffset->HighPart == -1 && byteOffset->LowPart == 0xFFFFFFFEu);
    if (useCurrent)
    {
        if ((file->Flags & FO_SYNCHRONOUS_IO) == 0)
        {
            ObDereferenceObject(file);
            return STATUS_INVALID_PARAMETER;
        }
        offset = file->CurrentByteOffset.QuadPart;
    }
    else
        offset = byteOffset->QuadPart;
    if (offset < 0)
    {
        ObDereferenceObject(file);
        return STATUS_INVALID_PARAMETER;
    }
    ULONGLONG size = content->Content.size();
    if ((ULONGLONG)offset >= size)
    {
        status = STATUS_END_OF_FILE;
        ioStatusBlock->Information = 0;
    }
    else
    {
        ULONGLONG available = size - (ULONGLONG)offset;
        ULONG n = available < length ? (ULONG)available : length;
        if (n != 0)
            memcpy(buffer, content->Content.data() + offset, n);
        ioStatusBlock->Information = n;
        file->CurrentByteOffset.QuadPart = offset + n;
        status = STATUS_SUCCESS;
    }
    ioStatusBlock->Status = status;
    ObDereferenceObject(file);
    if (event != nullptr)
    {
        PVOID e = nullptr;
        if (NT_SUCCESS(ObReferenceObjectByHandle(event, EVENT_MODIFY_STATE, *ExEventObjectType,
                                                 KernelMode, &e, nullptr)))
        {
            KeSetEvent(static_cast<PKEVENT>(e), IO_NO_INCREMENT, FALSE);
            ObDereferenceObject(e);
        }
    }
    return status;
}
