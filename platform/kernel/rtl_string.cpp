// Counted and terminated string helpers and bounded formatting.
#include <string>

#include "platform/kernel/emu_internal.h"

namespace
{
const ULONG STRING_TAG = POOL_TAG("Strg");

template <typename C> size_t Length(const C* s)
{
    size_t n = 0;
    while (s[n] != 0)
        ++n;
    return n;
}

// Output sink that never writes past its capacity (in characters, terminator
// included) and remembers whether anything was cut.
template <typename C> struct Sink
{
    C* Dest;
    size_t Capacity;
    size_t Used = 0;
    bool Truncated = false;
    std::string* Grow = nullptr; // unbounded narrow output instead

    void Put(char32_t c)
    {
        if (Grow != nullptr)
        {
            Grow->push_back(c < 0x100 ? (char)c : '?');
            return;
        }
        if (Used + 1 < Capacity)
            Dest[Used++] = (C)(sizeof(C) == 1 && c >= 0x100 ? U'?' : c);
        else
            Truncated = true;
    }
    void Finish()
    {
        if (Grow == nullptr && Capacity > 0)
            Dest[Used] = 0;
    }
};

template <typename C, typename S>
void PutString(Sink<C>& out, const S* s, long count, int width, bool left, int precision)
{
    static const char kNull[] = "(null)";
    size_t n;
    if (s == nullptr)
    {
        const char* p = kNull;
        n = sizeof(kNull) - 1;
        if (precision >= 0 && (size_t)precision < n)
            n = (size_t)precision;
        for (int pad = width - (int)n; !left && pad > 0; --pad)
            out.Put(' ');
        for (size_t i = 0; i < n; ++i)
            out.Put((unsigned char)p[i]);
        for (int pad = width - (int)n; left && pad > 0; --pad)
            out.Put(' ');
        return;
    }
    if (count >= 0)
        n = (size_t)count;
    else
    {
        n = 0;
        while (s[n] != 0 && (precision < 0 || n < (size_t)precision))
            ++n;
    }
    if (precision >= 0 && n > (size_t)precision)
        n = (size_t)precision;
    for (int pad = width - (int)n; !left && pad > 0; --pad)
        out.Put(' ');
    for (size_t i = 0; i < n; ++i)
        out.Put(sizeof(S) == 1 ? (char32_t)(unsigned char)s[i] : (char32_t)s[i]);
    for (int pad = width - (int)n; left && pad > 0; --pad)
        out.Put(' ');
}

template <typename C>
void PutNumber(Sink<C>& out, unsigned long long v, bool negative, int base, bool upper, int width,
               bool left, bool zero, int precision, bool plus, bool space, bool alt)
{
    char digits[32];
    int n = 0;
    const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    do
    {
        digits[n++] = set[v % (unsigned)base];
        v /= (unsigned)base;
    } while (v != 0);
    if (precision == 0 && n == 1 && digits[0] == '0')
        n = 0;
    int prec = precision > n ? precision : n;
    char sign = negative ? '-' : plus ? '+' : space ? ' ' : 0;
    const char* prefix = (alt && base == 16) ? (upper ? "0X" : "0x") : "";
    int total = prec + (sign ? 1 : 0) + (int)strlen(prefix);
    if (!left && !(zero && precision < 0))
        for (int pad = width - total; pad > 0; --pad)
            out.Put(' ');
    if (sign)
        out.Put((char32_t)sign);
    for (const char* p = prefix; *p; ++p)
        out.Put((char32_t)*p);
    if (!left && zero && precision < 0)
        for (int pad = width - total; pad > 0; --pad)
            out.Put('0');
    for (int i = n; i < prec; ++i)
        out.Put('0');
    while (n > 0)
        out.Put((char32_t)digits[--n]);
    if (left)
        for (int pad = width - total; pad > 0; --pad)
            out.Put(' ');
}

template <typename C, typename F> void Format(Sink<C>& out, const F* f, va_list args)
{
    const bool wideFormat = sizeof(F) == 2;
    while (*f != 0)
    {
        if (*f != '%')
        {
            out.Put(sizeof(F) == 1 ? (char32_t)(unsigned char)*f : (char32_t)*f);
            ++f;
            continue;
        }
        ++f;
        bool left = false, zero = false, plus = false, space = false, alt = false;
        for (;; ++f)
        {
            if (*f == '-')
                left = true;
            else if (*f == '0')
                zero = true;
            else if (*f == '+')
                plus = true;
            else if (*f == ' ')
                space = true;
            else if (*f == '#')
                alt = true;
            else
                break;
        }
        int width = 0;
        if (*f == '*')
        {
            width = va_arg(args, int);
            if (width < 0)
            {
                left = true;
                width = -width;
            }
            ++f;
        }
        else
            while (*f >= '0' && *f <= '9')
                width = width * 10 + (*f++ - '0');
        int precision = -1;
        if (*f == '.')
        {
            ++f;
            precision = 0;
            if (*f == '*')
            {
                precision = va_arg(args, int);
                ++f;
            }
            else
                while (*f >= '0' && *f <= '9')
                    precision = precision * 10 + (*f++ - '0');
        }
        int size = 0; // 0 int, 1 long (32-bit here), 2 64-bit, -1 short, 3 size_t
        bool wideString = wideFormat, narrowString = !wideFormat;
        bool forcedWidth = false;
        for (;;)
        {
            if (*f == 'h')
            {
                size = -1;
                wideString = false;
                narrowString = true;
                forcedWidth = true;
                ++f;
            }
            else if (*f == 'l')
            {
                ++f;
                if (*f == 'l')
                {
                    size = 2;
                    ++f;
                }
                else
                {
                    size = 1;
                    wideString = true;
                    narrowString = false;
                    forcedWidth = true;
                }
            }
            else if (*f == 'w')
            {
                wideString = true;
                narrowString = false;
                forcedWidth = true;
                ++f;
            }
            else if (*f == 'I' && f[1] == '6' && f[2] == '4')
            {
                size = 2;
                f += 3;
            }
            else if (*f == 'z' || *f == 'I')
            {
                size = 3;
                ++f;
            }
            else
                break;
        }
        F conv = *f;
        if (conv == 0)
            break;
        ++f;
        switch (conv)
        {
        case '%':
            out.Put('%');
            break;
        case 'c':
        case 'C':
        {
            int c = va_arg(args, int);
            bool wide = conv == 'C' ? !wideFormat : wideString;
            if (forcedWidth)
                wide = wideString;
            out.Put(wide ? (char32_t)(char16_t)c : (char32_t)(unsigned char)c);
            break;
        }
        case 's':
        case 'S':
        {
            bool wide = conv == 'S' ? !wideFormat : wideString;
            if (forcedWidth)
                wide = wideString && !narrowString;
            if (wide)
                PutString(out, va_arg(args, const char16_t*), -1, width, left, precision);
            else
                PutString(out, va_arg(args, const char*), -1, width, left, precision);
            break;
        }
        case 'Z':
        {
            if (wideString)
            {
                auto* u = va_arg(args, PCUNICODE_STRING);
                if (u == nullptr || u->Buffer == nullptr)
                    PutString(out, (const char*)nullptr, -1, width, left, precision);
                else
                    PutString(out, u->Buffer, u->Length / 2, width, left, precision);
            }
            else
            {
                auto* a = va_arg(args, PCANSI_STRING);
                if (a == nullptr || a->Buffer == nullptr)
                    PutString(out, (const char*)nullptr, -1, width, left, precision);
                else
                    PutString(out, a->Buffer, a->Length, width, left, precision);
            }
            break;
        }
        case 'd':
        case 'i':
        {
            long long v;
            if (size == 2)
                v = va_arg(args, long long);
            else if (size == 3)
                v = va_arg(args, ptrdiff_t);
            else
                v = va_arg(args, int);
            if (size == -1)
                v = (short)v;
            unsigned long long mag = v < 0 ? 0ull - (unsigned long long)v : (unsigned long long)v;
            PutNumber(out, mag, v < 0, 10, false, width, left, zero, precision, plus, space, false);
            break;
        }
        case 'u':
        case 'x':
        case 'X':
        case 'o':
        {
            unsigned long long v;
            if (size == 2)
                v = va_arg(args, unsigned long long);
            else if (size == 3)
                v = va_arg(args, size_t);
            else
                v = va_arg(args, unsigned int);
            if (size == -1)
                v = (unsigned short)v;
            int base = conv == 'u' ? 10 : conv == 'o' ? 8 : 16;
            PutNumber(out, v, false, base, conv == 'X', width, left, zero, precision, false, false,
                      alt);
            break;
        }
        case 'p':
        {
            // The 64-bit platform prints pointers as 16 upper-case hex digits.
            auto v = (unsigned long long)(uintptr_t)va_arg(args, void*);
            PutNumber(out, v, false, 16, true, 16, false, true, -1, false, false, false);
            break;
        }
        default:
            out.Put('%');
            out.Put((char32_t)conv);
            break;
        }
    }
    out.Finish();
}

template <typename C, typename F>
NTSTATUS BoundedPrintf(C* dest, size_t cch, const F* format, va_list args)
{
    if (dest == nullptr || cch == 0 || cch > NTSTRSAFE_MAX_CCH)
        return STATUS_INVALID_PARAMETER;
    if (format == nullptr)
    {
        dest[0] = 0;
        return STATUS_INVALID_PARAMETER;
    }
    Sink<C> out{dest, cch};
    Format(out, format, args);
    return out.Truncated ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

template <typename C> NTSTATUS CopyBounded(C* dest, size_t cch, const C* src)
{
    if (dest == nullptr || cch == 0 || cch > NTSTRSAFE_MAX_CCH)
        return STATUS_INVALID_PARAMETER;
    size_t i = 0;
    for (; src[i] != 0; ++i)
    {
        if (i + 1 >= cch)
        {
            dest[i] = 0;
            return STATUS_BUFFER_OVERFLOW;
        }
        dest[i] = src[i];
    }
    dest[i] = 0;
    return STATUS_SUCCESS;
}

template <typename C> NTSTATUS CatBounded(C* dest, size_t cch, const C* src)
{
    if (dest == nullptr || cch == 0 || cch > NTSTRSAFE_MAX_CCH)
        return STATUS_INVALID_PARAMETER;
    size_t used = 0;
    while (used < cch && dest[used] != 0)
        ++used;
    if (used == cch)
        return STATUS_INVALID_PARAMETER;
    return CopyBounded(dest + used, cch - used, src);
}

template <typename C> NTSTATUS LengthBounded(const C* s, size_t cchMax, size_t* cch)
{
    if (s == nullptr || cchMax == 0 || cchMax > NTSTRSAFE_MAX_CCH)
    {
        if (cch)
            *cch = 0;
        return STATUS_INVALID_PARAMETER;
    }
    size_t n = 0;
    while (n < cchMax && s[n] != 0)
        ++n;
    if (n == cchMax)
    {
        if (cch)
            *cch = 0;
        return STATUS_INVALID_PARAMETER;
    }
    if (cch)
        *cch = n;
    return STATUS_SUCCESS;
}

WCHAR Upcase(WCHAR c)
{
    if (c >= u'a' && c <= u'z')
        return (WCHAR)(c - 32);
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7)
        return (WCHAR)(c - 32);
    if (c == 0xFF)
        return 0x178;
    return c;
}
} // namespace

