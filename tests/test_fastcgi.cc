// The programs as FastCGI responders: one process serves request after
// request, and nothing of one request (its variables, query values, range,
// storage root, failure) reaches the next; nothing of the responder's own
// environment reaches a request except the deployment's settings; errors
// end only their request; files do not pile up; the responder stops
// cleanly when asked.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "tests/support/fastcgi.h"
#include "tests/support/invariants.h"
#include "tests/support/process.h"

using testing_support::FastcgiReply;
using testing_support::FastcgiResponder;
using testing_support::random_bytes;
using testing_support::reference_sha256_hex;
using testing_support::run_process;
using testing_support::ScratchDir;
using Vars = std::map<std::string, std::string>;

namespace {

std::string program(const std::string &name) { return std::string(ENDPOINT_DIR) + "/" + name; }

int status_of(const FastcgiReply &r) {
    size_t at = r.out.find("Status: ");
    return at == 0 ? std::stoi(r.out.substr(8, 3)) : -1;
}

std::string body_of(const FastcgiReply &r) {
    size_t at = r.out.find("\r\n\r\n");
    return at == std::string::npos ? "" : r.out.substr(at + 4);
}

std::string header_of(const FastcgiReply &r, const std::string &name) {
    size_t end = r.out.find("\r\n\r\n");
    size_t at = r.out.find("\r\n" + name + ": ");
    if (at == std::string::npos || at > end) return "";
    at += name.size() + 4;
    return r.out.substr(at, r.out.find("\r\n", at) - at);
}

class Fastcgi : public ::testing::Test {
  protected:
    std::string root() const { return dir_ / "root"; }

    // The variables of a request the way a web server sends them.
    Vars request(const std::string &method, const std::string &path, const std::string &query = "",
                 const std::string &root_dir = "") {
        Vars v{{"REQUEST_METHOD", method}, {"PATH_INFO", path}, {"GATEWAY_INTERFACE", "CGI/1.1"},
               {"REGISTRY_STORAGE_ROOT", root_dir.empty() ? root() : root_dir}};
        if (!query.empty()) v["QUERY_STRING"] = query;
        return v;
    }

    // Stores data as a blob under root_dir through a CGI process.
    std::string push_blob(const std::string &data, const std::string &root_dir) {
        std::string digest = "sha256:" + reference_sha256_hex(data);
        auto r = run_process(program("v2_uploads"), {},
                             {{"REGISTRY_STORAGE_ROOT", root_dir}, {"REQUEST_METHOD", "POST"},
                              {"PATH_INFO", "/v2/app/blobs/uploads/"},
                              {"QUERY_STRING", "digest=" + digest},
                              {"CONTENT_LENGTH", std::to_string(data.size())}},
                             dir_.path(), data);
        EXPECT_NE(r.out.find("Status: 201"), std::string::npos) << r.out;
        return digest;
    }

