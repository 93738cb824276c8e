// The blob store: blobs are files named by their digest, shared by every
// repository; looked up, opened and deleted here, entered only by an
// upload's commit (uploads.cc).
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "storage/layout.h"

namespace {

// The tests every blob operation makes before it touches the disk. Sets the
// message.
int require_blob_digest(const char *digest) {
    if (digest == nullptr) {
        set_status_error(REG_STATUS_INVALID_ARGUMENT, "digest is NULL");
        return -1;
    }
    if (require_ready() != 0) return -1;
    if (!digest_valid(digest)) {
        set_status_error(REG_STATUS_INVALID_DIGEST, "invalid digest");
        return -1;
    }
    return 0;
}

// The path of the blob file of digest into path, when a file is there.
// Sets the message ("blob not found: %s").
int locate_blob(const char *digest, char *path) {
    if (require_blob_digest(digest) != 0) return -1;
    blob_path_for_digest(digest, path, REG_PATH_MAX);
    if (file_exists(path)) return 0;
    set_status_error(REG_STATUS_NOT_FOUND, "blob not found: %s", digest);
    return -1;
}

}  // namespace

extern "C" {

int reg_blob_exists(const char *digest) {
    if (require_blob_digest(digest) != 0) return -1;
    char path[REG_PATH_MAX];
    blob_path_for_digest(digest, path, sizeof path);
    return file_exists(path);
}

int64_t reg_blob_get_size(const char *digest) {
    if (require_blob_digest(digest) != 0) return -1;
    char path[REG_PATH_MAX];
    blob_path_for_digest(digest, path, sizeof path);
    return file_size(path);
}

int reg_blob_get_filepath(const char *digest, char *out_path, uint64_t out_size) {
    if (digest == nullptr || out_path == nullptr || out_size == 0) {
        set_status_error(REG_STATUS_INVALID_ARGUMENT, "NULL argument");
        return -1;
    }
    char path[REG_PATH_MAX];
    if (locate_blob(digest, path) != 0) return -1;
    size_t len = strlen(path);
    if (len >= out_size) {
        set_status_error(REG_STATUS_INVALID_ARGUMENT, "path buffer too small");
        return -1;
    }
    memcpy(out_path, path, len + 1);
    return 0;
}

int reg_blob_stat(const char *digest, int64_t *out_size) {
    if (out_size == nullptr) {
        set_status_error(REG_STATUS_INVALID_ARGUMENT, "NULL argument");
        return -1;
    }
    if (require_blob_digest(digest) != 0) return -1;
    char path[REG_PATH_MAX];
    blob_path_for_digest(digest, path, sizeof path);
    plat_attr a;
    int rc = plat_stat(path, &a);
    if (rc == PLAT_STAT_FAILED) {
        set_error("cannot query blob: %s", digest);
        return -1;
    }
    if (rc != 0 || !a.is_file) {
        set_status_error(REG_STATUS_NOT_FOUND, "blob not found: %s", digest);
        return -1;
    }
    *out_size = a.size;
    return 0;
}

int reg_blob_open(const char *digest, reg_opened *out) {
    if (out == nullptr) {
        set_status_error(REG_STATUS_INVALID_ARGUMENT, "NULL argument");
        return -1;
    }
    if (require_blob_digest(digest) != 0) return -1;
    char path[REG_PATH_MAX];
    blob_path_for_digest(digest, path, sizeof path);
    FILE *f = nullptr;
    plat_attr a;
    int rc = plat_open_regular_file(path, &f, &a);
    if (rc == PLAT_OPEN_NOT_FILE) {
        set_status_error(REG_STATUS_NOT_FOUND, "blob not found: %s", digest);
        return -1;
    }
    if (rc != PLAT_OPEN_DONE) {
        set_error("cannot open blob: %s", digest);
        return -1;
    }
    out->file = f;
    out->size = a.size;
    snprintf(out->digest, sizeof out->digest, "%s", digest);
    snprintf(out->content_type, sizeof out->content_type, "%s", "application/octet-stream");
    snprintf(out->path, sizeof out->path, "%s", path);
    return 0;
}

int reg_blob_delete(const char *digest) {
    char path[REG_PATH_MAX];
    if (locate_blob(digest, path) != 0) return -1;
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
