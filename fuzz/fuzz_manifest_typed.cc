// The media-type-aware manifest put on arbitrary bodies, content types and
// references. A few blobs and one image manifest (the child an index may
// name) are stored once up front, so that seeds can be valid manifests of
// every kind. For each input the put either
// - fails with a message and a status other than OK, and the repository
//   holds exactly what it held before; or
// - stores the body byte for byte under its SHA-256 (read back through
//   locate, by digest and by tag), with the media type the put had to
//   decide (the content type given, else the document's mediaType, else its
//   shape), adds exactly the files of that manifest (body, content type,
//   revision link, tag link, referrer link), and, when it reports a subject,
//   the referrers document of that subject is JSON that lists the manifest.
// The store's invariants hold after every input; what the input added is
// removed again, so every input starts from the same store.
//
// Input: byte 0 picks the content type, byte 1 the reference (a fixed tag,
// a tag from the next line, the body's own digest, or "sha256:" and the
// next line); the rest is the body.
#include <openssl/sha.h>

#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>

#include <yyjson.h>

#include "fuzz/fuzz_support.h"
#include "storage/reg_storage.h"
#include "tests/support/invariants.h"

namespace fs = std::filesystem;

namespace {

using std::string;

const char kRepo[] = "fuzz/app";
const char kOciManifest[] = "application/vnd.oci.image.manifest.v1+json";
const char kOciIndex[] = "application/vnd.oci.image.index.v1+json";
const char kDockerManifest[] = "application/vnd.docker.distribution.manifest.v2+json";
const char kDockerList[] = "application/vnd.docker.distribution.manifest.list.v2+json";
const char kOciArtifact[] = "application/vnd.oci.artifact.manifest.v1+json";

const char *const kContentTypes[] = {
    nullptr,
    "",
    kOciManifest,
    kOciIndex,
    kDockerManifest,
    kDockerList,
    kOciArtifact,
    "application/vnd.oci.image.manifest.v1+json; charset=utf-8",
    " application/vnd.oci.image.index.v1+json ",
    "application/json",
    "text/plain; \"x\"\\",
    "application/vnd.oci.image.manifest.v1+json\r\nX-Injected: 1",
};
constexpr size_t kContentTypeCount = sizeof kContentTypes / sizeof kContentTypes[0];

// Stored once: the empty JSON object (the empty descriptor's blob), two
// layers and a config. Their digests are what the seeds name.
const char *const kBlobs[] = {"{}", "layer-a\n", "layer-b\n",
                              "{\"architecture\":\"amd64\",\"os\":\"linux\"}"};

// The child manifest an index may name, stored once in the repository.
const char kChild[] =
    "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.manifest.v1+json\","
    "\"config\":{\"mediaType\":\"application/vnd.oci.empty.v1+json\",\"digest\":\"sha256:"
    "44136fa355b3678a1146ad16f7e8649e94fb4fc21fe77e8310c060f61caaff8a\",\"size\":2},"
    "\"layers\":[]}";

string sha256_hex(const string &bytes) {
    unsigned char raw[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(), raw);
    static const char digits[] = "0123456789abcdef";
    string out;
    for (unsigned char b : raw) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

string root_path() { return fuzz::scratch_dir() + "/root"; }
string repo_path() { return root_path() + "/repositories/" + kRepo; }

// Every file under the repository, by its path relative to it.
std::set<string> repository_files() {
    std::set<string> files;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(repo_path(), ec), end; !ec && it != end;
         it.increment(ec))
        if (it->is_regular_file()) files.insert(fs::relative(it->path(), repo_path()).string());
    return files;
}

string read_whole(const string &path) {
    FILE *f = fopen(path.c_str(), "rb");
    FUZZ_CHECK(f != nullptr);
    string bytes;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) bytes.append(buf, n);
    fclose(f);
    return bytes;
}

void put_child() {
    char digest[REG_DIGEST_STRING_SIZE], subject[REG_DIGEST_STRING_SIZE];
    FUZZ_CHECK(reg_manifest_put_typed(kRepo, ("sha256:" + sha256_hex(kChild)).c_str(), kChild,
                                      strlen(kChild), nullptr, digest, subject) == 0);
}

// The store every input starts from, and the files its repository holds.
const std::set<string> &baseline() {
    static const std::set<string> files = [] {
        FUZZ_CHECK(reg_storage_init(root_path().c_str()) == 0);
        for (const char *blob : kBlobs) {
            char id[REG_UPLOAD_ID_SIZE], digest[REG_DIGEST_STRING_SIZE];
            FUZZ_CHECK(reg_blob_start_upload(id) == 0);
            FUZZ_CHECK(reg_blob_append_chunk(id, blob, strlen(blob)) == 0);
            FUZZ_CHECK(reg_blob_finish_upload(id, ("sha256:" + sha256_hex(blob)).c_str(),
                                              digest) == 0);
        }
        put_child();
        return repository_files();
    }();
    return files;
}

