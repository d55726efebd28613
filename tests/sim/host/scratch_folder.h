// A folder of a test's files under /tmp, removed with all in it, and a
// file's text.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

class ScratchFolder
{
  public:
    ScratchFolder() : m_Dir(mkdtemp(m_Name) != nullptr ? m_Name : "") {}
    ~ScratchFolder()
    {
        if (!m_Dir.empty())
            std::filesystem::remove_all(m_Dir);
    }
    std::string operator/(const std::string& name) const { return m_Dir + "/" + name; }
    const std::string& Dir() const { return m_Dir; }

  private:
    char m_Name[20] = "/tmp/lthost-XXXXXX";
    std::string m_Dir;
};

inline std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}
