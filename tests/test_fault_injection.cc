// Fault injection: every platform call that a storage operation makes is
// made to fail in turn, once (a transient error) and from then on (a disk
// gone bad). After each failure the operation must report it with a message,
// or succeed where the failing step is best effort by design; the store's
// invariants must hold; and the same operation retried without faults must
// succeed and take effect.
#include <gtest/gtest.h>

#include <cstdio>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "endpoint/v2_blob.h"
#include "platform/platform.h"
#include "platform/platform_fault.h"
#include "storage/reg_storage.h"
#include "storage/layout.h"
#include "tests/support/invariants.h"
#include "tests/support/process.h"
#include "tests/support/reference_sha512.h"

namespace {

using namespace testing_support;
namespace fs = std::filesystem;
using Notes = std::vector<std::string>;

const char kRepo[] = "library/app";

std::string digest_of(const std::string &bytes) { return "sha256:" + reference_sha256_hex(bytes); }
std::string sha512_digest_of(const std::string &bytes) {
    return "sha512:" + reference_sha512_hex(bytes);
}
std::string hex_of(const std::string &digest) { return digest.substr(7); }

const std::string kChunkA = random_bytes(1000, 11);
const std::string kChunkB = random_bytes(70000, 12);
const std::string kUpload = kChunkA + kChunkB;
const std::string kBlobX = random_bytes(5000, 13);

// Bytes whose digest shares its fan-out directory with kBlobX.
std::string neighbour_of_blob_x() {
    std::string fan = hex_of(digest_of(kBlobX)).substr(0, 2);
    for (unsigned seed = 100;; seed++) {
        std::string bytes = random_bytes(3000, seed);
        if (hex_of(digest_of(bytes)).compare(0, 2, fan) == 0) return bytes;
    }
}
const std::string kBlobY = neighbour_of_blob_x();

std::string manifest_body(int n) {
    return "{\"schemaVersion\":2,\"config\":{\"digest\":\"" + digest_of(kBlobX) +
           "\"},\"layers\":[{\"digest\":\"" + digest_of(kBlobY) + "\"}],\"n\":" +
           std::to_string(n) + "}";
}
const std::string kManifest0 = manifest_body(0);
const std::string kManifest1 = manifest_body(1);
// An untagged manifest whose layer no other manifest names.
const std::string kLoneManifest = "{\"schemaVersion\":2,\"config\":{\"digest\":\"" +
                                  digest_of(kBlobX) + "\"},\"layers\":[{\"digest\":\"" +
                                  digest_of(kChunkB) + "\"}]}";

std::string oci_descriptor(const char *type, const std::string &bytes) {
    return std::string("{\"mediaType\":\"") + type + "\",\"digest\":\"" + digest_of(bytes) +
           "\",\"size\":" + std::to_string(bytes.size()) + "}";
}
// An OCI image that names kBlobX and the orphan kUpload, and an index whose
// child is the untagged kLoneManifest: what a client may push while a
// collection runs.
const std::string kLateImage =
    std::string("{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.manifest.v1+json\",") +
    "\"config\":" + oci_descriptor("application/vnd.oci.image.config.v1+json", kBlobX) +
    ",\"layers\":[" + oci_descriptor("application/vnd.oci.image.layer.v1.tar", kUpload) + "]}";
const std::string kLateIndex =
    std::string("{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.index.v1+json\",") +
    "\"manifests\":[" + oci_descriptor("application/vnd.oci.image.manifest.v1+json", kLoneManifest) +
    "]}";

// Sets the modification time of every file under dir two hours back.
void age_files(const std::string &dir) {
    auto then = fs::file_time_type::clock::now() - std::chrono::hours(2);
    for (const auto &e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file()) fs::last_write_time(e.path(), then);
}

const char kOciManifestType[] = "application/vnd.oci.image.manifest.v1+json";

// An OCI image manifest of kBlobX and kBlobY whose subject is kManifest0,
// which need not be stored: the typed put records a referrer link for it.
const std::string kReferrer =
    std::string("{\"schemaVersion\":2,\"mediaType\":\"") + kOciManifestType +
    "\",\"config\":{\"mediaType\":\"application/vnd.oci.image.config.v1+json\",\"digest\":\"" +
    digest_of(kBlobX) + "\",\"size\":" + std::to_string(kBlobX.size()) +
    "},\"layers\":[{\"mediaType\":\"application/vnd.oci.image.layer.v1.tar\",\"digest\":\"" +
    digest_of(kBlobY) + "\",\"size\":" + std::to_string(kBlobY.size()) +
    "}],\"subject\":{\"mediaType\":\"" + kOciManifestType + "\",\"digest\":\"" +
    digest_of(kManifest0) + "\",\"size\":" + std::to_string(kManifest0.size()) + "}}";

// One storage root, prepared for one run of the operation under test.
struct Store {
    ScratchDir dir;
    std::string root = dir / "root";
    std::string upload_id;
    uint64_t appended = 0;  // what the last append_stream reported
    std::string got;        // the document a reading operation gave

    std::string at(const std::string &relative) const { return root + "/" + relative; }
    std::string blob_path(const std::string &bytes) const {
        std::string hex = hex_of(digest_of(bytes));
        return at("blobs/sha256/" + hex.substr(0, 2) + "/" + hex);
    }
    // Where the blob of bytes is kept under its SHA-512 digest.
    std::string sha512_blob_path(const std::string &bytes) const {
        std::string hex = hex_of(sha512_digest_of(bytes));
        return at("blobs/sha512/" + hex.substr(0, 2) + "/" + hex);
    }
    std::string upload_path() const { return at("uploads/" + upload_id + ".part"); }
    std::string manifests_dir() const { return at(std::string("repositories/") + kRepo + "/_manifests"); }
    std::string body_path(const std::string &body) const {
        return manifests_dir() + "/" + hex_of(digest_of(body));
    }
    std::string revision_link(const std::string &body) const {
        return manifests_dir() + "/revisions/sha256/" + hex_of(digest_of(body)) + "/link";
    }
    std::string tag_link(const std::string &tag) const {
        return manifests_dir() + "/tags/" + tag + "/current/link";
    }
    std::string referrer_link(const std::string &subject, const std::string &body) const {
        return manifests_dir() + "/referrers/sha256/" + hex_of(digest_of(subject)) + "/" +
               hex_of(digest_of(body));
    }
    int upload_files() const {
        int n = 0;
        std::error_code ec;
        for (fs::directory_iterator it(at("uploads"), ec), end; !ec && it != end; it.increment(ec))
            n++;
        return n;
    }

