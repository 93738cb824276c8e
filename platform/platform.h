/*
 * platform.h - the operating-system layer.
 *
 * Every call that touches files, directories, standard streams' modes or the
 * clock goes through this interface, so that a Windows implementation or a
 * fault-injecting one can stand in for the POSIX one. Nothing above this
 * layer includes <sys/stat.h>, <dirent.h>, <unistd.h> or <windows.h>.
 *
 * All functions are plain C. Paths are NUL-terminated byte strings in the
 * platform's own form.
 *
 * Windows (platform_windows.cc): paths are UTF-8 here and UTF-16 at the
 * Win32 API (the W functions); '/' and '\\' both separate components, and
 * '/' is turned into '\\' before a path reaches the API. A path of 248
 * UTF-16 units or more is made absolute and given the \\?\ (or \\?\UNC\)
 * form, so long paths work whether or not the system honours the
 * executable's long-path-aware manifest. Every file is opened with
 * FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE: another process
 * may read, write, delete or rename over a file while this one has it open,
 * as on POSIX. Where a contract below reads differently on Windows, the
 * difference is stated after it.
 */
#ifndef PLATFORM_PLATFORM_H
#define PLATFORM_PLATFORM_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifdef _WIN32
#define PLAT_SEP '\\'
#define PLAT_SEP_STR "\\"
#else
#define PLAT_SEP '/'
#define PLAT_SEP_STR "/"
#endif

/* Marks a function whose argument fmt is a printf format checked against
 * the arguments from first on. On Windows (mingw-w64) the C library's
 * formatting is the C99 one of mingw-w64 (__USE_MINGW_ANSI_STDIO), so the
 * check is GCC's, not that of Microsoft's printf, which lacks %zu. */
#if defined(__MINGW32__)
#define PLAT_PRINTF_FORMAT(fmt, first) __attribute__((format(gnu_printf, fmt, first)))
#else
#define PLAT_PRINTF_FORMAT(fmt, first) __attribute__((format(printf, fmt, first)))
#endif

/* 1 when c separates path components on this platform ('/' on POSIX; '/' and
 * '\\' on Windows), else 0. */
int plat_is_sep(char c);

/* The length of path's root prefix, which names no directory to be made:
 * 1 for a leading '/' on POSIX, 0 for a relative path. Windows: 2 for "C:",
 * 3 for "C:\", 1 for a leading separator; for a share (\\server\share\)
 * and the \\?\ forms, up to and including the separator after the share
 * or the drive. */
size_t plat_path_root_length(const char *path);

/* What an attribute query tells of one entry. */
typedef struct plat_attr {
    int is_dir;    /* 1 directory, 0 anything else */
    int is_file;   /* 1 regular file, 0 anything else (a directory, FIFO, device, socket) */
    int64_t size;  /* size in bytes as the platform reports it */
    int64_t mtime; /* last modification, whole seconds since 1970-01-01 UTC */
    /* The same time in nanoseconds since 1970-01-01 UTC, as fine as the file
     * system records it (POSIX st_mtim; Windows: 100-nanosecond steps), so
     * that two times within one second can be ordered. */
    int64_t mtime_ns;
} plat_attr;

/* Results of plat_stat other than 0. */
#define PLAT_STAT_ABSENT 1
#define PLAT_STAT_FAILED (-1)

/* Queries the entry at path (symbolic links are followed). 0 and *out
 * filled when the entry exists and could be queried; PLAT_STAT_ABSENT when
 * no entry of that name is there (nor a directory on the way to it);
 * PLAT_STAT_FAILED for every other failure (no access, an I/O error, a bad
 * path), so that a caller can tell "not there" from "cannot tell".
 * Windows: GetFileAttributesExW; a reparse point (symbolic link, junction)
 * is opened to learn what it points at. A file whose deletion is pending
 * (still open elsewhere, deleted without POSIX semantics) answers access
 * denied, which gives PLAT_STAT_FAILED. */
int plat_stat(const char *path, plat_attr *out);

