// The registry: a case-insensitive tree of keys and typed values, opened
// through kernel handles.
#include <algorithm>
#include <cstdio>
#include <memory>

#include "platform/io/io_internal.h"
#include "platform/kernel/emu.h"
#include "platform/kernel/emu_hooks.h"

namespace
{
struct RegValue
{
    std::u16string Name;
    ULONG Type;
    std::vector<UCHAR> Data;
};

struct RegNode
{
    std::u16string Name;
    RegNode* Parent = nullptr;
    std::map<std::u16string, std::shared_ptr<RegNode>> Children; // by upper-case name
    std::vector<RegValue> Values;
    bool Deleted = false;
    LONGLONG LastWrite = 0;
};

struct KeyObject
{
    std::shared_ptr<RegNode> Node;
};

OBJECT_TYPE g_KeyType = {"Key"};
POBJECT_TYPE g_KeyTypePtr = &g_KeyType;

void DeleteKeyObject(void* object)
{
    delete static_cast<KeyObject*>(object);
}
const EmuObjectKind g_KeyKind = {&g_KeyType, DeleteKeyObject};

std::shared_ptr<RegNode> g_Root;

LONGLONG Now()
{
    LARGE_INTEGER t;
    KeQuerySystemTime(&t);
    return t.QuadPart;
}

void Touch(RegNode* n)
{
    n->LastWrite = Now();
}

std::shared_ptr<RegNode> Child(RegNode* parent, const std::u16string& name, bool create)
{
    std::u16string key = IoUpper(name);
    auto it = parent->Children.find(key);
    if (it != parent->Children.end())
        return it->second;
    if (!create)
        return nullptr;
    auto node = std::make_shared<RegNode>();
    node->Name = name;
    node->Parent = parent;
    node->LastWrite = Now();
    parent->Children[key] = node;
    Touch(parent);
    return node;
}

// Splits a path into its components; false for an empty component.
bool Split(const std::u16string& path, std::vector<std::u16string>* parts)
{
    parts->clear();
    size_t start = 0;
    while (start <= path.size())
    {
        size_t end = path.find(u'\\', start);
        if (end == std::u16string::npos)
            end = path.size();
        std::u16string part = path.substr(start, end - start);
        if (part.empty())
            return false;
        parts->push_back(part);
        start = end + 1;
    }
    return true;
}

void BuildDefaultTree()
{
    g_Root = std::make_shared<RegNode>();
    g_Root->Name = u"REGISTRY";
    g_Root->LastWrite = Now();
    const char16_t* keys[] = {
        u"Machine\\SYSTEM\\CurrentControlSet\\Enum",
        u"Machine\\SYSTEM\\CurrentControlSet\\Services",
        u"Machine\\SYSTEM\\CurrentControlSet\\Control\\Class",
        u"Machine\\SYSTEM\\CurrentControlSet\\Control\\DeviceClasses",
        (u"Machine\\SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current\\System\\"
         u"CurrentControlSet\\Enum"),
        u"Machine\\Enum",
        u"Machine\\SOFTWARE",
        u"User",
    };
    std::vector<std::u16string> parts;
    for (const char16_t* k : keys)
    {
        Split(k, &parts);
        RegNode* n = g_Root.get();
        for (auto& p : parts)
            n = Child(n, p, true).get();
    }
}

void RegistryReset()
{
    // Key objects hold their nodes; the old tree goes when they do.
    BuildDefaultTree();
}

const EmuPlatformHooks g_RegistryHooks = {"registry", RegistryReset, nullptr};

RegNode* Root()
{
    static bool registered = false;
    if (!registered)
    {
        registered = true;
        EmuRegisterPlatformHooks(&g_RegistryHooks);
        BuildDefaultTree();
    }
    return g_Root.get();
}

// Finds (or with create, makes) the node of a full "\Registry\..." path.
// createLastOnly: only the last component may be created (ZwCreateKey).
NTSTATUS Walk(RegNode* start, const std::vector<std::u16string>& parts, size_t first, bool create,
              bool createLastOnly, std::shared_ptr<RegNode>* out, bool* created)
{
    std::shared_ptr<RegNode> node;
    RegNode* n = start;
    if (created != nullptr)
        *created = false;
    for (size_t i = first; i < parts.size(); ++i)
    {
        if (n->Deleted)
            return STATUS_KEY_DELETED;
        bool last = i + 1 == parts.size();
        bool mayCreate = create && (!createLastOnly || last);
        node = Child(n, parts[i], false);
        if (node == nullptr && mayCreate)
        {
            node = Child(n, parts[i], true);
            if (created != nullptr && last)
                *created = true;
        }
        if (node == nullptr)
            return STATUS_OBJECT_NAME_NOT_FOUND;
        n = node.get();
    }
    *out = node;
    return STATUS_SUCCESS;
}

std::shared_ptr<RegNode> FindPath(const std::u16string& path, bool create)
{
    std::vector<std::u16string> parts;
    RegNode* root = Root();
    if (path.empty() || path[0] != u'\\' || !Split(path.substr(1), &parts) ||
        IoUpper(parts[0]) != u"REGISTRY")
        return nullptr;
    if (parts.size() == 1)
        return g_Root;
    std::shared_ptr<RegNode> node;
    if (!NT_SUCCESS(Walk(root, parts, 1, create, false, &node, nullptr)))
        return nullptr;
    return node;
}

KeyObject* ReferenceKey(HANDLE handle, NTSTATUS* status)
{
    PVOID object = nullptr;
    *status = ObReferenceObjectByHandle(handle, 0, &g_KeyType, KernelMode, &object, nullptr);
    if (!NT_SUCCESS(*status))
        return nullptr;
    auto key = static_cast<KeyObject*>(object);
    if (key->Node->Deleted)
    {
        ObDereferenceObject(key);
        *status = STATUS_KEY_DELETED;
        return nullptr;
    }
    return key;
}

NTSTATUS MakeHandle(const std::shared_ptr<RegNode>& node, ACCESS_MASK access, PHANDLE handle)
{
    auto* key = new KeyObject{node};
    EmuObRegister(key, &g_KeyKind);
    NTSTATUS status = EmuObCreateHandle(key, access, KernelMode, handle);
    ObDereferenceObject(key);
    return status;
}

// Resolves object attributes to a parent and the components below it.
NTSTATUS Resolve(POBJECT_ATTRIBUTES oa, bool create, bool createLastOnly, PHANDLE handle,
                 ACCESS_MASK access, PULONG disposition)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        EmuReportFailure("registry key opened at IRQL %d", KeGetCurrentIrql());
    if (handle == nullptr || oa == nullptr || oa->Length != sizeof(OBJECT_ATTRIBUTES) ||
        (oa->ObjectName != nullptr && !IoValidUnicode(oa->ObjectName)))
        return STATUS_INVALID_PARAMETER;
    *handle = nullptr;
    std::u16string name = IoFromUnicode(oa->ObjectName);
    RegNode* start = nullptr;
    std::shared_ptr<RegNode> startNode;
    std::vector<std::u16string> parts;
    size_t first = 0;
    KeyObject* rootKey = nullptr;
    NTSTATUS status = STATUS_SUCCESS;
    if (oa->RootDirectory != nullptr)
    {
        rootKey = ReferenceKey(oa->RootDirectory, &status);
        if (rootKey == nullptr)
            return status;
        startNode = rootKey->Node;
        start = startNode.get();
        ObDereferenceObject(rootKey);
        if (!name.empty() && name[0] == u'\\')
            return STATUS_OBJECT_PATH_SYNTAX_BAD;
        if (!name.empty() && !Split(name, &parts))
            return STATUS_OBJECT_NAME_INVALID;
    }
    else
    {
        Root();
        if (name.empty() || name[0] != u'\\')
            return STATUS_OBJECT_PATH_SYNTAX_BAD;
        if (!Split(name.substr(1), &parts))
            return STATUS_OBJECT_NAME_INVALID;
        if (IoUpper(parts[0]) != u"REGISTRY")
            return STATUS_OBJECT_PATH_NOT_FOUND;
        startNode = g_Root;
        start = startNode.get();
        first = 1;
    }
    for (auto& p : parts)
        if (p.size() > 255)
            return STATUS_INVALID_PARAMETER;
    std::shared_ptr<RegNode> node = startNode;
    bool created = false;
    if (first < parts.size())
    {
        status = Walk(start, parts, first, create, createLastOnly, &node, &created);
        if (!NT_SUCCESS(status))
            return status;
    }
    else if (node->Deleted)
        return STATUS_KEY_DELETED;
    if (disposition != nullptr)
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return MakeHandle(node, access, handle);
}