    void init() { ASSERT_EQ(reg_storage_init(root.c_str()), 0) << reg_storage_last_error(); }
    void start() {
        char id[REG_UPLOAD_ID_SIZE];
        ASSERT_EQ(reg_blob_start_upload(id), 0) << reg_storage_last_error();
        upload_id = id;
    }
    void append(const std::string &bytes) {
        ASSERT_EQ(reg_blob_append_chunk(upload_id.c_str(), bytes.data(), bytes.size()), 0)
            << reg_storage_last_error();
    }
    void store_blob(const std::string &bytes) {
        start();
        append(bytes);
        char digest[REG_DIGEST_STRING_SIZE];
        ASSERT_EQ(reg_blob_finish_upload(upload_id.c_str(), digest_of(bytes).c_str(), digest), 0)
            << reg_storage_last_error();
    }
    void put(const std::string &reference, const std::string &body) {
        char digest[REG_DIGEST_STRING_SIZE];
        ASSERT_EQ(reg_manifest_put(kRepo, reference.c_str(), body.data(), body.size(), nullptr,
                                   digest),
                  0)
            << reg_storage_last_error();
    }
    std::string temporary() const { return body_path(kManifest0) + ".tmp-1-1"; }
    // A store with something of every kind a collection removes, all two
    // hours old: app:latest (kManifest0, naming X and Y), the untagged
    // kLoneManifest with the only reference to kChunkB, the orphan blob
    // kUpload, an upload and a temporary.
    void fill_for_gc() {
        init();
        for (const std::string *b : {&kBlobX, &kBlobY, &kChunkB, &kUpload}) store_blob(*b);
        put("latest", kManifest0);
        put(digest_of(kLoneManifest), kLoneManifest);
        start();
        append(kChunkA);
        write_whole_file(temporary(), "partial");
        age_files(root);
    }
    void put_typed(const std::string &reference, const std::string &body) {
        char digest[REG_DIGEST_STRING_SIZE], subject[REG_DIGEST_STRING_SIZE];
        ASSERT_EQ(reg_manifest_put_typed(kRepo, reference.c_str(), body.data(), body.size(),
                                         kOciManifestType, digest, subject),
                  0)
            << reg_storage_last_error();
    }
    // The bytes of the file that locate finds for reference, "<type>" after
    // them, or "(none: <message>)".
    std::string locate(const std::string &reference) const {
        char path[4096], content_type[REG_CONTENT_TYPE_SIZE], digest[REG_DIGEST_STRING_SIZE];
        int64_t size = -1;
        if (reg_manifest_locate(kRepo, reference.c_str(), path, sizeof path, content_type, digest,
                                &size) != 0)
            return std::string("(none: ") + reg_storage_last_error() + ")";
        std::string bytes = read_whole_file(path);
        EXPECT_EQ(size, static_cast<int64_t>(bytes.size())) << "locate's size of " << reference;
        return bytes + "<" + content_type + ">";
    }
    // 1 when the referrers document of subject lists the manifest body, 0
    // when it does not, -1 when there is no document.
    int lists_referrer(const std::string &subject, const std::string &body) const {
        const char *doc = reg_referrers_json(kRepo, digest_of(subject).c_str(), nullptr);
        EXPECT_NE(doc, nullptr) << reg_storage_last_error();
        if (doc == nullptr) return -1;
        return std::string(doc).find("\"digest\":\"" + digest_of(body) + "\"") != std::string::npos;
    }
    // The body that get returns for reference, or "(none: <message>)".
    std::string get(const std::string &reference) const {
        char content_type[REG_CONTENT_TYPE_SIZE], digest[REG_DIGEST_STRING_SIZE];
        const char *body = reg_manifest_get(kRepo, reference.c_str(), content_type, digest);
        if (body == nullptr) return std::string("(none: ") + reg_storage_last_error() + ")";
        return body;
    }
};

// A best-effort step that left something behind, as a note for the report.
void note_if(Notes &notes, bool left_behind, const std::string &what) {
    if (left_behind) notes.push_back(what);
}

// A manifest's body and content-type files that a delete left behind.
void note_manifest_files(Notes &notes, Store &s, const std::string &manifest) {
    note_if(notes, path_exists(s.body_path(manifest)), "the manifest body");
    note_if(notes, path_exists(s.body_path(manifest) + ".ct"), "its content type");
}

struct Scenario {
    const char *name;
    std::function<void(Store &)> prepare;  // runs without faults
    std::function<int(Store &)> operation;
    // After a success: the operation's effect holds (checked with EXPECT);
    // returns what best-effort steps left behind.
    std::function<Notes(Store &)> check_done;
    // After a failure: what the failure left is acceptable.
    std::function<Notes(Store &)> check_failed;
    // After a failure: the operation took effect before it failed, so that a
    // retry has nothing to do. Empty: never.
    std::function<bool(Store &)> committed = {};
    // The retry after a failure. Empty: the operation again.
    std::function<int(Store &)> retry = {};
};

Notes nothing_to_note(Store &) { return {}; }

int finish_upload(Store &s) {
    char digest[REG_DIGEST_STRING_SIZE];
    return reg_blob_finish_upload(s.upload_id.c_str(), digest_of(kUpload).c_str(), digest);
}

int collect_garbage(Store &) {
    reg_gc_options options{};
    options.grace_seconds = 3600;
    options.expiry_seconds = 3600;
    options.delete_untagged = 1;
    reg_gc_report report{};
    int rc = reg_gc(&options, &report);
    reg_gc_report_free(&report);
    return rc;
}

// What a client reaches through app:latest is there whole.
void expect_latest_whole(Store &s) {
    EXPECT_EQ(s.get("latest"), kManifest0);
    EXPECT_EQ(read_whole_file(s.blob_path(kBlobX)), kBlobX);
    EXPECT_EQ(read_whole_file(s.blob_path(kBlobY)), kBlobY);
}

int put_manifest(Store &s, const std::string &reference, const std::string &body) {
    (void)s;
    char digest[REG_DIGEST_STRING_SIZE];
    return reg_manifest_put(kRepo, reference.c_str(), body.data(), body.size(), nullptr, digest);
}

int put_referrer(const std::string &reference) {
    char digest[REG_DIGEST_STRING_SIZE], subject[REG_DIGEST_STRING_SIZE];
    int rc = reg_manifest_put_typed(kRepo, reference.c_str(), kReferrer.data(), kReferrer.size(),
                                    kOciManifestType, digest, subject);
    if (rc == 0) {
        EXPECT_EQ(digest, digest_of(kReferrer));
        EXPECT_EQ(subject, digest_of(kManifest0));
    }
    return rc;
}

// Appends bytes to the upload from a stream over them, as an endpoint
// passes a request body; the count appended goes to s.appended.
int append_stream(Store &s, const std::string &bytes) {
    // A temporary file of the C library, made and filled outside the
    // platform layer, so that only the storage's reads of it (through
    // plat_fread, as of a request body) are counted and failed.
    FILE *in = tmpfile();
    EXPECT_NE(in, nullptr);
    if (in == nullptr) return -2;
    fwrite(bytes.data(), 1, bytes.size(), in);
    rewind(in);
    s.appended = ~0ull;
    int rc = reg_blob_append_stream(s.upload_id.c_str(), in, bytes.size(), &s.appended);
    fclose(in);
    return rc;
}

// Start, one streamed body, finish: a monolithic upload as one operation.
int monolithic_upload(Store &s) {
    char id[REG_UPLOAD_ID_SIZE], digest[REG_DIGEST_STRING_SIZE];
    if (reg_blob_start_upload(id) != 0) return -1;
    s.upload_id = id;
    if (append_stream(s, kUpload) != 0) return -1;
    if (s.appended != kUpload.size()) {
        ADD_FAILURE() << "append_stream succeeded with " << s.appended << " bytes";
        return -1;
    }
    return reg_blob_finish_upload(id, digest_of(kUpload).c_str(), digest);
}

// The whole upload in one pass under its SHA-512 digest, as a monolithic
// request stores it.
int put_stream_sha512(Store &) {
    FILE *in = tmpfile();
    EXPECT_NE(in, nullptr);
    if (in == nullptr) return -2;
    fwrite(kUpload.data(), 1, kUpload.size(), in);
    rewind(in);
    char digest[REG_DIGEST_STRING_SIZE];
    uint64_t received = 0;
    int rc = reg_blob_put_stream(in, static_cast<int64_t>(kUpload.size()),
                                 sha512_digest_of(kUpload).c_str(), digest, &received);
    fclose(in);
    return rc;
}

const std::string kReferrerLocated = kReferrer + "<" + kOciManifestType + ">";

// Reads app:latest into s.got.
int get_latest(Store &s) {
    char content_type[REG_CONTENT_TYPE_SIZE], digest[REG_DIGEST_STRING_SIZE];
    const char *body = reg_manifest_get(kRepo, "latest", content_type, digest);
    s.got = body != nullptr ? body : "";
    return body != nullptr ? 0 : -1;
}

// Reads the tag list of the repository into s.got.
int list_tags(Store &s) {
    const char *doc = reg_tags_list_json(kRepo);
    s.got = doc != nullptr ? doc : "";
    return doc != nullptr ? 0 : -1;
}

// A store with app:latest and app:v1 naming kManifest0, and its blobs.
void fill_for_reads(Store &s) {
    s.init();
    s.store_blob(kBlobX);
    s.store_blob(kBlobY);
    s.put("latest", kManifest0);
    s.put("v1", kManifest0);
}

std::vector<Scenario> scenarios() {
    return {
        {"init_fresh_root", [](Store &) {},
         [](Store &s) { return reg_storage_init(s.root.c_str()); },
         [](Store &s) {
             for (const char *dir : {"blobs/sha256", "repositories", "uploads"})
                 EXPECT_TRUE(fs::is_directory(s.at(dir))) << dir;
             EXPECT_EQ(fs::file_size(s.at("config.json")), 110u);
             EXPECT_EQ(reg_blob_exists(digest_of(kBlobX).c_str()), 0);
             return Notes{};
         },
         [](Store &) {
             EXPECT_EQ(reg_blob_exists(digest_of(kBlobX).c_str()), -1) << "ready after a failure";
             return Notes{};
         }},
        {"init_existing_root",
         [](Store &s) {
             s.init();
             s.store_blob(kBlobX);
             reg_storage_cleanup();
         },
         [](Store &s) { return reg_storage_init(s.root.c_str()); },
         [](Store &s) {
             EXPECT_EQ(read_whole_file(s.blob_path(kBlobX)), kBlobX);
             EXPECT_EQ(reg_blob_exists(digest_of(kBlobX).c_str()), 1);
             return Notes{};
         },
         nothing_to_note},
        {"upload_start", [](Store &s) { s.init(); },
         [](Store &s) {
             char id[REG_UPLOAD_ID_SIZE];
             int rc = reg_blob_start_upload(id);
             s.upload_id = id;
             return rc;
         },
         [](Store &s) {
             EXPECT_TRUE(fs::is_regular_file(s.upload_path()));
             EXPECT_EQ(fs::file_size(s.upload_path()), 0u);
             Notes notes;
             note_if(notes, s.upload_files() > 1, "an empty upload file of the failed start");
             return notes;
         },
         [](Store &s) {
             Notes notes;
             note_if(notes, s.upload_files() > 0, "an empty upload file of the failed start");
             return notes;
         }},
        {"upload_append",
         [](Store &s) {
             s.init();
             s.start();
             s.append(kChunkA);
         },
         [](Store &s) {
             return reg_blob_append_chunk(s.upload_id.c_str(), kChunkB.data(), kChunkB.size());
         },
         [](Store &s) {
             EXPECT_EQ(read_whole_file(s.upload_path()), kUpload);
             return Notes{};
         },
         [](Store &s) {
             // The bytes written before the failure stay (a close that fails
             // may have written them all); the uploader resumes from the
             // upload's size.
             std::string content = read_whole_file(s.upload_path());
             EXPECT_TRUE(content.size() >= kChunkA.size() &&
                         kUpload.compare(0, content.size(), content) == 0)
                 << content.size() << " bytes";
             Notes notes;
             note_if(notes, content.size() > kChunkA.size(), "part or all of the chunk kept");
             return notes;
         },
         {},
         [](Store &s) {
             size_t have = fs::file_size(s.upload_path());
             std::string rest = kUpload.substr(have);
             return reg_blob_append_chunk(s.upload_id.c_str(), rest.data(), rest.size());
         }},
        {"upload_finish",
         [](Store &s) {
             s.init();
             s.start();
             s.append(kChunkA);
             s.append(kChunkB);
         },
         finish_upload,
         [](Store &s) {
             EXPECT_EQ(read_whole_file(s.blob_path(kUpload)), kUpload);
             EXPECT_FALSE(path_exists(s.upload_path()));
             return Notes{};
         },
         [](Store &s) {
             EXPECT_FALSE(path_exists(s.blob_path(kUpload)));
             EXPECT_EQ(read_whole_file(s.upload_path()), kUpload);
             return Notes{};
         },
         [](Store &s) {
             return !path_exists(s.upload_path()) && read_whole_file(s.blob_path(kUpload)) == kUpload;
         }},
        {"upload_finish_sha512",
         [](Store &s) {
             s.init();
             s.start();
             s.append(kChunkA);
             s.append(kChunkB);
         },
         [](Store &s) {
             char digest[REG_DIGEST_STRING_SIZE];
             return reg_blob_finish_upload(s.upload_id.c_str(), sha512_digest_of(kUpload).c_str(),
                                           digest);
         },
         [](Store &s) {
             EXPECT_EQ(read_whole_file(s.sha512_blob_path(kUpload)), kUpload);
             EXPECT_FALSE(path_exists(s.upload_path()));
             EXPECT_FALSE(path_exists(s.blob_path(kUpload)));
             return Notes{};
         },
         [](Store &s) {
             EXPECT_FALSE(path_exists(s.sha512_blob_path(kUpload)));
             EXPECT_EQ(read_whole_file(s.upload_path()), kUpload);
             return Notes{};
         },
         [](Store &s) {
             return !path_exists(s.upload_path()) &&
                    read_whole_file(s.sha512_blob_path(kUpload)) == kUpload;
         }},
        {"blob_put_stream_sha512", [](Store &s) { s.init(); }, put_stream_sha512,
         [](Store &s) {
             EXPECT_EQ(read_whole_file(s.sha512_blob_path(kUpload)), kUpload);
             Notes notes;
             note_if(notes, s.upload_files() > 0, "an upload file");
             return notes;
         },
         [](Store &s) {
             // Nothing stays that no client can name: the blob is whole (the
             // invariants check its bytes) or absent.
             Notes notes;
             note_if(notes, s.upload_files() > 0, "an upload file");
             note_if(notes, path_exists(s.sha512_blob_path(kUpload)),
                     "the blob, stored before the failure");
             return notes;
         }},
        {"repo_blob_link",
         [](Store &s) {
             s.init();
             s.store_blob(kUpload);
         },
         [](Store &) { return reg_repo_blob_link(kRepo, digest_of(kUpload).c_str()); },
         [](Store &) {
             EXPECT_EQ(reg_repo_holds_blob(kRepo, digest_of(kUpload).c_str()), 1);
             return Notes{};
         },
         [](Store &s) {
             // The link is whole or absent (the invariants check its text),
             // and the blob stays.
             EXPECT_EQ(read_whole_file(s.blob_path(kUpload)), kUpload);
             return Notes{};
         },
         [](Store &) { return reg_repo_holds_blob(kRepo, digest_of(kUpload).c_str()) == 1; }},
        {"upload_finish_already_stored",
         [](Store &s) {
             s.init();
             s.store_blob(kUpload);
             s.start();
             s.append(kUpload);
         },
         finish_upload,
         [](Store &s) {
             EXPECT_EQ(read_whole_file(s.blob_path(kUpload)), kUpload);
             Notes notes;
             note_if(notes, path_exists(s.upload_path()), "the finished upload's file");
             return notes;
         },
         [](Store &s) {
             EXPECT_EQ(read_whole_file(s.blob_path(kUpload)), kUpload);
             EXPECT_EQ(read_whole_file(s.upload_path()), kUpload);
             return Notes{};
         }},
        {"upload_cancel",
         [](Store &s) {
             s.init();
             s.start();
             s.append(kChunkA);
         },
         [](Store &s) { return reg_blob_cancel_upload(s.upload_id.c_str()); },
         [](Store &s) {
             EXPECT_FALSE(path_exists(s.upload_path()));
             return Notes{};
         },
         [](Store &s) {
             EXPECT_EQ(read_whole_file(s.upload_path()), kChunkA);
             return Notes{};
         }},
        {"blob_delete_last_in_fan_out",
         [](Store &s) {
             s.init();
             s.store_blob(kBlobX);
         },
         [](Store &) { return reg_blob_delete(digest_of(kBlobX).c_str()); },
         [](Store &s) {
             EXPECT_FALSE(path_exists(s.blob_path(kBlobX)));
             Notes notes;
             note_if(notes, path_exists(fs::path(s.blob_path(kBlobX)).parent_path().string()),
                     "the empty fan-out directory");
             return notes;
         },
         [](Store &s) {
             EXPECT_EQ(read_whole_file(s.blob_path(kBlobX)), kBlobX);
             return Notes{};
         }},
        {"blob_delete_shared_fan_out",
         [](Store &s) {
             s.init();
             s.store_blob(kBlobX);
             s.store_blob(kBlobY);
         },
         [](Store &) { return reg_blob_delete(digest_of(kBlobX).c_str()); },
         [](Store &s) {
             EXPECT_FALSE(path_exists(s.blob_path(kBlobX)));
             EXPECT_EQ(read_whole_file(s.blob_path(kBlobY)), kBlobY);
             return Notes{};
         },
         [](Store &s) {
             EXPECT_EQ(read_whole_file(s.blob_path(kBlobX)), kBlobX);
             EXPECT_EQ(read_whole_file(s.blob_path(kBlobY)), kBlobY);
             return Notes{};
         }},
        {"manifest_put_new_tag", [](Store &s) { s.init(); },
         [](Store &s) { return put_manifest(s, "latest", kManifest0); },
         [](Store &s) {
             EXPECT_EQ(s.get("latest"), kManifest0);
             EXPECT_EQ(s.get(digest_of(kManifest0)), kManifest0);
             EXPECT_TRUE(path_exists(s.revision_link(kManifest0)));
             return Notes{};
         },
         [](Store &s) {
             std::string got = s.get("latest");
             EXPECT_TRUE(got == kManifest0 || got.rfind("(none: tag not found", 0) == 0) << got;
             return Notes{};
         }},
        {"manifest_put_moves_tag",
         [](Store &s) {
             s.init();
             s.put("latest", kManifest0);
         },
         [](Store &s) { return put_manifest(s, "latest", kManifest1); },
         [](Store &s) {
             EXPECT_EQ(s.get("latest"), kManifest1);
             EXPECT_EQ(s.get(digest_of(kManifest0)), kManifest0);
             return Notes{};
         },
         [](Store &s) {
             // The tag names the old manifest, or already the new one when
             // only the sync after the tag link's rename failed.
             std::string got = s.get("latest");
             EXPECT_TRUE(got == kManifest0 || got == kManifest1) << got;
             return Notes{};
         }},
        {"manifest_put_by_digest", [](Store &s) { s.init(); },
         [](Store &s) { return put_manifest(s, digest_of(kManifest0), kManifest0); },
         [](Store &s) {
             EXPECT_EQ(s.get(digest_of(kManifest0)), kManifest0);
             EXPECT_TRUE(path_exists(s.revision_link(kManifest0)));
             return Notes{};
         },
         nothing_to_note},
        {"manifest_delete_tag_while_another_names_it",
         [](Store &s) {
             s.init();
             s.put("latest", kManifest0);
             s.put("v1", kManifest0);
         },
         [](Store &) { return reg_manifest_delete(kRepo, "latest"); },
         [](Store &s) {
             EXPECT_FALSE(path_exists(s.tag_link("latest")));
             EXPECT_EQ(s.get("v1"), kManifest0);
             return Notes{};
         },
         [](Store &s) {
             EXPECT_EQ(s.get("latest"), kManifest0);
             EXPECT_EQ(s.get("v1"), kManifest0);
             return Notes{};
         }},
        {"manifest_delete_last_tag",
         [](Store &s) {
             s.init();
             s.put("latest", kManifest0);
         },
         [](Store &) { return reg_manifest_delete(kRepo, "latest"); },
         [](Store &s) {
             EXPECT_FALSE(path_exists(s.tag_link("latest")));
             Notes notes;
             note_if(notes, path_exists(s.body_path(kManifest0)), "the untagged manifest body");
             note_if(notes, path_exists(s.body_path(kManifest0) + ".ct"), "its content type");
             note_if(notes, path_exists(s.revision_link(kManifest0)), "its revision link");
             return notes;
         },
         [](Store &s) {
             EXPECT_EQ(s.get("latest"), kManifest0);
             return Notes{};
         }},
        {"manifest_delete_tagged_digest",
         [](Store &s) {
             s.init();
             s.put("latest", kManifest0);
         },
         [](Store &) { return reg_manifest_delete(kRepo, digest_of(kManifest0).c_str()); },
         [](Store &s) {
             EXPECT_EQ(s.get("latest"), kManifest0);
             Notes notes;
             note_if(notes, path_exists(s.revision_link(kManifest0)), "the revision link");
             return notes;
         },
         [](Store &s) {
             EXPECT_EQ(s.get("latest"), kManifest0);
             return Notes{};
         }},
        {"manifest_delete_untagged_digest",
         [](Store &s) {
             s.init();
             s.put(digest_of(kManifest0), kManifest0);
         },
         [](Store &) { return reg_manifest_delete(kRepo, digest_of(kManifest0).c_str()); },
         [](Store &s) {
             Notes notes;
             note_manifest_files(notes, s, kManifest0);
             note_if(notes, path_exists(s.revision_link(kManifest0)), "its revision link");
             return notes;
         },
         nothing_to_note},
        {"upload_append_stream",
         [](Store &s) {
             s.init();
             s.start();
             s.append(kChunkA);
         },
         [](Store &s) { return append_stream(s, kChunkB); },
         [](Store &s) {
             EXPECT_EQ(read_whole_file(s.upload_path()), kUpload);
             EXPECT_EQ(reg_blob_upload_size(s.upload_id.c_str()),
                       static_cast<int64_t>(kUpload.size()));
             return Notes{};
         },
         [](Store &s) {
             // The bytes appended before the failure stay, and the count
             // reported is what the file gained: the endpoint answers the
             // client with the upload's size, and the client resumes there.
             std::string content = read_whole_file(s.upload_path());
             EXPECT_TRUE(content.size() >= kChunkA.size() &&
                         kUpload.compare(0, content.size(), content) == 0)
                 << content.size() << " bytes";
             if (content.size() >= kChunkA.size()) {
                 EXPECT_EQ(s.appended, content.size() - kChunkA.size());
             }
             Notes notes;
             note_if(notes, content.size() > kChunkA.size(), "part or all of the body kept");
             return notes;
         },
         {},
         [](Store &s) {
             int64_t have = reg_blob_upload_size(s.upload_id.c_str());
             EXPECT_GE(have, static_cast<int64_t>(kChunkA.size())) << reg_storage_last_error();
             if (have < 0) return -1;
             return append_stream(s, kUpload.substr(static_cast<size_t>(have)));
         }},
        {"upload_monolithic", [](Store &s) { s.init(); }, monolithic_upload,
         [](Store &s) {
             EXPECT_EQ(read_whole_file(s.blob_path(kUpload)), kUpload);
             Notes notes;
             // Each failed attempt leaves its session; a client that gave up
             // on it never comes back, and only a collector removes it.
             note_if(notes, s.upload_files() > 0, "the upload file of a failed attempt");
             return notes;
         },
         [](Store &s) {
             // The blob is absent or whole (the invariants check its bytes);
             // a session that failed stays with a prefix of the body.
             if (path_exists(s.upload_path())) {
                 std::string content = read_whole_file(s.upload_path());
                 EXPECT_EQ(kUpload.compare(0, content.size(), content), 0)
                     << content.size() << " bytes";
             }
             Notes notes;
             note_if(notes, s.upload_files() > 0, "the upload file of a failed attempt");
             note_if(notes, path_exists(s.blob_path(kUpload)), "the blob, stored before the failure");
             return notes;
         }},
        {"manifest_put_typed_with_subject",
         [](Store &s) {
             s.init();
             s.store_blob(kBlobX);
             s.store_blob(kBlobY);
         },
         [](Store &) { return put_referrer("v1"); },
         [](Store &s) {
             EXPECT_EQ(s.locate("v1"), kReferrerLocated);
             EXPECT_EQ(s.locate(digest_of(kReferrer)), kReferrerLocated);
             EXPECT_EQ(read_whole_file(s.referrer_link(kManifest0, kReferrer)), digest_of(kReferrer));
             EXPECT_EQ(s.lists_referrer(kManifest0, kReferrer), 1);
             return Notes{};
         },
         [](Store &s) {
             // The tag names the manifest only once everything else is
             // written; it may already when only the sync after its link's
             // rename failed.
             std::string got = s.locate("v1");
             EXPECT_TRUE(got == kReferrerLocated || got.rfind("(none: tag not found", 0) == 0)
                 << got;
             Notes notes;
             note_if(notes, path_exists(s.body_path(kReferrer)), "the untagged manifest body");
             note_if(notes, path_exists(s.revision_link(kReferrer)), "its revision link");
             note_if(notes, path_exists(s.referrer_link(kManifest0, kReferrer)), "its referrer link");
             return notes;
         }},
        {"manifest_put_typed_with_subject_by_digest",
         [](Store &s) {
             s.init();
             s.store_blob(kBlobX);
             s.store_blob(kBlobY);
         },
         [](Store &) { return put_referrer(digest_of(kReferrer)); },
         [](Store &s) {
             EXPECT_EQ(s.locate(digest_of(kReferrer)), kReferrerLocated);
             EXPECT_EQ(s.lists_referrer(kManifest0, kReferrer), 1);
             return Notes{};
         },
         [](Store &s) {
             // A manifest in the repository is listed as a referrer only
             // when its referrer link is there too.
             if (s.lists_referrer(kManifest0, kReferrer) == 1) {
                 EXPECT_EQ(s.locate(digest_of(kReferrer)), kReferrerLocated);
             }
             return Notes{};
         }},
        {"tag_delete",
         [](Store &s) {
             s.init();
             s.put("latest", kManifest0);
         },
         [](Store &) { return reg_tag_delete(kRepo, "latest"); },
         [](Store &s) {
             EXPECT_FALSE(path_exists(s.tag_link("latest")));
             EXPECT_EQ(s.get("latest").rfind("(none: tag not found", 0), 0u);
             EXPECT_EQ(s.get(digest_of(kManifest0)), kManifest0);
             EXPECT_STREQ(reg_tags_list_json(kRepo), "{\"name\":\"library/app\",\"tags\":[]}");
             Notes notes;
             // The emptied directories go after the link, best effort.
             note_if(notes, path_exists(fs::path(s.tag_link("latest")).parent_path().string()),
                     "the emptied tag directory");
             return notes;
         },
         [](Store &s) {
             EXPECT_EQ(s.get("latest"), kManifest0);
             return Notes{};
         }},
        {"manifest_delete_last_tag_of_a_referrer",
         [](Store &s) {
             s.init();
             s.store_blob(kBlobX);
             s.store_blob(kBlobY);
             s.put_typed("v1", kReferrer);
         },
         [](Store &) { return reg_manifest_delete(kRepo, "v1"); },
         [](Store &s) {
             EXPECT_FALSE(path_exists(s.tag_link("v1")));
             // Removing the manifest's files is best effort once its last
             // tag is gone; what stays is not listed without its revision.
             Notes notes;
             if (path_exists(s.revision_link(kReferrer))) {
                 EXPECT_EQ(s.lists_referrer(kManifest0, kReferrer), 1);
                 note_if(notes, true, "the untagged manifest, still a referrer");
             } else {
                 EXPECT_EQ(s.lists_referrer(kManifest0, kReferrer), 0);
             }
             note_if(notes, path_exists(s.referrer_link(kManifest0, kReferrer)), "its referrer link");
             note_if(notes, path_exists(s.body_path(kReferrer)), "its body");
             return notes;
         },
         [](Store &s) {
             EXPECT_EQ(s.locate("v1"), kReferrerLocated);
             EXPECT_EQ(s.lists_referrer(kManifest0, kReferrer), 1);
             return Notes{};
         }},
        {"manifest_delete_referrer_by_digest",
         [](Store &s) {
             s.init();
             s.store_blob(kBlobX);
             s.store_blob(kBlobY);
             s.put_typed(digest_of(kReferrer), kReferrer);
         },
         [](Store &) { return reg_manifest_delete(kRepo, digest_of(kReferrer).c_str()); },
         [](Store &s) {
             // The revision link goes or the delete fails; the rest goes best
             // effort, and a referrer link left behind names nothing listed.
             EXPECT_EQ(s.locate(digest_of(kReferrer)).rfind("(none: manifest not found", 0), 0u);
             EXPECT_EQ(s.lists_referrer(kManifest0, kReferrer), 0);
             Notes notes;
             note_if(notes, path_exists(s.referrer_link(kManifest0, kReferrer)), "the referrer link");
             note_manifest_files(notes, s, kReferrer);
             return notes;
         },
         [](Store &s) {
             EXPECT_EQ(s.locate(digest_of(kReferrer)), kReferrerLocated);
             EXPECT_EQ(s.lists_referrer(kManifest0, kReferrer), 1);
             return Notes{};
         }},
        {"manifest_remove_tagged_referrer",
         [](Store &s) {
             s.init();
             s.store_blob(kBlobX);
             s.store_blob(kBlobY);
             s.put_typed("v1", kReferrer);
             s.put_typed("v2", kReferrer);
         },
         [](Store &) { return reg_manifest_remove(kRepo, digest_of(kReferrer).c_str()); },
         [](Store &s) {
             // Every tag and the revision link go, or the remove fails; the
             // referrer link, body and content type follow best effort.
             for (const char *tag : {"v1", "v2"}) EXPECT_FALSE(path_exists(s.tag_link(tag))) << tag;
             EXPECT_EQ(s.locate(digest_of(kReferrer)).rfind("(none: manifest not found", 0), 0u);
             EXPECT_EQ(s.lists_referrer(kManifest0, kReferrer), 0);
             Notes notes;
             note_if(notes, path_exists(s.referrer_link(kManifest0, kReferrer)), "the referrer link");
             note_manifest_files(notes, s, kReferrer);
             return notes;
         },
         [](Store &s) {
             // The manifest stays in the repository, whole and listed; some
             // of its tags may be gone already.
             EXPECT_EQ(s.locate(digest_of(kReferrer)), kReferrerLocated);
             EXPECT_EQ(s.lists_referrer(kManifest0, kReferrer), 1);
             Notes notes;
             for (const char *tag : {"v1", "v2"})
                 note_if(notes, !path_exists(s.tag_link(tag)), "a tag removed before the failure");
             return notes;
         }},
        // A collection hit by a fault reports it, or passes over what a
        // fault hid from it (a listing step that failed looks like the end
        // of the directory); either way a second collection finishes the
        // work, which the check after each run makes sure of.
        // Reading operations: a read that fails gives a failure, never a
        // document with part of a file or without a tag.
        {"manifest_get", fill_for_reads, get_latest,
         [](Store &s) {
             EXPECT_EQ(s.got, kManifest0);
             return Notes{};
         },
         [](Store &s) {
             expect_latest_whole(s);
             return Notes{};
         }},
        {"tags_list", fill_for_reads, list_tags,
         [](Store &s) {
             EXPECT_EQ(s.got, std::string("{\"name\":\"") + kRepo + "\",\"tags\":[\"latest\",\"v1\"]}");
             return Notes{};
         },
         [](Store &s) {
             expect_latest_whole(s);
             return Notes{};
         }},
        {"gc_sweep", [](Store &s) { s.fill_for_gc(); }, collect_garbage,
         [](Store &s) {
             expect_latest_whole(s);
             EXPECT_EQ(collect_garbage(s), 0) << "the second run: " << reg_storage_last_error();
             expect_latest_whole(s);
             EXPECT_FALSE(path_exists(s.blob_path(kChunkB)));
             EXPECT_FALSE(path_exists(s.blob_path(kUpload)));
             EXPECT_FALSE(path_exists(s.body_path(kLoneManifest)));
             EXPECT_FALSE(path_exists(s.revision_link(kLoneManifest)));
             EXPECT_FALSE(path_exists(s.upload_path()));
             EXPECT_FALSE(path_exists(s.temporary()));
             Notes notes;
             note_if(notes, path_exists(s.body_path(kLoneManifest) + ".ct"),
                     "the content type of the removed manifest");
             return notes;
         },
         [](Store &s) {
             // A collection that failed part-way lost nothing a client
             // reaches; what it did not finish, the next run does.
             expect_latest_whole(s);
             Notes notes;
             note_if(notes, path_exists(s.blob_path(kUpload)), "the orphan blob");
             note_if(notes, path_exists(s.body_path(kLoneManifest)), "the untagged manifest");
             note_if(notes, path_exists(s.upload_path()), "the abandoned upload");
             note_if(notes, path_exists(s.blob_path(kUpload) + ".sweep-" +
                                        std::to_string(static_cast<long long>(getpid()))),
                     "the orphan blob moved aside");
             return notes;
         }},
    };
}

// What one mode of injection saw over every k.
struct Tally {
    int faults = 0;
    int failures = 0;
    int retries_ok = 0;
    int committed = 0;
    std::map<std::string, int> kinds;      // faults injected, by the kind of the first
    std::map<std::string, int> ignored;    // successes despite a fault, by its kind
    std::map<std::string, int> leftovers;  // what best-effort steps left behind
    std::map<std::string, int> temporaries;
    std::map<std::string, int> statuses;   // the status each failure reported
};

const char *status_name(reg_status status) {
    switch (status) {
        case REG_STATUS_OK: return "ok";
        case REG_STATUS_NOT_READY: return "not ready";
        case REG_STATUS_INVALID_ARGUMENT: return "invalid argument";
        case REG_STATUS_INVALID_NAME: return "invalid name";
        case REG_STATUS_INVALID_DIGEST: return "invalid digest";
        case REG_STATUS_INVALID_MANIFEST: return "invalid manifest";
        case REG_STATUS_UNKNOWN_REFERENCE: return "unknown reference";
        case REG_STATUS_TOO_LARGE: return "too large";
        case REG_STATUS_NOT_FOUND: return "not found";
        case REG_STATUS_IO_ERROR: return "I/O error";
    }
    return "(not a status)";
}

std::string describe(const std::map<std::string, int> &counts) {
    std::string text;
    for (const auto &[what, n] : counts)
        text += (text.empty() ? "" : ", ") + what + " x" + std::to_string(n);
    return text.empty() ? "none" : text;
}

// "link", "config.json", "<body>" or "<content type>": what a temporary file
// was to replace.
std::string temporary_kind(const std::string &path) {
    std::string name = path.substr(path.rfind('/') + 1);
    std::string target = name.substr(0, name.rfind(".tmp-"));
    if (target.size() == 64) return "<body>";
    if (target.size() == 67) return "<content type>";
    return target;
}

void expect_invariants(const Store &s, const std::string &context, Tally &tally) {
    StoreCheckOptions options;
    options.root_alone_in_parent = true;
    StoreCheck check = check_store(s.root, options);
    EXPECT_TRUE(check.violations.empty()) << context << "\n" << join_lines(check.violations);
    for (const auto &t : check.temporaries) tally.temporaries[temporary_kind(t)]++;
}

class FaultInjection : public ::testing::TestWithParam<Scenario> {
  protected:
    void TearDown() override {
        plat_fault_reset();
        reg_storage_cleanup();
    }

