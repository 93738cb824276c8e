// POSIX implementation of the operating-system layer.
#include "platform/platform.h"

#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <new>

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

#ifdef PLAT_FAULT_INJECTION
// Sets f's error indicator, as a read that the device failed does; glibc
// keeps it in the stream's flags and offers no call that sets it.
void mark_read_error(FILE *f) {
    f->_flags |= _IO_ERR_SEEN;
    errno = EIO;
}
#endif

// What plat_stream_open hands to fopencookie: the caller's cookie and
// functions.
struct function_stream {
    void *cookie;
    plat_stream_read_fn read;
    plat_stream_write_fn write;
};

ssize_t function_stream_read(void *cookie, char *buffer, size_t size) {
    auto *s = static_cast<function_stream *>(cookie);
    return static_cast<ssize_t>(s->read(s->cookie, buffer, size));
}

ssize_t function_stream_write(void *cookie, const char *buffer, size_t size) {
    auto *s = static_cast<function_stream *>(cookie);
    return static_cast<ssize_t>(s->write(s->cookie, buffer, size));
}

int function_stream_close(void *cookie) {
    delete static_cast<function_stream *>(cookie);
    return 0;
}

// What an attribute query tells, from the stat of one entry.
void attr_of_stat(const struct stat &st, plat_attr *out) {
    out->is_dir = S_ISDIR(st.st_mode) ? 1 : 0;
    out->is_file = S_ISREG(st.st_mode) ? 1 : 0;
    out->size = static_cast<int64_t>(st.st_size);
    out->mtime = static_cast<int64_t>(st.st_mtime);
    out->mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

// ---- Helpers of the locks on open files

// The byte the lock covers: far beyond the end of any file, so that the
// lock never touches the bytes themselves.
constexpr off_t kLockOffset = static_cast<off_t>(1) << 62;
// The extended attribute that marks a locked file retired.
constexpr char kRetiredAttribute[] = "user.tarnwick.retired";

int set_lock(int fd, short type, bool wait) {
    struct flock fl;
    memset(&fl, 0, sizeof fl);  // l_pid must be 0 for an open-file-description lock
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = kLockOffset;
    fl.l_len = 1;
    for (;;) {
        if (fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl) == 0) return 0;
        if (errno != EINTR) return -1;
    }
}

// Whether the locked file behind fd is still the file that path names:
// 0 yes, PLAT_LOCK_GONE no, PLAT_LOCK_FAILED cannot tell. The retirement
// mark and a file the server no longer knows (ESTALE) are asked of the file
// itself, which no client caches; the name is compared by device and inode.
int still_named(int fd, const char *path) {
    char mark;
    if (fgetxattr(fd, kRetiredAttribute, &mark, sizeof mark) >= 0) return PLAT_LOCK_GONE;
    if (errno == ERANGE || errno == ESTALE || errno == ENOENT) return PLAT_LOCK_GONE;
    if (errno != ENODATA && errno != ENOTSUP) return PLAT_LOCK_FAILED;
    struct stat mine, named;
    if (fstat(fd, &mine) != 0) return errno == ESTALE ? PLAT_LOCK_GONE : PLAT_LOCK_FAILED;
    if (mine.st_nlink == 0) return PLAT_LOCK_GONE;
    if (stat(path, &named) != 0)
        return errno == ENOENT || errno == ENOTDIR || errno == ESTALE ? PLAT_LOCK_GONE
                                                                       : PLAT_LOCK_FAILED;
    return named.st_dev == mine.st_dev && named.st_ino == mine.st_ino ? 0 : PLAT_LOCK_GONE;
}

// File systems whose clients on several hosts may cache names and
// attributes: FUSE (GlusterFS), NFS, CephFS, SMB.
bool shared_between_hosts(int fd) {
    constexpr unsigned long kFuse = 0x65735546, kNfs = 0x6969, kCeph = 0x00c36400,
                            kSmb2 = 0xfe534d42, kCifs = 0xff534d42;
    struct statfs fs;
    if (fstatfs(fd, &fs) != 0) return true;  // unknown: record it, to be safe
    auto type = static_cast<unsigned long>(fs.f_type);
    return type == kFuse || type == kNfs || type == kCeph || type == kSmb2 || type == kCifs;
}

}  // namespace

