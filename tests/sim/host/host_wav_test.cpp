// The check of a run's outputs before the driver loads: what cannot be
// written is named, and checking changes nothing on disk. The valid bits
// a file's header keeps are found past chunks of an odd size.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <map>

#include "sim/host/harness/host_wav.h"
#include "tests/sim/host/scratch_folder.h"

namespace fs = std::filesystem;

namespace
{
// Every entry under a folder, and the folder: its kind, size, time and link.
std::map<std::string, std::string> Snapshot(const std::string& dir)
{
    std::map<std::string, std::string> entries;
    for (const fs::directory_entry& e : fs::recursive_directory_iterator(dir))
    {
        struct stat s;
        lstat(e.path().c_str(), &s);
        entries[e.path()] = std::to_string(s.st_mode) + " " + std::to_string(s.st_size) + " " +
                            std::to_string(s.st_mtim.tv_nsec) +
                            (e.is_symlink() ? fs::read_symlink(e.path()).string() : "");
    }
    struct stat s;
    stat(dir.c_str(), &s);
    entries[dir] = std::to_string(s.st_mtim.tv_nsec);
    return entries;
}
} // namespace

// Each output is taken or refused with its reason, and the folder holds the
// same entries after the check: links (to a file, to none yet, to one in a
// missing folder, in a loop) are neither followed into a new file nor
// replaced; a file there is not emptied.
TEST(HostWav, CheckingAnOutputChangesNothingOnDisk)
{
    ScratchFolder w;
    fs::create_directory(w / "folder");
    std::ofstream(w / "there.wav") << "bytes a run would replace";
    std::ofstream(w / "read.wav") << "the file played";
    for (const auto& [link, target] : {std::pair{"to-there", "there.wav"},
                                       {"to-nothing", "folder/elsewhere.wav"},
                                       {"to-link", "to-nothing"},
                                       {"to-missing", "missing/elsewhere.wav"},
                                       {"loop-a", "loop-b"},
                                       {"loop-b", "loop-a"},
                                       {"to-read", "read.wav"}})
        fs::create_symlink(target, w / link);
    ASSERT_EQ(0, mkfifo((w / "pipe").c_str(), 0600));
    const std::string rows[][2] = {
        {w / "there.wav", ""},
        {w / "new.wav", ""},
        {w / "folder/new.wav", ""},
        {w / "to-there", ""},
        {w / "to-nothing", ""},
        {w / "to-link", ""},
        {"/dev/full", ""},
        {w / "to-missing", ": No such file or directory"},
        {w / "loop-a", ": Too many levels of symbolic links"},
        {w / "there.wav/new.wav", ": Not a directory"},
        {w / "pipe", ": is a named pipe, not a file"},
        {w / "to-read", ": is the file being played"},
        {"-", ": standard output is not written; give a file name (./- for a file named -)"},
    };
    const std::map<std::string, std::string> before = Snapshot(w.Dir());
    for (const auto& [path, refusal] : rows)
    {
        std::string error;
        EXPECT_EQ(refusal.empty(),
                  HostCheckOutput(path, {{w / "read.wav", "the file being played"}}, &error));
        EXPECT_EQ(refusal.empty() ? "" : path + refusal, error);
        EXPECT_EQ(before, Snapshot(w.Dir())) << path;
    }
}

// A 3-byte chunk and its pad byte before the format: the file still reads
// as 24 valid bits in 32, every sample as written.
TEST(HostWav, AnOddChunkBeforeTheFormatIsSteppedOverWithItsPadByte)
{
    ScratchFolder w;
    const std::string path = w / "odd.wav";
    HostAudio written{48000, 2, 32, std::vector<UCHAR>(8 * 100), 24};
    for (size_t i = 0; i < written.Data.size(); ++i)
        written.Data[i] = i % 4 == 0 ? 0 : (UCHAR)i; // below the valid bits: 0
    std::string error;
    ASSERT_TRUE(HostWriteWav(path, written, &error)) << error;
    std::string bytes = ReadAll(path);
    bytes.insert(12, std::string("junk\x03\0\0\0abc\0", 12));
    const ULONG riff = (ULONG)bytes.size() - 8;
    memcpy(&bytes[4], &riff, 4);
    std::ofstream(path, std::ios::binary) << bytes;
    HostAudio read;
    ASSERT_TRUE(HostReadWav(path, &read, &error)) << error;
    EXPECT_EQ(24, read.ValidBits);
    EXPECT_EQ(written.Data, read.Data);
}
