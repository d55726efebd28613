#include "tests/common/emu_test.h"

std::string Narrow(const WCHAR* s)
{
    std::string r;
    for (; s != nullptr && *s != 0; ++s)
        r += *s < 0x80 ? (char)*s : '?';
    return r;
}

std::string Narrow(const UNICODE_STRING& s)
{
    std::string r;
    for (USHORT i = 0; i < s.Length / sizeof(WCHAR); ++i)
        r += s.Buffer[i] < 0x80 ? (char)s.Buffer[i] : '?';
    return r;
}
