// The host program, or another, run as a user runs it.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

extern char** environ;

struct ProgramRun
{
    int Exit = -1, Signal = 0; // Signal: the one that ended it, if one did
    std::string Out, Err;
};

struct RunHow
{
    const char* Program = LT_HOST_PROGRAM;
    std::string Until = {}; // once the output holds it, the program is sent Signal
    int Signal = 0;
};

// Every signal starts at its default action (a shell's background job
// ignores SIGINT).
inline ProgramRun RunProgram(const std::vector<std::string>& args, const RunHow& how = {})
{
    std::vector<char*> argv{const_cast<char*>(how.Program)};
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ProgramRun run;
    int out[2];
    const int err = memfd_create("stderr", MFD_CLOEXEC);
    if (err < 0 || pipe2(out, O_CLOEXEC) != 0)
        return run;
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_adddup2(&files, out[1], 1);
    posix_spawn_file_actions_adddup2(&files, err, 2);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigfillset(&defaults);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    const bool started =
        posix_spawnp(&pid, argv[0], &files, &attributes, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attributes);
    close(out[1]);
    char buffer[4096];
    int signal = how.Signal;
    for (ssize_t got; started && (got = read(out[0], buffer, sizeof(buffer))) > 0;)
        if (run.Out.append(buffer, (size_t)got);
            signal != 0 && run.Out.find(how.Until) != std::string::npos)
            kill(pid, std::exchange(signal, 0));
    close(out[0]);
    int status = 0;
    if (started && waitpid(pid, &status, 0) == pid)
        (WIFEXITED(status) ? run.Exit : run.Signal) =
            WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status);
    run.Err.resize((size_t)lseek(err, 0, SEEK_END));
    run.Err.resize((size_t)std::max<ssize_t>(0, pread(err, run.Err.data(), run.Err.size(), 0)));
    close(err);
    return run;
}
