// Manifests of every kind registry clients push: OCI image manifests and
// indexes, Docker image manifests and manifest lists, artifact manifests.
// Each is checked by its media type, its references are checked against
// the store, and it is stored exactly as received; manifests that name a
// subject are recorded so that the referrers of that subject can be found.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <yyjson.h>

#include "digest/sha256.h"
#include "platform/platform.h"
#include "storage/reg_storage_internal.h"

namespace {

constexpr size_t kHexOut = 65;
constexpr size_t kDigestOut = 72;
constexpr size_t kContentTypeOut = 128;
constexpr size_t kRepoNameMax = 255;

const char kOciManifest[] = "application/vnd.oci.image.manifest.v1+json";
const char kOciIndex[] = "application/vnd.oci.image.index.v1+json";
const char kDockerManifest[] = "application/vnd.docker.distribution.manifest.v2+json";
const char kDockerList[] = "application/vnd.docker.distribution.manifest.list.v2+json";
const char kOciArtifact[] = "application/vnd.oci.artifact.manifest.v1+json";
// The digest of "{}", the blob of the empty descriptor: artifacts without a
// config name it, and clients need not push it.
const char kEmptyJsonDigest[] =
    "sha256:44136fa355b3678a1146ad16f7e8649e94fb4fc21fe77e8310c060f61caaff8a";

enum class Kind { image, index, artifact };

bool is_lower_alnum(char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }

// One component of an OCI repository name: [a-z0-9]+ runs joined by '.',
// '_', "__" or any run of '-'.
bool oci_component_valid(std::string_view c) {
    size_t i = 0;
    auto alnum_run = [&]() {
        size_t start = i;
        while (i < c.size() && is_lower_alnum(c[i])) i++;
        return i > start;
    };
    if (!alnum_run()) return false;
    while (i < c.size()) {
        if (c[i] == '.') {
            i++;
        } else if (c[i] == '_') {
            i++;
            if (i < c.size() && c[i] == '_') i++;
        } else if (c[i] == '-') {
            while (i < c.size() && c[i] == '-') i++;
        } else {
            return false;
        }
        if (!alnum_run()) return false;
    }
    return true;
}

// The media type without parameters or surrounding blanks.
std::string_view bare_media_type(std::string_view type) {
    size_t semi = type.find(';');
    if (semi != std::string_view::npos) type = type.substr(0, semi);
    while (!type.empty() && (type.back() == ' ' || type.back() == '\t')) type.remove_suffix(1);
    while (!type.empty() && (type.front() == ' ' || type.front() == '\t')) type.remove_prefix(1);
    return type;
}

// A content type that may go back out as a header line: printable ASCII,
// no more than the stored content type holds.
bool content_type_storable(const char *type) {
    size_t len = strlen(type);
    if (len == 0 || len >= kContentTypeOut) return false;
    for (size_t i = 0; i < len; i++)
        if (type[i] < 0x20 || type[i] > 0x7e) return false;
    return true;
}

const char *string_member(yyjson_val *obj, const char *key) {
    yyjson_val *v = yyjson_obj_get(obj, key);
    return yyjson_is_str(v) ? yyjson_get_str(v) : nullptr;
}

// A descriptor: an object with a media type, a valid sha256 digest and a
// non-negative integer size. Sets the message with what names it.
bool descriptor_valid(yyjson_val *d, const char *what) {
    if (!yyjson_is_obj(d)) {
        set_status_error(REG_STATUS_INVALID_MANIFEST, "%s must be a descriptor object", what);
        return false;
    }
    if (string_member(d, "mediaType") == nullptr) {
        set_status_error(REG_STATUS_INVALID_MANIFEST, "%s missing mediaType", what);
        return false;
    }
    const char *digest = string_member(d, "digest");
    if (digest == nullptr || !digest_valid(digest)) {
        set_status_error(REG_STATUS_INVALID_MANIFEST, "%s missing valid digest", what);
        return false;
    }
    yyjson_val *size = yyjson_obj_get(d, "size");
    if (!(yyjson_is_uint(size) || (yyjson_is_sint(size) && yyjson_get_sint(size) >= 0))) {
        set_status_error(REG_STATUS_INVALID_MANIFEST, "%s missing valid size", what);
        return false;
    }
    return true;
}

// A file that a manifest being stored names gets its modification time set
// to now before it is looked for, so that a garbage collection running
// meanwhile finds it young and keeps it (reg_gc looks at the time again
// after it has moved a file aside, and puts back one touched before the
// move). Where the time cannot be set, the file's presence alone decides.
//
// 1 when the blob of digest is stored, 0 when not, -1 (with the message)
// when the store cannot tell.
int blob_stored(const char *digest) {
    char path[REG_PATH_MAX];
    blob_path_for_digest(digest, path, sizeof path);
    plat_touch(path);
    int present = file_presence(path);
    if (present < 0) set_error("cannot query blob %s", digest);
    return present;
}

bool has_urls(yyjson_val *d) {
    yyjson_val *urls = yyjson_obj_get(d, "urls");
    return yyjson_is_arr(urls) && yyjson_arr_size(urls) > 0;
}

// A manifest is in a repository while its revision link and its body are:
// 1 it is, 0 it is not, -1 (with the message) the store cannot tell. The
// body is touched before the revision link is looked at: reg_gc removes the
// revision link first and then looks at the body's time, so either it sees
// the touch and keeps the manifest, or this finds no revision link.
int manifest_stored(const char *repo_name, const char *hex) {
    char rev[REG_PATH_MAX], body[REG_PATH_MAX];
    manifest_rev_path(repo_name, hex, rev, sizeof rev);
    manifest_body_path(repo_name, hex, body, sizeof body);
    plat_touch(body);
    int present = file_presence(rev);
    if (present == 1) present = file_presence(body);
    if (present < 0) set_error("cannot query manifest sha256:%s", hex);
    return present;
}

// Checks an array member of descriptors; each blob (or, for an index, each
// manifest of repo_name) must be stored.
bool descriptors_stored(yyjson_val *root, const char *key, bool required, bool manifests,
                        const char *repo_name) {
    yyjson_val *array = yyjson_obj_get(root, key);
    if (array == nullptr && !required) return true;
    if (!yyjson_is_arr(array)) {
        set_status_error(REG_STATUS_INVALID_MANIFEST, "manifest %s must be an array", key);
        return false;
    }
    size_t index, count;
    yyjson_val *d;
    yyjson_arr_foreach(array, index, count, d) {
        char what[64];
        snprintf(what, sizeof what, "%s %zu", key, index);
        if (!descriptor_valid(d, what)) return false;
        const char *digest = string_member(d, "digest");
        if (manifests) {
            int present = manifest_stored(repo_name, digest + 7);
            if (present < 0) return false;
            if (present == 0) {
                set_status_error(REG_STATUS_UNKNOWN_REFERENCE, "manifest unknown: %s", digest);
                return false;
            }
        } else if (!has_urls(d)) {
            int present = blob_stored(digest);
            if (present < 0) return false;
            if (present == 0) {
                set_status_error(REG_STATUS_UNKNOWN_REFERENCE, "blob unknown: %s", digest);
                return false;
            }
        }
    }
    return true;
}

// Decides the kind from the media type, or from the document's shape when
// no type is declared; the type to store goes into *type.
bool decide_kind(yyjson_val *root, const char *content_type, Kind *kind, std::string *type) {
    const char *declared = string_member(root, "mediaType");
    if (yyjson_obj_get(root, "mediaType") != nullptr && declared == nullptr) {
        set_status_error(REG_STATUS_INVALID_MANIFEST, "manifest mediaType must be a string");
        return false;
    }
    std::string_view given =
        content_type != nullptr ? bare_media_type(content_type) : std::string_view();
    if (!given.empty() && declared != nullptr && given != declared) {
        set_status_error(REG_STATUS_INVALID_MANIFEST,
                         "manifest mediaType %s differs from its content type %.*s", declared,
                         static_cast<int>(given.size()), given.data());
        return false;
    }
    if (!given.empty()) {
        *type = content_type;
    } else if (declared != nullptr) {
        *type = declared;
    } else if (yyjson_obj_get(root, "manifests") != nullptr) {
        *type = kOciIndex;
    } else if (yyjson_obj_get(root, "config") != nullptr) {
        *type = kOciManifest;
    } else {
        set_status_error(REG_STATUS_INVALID_MANIFEST, "manifest media type unknown");
        return false;
    }
    if (!content_type_storable(type->c_str())) {
        set_status_error(REG_STATUS_INVALID_MANIFEST, "manifest content type not acceptable");
        return false;
    }
    std::string_view bare = bare_media_type(*type);
    if (bare == kOciManifest || bare == kDockerManifest) {
        *kind = Kind::image;
    } else if (bare == kOciIndex || bare == kDockerList) {
        *kind = Kind::index;
    } else if (bare == kOciArtifact) {
        *kind = Kind::artifact;
    } else {
        set_status_error(REG_STATUS_INVALID_MANIFEST, "unsupported manifest media type: %.*s",
                         static_cast<int>(bare.size()), bare.data());
        return false;
    }
    return true;
}

bool schema_version_2(yyjson_val *root) {
    yyjson_val *v = yyjson_obj_get(root, "schemaVersion");
    if (yyjson_is_int(v) && yyjson_get_int(v) == 2) return true;
    set_status_error(REG_STATUS_INVALID_MANIFEST, "manifest schemaVersion must be 2");
    return false;
}

// Checks the document of the decided kind and its references; the subject's
// hex digest (or "") goes into subject_hex.
bool check_document(yyjson_val *root, Kind kind, const char *repo_name, char *subject_hex) {
    subject_hex[0] = '\0';
    switch (kind) {
        case Kind::image: {
            if (!schema_version_2(root)) return false;
            yyjson_val *config = yyjson_obj_get(root, "config");
            if (!descriptor_valid(config, "config")) return false;
            const char *digest = string_member(config, "digest");
            if (strcmp(digest, kEmptyJsonDigest) != 0) {
                int present = blob_stored(digest);
                if (present < 0) return false;
                if (present == 0) {
                    set_status_error(REG_STATUS_UNKNOWN_REFERENCE, "blob unknown: %s", digest);
                    return false;
                }
            }
            if (!descriptors_stored(root, "layers", true, false, repo_name)) return false;
            break;
        }
        case Kind::index:
            if (!schema_version_2(root)) return false;
            if (!descriptors_stored(root, "manifests", true, true, repo_name)) return false;
            break;
        case Kind::artifact:
            if (!descriptors_stored(root, "blobs", false, false, repo_name)) return false;
            break;
    }
    yyjson_val *subject = yyjson_obj_get(root, "subject");
    if (subject != nullptr) {
        if (!descriptor_valid(subject, "subject")) return false;
        snprintf(subject_hex, kHexOut, "%s", string_member(subject, "digest") + 7);
    }
    return true;
}

int check_put_arguments(const char *repo_name, const char *reference, uint64_t body_len) {
    if (require_ready() != 0) return -1;
    if (!repo_name_valid(repo_name)) {
        set_status_error(REG_STATUS_INVALID_NAME, "invalid repository name: %s", repo_name);
        return -1;
    }
    if (reference[0] == '\0') {
        set_status_error(REG_STATUS_INVALID_NAME, "empty reference");
        return -1;
    }
    if (strncmp(reference, "sha256:", 7) == 0) {
        if (!digest_valid(reference)) {
            set_status_error(REG_STATUS_INVALID_DIGEST, "invalid digest reference");
            return -1;
        }
    } else if (!tag_name_valid(reference)) {
        set_status_error(REG_STATUS_INVALID_NAME, "invalid tag: %s", reference);
        return -1;
    }
    if (body_len > REG_MANIFEST_MAX) {
        set_status_error(REG_STATUS_TOO_LARGE, "manifest too large: %llu bytes (max %llu)",
                         static_cast<unsigned long long>(body_len),
                         static_cast<unsigned long long>(REG_MANIFEST_MAX));
        return -1;
    }
    return 0;
}

// The hex digest a reference names in repo_name, for a manifest that is in
// the repository (a digest needs its revision link). Sets the message.
int resolve_stored(const char *repo_name, const char *reference, char *hex) {
    if (manifest_resolve(repo_name, reference, hex) != 0) return -1;
    if (strncmp(reference, "sha256:", 7) == 0)
        return require_revision_link(repo_name, hex, reference);
    return 0;
}

}  // namespace

