// Hostile input through the blob endpoint (as a CGI process) and through the
// storage library: path traversal in repository names, tags, digests and
// upload ids ("..", '/', '\', percent-encoded forms, NUL bytes), overlong
// names, invalid UTF-8, and oversized, negative and malformed byte ranges.
// Every case gets a clear error reply, and nothing outside the storage root
// is created, changed or removed: a sentinel folder with bait files stands
// beside the root, and the whole scratch tree is compared before and after.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "storage/reg_storage.h"
#include "tests/support/cgi_replies.h"
#include "tests/support/process.h"

namespace fs = std::filesystem;

using testing_support::blob_headers;
using testing_support::error_reply;
using testing_support::read_whole_file;
using testing_support::reference_sha256_hex;
using testing_support::run_process;
using testing_support::ScratchDir;
using testing_support::write_whole_file;

namespace {

// Every entry under dir (symbolic links not followed), by relative path:
// "dir", "link -> target" or "file:" and the file's bytes.
using Tree = std::map<std::string, std::string>;

Tree snapshot(const std::string &dir) {
    Tree tree;
    for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator();
         ++it) {
        const fs::path &p = it->path();
        std::string rel = fs::relative(p, dir).generic_string();
        fs::file_status st = it->symlink_status();
        if (fs::is_symlink(st))
            tree[rel] = "link -> " + fs::read_symlink(p).string();
        else if (fs::is_directory(st))
            tree[rel] = "dir";
        else
            tree[rel] = "file:" + read_whole_file(p.string());
    }
    return tree;
}

// The entries that differ between two snapshots, for a readable failure.
std::string tree_diff(const Tree &before, const Tree &after) {
    std::string out;
    for (const auto &[path, what] : before) {
        auto it = after.find(path);
        if (it == after.end())
            out += "removed: " + path + "\n";
        else if (it->second != what)
            out += "changed: " + path + "\n";
    }
    for (const auto &[path, what] : after)
        if (before.find(path) == before.end()) out += "created: " + path + "\n";
    return out;
}

const std::string kHex64 = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

// A scratch folder holding the storage root and, beside it, a sentinel
// folder of bait files that traversal out of the root would reach: a file
// where "<root>/../sentinel/secret" points, and a blob-shaped file under the
// sentinel's own blobs/sha256 tree.
class HostileFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(sentinel() + "/blobs/sha256/01");
        write_whole_file(sentinel() + "/secret", kSecret);
        write_whole_file(sentinel() + "/blobs/sha256/01/" + kHex64, kSecret);
        ASSERT_EQ(reg_storage_init(root().c_str()), 0) << reg_storage_last_error();
        blob_ = testing_support::random_bytes(100, 11);
        blob_digest_ = store_blob(blob_);
    }
    void TearDown() override { reg_storage_cleanup(); }

    std::string root() const { return dir_ / "root"; }
    std::string sentinel() const { return dir_ / "sentinel"; }

    // Puts data into the blob store through an upload; returns its digest.
    static std::string store_blob(const std::string &data) {
        char uuid[REG_UPLOAD_ID_SIZE], digest[REG_DIGEST_STRING_SIZE];
        std::string want = "sha256:" + reference_sha256_hex(data);
        EXPECT_EQ(reg_blob_start_upload(uuid), 0) << reg_storage_last_error();
        EXPECT_EQ(reg_blob_append_chunk(uuid, data.data(), data.size()), 0);
        EXPECT_EQ(reg_blob_finish_upload(uuid, want.c_str(), digest), 0)
            << reg_storage_last_error();
        return want;
    }

    static constexpr const char *kSecret = "bait: never served, changed or removed";
    ScratchDir dir_;
    std::string blob_;
    std::string blob_digest_;
};

// ---- The blob endpoint as a CGI process ----------------------------------

