// What a page about a repository shows beside its name: how many tags it
// has and when it was last pushed to, from the attributes of its links.
#include <string>
#include <vector>

#include "platform/platform.h"
#include "storage/layout.h"
#include "storage/reg_storage.h"
#include "storage/state.h"

namespace {

// Adds the link at path to the summary: counted when counted is set, and
// its modification time taken when it is the newest. 1 when it is there.
int take_link(const std::string &path, int64_t *newest) {
    plat_attr attr;
    if (plat_stat(path.c_str(), &attr) != 0 || !attr.is_file) return 0;
    if (attr.mtime > *newest) *newest = attr.mtime;
    return 1;
}

int summarise(const char *repo_name, reg_repo_summary_info *out) {
    if (repo_name == nullptr || out == nullptr) {
        set_status_error(REG_STATUS_INVALID_ARGUMENT, "NULL argument");
        return -1;
    }
    if (require_ready_repo(repo_name) != 0) return -1;
    char dir[REG_PATH_MAX];
    manifests_dir(repo_name, dir, sizeof dir);
    if (!dir_exists(dir)) {
        set_status_error(REG_STATUS_NOT_FOUND, "repository not found: %s", repo_name);
        return -1;
    }
    reg_repo_summary_info info = {0, 0};
    std::vector<listed_entry> entries;
    char tags[REG_PATH_MAX];
    manifest_tags_dir(repo_name, tags, sizeof tags);
    if (list_or_absent(tags, &entries) == LISTED_FAILED) {
        set_error("cannot list tags of %s", repo_name);
        return -1;
    }
    for (const listed_entry &e : entries) {
        if (!e.is_dir || !tag_name_valid(e.name.c_str())) continue;
        char link[REG_PATH_MAX];
        manifest_tag_path(repo_name, e.name.c_str(), link, sizeof link);
        info.tags += static_cast<uint64_t>(take_link(link, &info.last_push));
    }
    // A manifest pushed by digest alone leaves only its revision link.
    for (const char *algo : kStoredAlgorithms) {
        char revisions[REG_PATH_MAX];
        manifest_revisions_dir(repo_name, algo, revisions, sizeof revisions);
        if (list_or_absent(revisions, &entries) == LISTED_FAILED) {
            set_error("cannot list revisions of %s", repo_name);
            return -1;
        }
        for (const listed_entry &e : entries) {
            if (!e.is_dir || !hex_digest_valid(e.name.c_str())) continue;
            char link[REG_PATH_MAX];
            manifest_rev_path(repo_name, e.name.c_str(), link, sizeof link);
            take_link(link, &info.last_push);
        }
    }
    *out = info;
    return 0;
}

}  // namespace

extern "C" {

int reg_repo_summary(const char *repo_name, reg_repo_summary_info *out) {
    return unless_out_of_memory<int>(-1, [&] { return summarise(repo_name, out); });
}

}  // extern "C"