/* Sets the modification time of the existing file at path to now, without
 * opening it for writing or changing its bytes: a mark that the file is in
 * use, which the garbage collector's grace period honours. 0 done, -1 when
 * there is no such entry or the time cannot be set. Counted and failed by
 * fault injection like an attribute query.
 * Windows: the file is opened for FILE_WRITE_ATTRIBUTES and SetFileTime is
 * given the current system time (GetSystemTimePreciseAsFileTime). */
int plat_touch(const char *path);

/* Results of plat_mkdir. */
#define PLAT_MKDIR_CREATED 0
#define PLAT_MKDIR_EXISTS 1
#define PLAT_MKDIR_FAILED (-1)

/* Creates one directory level. PLAT_MKDIR_CREATED when it was made,
 * PLAT_MKDIR_EXISTS when an entry of that name (of any kind) is already
 * there, PLAT_MKDIR_FAILED for every other failure. */
int plat_mkdir(const char *path);

/* Removes a directory only when it is empty. 0 removed, -1 otherwise.
 * Windows: RemoveDirectoryW. */
int plat_rmdir(const char *path);

/* Results of plat_remove. */
#define PLAT_REMOVE_DONE 0
#define PLAT_REMOVE_ABSENT 1
#define PLAT_REMOVE_FAILED (-1)

/* Deletes a file (not a directory). PLAT_REMOVE_DONE when it was removed,
 * PLAT_REMOVE_ABSENT when no entry of that name is there, PLAT_REMOVE_FAILED
 * for every other failure (a directory, no access, an I/O error): the
 * removal's own outcome, so that a caller need not ask again whether the
 * file is gone.
 * Windows: the file is marked for deletion with POSIX semantics (the name
 * goes at once even while another process has the file open), falling back
 * to the classic deletion where the file system lacks them (the name then
 * stays, unopenable, until the last handle closes). A read-only file is
 * PLAT_REMOVE_FAILED. */
int plat_remove(const char *path);

/* Renames from to to, atomically replacing an existing file at to. Both
 * must be on one file system. 0 done, -1 otherwise (from stays).
 * Windows: a rename with POSIX semantics (replaces a target that another
 * process holds open), falling back to MoveFileExW with
 * MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH, which returns only
 * when the rename is on disk but fails while the target is open elsewhere.
 * Unlike the C library's rename on Windows, an existing target never makes
 * it fail by itself. */
int plat_rename(const char *from, const char *to);

/* Opens a file like fopen with a binary mode ("rb", "r+b", "wb", "ab").
 * NULL on failure, also when the path names a directory or the mode is not
 * one of these. */
FILE *plat_fopen(const char *path, const char *mode);

/* Opens an existing regular file for binary reading, like plat_fopen with
 * "rb". NULL when it does not open or is not a regular file (a directory,
 * FIFO, device or socket); opening never waits for a FIFO's writer. */
FILE *plat_fopen_regular(const char *path);

/* Results of plat_open_regular_file. */
#define PLAT_OPEN_DONE 0
#define PLAT_OPEN_NOT_FILE 1
#define PLAT_OPEN_FAILED (-1)

/* Opens the regular file at path for binary reading and tells its
 * attributes from the open file itself, so that one lookup answers both
 * "is it there" and "how large is it" for the very file that is then read.
 * PLAT_OPEN_DONE with *out (the stream) and *attr filled;
 * PLAT_OPEN_NOT_FILE when no entry of that name is there (nor a directory
 * on the way to it) or the entry is not a regular file (a directory, FIFO,
 * device or socket; opening never waits for a FIFO's writer);
 * PLAT_OPEN_FAILED for every other failure (no access, an I/O error).
 * *out is NULL unless PLAT_OPEN_DONE. Counted and failed by fault injection
 * like an open.
 * Windows: GetFileInformationByHandle on the opened handle; a directory,
 * which CreateFileW refuses to open for reading, is PLAT_OPEN_NOT_FILE. */
int plat_open_regular_file(const char *path, FILE **out, plat_attr *attr);

/* Opens an existing file for binary appending: every write goes to the
 * file's end. Never creates the file: NULL when it is absent, a directory,
 * or does not open. */
FILE *plat_fopen_append_existing(const char *path);