RegValue* FindValue(RegNode* n, const std::u16string& name)
{
    std::u16string upper = IoUpper(name);
    for (auto& v : n->Values)
        if (IoUpper(v.Name) == upper)
            return &v;
    return nullptr;
}

NTSTATUS ValueName(PUNICODE_STRING valueName, std::u16string* name)
{
    if (valueName == nullptr)
    {
        name->clear();
        return STATUS_SUCCESS;
    }
    if (!IoValidUnicode(valueName))
        return STATUS_INVALID_PARAMETER;
    *name = IoFromUnicode(valueName);
    return STATUS_SUCCESS;
}

// Copies as much of src as fits behind a fixed part already written.
void CopyTail(PVOID buffer, ULONG length, ULONG offset, const void* src, ULONG size)
{
    if (offset >= length)
        return;
    ULONG n = length - offset < size ? length - offset : size;
    memcpy(static_cast<UCHAR*>(buffer) + offset, src, n);
}
} // namespace

POBJECT_TYPE* CmKeyObjectType = &g_KeyTypePtr;

NTSTATUS IoRegistryOpenPath(const std::u16string& path, bool create, ACCESS_MASK access,
                            PHANDLE handle)
{
    std::shared_ptr<RegNode> node = FindPath(path, create);
    if (node == nullptr)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    return MakeHandle(node, access, handle);
}

