// Windows implementation of the operating-system layer, on the Win32 API.
//
// Paths arrive as UTF-8 and reach the API as UTF-16 (the W functions), with
// '/' turned into '\'. Every file is opened through CreateFileW with all
// three sharing modes, so that other processes may read, write, delete or
// rename over it meanwhile, and is then given to the C library as a FILE*
// (_open_osfhandle, _fdopen) for the buffered reads and writes above.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// <windows.h> first: <bcrypt.h> needs its types.
#include <bcrypt.h>
#include <fcntl.h>
#include <io.h>
#include <string.h>
#include <time.h>

#include <cerrno>
#include <cstddef>
#include <new>
#include <string>
#include <vector>

#include "platform/platform.h"

#ifdef PLAT_FAULT_INJECTION
#include "platform/platform_fault.h"
// A test build: the call fails as counted by the fault injector, and a
// test's observer may refuse a sync.
#define FAULT_HIT(kind) (plat_fault_hit(kind) != 0)
#define SYNC_REFUSED(f, dir) (plat_fault_sync_refused(f, dir) != 0)
#else
#define FAULT_HIT(kind) false
#define SYNC_REFUSED(f, dir) false
#endif

namespace {

// CreateDirectoryW takes at most MAX_PATH - 12 units without the \\?\ form
// (room for an 8.3 name); the other calls take MAX_PATH. From this length
// on, a path is given in the \\?\ form.
constexpr size_t kLongPathFrom = MAX_PATH - 12;

// The two classes of SetFileInformationByHandle with POSIX semantics follow
// FileIdExtdDirectoryRestartInfo in the Windows 10 SDK's enumeration;
// mingw-w64's header hides them behind a version test no _WIN32_WINNT value
// passes.
constexpr auto kFileDispositionInfoEx =
    static_cast<FILE_INFO_BY_HANDLE_CLASS>(FileIdExtdDirectoryRestartInfo + 1);
constexpr auto kFileRenameInfoEx =
    static_cast<FILE_INFO_BY_HANDLE_CLASS>(FileIdExtdDirectoryRestartInfo + 2);

// Every open lets other processes read, write, delete and rename.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

template <class C>
bool is_sep(C c) {
    return c == C('/') || c == C('\\');
}

template <class C>
bool is_ascii_letter(C c) {
    return (c >= C('a') && c <= C('z')) || (c >= C('A') && c <= C('Z'));
}

// Index just past a component that starts at i: the next separator or the
// end.
template <class C>
size_t component_end(const C *p, size_t i) {
    while (p[i] != C('\0') && !is_sep(p[i])) i++;
    return i;
}

// \\server\share\ from i on (i at server): the index after the separator
// that ends the share, or the end of the text.
template <class C>
size_t share_root_end(const C *p, size_t i) {
    i = component_end(p, i);
    if (p[i] == C('\0')) return i;
    i = component_end(p, i + 1);
    return p[i] == C('\0') ? i : i + 1;
}

template <class C>
size_t root_length(const C *p) {
    if (p == nullptr || p[0] == C('\0')) return 0;
    // \\?\ (verbatim) and \\.\ (device) forms.
    if (is_sep(p[0]) && is_sep(p[1]) && (p[2] == C('?') || p[2] == C('.')) && is_sep(p[3])) {
        const C *rest = p + 4;
        if ((rest[0] == C('U') || rest[0] == C('u')) && (rest[1] == C('N') || rest[1] == C('n')) &&
            (rest[2] == C('C') || rest[2] == C('c')) && is_sep(rest[3]))
            return 8 + (share_root_end(rest + 4, 0));
        if (is_ascii_letter(rest[0]) && rest[1] == C(':')) return is_sep(rest[2]) ? 7 : 6;
        // A volume name (Volume{...}) or a device: one component.
        size_t end = component_end(rest, 0);
        return 4 + (rest[end] == C('\0') ? end : end + 1);
    }
    if (is_sep(p[0]) && is_sep(p[1])) return share_root_end(p, 2);
    if (is_ascii_letter(p[0]) && p[1] == C(':')) return is_sep(p[2]) ? 3 : 2;
    return is_sep(p[0]) ? 1 : 0;
}

bool starts_with(const std::wstring &text, const wchar_t *prefix) {
    return text.compare(0, wcslen(prefix), prefix) == 0;
}

// The UTF-16 form of a UTF-8 path for the API, '/' turned into '\'. A path
// that, with extra more units, reaches kLongPathFrom is made absolute
// (GetFullPathNameW also resolves "." and "..", which the \\?\ form would
// take literally) and given the \\?\ or \\?\UNC\ form. false for NULL, an
// empty path or one that is not UTF-8.
bool to_wide(const char *path, std::wstring &out, size_t extra = 0) {
    if (path == nullptr || path[0] == '\0') return false;
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
    if (n <= 0) return false;
    std::wstring wide(static_cast<size_t>(n), L'\0');
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide.data(), n) != n)
        return false;
    wide.resize(static_cast<size_t>(n) - 1);
    for (wchar_t &c : wide)
        if (c == L'/') c = L'\\';
    if (wide.size() + extra < kLongPathFrom || starts_with(wide, L"\\\\?\\") ||
        starts_with(wide, L"\\\\.\\")) {
        out = std::move(wide);
        return true;
    }
    DWORD need = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (need == 0) return false;
    std::wstring full(need, L'\0');
    DWORD got = GetFullPathNameW(wide.c_str(), need, full.data(), nullptr);
    if (got == 0 || got >= need) return false;
    full.resize(got);
    if (starts_with(full, L"\\\\?\\") || starts_with(full, L"\\\\.\\"))
        out = std::move(full);
    else if (starts_with(full, L"\\\\"))
        out = L"\\\\?\\UNC\\" + full.substr(2);
    else
        out = L"\\\\?\\" + full;
    return true;
}

