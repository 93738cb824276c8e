// Processes, scratch folders and the environment on POSIX: fork and exec.
#include "tests/support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace testing_support {

namespace {

// How a child that waitpid reported with status ended.
ChildEnd end_of(int status) {
    ChildEnd end;
    end.ended = true;
    end.exited = WIFEXITED(status);
    if (end.exited)
        end.code = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        end.signal = WTERMSIG(status);
    return end;
}

// Waits for pid to end: its exit code, or 128 + the signal that ended it.
int wait_for_exit(pid_t pid) { return wait_for_child(pid).status(); }

}  // namespace

ChildEnd wait_for_child(int64_t pid) {
    int status = 0;
    pid_t done;
    while ((done = waitpid(static_cast<pid_t>(pid), &status, 0)) < 0 && errno == EINTR) {
    }
    return done == static_cast<pid_t>(pid) && pid > 0 ? end_of(status) : ChildEnd{};
}

bool child_running(int64_t pid, ChildEnd *end) {
    int status = 0;
    pid_t done;
    while ((done = waitpid(static_cast<pid_t>(pid), &status, WNOHANG)) < 0 && errno == EINTR) {
    }
    if (done == 0 && pid > 0) return true;
    ChildEnd result = done == static_cast<pid_t>(pid) && pid > 0 ? end_of(status) : ChildEnd{};
    if (end != nullptr) *end = result;
    return false;
}

std::string path_of_open_file(FILE *f) {
    if (f == nullptr || fileno(f) < 0) return "";
    std::error_code ec;
    std::string path =
        std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fileno(f)), ec).string();
    return ec ? "" : path;
}

ProcessResult run_process(const std::string &program, const std::vector<std::string> &args,
                          const std::map<std::string, std::string> &env, const std::string &cwd,
                          const std::string &stdin_data) {
    int in_pipe[2], out_pipe[2], err_pipe[2];
    if (pipe(in_pipe) != 0 || pipe(out_pipe) != 0 || pipe(err_pipe) != 0)
        throw std::runtime_error("pipe failed");
    std::vector<std::string> env_text;
    for (const auto &[k, v] : env) env_text.push_back(k + "=" + v);
    std::vector<char *> envp, argv;
    for (auto &e : env_text) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string prog = program;
    argv.push_back(prog.data());
    std::vector<std::string> args_copy = args;
    for (auto &a : args_copy) argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(in_pipe[0], 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]})
            close(fd);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        execve(prog.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    signal(SIGPIPE, SIG_IGN);

    ProcessResult result;
    size_t written = 0;
    int in_fd = in_pipe[1];
    if (stdin_data.empty()) {
        close(in_fd);
        in_fd = -1;
    } else {
        fcntl(in_fd, F_SETFL, O_NONBLOCK);
    }
    bool out_open = true, err_open = true;
    char buf[65536];
    while (out_open || err_open) {
        pollfd fds[3];
        int n = 0;
        int out_idx = -1, err_idx = -1, in_idx = -1;
        if (out_open) { fds[n] = {out_pipe[0], POLLIN, 0}; out_idx = n++; }
        if (err_open) { fds[n] = {err_pipe[0], POLLIN, 0}; err_idx = n++; }
        if (in_fd >= 0) { fds[n] = {in_fd, POLLOUT, 0}; in_idx = n++; }
        if (poll(fds, n, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (out_idx >= 0 && fds[out_idx].revents) {
            ssize_t r = read(out_pipe[0], buf, sizeof buf);
            if (r > 0) result.out.append(buf, r); else out_open = false;
        }
        if (err_idx >= 0 && fds[err_idx].revents) {
            ssize_t r = read(err_pipe[0], buf, sizeof buf);
            if (r > 0) result.err.append(buf, r); else err_open = false;
        }
        if (in_idx >= 0 && fds[in_idx].revents) {
            ssize_t w = write(in_fd, stdin_data.data() + written, stdin_data.size() - written);
            if (w > 0) written += w;
            if (w < 0 && errno != EAGAIN) written = stdin_data.size();
            if (written >= stdin_data.size()) {
                close(in_fd);
                in_fd = -1;
            }
        }
    }
    if (in_fd >= 0) close(in_fd);
    close(out_pipe[0]);
    close(err_pipe[0]);
    result.exit_status = wait_for_exit(pid);
    return result;
}

namespace {

void drain_into(int fd, std::string &out) {
    char buf[65536];
    ssize_t r;
    while ((r = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(r));
}

}  // namespace

ProcessResult run_in_child(const std::function<void()> &fn) {
    int out_pipe[2], err_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) throw std::runtime_error("pipe failed");
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        for (int fd : {out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]}) close(fd);
        fn();
        fflush(stdout);
        _exit(0);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    ProcessResult result;
    // Standard error is small; read standard output to its end first.
    drain_into(out_pipe[0], result.out);
    drain_into(err_pipe[0], result.err);
    close(out_pipe[0]);
    close(err_pipe[0]);
    result.exit_status = wait_for_exit(pid);
    return result;
}

ScratchDir::ScratchDir() {
    const char *base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/regtest-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

ScratchDir::~ScratchDir() {
    if (keep_) return;
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

bool path_exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string join_path(const std::string &first, const std::string &second) {
    return first + "/" + second;
}

bool running_under_wine() { return false; }

void set_env(const std::string &name, const char *value) {
    if (value != nullptr)
        setenv(name.c_str(), value, 1);
    else
        unsetenv(name.c_str());
}

int change_dir(const std::string &path) { return chdir(path.c_str()); }

}  // namespace testing_support