NTSTATUS ZwOpenKey(PHANDLE keyHandle, ACCESS_MASK desiredAccess,
                   POBJECT_ATTRIBUTES objectAttributes)
{
    return Resolve(objectAttributes, false, false, keyHandle, desiredAccess, nullptr);
}

NTSTATUS ZwCreateKey(PHANDLE keyHandle, ACCESS_MASK desiredAccess,
                     POBJECT_ATTRIBUTES objectAttributes, ULONG, PUNICODE_STRING, ULONG,
                     PULONG disposition)
{
    return Resolve(objectAttributes, true, true, keyHandle, desiredAccess, disposition);
}

NTSTATUS ZwQueryKey(HANDLE keyHandle, KEY_INFORMATION_CLASS keyInformationClass,
                    PVOID keyInformation, ULONG length, PULONG resultLength)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        EmuReportFailure("ZwQueryKey at IRQL %d", KeGetCurrentIrql());
    if (resultLength == nullptr || (length != 0 && keyInformation == nullptr))
        return STATUS_INVALID_PARAMETER;
    if (keyInformationClass != KeyBasicInformation)
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status;
    KeyObject* key = ReferenceKey(keyHandle, &status);
    if (key == nullptr)
        return status;
    RegNode* n = key->Node.get();
    const ULONG fixed = FIELD_OFFSET(KEY_BASIC_INFORMATION, Name);
    ULONG nameBytes = (ULONG)(n->Name.size() * sizeof(WCHAR));
    *resultLength = fixed + nameBytes;
    if (length < fixed)
        status = STATUS_BUFFER_TOO_SMALL;
    else
    {
        auto info = static_cast<PKEY_BASIC_INFORMATION>(keyInformation);
        info->LastWriteTime.QuadPart = n->LastWrite;
        info->TitleIndex = 0;
        info->NameLength = nameBytes;
        CopyTail(keyInformation, length, fixed, n->Name.data(), nameBytes);
        status = length < fixed + nameBytes ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
    }
    ObDereferenceObject(key);
    return status;
}

