// Walking the whole store: the repositories and their manifest bodies, the
// references a manifest makes, and the names of the files that atomic
// replacement and garbage collection leave behind. Garbage collection, the
// integrity check and the usage report share these.
#include <cstring>
#include <string>
#include <vector>

#include <yyjson.h>

#include "platform/platform.h"
#include "storage/reg_storage_internal.h"

namespace {

int hex_value(char c) { return c <= '9' ? c - '0' : c - 'a' + 10; }

bool all_digits(const std::string &text, size_t from, size_t to) {
    if (from >= to) return false;
    for (size_t i = from; i < to; i++)
        if (text[i] < '0' || text[i] > '9') return false;
    return true;
}

// The digest of a descriptor object, when it is a valid digest string.
bool descriptor_key(yyjson_val *d, digest_key *out) {
    yyjson_val *digest = yyjson_obj_get(d, "digest");
    if (!yyjson_is_str(digest) || !digest_valid(yyjson_get_str(digest))) return false;
    *out = key_of_hex(yyjson_get_str(digest) + 7);
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
    for (size_t i = 0; i < key.size(); i++)
        key[i] = static_cast<uint8_t>(hex_value(hex[2 * i]) << 4 | hex_value(hex[2 * i + 1]));
    return key;
}

std::string hex_of_key(const digest_key &key) {
    char hex[65];
    bin_to_hex(key.data(), key.size(), hex);
    return hex;
}

int is_hex_digest(const std::string &text) {
    if (text.size() != 64) return 0;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return 0;
    return 1;
}

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
    repos->clear();
    out->clear();
    char dir[REG_PATH_MAX];
    repos_dir(dir, sizeof dir);
    // A store without a repositories directory has no manifests; but only a
    // query that finds it absent after the listing failed says so: a failed
    // query must never make every manifest look absent.
    if (collect_repositories(dir, "", 1, repos) != 0) {
        repos->clear();
        plat_attr a;
        if (plat_stat(dir, &a) == PLAT_STAT_ABSENT) return 0;
        set_error("cannot list the repositories");
        return -1;
    }
    std::vector<listed_entry> entries;
    for (const std::string &repo : *repos) {
        char manifests[REG_PATH_MAX];
        manifests_dir(repo.c_str(), manifests, sizeof manifests);
        if (list_all(manifests, &entries) != 0) {
            // A repository removed by hand meanwhile holds nothing.
            plat_attr a;
            if (plat_stat(manifests, &a) == PLAT_STAT_ABSENT) continue;
            set_error("cannot list the manifests of %s", repo.c_str());
            return -1;
        }
        for (const listed_entry &e : entries)
            if (!e.is_dir && is_hex_digest(e.name))
                out->push_back(stored_manifest{repo, key_of_hex(e.name.c_str())});
    }
    return 0;
}

int is_temporary_name(const std::string &name) {
    size_t at = name.rfind(".tmp-");
    if (at == std::string::npos || at == 0) return 0;
    size_t dash = name.find('-', at + 5);
    if (dash == std::string::npos) return 0;
    return all_digits(name, at + 5, dash) && all_digits(name, dash + 1, name.size()) ? 1 : 0;
}

int is_swept_name(const std::string &name, std::string *original) {
    size_t at = name.rfind(".sweep-");
    if (at == std::string::npos || at == 0 || !all_digits(name, at + 7, name.size())) return 0;
    *original = name.substr(0, at);
    return 1;
}
