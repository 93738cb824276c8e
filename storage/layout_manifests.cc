// What stored manifests name, read the same way by garbage collection, the
// integrity check, the usage report and the manifest store: the digests of
// a manifest's descriptors, and every manifest body of the store.
#include <yyjson.h>

#include <cstring>

#include "platform/platform.h"
#include "storage/layout.h"

namespace {

int hex_value(char c) { return c <= '9' ? c - '0' : c - 'a' + 10; }

// The digest of a descriptor object, when it is a valid digest string.
bool descriptor_key(yyjson_val *d, digest_key *out) {
    yyjson_val *digest = yyjson_obj_get(d, "digest");
    if (!yyjson_is_str(digest) || !digest_valid(yyjson_get_str(digest))) return false;
    *out = key_of_hex(digest_hex_part(yyjson_get_str(digest)));
    return true;
}

// Adds the digests of the descriptors in array member key of root.
void add_array(yyjson_val *root, const char *key, std::vector<digest_key> *out) {
    yyjson_val *array = yyjson_obj_get(root, key);
    if (!yyjson_is_arr(array)) return;
    size_t index, count;
    yyjson_val *d;
    yyjson_arr_foreach(array, index, count, d) {
        digest_key k;
        if (descriptor_key(d, &k)) out->push_back(k);
    }
}

}  // namespace

digest_key key_of_hex(const char *hex) {
    digest_key key;
    key.size = static_cast<uint8_t>(strlen(hex) / 2);
    for (size_t i = 0; i < key.size; i++)
        key.bytes[i] =
            static_cast<uint8_t>(hex_value(hex[2 * i]) << 4 | hex_value(hex[2 * i + 1]));
    return key;
}

std::string hex_of_key(const digest_key &key) {
    char hex[REG_HEX_SIZE];
    bin_to_hex(key.bytes.data(), key.size, hex);
    return hex;
}

std::string digest_string_of_key(const digest_key &key) {
    char digest[REG_DIGEST_STRING_SIZE];
    digest_string_of_hex(hex_of_key(key).c_str(), digest);
    return digest;
}

int is_hex_digest(const std::string &text) { return hex_digest_valid(text.c_str()); }

int manifest_references(const char *body, size_t len, manifest_refs *out) {
    *out = manifest_refs();
    yyjson_doc *doc = yyjson_read(body, len, 0);
    if (doc == nullptr) return -1;
    yyjson_val *root = yyjson_doc_get_root(doc);
    if (!yyjson_is_obj(root)) {
        yyjson_doc_free(doc);
        return -1;
    }
    digest_key k;
    if (descriptor_key(yyjson_obj_get(root, "config"), &k)) out->blobs.push_back(k);
    add_array(root, "layers", &out->blobs);
    add_array(root, "blobs", &out->blobs);
    add_array(root, "manifests", &out->manifests);
    if (descriptor_key(yyjson_obj_get(root, "subject"), &k)) {
        out->has_subject = true;
        out->subject = k;
    }
    yyjson_doc_free(doc);
    return 0;
}

int list_stored_manifests(std::vector<std::string> *repos, std::vector<stored_manifest> *out) {
    out->clear();
    if (list_repositories(repos) != 0) {
        set_error("cannot list the repositories");
        return -1;
    }
    std::vector<listed_entry> entries;
    for (const std::string &repo : *repos) {
        char manifests[REG_PATH_MAX];
        manifests_dir(repo.c_str(), manifests, sizeof manifests);
        // A repository removed by hand meanwhile holds nothing.
        if (list_or_absent(manifests, &entries) == LISTED_FAILED) {
            set_error("cannot list the manifests of %s", repo.c_str());
            return -1;
        }
        for (const listed_entry &e : entries)
            if (!e.is_dir && is_hex_digest(e.name))
                out->push_back(stored_manifest{repo, key_of_hex(e.name.c_str())});
    }
    return 0;
}

int read_manifest_body(const char *repo_name, const char *hex, std::string *out) {
    char path[REG_PATH_MAX];
    manifest_body_path(repo_name, hex, path, sizeof path);
    return read_whole_file(path, REG_MANIFEST_MAX, out);
}
