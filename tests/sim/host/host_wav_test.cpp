// The checks of a run's files before the driver loads: what cannot be read
// or written is named, and checking changes nothing on disk.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "sim/host/harness/host_wav.h"
#include "tests/sim/host/scratch_folder.h"

namespace fs = std::filesystem;

namespace
{
// Everything under a folder: each entry's kind, link target or bytes, and
// its modification time.
std::map<std::string, std::string> Snapshot(const std::string& dir)
{
    std::map<std::string, std::string> entries;
    for (const fs::directory_entry& e : fs::recursive_directory_iterator(dir))
    {
        struct stat s;
        lstat(e.path().c_str(), &s);
        std::string what = std::to_string(s.st_mode) + " " + std::to_string(s.st_mtim.tv_sec) +
                           "." + std::to_string(s.st_mtim.tv_nsec) + " ";
        if (e.is_symlink())
            what += fs::read_symlink(e.path()).string();
        else if (e.is_regular_file())
        {
            std::ifstream in(e.path(), std::ios::binary);
            what.append(std::istreambuf_iterator<char>(in), {});
        }
        entries[e.path().string()] = what;
    }
    struct stat s;
    stat(dir.c_str(), &s);
    entries[dir] = std::to_string(s.st_mtim.tv_sec) + "." + std::to_string(s.st_mtim.tv_nsec);
    return entries;
}
} // namespace

// Each output is taken or refused with its reason, and the folder holds the
// same entries, bytes and times after the check: links (to a file, to none
// yet, to one in a missing folder, in a loop) are neither followed into a
// new file nor replaced.
TEST(HostWav, CheckingAnOutputChangesNothingOnDisk)
{
    ScratchFolder w;
    fs::create_directory(w / "folder");
    std::ofstream(w / "there.wav") << "bytes a run would replace";
    std::ofstream(w / "read.wav") << "the file played";
    fs::create_symlink("there.wav", w / "to-there.wav");
    fs::create_symlink("folder/elsewhere.wav", w / "to-nothing.wav");
    fs::create_symlink("to-nothing.wav", w / "to-link.wav");
    fs::create_symlink(w / "missing/elsewhere.wav", w / "to-missing.wav");
    fs::create_symlink("loop-b.wav", w / "loop-a.wav");
    fs::create_symlink("loop-a.wav", w / "loop-b.wav");
    fs::create_symlink("read.wav", w / "to-read.wav");
    ASSERT_EQ(0, mkfifo((w / "pipe").c_str(), 0600));
    const std::vector<HostRunInput> inputs = {{w / "read.wav", "the file being played"}};
    const struct
    {
        std::string Path;
        std::string Refusal; // empty: taken
    } rows[] = {
        {w / "there.wav", ""},
        {w / "new.wav", ""},
        {w / "folder/new.wav", ""},
        {w / "to-there.wav", ""},
        {w / "to-nothing.wav", ""},
        {w / "to-link.wav", ""},
        {"/dev/full", ""},
        {"/dev/null", ""},
        {w / "to-missing.wav", w / "to-missing.wav: No such file or directory"},
        {w / "loop-a.wav", w / "loop-a.wav: Too many levels of symbolic links"},
        {w / "missing/new.wav", w / "missing/new.wav: No such file or directory"},
        {w / "there.wav/new.wav", w / "there.wav/new.wav: Not a directory"},
        {w / "folder", w / "folder: Is a directory"},
        {w / "pipe", w / "pipe: is a named pipe, not a file"},
        {w / "to-read.wav", w / "to-read.wav: is the file being played"},
        {"", "an output needs a file name"},
        {"-", "-: standard output is not written; give a file name (./- for a file named -)"},
    };
    const std::map<std::string, std::string> before = Snapshot(w.Dir());
    for (const auto& row : rows)
    {
        std::string error;
        EXPECT_EQ(row.Refusal.empty(), HostCheckOutput(row.Path, inputs, &error)) << row.Path;
        EXPECT_EQ(row.Refusal, error) << row.Path;
        EXPECT_EQ(before, Snapshot(w.Dir())) << row.Path;
    }
}

// A file to read is refused where reading would wait for a writer or is
// meant for standard input; a device file is read.
TEST(HostWav, AnInputIsAFile)
{
    ScratchFolder w;
    ASSERT_EQ(0, mkfifo((w / "pipe").c_str(), 0600));
    const struct
    {
        std::string Path;
        std::string Refusal;
    } rows[] = {
        {"/dev/null", ""},
        {w / "pipe", w / "pipe: is a named pipe, not a file"},
        {w.Dir(), w.Dir() + ": is a folder, not a file"},
        {w / "missing", w / "missing: No such file or directory"},
        {"-", "-: standard input is not read; give a file name (./- for a file named -)"},
    };
    for (const auto& row : rows)
    {
        std::string error;
        EXPECT_EQ(row.Refusal.empty(), HostCheckInput(row.Path, &error)) << row.Path;
        EXPECT_EQ(row.Refusal, error) << row.Path;
    }
}