extern "C" {

int reg_repo_name_oci(const char *name) {
    if (name == nullptr) return 0;
    std::string_view text(name, strnlen(name, kRepoNameMax + 1));
    if (text.empty() || text.size() > kRepoNameMax) return 0;
    size_t start = 0;
    for (;;) {
        size_t slash = text.find('/', start);
        if (!oci_component_valid(text.substr(start, slash - start))) return 0;
        if (slash == std::string_view::npos) break;
        start = slash + 1;
    }
    return repo_name_valid(name);
}

int reg_manifest_put_typed(const char *repo_name, const char *reference, const void *body,
                           uint64_t body_len, const char *content_type, char *out_digest,
                           char *out_subject) {
    if (repo_name == nullptr || reference == nullptr || body == nullptr ||
        out_digest == nullptr || out_subject == nullptr) {
        set_status_error(REG_STATUS_INVALID_ARGUMENT, "NULL argument");
        return -1;
    }
    out_subject[0] = '\0';
    if (check_put_arguments(repo_name, reference, body_len) != 0) return -1;

    yyjson_doc *doc =
        yyjson_read(static_cast<const char *>(body), static_cast<size_t>(body_len), 0);
    if (doc == nullptr) {
        set_status_error(REG_STATUS_INVALID_MANIFEST, "manifest JSON parse failed");
        return -1;
    }
    yyjson_val *root = yyjson_doc_get_root(doc);
    Kind kind = Kind::image;
    std::string type;
    char subject_hex[kHexOut];
    bool ok = unless_out_of_memory(false, [&] {
        if (!yyjson_is_obj(root)) {
            set_status_error(REG_STATUS_INVALID_MANIFEST, "manifest must be a JSON object");
            return false;
        }
        return decide_kind(root, content_type, &kind, &type) &&
               check_document(root, kind, repo_name, subject_hex);
    });
    yyjson_doc_free(doc);
    if (!ok) return -1;

    char hex[kHexOut];
    sha256_hex_of(body, body_len, hex);
    if (strncmp(reference, "sha256:", 7) == 0 && strcmp(reference + 7, hex) != 0) {
        set_status_error(REG_STATUS_INVALID_DIGEST,
                         "digest reference %s differs from the manifest's digest sha256:%s",
                         reference, hex);
        return -1;
    }
    if (store_manifest(repo_name, reference, body, body_len, type.c_str(), hex, subject_hex) != 0)
        return -1;
    snprintf(out_digest, kDigestOut, "sha256:%s", hex);
    if (subject_hex[0] != '\0') snprintf(out_subject, kDigestOut, "sha256:%s", subject_hex);
    return 0;
}

int reg_manifest_locate(const char *repo_name, const char *reference, char *out_path,
                        uint64_t path_size, char *out_content_type, char *out_digest,
                        int64_t *out_size) {
    if (repo_name == nullptr || reference == nullptr || out_path == nullptr || path_size == 0 ||
        out_content_type == nullptr || out_digest == nullptr || out_size == nullptr) {
        set_status_error(REG_STATUS_INVALID_ARGUMENT, "NULL argument");
        return -1;
    }
    if (require_ready_repo(repo_name) != 0) return -1;
    char hex[kHexOut];
    if (resolve_stored(repo_name, reference, hex) != 0) return -1;
    char path[REG_PATH_MAX];
    manifest_body_path(repo_name, hex, path, sizeof path);
    plat_attr a;
    int queried = plat_stat(path, &a);
    if (queried == PLAT_STAT_FAILED) {
        set_error("cannot query manifest body: %s@%s", repo_name, reference);
        return -1;
    }
    if (queried != 0 || a.is_dir) {
        set_status_error(REG_STATUS_NOT_FOUND, "manifest body not found: %s@%s", repo_name,
                         reference);
        return -1;
    }
    if (strlen(path) >= path_size) {
        set_status_error(REG_STATUS_INVALID_ARGUMENT, "path buffer too small");
        return -1;
    }
    char ct_path[REG_PATH_MAX];
    manifest_ct_path(repo_name, hex, ct_path, sizeof ct_path);
    if (read_file(ct_path, out_content_type, kContentTypeOut, nullptr) != 0 ||
        out_content_type[0] == '\0' || !content_type_storable(out_content_type))
        snprintf(out_content_type, kContentTypeOut, "%s", kDockerManifest);
    snprintf(out_path, static_cast<size_t>(path_size), "%s", path);
    snprintf(out_digest, kDigestOut, "sha256:%s", hex);
    *out_size = a.size;
    return 0;
}

}  // extern "C"