// Removes what an input added beside the baseline, and puts the child back
// when the input rewrote it (its content type may have changed).
void restore(bool child_rewritten) {
    for (const string &file : repository_files())
        if (baseline().count(file) == 0) fs::remove(repo_path() + "/" + file);
    // Directories the removed files leave empty go too.
    for (bool removed = true; removed;) {
        removed = false;
        std::error_code ec;
        for (fs::recursive_directory_iterator it(repo_path(), ec), end; !ec && it != end;
             it.increment(ec)) {
            if (it->is_directory() && fs::is_empty(it->path())) {
                fs::remove(it->path());
                removed = true;
                break;
            }
        }
    }
    if (child_rewritten) put_child();
    FUZZ_CHECK(repository_files() == baseline());
}

void check_invariants() {
    testing_support::StoreCheckOptions options;
    options.root_alone_in_parent = true;
    testing_support::StoreCheck check = testing_support::check_store(root_path(), options);
    if (!check.violations.empty()) {
        fprintf(stderr, "%s\n", testing_support::join_lines(check.violations).c_str());
        FUZZ_CHECK(check.violations.empty());
    }
    FUZZ_CHECK(check.temporaries.empty());
}

const char *string_member(yyjson_val *obj, const char *key) {
    yyjson_val *v = yyjson_obj_get(obj, key);
    return yyjson_is_str(v) ? yyjson_get_str(v) : nullptr;
}

std::string_view bare(std::string_view type) {
    type = type.substr(0, type.find(';'));
    while (!type.empty() && (type.back() == ' ' || type.back() == '\t')) type.remove_suffix(1);
    while (!type.empty() && (type.front() == ' ' || type.front() == '\t')) type.remove_prefix(1);
    return type;
}

// The media type a put must store: the content type given, else the
// document's mediaType, else an index for a "manifests" member, else an
// image manifest for a "config" member.
string decided_type(yyjson_val *root, const char *content_type) {
    if (content_type != nullptr && !bare(content_type).empty()) return content_type;
    if (const char *declared = string_member(root, "mediaType")) return declared;
    if (yyjson_obj_get(root, "manifests") != nullptr) return kOciIndex;
    if (yyjson_obj_get(root, "config") != nullptr) return kOciManifest;
    return "";
}

// Locates reference and checks that it is the stored body, with its type.
void check_located(const string &reference, const string &body, const string &digest,
                   const string &type) {
    char path[4096], content_type[REG_CONTENT_TYPE_SIZE], got_digest[REG_DIGEST_STRING_SIZE];
    int64_t size = -1;
    FUZZ_CHECK(reg_manifest_locate(kRepo, reference.c_str(), path, sizeof path, content_type,
                                   got_digest, &size) == 0);
    FUZZ_CHECK(got_digest == digest);
    FUZZ_CHECK(content_type == type);
    FUZZ_CHECK(size == static_cast<int64_t>(body.size()));
    FUZZ_CHECK(read_whole(path) == body);
}

