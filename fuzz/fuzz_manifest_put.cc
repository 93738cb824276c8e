// Storing manifests: whatever the body, the repository name and the tag,
// put either refuses with a message and leaves the storage as it was, or
// stores the body under the SHA-256 of its bytes so that get returns it
// byte for byte, by digest and by tag, with its content type. Refused
// names and tags never reach the disk, and nothing appears beside the
// storage root.
#include <openssl/sha.h>

#include <cstring>
#include <filesystem>
#include <set>
#include <string>

#include "fuzz/fuzz_support.h"
#include "storage/reg_storage.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kBodyMax = 1048575;
const char kDefaultType[] = "application/vnd.docker.distribution.manifest.v2+json";

std::string hex_string(const char *prefix, const unsigned char *raw, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out = prefix;
    for (size_t i = 0; i < n; i++) {
        out += digits[raw[i] >> 4];
        out += digits[raw[i] & 15];
    }
    return out;
}

// The digest a put stores bytes under: SHA-512 when the reference is a
// "sha512:" digest reference, else SHA-256 (for tags and every other
// digest reference).
std::string content_digest(const std::string &reference, const std::string &bytes) {
    const auto *data = reinterpret_cast<const unsigned char *>(bytes.data());
    if (reference.compare(0, 7, "sha512:") == 0) {
        unsigned char raw[SHA512_DIGEST_LENGTH];
        SHA512(data, bytes.size(), raw);
        return hex_string("sha512:", raw, sizeof raw);
    }
    unsigned char raw[SHA256_DIGEST_LENGTH];
    SHA256(data, bytes.size(), raw);
    return hex_string("sha256:", raw, sizeof raw);
}

const std::string &storage_root() {
    static const std::string root = [] {
        std::string path = fuzz::scratch_dir() + "/root";
        FUZZ_CHECK(reg_storage_init(path.c_str()) == 0);
        return path;
    }();
    return root;
}

// The scratch folder holds the root and nothing else, and the root holds
// only the storage's own top level.
void check_nothing_beside_the_root() {
    std::set<std::string> beside, top;
    for (const auto &e : fs::directory_iterator(fuzz::scratch_dir()))
        beside.insert(e.path().filename().string());
    for (const auto &e : fs::directory_iterator(storage_root()))
        top.insert(e.path().filename().string());
    FUZZ_CHECK(beside == std::set<std::string>{"root"});
    FUZZ_CHECK((top == std::set<std::string>{"blobs", "config.json", "repositories", "uploads"}));
}

// Every repository made by one input goes again, so the tree stays small.
void empty_repositories() {
    for (const auto &e : fs::directory_iterator(storage_root() + "/repositories"))
        fs::remove_all(e.path());
}

void check_get(const std::string &repo, const std::string &reference, const std::string &body,
               const std::string &digest, const std::string &want_type) {
    char type[REG_CONTENT_TYPE_SIZE], got_digest[REG_DIGEST_STRING_SIZE];
    const char *text = reg_manifest_get(repo.c_str(), reference.c_str(), type, got_digest);
    FUZZ_CHECK(text != nullptr);
    FUZZ_CHECK(got_digest == digest);
    FUZZ_CHECK(type == want_type);
    // The body comes back as text: whole when it holds no NUL byte, else up
    // to its first NUL.
    FUZZ_CHECK(text == body.substr(0, body.find('\0')));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const std::string &root = storage_root();
    (void)root;
    uint8_t choice = data[0];
    data++;
    size--;

    // Bits of the first byte: 1 a tag reference, else a digest reference;
    // 2 the tag, and 4 the repository name, taken from the next input line;
    // 8 and 16 pick the content type.
    std::string repo = "library/alpine";
    std::string reference = "latest";
    if (choice & 2) reference = fuzz::take_line(data, size);
    if (!(choice & 1)) reference = "sha256:" + reference;
    if (choice & 4) repo = fuzz::take_line(data, size);
    static const char *const kTypes[] = {nullptr, "", "application/vnd.oci.image.manifest.v1+json",
                                         "text/plain; \"x\"\\"};
    const char *content_type = kTypes[(choice >> 3) & 3];
    std::string body(reinterpret_cast<const char *>(data), size);
    // Names are C text: an embedded NUL cuts them.
    repo = repo.substr(0, repo.find('\0'));
    reference = reference.substr(0, reference.find('\0'));
    // Any "<algorithm>:" reference is a digest reference, never a tag.
    bool is_tag = reg_is_digest_reference(reference.c_str()) == 0;

    char digest[REG_DIGEST_STRING_SIZE] = "untouched";
    int rc = reg_manifest_put(repo.c_str(), reference.c_str(), body.data(), body.size(),
                              content_type, digest);
    FUZZ_CHECK(rc == 0 || rc == -1);
    if (rc != 0) {
        FUZZ_CHECK(reg_storage_last_error()[0] != '\0');
        FUZZ_CHECK(strcmp(digest, "untouched") == 0);
        check_nothing_beside_the_root();
        empty_repositories();
        return 0;
    }

    // Accepted: the names obey the storage's rules and the body fits.
    FUZZ_CHECK(fuzz::ref_repo_name_valid(repo));
    if (is_tag) FUZZ_CHECK(fuzz::ref_tag_valid(reference));
    FUZZ_CHECK(body.size() <= kBodyMax);
    std::string want_digest = content_digest(reference, body);
    FUZZ_CHECK(digest == want_digest);
    std::string want_type = content_type != nullptr && content_type[0] != '\0' ? content_type
                                                                               : kDefaultType;
    check_get(repo, want_digest, body, want_digest, want_type);
    if (is_tag) check_get(repo, reference, body, want_digest, want_type);
    check_nothing_beside_the_root();

    // Deleting the tag (the only one) and the digest takes the manifest away.
    if (is_tag) FUZZ_CHECK(reg_manifest_delete(repo.c_str(), reference.c_str()) == 0);
    FUZZ_CHECK(reg_manifest_delete(repo.c_str(), want_digest.c_str()) == 0);
    char type[REG_CONTENT_TYPE_SIZE], got_digest[REG_DIGEST_STRING_SIZE];
    FUZZ_CHECK(reg_manifest_get(repo.c_str(), want_digest.c_str(), type, got_digest) == nullptr);
    check_nothing_beside_the_root();
    empty_repositories();
    return 0;
}
