// The registry API's CGI programs run as processes, the way a web server
// runs them: base, uploads, manifests, tag list, catalog and referrers.
// Each reply is checked for its status, its header lines and its body.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/support/invariants.h"
#include "tests/support/cgi_replies.h"
#include "tests/support/process.h"
#include "tests/support/reference_sha512.h"
#ifndef _WIN32
#include <memory>

#include "tests/support/fastcgi.h"
#endif

using testing_support::random_bytes;
using testing_support::read_whole_file;
using testing_support::reference_sha256_hex;
using testing_support::reference_sha512_hex;
using testing_support::run_process;
using testing_support::ScratchDir;

namespace {

using Reply = testing_support::CgiReply;

Reply parse_reply(const std::string &out) { return testing_support::parse_cgi_reply(out); }

// The algorithm the content of a test is addressed by: every flow runs with
// SHA-256 digests and again with SHA-512 ones, which the store keeps apart.
enum class Algo { kSha256, kSha512 };
Algo g_algo = Algo::kSha256;  // set by the fixture for the test that runs

std::string digest_of(const std::string &data) {
    return g_algo == Algo::kSha512 ? "sha512:" + reference_sha512_hex(data)
                                   : "sha256:" + reference_sha256_hex(data);
}

const char kOciManifest[] = "application/vnd.oci.image.manifest.v1+json";
const char kOciIndex[] = "application/vnd.oci.image.index.v1+json";
const char kDockerManifest[] = "application/vnd.docker.distribution.manifest.v2+json";
const char kDockerList[] = "application/vnd.docker.distribution.manifest.list.v2+json";

std::string descriptor(const std::string &media_type, const std::string &data) {
    return "{\"mediaType\":\"" + media_type + "\",\"digest\":\"" + digest_of(data) +
           "\",\"size\":" + std::to_string(data.size()) + "}";
}

std::string image_manifest(const std::string &type, const std::string &config,
                           const std::vector<std::string> &layers,
                           const std::string &extra = "") {
    std::string m = "{\"schemaVersion\":2,\"mediaType\":\"" + type + "\",\"config\":" +
                    descriptor("application/vnd.oci.image.config.v1+json", config) +
                    ",\"layers\":[";
    for (size_t i = 0; i < layers.size(); i++)
        m += (i ? "," : "") + descriptor("application/vnd.oci.image.layer.v1.tar+gzip", layers[i]);
    return m + "]" + extra + "}";
}

std::string index_of(const std::string &type, const std::vector<std::string> &manifests,
                     const std::string &child_type = kOciManifest) {
    std::string m = "{\"schemaVersion\":2,\"mediaType\":\"" + type + "\",\"manifests\":[";
    for (size_t i = 0; i < manifests.size(); i++)
        m += (i ? "," : "") + descriptor(child_type, manifests[i]);
    return m + "]}";
}

// How the programs run: a process per request (CGI), or as FastCGI
// responders that the test starts once per program and sends every request
// of the test to, so that each request follows others, failed ones among
// them, in the same process.
enum class Mode { kCgi, kFastcgi };

struct Setting {
    Mode mode;
    Algo algo;
};

std::string setting_name(const ::testing::TestParamInfo<Setting> &info) {
    return std::string(info.param.mode == Mode::kCgi ? "Cgi" : "Fastcgi") +
           (info.param.algo == Algo::kSha512 ? "Sha512" : "");
}

class RegistryApi : public ::testing::TestWithParam<Setting> {
  protected:
    void SetUp() override { g_algo = GetParam().algo; }
    // Whatever a test sent, the store keeps its invariants, and a responder
    // holds no more open files at the end than after its first request.
    void TearDown() override {
        EXPECT_EQ(testing_support::join_lines(testing_support::store_invariant_violations(root())),
                  "");
#ifndef _WIN32
        for (const auto &[program, served] : responders_) {
            EXPECT_TRUE(served.responder->alive()) << program;
            EXPECT_EQ(served.responder->open_files(), served.descriptors) << program;
        }
#endif
    }
    std::string root() const { return dir_ / "root"; }

    Reply call(const std::string &program, const std::string &method, const std::string &path,
               const std::string &query = "", const std::string &body = "",
               std::map<std::string, std::string> env = {}) {
        env["REGISTRY_STORAGE_ROOT"] = root();
        env["REQUEST_METHOD"] = method;
        env["PATH_INFO"] = path;
        if (!query.empty()) env["QUERY_STRING"] = query;
        if (!body.empty() && !env.count("CONTENT_LENGTH"))
            env["CONTENT_LENGTH"] = std::to_string(body.size());
        auto r = run(program, env, body);
        EXPECT_EQ(r.exit_status, 0) << program;
        // Standard error holds nothing but access lines, one per write.
        size_t at = 0;
        while (at < r.err.size()) {
            size_t end = r.err.find('\n', at);
            EXPECT_NE(end, std::string::npos) << program << ": " << r.err;
            if (end == std::string::npos) break;
            // ... or the message of a broken access policy.
            EXPECT_TRUE(r.err.compare(at, 21, "registry-access user=") == 0 ||
                        r.err.compare(at, 31, "registry-access-policy broken: ") == 0)
                << program << ": " << r.err.substr(at, end - at);
            at = end + 1;
        }
        last_err_ = testing_support::unix_line_ends(r.err);
        Reply reply = parse_reply(r.out);
        EXPECT_EQ(reply.header("docker-distribution-api-version"), "registry/2.0")
            << program << " " << method << " " << path;
        return reply;
    }

    // Stores data as a blob with one monolithic POST.
    std::string push_blob(const std::string &data, const std::string &repo = "app") {
        std::string digest = digest_of(data);
        Reply r = call("v2_uploads", "POST", "/v2/" + repo + "/blobs/uploads/", "digest=" + digest,
                       data);
        EXPECT_EQ(r.status, 201) << r.body;
        return digest;
    }
    Reply put_manifest(const std::string &repo, const std::string &ref, const std::string &body,
                       const std::string &type) {
        std::map<std::string, std::string> env;
        if (!type.empty()) env["CONTENT_TYPE"] = type;
        return call("v2_manifests", "PUT", "/v2/" + repo + "/manifests/" + ref, "", body, env);
    }
    std::string blob_file(const std::string &digest) const {
        std::string algo = digest.substr(0, 6), hex = digest.substr(7);
        return root() + "/blobs/" + algo + "/" + hex.substr(0, 2) + "/" + hex;
    }
    // An image with a config and two layers stored, and its manifest text.
    std::string stored_image(const std::string &repo, const std::string &type, unsigned seed) {
        std::string config = "{\"architecture\":\"amd64\",\"seed\":" + std::to_string(seed) + "}";
        std::string l1 = random_bytes(1000, seed), l2 = random_bytes(70000, seed + 1);
        push_blob(config, repo);
        push_blob(l1, repo);
        push_blob(l2, repo);
        return image_manifest(type, config, {l1, l2});
    }

    // Runs one request of program, in a process of its own or through the
    // program's responder.
    testing_support::ProcessResult run(const std::string &program,
                                       const std::map<std::string, std::string> &env,
                                       const std::string &body) {
        std::string path = std::string(ENDPOINT_DIR) + "/" + program;
        if (GetParam().mode == Mode::kCgi) return run_process(path, {}, env, dir_.path(), body);
        testing_support::ProcessResult result;
#ifndef _WIN32
        auto it = responders_.find(program);
        if (it == responders_.end()) {
            // The responder's own environment holds nothing of a request.
            auto responder = std::make_unique<testing_support::FastcgiResponder>(
                path, std::map<std::string, std::string>{});
            it = responders_.emplace(program, Served{std::move(responder), -1}).first;
        }
        testing_support::FastcgiReply reply = it->second.responder->request(env, body);
        if (it->second.descriptors < 0) it->second.descriptors = it->second.responder->open_files();
        result.exit_status = reply.ended && it->second.responder->alive() ? reply.app_status : -1;
        result.out = reply.out;
        result.err = reply.err;
#endif
        return result;
    }

