// A folder of a test's files under /tmp, removed with everything in it when
// the object goes.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

class ScratchFolder
{
  public:
    ScratchFolder()
    {
        char name[] = "/tmp/lthost-XXXXXX";
        m_Dir = mkdtemp(name) != nullptr ? name : "/tmp";
    }
    ~ScratchFolder() { std::filesystem::remove_all(m_Dir); }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    std::string operator/(const std::string& name) const { return m_Dir + "/" + name; }
    const std::string& Dir() const { return m_Dir; }

  private:
    std::string m_Dir;
};