std::string EmuFormatV(const char* format, va_list args)
{
    std::string s;
    Sink<char> out{nullptr, 0};
    out.Grow = &s;
    va_list copy;
    va_copy(copy, args);
    Format(out, format, copy);
    va_end(copy);
    return s;
}

NTSTATUS RtlStringCbVPrintfA(PSTR dest, size_t cbDest, PCSTR format, va_list args)
{
    return BoundedPrintf(dest, cbDest, format, args);
}
NTSTATUS RtlStringCbVPrintfW(PWSTR dest, size_t cbDest, PCWSTR format, va_list args)
{
    return BoundedPrintf(dest, cbDest / sizeof(WCHAR), format, args);
}
NTSTATUS RtlStringCbPrintfA(PSTR dest, size_t cbDest, PCSTR format, ...)
{
    va_list args;
    va_start(args, format);
    NTSTATUS s = BoundedPrintf(dest, cbDest, format, args);
    va_end(args);
    return s;
}
NTSTATUS RtlStringCbPrintfW(PWSTR dest, size_t cbDest, PCWSTR format, ...)
{
    va_list args;
    va_start(args, format);
    NTSTATUS s = BoundedPrintf(dest, cbDest / sizeof(WCHAR), format, args);
    va_end(args);
    return s;
}
NTSTATUS RtlStringCchPrintfA(PSTR dest, size_t cchDest, PCSTR format, ...)
{
    va_list args;
    va_start(args, format);
    NTSTATUS s = BoundedPrintf(dest, cchDest, format, args);
    va_end(args);
    return s;
}
NTSTATUS RtlStringCchPrintfW(PWSTR dest, size_t cchDest, PCWSTR format, ...)
{
    va_list args;
    va_start(args, format);
    NTSTATUS s = BoundedPrintf(dest, cchDest, format, args);
    va_end(args);
    return s;
}
NTSTATUS RtlStringCbCopyA(PSTR dest, size_t cbDest, PCSTR src)
{
    return CopyBounded(dest, cbDest, src);
}
NTSTATUS RtlStringCbCopyW(PWSTR dest, size_t cbDest, PCWSTR src)
{
    return CopyBounded(dest, cbDest / sizeof(WCHAR), src);
}
NTSTATUS RtlStringCchCopyW(PWSTR dest, size_t cchDest, PCWSTR src)
{
    return CopyBounded(dest, cchDest, src);
}
NTSTATUS RtlStringCbCatA(PSTR dest, size_t cbDest, PCSTR src)
{
    return CatBounded(dest, cbDest, src);
}
NTSTATUS RtlStringCbCatW(PWSTR dest, size_t cbDest, PCWSTR src)
{
    return CatBounded(dest, cbDest / sizeof(WCHAR), src);
}
NTSTATUS RtlStringCbLengthA(PCSTR s, size_t cbMax, size_t* cbLength)
{
    return LengthBounded(s, cbMax, cbLength);
}
NTSTATUS RtlStringCbLengthW(PCWSTR s, size_t cbMax, size_t* cbLength)
{
    size_t cch = 0;
    NTSTATUS st = LengthBounded(s, cbMax / sizeof(WCHAR), &cch);
    if (cbLength)
        *cbLength = cch * sizeof(WCHAR);
    return st;
}
NTSTATUS RtlStringCchLengthW(PCWSTR s, size_t cchMax, size_t* cchLength)
{
    return LengthBounded(s, cchMax, cchLength);
}

