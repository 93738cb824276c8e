// Reading and removing manifests: a manifest by tag or digest, whole or as
// an open file; a tag, or a manifest with every tag that names it. Storing
// is in manifests_put.cc.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <yyjson.h>

#include "platform/platform.h"
#include "storage/layout.h"

namespace {

// Get returns a body whole only up to the result buffer less its NUL.
constexpr uint64_t kWholeBodyMax = REG_RESULT_MAX - 1;

// 0 when repo_name holds the revision link of the manifest hex (digest is
// the same as "<algo>:<hex>", for the messages); -1 with REG_STATUS_NOT_FOUND
// when it does not, or with an I/O failure when it cannot be queried.
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

// The hex digest a reference names in repo_name, for a manifest that is in
// the repository (a digest needs its revision link). Sets the message.
int resolve_stored(const char *repo_name, const char *reference, char *hex) {
    if (manifest_resolve(repo_name, reference, hex) != 0) return -1;
    if (is_digest_reference(reference)) return require_revision_link(repo_name, hex, reference);
    return 0;
}

// The hex digest of the subject that the manifest body hex names; false
// when it names none or cannot be read.
bool subject_of_body(const char *repo_name, const char *hex, char subject_hex[REG_HEX_SIZE]) {
    return unless_out_of_memory(false, [&] {
        std::string body;
        manifest_refs refs;
        if (read_manifest_body(repo_name, hex, &body) != 0 ||
            manifest_references(body.data(), body.size(), &refs) != 0 || !refs.has_subject)
            return false;
        snprintf(subject_hex, REG_HEX_SIZE, "%s", hex_of_key(refs.subject).c_str());
        return true;
    });
}

// Takes the manifest hex out of the repository: its revision link first,
// which alone decides whether the manifest is in the repository (open,
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
    char subject_hex[REG_HEX_SIZE];
    if (subject_of_body(repo_name, hex, subject_hex)) {
        manifest_referrer_path(repo_name, subject_hex, hex, path, sizeof path);
        remove_file(path);
    }
    manifest_body_path(repo_name, hex, path, sizeof path);
    remove_file(path);
    manifest_ct_path(repo_name, hex, path, sizeof path);
    remove_file(path);
    return 0;
}

// Opens the body of the stored manifest that reference names. Sets the
// message.
int open_manifest(const char *repo_name, const char *reference, reg_opened *out) {
    if (require_ready_repo(repo_name) != 0) return -1;
    char hex[REG_HEX_SIZE];
    if (resolve_stored(repo_name, reference, hex) != 0) return -1;
    char path[REG_PATH_MAX];
    manifest_body_path(repo_name, hex, path, sizeof path);
    FILE *f = nullptr;
    plat_attr a;
    int rc = plat_open_regular_file(path, &f, &a);
    if (rc == PLAT_OPEN_NOT_FILE) {
        set_status_error(REG_STATUS_NOT_FOUND, "manifest body not found: %s@%s", repo_name,
                         reference);
        return -1;
    }
    if (rc != PLAT_OPEN_DONE) {
        set_error("cannot open manifest body: %s@%s", repo_name, reference);
        return -1;
    }
    out->file = f;
    out->size = a.size;
    digest_string_of_hex(hex, out->digest);
    read_manifest_type(repo_name, hex, kDefaultManifestType, out->content_type);
    snprintf(out->path, sizeof out->path, "%s", path);
    return 0;
}

}  // namespace

