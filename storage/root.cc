// Storage root, error state, file primitives and the blob store.
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "storage/reg_storage_internal.h"

char s_root[REG_ROOT_MAX];
int32_t s_ready;
char s_error[REG_ERROR_MAX];
char s_result[REG_RESULT_MAX];
reg_status s_status;

namespace {

// Names tried for the temporary file of one atomic write.
constexpr int kMaxTemporaryNames = 64;

const char kConfigJson[] =
    "{\n"
    "  \"schemaVersion\": 2,\n"
    "  \"title\": \"tarnwick-registry-storage\",\n"
    "  \"version\": \"1.0.0\",\n"
    "  \"maxUploadSize\": -1\n"
    "}\n";
static_assert(sizeof(kConfigJson) - 1 == 110, "config.json is 110 bytes");

// A directory level counts as present when it was made, when any entry of
// that name already stands there, or when it is a directory after all.
bool make_dir_level(const char *path) {
    int rc = plat_mkdir(path);
    return rc == PLAT_MKDIR_CREATED || rc == PLAT_MKDIR_EXISTS || dir_exists(path);
}


}  // namespace

void set_error(const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    vsnprintf(s_error, sizeof s_error, format, ap);
    va_end(ap);
    s_status = REG_STATUS_IO_ERROR;
}

void set_status_error(reg_status status, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    vsnprintf(s_error, sizeof s_error, format, ap);
    va_end(ap);
    s_status = status;
}

int require_ready(void) {
    if (s_ready) return 0;
    set_status_error(REG_STATUS_NOT_READY, "not initialized - call reg_storage_init first");
    return -1;
}

void path_join(char *out, uint64_t size, const char *first, const char *second) {
    if (out == nullptr || size == 0) return;
    snprintf(out, size, "%s%c%s", first, PLAT_SEP, second);
}

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

