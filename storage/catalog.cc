// Tag list and repository catalog: JSON documents of the names found in one
// directory listing, sorted in byte order and written into the shared result
// buffer.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "storage/reg_storage_internal.h"

namespace {

// Names one document collects; a listing delivers at most 512 of them.
constexpr int32_t kMaxNames = 1024;
// A tag link is read with at most 127 bytes.
constexpr uint64_t kLinkCapacity = 128;
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

// The heap array of name copies a document is built from. Everything it
// holds is freed when it goes out of scope, on every path out of the call.
class NameList {
  public:
    NameList() : names_(static_cast<char **>(calloc(kMaxNames, sizeof(char *)))) {}
    ~NameList() {
        if (names_ == nullptr) return;
        for (int32_t i = 0; i < count_; i++) free(names_[i]);
        free(names_);
    }
    NameList(const NameList &) = delete;
    NameList &operator=(const NameList &) = delete;

    bool allocated() const { return names_ != nullptr; }

    // Adds a copy of name while fewer than kMaxNames are held (beyond that
    // the name is passed over). false only when the copy cannot be made.
    bool add_copy_of(const char *name) {
        if (count_ >= kMaxNames) return true;
        char *copy = xstrdup(name);
        if (copy == nullptr) return false;
        names_[count_++] = copy;
        return true;
    }

    void sort_in_byte_order() {
        if (count_ > 1) sort_str(names_, count_);
    }

    char *const *names() const { return names_; }
    int32_t count() const { return count_; }

  private:
    char **names_;
    int32_t count_ = 0;
};

bool tag_link_readable(const char *repo_name, const char *tag) {
    char path[REG_PATH_MAX];
    char link[kLinkCapacity];
    manifest_tag_path(repo_name, tag, path, sizeof path);
    return read_file(path, link, sizeof link, nullptr) == 0;
}

// Index of the first name of the catalog page after last: just after a name
// equal to last, else at the first name greater than last, else past the
// end.
int32_t page_start(char *const *names, int32_t count, const char *last) {
    if (last == nullptr || last[0] == '\0') return 0;
    for (int32_t i = 0; i < count; i++) {
        int order = str_cmp(names[i], last);
        if (order == 0) return i + 1;
        if (order > 0) return i;
    }
    return count;
}

int32_t page_end(int32_t start, int32_t count, int32_t n) {
    if (n > 0 && n < count - start) return start + n;
    return count;
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

extern "C" {

const char *reg_tags_list_json(const char *repo_name) {
    if (repo_name == nullptr) {
        set_error("repo_name is NULL");
        return nullptr;
    }
    if (require_ready() != 0) return nullptr;
    if (!repo_name_valid(repo_name)) {
        set_error("invalid repository name");
        return nullptr;
    }
    char tags_dir[REG_PATH_MAX];
    manifest_tags_dir(repo_name, tags_dir, sizeof tags_dir);

    NameList tags;
    if (!tags.allocated()) {
        set_error("out of memory");
        return nullptr;
    }
    // A repository or tags directory that does not exist lists no tags.
    dir_list list;
    if (list_dir(tags_dir, &list) == 0) {
        for (int32_t i = 0; i < list.count; i++) {
            const dir_entry &entry = list.entries[i];
            if (!entry.is_dir || !tag_link_readable(repo_name, entry.name)) continue;
            if (!tags.add_copy_of(entry.name)) {
                set_error("out of memory");
                return nullptr;
            }
        }
    }
    tags.sort_in_byte_order();

    uint64_t len = 0;
    s_result[0] = '\0';
    append_text(s_result, sizeof s_result, &len, "{\"name\":\"");
    append_escaped(s_result, sizeof s_result, &len, repo_name);
    append_text(s_result, sizeof s_result, &len, "\",\"tags\":[");
    json_append_name_array(s_result + len, sizeof s_result - len, tags.names(), tags.count());
    return s_result;
}

const char *reg_catalog_json(int32_t n, const char *last) {
    if (require_ready() != 0) return nullptr;

    NameList repos;
    if (!repos.allocated()) {
        set_error("out of memory");
        return nullptr;
    }
    char dir[REG_PATH_MAX];
    repos_dir(dir, sizeof dir);
    // Every directory directly under repositories is a repository, whatever
    // it holds; a missing repositories directory lists none.
    dir_list list;
    if (list_dir(dir, &list) == 0) {
        for (int32_t i = 0; i < list.count; i++) {
            if (!list.entries[i].is_dir) continue;
            if (!repos.add_copy_of(list.entries[i].name)) {
                set_error("out of memory");
                return nullptr;
            }
        }
    }
    repos.sort_in_byte_order();

    int32_t start = page_start(repos.names(), repos.count(), last);
    int32_t end = page_end(start, repos.count(), n);

    uint64_t len = 0;
    s_result[0] = '\0';
    append_text(s_result, sizeof s_result, &len, "{\"repositories\":[");
    json_append_name_array(s_result + len, sizeof s_result - len, repos.names() + start,
                           end - start);
    return s_result;
}

}  // extern "C"
