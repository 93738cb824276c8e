// The blob endpoint run as a CGI process: replies compared byte for byte.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>

#include "endpoint/v2_blob.h"
#include "tests/support/cgi_replies.h"
#include "tests/support/process.h"

using testing_support::blob_headers;
using testing_support::error_reply;
using testing_support::kApiVersionLine;
using testing_support::path_exists;
using testing_support::reference_sha256_hex;
using testing_support::run_process;
using testing_support::ScratchDir;
using testing_support::write_whole_file;

namespace {


class BlobEndpoint : public ::testing::Test {
  protected:
    // Places data as a blob under the fixture's root; returns its digest.
    std::string place_blob(const std::string &data) {
        std::string hex = reference_sha256_hex(data);
        std::string fan = root() + "/blobs/sha256/" + hex.substr(0, 2);
        testing_support::make_dir(root());
        testing_support::make_dir(root() + "/blobs");
        testing_support::make_dir(root() + "/blobs/sha256");
        testing_support::make_dir(fan);
        write_whole_file(fan + "/" + hex, data);
        return "sha256:" + hex;
    }
    std::string last_err_;  // standard error of the last request
    std::string root() const { return dir_ / "root"; }

    std::string request(const std::map<std::string, std::string> &vars) {
        std::map<std::string, std::string> env = {{"REGISTRY_STORAGE_ROOT", root()}};
        for (const auto &[k, v] : vars) env[k] = v;
        auto r = run_process(V2_BLOB_PATH, {}, env, dir_.path());
        EXPECT_EQ(r.exit_status, 0);
        // Standard error holds nothing but the access line of a delete.
        EXPECT_TRUE(r.err.empty() || r.err.rfind("registry-access ", 0) == 0) << r.err;
        last_err_ = testing_support::unix_line_ends(r.err);
        return r.out;
    }
    std::string request(const std::string &method, const std::string &path,
                        const std::string &range = "") {
        std::map<std::string, std::string> env = {{"REQUEST_METHOD", method},
                                                  {"PATH_INFO", path}};
        if (!range.empty()) env["HTTP_RANGE"] = range;
        return request(env);
    }