    ScratchDir dir_;
    std::string last_err_;  // standard error of the last call
#ifndef _WIN32
    struct Served {
        std::unique_ptr<testing_support::FastcgiResponder> responder;
        int descriptors;  // open files after its first request
    };
    std::map<std::string, Served> responders_;
#endif
};

// The flows that push content, run in each digest algorithm.
class PushFlows : public RegistryApi {};

// ---- Base --------------------------------------------------------------------

TEST_P(RegistryApi, BaseAnswersGetAndHeadAndNothingElse) {
    Reply get = call("v2_base", "GET", "/v2/");
    EXPECT_EQ(get.status, 200);
    EXPECT_EQ(get.body, "{}\n");
    EXPECT_EQ(get.header("content-length"), "3");
    Reply head = call("v2_base", "HEAD", "/v2");
    EXPECT_EQ(head.status, 200);
    EXPECT_EQ(head.body, "");
    EXPECT_EQ(call("v2_base", "POST", "/v2/").status, 405);
    Reply unknown = call("v2_base", "GET", "/v2/x/unknown/thing");
    EXPECT_EQ(unknown.status, 404);
    EXPECT_EQ(unknown.code(), "NAME_UNKNOWN");
}

// ---- Access lines --------------------------------------------------------------

// The number of lines in text.
size_t line_count(const std::string &text) {
    size_t n = 0;
    for (char c : text) n += c == '\n';
    return n;
}

TEST_P(RegistryApi, EachWriteLeavesOneAccessLineAndReadsNone) {
    const std::string data = random_bytes(5000, 41);
    const std::string digest = digest_of(data);
    const std::map<std::string, std::string> alice = {{"REMOTE_USER", "alice"},
                                                      {"REMOTE_ADDR", "192.0.2.9"}};
    Reply put = call("v2_uploads", "POST", "/v2/team/app/blobs/uploads/", "digest=" + digest, data,
                     alice);
    ASSERT_EQ(put.status, 201);
    const std::string head = "registry-access user=alice addr=192.0.2.9 action=blob.put "
                             "repository=team/app digest=" + digest + " reference=";
    EXPECT_EQ(last_err_.compare(0, head.size(), head), 0) << last_err_;
    EXPECT_EQ(line_count(last_err_), 1u) << last_err_;

    EXPECT_EQ(call("v2_blob", "GET", "/v2/team/app/blobs/" + digest, "", "", alice).status, 200);
    EXPECT_EQ(last_err_, "");
    EXPECT_EQ(call("v2_blob", "HEAD", "/v2/team/app/blobs/" + digest, "", "", alice).status, 200);
    EXPECT_EQ(last_err_, "");

    const std::string config = "{}";
    push_blob(config);
    const std::string manifest = image_manifest(
        "application/vnd.oci.image.manifest.v1+json", config, {data});
    Reply stored = call("v2_manifests", "PUT", "/v2/app/manifests/v1", "", manifest,
                        {{"REMOTE_USER", "bob"},
                         {"CONTENT_TYPE", "application/vnd.oci.image.manifest.v1+json"}});
    ASSERT_EQ(stored.status, 201) << stored.body;
    EXPECT_EQ(last_err_, "registry-access user=bob addr=- action=manifest.put repository=app digest=" +
                             digest_of(manifest) + " reference=v1\n");

    // A refused write leaves no access line: the web server's log has it.
    EXPECT_EQ(call("v2_manifests", "DELETE", "/v2/app/manifests/nosuchtag").status, 404);
    EXPECT_EQ(last_err_, "");

    // A user name cannot add a line or a field: it stays one escaped word.
    Reply removed = call("v2_blob", "DELETE", "/v2/app/blobs/" + digest, "", "",
                         {{"REMOTE_USER", "eve\nregistry-access user=root \"x\" 100%"}});
    EXPECT_EQ(removed.status, 202);
    EXPECT_EQ(last_err_, "registry-access user=eve%0Aregistry-access%20user=root%20%22x%22%20100%25 "
                         "addr=- action=blob.delete repository=app digest=" + digest +
                             " reference=-\n");
}

// ---- Uploads -------------------------------------------------------------------

TEST_P(PushFlows, ThreeWaysToPushABlob) {
    const std::string data = random_bytes(300000, 3);
    const std::string digest = digest_of(data);
    // 1: POST, one PATCH with the whole blob, empty PUT.
    // 2: POST, PUT with the body.
    // 3: POST, PATCHes with Content-Range, PUT.
    for (int way = 1; way <= 3; way++) {
        SCOPED_TRACE("way " + std::to_string(way));
        const std::string repo = "way" + std::to_string(way);
        Reply start = call("v2_uploads", "POST", "/v2/" + repo + "/blobs/uploads/");
        ASSERT_EQ(start.status, 202) << start.body;
        const std::string id = start.header("docker-upload-uuid");
        ASSERT_EQ(id.size(), 36u);
        const std::string location = "/v2/" + repo + "/blobs/uploads/" + id;
        EXPECT_EQ(start.header("location"), location);
        EXPECT_EQ(start.header("range"), "0-0");
        EXPECT_EQ(start.header("content-length"), "0");
        std::string final_body;
        if (way == 1) {
            Reply patch = call("v2_uploads", "PATCH", location, "", data);
            EXPECT_EQ(patch.status, 202);
            EXPECT_EQ(patch.header("range"), "0-299999");
            EXPECT_EQ(patch.header("location"), location);
        } else if (way == 3) {
            size_t at = 0;
            for (size_t piece : {100000u, 150000u}) {
                std::map<std::string, std::string> env = {
                    {"HTTP_CONTENT_RANGE",
                     std::to_string(at) + "-" + std::to_string(at + piece - 1)}};
                Reply patch = call("v2_uploads", "PATCH", location, "", data.substr(at, piece), env);
                EXPECT_EQ(patch.status, 202) << patch.body;
                at += piece;
                EXPECT_EQ(patch.header("range"), "0-" + std::to_string(at - 1));
            }
            // A piece out of order is refused and changes nothing.
            Reply wrong = call("v2_uploads", "PATCH", location, "", data.substr(0, 10),
                               {{"HTTP_CONTENT_RANGE", "0-9"}});
            EXPECT_EQ(wrong.status, 416);
            Reply status = call("v2_uploads", "GET", location);
            EXPECT_EQ(status.status, 204);
            EXPECT_EQ(status.header("range"), "0-249999");
            final_body = data.substr(at);
        } else {
            final_body = data;
        }
        Reply put = call("v2_uploads", "PUT", location, "digest=" + digest, final_body);
        ASSERT_EQ(put.status, 201) << put.body;
        EXPECT_EQ(put.header("location"), "/v2/" + repo + "/blobs/" + digest);
        EXPECT_EQ(put.header("docker-content-digest"), digest);
        EXPECT_TRUE(read_whole_file(blob_file(digest)) == data);
        EXPECT_EQ(call("v2_uploads", "GET", location).status, 404) << "the session is over";
    }
}

TEST_P(PushFlows, MonolithicPostAndMount) {
    const std::string data = "monolithic blob";
    const std::string digest = push_blob(data);
    EXPECT_EQ(read_whole_file(blob_file(digest)), data);

    Reply mounted = call("v2_uploads", "POST", "/v2/other/blobs/uploads/",
                         "mount=" + digest + "&from=app");
    EXPECT_EQ(mounted.status, 201);
    EXPECT_EQ(mounted.header("location"), "/v2/other/blobs/" + digest);
    EXPECT_EQ(mounted.header("docker-content-digest"), digest);

    Reply missing = call("v2_uploads", "POST", "/v2/other/blobs/uploads/",
                         "mount=" + digest_of("not stored") + "&from=app");
    EXPECT_EQ(missing.status, 202) << "a blob that is not there gives a new session";
    EXPECT_EQ(missing.header("docker-upload-uuid").size(), 36u);

    Reply mismatch = call("v2_uploads", "POST", "/v2/app/blobs/uploads/",
                          "digest=" + digest_of("something else"), data);
    EXPECT_EQ(mismatch.status, 400);
    EXPECT_EQ(mismatch.code(), "DIGEST_INVALID");
}

TEST_P(PushFlows, UploadErrors) {
    Reply start = call("v2_uploads", "POST", "/v2/app/blobs/uploads/");
    const std::string location = start.header("location");
    const std::string unknown = "/v2/app/blobs/uploads/01234567-89ab-cdef-0123-456789abcdef";
    struct Case {
        const char *what;
        std::string method, path, query, body;
        std::map<std::string, std::string> env;
        int status;
        const char *code;
    } cases[] = {
        {"invalid name", "POST", "/v2/App/blobs/uploads/", "", "", {}, 400, "NAME_INVALID"},
        {"unknown id", "PATCH", unknown, "", "x", {}, 404, "BLOB_UPLOAD_UNKNOWN"},
        {"malformed id", "GET", "/v2/app/blobs/uploads/../../x", "", "", {}, 404, ""},
        {"unknown id put", "PUT", unknown, "digest=" + digest_of(""), "", {}, 404,
         "BLOB_UPLOAD_UNKNOWN"},
        {"put without digest", "PUT", location, "", "", {}, 400, "DIGEST_INVALID"},
        {"put with bad digest", "PUT", location, "digest=sha256:xyz", "", {}, 400,
         "DIGEST_INVALID"},
        {"range past the end", "PATCH", location, "", "abc", {{"HTTP_CONTENT_RANGE", "5-7"}}, 416,
         "BLOB_UPLOAD_INVALID"},
        {"range of another length", "PATCH", location, "", "abc", {{"HTTP_CONTENT_RANGE", "0-9"}},
         400, "BLOB_UPLOAD_INVALID"},
        {"malformed range", "PATCH", location, "", "abc", {{"HTTP_CONTENT_RANGE", "zero-two"}},
         416, "BLOB_UPLOAD_INVALID"},
        {"bad length", "PATCH", location, "", "abc", {{"CONTENT_LENGTH", "3x"}}, 400,
         "BLOB_UPLOAD_INVALID"},
        {"body ends early", "PATCH", location, "", "abc", {{"CONTENT_LENGTH", "10"}}, 400,
         "BLOB_UPLOAD_INVALID"},
        {"method", "POST", location, "", "", {}, 405, "UNSUPPORTED"},
        {"method on start", "GET", "/v2/app/blobs/uploads/", "", "", {}, 405, "UNSUPPORTED"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Reply r = call("v2_uploads", c.method, c.path, c.query, c.body, c.env);
        EXPECT_EQ(r.status, c.status) << r.body;
        if (c.code[0] != '\0') {
            EXPECT_EQ(r.code(), c.code) << r.body;
        }
    }
    // Cancelling ends the session; a second cancel finds nothing.
    EXPECT_EQ(call("v2_uploads", "DELETE", location).status, 204);
    EXPECT_EQ(call("v2_uploads", "DELETE", location).status, 404);
}

// Content pushed by digest is stored and answered in the algorithm of that
// digest: blobs read whole, in ranges and from the tail, manifests whose
// config, layers, index children and subject are addressed that way, the
// referrers of a subject, and deletes. A manifest pushed by tag is answered
// under its SHA-256, the registry's own digest of it.
TEST_P(PushFlows, ContentIsAnsweredInTheAlgorithmOfItsDigest) {
    const std::string image = stored_image("app", kOciManifest, 60);
    const std::string image_digest = digest_of(image);
    Reply put = put_manifest("app", image_digest, image, kOciManifest);
    ASSERT_EQ(put.status, 201) << put.body;
    EXPECT_EQ(put.header("docker-content-digest"), image_digest);
    EXPECT_EQ(put.header("location"), "/v2/app/manifests/" + image_digest);
    Reply tagged = put_manifest("app", "v1", image, kOciManifest);
    ASSERT_EQ(tagged.status, 201) << tagged.body;
    EXPECT_EQ(tagged.header("docker-content-digest"), "sha256:" + reference_sha256_hex(image));

    const std::string index = index_of(kOciIndex, {image});
    ASSERT_EQ(put_manifest("app", digest_of(index), index, kOciIndex).status, 201);
    const std::string referrer = image_manifest(
        kOciManifest, "{\"kind\":\"sbom\"}", {},
        ",\"artifactType\":\"application/spdx+json\",\"subject\":" +
            descriptor(kOciManifest, image));
    push_blob("{\"kind\":\"sbom\"}");
    Reply referred = put_manifest("app", digest_of(referrer), referrer, kOciManifest);
    ASSERT_EQ(referred.status, 201) << referred.body;
    EXPECT_EQ(referred.header("oci-subject"), image_digest);

    for (const std::string &ref : {image_digest, digest_of(index), digest_of(referrer)}) {
        SCOPED_TRACE(ref);
        Reply get = call("v2_manifests", "GET", "/v2/app/manifests/" + ref);
        EXPECT_EQ(get.status, 200);
        EXPECT_EQ(get.header("docker-content-digest"), ref);
        EXPECT_EQ(get.header("etag"), "\"" + ref + "\"");
    }
    Reply referrers = call("v2_referrers", "GET", "/v2/app/referrers/" + image_digest);
    EXPECT_EQ(referrers.status, 200);
    EXPECT_NE(referrers.body.find("\"digest\":\"" + digest_of(referrer) + "\""), std::string::npos)
        << referrers.body;
    EXPECT_EQ(call("v2_tags", "GET", "/v2/app/tags/list").body,
              "{\"name\":\"app\",\"tags\":[\"v1\"]}\n");

    // A blob of this algorithm: whole, a range, the tail, and its delete.
    const std::string data = random_bytes(5000, 61);
    const std::string blob = push_blob(data, "other");
    Reply whole = call("v2_blob", "GET", "/v2/other/blobs/" + blob);
    EXPECT_EQ(whole.status, 200);
    EXPECT_TRUE(whole.body == data);
    EXPECT_EQ(whole.header("docker-content-digest"), blob);
    Reply range = call("v2_blob", "GET", "/v2/other/blobs/" + blob, "", "",
                       {{"HTTP_RANGE", "bytes=10-19"}});
    EXPECT_EQ(range.status, 206);
    EXPECT_TRUE(range.body == data.substr(10, 10));
    Reply tail = call("v2_blob", "GET", "/v2/other/blobs/" + blob, "", "",
                      {{"HTTP_RANGE", "bytes=-100"}});
    EXPECT_EQ(tail.status, 206);
    EXPECT_TRUE(tail.body == data.substr(4900));
    EXPECT_EQ(tail.header("content-range"), "bytes 4900-4999/5000");
    Reply mounted = call("v2_uploads", "POST", "/v2/third/blobs/uploads/",
                         "mount=" + blob + "&from=other");
    EXPECT_EQ(mounted.status, 201);
    EXPECT_EQ(mounted.header("docker-content-digest"), blob);
    EXPECT_EQ(call("v2_blob", "DELETE", "/v2/other/blobs/" + blob).status, 202);
    EXPECT_EQ(call("v2_blob", "HEAD", "/v2/other/blobs/" + blob).status, 404);

    EXPECT_EQ(call("v2_manifests", "DELETE", "/v2/app/manifests/" + digest_of(referrer)).status, 202);
    EXPECT_EQ(call("v2_manifests", "GET", "/v2/app/manifests/" + digest_of(referrer)).status, 404);
    EXPECT_EQ(call("v2_referrers", "GET", "/v2/app/referrers/" + image_digest)
                  .body.find(digest_of(referrer)),
              std::string::npos);
}

// A digest of an algorithm the store does not keep, or of the wrong length
// for its algorithm: refused as invalid where it is written, unknown where
// it is read, and nothing is stored.
TEST_P(PushFlows, DigestsOfOtherAlgorithmsOrLengthsAreRefused) {
    const std::string data = "refused content";
    const std::string hex256 = reference_sha256_hex(data), hex512 = reference_sha512_hex(data);
    Reply start = call("v2_uploads", "POST", "/v2/app/blobs/uploads/");
    const std::string location = start.header("location");
    const std::string bad[] = {
        "sha512:" + hex256,                // SHA-512 with 64 digits
        "sha256:" + hex512,                // SHA-256 with 128 digits
        "sha384:" + hex512.substr(0, 96),  // an algorithm the store does not keep
        "sha512:" + hex512.substr(0, 127) + "G",
    };
    for (const std::string &digest : bad) {
        SCOPED_TRACE(digest);
        Reply monolithic =
            call("v2_uploads", "POST", "/v2/app/blobs/uploads/", "digest=" + digest, data);
        EXPECT_EQ(monolithic.status, 400);
        EXPECT_EQ(monolithic.code(), "DIGEST_INVALID");
        Reply finish = call("v2_uploads", "PUT", location, "digest=" + digest, "");
        EXPECT_EQ(finish.status, 400);
        EXPECT_EQ(finish.code(), "DIGEST_INVALID");
        for (const char *method : {"HEAD", "GET"})
            EXPECT_EQ(call("v2_blob", method, "/v2/app/blobs/" + digest).status, 404) << method;
        Reply manifest = put_manifest("app", digest, "{}", kOciManifest);
        EXPECT_EQ(manifest.status, 400);
        EXPECT_EQ(manifest.code(), "DIGEST_INVALID");
    }
    // The session was never finished, and no blob was stored.
    EXPECT_EQ(call("v2_uploads", "GET", location).status, 204);
    EXPECT_FALSE(std::filesystem::exists(root() + "/blobs/sha512"));
    EXPECT_TRUE(std::filesystem::is_empty(root() + "/blobs/sha256"));
}

// ---- Manifests -------------------------------------------------------------------

TEST_P(RegistryApi, ManifestsOfEveryKindAreStoredAsReceived) {
    const std::string oci = stored_image("app", kOciManifest, 10);
    const std::string docker = stored_image("app", kDockerManifest, 20);
    struct Case {
        const char *what;
        std::string ref, body, type, stored_type;
    } cases[] = {
        {"oci manifest by tag", "v1", oci, kOciManifest, kOciManifest},
        {"docker manifest by tag", "v2", docker, kDockerManifest, kDockerManifest},
        {"by digest, type from the document", digest_of(oci), oci, "", kOciManifest},
        {"oci index", "multi", index_of(kOciIndex, {oci, docker}), kOciIndex, kOciIndex},
        {"docker list", "list", index_of(kDockerList, {docker}, kDockerManifest), kDockerList,
         kDockerList},
        {"artifact with the empty config",
         "art",
         "{\"schemaVersion\":2,\"mediaType\":\"" + std::string(kOciManifest) +
             "\",\"artifactType\":\"application/x-demo\",\"config\":" +
             descriptor("application/vnd.oci.empty.v1+json", "{}") + ",\"layers\":[]}",
         kOciManifest, kOciManifest},
        {"manifest with spaces", "spaced", " {\n  \"schemaVersion\" : 2 , \"config\":" +
             descriptor("application/x", "{\"architecture\":\"amd64\",\"seed\":10}") +
             ", \"layers\": [] }\n", "", kOciManifest},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Reply put = put_manifest("app", c.ref, c.body, c.type);
        ASSERT_EQ(put.status, 201) << put.body;
        const std::string digest = digest_of(c.body);
        EXPECT_EQ(put.header("docker-content-digest"), digest);
        EXPECT_EQ(put.header("location"), "/v2/app/manifests/" + digest);
        EXPECT_FALSE(put.has("oci-subject"));
        for (const std::string &ref : {c.ref, digest}) {
            Reply get = call("v2_manifests", "GET", "/v2/app/manifests/" + ref);
            EXPECT_EQ(get.status, 200);
            EXPECT_TRUE(get.body == c.body) << "the bytes received, exactly";
            EXPECT_EQ(get.header("content-type"), c.stored_type);
            EXPECT_EQ(get.header("docker-content-digest"), digest);
            EXPECT_EQ(get.header("content-length"), std::to_string(c.body.size()));
            Reply head = call("v2_manifests", "HEAD", "/v2/app/manifests/" + ref);
            EXPECT_EQ(head.status, 200);
            EXPECT_EQ(head.body, "");
            EXPECT_EQ(head.head, get.head);
        }
    }
}

TEST_P(RegistryApi, ManifestPutRefusals) {
    const std::string image = stored_image("app", kOciManifest, 30);
    const std::string missing_layer =
        image_manifest(kOciManifest, "{\"architecture\":\"amd64\",\"seed\":30}",
                       {random_bytes(10, 99)});
    const std::string missing_config = image_manifest(kOciManifest, "{\"not\":\"stored\"}", {});
    struct Case {
        const char *what;
        std::string repo, ref, body, type;
        int status;
        const char *code;
    } cases[] = {
        {"not JSON", "app", "t", "{not json", kOciManifest, 400, "MANIFEST_INVALID"},
        {"not an object", "app", "t", "[1,2]", kOciManifest, 400, "MANIFEST_INVALID"},
        {"no config", "app", "t", "{\"schemaVersion\":2,\"layers\":[]}", kOciManifest, 400,
         "MANIFEST_INVALID"},
        {"schema 1", "app", "t",
         image.substr(0, 16) + "1" + image.substr(17), kOciManifest, 400, "MANIFEST_INVALID"},
        {"types differ", "app", "t", image, kDockerManifest, 400, "MANIFEST_INVALID"},
        {"unknown type", "app", "t", image.substr(0, 0) + "{\"schemaVersion\":2}",
         "application/x-unknown", 400, "MANIFEST_INVALID"},
        {"header injection in type", "app", "t", "{\"schemaVersion\":2}",
         "application/x\r\nX-Evil: 1", 400, "MANIFEST_INVALID"},
        {"missing layer", "app", "t", missing_layer, kOciManifest, 400, "MANIFEST_BLOB_UNKNOWN"},
        {"missing config", "app", "t", missing_config, kOciManifest, 400,
         "MANIFEST_BLOB_UNKNOWN"},
        {"missing child", "app", "t", index_of(kOciIndex, {image}), kOciIndex, 400,
         "MANIFEST_BLOB_UNKNOWN"},
        {"digest differs", "app", digest_of("other"), image, kOciManifest, 400, "DIGEST_INVALID"},
        {"malformed digest", "app", "sha256:abc", image, kOciManifest, 400, "DIGEST_INVALID"},
        {"invalid tag", "app", "-tag", image, kOciManifest, 400, "NAME_INVALID"},
        {"tag too long", "app", std::string(129, 't'), image, kOciManifest, 400, "NAME_INVALID"},
        {"upper-case name", "App", "t", image, kOciManifest, 400, "NAME_INVALID"},
        {"name with ..", "a/../b", "t", image, kOciManifest, 400, "NAME_INVALID"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Reply r = put_manifest(c.repo, c.ref, c.body, c.type);
        EXPECT_EQ(r.status, c.status) << r.body;
        EXPECT_EQ(r.code(), c.code) << r.body;
    }
    // The repository holds the blobs pushed into it, and no refused put left
    // a tag or a manifest behind.
    EXPECT_EQ(call("v2_tags", "GET", "/v2/app/tags/list").body, "{\"name\":\"app\",\"tags\":[]}\n");
    EXPECT_FALSE(std::filesystem::exists(root() + "/repositories/app/_manifests/revisions"));
}

TEST_P(RegistryApi, ManifestSizeLimit) {
    push_blob("{}");
    // A document padded with white space to exactly the limit, and one byte more.
    std::string base = image_manifest(kOciManifest, "{}", {});
    std::string at_limit = base + std::string(4 * 1024 * 1024 - base.size(), ' ');
    Reply ok = put_manifest("app", "big", at_limit, kOciManifest);
    EXPECT_EQ(ok.status, 201) << ok.body.substr(0, 200);
    Reply get = call("v2_manifests", "GET", "/v2/app/manifests/big");
    EXPECT_EQ(get.body.size(), at_limit.size());
    Reply over = put_manifest("app", "bigger", at_limit + " ", kOciManifest);
    EXPECT_EQ(over.status, 413);
    EXPECT_EQ(call("v2_manifests", "GET", "/v2/app/manifests/bigger").status, 404);
}

TEST_P(RegistryApi, DeleteByTagAndByDigest) {
    const std::string image = stored_image("app", kOciManifest, 40);
    const std::string digest = digest_of(image);
    ASSERT_EQ(put_manifest("app", "v1", image, kOciManifest).status, 201);
    ASSERT_EQ(put_manifest("app", "v2", image, kOciManifest).status, 201);
    EXPECT_EQ(call("v2_manifests", "DELETE", "/v2/app/manifests/v1").status, 202);
    EXPECT_EQ(call("v2_manifests", "GET", "/v2/app/manifests/v1").code(), "MANIFEST_UNKNOWN");
    EXPECT_EQ(call("v2_manifests", "GET", "/v2/app/manifests/v2").status, 200);
    EXPECT_EQ(call("v2_manifests", "DELETE", "/v2/app/manifests/v1").status, 404);
    EXPECT_EQ(call("v2_manifests", "DELETE", "/v2/app/manifests/v2").status, 202);
    // Without tags the manifest is still there by its digest.
    EXPECT_EQ(call("v2_manifests", "GET", "/v2/app/manifests/" + digest).status, 200);
    EXPECT_EQ(call("v2_tags", "GET", "/v2/app/tags/list").body,
              "{\"name\":\"app\",\"tags\":[]}\n");
    EXPECT_EQ(call("v2_manifests", "DELETE", "/v2/app/manifests/" + digest).status, 202);
    Reply gone = call("v2_manifests", "GET", "/v2/app/manifests/" + digest);
    EXPECT_EQ(gone.status, 404);
    EXPECT_EQ(gone.code(), "MANIFEST_UNKNOWN");
    EXPECT_EQ(call("v2_manifests", "DELETE", "/v2/app/manifests/" + digest).status, 404);
    // A digest takes the tags that name it along.
    ASSERT_EQ(put_manifest("app", "v3", image, kOciManifest).status, 201);
    ASSERT_EQ(put_manifest("app", "v4", image, kOciManifest).status, 201);
    const std::string other = stored_image("app", kOciManifest, 41);
    ASSERT_EQ(put_manifest("app", "v5", other, kOciManifest).status, 201);
    EXPECT_EQ(call("v2_manifests", "DELETE", "/v2/app/manifests/" + digest).status, 202);
    EXPECT_EQ(call("v2_manifests", "GET", "/v2/app/manifests/v3").status, 404);
    EXPECT_EQ(call("v2_tags", "GET", "/v2/app/tags/list").body,
              "{\"name\":\"app\",\"tags\":[\"v5\"]}\n");
    EXPECT_EQ(call("v2_manifests", "PATCH", "/v2/app/manifests/v1").status, 405);
    EXPECT_EQ(call("v2_manifests", "GET", "/v2/nothing/manifests/v1").status, 404);
}

// ---- Tag list and catalog ----------------------------------------------------------

TEST_P(RegistryApi, TagListPagesWithLinks) {
    const std::string image = stored_image("lib/app", kOciManifest, 50);
    for (const char *tag : {"b", "a", "c", "1.0", "Z"})
        ASSERT_EQ(put_manifest("lib/app", tag, image, kOciManifest).status, 201);
    struct Case {
        std::string query, tags, link;
    } cases[] = {
        {"", "\"1.0\",\"Z\",\"a\",\"b\",\"c\"", ""},
        {"n=2", "\"1.0\",\"Z\"", "</v2/lib/app/tags/list?n=2&last=Z>; rel=\"next\""},
        {"n=2&last=Z", "\"a\",\"b\"", "</v2/lib/app/tags/list?n=2&last=b>; rel=\"next\""},
        {"n=2&last=b", "\"c\"", ""},
        {"n=5", "\"1.0\",\"Z\",\"a\",\"b\",\"c\"", ""},
        {"n=0", "", ""},
        {"last=a", "\"b\",\"c\"", ""},
        {"last=zzz", "", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.query);
        Reply r = call("v2_tags", "GET", "/v2/lib/app/tags/list", c.query);
        EXPECT_EQ(r.status, 200);
        EXPECT_EQ(r.body, "{\"name\":\"lib/app\",\"tags\":[" + c.tags + "]}\n");
        EXPECT_EQ(r.header("link"), c.link);
        EXPECT_EQ(r.header("content-type"), "application/json; charset=utf-8");
    }
    EXPECT_EQ(call("v2_tags", "GET", "/v2/lib/app/tags/list", "n=x").status, 400);
    Reply unknown = call("v2_tags", "GET", "/v2/lib/none/tags/list");
    EXPECT_EQ(unknown.status, 404);
    EXPECT_EQ(unknown.code(), "NAME_UNKNOWN");
}

TEST_P(RegistryApi, SixHundredTagsAreAllListed) {
    const std::string image = stored_image("many", kOciManifest, 60);
    ASSERT_EQ(put_manifest("many", "t000", image, kOciManifest).status, 201);
    // The tag links are made directly: 600 puts as processes take long.
    const std::string link = read_whole_file(root() + "/repositories/many/_manifests/tags/t000/current/link");
    for (int i = 1; i < 600; i++) {
        char tag[8];
        snprintf(tag, sizeof tag, "t%03d", i);
        std::string dir = root() + "/repositories/many/_manifests/tags/" + tag + "/current";
        std::filesystem::create_directories(dir);
        testing_support::write_whole_file(dir + "/link", link);
    }
    Reply all = call("v2_tags", "GET", "/v2/many/tags/list");
    std::string expected;
    for (int i = 0; i < 600; i++) {
        char tag[8];
        snprintf(tag, sizeof tag, "t%03d", i);
        expected += std::string(i ? "," : "") + "\"" + tag + "\"";
    }
    EXPECT_EQ(all.body, "{\"name\":\"many\",\"tags\":[" + expected + "]}\n");
    Reply page = call("v2_tags", "GET", "/v2/many/tags/list", "n=100&last=t411");
    EXPECT_EQ(page.header("link"), "</v2/many/tags/list?n=100&last=t511>; rel=\"next\"");
    EXPECT_EQ(page.body.substr(0, 36), "{\"name\":\"many\",\"tags\":[\"t412\",\"t413\"");
    Reply rest = call("v2_tags", "GET", "/v2/many/tags/list", "n=100&last=t511");
    EXPECT_EQ(rest.header("link"), "") << "the last page has no next";
    EXPECT_EQ(rest.body.substr(rest.body.size() - 9), "\"t599\"]}\n");
}

TEST_P(RegistryApi, CatalogPagesOverNestedRepositories) {
    const std::string image = stored_image("a", kOciManifest, 70);
    for (const char *repo : {"b/c", "a", "b/c/d", "e"}) {
        for (const std::string &blob : {std::string("{\"architecture\":\"amd64\",\"seed\":70}")})
            push_blob(blob, repo);
        ASSERT_EQ(put_manifest(repo, "v1", image, kOciManifest).status, 201);
    }
    Reply all = call("v2_catalog", "GET", "/v2/_catalog");
    EXPECT_EQ(all.body, "{\"repositories\":[\"a\",\"b/c\",\"b/c/d\",\"e\"]}\n");
    Reply page = call("v2_catalog", "GET", "/v2/_catalog", "n=2&last=a");
    EXPECT_EQ(page.body, "{\"repositories\":[\"b/c\",\"b/c/d\"]}\n");
    EXPECT_EQ(page.header("link"), "</v2/_catalog?n=2&last=b/c/d>; rel=\"next\"");
    EXPECT_EQ(call("v2_catalog", "GET", "/v2/_catalog", "n=0").body, "{\"repositories\":[]}\n");
    EXPECT_EQ(call("v2_catalog", "DELETE", "/v2/_catalog").status, 405);
}

// ---- Referrers ---------------------------------------------------------------------------

TEST_P(RegistryApi, ReferrersListManifestsWithASubject) {
    const std::string image = stored_image("app", kOciManifest, 80);
    ASSERT_EQ(put_manifest("app", "v1", image, kOciManifest).status, 201);
    push_blob("{}");
    const std::string subject = ",\"subject\":" + descriptor(kOciManifest, image);
    auto artifact = [&](const std::string &type, const std::string &note) {
        return "{\"schemaVersion\":2,\"mediaType\":\"" + std::string(kOciManifest) +
               "\",\"artifactType\":\"" + type + "\",\"config\":" +
               descriptor("application/vnd.oci.empty.v1+json", "{}") +
               ",\"layers\":[],\"annotations\":{\"note\":\"" + note + "\"}" + subject + "}";
    };
    const std::string sig = artifact("application/x-signature", "sig");
    const std::string sbom = artifact("application/x-sbom", "sbom");
    for (const std::string &m : {sig, sbom}) {
        Reply put = put_manifest("app", digest_of(m), m, kOciManifest);
        ASSERT_EQ(put.status, 201) << put.body;
        EXPECT_EQ(put.header("oci-subject"), digest_of(image));
    }
    // A subject that is not stored is accepted too.
    const std::string orphan_subject = ",\"subject\":" + descriptor(kOciManifest, "absent");
    const std::string orphan = image_manifest(kOciManifest, "{}", {}, orphan_subject);
    EXPECT_EQ(put_manifest("app", digest_of(orphan), orphan, kOciManifest).status, 201);

    Reply all = call("v2_referrers", "GET", "/v2/app/referrers/" + digest_of(image));
    EXPECT_EQ(all.status, 200);
    EXPECT_EQ(all.header("content-type"), kOciIndex);
    EXPECT_FALSE(all.has("oci-filters-applied"));
    for (const std::string &m : {sig, sbom}) {
        EXPECT_NE(all.body.find("\"digest\":\"" + digest_of(m) + "\",\"size\":" +
                                std::to_string(m.size())),
                  std::string::npos)
            << all.body;
    }
    EXPECT_NE(all.body.find("\"annotations\":{\"note\":\"sig\"}"), std::string::npos);
    EXPECT_EQ(all.body.find(digest_of(orphan)), std::string::npos);

    Reply filtered = call("v2_referrers", "GET", "/v2/app/referrers/" + digest_of(image),
                          "artifactType=application/x-sbom");
    EXPECT_EQ(filtered.header("oci-filters-applied"), "artifactType");
    EXPECT_NE(filtered.body.find(digest_of(sbom)), std::string::npos);
    EXPECT_EQ(filtered.body.find(digest_of(sig)), std::string::npos);

    // A deleted referrer is no longer listed.
    EXPECT_EQ(call("v2_manifests", "DELETE", "/v2/app/manifests/" + digest_of(sig)).status, 202);
    Reply after = call("v2_referrers", "GET", "/v2/app/referrers/" + digest_of(image));
    EXPECT_EQ(after.body.find(digest_of(sig)), std::string::npos);
    EXPECT_NE(after.body.find(digest_of(sbom)), std::string::npos);

    Reply none = call("v2_referrers", "GET", "/v2/app/referrers/" + digest_of("nothing"));
    EXPECT_EQ(none.body,
              "{\"schemaVersion\":2,\"mediaType\":\"" + std::string(kOciIndex) +
                  "\",\"manifests\":[]}");
    EXPECT_EQ(call("v2_referrers", "GET", "/v2/app/referrers/sha256:bad").code(), "DIGEST_INVALID");
}

}  // namespace

// ---- Read-only mode --------------------------------------------------------------

namespace {

// Every entry below root with its kind, size, modification time and bytes,
// so that any change on disk shows.
std::map<std::string, std::string> snapshot(const std::string &root) {
    namespace fs = std::filesystem;
    std::map<std::string, std::string> out;
    for (const auto &e : fs::recursive_directory_iterator(root)) {
        std::string rel = e.path().lexically_relative(root).generic_string();
        if (e.is_directory()) {
            out[rel] = "dir";
            continue;
        }
        auto when = fs::last_write_time(e.path()).time_since_epoch().count();
        out[rel] = std::to_string(when) + " " + read_whole_file(e.path().string());
    }
    return out;
}

struct WriteRequest {
    const char *program;
    const char *method;
    std::string path;  // "<upload>" stands for the open upload's location
    std::string query;
    std::string body;
};

}  // namespace

TEST_P(RegistryApi, ReadOnlyRefusesEveryWriteAndChangesNothing) {
    std::string manifest = stored_image("app", kOciManifest, 80);
    ASSERT_EQ(put_manifest("app", "v1", manifest, kOciManifest).status, 201);
    Reply start = call("v2_uploads", "POST", "/v2/app/blobs/uploads/");
    ASSERT_EQ(start.status, 202);
    const std::string upload = start.header("location");
    const std::string layer = digest_of(random_bytes(1000, 80));
    const std::string other = random_bytes(500, 81);

    const std::map<std::string, std::string> before = snapshot(root());
    const std::vector<WriteRequest> writes = {
        {"v2_blob", "DELETE", "/v2/app/blobs/" + layer, "", ""},
        {"v2_uploads", "POST", "/v2/app/blobs/uploads/", "", ""},
        {"v2_uploads", "POST", "/v2/app/blobs/uploads/", "digest=" + digest_of(other), other},
        {"v2_uploads", "POST", "/v2/new/blobs/uploads/", "mount=" + layer + "&from=app", ""},
        {"v2_uploads", "PATCH", upload, "", other},
        {"v2_uploads", "PUT", upload, "digest=" + digest_of(other), other},
        {"v2_uploads", "DELETE", upload, "", ""},
        {"v2_manifests", "PUT", "/v2/app/manifests/v2", "", manifest},
        {"v2_manifests", "DELETE", "/v2/app/manifests/v1", "", ""},
        {"v2_manifests", "DELETE", "/v2/app/manifests/" + digest_of(manifest), "", ""},
        {"v2_tags", "DELETE", "/v2/app/tags/list", "", ""},
        {"v2_base", "POST", "/v2/", "", ""},
    };
    for (const char *value : {"1", "true", "YES", "read-only"}) {
        for (const WriteRequest &w : writes) {
            SCOPED_TRACE(std::string(value) + ": " + w.method + " " + w.path);
            Reply r = call(w.program, w.method, w.path, w.query, w.body,
                           {{"REGISTRY_READ_ONLY", value}});
            EXPECT_EQ(r.status, 405);
            EXPECT_EQ(r.body,
                      "{\"errors\":[{\"code\":\"UNSUPPORTED\",\"message\":\"the registry is "
                      "read-only\"}]}\n");
        }
    }
    EXPECT_EQ(snapshot(root()), before);

    // Reads answer as they do in a registry that writes.
    for (const char *value : {"1", ""}) {
        SCOPED_TRACE(std::string("REGISTRY_READ_ONLY=") + value);
        std::map<std::string, std::string> env = {{"REGISTRY_READ_ONLY", value}};
        Reply get = call("v2_manifests", "GET", "/v2/app/manifests/v1", "", "", env);
        EXPECT_EQ(get.status, 200);
        EXPECT_EQ(get.body, manifest);
        EXPECT_EQ(call("v2_blob", "HEAD", "/v2/app/blobs/" + layer, "", "", env).status, 200);
        EXPECT_EQ(call("v2_uploads", "GET", upload, "", "", env).status, 204);
        EXPECT_EQ(call("v2_tags", "GET", "/v2/app/tags/list", "", "", env).body,
                  "{\"name\":\"app\",\"tags\":[\"v1\"]}\n");
        EXPECT_EQ(call("v2_catalog", "GET", "/v2/_catalog", "", "", env).status, 200);
        EXPECT_EQ(call("v2_referrers", "GET", "/v2/app/referrers/" + digest_of(manifest), "", "",
                       env)
                      .status,
                  200);
    }
    EXPECT_EQ(snapshot(root()), before);

    // Values that leave the registry writable.
    for (const char *value : {"0", "false", "No", "OFF"}) {
        Reply started = call("v2_uploads", "POST", "/v2/app/blobs/uploads/", "", "",
                             {{"REGISTRY_READ_ONLY", value}});
        EXPECT_EQ(started.status, 202) << value;
    }
}

// ---- Access policy -------------------------------------------------------------

const char kAccessPolicy[] =
    "{\"realm\": \"tarnwick test\",\n"
    " \"groups\": {\"devs\": [\"alice\", \"bob\"]},\n"
    " \"rules\": [\n"
    "  {\"who\": [\"anonymous\"], \"repositories\": [\"public/**\"], \"actions\": [\"pull\"]},\n"
    "  {\"who\": [\"user:alice\"], \"repositories\": [\"alice/**\"], \"actions\": [\"pull\", \"push\", \"delete\"]},\n"
    "  {\"who\": [\"group:devs\"], \"repositories\": [\"team/**\"], \"actions\": [\"pull\", \"push\"]},\n"
    "  {\"who\": [\"authenticated\"], \"repositories\": [\"shared/*\"], \"actions\": [\"pull\"]},\n"
    "  {\"who\": [\"user:admin\"], \"repositories\": [\"**\"], \"actions\": [\"pull\", \"push\", \"delete\"]}\n"
    " ]}\n";

class RegistryAccess : public RegistryApi {
  protected:
    void SetUp() override {
        RegistryApi::SetUp();
        write_policy(kAccessPolicy);
    }
    void write_policy(const std::string &text) {
        testing_support::write_whole_file(policy_path(), text);
    }
    std::string policy_path() const { return dir_ / "policy.json"; }
    // A request's variables for user ("" for none) under the policy.
    std::map<std::string, std::string> as(const std::string &user) const {
        std::map<std::string, std::string> env = {{"REGISTRY_ACCESS_POLICY", policy_path()},
                                                  {"REMOTE_ADDR", "192.0.2.7"}};
        if (!user.empty()) env["REMOTE_USER"] = user;
        return env;
    }
    // The status a refusal has for user: 401 without one, else 403.
    static int refused(const std::string &user) { return user.empty() ? 401 : 403; }
    // The realm of the challenge: the policy's, or "registry" where it
    // names none or is broken.
    std::string realm_ = "tarnwick test";
    void expect_refusal(const Reply &r, const std::string &user) {
        EXPECT_EQ(r.status, refused(user)) << r.body;
        EXPECT_EQ(r.code(), user.empty() ? "UNAUTHORIZED" : "DENIED");
        EXPECT_EQ(r.header("www-authenticate"),
                  user.empty() ? "Basic realm=\"" + realm_ + "\"" : "");
    }
    // An image in each of the four repositories, stored without a policy.
    void store_images() {
        for (const char *repo : {"public/app", "alice/app", "team/app", "shared/app"}) {
            std::string m = stored_image(repo, kOciManifest, 90);
            ASSERT_EQ(put_manifest(repo, "v1", m, kOciManifest).status, 201);
        }
    }
};

// A tenant who knows the digest of another tenant's private blob reaches it
// through no repository of their own: not by HEAD or GET, not by a mount,
// not by a manifest that names it. Whoever has the bytes may push them, and
// a delete takes only the deleting repository's hold of a blob.
TEST_P(RegistryAccess, TenantsCannotReachEachOthersBlobs) {
    const std::string secret = random_bytes(4000, 77);
    const std::string digest = digest_of(secret);
    Reply pushed = call("v2_uploads", "POST", "/v2/alice/app/blobs/uploads/", "digest=" + digest,
                        secret, as("alice"));
    ASSERT_EQ(pushed.status, 201) << pushed.body;
    EXPECT_EQ(call("v2_blob", "GET", "/v2/alice/app/blobs/" + digest, "", "", as("alice")).status,
              200);
    for (const char *method : {"HEAD", "GET"}) {
        EXPECT_EQ(call("v2_blob", method, "/v2/team/app/blobs/" + digest, "", "", as("bob")).status,
                  404)
            << method;
        EXPECT_EQ(call("v2_blob", method, "/v2/public/app/blobs/" + digest, "", "", as("")).status,
                  404)
            << method;
    }
    for (const char *from : {"alice/app", "team/app", ""}) {
        SCOPED_TRACE(std::string("mount from '") + from + "'");
        Reply mount = call("v2_uploads", "POST", "/v2/team/app/blobs/uploads/",
                           "mount=" + digest + "&from=" + from, "", as("bob"));
        EXPECT_EQ(mount.status, 202) << "a mount that cannot be made is a new upload";
        EXPECT_EQ(call("v2_blob", "HEAD", "/v2/team/app/blobs/" + digest, "", "", as("bob")).status,
                  404);
    }
    const std::string config = "{\"tenant\":\"bob\"}";
    ASSERT_EQ(call("v2_uploads", "POST", "/v2/team/app/blobs/uploads/",
                   "digest=" + digest_of(config), config, as("bob"))
                  .status,
              201);
    const std::string naming = image_manifest(kOciManifest, config, {secret});
    Reply refused = call("v2_manifests", "PUT", "/v2/team/app/manifests/v1", "", naming,
                         [&] {
                             auto env = as("bob");
                             env["CONTENT_TYPE"] = kOciManifest;
                             return env;
                         }());
    EXPECT_EQ(refused.status, 400);
    EXPECT_EQ(refused.code(), "MANIFEST_BLOB_UNKNOWN");

    // Bob pushes the same bytes himself: now his repository holds them too,
    // and Alice's delete takes only her repository's hold.
    ASSERT_EQ(call("v2_uploads", "POST", "/v2/team/app/blobs/uploads/", "digest=" + digest, secret,
                   as("bob"))
                  .status,
              201);
    EXPECT_EQ(call("v2_blob", "HEAD", "/v2/team/app/blobs/" + digest, "", "", as("bob")).status,
              200);
    EXPECT_EQ(call("v2_blob", "DELETE", "/v2/alice/app/blobs/" + digest, "", "", as("alice")).status,
              202);
    EXPECT_EQ(call("v2_blob", "HEAD", "/v2/alice/app/blobs/" + digest, "", "", as("alice")).status,
              404);
    EXPECT_EQ(call("v2_blob", "GET", "/v2/team/app/blobs/" + digest, "", "", as("bob")).body, secret);
}

TEST_P(RegistryAccess, EveryUserAndRepositoryAnswersAsThePolicySays) {
    store_images();
    // What each user may do in each repository, written out by hand from
    // the policy: p pull, u push, d delete.
    struct Row {
        const char *user;
        const char *public_app, *alice_app, *team_app, *shared_app;
    } rows[] = {
        {"", "p", "", "", ""},
        {"alice", "p", "pud", "pu", "p"},
        {"bob", "p", "", "pu", "p"},
        {"carol", "p", "", "", "p"},
        {"admin", "pud", "pud", "pud", "pud"},
    };
    const std::map<std::string, std::string> before = snapshot(root());
    for (const Row &row : rows) {
        const std::pair<const char *, const char *> grants[] = {{"public/app", row.public_app},
                                                                {"alice/app", row.alice_app},
                                                                {"team/app", row.team_app},
                                                                {"shared/app", row.shared_app}};
        for (const auto &[repo, allowed] : grants) {
            SCOPED_TRACE(std::string("user '") + row.user + "' in " + repo);
            const std::string r = repo;
            auto env = as(row.user);
            bool may_pull = strchr(allowed, 'p') != nullptr;
            bool may_push = strchr(allowed, 'u') != nullptr;
            bool may_delete = strchr(allowed, 'd') != nullptr;
            Reply pull = call("v2_manifests", "GET", "/v2/" + r + "/manifests/v1", "", "", env);
            if (may_pull) {
                EXPECT_EQ(pull.status, 200);
            } else {
                expect_refusal(pull, row.user);
                EXPECT_EQ(last_err_, std::string("registry-access user=") +
                                         (row.user[0] ? row.user : "-") +
                                         " addr=192.0.2.7 action=pull repository=" + r +
                                         " digest=- reference=- result=denied\n");
            }
            Reply push = call("v2_uploads", "POST", "/v2/" + r + "/blobs/uploads/", "", "", env);
            if (may_push) {
                EXPECT_EQ(push.status, 202);
                // The session goes again, so that the store stays as it was.
                EXPECT_EQ(call("v2_uploads", "DELETE", push.header("location"), "", "", env).status,
                          204);
            } else {
                expect_refusal(push, row.user);
            }
            // A tag that is not there: allowed is 404, the store unchanged.
            Reply remove = call("v2_manifests", "DELETE", "/v2/" + r + "/manifests/none", "", "", env);
            if (may_delete)
                EXPECT_EQ(remove.status, 404);
            else
                expect_refusal(remove, row.user);
        }
    }
    EXPECT_EQ(snapshot(root()), before);
}

TEST_P(RegistryAccess, EveryProgramRefusesBeforeItChangesOrReadsAnything) {
    store_images();
    std::string manifest = stored_image("team/app", kOciManifest, 91);
    ASSERT_EQ(put_manifest("team/app", "v2", manifest, kOciManifest).status, 201);
    Reply start = call("v2_uploads", "POST", "/v2/team/app/blobs/uploads/");
    ASSERT_EQ(start.status, 202);
    const std::string upload = start.header("location");
    const std::string config = "{\"architecture\":\"amd64\",\"seed\":91}";
    const std::string blob = digest_of(config);
    const std::string body = random_bytes(700, 92);

    const std::map<std::string, std::string> before = snapshot(root());
    const std::vector<WriteRequest> requests = {
        {"v2_blob", "HEAD", "/v2/team/app/blobs/" + blob, "", ""},
        {"v2_blob", "GET", "/v2/team/app/blobs/" + blob, "", ""},
        {"v2_blob", "DELETE", "/v2/team/app/blobs/" + blob, "", ""},
        {"v2_uploads", "POST", "/v2/team/app/blobs/uploads/", "", body},
        {"v2_uploads", "POST", "/v2/team/app/blobs/uploads/", "digest=" + digest_of(body), body},
        {"v2_uploads", "POST", "/v2/team/app/blobs/uploads/", "mount=" + blob + "&from=team/app", ""},
        {"v2_uploads", "PATCH", upload, "", body},
        {"v2_uploads", "PUT", upload, "digest=" + digest_of(body), body},
        {"v2_uploads", "GET", upload, "", ""},
        {"v2_uploads", "DELETE", upload, "", ""},
        {"v2_manifests", "HEAD", "/v2/team/app/manifests/v1", "", ""},
        {"v2_manifests", "PUT", "/v2/team/app/manifests/v3", "", manifest},
        {"v2_manifests", "DELETE", "/v2/team/app/manifests/v1", "", ""},
        {"v2_manifests", "DELETE", "/v2/team/app/manifests/" + digest_of(manifest), "", ""},
        {"v2_tags", "GET", "/v2/team/app/tags/list", "", ""},
        {"v2_referrers", "GET", "/v2/team/app/referrers/" + digest_of(manifest), "", ""},
        // A repository that does not exist is refused alike: a refusal
        // tells nothing of what is stored.
        {"v2_manifests", "GET", "/v2/team/none/manifests/v1", "", ""},
    };
    for (const char *user : {"", "carol"}) {
        for (const WriteRequest &w : requests) {
            SCOPED_TRACE(std::string("user '") + user + "': " + w.method + " " + w.path + "?" + w.query);
            auto env = as(user);
            if (w.program == std::string("v2_manifests") && w.method == std::string("PUT"))
                env["CONTENT_TYPE"] = kOciManifest;
            Reply r = call(w.program, w.method, w.path, w.query, w.body, env);
            expect_refusal(r, user);
            EXPECT_NE(last_err_.find(" result=denied\n"), std::string::npos) << last_err_;
        }
    }
    EXPECT_EQ(snapshot(root()), before);
    // The same upload goes on for a user the policy lets push.
    EXPECT_EQ(call("v2_uploads", "PATCH", upload, "", body, as("bob")).status, 202);
}

TEST_P(RegistryAccess, BaseCatalogAndMountFollowThePolicy) {
    store_images();
    // /v2/: every user; anonymous only while the policy grants it anything.
    // A request without a user learns the scheme all the same, so that a
    // client with credentials sends them.
    Reply anonymous = call("v2_base", "GET", "/v2/", "", "", as(""));
    EXPECT_EQ(anonymous.status, 200);
    EXPECT_EQ(anonymous.header("www-authenticate"), "Basic realm=\"tarnwick test\"");
    Reply carol = call("v2_base", "GET", "/v2/", "", "", as("carol"));
    EXPECT_EQ(carol.status, 200);
    EXPECT_FALSE(carol.has("www-authenticate"));
    EXPECT_FALSE(call("v2_base", "GET", "/v2/").has("www-authenticate")) << "no policy, no challenge";
    write_policy(R"({"rules":[{"who":["authenticated"],"repositories":["**"],"actions":["pull"]}]})");
    Reply base = call("v2_base", "GET", "/v2/", "", "", as(""));
    EXPECT_EQ(base.status, 401);
    EXPECT_EQ(base.header("www-authenticate"), "Basic realm=\"registry\"");
    EXPECT_EQ(call("v2_base", "GET", "/v2/", "", "", as("carol")).status, 200);
    write_policy(kAccessPolicy);

    // The catalog holds only what the user may pull, page by page.
    struct CatalogCase {
        const char *user;
        const char *all;
    } catalogs[] = {
        {"", "[\"public/app\"]"},
        {"carol", "[\"public/app\",\"shared/app\"]"},
        {"bob", "[\"public/app\",\"shared/app\",\"team/app\"]"},
        {"admin", "[\"alice/app\",\"public/app\",\"shared/app\",\"team/app\"]"},
    };
    for (const CatalogCase &c : catalogs) {
        SCOPED_TRACE(c.user);
        Reply all = call("v2_catalog", "GET", "/v2/_catalog", "", "", as(c.user));
        EXPECT_EQ(all.body, std::string("{\"repositories\":") + c.all + "}\n");
    }
    Reply first = call("v2_catalog", "GET", "/v2/_catalog", "n=1", "", as("carol"));
    EXPECT_EQ(first.body, "{\"repositories\":[\"public/app\"]}\n");
    EXPECT_EQ(first.header("link"), "</v2/_catalog?n=1&last=public/app>; rel=\"next\"");
    Reply second = call("v2_catalog", "GET", "/v2/_catalog", "n=1&last=public/app", "", as("carol"));
    EXPECT_EQ(second.body, "{\"repositories\":[\"shared/app\"]}\n");
    EXPECT_EQ(second.header("link"), "") << "nothing carol may pull follows";

    // A mount from a repository the user may not pull is a new upload.
    const std::string config = digest_of("{\"architecture\":\"amd64\",\"seed\":90}");
    Reply refused = call("v2_uploads", "POST", "/v2/team/new/blobs/uploads/",
                         "mount=" + config + "&from=alice/app", "", as("bob"));
    EXPECT_EQ(refused.status, 202);
    EXPECT_NE(refused.header("docker-upload-uuid"), "");
    Reply unnamed = call("v2_uploads", "POST", "/v2/team/new/blobs/uploads/", "mount=" + config, "",
                         as("bob"));
    EXPECT_EQ(unnamed.status, 202) << "without from, no repository vouches for the blob";
    Reply mounted = call("v2_uploads", "POST", "/v2/team/new/blobs/uploads/",
                         "mount=" + config + "&from=shared/app", "", as("bob"));
    EXPECT_EQ(mounted.status, 201);
}

TEST_P(RegistryAccess, ABrokenOrChangedPolicyIsFollowedAndFailsClosed) {
    store_images();
    EXPECT_EQ(call("v2_manifests", "GET", "/v2/public/app/manifests/v1", "", "", as("")).status, 200);
    // An edit that breaks the policy refuses everything, to everyone, and
    // the error log says why.
    write_policy(std::string(kAccessPolicy).replace(std::string(kAccessPolicy).find("group:devs"), 10,
                                                   "group:ops"));
    realm_ = "registry";
    expect_refusal(call("v2_manifests", "GET", "/v2/public/app/manifests/v1", "", "", as("")), "");
    EXPECT_NE(last_err_.find("registry-access-policy broken: line 6, column 12 (rules[2].who[0]): "
                             "unknown group 'ops'"),
              std::string::npos)
        << last_err_;
    Reply admin = call("v2_manifests", "GET", "/v2/public/app/manifests/v1", "", "", as("admin"));
    EXPECT_EQ(admin.status, 403);
    EXPECT_EQ(call("v2_base", "GET", "/v2/", "", "", as("")).status, 401);
    // The file gone: the same.
    std::filesystem::remove(policy_path());
    EXPECT_EQ(call("v2_manifests", "GET", "/v2/public/app/manifests/v1", "", "", as("admin")).status,
              403);
    // Mended: followed at the next request, by a responder as well.
    write_policy(kAccessPolicy);
    EXPECT_EQ(call("v2_manifests", "GET", "/v2/public/app/manifests/v1", "", "", as("")).status, 200);
    write_policy(R"({"rules":[{"who":["user:carol"],"repositories":["**"],"actions":["pull"]}]})");
    expect_refusal(call("v2_manifests", "GET", "/v2/public/app/manifests/v1", "", "", as("")), "");
    EXPECT_EQ(call("v2_manifests", "GET", "/v2/alice/app/manifests/v1", "", "", as("carol")).status,
              200);
    // Without the variable, the registry answers as it did before policies.
    EXPECT_EQ(call("v2_manifests", "GET", "/v2/alice/app/manifests/v1").status, 200);
}

#ifdef _WIN32
INSTANTIATE_TEST_SUITE_P(Modes, RegistryAccess, ::testing::Values(Setting{Mode::kCgi, Algo::kSha256}),
                         setting_name);
#else
INSTANTIATE_TEST_SUITE_P(Modes, RegistryAccess,
                         ::testing::Values(Setting{Mode::kCgi, Algo::kSha256},
                                           Setting{Mode::kFastcgi, Algo::kSha256}),
                         setting_name);
#endif

#ifdef _WIN32
INSTANTIATE_TEST_SUITE_P(Modes, RegistryApi, ::testing::Values(Setting{Mode::kCgi, Algo::kSha256}),
                         setting_name);
INSTANTIATE_TEST_SUITE_P(Modes, PushFlows,
                         ::testing::Values(Setting{Mode::kCgi, Algo::kSha256},
                                           Setting{Mode::kCgi, Algo::kSha512}),
                         setting_name);
#else
INSTANTIATE_TEST_SUITE_P(Modes, RegistryApi,
                         ::testing::Values(Setting{Mode::kCgi, Algo::kSha256},
                                           Setting{Mode::kFastcgi, Algo::kSha256}),
                         setting_name);
INSTANTIATE_TEST_SUITE_P(Modes, PushFlows,
                         ::testing::Values(Setting{Mode::kCgi, Algo::kSha256},
                                           Setting{Mode::kFastcgi, Algo::kSha256},
                                           Setting{Mode::kCgi, Algo::kSha512},
                                           Setting{Mode::kFastcgi, Algo::kSha512}),
                         setting_name);
#endif