    // Counts the platform calls of one undisturbed run of the operation.
    uint64_t count_calls(const Scenario &sc) {
        Store s;
        sc.prepare(s);
        plat_fault_arm(0, 0);
        int rc = sc.operation(s);
        uint64_t calls = plat_fault_calls();
        plat_fault_reset();
        EXPECT_EQ(rc, 0) << reg_storage_last_error();
        sc.check_done(s);
        return calls;
    }

    void run_with_fault(const Scenario &sc, uint64_t k, bool persistent, Tally &tally) {
        Store s;
        sc.prepare(s);
        if (HasFatalFailure()) return;
        s_error[0] = '\0';
        s_status = REG_STATUS_OK;
        plat_fault_arm(k, persistent ? 1 : 0);
        int rc = sc.operation(s);
        uint64_t injected = plat_fault_injected();
        std::string kind = plat_fault_kind_name(plat_fault_first_kind());
        plat_fault_reset();

        std::string context = std::string(sc.name) + (persistent ? " persistent" : " transient") +
                              " fault at call " + std::to_string(k) + " (" + kind + ")";
        SCOPED_TRACE(context);
        EXPECT_GE(injected, 1u);
        tally.faults++;
        tally.kinds[kind]++;
        expect_invariants(s, context, tally);
        if (rc == 0) {
            tally.ignored[kind]++;
            for (const auto &note : sc.check_done(s)) tally.leftovers[note]++;
            return;
        }
        EXPECT_EQ(rc, -1);
        EXPECT_STRNE(reg_storage_last_error(), "") << "a failure without a message";
        EXPECT_NE(reg_storage_last_status(), REG_STATUS_OK) << "a failure without a status";
        tally.statuses[status_name(reg_storage_last_status())]++;
        tally.failures++;
        if (sc.committed && sc.committed(s)) {
            tally.committed++;
            return;
        }
        for (const auto &note : sc.check_failed(s)) tally.leftovers[note]++;

        int retry = sc.retry ? sc.retry(s) : sc.operation(s);
        EXPECT_EQ(retry, 0) << "retry: " << reg_storage_last_error();
        if (retry != 0) return;
        tally.retries_ok++;
        sc.check_done(s);
        expect_invariants(s, context + ", after the retry", tally);
    }
};

// Operations that read files or streams: their reads are counted, so that
// each read is made to fail in turn like every other call.
const char *const kReadingScenarios[] = {
    "upload_finish", "upload_append_stream", "upload_monolithic", "manifest_get", "tags_list",
    "manifest_delete_last_tag", "gc_sweep",
};

bool reads_files(const std::string &name) {
    for (const char *reading : kReadingScenarios)
        if (name == reading) return true;
    return false;
}

TEST_P(FaultInjection, EveryPlatformCallFailsInTurn) {
    const Scenario &sc = GetParam();
    uint64_t calls = count_calls(sc);
    ASSERT_GT(calls, 0u);
    for (bool persistent : {false, true}) {
        Tally tally;
        for (uint64_t k = 1; k <= calls && !HasFatalFailure(); k++)
            run_with_fault(sc, k, persistent, tally);
        if (reads_files(sc.name)) {
            EXPECT_GT(tally.kinds["read"], 0) << "no read was made to fail: " << describe(tally.kinds);
        }
        printf("[ faults   ] %s, %s: %llu calls, %d faults injected (%s), %d failures reported "
               "(%d retried and succeeded, %d took effect before failing); succeeded despite the "
               "fault: %s; statuses reported: %s; left behind: %s; temporaries: %s\n",
               sc.name, persistent ? "persistent" : "transient",
               static_cast<unsigned long long>(calls), tally.faults, describe(tally.kinds).c_str(),
               tally.failures, tally.retries_ok, tally.committed, describe(tally.ignored).c_str(),
               describe(tally.statuses).c_str(), describe(tally.leftovers).c_str(), describe(tally.temporaries).c_str());
    }
}

INSTANTIATE_TEST_SUITE_P(StorageOperations, FaultInjection, ::testing::ValuesIn(scenarios()),
                         [](const ::testing::TestParamInfo<Scenario> &info) {
                             return std::string(info.param.name);
                         });

// Another process's step put between two platform calls of an operation,
// at every point in turn: the races of processes that share one root,
// played out deterministically.
struct Interleaving {
    const char *name;
    std::function<void(Store &)> prepare;
    std::function<int(Store &)> operation;
    std::function<void(Store &)> other;  // what the other process does
    // After both, with the operation's result: what must hold.
    std::function<void(Store &, int)> check;
    // The storage takes no locks, and this race can leave a tag naming a
    // deleted manifest; such cases are counted and reported, not failed.
    bool may_leave_dangling_tag = false;
};

std::function<void()> g_other_step;
void run_other_step() { g_other_step(); }

// The result of the other process's push in the collection's races.
int g_other_rc;
int put_typed(const std::string &reference, const std::string &body) {
    char digest[REG_DIGEST_STRING_SIZE], subject[REG_DIGEST_STRING_SIZE];
    return reg_manifest_put_typed(kRepo, reference.c_str(), body.data(), body.size(), nullptr,
                                  digest, subject);
}

std::vector<Interleaving> interleavings() {
    return {
        {"upload_finish_while_the_last_blob_of_its_fan_out_is_deleted",
         [](Store &s) {
             s.init();
             s.store_blob(kBlobY);
             s.start();
             s.append(kBlobX);
         },
         [](Store &s) {
             char digest[REG_DIGEST_STRING_SIZE];
             return reg_blob_finish_upload(s.upload_id.c_str(), digest_of(kBlobX).c_str(), digest);
         },
         [](Store &) { reg_blob_delete(digest_of(kBlobY).c_str()); },
         [](Store &s, int rc) {
             EXPECT_EQ(rc, 0) << reg_storage_last_error();
             EXPECT_EQ(read_whole_file(s.blob_path(kBlobX)), kBlobX);
             EXPECT_FALSE(path_exists(s.blob_path(kBlobY)));
         }},
        {"upload_finish_while_the_same_blob_is_deleted",
         [](Store &s) {
             s.init();
             s.store_blob(kBlobX);
             s.start();
             s.append(kBlobX);
         },
         [](Store &s) {
             char digest[REG_DIGEST_STRING_SIZE];
             return reg_blob_finish_upload(s.upload_id.c_str(), digest_of(kBlobX).c_str(), digest);
         },
         [](Store &) { reg_blob_delete(digest_of(kBlobX).c_str()); },
         [](Store &s, int rc) {
             EXPECT_EQ(rc, 0) << reg_storage_last_error();
             EXPECT_FALSE(path_exists(s.upload_path()));
         }},
        {"manifest_put_while_another_tag_of_it_is_deleted",
         [](Store &s) {
             s.init();
             s.put("v1", kManifest0);
         },
         [](Store &s) { return put_manifest(s, "latest", kManifest0); },
         [](Store &) { reg_manifest_delete(kRepo, "v1"); },
         [](Store &, int rc) { EXPECT_EQ(rc, 0) << reg_storage_last_error(); }, true},
        {"manifest_delete_while_it_is_tagged_again",
         [](Store &s) {
             s.init();
             s.put("latest", kManifest0);
         },
         [](Store &) { return reg_manifest_delete(kRepo, "latest"); },
         [](Store &s) { put_manifest(s, "v1", kManifest0); },
         [](Store &, int rc) { EXPECT_EQ(rc, 0) << reg_storage_last_error(); }, true},
        // A push that names an old orphan blob, accepted while the collection
        // runs: either the push finds the blob gone and fails, or the blob
        // stays.
        {"gc_while_a_manifest_names_an_old_orphan_blob", [](Store &s) { s.fill_for_gc(); },
         collect_garbage,
         [](Store &) { g_other_rc = put_typed("late", kLateImage); },
         [](Store &s, int rc) {
             EXPECT_EQ(rc, 0) << reg_storage_last_error();
             expect_latest_whole(s);
             if (g_other_rc == 0) {
                 EXPECT_EQ(s.get("late"), kLateImage);
                 EXPECT_EQ(read_whole_file(s.blob_path(kUpload)), kUpload);
             } else {
                 EXPECT_EQ(reg_storage_last_status(), REG_STATUS_UNKNOWN_REFERENCE);
             }
         }},
        // An index whose child is the old untagged manifest, pushed while a
        // collection that deletes untagged manifests runs: either the push
        // fails, or the child and its blobs stay.
        {"gc_while_an_index_names_an_old_untagged_manifest", [](Store &s) { s.fill_for_gc(); },
         collect_garbage,
         [](Store &) { g_other_rc = put_typed("multi", kLateIndex); },
         [](Store &s, int rc) {
             EXPECT_EQ(rc, 0) << reg_storage_last_error();
             expect_latest_whole(s);
             if (g_other_rc == 0) {
                 EXPECT_EQ(s.get("multi"), kLateIndex);
                 EXPECT_EQ(s.get(digest_of(kLoneManifest)), kLoneManifest);
                 EXPECT_EQ(read_whole_file(s.blob_path(kChunkB)), kChunkB);
             }
         }},
    };
}

class Interleaved : public ::testing::TestWithParam<Interleaving> {
  protected:
    void TearDown() override {
        plat_fault_reset();
        reg_storage_cleanup();
    }
};

TEST_P(Interleaved, AnotherProcessStepsInBeforeEveryPlatformCall) {
    const Interleaving &il = GetParam();
    uint64_t calls;
    {
        Store s;
        il.prepare(s);
        plat_fault_arm(0, 0);
        ASSERT_EQ(il.operation(s), 0) << reg_storage_last_error();
        calls = plat_fault_calls();
        plat_fault_reset();
    }
    int dangling = 0;
    std::string dangling_at;
    for (uint64_t k = 1; k <= calls && !HasFatalFailure(); k++) {
        Store s;
        il.prepare(s);
        g_other_step = [&] { il.other(s); };
        plat_fault_interleave(k, run_other_step);
        int rc = il.operation(s);
        plat_fault_reset();
        SCOPED_TRACE(std::string(il.name) + ", the other step before call " + std::to_string(k));
        il.check(s, rc);
        StoreCheckOptions options;
        options.dangling_tag_is_violation = !il.may_leave_dangling_tag;
        options.root_alone_in_parent = true;
        StoreCheck check = check_store(s.root, options);
        EXPECT_TRUE(check.violations.empty()) << join_lines(check.violations);
        if (!check.dangling_tags.empty()) {
            dangling++;
            dangling_at += " " + std::to_string(k);
        }
    }
    printf("[ races    ] %s: the other step before each of %llu calls", il.name,
           static_cast<unsigned long long>(calls));
    if (il.may_leave_dangling_tag)
        printf("; a tag left naming a deleted manifest in %d of them%s", dangling,
               dangling == 0 ? "" : (" (before call" + dangling_at + ")").c_str());
    printf("\n");
}

INSTANTIATE_TEST_SUITE_P(SharedRoot, Interleaved, ::testing::ValuesIn(interleavings()),
                         [](const ::testing::TestParamInfo<Interleaving> &info) {
                             return std::string(info.param.name);
                         });

// ---- Two requests on one upload at once ---------------------------------------
//
// Appends, the finish and the cancel of one upload each hold the upload's
// lock. The other request is put before every platform call of the
// operation in turn. Where the upload is locked at that point (a probe
// through a stream of its own is told it is busy), the other request would
// wait until the operation is over, so it is not run there and the
// operation must complete as if alone; elsewhere the other request runs to
// its end at that point, and both results must agree with that order: no
// byte is appended after the digest was taken, and a committed blob holds
// exactly its digest's bytes.

const std::string kExtra = random_bytes(3000, 21);
constexpr int kNotRun = 1;  // the other request's result where it would wait

// True when the file of the upload, or once committed its blob, is locked
// by another stream right now.
bool upload_locked(const Store &s) {
    for (const std::string &path : {s.upload_path(), s.blob_path(kUpload)}) {
        FILE *probe = plat_fopen_append_existing(path.c_str());
        if (probe == nullptr) continue;
        int rc = plat_lock_file(probe, path.c_str(), 0);
        plat_fclose(probe);
        if (rc == PLAT_LOCK_BUSY) return true;
    }
    return false;
}

int append_extra(Store &s) {
    return reg_blob_append_chunk(s.upload_id.c_str(), kExtra.data(), kExtra.size());
}

struct UploadRace {
    const char *name;
    std::function<int(Store &)> operation;
    std::function<int(Store &)> other;
    // What must hold after both, given the operation's result and the
    // other's (kNotRun where it would have waited) with its status.
    std::function<void(Store &, int rc, int other_rc, reg_status other_status)> check;
    // Wine keeps the name of a removed file that is still open and does not
    // report its pending deletion, so a stream opened before a cancel finds
    // the file still there.
    bool needs_posix_deletion = false;
};

void expect_committed_alone(Store &s) {
    EXPECT_EQ(read_whole_file(s.blob_path(kUpload)), kUpload);
    EXPECT_FALSE(path_exists(s.upload_path()));
}

std::vector<UploadRace> upload_races() {
    return {
        {"finish_while_another_request_appends", finish_upload, append_extra,
         [](Store &s, int rc, int other_rc, reg_status other_status) {
             if (other_rc == 0) {
                 // The chunk came first, so it is in the hash.
                 EXPECT_EQ(rc, -1);
                 EXPECT_EQ(reg_storage_last_status(), REG_STATUS_INVALID_DIGEST);
                 EXPECT_FALSE(path_exists(s.blob_path(kUpload)));
                 EXPECT_FALSE(path_exists(s.upload_path()));
                 return;
             }
             if (other_rc != kNotRun) {
                 EXPECT_EQ(other_status, REG_STATUS_NOT_FOUND);
             }
             EXPECT_EQ(rc, 0) << reg_storage_last_error();
             expect_committed_alone(s);
         }},
        {"append_while_another_request_finishes", append_extra, finish_upload,
         [](Store &s, int rc, int other_rc, reg_status) {
             if (other_rc == kNotRun) {
                 EXPECT_EQ(rc, 0) << reg_storage_last_error();
                 EXPECT_EQ(read_whole_file(s.upload_path()), kUpload + kExtra);
                 EXPECT_FALSE(path_exists(s.blob_path(kUpload)));
                 return;
             }
             // The commit came first: the chunk finds no upload, and no byte
             // of it reached the blob.
             EXPECT_EQ(other_rc, 0);
             EXPECT_EQ(rc, -1);
             EXPECT_EQ(reg_storage_last_status(), REG_STATUS_NOT_FOUND);
             expect_committed_alone(s);
         }},
        {"cancel_while_another_request_appends",
         [](Store &s) { return reg_blob_cancel_upload(s.upload_id.c_str()); }, append_extra,
         [](Store &s, int rc, int other_rc, reg_status other_status) {
             if (other_rc != 0 && other_rc != kNotRun) {
                 EXPECT_EQ(other_status, REG_STATUS_NOT_FOUND);
             }
             EXPECT_EQ(rc, 0) << reg_storage_last_error();
             EXPECT_FALSE(path_exists(s.upload_path())) << "the cancelled upload came back";
         }},
        {"finish_while_another_request_cancels", finish_upload,
         [](Store &s) { return reg_blob_cancel_upload(s.upload_id.c_str()); },
         [](Store &s, int rc, int other_rc, reg_status) {
             if (other_rc == kNotRun) {
                 EXPECT_EQ(rc, 0) << reg_storage_last_error();
                 expect_committed_alone(s);
                 return;
             }
             EXPECT_EQ(other_rc, 0);
             EXPECT_EQ(rc, -1);
             EXPECT_EQ(reg_storage_last_status(), REG_STATUS_NOT_FOUND);
             EXPECT_FALSE(path_exists(s.blob_path(kUpload)));
             EXPECT_FALSE(path_exists(s.upload_path()));
         },
         true},
    };
}

class UploadRaces : public ::testing::TestWithParam<UploadRace> {
  protected:
    void TearDown() override {
        plat_fault_reset();
        reg_storage_cleanup();
    }
};

TEST_P(UploadRaces, TheOtherRequestBeforeEveryPlatformCall) {
    const UploadRace &race = GetParam();
    if (race.needs_posix_deletion && running_under_wine())
        GTEST_SKIP() << "Wine keeps the name of a removed file while it is open";
    auto prepare = [](Store &s) {
        s.init();
        s.start();
        s.append(kUpload);
    };
    uint64_t calls;
    {
        Store s;
        prepare(s);
        plat_fault_arm(0, 0);
        ASSERT_EQ(race.operation(s), 0) << reg_storage_last_error();
        calls = plat_fault_calls();
        plat_fault_reset();
    }
    std::map<std::string, int> outcomes;
    for (uint64_t k = 1; k <= calls && !HasFatalFailure(); k++) {
        Store s;
        prepare(s);
        int other_rc = kNotRun;
        reg_status other_status = REG_STATUS_OK;
        g_other_step = [&] {
            if (upload_locked(s)) return;
            other_rc = race.other(s);
            other_status = reg_storage_last_status();
        };
        plat_fault_interleave(k, run_other_step);
        int rc = race.operation(s);
        plat_fault_reset();
        SCOPED_TRACE(std::string(race.name) + ", the other request before call " +
                     std::to_string(k));
        race.check(s, rc, other_rc, other_status);
        StoreCheckOptions options;
        options.root_alone_in_parent = true;
        StoreCheck check = check_store(s.root, options);
        EXPECT_TRUE(check.violations.empty()) << join_lines(check.violations);
        outcomes[other_rc == kNotRun ? "waits" : other_rc == 0 ? "first" : "refused"]++;
    }
    // The upload was locked at some of the points: the lock is there at all.
    EXPECT_GT(outcomes["waits"], 0);
    printf("[ races    ] %s: the other request before each of %llu calls: %s\n", race.name,
           static_cast<unsigned long long>(calls), describe(outcomes).c_str());
}

INSTANTIATE_TEST_SUITE_P(OneUpload, UploadRaces, ::testing::ValuesIn(upload_races()),
                         [](const ::testing::TestParamInfo<UploadRace> &info) {
                             return std::string(info.param.name);
                         });

// The blob endpoint under the same faults: whatever call fails, a request
// is answered with one complete reply, and a success reply carries exactly
// the bytes of the digest (or of the asked range).
struct BlobRequest {
    const char *name;
    const char *method;
    const char *range;     // HTTP_RANGE, or nullptr
    bool stdout_is_a_file; // else a pipe, as from a web server
};

struct Reply {
    int status = 0;
    std::string head;
    std::string body;
    uint64_t calls = 0;
    std::string first_fault;  // the kind of the first call made to fail, or "none"
};

// Runs the blob endpoint as a process of its own, as a web server does,
// with call k failing (0: none); the reply goes to a pipe or a file as the
// request says.
Reply serve(const Store &s, const BlobRequest &request, uint64_t k, bool persistent) {
    std::string out_file = s.dir / "reply";
    std::string calls_file = s.dir / "calls";
    std::map<std::string, std::string> env = {
        {"REGISTRY_STORAGE_ROOT", s.root},
        {"REQUEST_METHOD", request.method},
        {"PATH_INFO", "/v2/library/app/blobs/" + digest_of(kUpload)}};
    if (request.range != nullptr) env["HTTP_RANGE"] = request.range;
    std::vector<std::string> args = {std::to_string(k), persistent ? "1" : "0", calls_file};
    if (request.stdout_is_a_file) args.push_back(out_file);
    ProcessResult result = run_process(V2_BLOB_FAULTY_PATH, args, env);
    Reply reply;
    std::string out = request.stdout_is_a_file ? read_whole_file(out_file) : result.out;
    // "<calls> <kind of the first failure>"
    std::string counts = read_whole_file(calls_file);
    reply.calls = std::stoull("0" + counts.substr(0, counts.find(' ')));
    if (counts.find(' ') != std::string::npos) reply.first_fault = counts.substr(counts.find(' ') + 1);
    size_t split = out.find("\r\n\r\n");
    if (out.rfind("Status: ", 0) == 0) reply.status = atoi(out.c_str() + 8);
    if (split != std::string::npos) {
        reply.head = out.substr(0, split + 2);
        reply.body = out.substr(split + 4);
    }
    return reply;
}

// The body of a success reply: exactly expected, under a Content-Length of
// its size. Only a read that failed after the headers went out may cut it
// short: the body is then a true beginning of expected, shorter than the
// Content-Length, which tells the client that the reply broke off.
void expect_body(const Reply &reply, const std::string &expected) {
    size_t at = reply.head.find("Content-Length: ");
    ASSERT_NE(at, std::string::npos) << "no Content-Length";
    EXPECT_EQ(std::stoull(reply.head.substr(at + 16)), expected.size());
    if (reply.body == expected) return;
    EXPECT_EQ(reply.first_fault, "read") << "a body of other bytes without a failed read";
    EXPECT_LT(reply.body.size(), expected.size()) << "a body longer than asked for";
    EXPECT_TRUE(expected.compare(0, reply.body.size(), reply.body) == 0)
        << "a cut body with other bytes";
}

// A reply to a GET whose body stopped short of its Content-Length.
bool is_cut(const BlobRequest &request, const Reply &reply) {
    if (std::string(request.method) != "GET") return false;
    size_t at = reply.head.find("Content-Length: ");
    return at != std::string::npos && reply.body.size() < std::stoull(reply.head.substr(at + 16));
}

void expect_sound_reply(const BlobRequest &request, const Reply &reply, const Store &s) {
    const std::string digest = digest_of(kUpload);
    ASSERT_NE(reply.status, 0) << "no status line";
    ASSERT_FALSE(reply.head.empty()) << "no end of the headers";
    std::string method = request.method;
    if (reply.status >= 400) {
        EXPECT_EQ(reply.body.rfind("{\"errors\":[{\"code\":\"", 0), 0u) << reply.body;
    } else if (method == "GET" && reply.status == 200) {
        SCOPED_TRACE("200 with " + std::to_string(reply.body.size()) + " bytes");
        expect_body(reply, kUpload);
    } else if (method == "GET" && reply.status == 206) {
        long long first = -1, last = -1, total = -1;
        size_t at = reply.head.find("Content-Range: bytes ");
        ASSERT_NE(at, std::string::npos);
        ASSERT_EQ(sscanf(reply.head.c_str() + at, "Content-Range: bytes %lld-%lld/%lld", &first,
                         &last, &total),
                  3);
        EXPECT_EQ(total, static_cast<long long>(kUpload.size()));
        ASSERT_TRUE(first >= 0 && first <= last && last < total) << first << "-" << last;
        SCOPED_TRACE("206 " + std::to_string(first) + "-" + std::to_string(last));
        expect_body(reply, kUpload.substr(first, last - first + 1));
    } else if (method == "DELETE" && reply.status == 202) {
        EXPECT_FALSE(path_exists(s.blob_path(kUpload))) << "202 but the blob is still there";
    } else {
        EXPECT_TRUE(method == "HEAD" && reply.status == 200) << method << " " << reply.status;
    }
    if ((reply.status == 200 || reply.status == 206) && method != "DELETE") {
        EXPECT_NE(reply.head.find("Docker-Content-Digest: " + digest + "\r\n"),
                  std::string::npos);
    }
}

class BlobEndpoint : public ::testing::TestWithParam<BlobRequest> {
  protected:
    void TearDown() override { reg_storage_cleanup(); }
};

TEST_P(BlobEndpoint, AnswersSoundlyWhateverPlatformCallFails) {
    const BlobRequest &request = GetParam();
    uint64_t calls;
    {
        Store s;
        s.init();
        s.store_blob(kUpload);
        Reply reply = serve(s, request, 0, false);
        expect_sound_reply(request, reply, s);
        ASSERT_LT(reply.status, 300) << reply.body;
        calls = reply.calls;
    }
    ASSERT_GT(calls, 0u);
    for (bool persistent : {false, true}) {
        std::map<std::string, int> statuses;
        for (uint64_t k = 1; k <= calls && !HasFatalFailure(); k++) {
            Store s;
            s.init();
            s.store_blob(kUpload);
            Reply reply = serve(s, request, k, persistent);
            SCOPED_TRACE(std::string(request.name) + (persistent ? " persistent" : " transient") +
                         " fault at call " + std::to_string(k) + ", reply " +
                         std::to_string(reply.status));
            expect_sound_reply(request, reply, s);
            StoreCheck check = check_store(s.root);
            EXPECT_TRUE(check.violations.empty()) << join_lines(check.violations);
            statuses[std::to_string(reply.status) + (is_cut(request, reply) ? " cut short" : "")]++;
        }
        std::string text;
        for (const auto &[status, n] : statuses) text += " " + status + " x" + std::to_string(n);
        printf("[ faults   ] blob endpoint %s, %s: %llu calls, each made to fail; replies:%s\n",
               request.name, persistent ? "persistent" : "transient",
               static_cast<unsigned long long>(calls), text.c_str());
    }
}

const BlobRequest kBlobRequests[] = {
    {"get_whole_into_a_pipe", "GET", nullptr, false},
    {"get_range_into_a_pipe", "GET", "bytes=100-70999", false},
    {"get_whole_into_a_file", "GET", nullptr, true},
    {"get_range_into_a_file", "GET", "bytes=100-199", true},
    {"head", "HEAD", nullptr, false},
    {"delete", "DELETE", nullptr, false},
};

INSTANTIATE_TEST_SUITE_P(Requests, BlobEndpoint, ::testing::ValuesIn(kBlobRequests),
                         [](const ::testing::TestParamInfo<BlobRequest> &info) {
                             return std::string(info.param.name);
                         });

}  // namespace
