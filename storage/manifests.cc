// The manifest store: manifests per repository under the digest of their
// bytes, with a content-type file beside each, revision links and tag links.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>
#include <string_view>

#include <yyjson.h>

#include "digest/sha256.h"
#include "platform/platform.h"
#include "storage/reg_storage_internal.h"

namespace {

constexpr size_t kRepoNameMax = 255;
constexpr size_t kTagNameMax = 128;
constexpr size_t kDigestStringLen = 71;  // "sha256:" and 64 hex digits
constexpr size_t kHexOut = 65;           // a hex digest and its NUL
constexpr size_t kDigestOut = 72;        // a digest string and its NUL
constexpr size_t kContentTypeOut = 128;
constexpr uint64_t kLinkCapacity = 128;  // a link is read with at most 127 bytes
// Get returns a body whole only up to the result buffer less its NUL, so put
// takes no larger body.
constexpr uint64_t kBodyMax = REG_RESULT_MAX - 1;

const char kDigestPrefix[] = "sha256:";
const char kDefaultContentType[] = "application/vnd.docker.distribution.manifest.v2+json";

bool is_digest_reference(const char *reference) {
    return strncmp(reference, kDigestPrefix, 7) == 0;
}

bool is_ascii_alnum(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool is_repo_name_byte(char c) {
    return is_ascii_alnum(c) || c == '-' || c == '_' || c == '.' || c == '/';
}

// A component that would not name a directory of its own: "" (from a
// leading, trailing or doubled '/'), "." (the directory above it) or
// "_manifests" (it would nest inside the manifests directory of the
// repository above it).
bool is_reserved_component(std::string_view component) {
    return component.empty() || component == "." || component == "_manifests";
}

}  // namespace

void manifests_dir(const char *repo_name, char *out, uint64_t size) {
    char repos[REG_PATH_MAX], repo[REG_PATH_MAX];
    repos_dir(repos, sizeof repos);
    path_join(repo, sizeof repo, repos, repo_name);
    path_join(out, size, repo, "_manifests");
}

extern "C" int reg_repo_name_valid(const char *name) { return repo_name_valid(name); }

extern "C" int reg_tag_valid(const char *tag) { return tag_name_valid(tag); }

int repo_name_valid(const char *name) {
    if (name == nullptr) return 0;
    std::string_view text(name, strnlen(name, kRepoNameMax + 1));
    if (text.empty() || text.size() > kRepoNameMax) return 0;
    for (char c : text)
        if (!is_repo_name_byte(c)) return 0;
    if (text.find("..") != std::string_view::npos) return 0;
    // Every '/'-separated component must name a directory of its own, so
    // that two different names never land in one directory.
    size_t start = 0;
    for (;;) {
        size_t slash = text.find('/', start);
        std::string_view component = text.substr(start, slash - start);
        if (is_reserved_component(component)) return 0;
        if (slash == std::string_view::npos) return 1;
        start = slash + 1;
    }
}

void sha256_hex_of(const void *data, uint64_t len, char *out_hex) {
    sha256_ctx ctx;
    uint8_t raw[32];
    sha256_init(&ctx);
    sha256_update(&ctx, data, len);
    sha256_final(&ctx, raw);
    bin_to_hex(raw, sizeof raw, out_hex);
}

int require_ready_repo(const char *repo_name) {
    if (require_ready() != 0) return -1;
    if (repo_name_valid(repo_name)) return 0;
    set_status_error(REG_STATUS_INVALID_NAME, "invalid repository name");
    return -1;
}

int tag_name_valid(const char *tag) {
    if (tag == nullptr) return 0;
    std::string_view text(tag, strnlen(tag, kTagNameMax + 1));
    if (text.empty() || text.size() > kTagNameMax) return 0;
    if (!is_ascii_alnum(text[0]) && text[0] != '_') return 0;
    for (char c : text.substr(1))
        if (!is_ascii_alnum(c) && c != '_' && c != '.' && c != '-') return 0;
    return 1;
}

void repos_dir(char *out, uint64_t size) { path_join(out, size, s_root, "repositories"); }

void manifest_body_path(const char *repo_name, const char *hex, char *out, uint64_t size) {
    char dir[REG_PATH_MAX];
    manifests_dir(repo_name, dir, sizeof dir);
    path_join(out, size, dir, hex);
}

void manifest_ct_path(const char *repo_name, const char *hex, char *out, uint64_t size) {
    manifest_body_path(repo_name, hex, out, size);
    size_t len = strnlen(out, size);
    if (len < size) snprintf(out + len, size - len, "%s", ".ct");
}

void manifest_rev_dir(const char *repo_name, const char *hex, char *out, uint64_t size) {
    char dir[REG_PATH_MAX], revisions[REG_PATH_MAX], algo[REG_PATH_MAX];
    manifests_dir(repo_name, dir, sizeof dir);
    path_join(revisions, sizeof revisions, dir, "revisions");
    path_join(algo, sizeof algo, revisions, "sha256");
    path_join(out, size, algo, hex);
}

void manifest_rev_path(const char *repo_name, const char *hex, char *out, uint64_t size) {
    char dir[REG_PATH_MAX];
    manifest_rev_dir(repo_name, hex, dir, sizeof dir);
    path_join(out, size, dir, "link");
}

int require_revision_link(const char *repo_name, const char *hex, const char *digest) {
    char path[REG_PATH_MAX];
    manifest_rev_path(repo_name, hex, path, sizeof path);
    int present = file_presence(path);
    if (present < 0) {
        set_error("cannot query revision link: %s@%s", repo_name, digest);
        return -1;
    }
    if (present == 0) {
        set_status_error(REG_STATUS_NOT_FOUND, "manifest not found: %s@%s", repo_name, digest);
        return -1;
    }
    return 0;
}

void manifest_tags_dir(const char *repo_name, char *out, uint64_t size) {
    char dir[REG_PATH_MAX];
    manifests_dir(repo_name, dir, sizeof dir);
    path_join(out, size, dir, "tags");
}

namespace {

// <root>/repositories/<repo_name>/_manifests/tags/<tag>/current
void manifest_tag_dir(const char *repo_name, const char *tag, char *out, uint64_t size) {
    char tags[REG_PATH_MAX], tag_dir[REG_PATH_MAX];
    manifest_tags_dir(repo_name, tags, sizeof tags);
    path_join(tag_dir, sizeof tag_dir, tags, tag);
    path_join(out, size, tag_dir, "current");
}

}  // namespace

void manifest_tag_path(const char *repo_name, const char *tag, char *out, uint64_t size) {
    char current[REG_PATH_MAX];
    manifest_tag_dir(repo_name, tag, current, sizeof current);
    path_join(out, size, current, "link");
}

void manifest_referrers_dir(const char *repo_name, const char *subject_hex, char *out,
                            uint64_t size) {
    char dir[REG_PATH_MAX], referrers[REG_PATH_MAX], algo[REG_PATH_MAX];
    manifests_dir(repo_name, dir, sizeof dir);
    path_join(referrers, sizeof referrers, dir, "referrers");
    path_join(algo, sizeof algo, referrers, "sha256");
    path_join(out, size, algo, subject_hex);
}

void manifest_referrer_path(const char *repo_name, const char *subject_hex, const char *hex,
                            char *out, uint64_t size) {
    char dir[REG_PATH_MAX];
    manifest_referrers_dir(repo_name, subject_hex, dir, sizeof dir);
    path_join(out, size, dir, hex);
}

namespace {

// 1 when value is an object whose member "digest" is a valid digest string.
bool has_valid_digest_member(yyjson_val *value) {
    if (!yyjson_is_obj(value)) return false;
    yyjson_val *digest = yyjson_obj_get(value, "digest");
    return yyjson_is_str(digest) && digest_valid(yyjson_get_str(digest));
}

// Checks the parsed document: an object with a config digest and, when
// present, an array of layers each with a digest. Sets the message.
int validate_manifest_root(yyjson_val *root) {
    if (!yyjson_is_obj(root)) {
        set_status_error(REG_STATUS_INVALID_MANIFEST, "manifest must be a JSON object");
        return -1;
    }
    if (!has_valid_digest_member(yyjson_obj_get(root, "config"))) {
        set_status_error(REG_STATUS_INVALID_MANIFEST, "manifest missing valid config.digest");
        return -1;
    }
    yyjson_val *layers = yyjson_obj_get(root, "layers");
    if (layers == nullptr) return 0;
    if (!yyjson_is_arr(layers)) {
        set_status_error(REG_STATUS_INVALID_MANIFEST, "manifest layers must be an array");
        return -1;
    }
    // One pass over the elements; indexing each one anew would walk the
    // array from its start every time.
    size_t index, count;
    yyjson_val *layer;
    yyjson_arr_foreach(layers, index, count, layer) {
        if (!has_valid_digest_member(layer)) {
            set_status_error(REG_STATUS_INVALID_MANIFEST, "manifest layer %zu missing valid digest", index);
            return -1;
        }
    }
    return 0;
}

// Parses body_len bytes as one strict JSON document (no byte-order mark,
// comments, trailing commas, NaN or Infinity, invalid UTF-8 or trailing
// text) and validates it. Sets the message.
int validate_manifest(const void *body, uint64_t body_len) {
    yyjson_doc *doc = yyjson_read(static_cast<const char *>(body), static_cast<size_t>(body_len), 0);
    if (doc == nullptr) {
        set_status_error(REG_STATUS_INVALID_MANIFEST, "manifest JSON parse failed");
        return -1;
    }
    int rc = validate_manifest_root(yyjson_doc_get_root(doc));
    yyjson_doc_free(doc);
    return rc;
}

void copy_bounded(char *out, size_t size, const char *text) { snprintf(out, size, "%s", text); }

// Checks the form of a tag reference. Sets the message.
int require_valid_tag(const char *tag) {
    if (tag_name_valid(tag)) return 0;
    set_status_error(REG_STATUS_INVALID_NAME, "invalid tag: %s", tag);
    return -1;
}

}  // namespace

int store_manifest(const char *repo_name, const char *reference, const void *body,
                   uint64_t body_len, const char *content_type, const char *hex,
                   const char *subject_hex) {
    char path[REG_PATH_MAX];
    manifests_dir(repo_name, path, sizeof path);
    if (mkdirs(path) != 0) {
        set_error("mkdirs manifests dir failed");
        return -1;
    }
    manifest_body_path(repo_name, hex, path, sizeof path);
    if (write_file_atomic(path, body, body_len) != 0) {
        set_error("write manifest body failed");
        return -1;
    }
    const char *type =
        content_type != nullptr && content_type[0] != '\0' ? content_type : kDefaultContentType;
    manifest_ct_path(repo_name, hex, path, sizeof path);
    if (write_file_atomic(path, type, strlen(type)) != 0) {
        set_error("write manifest ct failed");
        return -1;
    }
    char link[kDigestOut];
    snprintf(link, sizeof link, "%s%s", kDigestPrefix, hex);
    manifest_rev_dir(repo_name, hex, path, sizeof path);
    if (mkdirs(path) != 0) {
        set_error("mkdirs revision dir failed");
        return -1;
    }
    manifest_rev_path(repo_name, hex, path, sizeof path);
    if (write_file_atomic(path, link, kDigestStringLen) != 0) {
        set_error("write revision link failed");
        return -1;
    }
    if (subject_hex != nullptr && subject_hex[0] != '\0') {
        manifest_referrers_dir(repo_name, subject_hex, path, sizeof path);
        if (mkdirs(path) != 0) {
            set_error("mkdirs referrers dir failed");
            return -1;
        }
        manifest_referrer_path(repo_name, subject_hex, hex, path, sizeof path);
        if (write_file_atomic(path, link, kDigestStringLen) != 0) {
            set_error("write referrer link failed");
            return -1;
        }
    }
    if (is_digest_reference(reference)) return 0;
    manifest_tag_dir(repo_name, reference, path, sizeof path);
    if (mkdirs(path) != 0) {
        set_error("mkdirs tag dir failed");
        return -1;
    }
    manifest_tag_path(repo_name, reference, path, sizeof path);
    if (write_file_atomic(path, link, kDigestStringLen) != 0) {
        set_error("write tag link failed");
        return -1;
    }
    return 0;
}

namespace {

// The hex digest of the subject that the manifest body at path names; false
// when it names none or cannot be read.
bool subject_of_body(const char *path, char subject_hex[kHexOut]) {
    std::string body;
    if (!unless_out_of_memory(false, [&] { return read_whole_file(path, REG_MANIFEST_MAX, &body) == 0; }))
        return false;
    yyjson_doc *doc = yyjson_read(body.data(), body.size(), 0);
    if (doc == nullptr) return false;
    yyjson_val *digest = yyjson_obj_get(yyjson_obj_get(yyjson_doc_get_root(doc), "subject"), "digest");
    bool found = yyjson_is_str(digest) && digest_valid(yyjson_get_str(digest));
    if (found) copy_bounded(subject_hex, kHexOut, yyjson_get_str(digest) + 7);
    yyjson_doc_free(doc);
    return found;
}

// Takes the manifest hex out of the repository: its revision link first,
// which alone decides whether the manifest is in the repository (locate,
// the referrers list and image indexes look for it), then the referrer link
// of its subject (while the body still tells which subject that is), the
// body and the content-type file. Those follow best effort: an absent file
// is already gone, and one left behind is named by nothing that is listed.
// -1 when the revision link stays, and then nothing else is removed, so
// that the manifest stays whole and listed.
int remove_manifest_files(const char *repo_name, const char *hex) {
    char path[REG_PATH_MAX];
    manifest_rev_path(repo_name, hex, path, sizeof path);
    if (remove_file(path) != 0) return -1;
    manifest_body_path(repo_name, hex, path, sizeof path);
    char subject_hex[kHexOut];
    if (subject_of_body(path, subject_hex)) {
        char link[REG_PATH_MAX];
        manifest_referrer_path(repo_name, subject_hex, hex, link, sizeof link);
        remove_file(link);
    }
    remove_file(path);
    manifest_ct_path(repo_name, hex, path, sizeof path);
    remove_file(path);
    return 0;
}

}  // namespace

int manifest_resolve(const char *repo_name, const char *reference, char *out_hex) {
    if (is_digest_reference(reference)) {
        if (!digest_valid(reference)) {
            set_status_error(REG_STATUS_INVALID_DIGEST, "invalid digest reference");
            return -1;
        }
        copy_bounded(out_hex, kHexOut, reference + 7);
        return 0;
    }
    if (require_valid_tag(reference) != 0) return -1;
    char path[REG_PATH_MAX], link[kLinkCapacity];
    uint64_t len = 0;
    manifest_tag_path(repo_name, reference, path, sizeof path);
    if (read_file(path, link, sizeof link, &len) != 0) {
        set_status_error(REG_STATUS_NOT_FOUND, "tag not found: %s:%s", repo_name, reference);
        return -1;
    }
    // The whole file must be the digest string: a NUL byte after it would
    // otherwise hide trailing bytes from the text test.
    if (len != kDigestStringLen || !digest_valid(link)) {
        set_error("corrupt tag link: %s:%s", repo_name, reference);
        return -1;
    }
    copy_bounded(out_hex, kHexOut, link + 7);
    return 0;
}

namespace {

// 1 only when the tags directory of the repository is known to be absent:
// a listing of its parent (or of the nearest ancestor within the storage
// root that lists) succeeded without the next directory on the way. A
// failed query proves nothing (the platform reports an absent entry and a
// failing disk alike), and taking it for "no tags" would let a manifest go
// while tags still name it.
int tags_dir_absent(const char *repo_name) {
    char tags[REG_PATH_MAX];
    manifest_tags_dir(repo_name, tags, sizeof tags);
    return unless_out_of_memory(0, [&] {
        std::string path = tags;
        const size_t root_len = strlen(s_root);
        for (;;) {
            size_t sep = path.size();
            while (sep > 0 && !plat_is_sep(path[sep - 1])) sep--;
            if (sep == 0 || sep - 1 <= root_len) return 0;
            std::string parent = path.substr(0, sep - 1), name = path.substr(sep);
            std::vector<listed_entry> entries;
            if (list_all(parent.c_str(), &entries) == 0) {
                for (const listed_entry &entry : entries)
                    if (entry.name == name) return 0;
                return 1;
            }
            path = parent;
        }
    });
}

}  // namespace

int manifest_has_tag_for(const char *repo_name, const char *hex) {
    char tags[REG_PATH_MAX];
    manifest_tags_dir(repo_name, tags, sizeof tags);
    dir_list list;
    // Without a tags directory no tag names the digest; one that is there
    // but cannot be listed proves nothing, and the manifest stays.
    if (list_dir(tags, &list) != 0) return tags_dir_absent(repo_name) ? 0 : 1;
    for (int32_t i = 0; i < list.count; i++) {
        const dir_entry &entry = list.entries[i];
        if (!entry.is_dir) continue;
        char path[REG_PATH_MAX], link[kLinkCapacity];
        manifest_tag_path(repo_name, entry.name, path, sizeof path);
        // A deleted tag leaves its directory without a link and names
        // nothing; a link that is there but cannot be read may name it.
        if (read_file(path, link, sizeof link, nullptr) != 0) {
            if (file_exists(path)) return 1;
            continue;
        }
        if (is_digest_reference(link) && strncmp(link + 7, hex, 64) == 0) return 1;
    }
    // Tags the listing did not reach (beyond its capacity, or after the
    // enumeration failed) were not seen, and one of them may name the
    // digest: only a complete listing proves that none does.
    return list.truncated ? 1 : 0;
}

extern "C" {

int reg_manifest_put(const char *repo_name, const char *reference, const void *body,
                     uint64_t body_len, const char *content_type, char *out_digest) {
    if (repo_name == nullptr || reference == nullptr || body == nullptr || out_digest == nullptr) {
        set_status_error(REG_STATUS_INVALID_ARGUMENT, "NULL argument");
        return -1;
    }
    if (require_ready() != 0) return -1;
    if (!repo_name_valid(repo_name)) {
        set_status_error(REG_STATUS_INVALID_NAME, "invalid repository name: %s", repo_name);
        return -1;
    }
    if (reference[0] == '\0') {
        set_status_error(REG_STATUS_INVALID_NAME, "empty reference");
        return -1;
    }
    if (!is_digest_reference(reference) && require_valid_tag(reference) != 0) return -1;
    if (body_len > kBodyMax) {
        set_status_error(REG_STATUS_TOO_LARGE, "manifest too large: %llu bytes (max %llu)",
                  static_cast<unsigned long long>(body_len),
                  static_cast<unsigned long long>(kBodyMax));
        return -1;
    }
    if (validate_manifest(body, body_len) != 0) return -1;

    char hex[kHexOut];
    sha256_hex_of(body, body_len, hex);
    if (store_manifest(repo_name, reference, body, body_len, content_type, hex, nullptr) != 0)
        return -1;
    snprintf(out_digest, kDigestOut, "%s%s", kDigestPrefix, hex);
    return 0;
}

const char *reg_manifest_get(const char *repo_name, const char *reference,
                             char *out_content_type, char *out_digest) {
    if (repo_name == nullptr || reference == nullptr || out_content_type == nullptr ||
        out_digest == nullptr) {
        set_status_error(REG_STATUS_INVALID_ARGUMENT, "NULL argument");
        return nullptr;
    }
    if (require_ready_repo(repo_name) != 0) return nullptr;
    char hex[kHexOut];
    if (manifest_resolve(repo_name, reference, hex) != 0) return nullptr;

    char path[REG_PATH_MAX];
    uint64_t len = 0;
    manifest_body_path(repo_name, hex, path, sizeof path);
    if (read_file(path, s_result, sizeof s_result, &len) != 0) {
        set_status_error(REG_STATUS_NOT_FOUND, "manifest body not found: %s@%s", repo_name, reference);
        return nullptr;
    }
    // A body that fills the buffer may have been cut; put never stores one
    // that large, so a larger file is refused rather than returned in part.
    if (len == kBodyMax) {
        int64_t stored = file_size(path);
        if (stored > static_cast<int64_t>(kBodyMax)) {
            set_status_error(REG_STATUS_TOO_LARGE, "manifest too large: %lld bytes (max %llu)",
                      static_cast<long long>(stored), static_cast<unsigned long long>(kBodyMax));
            return nullptr;
        }
    }
    manifest_ct_path(repo_name, hex, path, sizeof path);
    if (read_file(path, out_content_type, kContentTypeOut - 1, nullptr) != 0 ||
        out_content_type[0] == '\0')
        copy_bounded(out_content_type, kContentTypeOut, kDefaultContentType);
    snprintf(out_digest, kDigestOut, "%s%s", kDigestPrefix, hex);
    return s_result;
}

int reg_manifest_delete(const char *repo_name, const char *reference) {
    if (repo_name == nullptr || reference == nullptr) {
        set_status_error(REG_STATUS_INVALID_ARGUMENT, "NULL argument");
        return -1;
    }
    if (require_ready_repo(repo_name) != 0) return -1;
    char hex[kHexOut];
    if (manifest_resolve(repo_name, reference, hex) != 0) return -1;

    char path[REG_PATH_MAX];
    if (is_digest_reference(reference)) {
        // The revision link is what a delete by digest removes; one that
        // stays leaves the manifest in the repository, and that is a failure.
        manifest_rev_path(repo_name, hex, path, sizeof path);
        if (remove_file(path) != 0) {
            set_error("delete revision link failed");
            return -1;
        }
    } else {
        manifest_tag_path(repo_name, reference, path, sizeof path);
        if (remove_file(path) != 0) {
            set_error("delete tag failed");
            return -1;
        }
    }
    if (manifest_has_tag_for(repo_name, hex)) return 0;
    // The rest goes best effort: after a tag, a manifest whose revision
    // link stays is whole and reachable by its digest; after a digest, the
    // revision link is gone already.
    remove_manifest_files(repo_name, hex);
    return 0;
}

int reg_tag_delete(const char *repo_name, const char *tag) {
    if (repo_name == nullptr || tag == nullptr) {
        set_status_error(REG_STATUS_INVALID_ARGUMENT, "NULL argument");
        return -1;
    }
    if (require_ready_repo(repo_name) != 0) return -1;
    if (require_valid_tag(tag) != 0) return -1;
    char path[REG_PATH_MAX];
    manifest_tag_path(repo_name, tag, path, sizeof path);
    int rc = plat_remove(path);
    if (rc == PLAT_REMOVE_ABSENT) {
        set_status_error(REG_STATUS_NOT_FOUND, "tag not found: %s:%s", repo_name, tag);
        return -1;
    }
    if (rc != PLAT_REMOVE_DONE) {
        set_error("delete tag failed");
        return -1;
    }
    // The emptied directories go too, so the tag leaves nothing behind; one
    // that another put has just filled again stays.
    manifest_tag_dir(repo_name, tag, path, sizeof path);
    if (plat_rmdir(path) == 0) {
        size_t len = strlen(path);
        while (len > 0 && !plat_is_sep(path[len - 1])) len--;
        if (len > 0) {
            path[len - 1] = '\0';
            plat_rmdir(path);
        }
    }
    return 0;
}

int reg_manifest_remove(const char *repo_name, const char *digest) {
    if (repo_name == nullptr || digest == nullptr) {
        set_status_error(REG_STATUS_INVALID_ARGUMENT, "NULL argument");
        return -1;
    }
    if (require_ready_repo(repo_name) != 0) return -1;
    if (!digest_valid(digest)) {
        set_status_error(REG_STATUS_INVALID_DIGEST, "invalid digest reference");
        return -1;
    }
    const char *hex = digest + 7;
    if (require_revision_link(repo_name, hex, digest) != 0) return -1;
    char path[REG_PATH_MAX];
    // Every tag that names the manifest, read whole before anything goes.
    std::vector<std::string> naming;
    char tags_dir[REG_PATH_MAX];
    manifest_tags_dir(repo_name, tags_dir, sizeof tags_dir);
    // 1 read whole, 0 a tag could not be read, -1 out of memory.
    int listed = unless_out_of_memory(-1, [&] {
        std::vector<listed_entry> entries;
        if (list_all(tags_dir, &entries) != 0) return tags_dir_absent(repo_name);
        for (const listed_entry &entry : entries) {
            if (!entry.is_dir) continue;
            char link_path[REG_PATH_MAX], link[kLinkCapacity];
            manifest_tag_path(repo_name, entry.name.c_str(), link_path, sizeof link_path);
            uint64_t len = 0;
            if (read_file(link_path, link, sizeof link, &len) != 0) {
                if (file_exists(link_path)) return 0;
                continue;
            }
            if (len == kDigestStringLen && strcmp(link, digest) == 0) naming.push_back(entry.name);
        }
        return 1;
    });
    if (listed == 0) set_error("cannot read the tags of %s", repo_name);
    if (listed != 1) return -1;
    for (const std::string &tag : naming) {
        manifest_tag_path(repo_name, tag.c_str(), path, sizeof path);
        if (remove_file(path) != 0) {
            set_error("delete tag failed");
            return -1;
        }
    }
    manifest_rev_path(repo_name, hex, path, sizeof path);
    if (remove_file(path) != 0) {
        set_error("delete revision link failed");
        return -1;
    }
    remove_manifest_files(repo_name, hex);
    return 0;
}

}  // extern "C"