// UTF-8 of a NUL-terminated UTF-16 name into out (capacity bytes). false
// when it does not fit or is not valid UTF-16.
bool to_utf8(const wchar_t *name, char *out, int capacity) {
    int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, name, -1, out, capacity, nullptr,
                                nullptr);
    return n > 0;
}

// A FILETIME (100-nanosecond steps since 1601-01-01 UTC) as whole seconds
// since 1970-01-01 UTC.
int64_t unix_seconds(const FILETIME &t) {
    constexpr uint64_t kStepsPerSecond = 10000000;
    constexpr uint64_t kSecondsFrom1601To1970 = 11644473600ULL;
    uint64_t steps = (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    return static_cast<int64_t>(steps / kStepsPerSecond) -
           static_cast<int64_t>(kSecondsFrom1601To1970);
}

// A FILETIME as nanoseconds since 1970-01-01 UTC, in its 100-nanosecond
// steps.
int64_t unix_nanoseconds(const FILETIME &t) {
    constexpr int64_t kStepsFrom1601To1970 = 116444736000000000LL;
    uint64_t steps = (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    return (static_cast<int64_t>(steps) - kStepsFrom1601To1970) * 100;
}

// A handle for path, or INVALID_HANDLE_VALUE (also for a path that does
// not convert).
HANDLE open_handle(const char *path, DWORD access, DWORD disposition, DWORD flags) {
    std::wstring wide;
    if (!to_wide(path, wide)) {
        SetLastError(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileW(wide.c_str(), access, kShareAll, nullptr, disposition,
                       flags | FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool is_directory_handle(HANDLE h) {
    BY_HANDLE_FILE_INFORMATION info;
    return GetFileInformationByHandle(h, &info) != 0 &&
           (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Hands an open handle to the C library as a binary stream. The handle is
// closed on failure.
FILE *stream_of(HANDLE h, int open_flags, const char *mode) {
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), open_flags | _O_BINARY);
    if (fd < 0) {
        CloseHandle(h);
        return nullptr;
    }
    FILE *f = _fdopen(fd, mode);
    if (f == nullptr) _close(fd);
    return f;
}

HANDLE handle_of(FILE *f) {
    if (f == nullptr) return INVALID_HANDLE_VALUE;
    int fd = _fileno(f);
    if (fd < 0) return INVALID_HANDLE_VALUE;
    return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

bool is_absent_error(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
           error == ERROR_INVALID_NAME || error == ERROR_DIRECTORY;
}

// Renames with POSIX semantics: the target is replaced even while another
// process has it open, and the source may be open elsewhere too. The target
// is named relative to a handle of its directory, so no path form question
// arises at the NT layer. false when this could not be done (an older
// Windows or a file system without the semantics, a target the split does
// not serve); the caller then falls back to MoveFileExW.
bool rename_posix(const std::wstring &from, const std::wstring &to) {
    size_t root = root_length(to.c_str());
    size_t cut = to.find_last_of(L'\\');
    if (cut == std::wstring::npos || cut + 1 < root || cut + 1 >= to.size()) return false;
    std::wstring leaf = to.substr(cut + 1);
    if (leaf.find(L':') != std::wstring::npos || leaf == L"." || leaf == L"..") return false;
    std::wstring parent = to.substr(0, cut < root ? root : cut);

    HANDLE dir = CreateFileW(parent.c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE | SYNCHRONIZE,
                             kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                             nullptr);
    if (dir == INVALID_HANDLE_VALUE) return false;
    HANDLE src = CreateFileW(from.c_str(), DELETE | SYNCHRONIZE, kShareAll, nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (src == INVALID_HANDLE_VALUE) {
        CloseHandle(dir);
        return false;
    }
    size_t name_bytes = leaf.size() * sizeof(WCHAR);
    size_t bytes = offsetof(FILE_RENAME_INFO, FileName) + name_bytes + sizeof(WCHAR);
    if (bytes < sizeof(FILE_RENAME_INFO)) bytes = sizeof(FILE_RENAME_INFO);
    std::vector<unsigned char> buffer(bytes, 0);
    auto *info = reinterpret_cast<FILE_RENAME_INFO *>(buffer.data());
    info->Flags = FILE_RENAME_FLAG_REPLACE_IF_EXISTS | FILE_RENAME_FLAG_POSIX_SEMANTICS;
    info->RootDirectory = dir;
    info->FileNameLength = static_cast<DWORD>(name_bytes);
    memcpy(info->FileName, leaf.c_str(), name_bytes);
    BOOL ok = SetFileInformationByHandle(src, kFileRenameInfoEx, info, static_cast<DWORD>(bytes));
    CloseHandle(src);
    CloseHandle(dir);
    return ok != 0;
}

#ifdef PLAT_FAULT_INJECTION
// Sets f's error indicator, as a read that the device failed does. The
// C library (msvcrt) keeps it in the stream's flags and offers no call that
// sets it.
void mark_read_error(FILE *f) {
#ifdef _IOERR
    f->_flag |= _IOERR;
#else
#error "no known way to set a stream's error indicator with this C library"
#endif
    errno = EIO;
}
#endif

// ---- Helpers of the locks on open files

// The lock covers one byte at 2^62, beyond the end of any file: Windows
// locks are mandatory, and a lock on the bytes would stop other streams
// (of this process too) from reading and writing them.
void lock_range(OVERLAPPED *at) {
    memset(at, 0, sizeof *at);
    at->Offset = 0;
    at->OffsetHigh = 0x40000000;
}

// Whether the locked handle h is still the file that path names: 0 yes,
// PLAT_LOCK_GONE no (also when its deletion is pending), PLAT_LOCK_FAILED
// cannot tell.
int still_named(HANDLE h, const char *path) {
    FILE_STANDARD_INFO standard;
    if (!GetFileInformationByHandleEx(h, FileStandardInfo, &standard, sizeof standard))
        return PLAT_LOCK_FAILED;
    if (standard.DeletePending) return PLAT_LOCK_GONE;
    BY_HANDLE_FILE_INFORMATION mine, named;
    if (!GetFileInformationByHandle(h, &mine)) return PLAT_LOCK_FAILED;
    HANDLE other = open_handle(path, FILE_READ_ATTRIBUTES, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    if (other == INVALID_HANDLE_VALUE)
        return is_absent_error(GetLastError()) ? PLAT_LOCK_GONE : PLAT_LOCK_FAILED;
    BOOL ok = GetFileInformationByHandle(other, &named);
    CloseHandle(other);
    if (!ok) return PLAT_LOCK_FAILED;
    bool same = mine.dwVolumeSerialNumber == named.dwVolumeSerialNumber &&
                mine.nFileIndexHigh == named.nFileIndexHigh &&
                mine.nFileIndexLow == named.nFileIndexLow;
    return same ? 0 : PLAT_LOCK_GONE;
}

}  // namespace

struct plat_dir {
    HANDLE find;             // INVALID_HANDLE_VALUE for a directory without entries
    WIN32_FIND_DATAW data;   // the entry found last
    bool pending;            // data holds an entry not yet delivered
    bool finished;           // the enumeration reached its end
    char name[MAX_PATH * 3 + 1];  // UTF-8 of the delivered name
};

extern "C" {

int plat_is_sep(char c) { return is_sep(c) ? 1 : 0; }

size_t plat_path_root_length(const char *path) { return root_length(path); }

int plat_stat(const char *path, plat_attr *out) {
    if (FAULT_HIT(PLAT_OP_STAT)) return PLAT_STAT_FAILED;
    std::wstring wide;
    if (out == nullptr || !to_wide(path, wide)) return PLAT_STAT_FAILED;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &data)) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? PLAT_STAT_ABSENT
                                                                              : PLAT_STAT_FAILED;
    }
    DWORD attributes = data.dwFileAttributes;
    uint64_t size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    FILETIME written = data.ftLastWriteTime;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        // A symbolic link or junction: open it to query what it points at.
        HANDLE h = CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (h == INVALID_HANDLE_VALUE) return PLAT_STAT_FAILED;
        BY_HANDLE_FILE_INFORMATION info;
        BOOL ok = GetFileInformationByHandle(h, &info);
        CloseHandle(h);
        if (!ok) return PLAT_STAT_FAILED;
        attributes = info.dwFileAttributes;
        size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
        written = info.ftLastWriteTime;
    }
    out->is_dir = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? 1 : 0;
    out->is_file = (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0 ? 1 : 0;
    out->size = static_cast<int64_t>(size);
    out->mtime = unix_seconds(written);
    out->mtime_ns = unix_nanoseconds(written);
    return 0;
}

int plat_touch(const char *path) {
    if (FAULT_HIT(PLAT_OP_STAT)) return -1;
    HANDLE h = open_handle(path, FILE_WRITE_ATTRIBUTES, OPEN_EXISTING, 0);
    if (h == INVALID_HANDLE_VALUE) return -1;
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    BOOL ok = SetFileTime(h, nullptr, nullptr, &now);
    CloseHandle(h);
    return ok ? 0 : -1;
}

int plat_mkdir(const char *path) {
    if (FAULT_HIT(PLAT_OP_MKDIR)) return PLAT_MKDIR_FAILED;
    std::wstring wide;
    if (!to_wide(path, wide)) return PLAT_MKDIR_FAILED;
    if (CreateDirectoryW(wide.c_str(), nullptr)) return PLAT_MKDIR_CREATED;
    DWORD error = GetLastError();
    return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? PLAT_MKDIR_EXISTS
                                                                       : PLAT_MKDIR_FAILED;
}

int plat_rmdir(const char *path) {
    if (FAULT_HIT(PLAT_OP_RMDIR)) return -1;
    std::wstring wide;
    if (!to_wide(path, wide)) return -1;
    return RemoveDirectoryW(wide.c_str()) ? 0 : -1;
}

int plat_remove(const char *path) {
    if (FAULT_HIT(PLAT_OP_REMOVE)) return PLAT_REMOVE_FAILED;
    if (path == nullptr) return PLAT_REMOVE_FAILED;
    // The file itself is opened (not what a link points at), for deletion.
    HANDLE h = open_handle(path, DELETE | FILE_READ_ATTRIBUTES, OPEN_EXISTING,
                           FILE_FLAG_OPEN_REPARSE_POINT);
    if (h == INVALID_HANDLE_VALUE)
        return is_absent_error(GetLastError()) ? PLAT_REMOVE_ABSENT : PLAT_REMOVE_FAILED;
    if (is_directory_handle(h)) {
        CloseHandle(h);
        return PLAT_REMOVE_FAILED;
    }
    FILE_DISPOSITION_INFO_EX posix = {FILE_DISPOSITION_FLAG_DELETE |
                                      FILE_DISPOSITION_FLAG_POSIX_SEMANTICS};
    BOOL ok = SetFileInformationByHandle(h, kFileDispositionInfoEx, &posix, sizeof posix);
    if (!ok) {
        FILE_DISPOSITION_INFO classic = {TRUE};
        ok = SetFileInformationByHandle(h, FileDispositionInfo, &classic, sizeof classic);
    }
    // The name goes (or, without POSIX semantics, is marked to go) at the
    // close of the last handle.
    CloseHandle(h);
    return ok ? PLAT_REMOVE_DONE : PLAT_REMOVE_FAILED;
}

int plat_rename(const char *from, const char *to) {
    if (FAULT_HIT(PLAT_OP_RENAME)) return -1;
    std::wstring wide_from, wide_to;
    if (!to_wide(from, wide_from) || !to_wide(to, wide_to)) return -1;
    if (rename_posix(wide_from, wide_to)) return 0;
    return MoveFileExW(wide_from.c_str(), wide_to.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
               ? 0
               : -1;
}

// A file opened by CreateFileW refuses a directory by itself (no
// FILE_FLAG_BACKUP_SEMANTICS), which is what every caller wants.
FILE *plat_fopen(const char *path, const char *mode) {
    if (FAULT_HIT(PLAT_OP_OPEN)) return nullptr;
    if (path == nullptr || mode == nullptr) return nullptr;
    DWORD access, disposition;
    int flags;
    if (strcmp(mode, "rb") == 0) {
        access = GENERIC_READ, disposition = OPEN_EXISTING, flags = _O_RDONLY;
    } else if (strcmp(mode, "r+b") == 0 || strcmp(mode, "rb+") == 0) {
        access = GENERIC_READ | GENERIC_WRITE, disposition = OPEN_EXISTING, flags = _O_RDWR;
    } else if (strcmp(mode, "wb") == 0) {
        access = GENERIC_WRITE, disposition = CREATE_ALWAYS, flags = _O_WRONLY;
    } else if (strcmp(mode, "ab") == 0) {
        access = GENERIC_WRITE, disposition = OPEN_ALWAYS, flags = _O_WRONLY | _O_APPEND;
    } else {
        errno = EINVAL;
        return nullptr;
    }
    return stream_of(open_handle(path, access, disposition, 0), flags, mode);
}

FILE *plat_fopen_regular(const char *path) {
    FILE *f = nullptr;
    plat_attr attr;
    plat_open_regular_file(path, &f, &attr);
    return f;
}

int plat_open_regular_file(const char *path, FILE **out, plat_attr *attr) {
    *out = nullptr;
    if (FAULT_HIT(PLAT_OP_OPEN)) return PLAT_OPEN_FAILED;
    if (path == nullptr) return PLAT_OPEN_FAILED;
    HANDLE h = open_handle(path, GENERIC_READ, OPEN_EXISTING, 0);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return PLAT_OPEN_NOT_FILE;
        // CreateFileW refuses to open a directory for reading.
        plat_attr a;
        if (error == ERROR_ACCESS_DENIED && plat_stat(path, &a) == 0 && a.is_dir)
            return PLAT_OPEN_NOT_FILE;
        return PLAT_OPEN_FAILED;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info)) {
        CloseHandle(h);
        return PLAT_OPEN_FAILED;
    }
    // A disk file only: not a pipe, a console or another device.
    if (GetFileType(h) != FILE_TYPE_DISK || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        CloseHandle(h);
        return PLAT_OPEN_NOT_FILE;
    }
    FILE *f = stream_of(h, _O_RDONLY, "rb");
    if (f == nullptr) return PLAT_OPEN_FAILED;
    attr->is_dir = 0;
    attr->is_file = 1;
    attr->size = static_cast<int64_t>((static_cast<uint64_t>(info.nFileSizeHigh) << 32) |
                                      info.nFileSizeLow);
    attr->mtime = unix_seconds(info.ftLastWriteTime);
    attr->mtime_ns = unix_nanoseconds(info.ftLastWriteTime);
    *out = f;
    return PLAT_OPEN_DONE;
}

FILE *plat_fopen_append_existing(const char *path) {
    if (FAULT_HIT(PLAT_OP_OPEN)) return nullptr;
    if (path == nullptr) return nullptr;
    // _O_APPEND: the C library moves to the end before every write.
    return stream_of(open_handle(path, GENERIC_WRITE, OPEN_EXISTING, 0), _O_WRONLY | _O_APPEND,
                     "ab");
}

FILE *plat_fcreate_new(const char *path) {
    if (FAULT_HIT(PLAT_OP_CREATE)) return nullptr;
    if (path == nullptr) return nullptr;
    return stream_of(open_handle(path, GENERIC_WRITE, CREATE_NEW, 0), _O_WRONLY, "wb");
}

int plat_mkdir_private(const char *path) { return plat_mkdir(path); }

void *plat_library_open(const char *name) {
    return reinterpret_cast<void *>(LoadLibraryA(name));
}

void *plat_library_symbol(void *library, const char *name) {
    if (library == nullptr) return nullptr;
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(library), name));
}

FILE *plat_fcreate_private(const char *path) { return plat_fcreate_new(path); }

size_t plat_fread(void *buffer, size_t count, FILE *f) {
    if (count == 0) return 0;
#ifdef PLAT_FAULT_INJECTION
    if (FAULT_HIT(PLAT_OP_READ)) {
        // A failing read, like a device error, may deliver some bytes first.
        size_t got = count / 2 > 0 ? fread(buffer, 1, count / 2, f) : 0;
        mark_read_error(f);
        return got;
    }
#endif
    return fread(buffer, 1, count, f);
}

size_t plat_fwrite(const void *data, size_t count, FILE *f) {
    if (count == 0) return 0;
    // A failing write, like a full disk, may still take some of the bytes.
    if (FAULT_HIT(PLAT_OP_WRITE)) return fwrite(data, 1, count / 2, f);
    return fwrite(data, 1, count, f);
}

int plat_fsync(FILE *f) {
    if (FAULT_HIT(PLAT_OP_SYNC) || SYNC_REFUSED(f, nullptr)) return -1;
    if (fflush(f) != 0) return -1;
    HANDLE h = handle_of(f);
    return h != INVALID_HANDLE_VALUE && FlushFileBuffers(h) ? 0 : -1;
}

int plat_fstart_writeback(FILE *f, uint64_t offset, uint64_t count) {
    (void)offset;
    (void)count;
    return fflush(f) == 0 ? 0 : -1;
}

int plat_fclose(FILE *f) {
    if (FAULT_HIT(PLAT_OP_CLOSE)) {
        fclose(f);
        return -1;
    }
    return fclose(f) == 0 ? 0 : -1;
}

int plat_sync_dir(const char *path) {
    if (FAULT_HIT(PLAT_OP_SYNC_DIR) || SYNC_REFUSED(nullptr, path)) return -1;
    std::wstring wide;
    if (!to_wide(path, wide)) return -1;
    // Flushing asks for write access; a directory that only reads is still
    // a directory whose entries NTFS has journalled.
    HANDLE h = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    bool may_flush = h != INVALID_HANDLE_VALUE;
    if (!may_flush)
        h = CreateFileW(wide.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                        FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return -1;
    int rc = -1;
    if (is_directory_handle(h)) {
        rc = 0;
        if (may_flush && !FlushFileBuffers(h)) {
            DWORD error = GetLastError();
            if (error != ERROR_ACCESS_DENIED && error != ERROR_INVALID_FUNCTION &&
                error != ERROR_INVALID_PARAMETER && error != ERROR_NOT_SUPPORTED)
                rc = -1;
        }
    }
    CloseHandle(h);
    return rc;
}

int plat_seek64(FILE *f, int64_t offset) {
    if (FAULT_HIT(PLAT_OP_SEEK)) return -1;
    return _fseeki64(f, static_cast<__int64>(offset), SEEK_SET) == 0 ? 0 : -1;
}

int64_t plat_send_file_range(FILE *, int64_t, int64_t, FILE *) { return -1; }

// The C library has no stream over functions, and stdin and stdout are no
// variables (they name entries of the library's own table).
FILE *plat_stream_open(void *, plat_stream_read_fn, plat_stream_write_fn) {
    if (FAULT_HIT(PLAT_OP_OPEN)) return nullptr;
    return nullptr;
}

int plat_bind_std_streams(FILE *, FILE *, plat_std_streams *) { return -1; }

void plat_restore_std_streams(const plat_std_streams *) {}

// Windows pipes take their size from their creator; a reader cannot grow
// them.
void plat_enlarge_pipe(FILE *) {}

void plat_set_binary(FILE *f) {
    if (f != nullptr && _fileno(f) >= 0) _setmode(_fileno(f), _O_BINARY);
}

int plat_is_terminal(FILE *f) {
    HANDLE h = handle_of(f);
    DWORD mode;
    return h != INVALID_HANDLE_VALUE && GetFileType(h) == FILE_TYPE_CHAR &&
                   GetConsoleMode(h, &mode)
               ? 1
               : 0;
}

// FastCGI servers on Windows hand a responder a named pipe, not a
// listening socket; the programs run as CGI programs there.
int plat_stdin_is_listener(void) { return 0; }

int plat_stdout_detach(void) {
    fflush(stdout);
    return freopen("NUL", "wb", stdout) != nullptr ? 0 : -1;
}

void plat_ignore_stop_request(void) {}

// ---- Locks on open files ----------------------------------------------------

int plat_lock_file(FILE *f, const char *path, int wait) {
    if (FAULT_HIT(PLAT_OP_LOCK)) return PLAT_LOCK_FAILED;
    HANDLE h = handle_of(f);
    if (h == INVALID_HANDLE_VALUE || path == nullptr) return PLAT_LOCK_FAILED;
    OVERLAPPED at;
    lock_range(&at);
    DWORD flags = LOCKFILE_EXCLUSIVE_LOCK | (wait != 0 ? 0 : LOCKFILE_FAIL_IMMEDIATELY);
    if (!LockFileEx(h, flags, 0, 1, 0, &at)) {
        DWORD error = GetLastError();
        return wait == 0 && (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING)
                   ? PLAT_LOCK_BUSY
                   : PLAT_LOCK_FAILED;
    }
    int named = still_named(h, path);
    if (named != 0) {
        lock_range(&at);
        UnlockFileEx(h, 0, 1, 0, &at);
    }
    return named;
}

int plat_retire_file(FILE *f, int) {
    if (FAULT_HIT(PLAT_OP_LOCK)) return -1;
    return f != nullptr ? 0 : -1;
}

int64_t plat_time_seconds(void) { return static_cast<int64_t>(_time64(nullptr)); }

int64_t plat_time_ns(void) {
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    return unix_nanoseconds(now);
}

int plat_random_bytes(void *buf, size_t count) {
    if (FAULT_HIT(PLAT_OP_RANDOM)) return -1;
#ifdef PLAT_FAULT_INJECTION
    int scripted;
    if (plat_fault_scripted_random(buf, count, &scripted)) return scripted;
#endif
    unsigned char *out = static_cast<unsigned char *>(buf);
    while (count > 0) {
        ULONG chunk = count > 0x10000000u ? 0x10000000u : static_cast<ULONG>(count);
        if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, out, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
            return -1;
        out += chunk;
        count -= chunk;
    }
    return 0;
}

int64_t plat_process_id(void) { return static_cast<int64_t>(GetCurrentProcessId()); }

plat_dir *plat_dir_open(const char *path) {
    if (FAULT_HIT(PLAT_OP_LIST)) return nullptr;
    std::wstring pattern;
    // Two more units for the "\*" of the pattern.
    if (!to_wide(path, pattern, 2)) return nullptr;
    if (!is_sep(pattern.back())) pattern += L'\\';
    pattern += L'*';
    auto *d = new (std::nothrow) plat_dir;
    if (d == nullptr) return nullptr;
    d->pending = false;
    d->finished = false;
    d->find = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &d->data, FindExSearchNameMatch,
                               nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (d->find != INVALID_HANDLE_VALUE) {
        d->pending = true;
    } else if (GetLastError() == ERROR_FILE_NOT_FOUND) {
        // The directory is there but holds nothing, not even "." (a drive's
        // root).
        d->finished = true;
    } else {
        delete d;
        return nullptr;
    }
    return d;
}

int plat_dir_next(plat_dir *d, const char **name, int *is_dir) {
    if (FAULT_HIT(PLAT_OP_LIST)) return -1;
    for (;;) {
        if (d->finished) return 0;
        if (!d->pending) {
            if (!FindNextFileW(d->find, &d->data)) {
                if (GetLastError() != ERROR_NO_MORE_FILES) return -1;
                d->finished = true;
                return 0;
            }
        }
        d->pending = false;
        const wchar_t *found = d->data.cFileName;
        if (wcscmp(found, L".") == 0 || wcscmp(found, L"..") == 0) continue;
        // A name that has no UTF-8 form cannot be delivered: the listing is
        // then incomplete, which is what a failure tells.
        if (!to_utf8(found, d->name, static_cast<int>(sizeof d->name))) return -1;
        *name = d->name;
        *is_dir = (d->data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? 1 : 0;
        return 1;
    }
}

void plat_dir_close(plat_dir *d) {
    if (d == nullptr) return;
    if (d->find != INVALID_HANDLE_VALUE) FindClose(d->find);
    delete d;
}

}  // extern "C"
