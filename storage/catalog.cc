// Tag list and repository catalog: JSON documents of the names found in one
// directory listing, sorted in byte order and written into the shared result
// buffer.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <string>
#include <vector>

#include "platform/platform.h"

#include "storage/catalog_internal.h"
#include "storage/layout.h"

namespace {

// json_escape_append handles a byte only while more than this many bytes
// remain, so an escaped text of L bytes is written whole only with L + 8
// bytes of room.
constexpr uint64_t kEscapeSlack = 8;

// Writes the escape of one byte into out (room for 6 bytes) and gives its
// length.
size_t escape_byte(unsigned char c, char *out) {
    char letter = 0;
    switch (c) {
        case '"': letter = '"'; break;
        case '\\': letter = '\\'; break;
        case '\b': letter = 'b'; break;
        case '\t': letter = 't'; break;
        case '\n': letter = 'n'; break;
        case '\f': letter = 'f'; break;
        case '\r': letter = 'r'; break;
        default: break;
    }
    if (letter != 0) {
        out[0] = '\\';
        out[1] = letter;
        return 2;
    }
    if (c < 0x20) {
        static const char digits[] = "0123456789abcdef";
        memcpy(out, "\\u00", 4);
        out[4] = digits[c >> 4];
        out[5] = digits[c & 0x0f];
        return 6;
    }
    out[0] = static_cast<char>(c);
    return 1;
}

uint64_t escaped_length(const char *text) {
    char scratch[6];
    uint64_t total = 0;
    for (const char *p = text; *p != '\0'; p++)
        total += escape_byte(static_cast<unsigned char>(*p), scratch);
    return total;
}

// Appends text to a document of len bytes in buf (cap bytes), cut where the
// room ends, and keeps it terminated.
void append_text(char *buf, uint64_t cap, uint64_t *len, const char *text) {
    if (*len >= cap) return;
    uint64_t room = cap - *len;
    size_t n = strnlen(text, static_cast<size_t>(room - 1));
    memcpy(buf + *len, text, n);
    *len += n;
    buf[*len] = '\0';
}

void append_escaped(char *buf, uint64_t cap, uint64_t *len, const char *text) {
    if (*len >= cap) return;
    *len += json_escape_append(buf + *len, cap - *len, text);
}

}  // namespace

uint64_t json_escape_append(char *dst, uint64_t cap, const char *src) {
    uint64_t w = 0;
    if (src != nullptr) {
        for (const char *p = src; *p != '\0'; p++) {
            if (w + kEscapeSlack >= cap) break;
            w += escape_byte(static_cast<unsigned char>(*p), dst + w);
        }
    }
    if (w < cap) dst[w] = '\0';
    return w;
}

int str_cmp(const char *a, const char *b) { return strcmp(a, b); }

void sort_str(char **names, int32_t name_count) {
    for (int32_t i = 1; i < name_count; i++) {
        char *name = names[i];
        int32_t j = i;
        for (; j > 0 && str_cmp(names[j - 1], name) > 0; j--) names[j] = names[j - 1];
        names[j] = name;
    }
}

uint64_t json_append_name_array(char *dst, uint64_t cap, char *const *names, int32_t count) {
    static const char kClose[] = "]}";
    if (cap < sizeof kClose) {
        if (cap > 0) dst[0] = '\0';
        return 0;
    }
    uint64_t len = 0;
    dst[0] = '\0';
    for (int32_t i = 0; i < count; i++) {
        uint64_t separator = i > 0 ? 1 : 0;
        // The comma, the opening quote, the escaped name with the escaper's
        // slack, which also holds the closing quote, "]}" and the NUL.
        uint64_t needed = separator + 1 + escaped_length(names[i]) + kEscapeSlack;
        if (needed > cap - len) break;
        if (separator) append_text(dst, cap, &len, ",");
        append_text(dst, cap, &len, "\"");
        append_escaped(dst, cap, &len, names[i]);
        append_text(dst, cap, &len, "\"");
    }
    append_text(dst, cap, &len, kClose);
    return len;
}