NTSTATUS ZwQueryValueKey(HANDLE keyHandle, PUNICODE_STRING valueName,
                         KEY_VALUE_INFORMATION_CLASS keyValueInformationClass,
                         PVOID keyValueInformation, ULONG length, PULONG resultLength)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        EmuReportFailure("ZwQueryValueKey at IRQL %d", KeGetCurrentIrql());
    std::u16string name;
    NTSTATUS status = ValueName(valueName, &name);
    if (!NT_SUCCESS(status))
        return status;
    if (resultLength == nullptr || (length != 0 && keyValueInformation == nullptr))
        return STATUS_INVALID_PARAMETER;
    if (keyValueInformationClass != KeyValueBasicInformation &&
        keyValueInformationClass != KeyValueFullInformation &&
        keyValueInformationClass != KeyValuePartialInformation)
        return STATUS_INVALID_PARAMETER;
    KeyObject* key = ReferenceKey(keyHandle, &status);
    if (key == nullptr)
        return status;
    RegValue* v = FindValue(key->Node.get(), name);
    if (v == nullptr)
    {
        ObDereferenceObject(key);
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    ULONG nameBytes = (ULONG)(v->Name.size() * sizeof(WCHAR));
    ULONG dataBytes = (ULONG)v->Data.size();
    ULONG fixed;
    ULONG needed;
    switch (keyValueInformationClass)
    {
    case KeyValueBasicInformation:
        fixed = FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name);
        needed = fixed + nameBytes;
        break;
    case KeyValueFullInformation:
        fixed = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
        needed = ((fixed + nameBytes + 3) & ~3u) + dataBytes;
        break;
    default:
        fixed = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
        needed = fixed + dataBytes;
        break;
    }
    *resultLength = needed;
    if (length < fixed)
    {
        ObDereferenceObject(key);
        return STATUS_BUFFER_TOO_SMALL;
    }
    status = length < needed ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
    switch (keyValueInformationClass)
    {
    case KeyValueBasicInformation:
    {
        auto info = static_cast<PKEY_VALUE_BASIC_INFORMATION>(keyValueInformation);
        info->TitleIndex = 0;
        info->Type = v->Type;
        info->NameLength = nameBytes;
        CopyTail(info, length, fixed, v->Name.data(), nameBytes);
        break;
    }
    case KeyValueFullInformation:
    {
        auto info = static_cast<PKEY_VALUE_FULL_INFORMATION>(keyValueInformation);
        ULONG offset = (fixed + nameBytes + 3) & ~3u;
        info->TitleIndex = 0;
        info->Type = v->Type;
        info->DataOffset = offset;
        info->DataLength = dataBytes;
        info->NameLength = nameBytes;
        CopyTail(info, length, fixed, v->Name.data(), nameBytes);
        if (status == STATUS_SUCCESS && dataBytes != 0)
            memcpy(static_cast<UCHAR*>(keyValueInformation) + offset, v->Data.data(), dataBytes);
        break;
    }
    default:
    {
        auto info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(keyValueInformation);
        info->TitleIndex = 0;
        info->Type = v->Type;
        info->DataLength = dataBytes;
        if (status == STATUS_SUCCESS && dataBytes != 0)
            memcpy(static_cast<UCHAR*>(keyValueInformation) + fixed, v->Data.data(), dataBytes);
        break;
    }
    }
    ObDereferenceObject(key);
    return status;
}

NTSTATUS ZwSetValueKey(HANDLE keyHandle, PUNICODE_STRING valueName, ULONG, ULONG type, PVOID data,
                       ULONG dataSize)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        EmuReportFailure("ZwSetValueKey at IRQL %d", KeGetCurrentIrql());
    std::u16string name;
    NTSTATUS status = ValueName(valueName, &name);
    if (!NT_SUCCESS(status))
        return status;
    if (name.size() > 16383 || (dataSize != 0 && data == nullptr))
        return STATUS_INVALID_PARAMETER;
    KeyObject* key = ReferenceKey(keyHandle, &status);
    if (key == nullptr)
        return status;
    RegNode* n = key->Node.get();
    auto bytes = static_cast<const UCHAR*>(data);
    std::vector<UCHAR> value(bytes, bytes + dataSize);
    if (RegValue* v = FindValue(n, name))
    {
        v->Type = type;
        v->Data = std::move(value);
    }
    else
        n->Values.push_back(RegValue{name, type, std::move(value)});
    Touch(n);
    ObDereferenceObject(key);
    return STATUS_SUCCESS;
}

