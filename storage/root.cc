// Making a root ready: its top-level directories and the informational
// config.json, on first use; the root then becomes the storage's state.
#include <cstring>

#include "platform/platform.h"
#include "storage/layout.h"

namespace {

const char kConfigJson[] =
    "{\n"
    "  \"schemaVersion\": 2,\n"
    "  \"title\": \"tarnwick-registry-storage\",\n"
    "  \"version\": \"1.0.0\",\n"
    "  \"maxUploadSize\": -1\n"
    "}\n";
static_assert(sizeof(kConfigJson) - 1 == 110, "config.json is 110 bytes");

}  // namespace

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
    // A root starts with the SHA-256 blob directory; the SHA-512 one is
    // made with its first blob.
    blob_algo_dir(kStoredAlgorithms[0], path, sizeof path);
    if (mkdirs(path) != 0) {
        set_error("mkdirs failed: %s", path);
        return -1;
    }
    void (*const kTopDirs[])(char *, uint64_t) = {repos_dir, uploads_dir};
    for (auto top_dir : kTopDirs) {
        top_dir(path, sizeof path);
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

}  // extern "C"