class HostileCgi : public HostileFixture {
  protected:
    testing_support::ProcessResult request(const std::string &method, const std::string &path,
                                           const std::string &range) {
        std::map<std::string, std::string> env = {{"REGISTRY_STORAGE_ROOT", root()},
                                                  {"REQUEST_METHOD", method},
                                                  {"PATH_INFO", path}};
        if (!range.empty()) env["HTTP_RANGE"] = range;
        return run_process(V2_BLOB_PATH, {}, env, dir_.path());
    }
};

struct CgiCase {
    const char *what;
    std::string method, path, range;
    int status;
    const char *code, *message;
};

TEST_F(HostileCgi, HostilePathsGetExactErrorsAndTouchNothing) {
    const std::string d = "sha256:" + kHex64;
    const std::string name255(255, 'n'), name256(256, 'n'), name5000(5000, 'n');
    const std::string digest5000 = "sha256:" + std::string(5000, 'a');
    const char *kNameUnknown = "repository name not known";
    const char *kBlobUnknown = "blob unknown to registry";
    const char *kBadFormat = "invalid blob digest format";
    const std::vector<CgiCase> cases = {
        {"name climbing out", "GET", "/v2/../../sentinel/blobs/" + d, "", 404, "NAME_UNKNOWN",
         kNameUnknown},
        {"name ending in ..", "GET", "/v2/a/../../blobs/" + d, "", 404, "NAME_UNKNOWN",
         kNameUnknown},
        {"name with a backslash", "GET", "/v2/a\\..\\b/blobs/" + d, "", 404, "NAME_UNKNOWN",
         kNameUnknown},
        {"name percent-encoded", "GET", "/v2/%2e%2e%2fsentinel/blobs/" + d, "", 404,
         "NAME_UNKNOWN", kNameUnknown},
        {"name of 256 bytes", "GET", "/v2/" + name256 + "/blobs/" + d, "", 404, "NAME_UNKNOWN",
         kNameUnknown},
        {"name of 5000 bytes", "HEAD", "/v2/" + name5000 + "/blobs/" + d, "", 404,
         "NAME_UNKNOWN", kNameUnknown},
        {"name of invalid UTF-8", "GET", "/v2/\xff\xfe\xc3/blobs/" + d, "", 404, "NAME_UNKNOWN",
         kNameUnknown},
        {"name with a line break", "GET", "/v2/a\r\nX-Evil: 1/blobs/" + d, "", 404,
         "NAME_UNKNOWN", kNameUnknown},
        // The name takes no part in finding a blob: a name the edge rule
        // lets through with ".." in it still only addresses the root's store.
        // A ".." component is no repository name, for the blob endpoint as
        // for every other.
        {"name a/../b", "GET", "/v2/a/../b/blobs/" + d, "", 404, "NAME_UNKNOWN",
         kNameUnknown},
        {"name of 255 bytes", "GET", "/v2/" + name255 + "/blobs/" + d, "", 404, "BLOB_UNKNOWN",
         kBlobUnknown},
        {"digest climbing out", "GET", "/v2/x/blobs/sha256:../../sentinel/secret", "", 404,
         "BLOB_UNKNOWN", kBlobUnknown},
        {"digest then a path", "GET", "/v2/x/blobs/" + d + "/../../../sentinel/secret", "", 404,
         "BLOB_UNKNOWN", kBlobUnknown},
        {"digest with backslashes", "GET", "/v2/x/blobs/sha256:..\\..\\sentinel\\secret", "", 404,
         "BLOB_UNKNOWN", kBlobUnknown},
        {"digest percent-encoded", "GET", "/v2/x/blobs/sha256:%2e%2e%2f%2e%2e%2fsentinel", "",
         404, "BLOB_UNKNOWN", kBlobUnknown},
        {"digest of invalid UTF-8", "GET", "/v2/x/blobs/sha256:\xc3\x28\xff", "", 404,
         "BLOB_UNKNOWN", kBlobUnknown},
        {"digest of 5000 bytes", "GET", "/v2/x/blobs/" + digest5000, "", 404, "BLOB_UNKNOWN",
         kBlobUnknown},
        {"digest with a header after it", "GET", "/v2/x/blobs/" + d + "\r\nSet-Cookie: a=b", "",
         404, "BLOB_UNKNOWN", kBlobUnknown},
        {"digest without the prefix", "GET", "/v2/x/blobs/../../sentinel/secret", "", 404,
         "BLOB_UNKNOWN", kBadFormat},
        {"digest prefix percent-encoded", "GET", "/v2/x/blobs/sha256%3a" + kHex64, "", 404,
         "BLOB_UNKNOWN", kBadFormat},
        {"delete climbing out", "DELETE", "/v2/x/blobs/sha256:../../sentinel/secret", "", 404,
         "BLOB_UNKNOWN", kBlobUnknown},
        {"delete of a digest that only the sentinel holds", "DELETE", "/v2/x/blobs/" + d, "", 404,
         "BLOB_UNKNOWN", kBlobUnknown},
        {"delete of the root's own tree", "DELETE", "/v2/x/blobs/sha256:", "", 404,
         "BLOB_UNKNOWN", kBlobUnknown},
        {"method with a header after it", "GET\r\nX-Evil: 1", "/v2/x/blobs/" + blob_digest_, "",
         405, "UNSUPPORTED", "Method not allowed for blob endpoint"},
    };
    Tree before = snapshot(dir_.path());
    for (const CgiCase &c : cases) {
        SCOPED_TRACE(c.what);
        auto r = request(c.method, c.path, c.range);
        EXPECT_EQ(r.exit_status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out, error_reply(c.status, c.code, c.message));
        EXPECT_EQ(r.out.find(kSecret), std::string::npos);
        Tree after = snapshot(dir_.path());
        EXPECT_EQ(tree_diff(before, after), "");
    }
}