extern "C" {

const char *reg_manifest_get(const char *repo_name, const char *reference,
                             char *out_content_type, char *out_digest) {
    if (repo_name == nullptr || reference == nullptr || out_content_type == nullptr ||
        out_digest == nullptr) {
        set_status_error(REG_STATUS_INVALID_ARGUMENT, "NULL argument");
        return nullptr;
    }
    if (require_ready_repo(repo_name) != 0) return nullptr;
    char hex[REG_HEX_SIZE];
    if (manifest_resolve(repo_name, reference, hex) != 0) return nullptr;

    char path[REG_PATH_MAX];
    uint64_t len = 0;
    manifest_body_path(repo_name, hex, path, sizeof path);
    if (read_file(path, s_result, sizeof s_result, &len) != 0) {
        // Only a body that is surely absent is not found; one that is there
        // and does not read is the store's failure.
        if (file_presence(path) == 0)
            set_status_error(REG_STATUS_NOT_FOUND, "manifest body not found: %s@%s", repo_name,
                             reference);
        else
            set_error("cannot read manifest body: %s@%s", repo_name, reference);
        return nullptr;
    }
    // A body that fills the buffer may have been cut; one larger than the
    // buffer is refused rather than returned in part (reg_manifest_open
    // reads bodies of any stored size).
    if (len == kWholeBodyMax) {
        int64_t stored = file_size(path);
        if (stored > static_cast<int64_t>(kWholeBodyMax)) {
            set_status_error(REG_STATUS_TOO_LARGE, "manifest too large: %lld bytes (max %llu)",
                             static_cast<long long>(stored),
                             static_cast<unsigned long long>(kWholeBodyMax));
            return nullptr;
        }
    }
    // This reader hands back whatever the plain put stored, cut to 126
    // bytes; the endpoints read through reg_manifest_open, which serves
    // only a type fit for a header line.
    manifest_ct_path(repo_name, hex, path, sizeof path);
    if (read_file(path, out_content_type, REG_CONTENT_TYPE_SIZE - 1, nullptr) != 0 ||
        out_content_type[0] == '\0')
        snprintf(out_content_type, REG_CONTENT_TYPE_SIZE, "%s", kDefaultManifestType);
    digest_string_of_hex(hex, out_digest);
    return s_result;
}

int reg_manifest_open(const char *repo_name, const char *reference, reg_opened *out) {
    if (repo_name == nullptr || reference == nullptr || out == nullptr) {
        set_status_error(REG_STATUS_INVALID_ARGUMENT, "NULL argument");
        return -1;
    }
    return open_manifest(repo_name, reference, out);
}

int reg_manifest_locate(const char *repo_name, const char *reference, char *out_path,
                        uint64_t path_size, char *out_content_type, char *out_digest,
                        int64_t *out_size) {
    if (repo_name == nullptr || reference == nullptr || out_path == nullptr || path_size == 0 ||
        out_content_type == nullptr || out_digest == nullptr || out_size == nullptr) {
        set_status_error(REG_STATUS_INVALID_ARGUMENT, "NULL argument");
        return -1;
    }
    static reg_opened opened;
    if (open_manifest(repo_name, reference, &opened) != 0) return -1;
    plat_fclose(opened.file);
    if (strlen(opened.path) >= path_size) {
        set_status_error(REG_STATUS_INVALID_ARGUMENT, "path buffer too small");
        return -1;
    }
    snprintf(out_path, static_cast<size_t>(path_size), "%s", opened.path);
    memcpy(out_content_type, opened.content_type, REG_CONTENT_TYPE_SIZE);
    // Only the digest string and its NUL: a caller's buffer need hold no
    // more than its digest does.
    memcpy(out_digest, opened.digest, strlen(opened.digest) + 1);
    *out_size = opened.size;
    return 0;
}

int reg_manifest_delete(const char *repo_name, const char *reference) {
    if (repo_name == nullptr || reference == nullptr) {
        set_status_error(REG_STATUS_INVALID_ARGUMENT, "NULL argument");
        return -1;
    }
    if (require_ready_repo(repo_name) != 0) return -1;
    char hex[REG_HEX_SIZE];
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
    if (!tag_name_valid(tag)) {
        set_status_error(REG_STATUS_INVALID_NAME, "invalid tag: %s", tag);
        return -1;
    }
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
    const char *hex = digest_hex_part(digest);
    if (require_revision_link(repo_name, hex, digest) != 0) return -1;
    // Every tag that names the manifest, read whole before anything goes.
    std::vector<std::string> naming;
    // 1 read whole, 0 a tag could not be read, -1 out of memory.
    int listed = unless_out_of_memory(-1, [&] {
        std::vector<tag_link> tags;
        if (read_tags(repo_name, &tags) != 0) return 0;
        for (const tag_link &tag : tags) {
            if (tag.state == LINK_UNREADABLE) return 0;
            if (tag.state == LINK_OK && tag.hex == hex) naming.push_back(tag.name);
        }
        return 1;
    });
    if (listed == 0) set_error("cannot read the tags of %s", repo_name);
    if (listed != 1) return -1;
    char path[REG_PATH_MAX];
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
