// POSIX implementation of the operating-system layer.
#include "platform/platform.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>

#ifdef PLAT_FAULT_INJECTION
#include "platform/platform_fault.h"
// A test build: the call fails as counted by the fault injector.
#define FAULT_HIT(kind) (plat_fault_hit(kind) != 0)
#else
#define FAULT_HIT(kind) false
#endif

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
    out->is_dir = S_ISDIR(st.st_mode) ? 1 : 0;
    out->size = static_cast<int64_t>(st.st_size);
    out->mtime = static_cast<int64_t>(st.st_mtime);
    out->mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
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

// O_NONBLOCK keeps open() from waiting for a FIFO's writer; the mode is
// checked on the opened descriptor, so the entry cannot be swapped between
// the check and the use. Blocking reads are restored before use.
FILE *plat_fopen_regular(const char *path) {
    if (FAULT_HIT(PLAT_OP_OPEN)) return nullptr;
    if (path == nullptr) return nullptr;
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st;
    int flags = -1;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        close(fd);
        return nullptr;
    }
    FILE *f = fdopen(fd, "rb");
    if (f == nullptr) close(fd);
    return f;
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

size_t plat_fwrite(const void *data, size_t count, FILE *f) {
    if (count == 0) return 0;
    // A failing write, like a full disk, may still take some of the bytes.
    if (FAULT_HIT(PLAT_OP_WRITE)) return fwrite(data, 1, count / 2, f);
    return fwrite(data, 1, count, f);
}

int plat_fsync(FILE *f) {
    if (FAULT_HIT(PLAT_OP_SYNC)) return -1;
    if (fflush(f) != 0) return -1;
    return fdatasync(fileno(f)) == 0 ? 0 : -1;
}

int plat_fclose(FILE *f) {
    if (FAULT_HIT(PLAT_OP_CLOSE)) {
        fclose(f);
        return -1;
    }
    return fclose(f) == 0 ? 0 : -1;
}

int plat_sync_dir(const char *path) {
    if (FAULT_HIT(PLAT_OP_SYNC_DIR)) return -1;
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

int64_t plat_time_seconds(void) { return static_cast<int64_t>(time(nullptr)); }

int64_t plat_time_ns(void) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

int plat_random_bytes(void *buf, size_t count) {
    if (FAULT_HIT(PLAT_OP_RANDOM)) return -1;
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

struct plat_dir {
    DIR *dir;
    int fd;
};

plat_dir *plat_dir_open(const char *path) {
    if (FAULT_HIT(PLAT_OP_LIST)) return nullptr;
    DIR *d = opendir(path);
    if (d == nullptr) return nullptr;
    auto *pd = static_cast<plat_dir *>(malloc(sizeof(plat_dir)));
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
    free(d);
}

}  // extern "C"
