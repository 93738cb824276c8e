// Storage statistics: counts of repositories, tags, blobs and uploads, and
// the bytes blobs and uploads hold, gathered by walking the store whole on
// every call: repositories and tags as the catalog and the tag list show
// them.
#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "storage/layout.h"
#include "storage/stats_internal.h"

namespace {

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

// A count of 64 bits for the 32-bit members of the document.
int32_t narrow(int64_t count) { return count > INT32_MAX ? INT32_MAX : static_cast<int32_t>(count); }

}  // namespace

namespace {

// The repositories as the catalog lists them and their tags, from one walk
// of the repositories. 0, or -1 when something does not list whole.
int count_repos_and_tags(int32_t *repos, int32_t *tags) {
    return unless_out_of_memory(-1, [&] {
        std::vector<std::string> names, tag_names;
        if (list_repositories(&names) != 0) return -1;
        int64_t count = 0;
        for (const std::string &repo : names) {
            if (list_tags(repo.c_str(), &tag_names) != 0) return -1;
            count += static_cast<int64_t>(tag_names.size());
        }
        *repos = narrow(static_cast<int64_t>(names.size()));
        *tags = narrow(count);
        return 0;
    });
}

}  // namespace

int32_t count_repos(void) {
    return unless_out_of_memory(-1, [] {
        std::vector<std::string> names;
        if (list_repositories(&names) != 0) return -1;
        return narrow(static_cast<int64_t>(names.size()));
    });
}

int32_t count_tags(void) {
    int32_t repos = 0, tags = 0;
    return count_repos_and_tags(&repos, &tags) == 0 ? tags : -1;
}

int64_t count_blobs(int32_t *out_count) {
    *out_count = 0;
    return unless_out_of_memory<int64_t>(-1, [&]() -> int64_t {
        int64_t count = 0, bytes = 0;
        for (const char *name : kStoredAlgorithms) {
            char algo[REG_PATH_MAX];
            blob_algo_dir(name, algo, sizeof algo);
            // Only files inside a fan-out directory are blobs; whatever lies
            // directly in an algorithm's directory is not.
            std::vector<listed_entry> fans;
            if (list_or_absent(algo, &fans) == LISTED_FAILED) return -1;
            for (const listed_entry &fan : fans) {
                if (!fan.is_dir) continue;
                std::string dir = std::string(algo) + PLAT_SEP_STR + fan.name;
                if (count_files(dir.c_str(), &count, &bytes) == LISTED_FAILED) return -1;
            }
        }
        *out_count = narrow(count);
        return bytes;
    });
}

int32_t count_uploads(int64_t *out_bytes) {
    *out_bytes = 0;
    return unless_out_of_memory(-1, [&] {
        char dir[REG_PATH_MAX];
        uploads_dir(dir, sizeof dir);
        int64_t count = 0;
        if (count_files(dir, &count, out_bytes) == LISTED_FAILED) return -1;
        return narrow(count);
    });
}

extern "C" {

const char *reg_storage_get_stats_json(void) {
    if (require_ready() != 0) return nullptr;

    int32_t repos = 0, tags = 0;
    int walked = count_repos_and_tags(&repos, &tags);
    int32_t blobs = 0;
    int64_t blob_bytes = count_blobs(&blobs);
    int64_t upload_bytes = 0;
    int32_t uploads = count_uploads(&upload_bytes);
    // A count of part of the store would be a wrong number; none is given.
    if (walked != 0 || blob_bytes < 0 || uploads < 0) {
        set_error("cannot walk the store whole");
        return nullptr;
    }

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