extern "C" {

int plat_is_sep(char c) { return c == '/'; }

size_t plat_path_root_length(const char *path) {
    return path != nullptr && path[0] == '/' ? 1 : 0;
}

int plat_stat(const char *path, plat_attr *out) {
    struct stat st;
    if (FAULT_HIT(PLAT_OP_STAT)) return PLAT_STAT_FAILED;
    if (path == nullptr) return PLAT_STAT_FAILED;
    if (stat(path, &st) != 0)
        return errno == ENOENT || errno == ENOTDIR ? PLAT_STAT_ABSENT : PLAT_STAT_FAILED;
    attr_of_stat(st, out);
    return 0;
}

int plat_touch(const char *path) {
    if (FAULT_HIT(PLAT_OP_STAT)) return -1;
    if (path == nullptr) return -1;
    return utimensat(AT_FDCWD, path, nullptr, 0) == 0 ? 0 : -1;
}

int plat_mkdir(const char *path) {
    if (FAULT_HIT(PLAT_OP_MKDIR)) return PLAT_MKDIR_FAILED;
    if (mkdir(path, 0777) == 0) return PLAT_MKDIR_CREATED;
    return errno == EEXIST ? PLAT_MKDIR_EXISTS : PLAT_MKDIR_FAILED;
}

int plat_rmdir(const char *path) {
    if (FAULT_HIT(PLAT_OP_RMDIR)) return -1;
    return rmdir(path) == 0 ? 0 : -1;
}

int plat_remove(const char *path) {
    if (FAULT_HIT(PLAT_OP_REMOVE)) return PLAT_REMOVE_FAILED;
    if (unlink(path) == 0) return PLAT_REMOVE_DONE;
    return errno == ENOENT || errno == ENOTDIR ? PLAT_REMOVE_ABSENT : PLAT_REMOVE_FAILED;
}

int plat_rename(const char *from, const char *to) {
    if (FAULT_HIT(PLAT_OP_RENAME)) return -1;
    return rename(from, to) == 0 ? 0 : -1;
}

// fopen succeeds on a directory for reading under glibc; a registry file is
// never a directory, so refuse one here and keep every caller's rule simple.
static FILE *refuse_directory(FILE *f) {
    struct stat st;
    if (f != nullptr && fstat(fileno(f), &st) == 0 && S_ISDIR(st.st_mode)) {
        fclose(f);
        errno = EISDIR;
        return nullptr;
    }
    return f;
}

FILE *plat_fopen(const char *path, const char *mode) {
    if (FAULT_HIT(PLAT_OP_OPEN)) return nullptr;
    return refuse_directory(fopen(path, mode));
}

FILE *plat_fopen_regular(const char *path) {
    FILE *f = nullptr;
    plat_attr attr;
    plat_open_regular_file(path, &f, &attr);
    return f;
}

// O_NONBLOCK keeps open() from waiting for a FIFO's writer; the mode is
// checked on the opened descriptor, so the entry cannot be swapped between
// the check and the use. Blocking reads are restored before use.
int plat_open_regular_file(const char *path, FILE **out, plat_attr *attr) {
    *out = nullptr;
    if (FAULT_HIT(PLAT_OP_OPEN)) return PLAT_OPEN_FAILED;
    if (path == nullptr) return PLAT_OPEN_FAILED;
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT || errno == ENOTDIR ? PLAT_OPEN_NOT_FILE : PLAT_OPEN_FAILED;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        close(fd);
        return PLAT_OPEN_FAILED;
    }
    if (!S_ISREG(st.st_mode)) {
        close(fd);
        return PLAT_OPEN_NOT_FILE;
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        close(fd);
        return PLAT_OPEN_FAILED;
    }
    FILE *f = fdopen(fd, "rb");
    if (f == nullptr) {
        close(fd);
        return PLAT_OPEN_FAILED;
    }
    attr_of_stat(st, attr);
    *out = f;
    return PLAT_OPEN_DONE;
}