/* Creates path as a new, empty file opened for binary writing, failing when
 * any entry of that name already exists. NULL on failure. */
FILE *plat_fcreate_new(const char *path);

/* Loads the shared library name (a file name the system's loader searches
 * for, such as "libcurl.so.4") into the process, with every symbol bound
 * now, when a program needs it only on some requests: its start then pays
 * nothing for it. NULL when it cannot be loaded. Never unloaded.
 * Windows: LoadLibraryA. */
void *plat_library_open(const char *name);

/* The address of the function name in a library plat_library_open loaded,
 * or NULL. Windows: GetProcAddress. */
void *plat_library_symbol(void *library, const char *name);

/* Like plat_mkdir, but the directory is made so that only the user the
 * process runs as may enter it (POSIX mode 0700). An existing entry is
 * PLAT_MKDIR_EXISTS and left as it is.
 * Windows: plat_mkdir; the directory takes the access rules of its parent. */
int plat_mkdir_private(const char *path);

/* Like plat_fcreate_new, but only the user the process runs as may read or
 * write the new file (POSIX mode 0600), for secrets such as tokens.
 * Windows: plat_fcreate_new; the file takes the access rules of its folder. */
FILE *plat_fcreate_private(const char *path);

/* Reads up to count bytes from f into buffer, like fread with an item size
 * of 1: the count of bytes delivered, less than count at the end of the
 * stream or after a read error, which feof(f) and ferror(f) then tell
 * apart. Every stream is read through here, a file of the store as much as
 * standard input carrying a request body: a read that fails leaves ferror
 * set whichever it was, and the caller handles both alike.
 * Counted by fault injection as a read (any stream, standard input too, so
 * that a body that breaks off is exercised like a disk that fails): an
 * injected failure delivers at most the first half of the bytes asked for,
 * then sets f's error indicator and errno to EIO, as a device failing part
 * way through does. A count of 0 reads nothing and is not counted. */
size_t plat_fread(void *buffer, size_t count, FILE *f);

/* Writes count bytes to f. Returns the count of bytes accepted. */
size_t plat_fwrite(const void *data, size_t count, FILE *f);

/* Flushes f's buffer and asks the platform to put the file's bytes on
 * stable storage. 0 done, -1 on any failure. f stays open.
 * Windows: FlushFileBuffers. */
int plat_fsync(FILE *f);

/* Flushes f's buffer and asks the platform to start writing the count
 * bytes of the file from offset to stable storage, without waiting for
 * them: a later plat_fsync then has little left to write. A hint only;
 * 0 done (or nothing to start), -1 when the flush failed.
 * Windows: the flush only. */
int plat_fstart_writeback(FILE *f, uint64_t offset, uint64_t count);

/* Closes f. 0 done, -1 when the close reported a failure (for instance data
 * still buffered that could not be written). */
int plat_fclose(FILE *f);

/* Makes the directory entry changes inside directory path (creations,
 * renames, removals) durable. 0 done, -1 on failure.
 * Windows: the directory is opened and FlushFileBuffers is asked to flush
 * it. NTFS journals every change of a directory's entries and the renames
 * of plat_rename are written through, so where the file system refuses to
 * flush a directory handle (access denied, not supported) the opened
 * directory is success. -1 when path is no directory that opens. */
int plat_sync_dir(const char *path);

/* Seeks f to offset bytes from its start (64-bit). 0 done, -1 on failure.
 * Windows: _fseeki64. */
int plat_seek64(FILE *f, int64_t offset);

/* Sends count bytes of the regular file behind in, from byte offset on, to
 * out without copying them through a buffer of the process: the kernel moves
 * them when out is a pipe or a socket. Flushes out first; neither stream's
 * position is used or moved. Waits when out is in non-blocking mode and
 * full; retries interrupted calls and partial transfers.
 * Returns the count of bytes sent, which is less than count when the file
 * ends early (not an error) or when out stopped taking bytes (the reader went
 * away). -1, with nothing written, when this path does not serve the pair:
 * out is not a pipe or socket (a regular file, a terminal), in is not a
 * regular file, or the platform has no such transfer; the caller then copies
 * the bytes itself.
 * Windows: always -1; CGI output there is an anonymous pipe, which no
 * kernel transfer serves. */