NTSTATUS ZwDeleteValueKey(HANDLE keyHandle, PUNICODE_STRING valueName)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        EmuReportFailure("ZwDeleteValueKey at IRQL %d", KeGetCurrentIrql());
    std::u16string name;
    NTSTATUS status = ValueName(valueName, &name);
    if (!NT_SUCCESS(status))
        return status;
    KeyObject* key = ReferenceKey(keyHandle, &status);
    if (key == nullptr)
        return status;
    RegNode* n = key->Node.get();
    std::u16string upper = IoUpper(name);
    auto it = std::find_if(n->Values.begin(), n->Values.end(),
                           [&](const RegValue& v) { return IoUpper(v.Name) == upper; });
    if (it == n->Values.end())
        status = STATUS_OBJECT_NAME_NOT_FOUND;
    else
    {
        n->Values.erase(it);
        Touch(n);
    }
    ObDereferenceObject(key);
    return status;
}

// ----------------------------------------------------------------------------
// Test and host controls

bool EmuRegistryCreateKey(const std::u16string& path)
{
    return FindPath(path, true) != nullptr;
}

bool EmuRegistryKeyExists(const std::u16string& path)
{
    return FindPath(path, false) != nullptr;
}

namespace
{
void MarkDeleted(RegNode* n)
{
    n->Deleted = true;
    for (auto& c : n->Children)
        MarkDeleted(c.second.get());
}
} // namespace

bool EmuRegistryDeleteKey(const std::u16string& path)
{
    std::shared_ptr<RegNode> node = FindPath(path, false);
    if (node == nullptr || node->Parent == nullptr)
        return false;
    MarkDeleted(node.get());
    node->Parent->Children.erase(IoUpper(node->Name));
    node->Parent = nullptr;
    return true;
}

void EmuRegistrySetValue(const std::u16string& path, const std::u16string& name, ULONG type,
                         const void* data, ULONG size)
{
    std::shared_ptr<RegNode> node = FindPath(path, true);
    if (node == nullptr)
    {
        EmuReportFailure("EmuRegistrySetValue: bad key path %s", IoNarrow(path).c_str());
        return;
    }
    auto bytes = static_cast<const UCHAR*>(data);
    std::vector<UCHAR> value(bytes, bytes + size);
    if (RegValue* v = FindValue(node.get(), name))
    {
        v->Type = type;
        v->Data = std::move(value);
    }
    else
        node->Values.push_back(RegValue{name, type, std::move(value)});
    Touch(node.get());
}

void EmuRegistrySetDword(const std::u16string& path, const std::u16string& name, ULONG value)
{
    EmuRegistrySetValue(path, name, REG_DWORD, &value, sizeof(value));
}

void EmuRegistrySetString(const std::u16string& path, const std::u16string& name,
                          const std::u16string& value)
{
    EmuRegistrySetValue(path, name, REG_SZ, value.c_str(),
                        (ULONG)((value.size() + 1) * sizeof(WCHAR)));
}

void EmuRegistrySetMultiSz(const std::u16string& path, const std::u16string& name,
                           const std::vector<std::u16string>& values)
{
    std::u16string multi;
    for (auto& v : values)
    {
        multi += v;
        multi += u'\0';
    }
    multi += u'\0';
    EmuRegistrySetValue(path, name, REG_MULTI_SZ, multi.data(),
                        (ULONG)(multi.size() * sizeof(WCHAR)));
}

void EmuRegistrySetBinary(const std::u16string& path, const std::u16string& name,
                          const std::vector<UCHAR>& data)
{
    EmuRegistrySetValue(path, name, REG_BINARY, data.data(), (ULONG)data.size());
}

bool EmuRegistryGetValue(const std::u16string& path, const std::u16string& name, ULONG* type,
                         std::vector<UCHAR>* data)
{
    std::shared_ptr<RegNode> node = FindPath(path, false);
    RegValue* v = node ? FindValue(node.get(), name) : nullptr;
    if (v == nullptr)
        return false;
    if (type != nullptr)
        *type = v->Type;
    if (data != nullptr)
        *data = v->Data;
    return true;
}

bool EmuRegistryDeleteValue(const std::u16string& path, const std::u16string& name)
{
    std::shared_ptr<RegNode> node = FindPath(path, false);
    if (node == nullptr)
        return false;
    std::u16string upper = IoUpper(name);
    auto& values = node->Values;
    auto it = std::find_if(values.begin(), values.end(),
                           [&](const RegValue& v) { return IoUpper(v.Name) == upper; });
    if (it == values.end())
        return false;
    values.erase(it);
    return true;
}

