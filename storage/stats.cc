// Storage statistics: counts of repositories, tags, blobs and uploads, and
// the bytes blobs and uploads hold, gathered by walking the storage tree on
// every call.
#include <cstdarg>
#include <cstdio>

#include "storage/reg_storage_internal.h"

namespace {

// A tag link is read with at most 127 bytes.
constexpr uint64_t kLinkCapacity = 128;

bool tag_link_readable(const char *repo_name, const char *tag) {
    char path[REG_PATH_MAX];
    char link[kLinkCapacity];
    manifest_tag_path(repo_name, tag, path, sizeof path);
    return read_file(path, link, sizeof link, nullptr) == 0;
}

int32_t count_tags_of(const char *repo_name) {
    char tags_dir[REG_PATH_MAX];
    manifest_tags_dir(repo_name, tags_dir, sizeof tags_dir);
    dir_list tags;
    if (list_dir(tags_dir, &tags) != 0) return 0;
    int32_t count = 0;
    for (int32_t i = 0; i < tags.count; i++)
        if (tags.entries[i].is_dir && tag_link_readable(repo_name, tags.entries[i].name)) count++;
    return count;
}

// Counts the files (not directories) directly in directory and adds their
// sizes to *bytes; a size that cannot be queried adds nothing.
int32_t count_files_in(const char *directory, int64_t *bytes) {
    dir_list list;
    if (list_dir(directory, &list) != 0) return 0;
    int32_t count = 0;
    char path[REG_PATH_MAX];
    for (int32_t i = 0; i < list.count; i++) {
        if (list.entries[i].is_dir) continue;
        count++;
        path_join(path, sizeof path, directory, list.entries[i].name);
        int64_t size = file_size(path);
        if (size > 0) *bytes += size;
    }
    return count;
}

// Formats one piece at the end of the document in buf (cap bytes) of len
// bytes, cut where the room ends.
PLAT_PRINTF_FORMAT(4, 5) void append_piece(char *buf, uint64_t cap, uint64_t *len,
                                                        const char *format, ...) {
    if (*len + 1 >= cap) return;
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(buf + *len, cap - *len, format, ap);
    va_end(ap);
    if (n < 0) return;
    uint64_t room = cap - *len - 1;
    *len += static_cast<uint64_t>(n) < room ? static_cast<uint64_t>(n) : room;
}

}  // namespace

int32_t count_repos(void) {
    char dir[REG_PATH_MAX];
    repos_dir(dir, sizeof dir);
    dir_list list;
    if (list_dir(dir, &list) != 0) return 0;
    int32_t count = 0;
    for (int32_t i = 0; i < list.count; i++)
        if (list.entries[i].is_dir) count++;
    return count;
}

int32_t count_tags(void) {
    char dir[REG_PATH_MAX];
    repos_dir(dir, sizeof dir);
    dir_list repos;
    if (list_dir(dir, &repos) != 0) return 0;
    int32_t count = 0;
    for (int32_t i = 0; i < repos.count; i++)
        if (repos.entries[i].is_dir) count += count_tags_of(repos.entries[i].name);
    return count;
}

int64_t count_blobs(int32_t *out_count) {
    char blobs[REG_PATH_MAX], algo[REG_PATH_MAX], fan[REG_PATH_MAX];
    path_join(blobs, sizeof blobs, s_root, "blobs");
    path_join(algo, sizeof algo, blobs, "sha256");
    int32_t count = 0;
    int64_t bytes = 0;
    // Only files inside a fan-out directory are blobs; whatever lies
    // directly in blobs/sha256 is not.
    dir_list fans;
    if (list_dir(algo, &fans) == 0) {
        for (int32_t i = 0; i < fans.count; i++) {
            if (!fans.entries[i].is_dir) continue;
            path_join(fan, sizeof fan, algo, fans.entries[i].name);
            count += count_files_in(fan, &bytes);
        }
    }
    *out_count = count;
    return bytes;
}

int32_t count_uploads(int64_t *out_bytes) {
    *out_bytes = 0;
    char dir[REG_PATH_MAX];
    path_join(dir, sizeof dir, s_root, "uploads");
    int64_t bytes = 0;
    int32_t count = count_files_in(dir, &bytes);
    *out_bytes = bytes;
    return count;
}

extern "C" {

const char *reg_storage_get_stats_json(void) {
    if (require_ready() != 0) return nullptr;

    int32_t repos = count_repos();
    int32_t blobs = 0;
    int64_t blob_bytes = count_blobs(&blobs);
    int32_t tags = count_tags();
    int64_t upload_bytes = 0;
    int32_t uploads = count_uploads(&upload_bytes);

    uint64_t len = 0;
    s_result[0] = '\0';
    append_piece(s_result, sizeof s_result, &len, "{\"version\":\"1.0.0\",");
    append_piece(s_result, sizeof s_result, &len, "\"repositories\":%d,", repos);
    append_piece(s_result, sizeof s_result, &len, "\"tags\":%d,", tags);
    append_piece(s_result, sizeof s_result, &len, "\"blobs\":%d,", blobs);
    append_piece(s_result, sizeof s_result, &len, "\"blob_bytes\":%lld,",
                 static_cast<long long>(blob_bytes));
    append_piece(s_result, sizeof s_result, &len, "\"active_uploads\":%d,", uploads);
    append_piece(s_result, sizeof s_result, &len, "\"upload_bytes\":%lld}",
                 static_cast<long long>(upload_bytes));
    return s_result;
}

}  // extern "C"