    ScratchDir dir_;
};

// Variables a CGI request carries, set in the responder's own environment:
// a request that lacks them must not find them there.
TEST_F(Fastcgi, TheResponderEnvironmentIsNotPartOfARequest) {
    std::string data = random_bytes(5000, 1);
    std::string digest = push_blob(data, root());
    FastcgiResponder blob(program("v2_blob"), {{"HTTP_RANGE", "bytes=0-9"},
                                               {"REQUEST_METHOD", "DELETE"},
                                               {"PATH_INFO", "/v2/other/blobs/" + digest},
                                               {"QUERY_STRING", "digest=x"},
                                               {"CONTENT_LENGTH", "7"}});
    Vars get = request("GET", "/v2/app/blobs/" + digest);
    FastcgiReply r = blob.request(get);
    ASSERT_TRUE(r.ended);
    EXPECT_EQ(status_of(r), 200) << r.out;
    EXPECT_EQ(body_of(r), data);

    // A query value is never read from a variable of its name in the
    // responder's environment.
    FastcgiResponder tags(program("v2_tags"), {{"n", "1"}, {"last", "a"}});
    // No storage root in the request: a deployment's setting comes from the
    // responder's environment (here: none, so the default root, where app
    // holds a blob and no tags), and no page is cut by its n and last.
    Vars list = request("GET", "/v2/app/tags/list");
    r = tags.request(list);
    EXPECT_EQ(body_of(r), "{\"name\":\"app\",\"tags\":[]}\n") << r.out;
    EXPECT_EQ(header_of(r, "Link"), "");
}

TEST_F(Fastcgi, NothingOfARequestReachesTheNext) {
    std::string data = random_bytes(100000, 2);
    std::string digest = push_blob(data, root());
    FastcgiResponder blob(program("v2_blob"), {});

    struct Step {
        const char *what;
        Vars extra;          // added to a GET of the blob
        int status;
        size_t first, count;  // the bytes of data the body holds
    };
    const std::vector<Step> steps = {
        {"ranged", {{"HTTP_RANGE", "bytes=10-19"}}, 206, 10, 10},
        {"whole after ranged", {}, 200, 0, data.size()},
        {"unsatisfiable range", {{"HTTP_RANGE", "bytes=200000-"}}, 416, 0, 0},
        {"whole after an error", {}, 200, 0, data.size()},
        {"a digest the store lacks", {{"PATH_INFO", "/v2/app/blobs/sha256:" + std::string(64, 'a')}}, 404, 0, 0},
        {"whole after a 404", {}, 200, 0, data.size()},
        // The web server takes the file: headers only.
        {"handed off", {{"REGISTRY_FILE_HANDOFF", "lighttpd"}}, 200, 0, 0},
        {"whole after a hand-off", {}, 200, 0, data.size()},
        // lighttpd's FastCGI module takes a range of the file as well.
        {"range handed off", {{"REGISTRY_FILE_HANDOFF", "lighttpd"}, {"HTTP_RANGE", "bytes=10-19"}}, 206, 0, 0},
        {"range after a hand-off", {{"HTTP_RANGE", "bytes=10-19"}}, 206, 10, 10},
    };
    for (const Step &step : steps) {
        SCOPED_TRACE(step.what);
        Vars v = request("GET", "/v2/app/blobs/" + digest);
        for (const auto &[name, value] : step.extra) v[name] = value;
        FastcgiReply r = blob.request(v);
        ASSERT_TRUE(r.ended);
        EXPECT_EQ(r.app_status, 0);
        EXPECT_EQ(status_of(r), step.status) << r.out.substr(0, 300);
        if (step.status < 300) {
            EXPECT_EQ(body_of(r), data.substr(step.first, step.count));
            bool handed_off = !header_of(r, "X-Sendfile").empty() || !header_of(r, "X-Sendfile2").empty();
            EXPECT_EQ(handed_off, step.extra.count("REGISTRY_FILE_HANDOFF") != 0);
            if (handed_off && step.status == 206) {
                EXPECT_EQ(header_of(r, "X-Sendfile2").substr(header_of(r, "X-Sendfile2").size() - 6), " 10-19");
                EXPECT_EQ(header_of(r, "Content-Range"), "bytes 10-19/100000");
            }
        }
    }

    // Query values: a page, then the whole list.
    FastcgiResponder tags(program("v2_tags"), {});
    std::string manifest_root = dir_ / "tags-root";
    for (const char *tag : {"a", "b", "c"}) {
        std::string config = "{\"tag\":\"" + std::string(tag) + "\"}";
        std::string config_digest = push_blob(config, manifest_root);
        std::string manifest = "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.manifest.v1+json\","
                               "\"config\":{\"mediaType\":\"application/vnd.oci.image.config.v1+json\",\"digest\":\"" +
                               config_digest + "\",\"size\":" + std::to_string(config.size()) +
                               "},\"layers\":[]}";
        auto put = run_process(program("v2_manifests"), {},
                               {{"REGISTRY_STORAGE_ROOT", manifest_root}, {"REQUEST_METHOD", "PUT"},
                                {"PATH_INFO", std::string("/v2/app/manifests/") + tag},
                                {"CONTENT_TYPE", "application/vnd.oci.image.manifest.v1+json"},
                                {"CONTENT_LENGTH", std::to_string(manifest.size())}},
                               dir_.path(), manifest);
        ASSERT_NE(put.out.find("Status: 201"), std::string::npos) << put.out;
    }
    FastcgiReply page = tags.request(request("GET", "/v2/app/tags/list", "n=1&last=a", manifest_root));
    EXPECT_EQ(body_of(page), "{\"name\":\"app\",\"tags\":[\"b\"]}\n");
    EXPECT_NE(header_of(page, "Link"), "");
    FastcgiReply whole = tags.request(request("GET", "/v2/app/tags/list", "", manifest_root));
    EXPECT_EQ(body_of(whole), "{\"name\":\"app\",\"tags\":[\"a\",\"b\",\"c\"]}\n");
    EXPECT_EQ(header_of(whole, "Link"), "");
    // The storage root follows each request: in the first root app holds
    // only blobs, no tags.
    FastcgiReply other = tags.request(request("GET", "/v2/app/tags/list"));
    EXPECT_EQ(body_of(other), "{\"name\":\"app\",\"tags\":[]}\n") << other.out;
    FastcgiReply again = tags.request(request("GET", "/v2/app/tags/list", "", manifest_root));
    EXPECT_EQ(body_of(again), body_of(whole));
}

TEST_F(Fastcgi, DeploymentSettingsComeFromTheResponderEnvironment) {
    std::string data = random_bytes(300, 3);
    std::string digest = push_blob(data, root());
    FastcgiResponder blob(program("v2_blob"),
                          {{"REGISTRY_STORAGE_ROOT", root()}, {"REGISTRY_READ_ONLY", "1"}});
    Vars get{{"REQUEST_METHOD", "GET"}, {"PATH_INFO", "/v2/app/blobs/" + digest}};
    FastcgiReply r = blob.request(get);
    EXPECT_EQ(status_of(r), 200) << r.out;
    EXPECT_EQ(body_of(r), data);
    Vars del{{"REQUEST_METHOD", "DELETE"}, {"PATH_INFO", "/v2/app/blobs/" + digest}};
    r = blob.request(del);
    EXPECT_EQ(status_of(r), 405) << r.out;
    EXPECT_NE(body_of(r).find("read-only"), std::string::npos);
    // A setting the request carries is the request's.
    del["REGISTRY_READ_ONLY"] = "off";
    r = blob.request(del);
    EXPECT_EQ(status_of(r), 202) << r.out;
}

// A web server whose client went away closes the connection in the middle
// of a reply: that ends the request, not the responder, and the next
// request gets its whole reply.
TEST_F(Fastcgi, AReaderThatGoesAwayEndsOnlyItsRequest) {
    std::string data = random_bytes(8 << 20, 4);
    std::string digest = push_blob(data, root());
    FastcgiResponder blob(program("v2_blob"), {{"REGISTRY_STORAGE_ROOT", root()}});
    Vars get{{"REQUEST_METHOD", "GET"}, {"PATH_INFO", "/v2/app/blobs/" + digest}};
    for (size_t keep : {size_t{0}, size_t{100}, size_t{300000}}) {
        SCOPED_TRACE(keep);
        blob.abandon(get, keep);
        FastcgiReply r = blob.request(get);
        ASSERT_TRUE(r.ended);
        EXPECT_EQ(status_of(r), 200);
        EXPECT_TRUE(body_of(r) == data) << "body of " << body_of(r).size() << " bytes";
        EXPECT_TRUE(blob.alive());
    }
}

// Bodies in many records, error replies before the body was read, and
// thousands of requests in one process: every request is answered, the
// responder keeps no file open, and it stops cleanly when asked (under the
// sanitizers, also without a leak).
TEST_F(Fastcgi, ManyRequestsLeaveNothingBehind) {
    FastcgiResponder uploads(program("v2_uploads"), {{"REGISTRY_STORAGE_ROOT", root()}});
    FastcgiResponder blob(program("v2_blob"), {{"REGISTRY_STORAGE_ROOT", root()}});
    int files_after_first = -1;
    for (int i = 0; i < 300; i++) {
        SCOPED_TRACE(i);
        std::string data = random_bytes(static_cast<size_t>(1000 + 997 * (i % 200)), 100 + i);
        std::string digest = "sha256:" + reference_sha256_hex(data);
        Vars post{{"REQUEST_METHOD", "POST"}, {"PATH_INFO", "/v2/app/blobs/uploads/"},
                  {"QUERY_STRING", "digest=" + digest},
                  {"CONTENT_LENGTH", std::to_string(data.size())}};
        // Every third push names the wrong digest: 400 after the body.
        if (i % 3 == 0) post["QUERY_STRING"] = "digest=sha256:" + std::string(64, 'b');
        FastcgiReply r = uploads.request(post, data);
        ASSERT_TRUE(r.ended);
        ASSERT_EQ(status_of(r), i % 3 == 0 ? 400 : 201) << r.out;
        // An out-of-order chunk is refused before its body is read.
        Vars patch{{"REQUEST_METHOD", "PATCH"},
                   {"PATH_INFO", "/v2/app/blobs/uploads/" + std::string(36, 'x')},
                   {"CONTENT_LENGTH", std::to_string(data.size())}};
        r = uploads.request(patch, data);
        ASSERT_EQ(status_of(r), 404) << r.out;
        Vars get{{"REQUEST_METHOD", i % 2 ? "GET" : "HEAD"}, {"PATH_INFO", "/v2/app/blobs/" + digest}};
        r = blob.request(get);
        if (i % 3 == 0) {
            ASSERT_EQ(status_of(r), 404) << r.out;
        } else {
            ASSERT_EQ(status_of(r), 200) << r.out;
            ASSERT_EQ(header_of(r, "Content-Length"), std::to_string(data.size()));
            ASSERT_EQ(body_of(r), i % 2 ? data : "");
        }
        if (i == 0) files_after_first = blob.open_files() + uploads.open_files();
    }
    EXPECT_EQ(blob.open_files() + uploads.open_files(), files_after_first);
    EXPECT_EQ(testing_support::join_lines(testing_support::store_invariant_violations(root())), "");
    EXPECT_EQ(uploads.stop(), 0);
    EXPECT_EQ(blob.stop(), 0);
}

}  // namespace