FILE *plat_fopen_append_existing(const char *path) {
    if (FAULT_HIT(PLAT_OP_OPEN)) return nullptr;
    if (path == nullptr) return nullptr;
    int fd = open(path, O_WRONLY | O_APPEND | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    FILE *f = fdopen(fd, "ab");
    if (f == nullptr) close(fd);
    return f;
}

FILE *plat_fcreate_new(const char *path) {
    if (FAULT_HIT(PLAT_OP_CREATE)) return nullptr;
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    FILE *f = fdopen(fd, "wb");
    if (f == nullptr) close(fd);
    return f;
}

void *plat_library_open(const char *name) { return dlopen(name, RTLD_NOW | RTLD_LOCAL); }

void *plat_library_symbol(void *library, const char *name) {
    return library != nullptr ? dlsym(library, name) : nullptr;
}

int plat_mkdir_private(const char *path) {
    if (FAULT_HIT(PLAT_OP_MKDIR)) return PLAT_MKDIR_FAILED;
    if (mkdir(path, 0700) == 0) return PLAT_MKDIR_CREATED;
    return errno == EEXIST ? PLAT_MKDIR_EXISTS : PLAT_MKDIR_FAILED;
}

FILE *plat_fcreate_private(const char *path) {
    if (FAULT_HIT(PLAT_OP_CREATE)) return nullptr;
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    FILE *f = fdopen(fd, "wb");
    if (f == nullptr) close(fd);
    return f;
}

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
    return fdatasync(fileno(f)) == 0 ? 0 : -1;
}

int plat_fstart_writeback(FILE *f, uint64_t offset, uint64_t count) {
    if (fflush(f) != 0) return -1;
#ifdef __linux__
    // Only starts the write-out of pages not yet under way; a failure here
    // shows again at the fsync that makes the file durable.
    sync_file_range(fileno(f), static_cast<off_t>(offset), static_cast<off_t>(count),
                    SYNC_FILE_RANGE_WRITE);
#else
    (void)offset;
    (void)count;
#endif
    return 0;
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
    int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -1;
    int rc = fsync(fd);
    close(fd);
    return rc == 0 ? 0 : -1;
}

int plat_seek64(FILE *f, int64_t offset) {
    if (FAULT_HIT(PLAT_OP_SEEK)) return -1;
    return fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0 ? 0 : -1;
}

FILE *plat_stream_open(void *cookie, plat_stream_read_fn read, plat_stream_write_fn write) {
    if (FAULT_HIT(PLAT_OP_OPEN)) return nullptr;
    if ((read == nullptr) == (write == nullptr)) return nullptr;
    auto *s = new (std::nothrow) function_stream{cookie, read, write};
    if (s == nullptr) return nullptr;
    cookie_io_functions_t functions = {};
    functions.close = function_stream_close;
    if (read != nullptr)
        functions.read = function_stream_read;
    else
        functions.write = function_stream_write;
    FILE *f = fopencookie(s, read != nullptr ? "r" : "w", functions);
    if (f == nullptr) delete s;
    return f;
}

// glibc declares stdin and stdout as variables that a program may assign.
int plat_bind_std_streams(FILE *in, FILE *out, plat_std_streams *saved) {
    if (in == nullptr || out == nullptr || saved == nullptr) return -1;
    saved->in = stdin;
    saved->out = stdout;
    stdin = in;
    stdout = out;
    return 0;
}

void plat_restore_std_streams(const plat_std_streams *saved) {
    stdin = saved->in;
    stdout = saved->out;
}

void plat_set_binary(FILE *) {}

void plat_enlarge_pipe(FILE *f) {
#ifdef F_SETPIPE_SZ
    struct stat st;
    int fd = fileno(f);
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) return;
    // The kernel caps the size for unprivileged processes; a refusal leaves
    // the pipe as it was.
    (void)fcntl(fd, F_SETPIPE_SZ, 1 << 20);
#else
    (void)f;
#endif
}

int plat_is_terminal(FILE *f) { return f != nullptr && isatty(fileno(f)) == 1 ? 1 : 0; }

int plat_stdin_is_listener(void) {
    int listening = 0;
    socklen_t size = sizeof listening;
    if (getsockopt(STDIN_FILENO, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0) return 0;
    return listening != 0 ? 1 : 0;
}

int plat_stdout_detach(void) {
    fflush(stdout);
    int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null_fd < 0) return -1;
    int rc = dup2(null_fd, STDOUT_FILENO) < 0 ? -1 : 0;
    close(null_fd);
    return rc;
}

