// Running the tools as child processes in tests: files for every stream, a
// time limit, and the child ended by its own pid if it overstays.
#pragma once
#include <fcntl.h>
#include <sys/stat.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

struct ToolRun {
    int status = -1;       // exit status, or -1 when killed or not started
    std::string out, err;  // contents of its standard output and error
};

inline bool Exists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

inline std::string ReadFileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline std::string TestDir() {
    static std::string dir;
    if (dir.empty()) {
        char pattern[] = "/tmp/qorvex_tools_XXXXXX";
        const char* made = mkdtemp(pattern);
        dir = made ? made : "/tmp";
    }
    return dir;
}

// Starts argv with stdin from inPath ("" for /dev/null); returns the pid.
inline pid_t StartTool(const std::vector<std::string>& argv, const std::string& inPath,
                       const std::string& outPath, const std::string& errPath) {
    const pid_t pid = fork();
    if (pid != 0) return pid;
    const int in = open(inPath.empty() ? "/dev/null" : inPath.c_str(), O_RDONLY);
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0) _exit(127);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

// Waits up to timeoutMs; a child still running then is killed by its pid.
inline int WaitTool(pid_t pid, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (done < 0) return -1;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

inline ToolRun RunTool(const std::vector<std::string>& argv, const std::string& inPath = "",
                       int timeoutMs = 60000) {
    static int serial = 0;
    const std::string base = TestDir() + "/run" + std::to_string(++serial);
    ToolRun run;
    const pid_t pid = StartTool(argv, inPath, base + ".out", base + ".err");
    if (pid < 0) return run;
    run.status = WaitTool(pid, timeoutMs);
    run.out = ReadFileText(base + ".out");
    run.err = ReadFileText(base + ".err");
    return run;
}
