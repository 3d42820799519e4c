#pragma once

// Runs a real executable of the project as a child process with its own
// environment, its output captured in files, and a bound on its run time.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace qel::testing {

struct ChildResult {
    int exitCode = -1;  // -1 when killed by a signal or timed out
    int signal = 0;     // the signal that ended it, if any
    bool timedOut = false;
    std::string out;
    std::string err;
};

class ChildProcess {
  public:
    // Starts `argv` with the current environment plus `env` (an empty value
    // removes the variable); stdout and stderr go to files in `folder`.
    ChildProcess(const std::vector<std::string>& argv,
                 const std::map<std::string, std::string>& env, const std::filesystem::path& folder)
        : outFile_(folder / ("child_" + std::to_string(counter()++) + ".out")),
          errFile_(outFile_.string() + ".err") {
        std::map<std::string, std::string> all;
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry = *e;
            const auto eq = entry.find('=');
            if (eq != std::string::npos) all[entry.substr(0, eq)] = entry.substr(eq + 1);
        }
        for (const auto& [k, v] : env) {
            if (v.empty()) {
                all.erase(k);
            } else {
                all[k] = v;
            }
        }
        std::vector<std::string> envText;
        for (const auto& [k, v] : all) envText.push_back(k + "=" + v);
        std::vector<char*> envp, args;
        for (auto& s : envText) envp.push_back(s.data());
        envp.push_back(nullptr);
        std::vector<std::string> argvCopy = argv;
        for (auto& s : argvCopy) args.push_back(s.data());
        args.push_back(nullptr);
        const int out = ::open(outFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = ::open(errFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out, STDOUT_FILENO);
            ::dup2(err, STDERR_FILENO);
            const int devNull = ::open("/dev/null", O_RDONLY);
            ::dup2(devNull, STDIN_FILENO);
            ::execve(args[0], args.data(), envp.data());
            ::_exit(127);
        }
        ::close(out);
        ::close(err);
    }
    ~ChildProcess() {
        if (pid_ > 0 && !reaped_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    void signal(int sig) { ::kill(pid_, sig); }
    std::string outSoFar() const { return read(outFile_); }
    std::string errSoFar() const { return read(errFile_); }

    // Waits at most `limit` for the child to end; kills it after that.
    ChildResult wait(std::chrono::milliseconds limit = std::chrono::seconds(60)) {
        ChildResult result;
        int status = 0;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            const pid_t done = ::waitpid(pid_, &status, WNOHANG);
            if (done == pid_) break;
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
                result.timedOut = true;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        reaped_ = true;
        if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
        if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
        result.out = read(outFile_);
        result.err = read(errFile_);
        return result;
    }

  private:
    static int& counter() {
        static int n = 0;
        return n;
    }
    static std::string read(const std::filesystem::path& file) {
        std::ifstream in(file, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    std::filesystem::path outFile_;
    std::filesystem::path errFile_;
    pid_t pid_ = -1;
    bool reaped_ = false;
};

// Runs a child to its end.
inline ChildResult runChild(const std::vector<std::string>& argv,
                            const std::map<std::string, std::string>& env,
                            const std::filesystem::path& folder,
                            std::chrono::milliseconds limit = std::chrono::seconds(60)) {
    ChildProcess child(argv, env, folder);
    return child.wait(limit);
}

}  // namespace qel::testing