    ScratchDir dir_;
};

TEST_F(BlobEndpoint, RangeTableOnA100ByteBlob) {
    std::string data = testing_support::random_bytes(100, 7);
    std::string digest = place_blob(data);
    std::string path = "/v2/library/alpine/blobs/" + digest;
    struct Case {
        std::string range;
        int status;  // 200, 206 or 416
        int first, last;
    } cases[] = {
        {"", 200, 0, 99},           {"bytes=0-9", 206, 0, 9},
        {"bytes=10-", 206, 10, 99}, {"bytes=50-500", 206, 50, 99},
        {"bytes=0-", 206, 0, 99},   {"bytes=99-99", 206, 99, 99},
        {"bytes=0-9,20-29", 206, 0, 9},
        // A suffix: the last N bytes, the whole blob for N at least its size.
        {"bytes=-30", 206, 70, 99}, {"bytes=-1", 206, 99, 99},
        {"bytes=-100", 206, 0, 99}, {"bytes=-500", 206, 0, 99},
        {"bytes=-0", 416, 0, 0},    {"bytes=-", 416, 0, 0},
        {"bytes=x-y", 206, 0, 0},   {"bytes=100-", 416, 0, 0},
        {"bytes=5-2", 416, 0, 0},   {"bytes=7", 200, 0, 99},
        {"Bytes=0-9", 200, 0, 99},  {"items=0-9", 200, 0, 99},
        {"bytes= 3-4", 206, 3, 4},  {"bytes=99999999999999999999-", 416, 0, 0},
    };
    for (const auto &c : cases) {
        std::string out = request("GET", path, c.range);
        std::string expect;
        if (c.status == 416) {
            expect = error_reply(416, "RANGE_NOT_SATISFIABLE", "Requested range not satisfiable");
        } else if (c.status == 206) {
            expect = "Status: 206 Partial Content\r\nContent-Range: bytes " +
                     std::to_string(c.first) + "-" + std::to_string(c.last) + "/100\r\n" +
                     blob_headers(digest, c.last - c.first + 1) +
                     data.substr(c.first, c.last - c.first + 1);
        } else {
            expect = "Status: 200 OK\r\n" + blob_headers(digest, data.size()) + data;
        }
        EXPECT_EQ(out, expect) << "range '" << c.range << "'";
    }
}

TEST_F(BlobEndpoint, EmptyBlobWholeAndRanged) {
    std::string digest = place_blob("");
    std::string path = "/v2/x/blobs/" + digest;
    EXPECT_EQ(request("GET", path), "Status: 200 OK\r\n" + blob_headers(digest, 0));
    EXPECT_EQ(request("GET", path, "bytes=0-"),
              error_reply(416, "RANGE_NOT_SATISFIABLE", "Requested range not satisfiable"));
    EXPECT_EQ(request("GET", path, "bytes=-5"),
              error_reply(416, "RANGE_NOT_SATISFIABLE", "Requested range not satisfiable"));
}

TEST_F(BlobEndpoint, LargeBlobInSeveralChunksAndRangePastTheFirstChunk) {
    std::string data = testing_support::random_bytes(3 * 65536 + 123, 11);
    std::string digest = place_blob(data);
    std::string path = "/v2/x/blobs/" + digest;
    EXPECT_TRUE(request("GET", path) == "Status: 200 OK\r\n" + blob_headers(digest, data.size()) + data);
    std::string out = request("GET", path, "bytes=70000-150000");
    std::string expect = "Status: 206 Partial Content\r\nContent-Range: bytes 70000-150000/" +
                         std::to_string(data.size()) + "\r\n" + blob_headers(digest, 80001) +
                         data.substr(70000, 80001);
    EXPECT_TRUE(out == expect) << "reply of " << out.size() << " bytes differs";
}

TEST_F(BlobEndpoint, HeadAndDelete) {
    std::string digest = place_blob("hello");
    // One digest under any valid name addresses the same blob, with extra
    // separators around the digest.
    for (const std::string &path : {"/v2/a/b/blobs/" + digest, "/v2/x/blobs//" + digest + "/"})
        EXPECT_EQ(request("HEAD", path), "Status: 200 OK\r\n" + blob_headers(digest, 5)) << path;
    EXPECT_EQ(request("HEAD", "/v2/x/blobs/" + digest).substr(0, 15), "Status: 200 OK\r");
    EXPECT_EQ(last_err_, "");
    EXPECT_EQ(request("DELETE", "/v2/x/blobs/" + digest),
              "Status: 202 Accepted\r\n" + kApiVersionLine + "\r\n");
    EXPECT_EQ(last_err_, "registry-access user=- addr=- action=blob.delete repository=x digest=" +
                             digest + " reference=-\n");
    EXPECT_EQ(request("DELETE", "/v2/x/blobs/" + digest),
              error_reply(404, "BLOB_UNKNOWN", "blob unknown to registry"));
    EXPECT_EQ(last_err_, "");
    EXPECT_EQ(request("HEAD", "/v2/x/blobs/" + digest),
              error_reply(404, "BLOB_UNKNOWN", "blob unknown to registry"));
}

// A directory standing where a blob file belongs is no blob: HEAD finds it
// unknown as GET and DELETE do, and nothing is removed.
TEST_F(BlobEndpoint, DirectoryAtTheBlobPathIsUnknownToEveryMethod) {
    const std::string digest = place_blob("soon a directory");
    const std::string hex = digest.substr(7);
    const std::string file = root() + "/blobs/sha256/" + hex.substr(0, 2) + "/" + hex;
    ASSERT_EQ(std::remove(file.c_str()), 0);
    testing_support::make_dir(file);
    write_whole_file(file + "/inside", "x");
    for (const char *method : {"HEAD", "GET", "DELETE"}) {
        EXPECT_EQ(request(method, "/v2/lib/x/blobs/" + digest),
                  error_reply(404, "BLOB_UNKNOWN", "blob unknown to registry"))
            << method;
    }
    EXPECT_TRUE(path_exists(file + "/inside"));
}

TEST_F(BlobEndpoint, ErrorRepliesInRequestOrder) {
    std::string digest = place_blob("x");
    const std::string absent = "sha256:" + std::string(64, '0');
    const std::string name_unknown = error_reply(404, "NAME_UNKNOWN", "repository name not known");
    const std::string bad_format = error_reply(404, "BLOB_UNKNOWN", "invalid blob digest format");
    const std::string unknown = error_reply(404, "BLOB_UNKNOWN", "blob unknown to registry");
    const std::string not_allowed =
        error_reply(405, "UNSUPPORTED", "Method not allowed for blob endpoint");
    struct Case {
        std::string method, path, reply;
    } cases[] = {
        {"GET", "/v2/x/manifests/latest", name_unknown},
        {"PUT", "/v2/-x/blobs/" + digest, name_unknown},
        {"GET", "/", name_unknown},
        {"GET", "/v2/x/blobs/", bad_format},
        {"PUT", "/v2/x/blobs/md5:abc", bad_format},
        {"GET", "/v2/x/blobs/SHA256:" + digest.substr(7), bad_format},
        {"GET", "/v2/x/blobs/" + absent, unknown},
        {"HEAD", "/v2/x/blobs/sha256:" + std::string(64, 'A'), unknown},
        {"GET", "/v2/x/blobs/" + digest + "0", unknown},
        {"DELETE", "/v2/x/blobs/sha256:abc", unknown},
        {"get", "/v2/x/blobs/" + digest, not_allowed},
        {"Head", "/v2/x/blobs/" + digest, not_allowed},
        {"POST", "/v2/x/blobs/" + digest, not_allowed},
    };
    for (const auto &c : cases)
        EXPECT_EQ(request(c.method, c.path), c.reply) << c.method << " " << c.path;
    // Without REQUEST_METHOD and PATH_INFO: a GET of "/".
    EXPECT_EQ(request(std::map<std::string, std::string>{}), name_unknown);
    EXPECT_EQ(request({{"PATH_INFO", "/v2/x/blobs/" + digest}}),
              "Status: 200 OK\r\n" + blob_headers(digest, 1) + "x");
}

// With REGISTRY_FILE_HANDOFF a whole GET keeps its status and headers and
// names the blob file for the web server instead of carrying the bytes;
// every other request answers byte for byte as without the setting.
TEST_F(BlobEndpoint, FileHandoffNamesTheFileOfAWholeGetOnly) {
    std::string data = testing_support::random_bytes(100, 5);
    std::string digest = place_blob(data);
    std::string empty = place_blob("");
    std::string hex = digest.substr(7);
    std::string file = root() + "/blobs/sha256/" + hex.substr(0, 2) + "/" + hex;
    std::string url = "/v2/library/alpine/blobs/" + digest;
    using Env = std::map<std::string, std::string>;
    auto get = [&](Env env) {
        env.emplace("REQUEST_METHOD", "GET");
        env.emplace("PATH_INFO", url);
        return request(env);
    };

    // A whole GET: the line names the file, the body is left out.
    struct Whole {
        Env setting;
        std::string line;  // "" for a reply with the body
    } whole[] = {
        {{}, ""},
        {{{"REGISTRY_FILE_HANDOFF", ""}}, ""},
        {{{"REGISTRY_FILE_HANDOFF", "off"}}, ""},
        {{{"REGISTRY_FILE_HANDOFF", "lighttpd2"}}, ""},
        {{{"REGISTRY_FILE_HANDOFF", "lighttpd"}}, "X-Sendfile: " + file},
        {{{"REGISTRY_FILE_HANDOFF", "apache"}}, "X-Sendfile: " + file},
        {{{"REGISTRY_FILE_HANDOFF", "nginx"}}, "X-Accel-Redirect: /.registry-blobs" + file},
        {{{"REGISTRY_FILE_HANDOFF", "nginx"}, {"REGISTRY_FILE_HANDOFF_PREFIX", "/internal/"}},
         "X-Accel-Redirect: /internal" + file},
    };
    for (const auto &c : whole) {
#ifdef _WIN32
        // The Windows build's paths, joined with '\\', are never handed off.
        std::string line;
#else
        std::string line = c.line;
#endif
        std::string expect = "Status: 200 OK\r\n" + blob_headers(digest, data.size(), line);
        if (line.empty()) expect += data;
        EXPECT_EQ(get(c.setting), expect) << c.line;
    }

    // Everything else the web server would answer differently, or that has
    // no body, answers as without the setting: a range, a conditional
    // header, the empty blob, HEAD, a hostile or unknown digest, DELETE.
    const std::string absent = "sha256:" + std::string(64, '0');
    Env others[] = {
        {{"HTTP_RANGE", "bytes=0-9"}},
        {{"HTTP_RANGE", "bytes=0-"}},
        {{"HTTP_RANGE", "bytes=100-"}},
        {{"HTTP_IF_NONE_MATCH", "\"" + digest + "\""}},
        {{"HTTP_IF_MODIFIED_SINCE", "Thu, 01 Jan 2099 00:00:00 GMT"}},
        {{"HTTP_IF_MATCH", "\"x\""}},
        {{"HTTP_IF_UNMODIFIED_SINCE", "Thu, 01 Jan 1970 00:00:00 GMT"}},
        {{"HTTP_IF_RANGE", "\"x\""}, {"HTTP_RANGE", "bytes=0-9"}},
        {{"PATH_INFO", "/v2/x/blobs/" + empty}},
        {{"REQUEST_METHOD", "HEAD"}},
        {{"PATH_INFO", "/v2/x/blobs/sha256:../../../../etc/passwd"}},
        {{"PATH_INFO", "/v2/x/blobs/sha256:%2e%2e%2f%2e%2e%2fetc%2fpasswd"}},
        {{"PATH_INFO", "/v2/x/blobs/sha256:" + std::string(300, 'a')}},
        {{"PATH_INFO", "/v2/x/blobs/" + digest + "/../../" + digest}},
        {{"PATH_INFO", "/v2/x/blobs/" + absent}},
    };
    for (const char *server : {"lighttpd", "nginx", "apache"}) {
        for (const Env &env : others) {
            std::string plain = get(env);
            Env with = env;
            with["REGISTRY_FILE_HANDOFF"] = server;
            EXPECT_EQ(get(with), plain) << server << " " << env.begin()->second;
        }
    }
    // A storage root given as a relative path names no absolute file.
    auto r = run_process(V2_BLOB_PATH, {},
                         {{"REGISTRY_STORAGE_ROOT", "root"}, {"REGISTRY_FILE_HANDOFF", "lighttpd"},
                          {"REQUEST_METHOD", "GET"}, {"PATH_INFO", url}},
                         dir_.path());
    EXPECT_EQ(r.out, "Status: 200 OK\r\n" + blob_headers(digest, data.size()) + data);
    // The delete removes the file; a GET then finds nothing to hand off.
    Env del = {{"REQUEST_METHOD", "DELETE"}, {"REGISTRY_FILE_HANDOFF", "lighttpd"}};
    EXPECT_EQ(get(del), "Status: 202 Accepted\r\n" + kApiVersionLine + "\r\n");
    EXPECT_EQ(get({{"REGISTRY_FILE_HANDOFF", "lighttpd"}}),
              error_reply(404, "BLOB_UNKNOWN", "blob unknown to registry"));
}

TEST_F(BlobEndpoint, FirstRequestBootstrapsTheStorageEvenWhenAnswered404) {
    EXPECT_EQ(request("GET", "/nothing"),
              error_reply(404, "NAME_UNKNOWN", "repository name not known"));
    for (const char *p : {"/blobs/sha256", "/repositories", "/uploads", "/config.json"})
        EXPECT_TRUE(path_exists(root() + p)) << p;
}

TEST_F(BlobEndpoint, StorageThatCannotBeMadeAnswers500) {
    write_whole_file(dir_ / "file", "");
    auto r = run_process(V2_BLOB_PATH, {},
                         {{"REGISTRY_STORAGE_ROOT", dir_ / "file/root"}, {"PATH_INFO", "/v2/x"}},
                         dir_.path());
    EXPECT_EQ(r.out, error_reply(500, "STORAGE_ERROR", "Failed to initialize registry storage"));
}

TEST_F(BlobEndpoint, RootFromConfigJsonInTheWorkingDirectory) {
    write_whole_file(dir_ / "config.json", "{\"storage_root\": \"" + (dir_ / "cfgroot") + "\"}");
    auto r = run_process(V2_BLOB_PATH, {}, {{"PATH_INFO", "/v2/x"}}, dir_.path());
    EXPECT_TRUE(path_exists(dir_ / "cfgroot/config.json"));
    EXPECT_FALSE(path_exists(dir_ / "registry_storage"));
    r = run_process(V2_BLOB_PATH, {}, {{"PATH_INFO", "/v2/x"}}, dir_.path() + "/cfgroot");
    EXPECT_TRUE(path_exists(dir_ / "cfgroot/registry_storage/config.json"));
}

TEST(BlobRange, ParseFunctionMatchesTheReplyRules) {
    struct Case {
        const char *range;
        int64_t size;
        int rc;
        int64_t first, last;
        int partial;
    } cases[] = {
        {"", 100, 0, 0, 99, 0},
        {nullptr, 100, 0, 0, 99, 0},
        {"bytes=-30", 100, 0, 70, 99, 1},
        {"bytes=-0", 100, -1, 0, 99, 1},
        {"bytes=-5", 0, -1, 0, 0, 1},
        {"bytes=0-", 0, -1, 0, -1, 1},
        {"", 0, 0, 0, 0, 0},
        {"bytes=5-", -1, -1, 5, -2, 1},
        {"bytes=-9223372036854775809-", 10, 0, 0, 9, 1},
    };
    for (const auto &c : cases) {
        int64_t first = -7, last = -7;
        int partial = -7;
        EXPECT_EQ(blob_range_parse(c.range, c.size, &first, &last, &partial), c.rc);
        EXPECT_EQ(first, c.first);
        EXPECT_EQ(last, c.last);
        EXPECT_EQ(partial, c.partial);
    }
}

TEST(BlobHandlerInputs, GivenNameAndDigestTakeThePlaceOfThePath) {
    ScratchDir dir;
    auto r = testing_support::run_in_child([&] {
        testing_support::set_env("REGISTRY_STORAGE_ROOT", (dir / "root").c_str());
        testing_support::set_env("REQUEST_METHOD", "HEAD");
        testing_support::set_env("PATH_INFO", "/nothing");
        const std::string digest = "sha256:" + std::string(64, 'a');
        handle_v2_blob("-not/valid-", digest.c_str());
    });
    // The name rule is not applied to a given name; the digest is looked up.
    EXPECT_EQ(r.out, error_reply(404, "BLOB_UNKNOWN", "blob unknown to registry"));
}

}  // namespace
