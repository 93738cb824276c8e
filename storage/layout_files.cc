// The file primitives every write and read of the store goes through:
// directories made with their parents, queries that tell absent from
// unknown, atomic replacement, removal, bounded and whole reads.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "storage/layout.h"

namespace {

// Names tried for the temporary file of one atomic write.
constexpr int kMaxTemporaryNames = 64;

// A directory level counts as present when it was made, when any entry of
// that name already stands there, or when it is a directory after all.
bool make_dir_level(const char *path) {
    int rc = plat_mkdir(path);
    return rc == PLAT_MKDIR_CREATED || rc == PLAT_MKDIR_EXISTS || dir_exists(path);
}

// Syncs the directory that holds path. 0 / -1.
int sync_parent_dir(const char *path) {
    char dir[REG_PATH_MAX];
    size_t len = strnlen(path, sizeof dir - 1);
    memcpy(dir, path, len);
    dir[len] = '\0';
    while (len > 0 && !plat_is_sep(dir[len - 1])) len--;
    if (len == 0) return plat_sync_dir(".");
    dir[len > 1 ? len - 1 : len] = '\0';
    return plat_sync_dir(dir);
}

}  // namespace

int mkdirs(const char *path) {
    if (path == nullptr) return -1;
    size_t len = strlen(path);
    if (len == 0 || len > REG_PATH_MAX - 1) return -1;
    // Every request bootstraps the storage, and after the first one the
    // whole path stands already: one query then answers what a walk of
    // mkdir calls, each failing with "exists", would answer.
    if (dir_exists(path)) return 0;
    char copy[REG_PATH_MAX];
    memcpy(copy, path, len + 1);
    // The path's root (a leading separator, a drive, a share) is never made:
    // the first split point lies after it.
    size_t start = plat_path_root_length(copy);
    if (start == 0) start = 1;
    for (size_t i = start; i < len; i++) {
        if (!plat_is_sep(copy[i])) continue;
        copy[i] = '\0';
        bool present = make_dir_level(copy);
        copy[i] = path[i];
        if (!present) return -1;
    }
    return make_dir_level(copy) ? 0 : -1;
}

int file_exists(const char *path) {
    plat_attr a;
    return plat_stat(path, &a) == 0 && !a.is_dir ? 1 : 0;
}

int file_presence(const char *path) {
    plat_attr a;
    int rc = plat_stat(path, &a);
    if (rc == 0) return a.is_dir ? 0 : 1;
    return rc == PLAT_STAT_ABSENT ? 0 : -1;
}

int dir_exists(const char *path) {
    plat_attr a;
    return plat_stat(path, &a) == 0 && a.is_dir ? 1 : 0;
}

int64_t file_size(const char *path) {
    plat_attr a;
    return plat_stat(path, &a) == 0 ? a.size : -1;
}

int write_file(const char *path, const void *data, uint64_t count) {
    FILE *f = plat_fopen(path, "wb");
    if (f == nullptr) return -1;
    size_t written = count > 0 ? plat_fwrite(data, count, f) : 0;
    bool failed = ferror(f) != 0 || written < count;
    // Data still buffered at the close that cannot be written is a failure
    // too: the file would not hold what the caller asked for.
    if (plat_fclose(f) != 0) failed = true;
    return failed ? -1 : 0;
}

int write_file_atomic(const char *path, const void *data, uint64_t count) {
    static uint32_t counter;
    char tmp[REG_PATH_MAX];
    FILE *f = nullptr;
    // A temporary name that is taken belongs to a process with the same id
    // that died before its rename, or to a live one in another process-id
    // namespace sharing the root. Either way it is left alone and the next
    // number is tried; otherwise every later process given that id would
    // fail here.
    for (int attempt = 0; f == nullptr; attempt++) {
        int n = snprintf(tmp, sizeof tmp, "%s.tmp-%lld-%u", path,
                         static_cast<long long>(plat_process_id()), ++counter);
        if (n < 0 || static_cast<size_t>(n) >= sizeof tmp) return -1;
        f = plat_fcreate_new(tmp);
        plat_attr taken;
        if (f == nullptr && (attempt + 1 == kMaxTemporaryNames || plat_stat(tmp, &taken) != 0))
            return -1;
    }
    size_t written = count > 0 ? plat_fwrite(data, count, f) : 0;
    bool failed = ferror(f) != 0 || written < count || plat_fsync(f) != 0;
    if (plat_fclose(f) != 0) failed = true;
    if (failed || plat_rename(tmp, path) != 0) {
        plat_remove(tmp);
        return -1;
    }
    // The rename lives in the directory; until that is synced a power cut
    // may undo it, and a link written after this file could then survive
    // while the file it names does not.
    return sync_parent_dir(path);
}

int remove_file(const char *path) {
    // The removal itself tells whether there was a file. Asking first would
    // read a failed query as "no file", and the caller would be told that a
    // file which stays has gone.
    int rc = plat_remove(path);
    if (rc == PLAT_REMOVE_DONE || rc == PLAT_REMOVE_ABSENT) return 0;
    return dir_exists(path) ? 0 : -1;
}

int read_file(const char *path, char *buffer, uint64_t capacity, uint64_t *out_len) {
    if (path == nullptr || buffer == nullptr || capacity == 0) return -1;
    FILE *f = plat_fopen(path, "rb");
    if (f == nullptr) return -1;
    size_t n = plat_fread(buffer, static_cast<size_t>(capacity - 1), f);
    bool failed = ferror(f) != 0;
    plat_fclose(f);
    if (failed) return -1;
    buffer[n] = '\0';
    if (out_len != nullptr) *out_len = n;
    return 0;
}

int read_whole_file(const char *path, uint64_t limit, std::string *out) {
    out->clear();
    FILE *f = plat_fopen(path, "rb");
    if (f == nullptr) return -1;
    char piece[65536];
    bool failed = false;
    for (;;) {
        size_t n = plat_fread(piece, sizeof piece, f);
        if (n > 0) {
            if (out->size() + n > limit) {
                out->append(piece, static_cast<size_t>(limit - out->size()));
                failed = true;
                break;
            }
            out->append(piece, n);
        }
        if (n < sizeof piece) {
            failed = failed || ferror(f) != 0;
            break;
        }
    }
    plat_fclose(f);
    return failed ? -1 : 0;
}

char *xstrdup(const char *text) {
    size_t size = strlen(text) + 1;
    char *copy = static_cast<char *>(malloc(size));
    if (copy != nullptr) memcpy(copy, text, size);
    return copy;
}

int content_type_storable(const char *type) {
    size_t len = strnlen(type, REG_CONTENT_TYPE_SIZE);
    if (len == 0 || len >= REG_CONTENT_TYPE_SIZE) return 0;
    for (size_t i = 0; i < len; i++)
        if (type[i] < 0x20 || type[i] > 0x7e) return 0;
    return 1;
}

void read_manifest_type(const char *repo_name, const char *hex, const char *fallback, char *out) {
    char path[REG_PATH_MAX];
    manifest_ct_path(repo_name, hex, path, sizeof path);
    if (read_file(path, out, REG_CONTENT_TYPE_SIZE, nullptr) != 0 || !content_type_storable(out))
        snprintf(out, REG_CONTENT_TYPE_SIZE, "%s", fallback);
}
