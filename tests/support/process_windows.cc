// Processes, scratch folders and the environment on Windows: CreateProcessW
// with pipes, and for run_in_child a second run of the test executable.
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "tests/support/process.h"

namespace testing_support {

namespace {

std::wstring widen(const std::string &text) {
    if (text.empty()) return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), wide.data(), n);
    return wide;
}

std::string narrow(const std::wstring &wide) {
    if (wide.empty()) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), static_cast<int>(wide.size()), nullptr, 0,
                                nullptr, nullptr);
    std::string text(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), static_cast<int>(wide.size()), text.data(), n,
                        nullptr, nullptr);
    return text;
}

// The cross build names programs by their paths on the build machine
// ("/work/build-windows/endpoint/v2_blob.exe"); under Wine the root of that
// file system is the drive Z:. A path in Windows form stays as it is.
std::wstring program_path(const std::string &program) {
    std::string path = program;
    if (!path.empty() && path[0] == '/') path = "Z:" + path;
    std::replace(path.begin(), path.end(), '/', '\\');
    // Tests name programs as on POSIX; the file on Windows ends in ".exe".
    std::wstring wide = widen(path);
    if (GetFileAttributesW(wide.c_str()) == INVALID_FILE_ATTRIBUTES &&
        GetFileAttributesW((wide + L".exe").c_str()) != INVALID_FILE_ATTRIBUTES)
        wide += L".exe";
    return wide;
}

// One argument quoted for the C library's command-line parser: backslashes
// are literal unless they precede a quote.
void append_quoted(std::wstring &line, const std::wstring &arg) {
    if (!line.empty()) line += L' ';
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line += arg;
        return;
    }
    line += L'"';
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            backslashes++;
            continue;
        }
        if (c == L'"') line.append(backslashes * 2 + 1, L'\\');
        else line.append(backslashes, L'\\');
        backslashes = 0;
        line += c;
    }
    line.append(backslashes * 2, L'\\');
    line += L'"';
}

// Handles are made inheritable only inside this lock, so that a child
// started by another thread meanwhile does not inherit the pipe ends of
// this one and keep them open past this child's exit.
std::mutex spawn_lock;

void read_all(HANDLE h, std::string *out) {
    char buf[65536];
    DWORD got = 0;
    while (ReadFile(h, buf, sizeof buf, &got, nullptr) && got > 0) out->append(buf, got);
}

