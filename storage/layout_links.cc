// Links: the one reader and writer of the files that hold a digest string
// (revision, tag and referrer links), the resolution of a reference, and
// the tags of a repository as their links show them.
#include <cstdio>
#include <algorithm>
#include <cstring>

#include "platform/platform.h"
#include "storage/layout.h"

link_state read_link(const char *path, char *out_hex) {
    char text[REG_LINK_CAPACITY];
    uint64_t len = 0;
    if (read_file(path, text, sizeof text, &len) != 0) {
        // Only an entry that is known to be absent (or is a directory) is
        // no link; one that cannot be told may hold one.
        int present = file_presence(path);
        return present == 0 ? LINK_ABSENT : LINK_UNREADABLE;
    }
    // The whole file must be the digest string: a NUL byte after it would
    // otherwise hide trailing bytes from the text test.
    if (len >= sizeof text || strlen(text) != len || !digest_valid(text)) return LINK_CORRUPT;
    snprintf(out_hex, REG_HEX_SIZE, "%s", digest_hex_part(text));
    return LINK_OK;
}

int write_link(const char *path, const char *hex) {
    char link[REG_DIGEST_STRING_SIZE];
    digest_string_of_hex(hex, link);
    return write_file_atomic(path, link, strlen(link));
}

int manifest_resolve(const char *repo_name, const char *reference, char *out_hex) {
    if (is_digest_reference(reference)) {
        if (!digest_valid(reference)) {
            set_status_error(REG_STATUS_INVALID_DIGEST, "invalid digest reference");
            return -1;
        }
        snprintf(out_hex, REG_HEX_SIZE, "%s", digest_hex_part(reference));
        return 0;
    }
    if (!tag_name_valid(reference)) {
        set_status_error(REG_STATUS_INVALID_NAME, "invalid tag: %s", reference);
        return -1;
    }
    char path[REG_PATH_MAX];
    manifest_tag_path(repo_name, reference, path, sizeof path);
    switch (read_link(path, out_hex)) {
        case LINK_OK:
            return 0;
        case LINK_CORRUPT:
            set_error("corrupt tag link: %s:%s", repo_name, reference);
            return -1;
        case LINK_UNREADABLE:
            set_error("cannot read tag link: %s:%s", repo_name, reference);
            return -1;
        case LINK_ABSENT:
            break;
    }
    set_status_error(REG_STATUS_NOT_FOUND, "tag not found: %s:%s", repo_name, reference);
    return -1;
}

int read_tags(const char *repo_name, std::vector<tag_link> *out) {
    out->clear();
    char dir[REG_PATH_MAX];
    manifest_tags_dir(repo_name, dir, sizeof dir);
    std::vector<listed_entry> entries;
    int listed = list_or_absent(dir, &entries);
    if (listed == LISTED_FAILED) return -1;
    for (const listed_entry &entry : entries) {
        if (!entry.is_dir) continue;
        char path[REG_PATH_MAX], hex[REG_HEX_SIZE];
        manifest_tag_path(repo_name, entry.name.c_str(), path, sizeof path);
        link_state state = read_link(path, hex);
        out->push_back(tag_link{entry.name, state, state == LINK_OK ? hex : ""});
    }
    return 0;
}

int manifest_has_tag_for(const char *repo_name, const char *hex) {
    return unless_out_of_memory(1, [&] {
        std::vector<tag_link> tags;
        // Tags that do not list whole may hold one that names the digest.
        if (read_tags(repo_name, &tags) != 0) return 1;
        for (const tag_link &tag : tags) {
            // A deleted tag leaves its directory without a link and names
            // nothing; a link that is there but cannot be read may name it.
            if (tag.state == LINK_UNREADABLE) return 1;
            if (tag.state == LINK_OK && tag.hex == hex) return 1;
        }
        return 0;
    });
}

int list_tags(const char *repo_name, std::vector<std::string> *names) {
    return list_tags_after(repo_name, nullptr, -1, names);
}

int list_tags_after(const char *repo_name, const char *last, int64_t limit,
                    std::vector<std::string> *names) {
    names->clear();
    char dir[REG_PATH_MAX];
    manifest_tags_dir(repo_name, dir, sizeof dir);
    std::vector<listed_entry> entries;
    if (list_or_absent(dir, &entries) == LISTED_FAILED) {
        set_error("cannot list tags of %s", repo_name);
        return -1;
    }
    std::vector<std::string> candidates;
    for (listed_entry &entry : entries) {
        if (entry.is_dir) candidates.push_back(std::move(entry.name));
    }
    std::sort(candidates.begin(), candidates.end());
    auto it = candidates.begin();
    if (last != nullptr && last[0] != '\0')
        it = std::upper_bound(candidates.begin(), candidates.end(), std::string(last));
    for (; it != candidates.end(); ++it) {
        if (limit >= 0 && static_cast<int64_t>(names->size()) >= limit) break;
        char path[REG_PATH_MAX], hex[REG_HEX_SIZE];
        manifest_tag_path(repo_name, it->c_str(), path, sizeof path);
        link_state state = read_link(path, hex);
        // A deleted tag leaves its directory without a link; a link that is
        // there but cannot be read is a failure, not a tag to leave out.
        if (state == LINK_UNREADABLE) {
            set_error("cannot read tag link: %s:%s", repo_name, it->c_str());
            return -1;
        }
        if (state != LINK_ABSENT) names->push_back(*it);
    }
    return 0;
}