struct RangeCase {
    std::string range;
    int status;       // 200, 206 or 416
    int first, last;  // the bytes sent for 200 and 206
};

TEST_F(HostileCgi, OversizedNegativeAndMalformedRanges) {
    const std::string huge = "99999999999999999999";
    const std::vector<RangeCase> cases = {
        // A '-' right after "bytes=" asks for a suffix: the number after it
        // is the count of last bytes, read like strtoll.
        {"bytes=-1-5", 206, 99, 99},
        {"bytes=" + huge + "-", 416, 0, 0},
        {"bytes=0--5", 416, 0, 0},
        {"bytes=--5", 416, 0, 0},
        {"bytes=-" + huge + "-5", 206, 0, 99},
        {"bytes=5-" + huge, 206, 5, 99},
        {"bytes=9223372036854775807-9223372036854775807", 416, 0, 0},
        {"bytes=-9223372036854775808-", 206, 0, 99},
        {"bytes=" + std::string(100000, '9') + "-1", 416, 0, 0},
        {"bytes=-", 416, 0, 0},
        {"bytes=-0", 416, 0, 0},
        {"bytes= 5-7", 206, 5, 7},
        {"bytes=0-0x10", 206, 0, 0},
        {"bytes=1e3-", 206, 1, 99},
        {"bytes=abc", 200, 0, 99},
        {"bytes=\xff\xfe-\x80", 206, 0, 0},
        {"bytes=50-40,0-99", 416, 0, 0},
        {"bytes 0-9", 200, 0, 99},
        {"BYTES=0-9", 200, 0, 99},
    };
    const std::string path = "/v2/library/app/blobs/" + blob_digest_;
    Tree before = snapshot(dir_.path());
    for (const RangeCase &c : cases) {
        SCOPED_TRACE(c.range.substr(0, 60));
        auto r = request("GET", path, c.range);
        EXPECT_EQ(r.exit_status, 0);
        std::string want;
        if (c.status == 416) {
            want = error_reply(416, "RANGE_NOT_SATISFIABLE", "Requested range not satisfiable");
        } else {
            want = c.status == 206 ? "Status: 206 Partial Content\r\nContent-Range: bytes " +
                                         std::to_string(c.first) + "-" + std::to_string(c.last) +
                                         "/100\r\n"
                                   : "Status: 200 OK\r\n";
            want += blob_headers(blob_digest_, c.last - c.first + 1) +
                    blob_.substr(c.first, c.last - c.first + 1);
        }
        EXPECT_EQ(r.out, want);
    }
    EXPECT_EQ(tree_diff(before, snapshot(dir_.path())), "");
}

