// Running a built program as a process, and scratch folders, for tests.
#ifndef TESTS_SUPPORT_PROCESS_H
#define TESTS_SUPPORT_PROCESS_H

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace testing_support {

// "<first><separator><second>" with the platform's separator ('/' on
// POSIX, '\\' on Windows).
std::string join_path(const std::string &first, const std::string &second);

struct ProcessResult {
    int exit_status = -1;  // exit code, or 128 + signal number
    std::string out;       // everything written on standard output
    std::string err;       // everything written on standard error
};

// Runs program with args (argv[1..]) in the working directory cwd (empty:
// the test's own), with exactly the variables of env as its environment,
// and stdin_data on its standard input. Waits for it to end.
ProcessResult run_process(const std::string &program, const std::vector<std::string> &args,
                          const std::map<std::string, std::string> &env,
                          const std::string &cwd = "", const std::string &stdin_data = "");

// How a child process ended, as wait_for_child and child_running tell it.
struct ChildEnd {
    bool ended = false;   // the child was waited for; false: no such child
    bool exited = false;  // it ended by exiting (else by a signal, POSIX only)
    int code = -1;        // its exit code, when it exited
    int signal = 0;       // the signal that ended it, when it did not exit
    // The exit code, or 128 + the signal number; -1 when not ended.
    int status() const { return !ended ? -1 : exited ? code : 128 + signal; }
};

// Waits for the child process pid (one this process started: forked or
// spawned) to end, and reaps it. Interrupted waits are retried. ended is
// false when pid is no child of this process.
// Windows: pid is a process id; the exit code is the process's.
ChildEnd wait_for_child(int64_t pid);

// Without waiting: true while the child process pid runs; false once it has
// ended (it is then reaped and *end, unless NULL, tells how) or when pid is
// no child of this process (end->ended false).
bool child_running(int64_t pid, ChildEnd *end);

// The path of the file that the stream f has open, in the form that
// std::filesystem::canonical gives for it; "" when it cannot be told.
// POSIX: read from /proc/self/fd. Windows: GetFinalPathNameByHandleW.
std::string path_of_open_file(FILE *f);

// Runs fn in a child process whose standard output and standard error go
// to pipes; the child exits with status 0 when fn returns. For code that
// ends the process or writes replies on standard output.
// POSIX: a forked child. Windows, which has no fork: the test executable
// runs again with a filter for the current test only; that child replays
// the test, given the results the parent saw for this test's earlier calls,
// up to this call, where it runs fn with standard output in binary mode.
// fn therefore sees the child's own copies of what the test made before
// (storage state, environment), built the same way, while the scratch
// folders the test made before the call are the parent's own: the child's
// ScratchDirs take the parent's paths in the order they were made.
ProcessResult run_in_child(const std::function<void()> &fn);

// A fresh folder under TMPDIR (or /tmp; on Windows the user's temporary
// folder), removed with all it holds when the object goes away. Its path is
// in the platform's form; operator/ joins with the platform's separator.
class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;
    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return join_path(path_, name); }

  private:
    std::string path_;
    bool keep_ = false;  // a folder of another process's, lent to this one
};

// Sets the variable name of this process's environment to value, or
// removes it when value is NULL.
void set_env(const std::string &name, const char *value);

// Makes path the working directory of this process. 0 / -1.
int change_dir(const std::string &path);

// true when the tests run under Wine rather than Windows. Wine 8 has no
// rename with POSIX semantics: a file that another handle holds open cannot
// be replaced by a rename there, as on Windows before version 10 (1709).
// Tests that need the replacement skip under Wine, saying why.
bool running_under_wine();

// Creates one directory level, like mkdir. 0 made, -1 otherwise (also
// when something of that name is there already).
int make_dir(const std::string &path);

// text with every CR LF turned into LF: what a program writes on a text
// stream (standard error) ends its lines with CR LF on Windows.
std::string unix_line_ends(const std::string &text);

// Whole-file helpers.
std::string read_whole_file(const std::string &path);
void write_whole_file(const std::string &path, const std::string &data);
bool path_exists(const std::string &path);

// Lowercase hex SHA-256 of data ("sha256:" not included), from the
// reference library (reference_sha256.h) so that tests do not rely on the
// code under test.
std::string reference_sha256_hex(const std::string &data);

// n pseudo-random bytes from seed.
std::string random_bytes(size_t n, unsigned seed);

}  // namespace testing_support

#endif