namespace {


// Index of the first name after last in sorted names (all when last is
// empty).
size_t first_after(const std::vector<std::string> &names, const char *last) {
    if (last == nullptr || last[0] == '\0') return 0;
    return static_cast<size_t>(
        std::upper_bound(names.begin(), names.end(), std::string(last)) - names.begin());
}

// Writes head, then the page of names after last with at most n of them (n
// < 0: all) as JSON strings, then "]}" into s_result. A name goes in only
// whole, while the closing still fits. out_next gets the page's last name
// when names follow it, else "".
const char *write_page(const std::string &head, const std::vector<std::string> &names,
                       int32_t n, const char *last, char *out_next, uint64_t next_size) {
    size_t start = first_after(names, last);
    size_t end = names.size();
    if (n >= 0 && static_cast<size_t>(n) < end - start) end = start + static_cast<size_t>(n);
    uint64_t len = 0;
    s_result[0] = '\0';
    append_text(s_result, sizeof s_result, &len, head.c_str());
    size_t written = 0;
    for (size_t i = start; i < end; i++) {
        uint64_t needed = (i > start ? 1 : 0) + 1 + escaped_length(names[i].c_str()) + kEscapeSlack;
        if (needed > sizeof s_result - len) break;
        if (i > start) append_text(s_result, sizeof s_result, &len, ",");
        append_text(s_result, sizeof s_result, &len, "\"");
        append_escaped(s_result, sizeof s_result, &len, names[i].c_str());
        append_text(s_result, sizeof s_result, &len, "\"");
        written++;
    }
    append_text(s_result, sizeof s_result, &len, "]}");
    if (out_next != nullptr && next_size > 0) {
        out_next[0] = '\0';
        if (written > 0 && start + written < names.size())
            snprintf(out_next, static_cast<size_t>(next_size), "%s",
                     names[start + written - 1].c_str());
    }
    return s_result;
}

std::string tags_head(const char *repo_name) {
    char escaped[1024];
    json_escape_append(escaped, sizeof escaped, repo_name);
    return std::string("{\"name\":\"") + escaped + "\",\"tags\":[";
}

int require_valid_repo(const char *repo_name) {
    if (repo_name == nullptr) {
        set_status_error(REG_STATUS_INVALID_ARGUMENT, "repo_name is NULL");
        return -1;
    }
    if (require_ready_repo(repo_name) != 0) return -1;
    return 0;
}

}  // namespace



extern "C" {

const char *reg_tags_list_json(const char *repo_name) {
    if (require_valid_repo(repo_name) != 0) return nullptr;
    return unless_out_of_memory<const char *>(nullptr, [&]() -> const char * {
        std::vector<std::string> tags;
        if (list_tags(repo_name, &tags) != 0) return nullptr;
        return write_page(tags_head(repo_name), tags, -1, nullptr, nullptr, 0);
    });
}

const char *reg_tags_list_page(const char *repo_name, int32_t n, const char *last,
                               char *out_next, uint64_t next_size) {
    if (require_valid_repo(repo_name) != 0) return nullptr;
    char dir[REG_PATH_MAX];
    manifest_tags_dir(repo_name, dir, sizeof dir);
    // The manifests directory is the tags directory's parent.
    size_t len = strlen(dir);
    while (len > 0 && !plat_is_sep(dir[len - 1])) len--;
    if (len > 0) dir[len - 1] = '\0';
    if (!dir_exists(dir)) {
        set_status_error(REG_STATUS_NOT_FOUND, "repository not found: %s", repo_name);
        return nullptr;
    }
    return unless_out_of_memory<const char *>(nullptr, [&]() -> const char * {
        // The page's tags and one more, which tells whether a next page
        // follows; only their links are read.
        std::vector<std::string> tags;
        int64_t limit = n < 0 ? -1 : static_cast<int64_t>(n) + 1;
        if (list_tags_after(repo_name, last, limit, &tags) != 0) return nullptr;
        return write_page(tags_head(repo_name), tags, n, nullptr, out_next, next_size);
    });
}

const char *reg_catalog_page(int32_t n, const char *last, char *out_next, uint64_t next_size) {
    if (require_ready() != 0) return nullptr;
    return unless_out_of_memory<const char *>(nullptr, [&]() -> const char * {
        std::vector<std::string> names;
        if (list_repositories(&names) != 0) {
            set_error("cannot list repositories");
            return nullptr;
        }
        return write_page("{\"repositories\":[", names, n, last, out_next, next_size);
    });
}

const char *reg_catalog_page_where(int32_t n, const char *last,
                                   int (*keep)(const char *name, void *context), void *context,
                                   char *out_next, uint64_t next_size) {
    if (require_ready() != 0) return nullptr;
    if (keep == nullptr) {
        set_status_error(REG_STATUS_INVALID_ARGUMENT, "keep is NULL");
        return nullptr;
    }
    return unless_out_of_memory<const char *>(nullptr, [&]() -> const char * {
        std::vector<std::string> names;
        if (list_repositories(&names) != 0) {
            set_error("cannot list repositories");
            return nullptr;
        }
        // The names left out are gone before the page is cut, so that a
        // page holds n kept names and its next marker is a kept name.
        std::vector<std::string> kept;
        for (std::string &name : names) {
            if (keep(name.c_str(), context)) kept.push_back(std::move(name));
        }
        return write_page("{\"repositories\":[", kept, n, last, out_next, next_size);
    });
}

const char *reg_catalog_json(int32_t n, const char *last) {
    return reg_catalog_page(n > 0 ? n : -1, last, nullptr, 0);
}

}  // extern "C"