// ---------------------------------------------------------------------------
// Counted strings

void RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source)
{
    if (source == nullptr)
    {
        destination->Length = destination->MaximumLength = 0;
        destination->Buffer = nullptr;
        return;
    }
    size_t cb = Length(source) * sizeof(WCHAR);
    if (cb > 0xFFFC)
        cb = 0xFFFC;
    destination->Length = (USHORT)cb;
    destination->MaximumLength = (USHORT)(cb + sizeof(WCHAR));
    destination->Buffer = const_cast<PWSTR>(source);
}

void RtlInitAnsiString(PANSI_STRING destination, PCSTR source)
{
    if (source == nullptr)
    {
        destination->Length = destination->MaximumLength = 0;
        destination->Buffer = nullptr;
        return;
    }
    size_t cb = strlen(source);
    if (cb > 0xFFFE)
        cb = 0xFFFE;
    destination->Length = (USHORT)cb;
    destination->MaximumLength = (USHORT)(cb + 1);
    destination->Buffer = const_cast<PCHAR>(source);
}

void RtlInitString(PSTRING destination, PCSTR source)
{
    RtlInitAnsiString(destination, source);
}

void RtlCopyUnicodeString(PUNICODE_STRING destination, PCUNICODE_STRING source)
{
    if (source == nullptr || source->Buffer == nullptr)
    {
        destination->Length = 0;
        return;
    }
    USHORT n =
        source->Length < destination->MaximumLength ? source->Length : destination->MaximumLength;
    n &= (USHORT)~1u;
    memmove(destination->Buffer, source->Buffer, n);
    destination->Length = n;
    if (n + sizeof(WCHAR) <= destination->MaximumLength)
        destination->Buffer[n / sizeof(WCHAR)] = 0;
}