// Syncs the directory that holds path. 0 / -1.
static int sync_parent_dir(const char *path) {
    char dir[REG_PATH_MAX];
    size_t len = strnlen(path, sizeof dir - 1);
    memcpy(dir, path, len);
    dir[len] = '\0';
    while (len > 0 && !plat_is_sep(dir[len - 1])) len--;
    if (len == 0) return plat_sync_dir(".");
    dir[len > 1 ? len - 1 : len] = '\0';
    return plat_sync_dir(dir);
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

int digest_valid(const char *text) {
    if (text == nullptr || strncmp(text, "sha256:", 7) != 0) return 0;
    const char *hex = text + 7;
    for (int i = 0; i < 64; i++) {
        char c = hex[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return 0;
    }
    return hex[64] == '\0' ? 1 : 0;
}

void bin_to_hex(const unsigned char *data, uint64_t count, char *out) {
    static const char digits[] = "0123456789abcdef";
    for (uint64_t i = 0; i < count; i++) {
        out[2 * i] = digits[data[i] >> 4];
        out[2 * i + 1] = digits[data[i] & 0x0f];
    }
    out[2 * count] = '\0';
}

void blob_algo_dir(char *out, uint64_t size) {
    char blobs[REG_PATH_MAX];
    path_join(blobs, sizeof blobs, s_root, "blobs");
    path_join(out, size, blobs, "sha256");
}

void blob_fan_dir(const char *digest, char *out, uint64_t size) {
    char algo[REG_PATH_MAX];
    const char fan_name[3] = {digest[7], digest[8], '\0'};
    blob_algo_dir(algo, sizeof algo);
    path_join(out, size, algo, fan_name);
}

void blob_path_for_digest(const char *digest, char *out, uint64_t size) {
    char fan[REG_PATH_MAX];
    blob_fan_dir(digest, fan, sizeof fan);
    path_join(out, size, fan, digest + 7);
}

extern "C" {

int reg_storage_init(const char *root_dir) {
    if (root_dir == nullptr || root_dir[0] == '\0') {
        set_status_error(REG_STATUS_INVALID_ARGUMENT, "storage root dir is empty");
        return -1;
    }
    if (s_ready) reg_storage_cleanup();
    size_t len = strlen(root_dir);
    if (len > REG_ROOT_MAX - 1) {
        set_status_error(REG_STATUS_INVALID_ARGUMENT, "storage root dir too long (max 3499 chars)");
        return -1;
    }
    memcpy(s_root, root_dir, len + 1);
    if (s_root[len - 1] == PLAT_SEP) s_root[len - 1] = '\0';

    char path[REG_PATH_MAX];
    if (mkdirs(s_root) != 0) {
        set_error("mkdirs failed: %s", s_root);
        return -1;
    }
    blob_algo_dir(path, sizeof path);
    if (mkdirs(path) != 0) {
        set_error("mkdirs failed: %s", path);
        return -1;
    }
    static const char *const kTopDirs[] = {"repositories", "uploads"};
    for (const char *top : kTopDirs) {
        path_join(path, sizeof path, s_root, top);
        if (mkdirs(path) != 0) {
            set_error("mkdirs failed: %s", path);
            return -1;
        }
    }
    path_join(path, sizeof path, s_root, "config.json");
    if (!file_exists(path) &&
        write_file_atomic(path, kConfigJson, sizeof(kConfigJson) - 1) != 0) {
        set_error("write config.json failed");
        return -1;
    }
    s_ready = 1;
    s_error[0] = '\0';
    s_status = REG_STATUS_OK;
    return 0;
}

void reg_storage_cleanup(void) {
    s_ready = 0;
    s_root[0] = '\0';
}

const char *reg_storage_last_error(void) { return s_error; }

reg_status reg_storage_last_status(void) { return s_status; }

void reg_storage_forget_error(void) {
    s_error[0] = '\0';
    s_status = REG_STATUS_OK;
}

int reg_blob_exists(const char *digest) {
    if (digest == nullptr) {
        set_status_error(REG_STATUS_INVALID_ARGUMENT, "digest is NULL");
        return -1;
    }
    if (require_ready() != 0) return -1;
    if (!digest_valid(digest)) {
        set_status_error(REG_STATUS_INVALID_DIGEST, "invalid digest");
        return -1;
    }
    char path[REG_PATH_MAX];
    blob_path_for_digest(digest, path, sizeof path);
    return file_exists(path);
}

int64_t reg_blob_get_size(const char *digest) {
    if (digest == nullptr) {
        set_status_error(REG_STATUS_INVALID_ARGUMENT, "digest is NULL");
        return -1;
    }
    if (require_ready() != 0) return -1;
    if (!digest_valid(digest)) {
        set_status_error(REG_STATUS_INVALID_DIGEST, "invalid digest");
        return -1;
    }
    char path[REG_PATH_MAX];
    blob_path_for_digest(digest, path, sizeof path);
    return file_size(path);
}

int reg_blob_get_filepath(const char *digest, char *out_path, uint64_t out_size) {
    if (digest == nullptr || out_path == nullptr || out_size == 0) {
        set_status_error(REG_STATUS_INVALID_ARGUMENT, "NULL argument");
        return -1;
    }
    if (require_ready() != 0) return -1;
    if (!digest_valid(digest)) {
        set_status_error(REG_STATUS_INVALID_DIGEST, "invalid digest");
        return -1;
    }
    char path[REG_PATH_MAX];
    blob_path_for_digest(digest, path, sizeof path);
    if (!file_exists(path)) {
        set_status_error(REG_STATUS_NOT_FOUND, "blob not found: %s", digest);
        return -1;
    }
    size_t len = strlen(path);
    if (len >= out_size) {
        set_status_error(REG_STATUS_INVALID_ARGUMENT, "path buffer too small");
        return -1;
    }
    memcpy(out_path, path, len + 1);
    return 0;
}

int reg_blob_delete(const char *digest) {
    if (digest == nullptr) {
        set_status_error(REG_STATUS_INVALID_ARGUMENT, "digest is NULL");
        return -1;
    }
    if (require_ready() != 0) return -1;
    if (!digest_valid(digest)) {
        set_status_error(REG_STATUS_INVALID_DIGEST, "invalid digest");
        return -1;
    }
    char path[REG_PATH_MAX];
    blob_path_for_digest(digest, path, sizeof path);
    if (!file_exists(path)) {
        set_status_error(REG_STATUS_NOT_FOUND, "blob not found: %s", digest);
        return -1;
    }
    if (remove_file(path) != 0) {
        set_error("remove failed");
        return -1;
    }
    // Only an empty fan-out directory goes; one that still holds blobs stays.
    char fan[REG_PATH_MAX];
    blob_fan_dir(digest, fan, sizeof fan);
    plat_rmdir(fan);
    return 0;
}

}  // extern "C"