std::vector<std::u16string> EmuRegistrySubkeys(const std::u16string& path)
{
    std::vector<std::u16string> names;
    std::shared_ptr<RegNode> node = FindPath(path, false);
    if (node != nullptr)
        for (auto& c : node->Children)
            names.push_back(c.second->Name);
    return names;
}

std::vector<std::u16string> EmuRegistryValueNames(const std::u16string& path)
{
    std::vector<std::u16string> names;
    std::shared_ptr<RegNode> node = FindPath(path, false);
    if (node != nullptr)
        for (auto& v : node->Values)
            names.push_back(v.Name);
    return names;
}

// ----------------------------------------------------------------------------
// Persistence: one line per key ("K <path>") followed by its values
// ("V <name> <type> <data>"); names and data in hexadecimal.

namespace
{
std::string Hex(const void* p, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    auto b = static_cast<const UCHAR*>(p);
    for (size_t i = 0; i < n; ++i)
    {
        s += digits[b[i] >> 4];
        s += digits[b[i] & 15];
    }
    return s.empty() ? "-" : s;
}

bool Unhex(const std::string& s, std::vector<UCHAR>* out)
{
    out->clear();
    if (s == "-")
        return true;
    if (s.size() % 2 != 0)
        return false;
    for (size_t i = 0; i < s.size(); i += 2)
    {
        int v = 0;
        for (int k = 0; k < 2; ++k)
        {
            char c = s[i + k];
            int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
            if (d < 0)
                return false;
            v = v * 16 + d;
        }
        out->push_back((UCHAR)v);
    }
    return true;
}

void SaveNode(FILE* f, RegNode* n, const std::u16string& path)
{
    fprintf(f, "K %s\n", Hex(path.data(), path.size() * sizeof(WCHAR)).c_str());
    for (auto& v : n->Values)
        fprintf(f, "V %s %u %s\n", Hex(v.Name.data(), v.Name.size() * sizeof(WCHAR)).c_str(),
                (unsigned)v.Type, Hex(v.Data.data(), v.Data.size()).c_str());
    for (auto& c : n->Children)
        SaveNode(f, c.second.get(), path + u"\\" + c.second->Name);
}

std::u16string Wide(const std::vector<UCHAR>& bytes)
{
    return std::u16string(reinterpret_cast<const char16_t*>(bytes.data()), bytes.size() / 2);
}
} // namespace

bool EmuRegistrySave(const char* hostPath)
{
    FILE* f = fopen(hostPath, "w");
    if (f == nullptr)
        return false;
    fprintf(f, "LTREG 1\n");
    SaveNode(f, Root(), u"\\REGISTRY");
    return fclose(f) == 0;
}

bool EmuRegistryLoad(const char* hostPath)
{
    FILE* f = fopen(hostPath, "r");
    if (f == nullptr)
        return false;
    std::shared_ptr<RegNode> saved = g_Root;
    Root();
    g_Root = std::make_shared<RegNode>();
    g_Root->Name = u"REGISTRY";
    bool ok = true;
    char line[65536];
    std::u16string current;
    bool header = false;
    while (ok && fgets(line, sizeof(line), f) != nullptr)
    {
        std::string s(line);
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
            s.pop_back();
        if (!header)
        {
            ok = s == "LTREG 1";
            header = true;
            continue;
        }
        std::vector<UCHAR> a, b;
        if (s.size() > 2 && s[0] == 'K' && s[1] == ' ')
        {
            ok = Unhex(s.substr(2), &a) && a.size() % 2 == 0;
            current = Wide(a);
            ok = ok && FindPath(current, true) != nullptr;
        }
        else if (s.size() > 2 && s[0] == 'V' && s[1] == ' ' && !current.empty())
        {
            char name[32768], data[32768];
            unsigned type;
            ok = sscanf(s.c_str() + 2, "%32767s %u %32767s", name, &type, data) == 3 &&
                 Unhex(name, &a) && a.size() % 2 == 0 && Unhex(data, &b);
            if (ok)
                EmuRegistrySetValue(current, Wide(a), type, b.data(), (ULONG)b.size());
        }
        else
            ok = false;
    }
    fclose(f);
    ok = ok && header;
    if (!ok)
        g_Root = saved;
    return ok;
}