// ---- The storage library ---------------------------------------------------

class HostileLibrary : public HostileFixture {
  protected:
    void SetUp() override {
        HostileFixture::SetUp();
        char digest[REG_DIGEST_STRING_SIZE];
        ASSERT_EQ(reg_manifest_put("lib/app", "v1", manifest_.data(), manifest_.size(), nullptr,
                                   digest),
                  0)
            << reg_storage_last_error();
        manifest_digest_ = digest;
    }

    // Runs op, which must fail: -1 (or NULL) with a message that begins as
    // expected; nothing anywhere in the scratch tree may change.
    template <typename Op>
    void expect_refused(const std::string &what, const std::string &message_start, Op op) {
        SCOPED_TRACE(what);
        Tree before = snapshot(dir_.path());
        EXPECT_TRUE(op());
        std::string message = reg_storage_last_error();
        EXPECT_FALSE(message.empty());
        EXPECT_EQ(message.substr(0, message_start.size()), message_start) << message;
        EXPECT_EQ(tree_diff(before, snapshot(dir_.path())), "");
    }

    const std::string manifest_ = "{\"config\":{\"digest\":\"sha256:" + kHex64 +
                                  "\"},\"layers\":[{\"digest\":\"sha256:" + kHex64 + "\"}]}";
    std::string manifest_digest_;
};

// Repository names that would leave <root>/repositories, land in another
// repository's directory, or are not names at all.
const std::vector<std::string> &hostile_repo_names() {
    static const std::vector<std::string> names = {
        "..",
        "../sentinel",
        "../../sentinel",
        "lib/../../../sentinel",
        "lib/..",
        "/abs/path",
        "lib//app",
        "lib/app/",
        ".",
        "./lib",
        "lib/./app",
        "lib/app/_manifests",
        "_manifests",
        "..\\..\\sentinel",
        "lib\\app",
        "%2e%2e%2fsentinel",
        "lib%2fapp",
        std::string(256, 'a'),
        std::string(5000, 'a'),
        "\xff\xfe",
        "caf\xc3\xa9",
        "\xc0\xae\xc0\xae/sentinel",  // overlong UTF-8 for ".."
        "lib\napp",
        "lib app",
        "",
    };
    return names;
}

// Tags that would leave the repository's tags directory or are not tags.
const std::vector<std::string> &hostile_tags() {
    static const std::vector<std::string> tags = {
        "..",
        ".",
        "../../../../../../sentinel",  // from tags/ up to the scratch folder
        "a/b",
        "/abs",
        "a\\b",
        "..\\..\\x",
        ".hidden",
        "-dash",
        "%2e%2e%2f",
        std::string(129, 't'),
        std::string(5000, 't'),
        "\xff",
        "v1\n",
        "v 1",
        "SHA256:" + kHex64,
    };
    return tags;
}