void plat_ignore_stop_request(void) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGTERM, &ignore, nullptr);
}

int64_t plat_time_seconds(void) { return static_cast<int64_t>(time(nullptr)); }

int64_t plat_time_ns(void) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

int plat_random_bytes(void *buf, size_t count) {
    if (FAULT_HIT(PLAT_OP_RANDOM)) return -1;
#ifdef PLAT_FAULT_INJECTION
    int scripted;
    if (plat_fault_scripted_random(buf, count, &scripted)) return scripted;
#endif
    unsigned char *out = static_cast<unsigned char *>(buf);
    while (count > 0) {
        ssize_t n = getrandom(out, count, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        out += n;
        count -= static_cast<size_t>(n);
    }
    return 0;
}

int64_t plat_process_id(void) { return static_cast<int64_t>(getpid()); }

// ---- Locks on open files ----------------------------------------------------

int plat_lock_file(FILE *f, const char *path, int wait) {
    if (FAULT_HIT(PLAT_OP_LOCK)) return PLAT_LOCK_FAILED;
    if (f == nullptr || path == nullptr) return PLAT_LOCK_FAILED;
    int fd = fileno(f);
    if (set_lock(fd, F_WRLCK, wait != 0) != 0)
        return wait == 0 && (errno == EAGAIN || errno == EACCES) ? PLAT_LOCK_BUSY
                                                                 : PLAT_LOCK_FAILED;
    int named = still_named(fd, path);
    if (named != 0) {
        set_lock(fd, F_UNLCK, false);
        return named;
    }
    // A client of a shared file system may keep the file's size from
    // before the last holder's writes, and reads through any stream of it
    // would end there: its attributes are fetched anew now that the lock
    // orders this holder after that one.
    struct statx fresh;
    if (shared_between_hosts(fd) &&
        statx(fd, "", AT_EMPTY_PATH | AT_STATX_FORCE_SYNC, STATX_SIZE, &fresh) != 0) {
        set_lock(fd, F_UNLCK, false);
        return PLAT_LOCK_FAILED;
    }
    return 0;
}

int plat_retire_file(FILE *f, int retired) {
    if (FAULT_HIT(PLAT_OP_LOCK)) return -1;
    if (f == nullptr) return -1;
    int fd = fileno(f);
    if (!shared_between_hosts(fd)) return 0;
    int rc = retired != 0 ? fsetxattr(fd, kRetiredAttribute, "1", 1, 0)
                          : fremovexattr(fd, kRetiredAttribute);
    if (rc == 0 || errno == ENOTSUP || (retired == 0 && errno == ENODATA)) return 0;
    return -1;
}

struct plat_dir {
    DIR *dir;
    int fd;
};

plat_dir *plat_dir_open(const char *path) {
    if (FAULT_HIT(PLAT_OP_LIST)) return nullptr;
    DIR *d = opendir(path);
    if (d == nullptr) return nullptr;
    // Allocated with new, which the fault-injecting build can make fail.
    auto *pd = new (std::nothrow) plat_dir;
    if (pd == nullptr) {
        closedir(d);
        return nullptr;
    }
    pd->dir = d;
    pd->fd = dirfd(d);
    return pd;
}

int plat_dir_next(plat_dir *d, const char **name, int *is_dir) {
    if (FAULT_HIT(PLAT_OP_LIST)) return -1;
    for (;;) {
        // readdir gives NULL both at the end and on failure; only a failure
        // sets errno.
        errno = 0;
        struct dirent *e = readdir(d->dir);
        if (e == nullptr) return errno == 0 ? 0 : -1;
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
        int dir = 0;
        if (e->d_type == DT_DIR) {
            dir = 1;
        } else if (e->d_type == DT_UNKNOWN || e->d_type == DT_LNK) {
            struct stat st;
            if (fstatat(d->fd, e->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode)) dir = 1;
        }
        *name = e->d_name;
        *is_dir = dir;
        return 1;
    }
}

void plat_dir_close(plat_dir *d) {
    if (d == nullptr) return;
    closedir(d->dir);
    delete d;
}

}  // extern "C"