int64_t plat_send_file_range(FILE *in, int64_t offset, int64_t count, FILE *out);

/* The two directions of a stream made by plat_stream_open. A read delivers
 * up to size bytes into buffer: the count, 0 at the end, -1 on failure. A
 * write takes size bytes from buffer: the count taken (size unless it
 * failed part way), -1 when it took none. */
typedef ptrdiff_t (*plat_stream_read_fn)(void *cookie, char *buffer, size_t size);
typedef ptrdiff_t (*plat_stream_write_fn)(void *cookie, const char *buffer, size_t size);

/* Opens a binary stdio stream over functions: reading it calls read (then
 * write must be NULL), writing it calls write (then read must be NULL),
 * each with cookie. The stream is not seekable; closing it calls neither
 * function and leaves cookie alone. NULL when both or neither function is
 * given or the stream cannot be made (out of memory). Counted by fault
 * injection like an open.
 * Windows: always NULL; the C library there makes no stream over functions
 * (the programs run as CGI programs only). */
FILE *plat_stream_open(void *cookie, plat_stream_read_fn read, plat_stream_write_fn write);

/* The process's standard input and output as plat_bind_std_streams found
 * them. */
typedef struct plat_std_streams {
    FILE *in;
    FILE *out;
} plat_std_streams;

/* Makes in the process's stdin and out its stdout, so that code reading
 * stdin and writing stdout (a handler of one request) uses them; the
 * streams they replace go to *saved. The file descriptors 0 and 1 stay as
 * they were: only the C library's stdin and stdout change. 0 done, -1 when
 * the platform cannot rebind them (nothing changed).
 * Windows: always -1; stdin and stdout are not variables there. */
int plat_bind_std_streams(FILE *in, FILE *out, plat_std_streams *saved);

/* Makes the streams in *saved (from plat_bind_std_streams) the process's
 * stdin and stdout again. The streams bound meanwhile are not closed. */
void plat_restore_std_streams(const plat_std_streams *saved);

/* Puts a standard stream (stdin or stdout) into binary mode; a no-op where
 * the platform makes no difference. Windows: _setmode with _O_BINARY, so no
 * "\n" becomes "\r\n" and no ^Z ends the input. */
void plat_set_binary(FILE *f);

/* Asks for a larger kernel buffer (about 1 MiB) when the stream f reads
 * from a pipe, so that a large request body arrives in fewer, larger pieces
 * and its writer waits less. Nothing happens for any other stream or where
 * the platform offers no such setting (Windows); never fails. */
void plat_enlarge_pipe(FILE *f);

/* 1 when the stream f (stdin, stdout or stderr) is connected to a terminal,
 * else 0 (a file, a pipe, NULL). Windows: a console (a character device
 * that answers GetConsoleMode; the NUL device is none). */
int plat_is_terminal(FILE *f);

/* 1 when standard input is a listening socket, the way a FastCGI server
 * starts the programs it runs as responders; 0 for anything else (a pipe, a
 * file, a terminal, a connected socket, nothing). One system call, no
 * allocation. Windows: always 0 (the programs run as CGI programs there). */
int plat_stdin_is_listener(void);

/* Ends the process's standard output while the process goes on: flushes
 * stdout, then makes file descriptor 1 the null device, so that its reader
 * (a web server running a CGI program) sees the output end and later writes
 * to stdout go nowhere. 0 done, -1 when the null device cannot be opened
 * (stdout as it was, flushed). Windows: flushes and reopens stdout on NUL. */
int plat_stdout_detach(void);

/* Makes the process ignore the request to stop (SIGTERM) from now on: a web
 * server sends it to a CGI program as soon as the program's reply is all in
 * (lighttpd does, even before the output ends) or its client went away, and
 * a program with work left after its reply (making a fetched blob durable)
 * finishes it instead. Windows: nothing (no such signal). */
void plat_ignore_stop_request(void);

/* The current calendar time in whole seconds. */
int64_t plat_time_seconds(void);

/* ---- Fine-grained time --------------------------------------------------- */

