// Storing manifests: the checks of the two puts (the plain one, which takes
// any JSON object with a config, and the typed one, which takes every kind
// registry clients push: OCI image manifests and indexes, Docker image
// manifests and manifest lists, artifact manifests), and the one routine
// through which both store, with the one size limit of the store.
// Manifests that name a subject are recorded so that the referrers of that
// subject can be found.
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <yyjson.h>

#include "digest/digest.h"
#include "platform/platform.h"
#include "storage/layout.h"
#include "storage/repo_blobs_internal.h"

namespace {

// The plain put returns its body whole through the shared result buffer
// (reg_manifest_get), so it takes no body larger than that buffer less its
// NUL; both puts store through store_manifest, whose limit is the store's.
constexpr uint64_t kPlainBodyMax = REG_RESULT_MAX - 1;

const char kOciManifest[] = "application/vnd.oci.image.manifest.v1+json";
const char kOciIndex[] = "application/vnd.oci.image.index.v1+json";
const char kDockerManifest[] = "application/vnd.docker.distribution.manifest.v2+json";
const char kDockerList[] = "application/vnd.docker.distribution.manifest.list.v2+json";
const char kOciArtifact[] = "application/vnd.oci.artifact.manifest.v1+json";

enum class Kind { image, index, artifact };

// The media type without parameters or surrounding blanks.
std::string_view bare_media_type(std::string_view type) {
    size_t semi = type.find(';');
    if (semi != std::string_view::npos) type = type.substr(0, semi);
    while (!type.empty() && (type.back() == ' ' || type.back() == '\t')) type.remove_suffix(1);
    while (!type.empty() && (type.front() == ' ' || type.front() == '\t')) type.remove_prefix(1);
    return type;
}

const char *string_member(yyjson_val *obj, const char *key) {
    yyjson_val *v = yyjson_obj_get(obj, key);
    return yyjson_is_str(v) ? yyjson_get_str(v) : nullptr;
}

// A descriptor: an object with a media type, a valid digest and a
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

// A blob that a manifest of repo_name may name: stored, and where blobs are
// scoped to repositories, held by repo_name. Otherwise the blob goes into
// *named, to become the repository's once the manifest is accepted. Sets
// the message when false.
bool blob_referable(const char *repo_name, const char *digest, std::vector<std::string> *named) {
    int present = blob_stored(digest);
    if (present == 1 && s_blobs_scoped) present = repo_holds_blob(repo_name, digest);
    if (present < 0) return false;
    if (present == 0) {
        set_status_error(REG_STATUS_UNKNOWN_REFERENCE, "blob unknown: %s", digest);
        return false;
    }
    if (!s_blobs_scoped) named->push_back(digest_hex_part(digest));
    return true;
}

// Links the blobs an accepted manifest names into its repository. A link
// that cannot be written costs nothing while blobs are shared (the links
// can be made again from the manifests), and a success leaves the message
// of an earlier failure alone.
void link_named_blobs(const char *repo_name, const std::vector<std::string> &named) {
    std::string message = s_error;
    reg_status status = s_status;
    for (const std::string &hex : named)
        if (link_blob_into(repo_name, hex.c_str()) != 0)
            set_status_error(status, "%s", message.c_str());
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
    if (present < 0) set_error("cannot query manifest %s:%s", algo_of_hex(hex), hex);
    return present;
}

// Checks an array member of descriptors; each blob (or, for an index, each
// manifest of repo_name) must be stored.
bool descriptors_stored(yyjson_val *root, const char *key, bool required, bool manifests,
                        const char *repo_name, std::vector<std::string> *named) {
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
            int present = manifest_stored(repo_name, digest_hex_part(digest));
            if (present < 0) return false;
            if (present == 0) {
                set_status_error(REG_STATUS_UNKNOWN_REFERENCE, "manifest unknown: %s", digest);
                return false;
            }
        } else if (!has_urls(d)) {
            if (!blob_referable(repo_name, digest, named)) return false;
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
bool check_document(yyjson_val *root, Kind kind, const char *repo_name, char *subject_hex,
                    std::vector<std::string> *named) {
    subject_hex[0] = '\0';
    switch (kind) {
        case Kind::image: {
            if (!schema_version_2(root)) return false;
            yyjson_val *config = yyjson_obj_get(root, "config");
            if (!descriptor_valid(config, "config")) return false;
            const char *digest = string_member(config, "digest");
            if (strcmp(digest, kEmptyJsonDigest) != 0 && !blob_referable(repo_name, digest, named))
                return false;
            if (!descriptors_stored(root, "layers", true, false, repo_name, named)) return false;
            break;
        }
        case Kind::index:
            if (!schema_version_2(root)) return false;
            if (!descriptors_stored(root, "manifests", true, true, repo_name, named)) return false;
            break;
        case Kind::artifact:
            if (!descriptors_stored(root, "blobs", false, false, repo_name, named)) return false;
            break;
    }
    yyjson_val *subject = yyjson_obj_get(root, "subject");
    if (subject != nullptr) {
        if (!descriptor_valid(subject, "subject")) return false;
        snprintf(subject_hex, REG_HEX_SIZE, "%s", digest_hex_part(string_member(subject, "digest")));
    }
    return true;
}

// The tests both puts make first: the storage is ready, the repository
// name passes the rule, the reference is not empty. Sets the message.
int require_ready_name_and_reference(const char *repo_name, const char *reference) {
    if (require_ready() != 0) return -1;
    if (!repo_name_valid(repo_name)) {
        set_status_error(REG_STATUS_INVALID_NAME, "invalid repository name: %s", repo_name);
        return -1;
    }
    if (reference[0] == '\0') {
        set_status_error(REG_STATUS_INVALID_NAME, "empty reference");
        return -1;
    }
    return 0;
}

// Refuses a body above limit bytes ("manifest too large: %llu bytes (max
// %llu)", REG_STATUS_TOO_LARGE). 0 when it fits.
int require_size_within(uint64_t body_len, uint64_t limit) {
    if (body_len <= limit) return 0;
    set_status_error(REG_STATUS_TOO_LARGE, "manifest too large: %llu bytes (max %llu)",
                     static_cast<unsigned long long>(body_len),
                     static_cast<unsigned long long>(limit));
    return -1;
}

int check_put_arguments(const char *repo_name, const char *reference, uint64_t body_len) {
    if (require_ready_name_and_reference(repo_name, reference) != 0) return -1;
    if (is_digest_reference(reference)) {
        if (!digest_valid(reference)) {
            set_status_error(REG_STATUS_INVALID_DIGEST, "invalid digest reference");
            return -1;
        }
    } else if (!tag_name_valid(reference)) {
        set_status_error(REG_STATUS_INVALID_NAME, "invalid tag: %s", reference);
        return -1;
    }
    if (require_size_within(body_len, REG_MANIFEST_MAX) != 0) return -1;
    return 0;
}

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


// Makes the directory dir of a link and writes the link at path to name
// hex; the message on failure is the one given for that step.
int write_link_in(const char *dir, const char *path, const char *hex, const char *mkdir_failed,
                  const char *write_failed) {
    if (mkdirs(dir) != 0) {
        set_error("%s", mkdir_failed);
        return -1;
    }
    if (write_link(path, hex) != 0) {
        set_error("%s", write_failed);
        return -1;
    }
    return 0;
}

// The one routine through which every put stores a checked manifest, under
// the one size limit of the store, writing its files in the order that lets
// a reader trust every link it finds: body, content type, revision link,
// the referrer link when subject_hex is given and not empty, then the tag
// link when reference is a tag. Each file is replaced atomically. Sets the
// message.
int store_manifest(const char *repo_name, const char *reference, const void *body,
                   uint64_t body_len, const char *content_type, const char *hex,
                   const char *subject_hex) {
    if (require_size_within(body_len, REG_MANIFEST_MAX) != 0) return -1;
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
        content_type != nullptr && content_type[0] != '\0' ? content_type : kDefaultManifestType;
    manifest_ct_path(repo_name, hex, path, sizeof path);
    if (write_file_atomic(path, type, strlen(type)) != 0) {
        set_error("write manifest ct failed");
        return -1;
    }
    char dir[REG_PATH_MAX];
    manifest_rev_dir(repo_name, hex, dir, sizeof dir);
    manifest_rev_path(repo_name, hex, path, sizeof path);
    if (write_link_in(dir, path, hex, "mkdirs revision dir failed", "write revision link failed") != 0)
        return -1;
    if (subject_hex != nullptr && subject_hex[0] != '\0') {
        manifest_referrers_dir(repo_name, subject_hex, dir, sizeof dir);
        manifest_referrer_path(repo_name, subject_hex, hex, path, sizeof path);
        if (write_link_in(dir, path, hex, "mkdirs referrers dir failed",
                          "write referrer link failed") != 0)
            return -1;
    }
    if (is_digest_reference(reference)) return 0;
    manifest_tag_dir(repo_name, reference, dir, sizeof dir);
    manifest_tag_path(repo_name, reference, path, sizeof path);
    return write_link_in(dir, path, hex, "mkdirs tag dir failed", "write tag link failed");
}

// Parses body as one JSON document whose root must be an object and runs
// check on that root (guarded against running out of memory); the document
// is freed before it returns. false with the message set when the body does
// not parse, the root is not an object, or check refuses it.
template <typename Check>
bool check_manifest_object(const void *body, uint64_t body_len, Check check) {
    yyjson_doc *doc =
        yyjson_read(static_cast<const char *>(body), static_cast<size_t>(body_len), 0);
    if (doc == nullptr) {
        set_status_error(REG_STATUS_INVALID_MANIFEST, "manifest JSON parse failed");
        return false;
    }
    yyjson_val *root = yyjson_doc_get_root(doc);
    bool ok = unless_out_of_memory(false, [&] {
        if (!yyjson_is_obj(root)) {
            set_status_error(REG_STATUS_INVALID_MANIFEST, "manifest must be a JSON object");
            return false;
        }
        return check(root);
    });
    yyjson_doc_free(doc);
    return ok;
}

// The hex digest of a manifest body in the algorithm of reference when it
// is a digest reference (SHA-256 for a tag). Sets the message.
int hash_body(const char *reference, const void *body, uint64_t body_len, char *hex) {
    if (content_hex_of(reference, body, body_len, hex) == 0) return 0;
    set_error("cannot hash the manifest");
    return -1;
}

}  // namespace

extern "C" {

int reg_manifest_put(const char *repo_name, const char *reference, const void *body,
                     uint64_t body_len, const char *content_type, char *out_digest) {
    if (repo_name == nullptr || reference == nullptr || body == nullptr || out_digest == nullptr) {
        set_status_error(REG_STATUS_INVALID_ARGUMENT, "NULL argument");
        return -1;
    }
    if (require_ready_name_and_reference(repo_name, reference) != 0) return -1;
    if (!is_digest_reference(reference) && !tag_name_valid(reference)) {
        set_status_error(REG_STATUS_INVALID_NAME, "invalid tag: %s", reference);
        return -1;
    }
    if (require_size_within(body_len, kPlainBodyMax) != 0) return -1;
    if (validate_manifest(body, body_len) != 0) return -1;

    // Stored under its digest in the algorithm of a digest reference, and
    // otherwise under its SHA-256.
    char hex[REG_HEX_SIZE];
    if (hash_body(reference, body, body_len, hex) != 0) return -1;
    if (store_manifest(repo_name, reference, body, body_len, content_type, hex, nullptr) != 0)
        return -1;
    digest_string_of_hex(hex, out_digest);
    return 0;
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

    Kind kind = Kind::image;
    std::string type;
    char subject_hex[REG_HEX_SIZE];
    std::vector<std::string> named;  // blobs to link into the repository
    if (!check_manifest_object(body, body_len, [&](yyjson_val *root) {
            return decide_kind(root, content_type, &kind, &type) &&
                   check_document(root, kind, repo_name, subject_hex, &named);
        }))
        return -1;

    // A digest reference names the algorithm the manifest is stored and
    // answered under; a tag stores it under its SHA-256.
    char hex[REG_HEX_SIZE];
    if (hash_body(reference, body, body_len, hex) != 0) return -1;
    if (is_digest_reference(reference) && strcmp(digest_hex_part(reference), hex) != 0) {
        set_status_error(REG_STATUS_INVALID_DIGEST,
                         "digest reference %s differs from the manifest's digest %s:%s",
                         reference, algo_of_hex(hex), hex);
        return -1;
    }
    // Accepted: its blobs become the repository's before it names them.
    unless_out_of_memory(0, [&] {
        link_named_blobs(repo_name, named);
        return 0;
    });
    if (store_manifest(repo_name, reference, body, body_len, type.c_str(), hex, subject_hex) != 0)
        return -1;
    digest_string_of_hex(hex, out_digest);
    if (subject_hex[0] != '\0') digest_string_of_hex(subject_hex, out_subject);
    return 0;
}

int reg_manifest_put_fetched(const char *repo_name, const char *reference, const void *body,
                             uint64_t body_len, const char *content_type,
                             const char *expected_digest, char *out_digest) {
    if (repo_name == nullptr || reference == nullptr || body == nullptr ||
        expected_digest == nullptr || out_digest == nullptr) {
        set_status_error(REG_STATUS_INVALID_ARGUMENT, "NULL argument");
        return -1;
    }
    if (check_put_arguments(repo_name, reference, body_len) != 0) return -1;
    if (!digest_valid(expected_digest)) {
        set_status_error(REG_STATUS_INVALID_DIGEST, "invalid expected digest");
        return -1;
    }
    if (is_digest_reference(reference) && strcmp(reference, expected_digest) != 0) {
        set_status_error(REG_STATUS_INVALID_DIGEST, "digest reference %s differs from %s",
                         reference, expected_digest);
        return -1;
    }
    // The bytes first: nothing that is not what it was fetched as is parsed.
    char hex[REG_HEX_SIZE];
    if (hash_body(expected_digest, body, body_len, hex) != 0) return -1;
    if (strcmp(hex, digest_hex_part(expected_digest)) != 0) {
        set_status_error(REG_STATUS_INVALID_DIGEST, "digest mismatch: expected %s, got %s:%s",
                         expected_digest, algo_of_hex(hex), hex);
        return -1;
    }
    Kind kind = Kind::image;
    std::string type;
    char subject_hex[REG_HEX_SIZE];
    subject_hex[0] = '\0';
    // The kind and the subject as for a push; what the document names is
    // not looked up: it is fetched when a client asks for it.
    bool ok = check_manifest_object(body, body_len, [&](yyjson_val *root) {
        if (!decide_kind(root, content_type, &kind, &type)) return false;
        if (kind != Kind::artifact && !schema_version_2(root)) return false;
        yyjson_val *subject = yyjson_obj_get(root, "subject");
        if (subject != nullptr) {
            if (!descriptor_valid(subject, "subject")) return false;
            snprintf(subject_hex, REG_HEX_SIZE, "%s",
                     digest_hex_part(string_member(subject, "digest")));
        }
        return true;
    });
    if (!ok) return -1;
    if (store_manifest(repo_name, reference, body, body_len, type.c_str(), hex, subject_hex) != 0)
        return -1;
    snprintf(out_digest, REG_DIGEST_STRING_SIZE, "%s", expected_digest);
    return 0;
}

}  // extern "C"
