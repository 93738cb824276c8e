// The referrers of a manifest: the manifests of a repository whose subject
// is its digest, found through the referrer links that a put with a subject
// writes, and answered as an OCI image index.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <yyjson.h>

#include "platform/platform.h"
#include "storage/layout.h"

namespace {

const char *string_member(yyjson_val *obj, const char *key) {
    yyjson_val *v = yyjson_obj_get(obj, key);
    return yyjson_is_str(v) ? yyjson_get_str(v) : nullptr;
}

// Adds the descriptor of the manifest hex of repo_name to manifests, unless
// it is gone or filtered out. The manifest's own artifactType names its
// artifact type, else its config's media type.
void add_descriptor(yyjson_mut_doc *out, yyjson_mut_val *manifests, const char *repo_name,
                    const std::string &hex, const char *artifact_type) {
    char path[REG_PATH_MAX];
    manifest_rev_path(repo_name, hex.c_str(), path, sizeof path);
    if (!file_exists(path)) return;
    std::string body;
    if (read_manifest_body(repo_name, hex.c_str(), &body) != 0) return;
    yyjson_doc *doc = yyjson_read(body.data(), body.size(), 0);
    if (doc == nullptr) return;
    yyjson_val *root = yyjson_doc_get_root(doc);
    const char *type = string_member(root, "artifactType");
    if (type == nullptr) type = string_member(yyjson_obj_get(root, "config"), "mediaType");
    if (artifact_type != nullptr && artifact_type[0] != '\0' &&
        (type == nullptr || strcmp(type, artifact_type) != 0)) {
        yyjson_doc_free(doc);
        return;
    }
    const char *declared = string_member(root, "mediaType");
    char media_type[REG_CONTENT_TYPE_SIZE];
    read_manifest_type(repo_name, hex.c_str(),
                       declared != nullptr ? declared : "application/vnd.oci.image.manifest.v1+json",
                       media_type);
    yyjson_mut_val *d = yyjson_mut_obj(out);
    yyjson_mut_obj_add_strcpy(out, d, "mediaType", media_type);
    char digest[REG_DIGEST_STRING_SIZE];
    digest_string_of_hex(hex.c_str(), digest);
    yyjson_mut_obj_add_strcpy(out, d, "digest", digest);
    yyjson_mut_obj_add_uint(out, d, "size", body.size());
    if (type != nullptr) yyjson_mut_obj_add_strcpy(out, d, "artifactType", type);
    yyjson_val *annotations = yyjson_obj_get(root, "annotations");
    if (yyjson_is_obj(annotations))
        yyjson_mut_obj_add_val(out, d, "annotations", yyjson_val_mut_copy(out, annotations));
    yyjson_mut_arr_append(manifests, d);
    yyjson_doc_free(doc);
}

}  // namespace

extern "C" {

namespace {

const char *referrers_document(const char *repo_name, const char *digest,
                               const char *artifact_type);

}  // namespace

const char *reg_referrers_json(const char *repo_name, const char *digest,
                               const char *artifact_type) {
    return unless_out_of_memory<const char *>(
        nullptr, [&] { return referrers_document(repo_name, digest, artifact_type); });
}

int reg_referrers_count(const char *repo_name, const char *digest, uint64_t *out_count) {
    if (repo_name == nullptr || digest == nullptr || out_count == nullptr) {
        set_status_error(REG_STATUS_INVALID_ARGUMENT, "NULL argument");
        return -1;
    }
    if (require_ready_repo(repo_name) != 0) return -1;
    if (!digest_valid(digest)) {
        set_status_error(REG_STATUS_INVALID_DIGEST, "invalid digest");
        return -1;
    }
    return unless_out_of_memory<int>(-1, [&] {
        char dir[REG_PATH_MAX];
        manifest_referrers_dir(repo_name, digest_hex_part(digest), dir, sizeof dir);
        std::vector<listed_entry> entries;
        if (list_or_absent(dir, &entries) == LISTED_FAILED) {
            set_error("cannot list referrers of %s", digest);
            return -1;
        }
        uint64_t count = 0;
        for (const listed_entry &entry : entries)
            if (!entry.is_dir && is_hex_digest(entry.name)) count++;
        *out_count = count;
        return 0;
    });
}

}  // extern "C"

namespace {

const char *referrers_document(const char *repo_name, const char *digest,
                               const char *artifact_type) {
    if (repo_name == nullptr || digest == nullptr) {
        set_status_error(REG_STATUS_INVALID_ARGUMENT, "NULL argument");
        return nullptr;
    }
    if (require_ready_repo(repo_name) != 0) return nullptr;
    if (!digest_valid(digest)) {
        set_status_error(REG_STATUS_INVALID_DIGEST, "invalid digest");
        return nullptr;
    }
    char dir[REG_PATH_MAX];
    manifest_referrers_dir(repo_name, digest_hex_part(digest), dir, sizeof dir);
    std::vector<std::string> referrers;
    std::vector<listed_entry> entries;
    if (list_or_absent(dir, &entries) == LISTED_FAILED) {
        set_error("cannot list referrers of %s", digest);
        return nullptr;
    }
    for (const listed_entry &entry : entries)
        if (!entry.is_dir && is_hex_digest(entry.name)) referrers.push_back(entry.name);
    std::sort(referrers.begin(), referrers.end());

    yyjson_mut_doc *out = yyjson_mut_doc_new(nullptr);
    if (out == nullptr) {
        set_error("out of memory");
        return nullptr;
    }
    yyjson_mut_val *root = yyjson_mut_obj(out);
    yyjson_mut_doc_set_root(out, root);
    yyjson_mut_obj_add_int(out, root, "schemaVersion", 2);
    yyjson_mut_obj_add_str(out, root, "mediaType", "application/vnd.oci.image.index.v1+json");
    yyjson_mut_val *manifests = yyjson_mut_arr(out);
    for (const std::string &hex : referrers)
        add_descriptor(out, manifests, repo_name, hex, artifact_type);
    yyjson_mut_obj_add_val(out, root, "manifests", manifests);
    size_t len = 0;
    char *text = yyjson_mut_write(out, 0, &len);
    yyjson_mut_doc_free(out);
    if (text == nullptr) {
        set_error("out of memory");
        return nullptr;
    }
    if (len >= sizeof s_result) {
        free(text);
        set_status_error(REG_STATUS_TOO_LARGE, "referrers list too large");
        return nullptr;
    }
    memcpy(s_result, text, len + 1);
    free(text);
    return s_result;
}

}  // namespace