/* The current calendar time in nanoseconds since 1970-01-01 UTC, on the
 * clock that stamps files' modification times (POSIX clock_gettime with
 * CLOCK_REALTIME; Windows GetSystemTimePreciseAsFileTime, in 100-nanosecond
 * steps), so that it compares with plat_attr.mtime_ns. The file system may
 * stamp a time that trails this one by its clock's tick (a few milliseconds
 * on Linux). Not counted by fault injection. */
int64_t plat_time_ns(void);

/* Fills buf with count bytes from the operating system's cryptographic
 * random source. 0 done, -1 when the source failed (buf is then not to be
 * used). Windows: BCryptGenRandom with the system's preferred generator. */
int plat_random_bytes(void *buf, size_t count);

/* The identifier of the calling process. */
int64_t plat_process_id(void);

/* ---- Locks on open files ------------------------------------------------ */

/* Results of plat_lock_file other than 0. */
#define PLAT_LOCK_GONE 1
#define PLAT_LOCK_BUSY 2
#define PLAT_LOCK_FAILED (-1)

/* Takes an exclusive lock on the file that the stream f (opened for writing
 * or update) has open, so that processes working on one file through its
 * name take turns: in this process or others, on this host or on others
 * whose file system shares POSIX record locks between clients (GlusterFS
 * over FUSE, NFSv4, CephFS). With wait non-zero it waits while another
 * stream holds the lock; with wait 0 it answers PLAT_LOCK_BUSY at once.
 * Once the lock is held, path must still name the file f has open and the
 * file must not be retired (plat_retire_file); otherwise the lock is let go
 * and the result is PLAT_LOCK_GONE: the file was renamed or removed since f
 * was opened, or f was opened through a name that a stale cache still
 * showed. On such a shared file system the file's attributes are then
 * fetched anew (statx with AT_STATX_FORCE_SYNC), so that reads see the bytes
 * the previous holder appended; GlusterFS needs performance.stat-prefetch
 * off for that, or its client keeps the old size. 0 locked;
 * PLAT_LOCK_FAILED when the lock or that check failed for another reason. The lock is the stream's own and lasts until f is closed:
 * closing another stream of the same file, in this process too, keeps it
 * (an open-file-description lock, F_OFD_SETLKW), and the close writes f's
 * buffered bytes before it lets go. It covers one byte at offset 2^62, not
 * the file's bytes, which stay readable and writable through every stream.
 * Counted by fault injection as a lock call.
 * Windows: LockFileEx on that byte; the file is the one path names when the
 * volume serial number and file index of both handles agree, and a file
 * whose deletion is pending is gone. */
int plat_lock_file(FILE *f, const char *path, int wait);

/* Records (retired non-zero) or withdraws (0) that the file f has open and
 * holds locked is leaving its name (renamed elsewhere or removed), so that a
 * process that takes the lock later through a stream opened before finds it
 * gone, also on a host whose cache of names and attributes is stale. Only
 * file systems shared between hosts need the record (a FUSE mount such as
 * GlusterFS's, NFS, CephFS, SMB: the extended attribute
 * user.tarnwick.retired); on a local one the name check of plat_lock_file is
 * exact, and nothing is written. 0 done (also where the file system keeps no
 * extended attributes); -1 failed. Counted by fault injection as a lock call.
 * Windows: nothing to record; always 0. */
int plat_retire_file(FILE *f, int retired);

/* Directory enumeration. "." and ".." are never delivered; no order is
 * promised. Windows: FindFirstFileExW and FindNextFileW; names are given
 * in UTF-8. */
typedef struct plat_dir plat_dir;

/* Starts an enumeration of the directory at path. NULL on failure. */
plat_dir *plat_dir_open(const char *path);

/* Delivers the next entry: 1 with *name (valid until the next call on d) and
 * *is_dir set, 0 at the end, -1 when the enumeration failed before its end
 * (entries may then be missing). */
int plat_dir_next(plat_dir *d, const char **name, int *is_dir);

/* Ends an enumeration; d may be NULL. */
void plat_dir_close(plat_dir *d);

#ifdef __cplusplus
}
#endif

#endif
