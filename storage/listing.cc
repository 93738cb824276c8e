// Directory listing, whole-file reading and text duplication: the small
// primitives with which the manifest store, the tag list, the catalog and
// the statistics walk the storage tree and read its link files.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/platform.h"
#include "storage/reg_storage_internal.h"

namespace {

bool is_dot_or_dot_dot(const char *name) {
    return strcmp(name, ".") == 0 || strcmp(name, "..") == 0;
}

// Copies name into the entry's fixed field, cut after 511 characters.
void store_entry(dir_entry *entry, const char *name, int is_dir) {
    size_t len = strnlen(name, sizeof entry->name - 1);
    memcpy(entry->name, name, len);
    entry->name[len] = '\0';
    entry->is_dir = is_dir ? 1 : 0;
}

}  // namespace

int list_dir(const char *directory, dir_list *list) {
    list->count = 0;
    list->truncated = 0;
    if (directory == nullptr || !dir_exists(directory)) return -1;

    plat_dir *d = plat_dir_open(directory);
    if (d == nullptr) return -1;
    const char *name = nullptr;
    int is_dir = 0;
    int rc;
    while ((rc = plat_dir_next(d, &name, &is_dir)) > 0) {
        if (is_dot_or_dot_dot(name)) continue;
        if (list->count == REG_DIR_LIST_MAX) {
            list->truncated = 1;
            break;
        }
        store_entry(&list->entries[list->count], name, is_dir);
        list->count++;
    }
    plat_dir_close(d);
    // An enumeration that failed part-way may have missed entries: the
    // entries gathered so far stand, and the listing is marked incomplete
    // like one cut at its capacity, so that no caller takes it as whole.
    if (rc < 0) list->truncated = 1;
    return 0;
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

char *xstrdup(const char *text) {
    size_t size = strlen(text) + 1;
    char *copy = static_cast<char *>(malloc(size));
    if (copy != nullptr) memcpy(copy, text, size);
    return copy;
}

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
        if (is_dot_or_dot_dot(name)) continue;
        out->push_back(listed_entry{name, is_dir != 0});
    }
    return rc < 0 ? -1 : 0;
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