WCHAR RtlUpcaseUnicodeChar(WCHAR c)
{
    return Upcase(c);
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING s1, PCUNICODE_STRING s2, BOOLEAN caseInsensitive)
{
    size_t n1 = s1->Length / sizeof(WCHAR), n2 = s2->Length / sizeof(WCHAR);
    size_t n = n1 < n2 ? n1 : n2;
    for (size_t i = 0; i < n; ++i)
    {
        WCHAR a = s1->Buffer[i], b = s2->Buffer[i];
        if (caseInsensitive)
        {
            a = Upcase(a);
            b = Upcase(b);
        }
        if (a != b)
            return (LONG)a - (LONG)b;
    }
    return (LONG)n1 - (LONG)n2;
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING s1, PCUNICODE_STRING s2, BOOLEAN caseInsensitive)
{
    return s1->Length == s2->Length && RtlCompareUnicodeString(s1, s2, caseInsensitive) == 0;
}

LONG RtlCompareString(const STRING* s1, const STRING* s2, BOOLEAN caseInsensitive)
{
    size_t n = s1->Length < s2->Length ? s1->Length : s2->Length;
    for (size_t i = 0; i < n; ++i)
    {
        int a = (unsigned char)s1->Buffer[i], b = (unsigned char)s2->Buffer[i];
        if (caseInsensitive)
        {
            a = Upcase((WCHAR)a) & 0xFF;
            b = Upcase((WCHAR)b) & 0xFF;
        }
        if (a != b)
            return a - b;
    }
    return (LONG)s1->Length - (LONG)s2->Length;
}