// The referrers document of subject is an index that lists the manifest.
void check_referrers(const string &subject, const string &digest, size_t size,
                     const string &type) {
    const char *text = reg_referrers_json(kRepo, subject.c_str(), nullptr);
    FUZZ_CHECK(text != nullptr);
    yyjson_doc *doc = yyjson_read(text, strlen(text), 0);
    FUZZ_CHECK(doc != nullptr);
    yyjson_val *root = yyjson_doc_get_root(doc);
    FUZZ_CHECK(yyjson_is_obj(root));
    const char *media = string_member(root, "mediaType");
    FUZZ_CHECK(media != nullptr && strcmp(media, kOciIndex) == 0);
    yyjson_val *manifests = yyjson_obj_get(root, "manifests");
    FUZZ_CHECK(yyjson_is_arr(manifests));
    int found = 0;
    size_t i, n;
    yyjson_val *d;
    yyjson_arr_foreach(manifests, i, n, d) {
        const char *dd = string_member(d, "digest");
        FUZZ_CHECK(dd != nullptr);
        if (digest != dd) continue;
        found++;
        FUZZ_CHECK(yyjson_get_uint(yyjson_obj_get(d, "size")) == size);
        const char *dt = string_member(d, "mediaType");
        FUZZ_CHECK(dt != nullptr && type == dt);
    }
    FUZZ_CHECK(found == 1);
    yyjson_doc_free(doc);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    const std::set<string> &before = baseline();
    const char *content_type = kContentTypes[data[0] % kContentTypeCount];
    uint8_t ref_choice = data[1] % 4;
    data += 2;
    size -= 2;
    string line;
    if (ref_choice == 1 || ref_choice == 3) line = fuzz::take_line(data, size);
    const string body(reinterpret_cast<const char *>(data), size);
    const string hex = sha256_hex(body);
    const string digest = "sha256:" + hex;
    string reference;
    switch (ref_choice) {
        case 0: reference = "v1"; break;
        case 1: reference = line; break;
        case 2: reference = digest; break;
        default: reference = "sha256:" + line; break;
    }
    reference = reference.substr(0, reference.find('\0'));  // C text
    const bool is_tag = reference.compare(0, 7, "sha256:") != 0;

    char out_digest[REG_DIGEST_STRING_SIZE] = "untouched";
    char out_subject[REG_DIGEST_STRING_SIZE] = "untouched";
    int rc = reg_manifest_put_typed(kRepo, reference.c_str(), body.data(), body.size(),
                                    content_type, out_digest, out_subject);
    FUZZ_CHECK(rc == 0 || rc == -1);
    if (rc != 0) {
        FUZZ_CHECK(reg_storage_last_error()[0] != '\0');
        FUZZ_CHECK(reg_storage_last_status() != REG_STATUS_OK);
        FUZZ_CHECK(reg_storage_last_status() != REG_STATUS_IO_ERROR);
        FUZZ_CHECK(strcmp(out_digest, "untouched") == 0);
        FUZZ_CHECK(repository_files() == before);
        check_invariants();
        return 0;
    }

    // Accepted: a JSON object of a known kind within the size limit, under
    // an acceptable reference.
    FUZZ_CHECK(body.size() <= REG_MANIFEST_MAX);
    FUZZ_CHECK(out_digest == digest);
    if (is_tag) {
        FUZZ_CHECK(fuzz::ref_tag_valid(reference));
    } else {
        FUZZ_CHECK(reference == digest);
    }
    yyjson_doc *doc = yyjson_read(body.data(), body.size(), 0);
    FUZZ_CHECK(doc != nullptr);
    yyjson_val *root = yyjson_doc_get_root(doc);
    FUZZ_CHECK(yyjson_is_obj(root));
    const string type = decided_type(root, content_type);
    std::string_view kind = bare(type);
    FUZZ_CHECK(kind == kOciManifest || kind == kOciIndex || kind == kDockerManifest ||
               kind == kDockerList || kind == kOciArtifact);
    if (const char *declared = string_member(root, "mediaType")) FUZZ_CHECK(kind == bare(declared));
    // The subject reported is the document's subject digest.
    yyjson_val *subject_val = yyjson_obj_get(root, "subject");
    const char *subject_digest = string_member(subject_val, "digest");
    string subject = subject_val != nullptr && subject_digest != nullptr ? subject_digest : "";
    FUZZ_CHECK(out_subject == subject);
    yyjson_doc_free(doc);

    check_located(digest, body, digest, type);
    if (is_tag) check_located(reference, body, digest, type);

    // Exactly the files of this manifest were added.
    std::set<string> want = before;
    want.insert("_manifests/" + hex);
    want.insert("_manifests/" + hex + ".ct");
    want.insert("_manifests/revisions/sha256/" + hex + "/link");
    if (is_tag) want.insert("_manifests/tags/" + reference + "/current/link");
    if (!subject.empty())
        want.insert("_manifests/referrers/sha256/" + subject.substr(7) + "/" + hex);
    // Beside them, the repository now holds the stored blobs the manifest
    // names: a link each, named by a digest that stands in the body.
    std::set<string> got, links;
    for (const string &file : repository_files()) {
        if (file.rfind("_manifests/blobs/", 0) == 0 && before.count(file) == 0)
            links.insert(file);
        else
            got.insert(file);
    }
    FUZZ_CHECK(got == want);
    for (const string &link : links) {
        string link_hex = link.substr(link.rfind('/') + 1);
        FUZZ_CHECK(body.find(link_hex) != string::npos);
        string algo = link.substr(17, 6);
        FUZZ_CHECK(reg_blob_exists((algo + ":" + link_hex).c_str()) == 1);
    }

    if (!subject.empty()) check_referrers(subject, digest, body.size(), type);
    check_invariants();
    restore(hex == sha256_hex(kChild));
    return 0;
}