// Starts command_line with the given environment block (NULL: this
// process's own) and working directory (empty: this process's), feeds
// stdin_data and collects both outputs until the child ends.
ProcessResult spawn(const std::wstring &application, std::wstring command_line,
                    const std::wstring *environment, const std::wstring &cwd,
                    const std::string &stdin_data) {
    SECURITY_ATTRIBUTES inherit = {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE in_read, in_write, out_read, out_write, err_read, err_write;
    PROCESS_INFORMATION pi;
    {
        std::lock_guard<std::mutex> guard(spawn_lock);
        if (!CreatePipe(&in_read, &in_write, &inherit, 0) ||
            !CreatePipe(&out_read, &out_write, &inherit, 0) ||
            !CreatePipe(&err_read, &err_write, &inherit, 0))
            throw std::runtime_error("CreatePipe failed");
        for (HANDLE parent_end : {in_write, out_read, err_read})
            SetHandleInformation(parent_end, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOW si;
        ZeroMemory(&si, sizeof si);
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = in_read;
        si.hStdOutput = out_write;
        si.hStdError = err_write;
        // Wine's process start fails now and then on a loaded machine with
        // ERROR_INTERNAL_ERROR and succeeds when asked again; any other
        // failure, or the same one five times, is reported.
        BOOL ok = FALSE;
        for (int attempt = 0; attempt < 5 && !ok; attempt++) {
            if (attempt > 0) Sleep(50 * attempt);
            ok = CreateProcessW(application.empty() ? nullptr : application.c_str(),
                                command_line.data(), nullptr, nullptr, TRUE,
                                CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW,
                                environment != nullptr ? const_cast<wchar_t *>(environment->c_str())
                                                       : nullptr,
                                cwd.empty() ? nullptr : cwd.c_str(), &si, &pi);
            if (!ok && GetLastError() != ERROR_INTERNAL_ERROR) break;
        }
        CloseHandle(in_read);
        CloseHandle(out_write);
        CloseHandle(err_write);
        if (!ok) {
            CloseHandle(in_write);
            CloseHandle(out_read);
            CloseHandle(err_read);
            throw std::runtime_error("CreateProcessW failed: " + std::to_string(GetLastError()));
        }
    }
    ProcessResult result;
    std::thread out_reader(read_all, out_read, &result.out);
    std::thread err_reader(read_all, err_read, &result.err);
    // A child that stops reading early breaks the pipe; the rest is dropped.
    size_t written = 0;
    while (written < stdin_data.size()) {
        DWORD put = 0;
        DWORD chunk = static_cast<DWORD>(std::min<size_t>(stdin_data.size() - written, 1 << 16));
        if (!WriteFile(in_write, stdin_data.data() + written, chunk, &put, nullptr)) break;
        written += put;
    }
    CloseHandle(in_write);
    out_reader.join();
    err_reader.join();
    CloseHandle(out_read);
    CloseHandle(err_read);
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    result.exit_status = static_cast<int>(code);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    return result;
}

// A Windows environment block: NAME=value entries sorted by name without
// regard to case, each NUL-terminated, then one more NUL.
std::wstring environment_block(const std::map<std::string, std::string> &env) {
    std::vector<std::wstring> entries;
    for (const auto &[name, value] : env) entries.push_back(widen(name) + L"=" + widen(value));
    std::sort(entries.begin(), entries.end(), [](const std::wstring &a, const std::wstring &b) {
        return _wcsicmp(a.c_str(), b.c_str()) < 0;
    });
    std::wstring block;
    for (const auto &e : entries) {
        block += e;
        block += L'\0';
    }
    block += L'\0';
    return block;
}

// ---- run_in_child: the test runs again in a child up to the call ------

constexpr const char *kChildCallVar = "REGTEST_CHILD_CALL";
constexpr const char *kChildReplayVar = "REGTEST_CHILD_REPLAY";
constexpr const char *kScratchVar = "REGTEST_SCRATCH";
constexpr const char *kScratchReuseVar = "REGTEST_SCRATCH_REUSE";

// The scratch folders the current test made, in order, so that a child of
// run_in_child can take the same ones.
struct ScratchLog {
    std::string test;
    std::vector<std::string> paths;
    bool suppressed = false;  // the child's own folder is not the test's
};
ScratchLog &scratch_log() {
    static ScratchLog log;
    return log;
}

std::string test_name_or_empty() {
    const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
    return info == nullptr ? "" : std::string(info->test_suite_name()) + "." + info->name();
}

void log_scratch(const std::string &path) {
    ScratchLog &log = scratch_log();
    if (log.suppressed) return;
    std::string test = test_name_or_empty();
    if (test != log.test) {
        log.test = test;
        log.paths.clear();
    }
    log.paths.push_back(path);
}

// In a child of run_in_child: the parent's next scratch folder, or empty.
std::string lent_scratch() {
    static size_t next = 0;
    const char *list = getenv(kScratchReuseVar);
    if (list == nullptr) return "";
    std::vector<std::string> paths;
    std::string text = list;
    size_t start = 0;
    while (start < text.size()) {
        size_t bar = text.find('|', start);
        if (bar == std::string::npos) bar = text.size();
        paths.push_back(text.substr(start, bar - start));
        start = bar + 1;
    }
    return next < paths.size() ? paths[next++] : "";
}
// Written by the child on both outputs just before fn runs; what the test
// framework printed before it is not fn's.
constexpr const char kChildMarker[] = "\n--regtest-child-output--\n";

std::string current_test_name() {
    const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
    if (info == nullptr) throw std::runtime_error("run_in_child outside a test");
    return std::string(info->test_suite_name()) + "." + info->name();
}

void save_results(const std::string &path, const std::vector<ProcessResult> &results) {
    std::ostringstream text;
    for (const auto &r : results)
        text << r.exit_status << ' ' << r.out.size() << ' ' << r.err.size() << '\n' << r.out << r.err;
    write_whole_file(path, text.str());
}

std::vector<ProcessResult> load_results(const std::string &path) {
    std::istringstream text(read_whole_file(path));
    std::vector<ProcessResult> results;
    ProcessResult r;
    size_t out_size = 0, err_size = 0;
    while (text >> r.exit_status >> out_size >> err_size) {
        text.get();
        r.out.assign(out_size, '\0');
        r.err.assign(err_size, '\0');
        text.read(r.out.data(), static_cast<std::streamsize>(out_size));
        text.read(r.err.data(), static_cast<std::streamsize>(err_size));
        results.push_back(r);
    }
    return results;
}

// What the child wrote after the marker; the whole text when there is none.
std::string after_marker(const std::string &text, bool *found) {
    size_t at = text.find(kChildMarker);
    *found = at != std::string::npos;
    return *found ? text.substr(at + sizeof kChildMarker - 1) : text;
}

}  // namespace

std::string join_path(const std::string &first, const std::string &second) {
    return first + "\\" + second;
}

ProcessResult run_process(const std::string &program, const std::vector<std::string> &args,
                          const std::map<std::string, std::string> &env, const std::string &cwd,
                          const std::string &stdin_data) {
    std::wstring application = program_path(program);
    std::wstring line;
    append_quoted(line, application);
    for (const auto &a : args) append_quoted(line, widen(a));
    // System DLLs look for their files under SystemRoot; a process without
    // it may not start. It is the one variable added to env.
    std::map<std::string, std::string> full_env = env;
    if (full_env.find("SystemRoot") == full_env.end()) {
        const char *root = getenv("SystemRoot");
        if (root != nullptr) full_env["SystemRoot"] = root;
    }
    std::wstring block = environment_block(full_env);
    return spawn(application, line, &block, widen(cwd), stdin_data);
}

ProcessResult run_in_child(const std::function<void()> &fn) {
    static int child_calls = 0;
    const char *target = getenv(kChildCallVar);
    if (target != nullptr) {
        // The child: replay the parent's earlier results, run fn at the
        // parent's call.
        static const std::vector<ProcessResult> replay =
            load_results(getenv(kChildReplayVar) != nullptr ? getenv(kChildReplayVar) : "");
        int call = ++child_calls;
        if (call < atoi(target))
            return static_cast<size_t>(call) <= replay.size() ? replay[call - 1] : ProcessResult{};
        fflush(stdout);
        fflush(stderr);
        _setmode(_fileno(stdout), _O_BINARY);
        _setmode(_fileno(stderr), _O_BINARY);
        fputs(kChildMarker, stdout);
        fputs(kChildMarker, stderr);
        fflush(stdout);
        fflush(stderr);
        fn();
        fflush(stdout);
        fflush(stderr);
        _exit(0);
    }

    // The parent: results of this test's earlier calls go to the child.
    static std::string test;
    static std::vector<ProcessResult> history;
    std::string name = current_test_name();
    if (name != test) {
        test = name;
        history.clear();
    }
    std::string lent;
    if (scratch_log().test == name)
        for (const auto &p : scratch_log().paths) lent += (lent.empty() ? "" : "|") + p;
    scratch_log().suppressed = true;
    ScratchDir child_scratch;
    scratch_log().suppressed = false;
    std::string replay_file = child_scratch / "replay";
    save_results(replay_file, history);
    std::map<std::string, std::string> env;
    for (const char *const *e = _environ; e != nullptr && *e != nullptr; e++) {
        const char *eq = strchr(*e, '=');
        // Entries such as "=C:=C:\..." keep the drives' working folders.
        if (eq != nullptr && eq != *e) env[std::string(*e, eq)] = eq + 1;
    }
    env[kChildCallVar] = std::to_string(history.size() + 1);
    env[kChildReplayVar] = replay_file;
    env[kScratchVar] = child_scratch.path();
    env[kScratchReuseVar] = lent;
    wchar_t self[32768];
    DWORD len = GetModuleFileNameW(nullptr, self, 32768);
    std::wstring line;
    append_quoted(line, std::wstring(self, len));
    append_quoted(line, widen("--gtest_filter=" + name));
    std::wstring block = environment_block(env);
    ProcessResult raw = spawn(std::wstring(self, len), line, &block, L"", "");
    ProcessResult result;
    bool out_found = false, err_found = false;
    result.out = after_marker(raw.out, &out_found);
    result.err = after_marker(raw.err, &err_found);
    result.exit_status = raw.exit_status;
    if (!out_found) {
        // The child never reached the call: its replay went another way.
        result.exit_status = 125;
        result.err = "run_in_child: the child did not reach the call\n" + raw.out + raw.err;
        result.out.clear();
    }
    history.push_back(result);
    return result;
}

ScratchDir::ScratchDir() {
    if (std::string lent = lent_scratch(); !lent.empty()) {
        path_ = lent;
        keep_ = true;
        return;
    }
    std::wstring base;
    if (const char *set = getenv(kScratchVar); set != nullptr && *set != '\0') {
        base = widen(set) + L"\\";
    } else {
        wchar_t temp[MAX_PATH + 1];
        DWORD n = GetTempPathW(MAX_PATH + 1, temp);
        if (n == 0 || n > MAX_PATH) throw std::runtime_error("GetTempPathW failed");
        base.assign(temp, n);
    }
    std::random_device seed;
    std::mt19937_64 rng((static_cast<uint64_t>(seed()) << 32) ^ GetCurrentProcessId() ^ GetTickCount64());
    for (int attempt = 0; attempt < 100; attempt++) {
        wchar_t name[32];
        swprintf(name, 32, L"regtest-%08x", static_cast<unsigned>(rng()));
        std::wstring candidate = base + name;
        if (CreateDirectoryW(candidate.c_str(), nullptr)) {
            path_ = narrow(candidate);
            log_scratch(path_);
            return;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS) break;
    }
    throw std::runtime_error("no scratch folder could be made");
}

ScratchDir::~ScratchDir() {
    if (keep_) return;
    std::error_code ec;
    std::filesystem::remove_all(std::filesystem::path(widen(path_)), ec);
}

bool path_exists(const std::string &path) {
    return GetFileAttributesW(widen(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool running_under_wine() {
    // Wine's ntdll exports its version; Windows' does not.
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

void set_env(const std::string &name, const char *value) {
    // The C library of Windows keeps no empty variables: an empty value
    // removes the variable, which every reader here takes alike.
    _putenv_s(name.c_str(), value != nullptr ? value : "");
}

int change_dir(const std::string &path) { return _wchdir(widen(path).c_str()) == 0 ? 0 : -1; }

namespace {

// Waits up to milliseconds for the process pid: true when it has ended,
// with *end filled; false while it runs or when it does not open (then
// end->ended stays false).
bool wait_for_process(int64_t pid, DWORD milliseconds, ChildEnd *end) {
    HANDLE h = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                           static_cast<DWORD>(pid));
    if (h == nullptr) return false;
    bool done = WaitForSingleObject(h, milliseconds) == WAIT_OBJECT_0;
    DWORD code = 0;
    if (done && GetExitCodeProcess(h, &code)) {
        end->ended = true;
        end->exited = true;
        end->code = static_cast<int>(code);
    }
    CloseHandle(h);
    return done;
}

}  // namespace

ChildEnd wait_for_child(int64_t pid) {
    ChildEnd end;
    wait_for_process(pid, INFINITE, &end);
    return end;
}

bool child_running(int64_t pid, ChildEnd *end) {
    ChildEnd result;
    HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
    if (h == nullptr) {
        if (end != nullptr) *end = result;
        return false;
    }
    CloseHandle(h);
    if (!wait_for_process(pid, 0, &result)) return true;
    if (end != nullptr) *end = result;
    return false;
}

std::string path_of_open_file(FILE *f) {
    if (f == nullptr || _fileno(f) < 0) return "";
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f)));
    if (h == INVALID_HANDLE_VALUE) return "";
    wchar_t buffer[32768];
    DWORD n = GetFinalPathNameByHandleW(h, buffer, 32768, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0 || n >= 32768) return "";
    std::wstring path(buffer, n);
    // \\?\C:\... as canonical gives C:\...; \\?\UNC\server\... as \\server\....
    if (path.rfind(L"\\\\?\\UNC\\", 0) == 0)
        path = L"\\\\" + path.substr(8);
    else if (path.rfind(L"\\\\?\\", 0) == 0)
        path = path.substr(4);
    return narrow(path);
}

}  // namespace testing_support
