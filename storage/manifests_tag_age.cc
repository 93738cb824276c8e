// The age of a tag's link, and its confirmation: a mirror asks its upstream
// again about a tag only once the link is older than its time to live.
#include <cstdio>

#include "platform/platform.h"
#include "storage/layout.h"
#include "storage/reg_storage.h"
#include "storage/state.h"

namespace {

// The checks both calls make first; the tag link's path into path.
int tag_link_path(const char *repo_name, const char *tag, char *path, uint64_t size) {
    if (require_ready_repo(repo_name) != 0) return -1;
    if (!tag_name_valid(tag)) {
        set_status_error(REG_STATUS_INVALID_NAME, "invalid tag: %s", tag);
        return -1;
    }
    manifest_tag_path(repo_name, tag, path, size);
    return 0;
}

}  // namespace

extern "C" {

int reg_tag_age(const char *repo_name, const char *tag, int64_t *out_seconds) {
    if (repo_name == nullptr || tag == nullptr || out_seconds == nullptr) {
        set_status_error(REG_STATUS_INVALID_ARGUMENT, "NULL argument");
        return -1;
    }
    char path[REG_PATH_MAX];
    if (tag_link_path(repo_name, tag, path, sizeof path) != 0) return -1;
    plat_attr attr;
    int rc = plat_stat(path, &attr);
    if (rc == PLAT_STAT_ABSENT || (rc == 0 && !attr.is_file)) {
        set_status_error(REG_STATUS_NOT_FOUND, "tag not found: %s", tag);
        return -1;
    }
    if (rc != 0) {
        set_error("cannot query tag: %s", tag);
        return -1;
    }
    int64_t age = plat_time_seconds() - attr.mtime;
    *out_seconds = age > 0 ? age : 0;
    return 0;
}

int reg_tag_confirm(const char *repo_name, const char *tag) {
    if (repo_name == nullptr || tag == nullptr) {
        set_status_error(REG_STATUS_INVALID_ARGUMENT, "NULL argument");
        return -1;
    }
    char path[REG_PATH_MAX];
    if (tag_link_path(repo_name, tag, path, sizeof path) != 0) return -1;
    if (plat_touch(path) != 0) {
        if (file_presence(path) == 0) {
            set_status_error(REG_STATUS_NOT_FOUND, "tag not found: %s", tag);
            return -1;
        }
        set_error("cannot confirm tag: %s", tag);
        return -1;
    }
    return 0;
}

}  // extern "C"