TEST_F(HostileLibrary, RepositoryNamesAreRefusedByEveryOperation) {
    char ct[REG_CONTENT_TYPE_SIZE], digest[REG_DIGEST_STRING_SIZE];
    for (const std::string &repo : hostile_repo_names()) {
        std::string shown = repo.substr(0, 40);
        const char *r = repo.c_str();
        expect_refused("put " + shown, "invalid repository name", [&] {
            return reg_manifest_put(r, "v1", manifest_.data(), manifest_.size(), nullptr,
                                    digest) == -1;
        });
        expect_refused("put by digest " + shown, "invalid repository name", [&] {
            return reg_manifest_put(r, manifest_digest_.c_str(), manifest_.data(),
                                    manifest_.size(), nullptr, digest) == -1;
        });
        expect_refused("get " + shown, "invalid repository name",
                       [&] { return reg_manifest_get(r, "v1", ct, digest) == nullptr; });
        expect_refused("delete " + shown, "invalid repository name",
                       [&] { return reg_manifest_delete(r, manifest_digest_.c_str()) == -1; });
        expect_refused("tags " + shown, "invalid repository name",
                       [&] { return reg_tags_list_json(r) == nullptr; });
    }
}

TEST_F(HostileLibrary, TagsAreRefusedByEveryOperation) {
    char ct[REG_CONTENT_TYPE_SIZE], digest[REG_DIGEST_STRING_SIZE];
    for (const std::string &tag : hostile_tags()) {
        std::string shown = tag.substr(0, 40);
        const char *t = tag.c_str();
        expect_refused("put " + shown, "invalid tag: ", [&] {
            return reg_manifest_put("lib/app", t, manifest_.data(), manifest_.size(), nullptr,
                                    digest) == -1;
        });
        expect_refused("get " + shown, "invalid tag: ",
                       [&] { return reg_manifest_get("lib/app", t, ct, digest) == nullptr; });
        expect_refused("delete " + shown, "invalid tag: ",
                       [&] { return reg_manifest_delete("lib/app", t) == -1; });
    }
    expect_refused("put with an empty tag", "empty reference", [&] {
        return reg_manifest_put("lib/app", "", manifest_.data(), manifest_.size(), nullptr,
                                digest) == -1;
    });
}

// Digest strings that are not "sha256:" and 64 lowercase hex digits, for
// manifests, blobs and the declared digest of an upload.
const std::vector<std::string> &hostile_digests() {
    static const std::vector<std::string> digests = {
        "sha256:../../sentinel/secret",
        "sha256:" + kHex64 + "/../../../../sentinel/secret",
        "sha256:" + kHex64.substr(0, 62) + "/.",
        "sha256:..\\..\\sentinel\\secret",
        "sha256:%2e%2e%2f%2e%2e%2fsentinel",
        "sha256:" + kHex64 + "\n",
        "sha256:" + std::string(5000, 'a'),
        "sha256:" + std::string(64, '\xff'),
        "sha256:",
    };
    return digests;
}

TEST_F(HostileLibrary, DigestsAreRefusedByEveryOperation) {
    char ct[REG_CONTENT_TYPE_SIZE], digest[REG_DIGEST_STRING_SIZE], path[4096];
    for (const std::string &bad : hostile_digests()) {
        std::string shown = bad.substr(0, 40);
        const char *b = bad.c_str();
        expect_refused("manifest get " + shown, "invalid digest reference",
                       [&] { return reg_manifest_get("lib/app", b, ct, digest) == nullptr; });
        expect_refused("manifest delete " + shown, "invalid digest reference",
                       [&] { return reg_manifest_delete("lib/app", b) == -1; });
        expect_refused("blob exists " + shown, "invalid digest",
                       [&] { return reg_blob_exists(b) == -1; });
        expect_refused("blob size " + shown, "invalid digest",
                       [&] { return reg_blob_get_size(b) == -1; });
        expect_refused("blob path " + shown, "invalid digest",
                       [&] { return reg_blob_get_filepath(b, path, sizeof path) == -1; });
        expect_refused("blob delete " + shown, "invalid digest",
                       [&] { return reg_blob_delete(b) == -1; });
    }
}