NTSTATUS RtlUpcaseUnicodeString(PUNICODE_STRING destination, PCUNICODE_STRING source,
                                BOOLEAN allocateDestination)
{
    if (allocateDestination)
    {
        destination->MaximumLength = source->Length;
        destination->Buffer = (PWSTR)ExAllocatePoolWithTag(
            PagedPool, source->Length ? source->Length : 2, STRING_TAG);
        if (destination->Buffer == nullptr)
            return STATUS_NO_MEMORY;
    }
    else if (destination->MaximumLength < source->Length)
        return STATUS_BUFFER_OVERFLOW;
    for (USHORT i = 0; i < source->Length / sizeof(WCHAR); ++i)
        destination->Buffer[i] = Upcase(source->Buffer[i]);
    destination->Length = source->Length;
    return STATUS_SUCCESS;
}

NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING destination, PCUNICODE_STRING source,
                                      BOOLEAN allocateDestination)
{
    size_t n = source->Length / sizeof(WCHAR);
    if (n + 1 > 0xFFFF)
        return STATUS_INVALID_PARAMETER_2;
    if (allocateDestination)
    {
        destination->MaximumLength = (USHORT)(n + 1);
        destination->Buffer = (PCHAR)ExAllocatePoolWithTag(PagedPool, n + 1, STRING_TAG);
        if (destination->Buffer == nullptr)
            return STATUS_NO_MEMORY;
    }
    else if (destination->MaximumLength <= n)
    {
        // Fill what fits, as the real routine does, and report the overflow.
        size_t fit = destination->MaximumLength ? destination->MaximumLength - 1u : 0u;
        for (size_t i = 0; i < fit; ++i)
            destination->Buffer[i] = source->Buffer[i] < 0x100 ? (char)source->Buffer[i] : '?';
        if (destination->MaximumLength)
            destination->Buffer[fit] = 0;
        destination->Length = (USHORT)fit;
        return STATUS_BUFFER_OVERFLOW;
    }
    for (size_t i = 0; i < n; ++i)
        destination->Buffer[i] = source->Buffer[i] < 0x100 ? (char)source->Buffer[i] : '?';
    destination->Buffer[n] = 0;
    destination->Length = (USHORT)n;
    return STATUS_SUCCESS;
}

NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING destination, PCANSI_STRING source,
                                      BOOLEAN allocateDestination)
{
    size_t cb = (size_t)source->Length * sizeof(WCHAR);
    if (cb + sizeof(WCHAR) > 0xFFFF)
        return STATUS_INVALID_PARAMETER_2;
    if (allocateDestination)
    {
        destination->MaximumLength = (USHORT)(cb + sizeof(WCHAR));
        destination->Buffer = (PWSTR)ExAllocatePoolWithTag(PagedPool, cb + 2, STRING_TAG);
        if (destination->Buffer == nullptr)
            return STATUS_NO_MEMORY;
    }
    else if (destination->MaximumLength < cb)
        return STATUS_BUFFER_OVERFLOW;
    for (USHORT i = 0; i < source->Length; ++i)
        destination->Buffer[i] = (WCHAR)(unsigned char)source->Buffer[i];
    destination->Length = (USHORT)cb;
    if (destination->MaximumLength >= cb + sizeof(WCHAR))
        destination->Buffer[source->Length] = 0;
    return STATUS_SUCCESS;
}

void RtlFreeUnicodeString(PUNICODE_STRING s)
{
    if (s->Buffer != nullptr)
        ExFreePoolWithTag(s->Buffer, STRING_TAG);
    s->Buffer = nullptr;
    s->Length = s->MaximumLength = 0;
}

void RtlFreeAnsiString(PANSI_STRING s)
{
    if (s->Buffer != nullptr)
        ExFreePoolWithTag(s->Buffer, STRING_TAG);
    s->Buffer = nullptr;
    s->Length = s->MaximumLength = 0;
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING destination, PCWSTR source)
{
    if (source == nullptr)
        return STATUS_SUCCESS;
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, source);
    return RtlAppendUnicodeStringToString(destination, &s);
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING destination, PCUNICODE_STRING source)
{
    size_t total = (size_t)destination->Length + source->Length;
    if (total > destination->MaximumLength)
        return STATUS_BUFFER_TOO_SMALL;
    memmove((PUCHAR)destination->Buffer + destination->Length, source->Buffer, source->Length);
    destination->Length = (USHORT)total;
    if (total + sizeof(WCHAR) <= destination->MaximumLength)
        destination->Buffer[total / sizeof(WCHAR)] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING s, ULONG base, PULONG value)
{
    size_t i = 0, n = s->Length / sizeof(WCHAR);
    while (i < n && s->Buffer[i] == u' ')
        ++i;
    bool negative = false;
    if (i < n && (s->Buffer[i] == u'-' || s->Buffer[i] == u'+'))
        negative = s->Buffer[i++] == u'-';
    if (base == 0)
    {
        base = 10;
        if (i + 1 < n && s->Buffer[i] == u'0')
        {
            WCHAR p = s->Buffer[i + 1];
            if (p == u'x')
                base = 16;
            else if (p == u'o')
                base = 8;
            else if (p == u'b')
                base = 2;
            if (base != 10)
                i += 2;
        }
    }
    if (base != 2 && base != 8 && base != 10 && base != 16)
        return STATUS_INVALID_PARAMETER;
    ULONG v = 0;
    for (; i < n; ++i)
    {
        WCHAR c = s->Buffer[i];
        ULONG d;
        if (c >= u'0' && c <= u'9')
            d = c - u'0';
        else if (c >= u'a' && c <= u'f')
            d = c - u'a' + 10;
        else if (c >= u'A' && c <= u'F')
            d = c - u'A' + 10;
        else
            break;
        if (d >= base)
            break;
        v = v * base + d;
    }
    *value = negative ? 0u - v : v;
    return STATUS_SUCCESS;
}
