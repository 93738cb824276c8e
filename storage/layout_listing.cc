// Listings: the one whole directory listing, the walk that finds every
// repository, and the names of the files that uploads, atomic replacement
// and garbage collection leave in the tree.
#include <algorithm>
#include <cstring>
#include <memory>

#include "platform/platform.h"
#include "storage/layout.h"

namespace {

// Directory levels the repository walk descends below repositories: a name
// has at most 255 bytes, so no repository lies deeper than 128 levels.
constexpr int kMaxRepoDepth = 128;

bool all_digits(const std::string &text, size_t from, size_t to) {
    if (from >= to) return false;
    for (size_t i = from; i < to; i++)
        if (text[i] < '0' || text[i] > '9') return false;
    return true;
}

// Adds to *names every repository at or below directory dir, whose name so
// far is prefix (empty at the top). That a directory is a repository is
// read from its own listing, not asked of the file system again, so that a
// failed query cannot make a repository look absent. The walk never enters
// _manifests.
int collect_repositories(const std::string &dir, const std::string &prefix, int depth,
                         std::vector<std::string> *names) {
    std::vector<listed_entry> entries;
    if (list_all(dir.c_str(), &entries) != 0) return -1;
    if (!prefix.empty()) {
        for (const listed_entry &entry : entries) {
            if (entry.is_dir && entry.name == "_manifests") {
                names->push_back(prefix);
                break;
            }
        }
    }
    if (depth > kMaxRepoDepth) return 0;
    for (const listed_entry &entry : entries) {
        if (!entry.is_dir || entry.name == "_manifests") continue;
        std::string name = prefix.empty() ? entry.name : prefix + "/" + entry.name;
        if (collect_repositories(dir + PLAT_SEP_STR + entry.name, name, depth + 1, names) != 0)
            return -1;
    }
    return 0;
}

}  // namespace

int list_all(const char *directory, std::vector<listed_entry> *out) {
    out->clear();
    if (directory == nullptr || !dir_exists(directory)) return -1;
    // Closed on every way out, also when memory runs out while the names
    // are gathered.
    std::unique_ptr<plat_dir, void (*)(plat_dir *)> d(plat_dir_open(directory), plat_dir_close);
    if (d == nullptr) return -1;
    const char *name = nullptr;
    int is_dir = 0;
    int rc;
    while ((rc = plat_dir_next(d.get(), &name, &is_dir)) > 0) {
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
        out->push_back(listed_entry{name, is_dir != 0});
    }
    return rc < 0 ? -1 : 0;
}

int list_or_absent(const char *directory, std::vector<listed_entry> *out) {
    if (list_all(directory, out) == 0) return LISTED;
    out->clear();
    plat_attr a;
    return plat_stat(directory, &a) == PLAT_STAT_ABSENT ? LISTED_ABSENT : LISTED_FAILED;
}

int count_files(const char *directory, int64_t *count, int64_t *bytes) {
    std::vector<listed_entry> entries;
    int listed = list_or_absent(directory, &entries);
    for (const listed_entry &e : entries) {
        if (e.is_dir) continue;
        ++*count;
        std::string path = std::string(directory) + PLAT_SEP_STR + e.name;
        int64_t size = file_size(path.c_str());
        if (size > 0) *bytes += size;
    }
    return listed;
}

int list_repositories(std::vector<std::string> *names) {
    names->clear();
    char dir[REG_PATH_MAX];
    repos_dir(dir, sizeof dir);
    if (collect_repositories(dir, "", 1, names) != 0) {
        names->clear();
        // A store without a repositories directory has none; only a query
        // that finds it absent says so.
        plat_attr a;
        return plat_stat(dir, &a) == PLAT_STAT_ABSENT ? 0 : -1;
    }
    std::sort(names->begin(), names->end());
    return 0;
}

int is_temporary_name(const std::string &name) {
    size_t at = name.rfind(".tmp-");
    if (at == std::string::npos || at == 0) return 0;
    size_t dash = name.find('-', at + 5);
    if (dash == std::string::npos) return 0;
    return all_digits(name, at + 5, dash) && all_digits(name, dash + 1, name.size()) ? 1 : 0;
}

int is_swept_name(const std::string &name, std::string *original) {
    size_t at = name.rfind(".sweep-");
    if (at == std::string::npos || at == 0 || !all_digits(name, at + 7, name.size())) return 0;
    *original = name.substr(0, at);
    return 1;
}

std::string swept_name(const std::string &path) {
    return path + ".sweep-" + std::to_string(static_cast<long long>(plat_process_id()));
}

int is_upload_file_name(const std::string &name) {
    const size_t id_len = REG_UPLOAD_ID_SIZE - 1;
    return name.size() == id_len + 5 && name.compare(id_len, 5, ".part") == 0 &&
                   uuid_valid(name.substr(0, id_len).c_str())
               ? 1
               : 0;
}

int is_blob_file_name(const char *algo, const std::string &fan, const std::string &name) {
    return fan.size() == 2 && is_hex_digest(name) && strcmp(algo_of_hex(name.c_str()), algo) == 0 &&
                   name.compare(0, 2, fan) == 0
               ? 1
               : 0;
}

int is_content_type_name(const std::string &name) {
    return name.size() > 3 && name.compare(name.size() - 3, 3, ".ct") == 0 &&
                   is_hex_digest(name.substr(0, name.size() - 3))
               ? 1
               : 0;
}