TEST_F(HostileLibrary, UploadIdsAndDeclaredDigestsAreRefused) {
    const std::vector<std::string> ids = {
        "../../sentinel/secret",
        "01234567-89ab-cdef-0123-456789abcdef/../../../../sentinel/secret",
        "01234567-89ab-cdef-0123-../../secret",
        "01234567\\89ab\\cdef\\0123\\456789abcdef",
        "%2e%2e%2f%2e%2e%2f%2e%2e%2fsentinel%2f",
        "01234567-89AB-CDEF-0123-456789ABCDEF",
        std::string(5000, 'a'),
        "01234567-89ab-cdef-0123-456789abcde\xff",
        "",
    };
    char out[REG_DIGEST_STRING_SIZE];
    const char byte = 'x';
    for (const std::string &id : ids) {
        std::string shown = id.substr(0, 40);
        const char *u = id.c_str();
        expect_refused("append " + shown, "invalid upload uuid",
                       [&] { return reg_blob_append_chunk(u, &byte, 1) == -1; });
        expect_refused("finish " + shown, "invalid upload uuid",
                       [&] { return reg_blob_finish_upload(u, blob_digest_.c_str(), out) == -1; });
        expect_refused("cancel " + shown, "invalid upload uuid",
                       [&] { return reg_blob_cancel_upload(u) == -1; });
    }
    // A real upload with a hostile declared digest: refused, and the upload
    // stays as it was.
    char uuid[REG_UPLOAD_ID_SIZE];
    ASSERT_EQ(reg_blob_start_upload(uuid), 0);
    ASSERT_EQ(reg_blob_append_chunk(uuid, blob_.data(), blob_.size()), 0);
    for (const std::string &bad : hostile_digests())
        expect_refused("finish declaring " + bad.substr(0, 40), "invalid expected digest",
                       [&] { return reg_blob_finish_upload(uuid, bad.c_str(), out) == -1; });
    EXPECT_EQ(reg_blob_cancel_upload(uuid), 0);
}

TEST_F(HostileLibrary, OversizedAndEmptyManifestBodiesAreRefused) {
    char digest[REG_DIGEST_STRING_SIZE];
    // The length is refused before a byte is read, whatever the pointer.
    struct Case {
        uint64_t length;
        const char *message;
    } cases[] = {
        {UINT64_MAX, "manifest too large: "},
        {static_cast<uint64_t>(INT64_MAX) + 1, "manifest too large: "},
        {1048576, "manifest too large: "},
        {0, "manifest JSON parse failed"},
    };
    for (const Case &c : cases)
        expect_refused("length " + std::to_string(c.length), c.message, [&] {
            return reg_manifest_put("lib/app", "v2", manifest_.data(), c.length, nullptr,
                                    digest) == -1;
        });
}

// A NUL byte ends a C string: the library sees only the text in front of
// it, and that text alone decides where anything is written.
TEST_F(HostileLibrary, EmbeddedNulCutsNamesAndTags) {
    const std::string repo("lib/app\0/../../../sentinel", 26);
    const std::string tag("v2\0/../../../../../../sentinel/secret", 37);
    char digest[REG_DIGEST_STRING_SIZE], ct[REG_CONTENT_TYPE_SIZE];
    Tree before = snapshot(dir_.path());
    ASSERT_EQ(reg_manifest_put(repo.c_str(), tag.c_str(), manifest_.data(), manifest_.size(),
                               nullptr, digest),
              0)
        << reg_storage_last_error();
    Tree after = snapshot(dir_.path());
    for (const auto &[path, what] : after) {
        if (before.count(path) != 0) continue;
        EXPECT_EQ(path.rfind("root/repositories/lib/app/_manifests/tags/v2", 0), 0u) << path;
    }
    for (const auto &[path, what] : before) {
        ASSERT_EQ(after.count(path), 1u) << path;
        if (path.rfind("root/", 0) != 0) {
            EXPECT_EQ(after.at(path), what) << path;
        }
    }
    const char *body = reg_manifest_get("lib/app", "v2", ct, digest);
    ASSERT_NE(body, nullptr);
    EXPECT_EQ(body, manifest_);
    EXPECT_EQ(read_whole_file(sentinel() + "/secret"), kSecret);
}

}  // namespace
