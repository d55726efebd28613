// The host program, or another, run as a user runs it.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
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
    // The program is killed (SIGKILL) once it has run this long: one that
    // hangs fails its test instead of holding it.
    int LimitSeconds = 0;
    // The error stream is a full pipe until Signal is sent: the program waits
    // at its first error line, with all it printed before it on the output.
    bool HoldErrors = false;
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
    int err = memfd_create("stderr", MFD_CLOEXEC), held = -1, filler = 0;
    if (int ends[2]; how.HoldErrors && pipe2(ends, O_CLOEXEC) == 0)
    {
        filler = fcntl(ends[1], F_GETPIPE_SZ);
        const std::string dots((size_t)std::max(filler, 0), '.');
        filler = write(ends[1], dots.data(), dots.size()) == filler ? filler : 0;
        dup3(ends[1], err, O_CLOEXEC), close(ends[1]), held = ends[0];
    }
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
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(how.LimitSeconds);
    for (ssize_t got; started;)
    {
        pollfd ready = {out[0], POLLIN, 0};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (how.LimitSeconds != 0 && poll(&ready, 1, (int)std::max<long>(0, left.count())) == 0)
            kill(pid, SIGKILL);
        if ((got = read(out[0], buffer, sizeof(buffer))) <= 0)
            break;
        if (run.Out.append(buffer, (size_t)got);
            signal != 0 && run.Out.find(how.Until) != std::string::npos)
        {
            kill(pid, std::exchange(signal, 0));
            // The filler read out, the program's line goes in.
            for (ssize_t drained = 0; drained < filler && got > 0; drained += got)
                got = read(held, buffer, std::min<size_t>(sizeof(buffer), filler - drained));
            filler = 0;
        }
    }
    close(out[0]);
    int status = 0;
    if (started && waitpid(pid, &status, 0) == pid)
        (WIFEXITED(status) ? run.Exit : run.Signal) =
            WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status);
    if (held >= 0) // what the pipe holds now, to its end
        dup2(held, err), close(held);
    lseek(err, 0, SEEK_SET);
    for (ssize_t got; (got = read(err, buffer, sizeof(buffer))) > 0;)
        run.Err.append(buffer, (size_t)got);
    close(err);
    return run;
}

// `main` run in a child of the test as a program's main is, with `args`
// after "lthost" as its command line: Out holds what it printed on both
// streams, in order (Err is empty).
template <class Main> ProgramRun RunInChildProcess(std::vector<std::string> args, Main main)
{
    ProgramRun run;
    const int log = memfd_create("log", MFD_CLOEXEC);
    fflush(nullptr);
    const pid_t pid = log < 0 ? -1 : fork();
    if (pid == 0)
    {
        dup2(log, STDOUT_FILENO), dup2(log, STDERR_FILENO);
        std::vector<char*> argv{const_cast<char*>("lthost")};
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        const int exit = main((int)args.size() + 1, argv.data());
        fflush(nullptr);
        _exit(exit);
    }
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid)
        (WIFEXITED(status) ? run.Exit : run.Signal) =
            WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status);
    char buffer[4096];
    lseek(log, 0, SEEK_SET);
    for (ssize_t got; log >= 0 && (got = read(log, buffer, sizeof(buffer))) > 0;)
        run.Out.append(buffer, (size_t)got);
    close(log);
    return run;
}
