// The browsable pages: the route parser and the HTML escaper in process,
// and the ui program run as a CGI process (and as a FastCGI responder)
// over a small store made in process: what the pages show, who may see
// them, deletion with its form tokens, ETags, and the headers of every
// reply.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "edge/html.h"
#include "endpoint/ui.h"
#include "platform/platform.h"
#include "storage/reg_storage.h"
#include "tests/support/cgi_replies.h"
#include "tests/support/process.h"
#ifndef _WIN32
#include "tests/support/fastcgi.h"
#endif

using testing_support::reference_sha256_hex;
using testing_support::run_process;
using testing_support::ScratchDir;

namespace {

// ---- Routing ---------------------------------------------------------------

const std::string kHex(64, 'a');
const std::string kDigest = "sha256:" + kHex;

struct RouteCase {
    std::string path;
    UiKind kind;
    std::string name;
    std::string reference;
    bool by_digest;
};

TEST(UiRoute, MarkersAreFoundFromTheRight) {
    const RouteCase cases[] = {
        {"/", UiKind::kRoot, "", "", false},
        {"", UiKind::kRoot, "", "", false},
        {"/ui", UiKind::kRepos, "", "", false},
        {"/ui/", UiKind::kRepos, "", "", false},
        {"/ui/static/style.css", UiKind::kAsset, "", "style.css", false},
        {"/ui/static/ui.js", UiKind::kAsset, "", "ui.js", false},
        {"/ui/repo/app", UiKind::kRepo, "app", "", false},
        {"/ui/repo/library/alpine/", UiKind::kRepo, "library/alpine", "", false},
        // "tag" and "digest" are components of names like any other.
        {"/ui/repo/tag", UiKind::kRepo, "tag", "", false},
        {"/ui/repo/digest", UiKind::kRepo, "digest", "", false},
        {"/ui/repo/x/tag", UiKind::kRepo, "x/tag", "", false},
        {"/ui/repo/tag/v1", UiKind::kRepo, "tag/v1", "", false},
        {"/ui/repo/tag/tag/v1", UiKind::kImage, "tag", "v1", false},
        {"/ui/repo/digest/tag/latest", UiKind::kImage, "digest", "latest", false},
        {"/ui/repo/a/digest/tag/x", UiKind::kImage, "a/digest", "x", false},
        {"/ui/repo/a/tag/tag", UiKind::kImage, "a", "tag", false},
        {"/ui/repo/a/b/tag/v1.2-rc_3/", UiKind::kImage, "a/b", "v1.2-rc_3", false},
        {"/ui/repo/a/digest/" + kDigest, UiKind::kImage, "a", kDigest, true},
        {"/ui/repo/tag/digest/" + kDigest, UiKind::kImage, "tag", kDigest, true},
        // A tag named "delete" is an image; one more "delete" deletes it.
        {"/ui/repo/a/tag/delete", UiKind::kImage, "a", "delete", false},
        {"/ui/repo/a/tag/delete/delete", UiKind::kDelete, "a", "delete", false},
        {"/ui/repo/a/tag/v1/delete", UiKind::kDelete, "a", "v1", false},
        {"/ui/repo/tag/digest/" + kDigest + "/delete", UiKind::kDelete, "tag", kDigest, true},
        // Not a marker two places from the end: part of the name.
        {"/ui/repo/a/tag/v1/delete/x", UiKind::kRepo, "a/tag/v1/delete/x", "", false},
        // Nothing the program serves, or names and references outside
        // their rules: 404, never a crash.
        {"/ui/repo", UiKind::kNone, "", "", false},
        {"/ui/repo/", UiKind::kNone, "", "", false},
        {"/ui//", UiKind::kNone, "", "", false},
        {"/ui/other", UiKind::kNone, "", "", false},
        {"/ui/static/other.css", UiKind::kNone, "", "", false},
        {"/v2/", UiKind::kNone, "", "", false},
        {"ui/", UiKind::kNone, "", "", false},
        {"/ui/repo//app", UiKind::kNone, "", "", false},
        {"/ui/repo/app//", UiKind::kNone, "", "", false},
        {"/ui/repo/../etc", UiKind::kNone, "", "", false},
        {"/ui/repo/a/_manifests", UiKind::kNone, "", "", false},
        {"/ui/repo/-a", UiKind::kNone, "", "", false},
        {"/ui/repo/a%2Fb", UiKind::kNone, "", "", false},
        {"/ui/repo/a/tag/-v1", UiKind::kNone, "", "", false},
        {"/ui/repo/a/tag/" + std::string(129, 'v'), UiKind::kNone, "", "", false},
        {"/ui/repo/a/digest/sha256:xyz", UiKind::kNone, "", "", false},
        {"/ui/repo/a/digest/v1", UiKind::kNone, "", "", false},
        {"/ui/repo/a/digest/SHA256:" + kHex, UiKind::kNone, "", "", false},
        {"/ui/repo/a/digest/sha256:" + kHex + "/delete/", UiKind::kDelete, "a", kDigest, true},
        {"/ui/repo/a/digest/sha256:" + kHex + "0/delete", UiKind::kNone, "", "", false},
        {"/ui/repo/<script>/tag/v1", UiKind::kNone, "", "", false},
        {"/ui/repo/" + std::string(256, 'a'), UiKind::kNone, "", "", false},
    };
    for (const RouteCase &c : cases) {
        UiRoute route;
        EXPECT_EQ(ui_route_parse(c.path.c_str(), &route), c.kind) << c.path;
        EXPECT_EQ(route.kind, c.kind) << c.path;
        EXPECT_EQ(route.name, c.name) << c.path;
        EXPECT_EQ(route.reference, c.reference) << c.path;
        EXPECT_EQ(route.by_digest, c.by_digest) << c.path;
        if (c.kind == UiKind::kNone) continue;
        // The path built from the parts names the same page.
        UiRoute again;
        ui_route_parse(ui_route_path(route).c_str(), &again);
        EXPECT_EQ(again.kind, route.kind) << c.path;
        EXPECT_EQ(again.name, route.name) << c.path;
        EXPECT_EQ(again.reference, route.reference) << c.path;
    }
    UiRoute none;
    EXPECT_EQ(ui_route_parse(nullptr, &none), UiKind::kNone);
}

// ---- Escaping ----------------------------------------------------------------

struct EscapeCase {
    html_context context;
    std::string in;
    std::string out;
};

TEST(Html, EscapesForEachContext) {
    const EscapeCase cases[] = {
        {HTML_TEXT, "plain text 1.0", "plain text 1.0"},
        {HTML_TEXT, "<img src=x onerror=alert(1)>", "&lt;img src=x onerror=alert(1)&gt;"},
        {HTML_TEXT, "</script><script>alert(1)</script>",
         "&lt;/script&gt;&lt;script&gt;alert(1)&lt;/script&gt;"},
        {HTML_TEXT, "a & b; &amp;", "a &amp; b; &amp;amp;"},
        {HTML_TEXT, "\"double\" 'single'", "&quot;double&quot; &#39;single&#39;"},
        {HTML_TEXT, "line\nnext\ttab", "line\nnext\ttab"},
        {HTML_TEXT, "bell\a esc\x1b del\x7f", "bell\xEF\xBF\xBD esc\xEF\xBF\xBD del\xEF\xBF\xBD"},
        {HTML_TEXT, "caf\xC3\xA9 \xE2\x9C\x93", "caf\xC3\xA9 \xE2\x9C\x93"},
        {HTML_ATTRIBUTE, "\" onmouseover=\"alert(1)", "&quot; onmouseover=&quot;alert(1)"},
        {HTML_ATTRIBUTE, "' autofocus onfocus='x", "&#39; autofocus onfocus=&#39;x"},
        {HTML_ATTRIBUTE, "<a>&", "&lt;a&gt;&amp;"},
        {HTML_ATTRIBUTE, "line\nnext\ttab\r", "line&#10;next&#9;tab&#13;"},
        {HTML_URL_PATH, "library/alpine", "library/alpine"},
        {HTML_URL_PATH, "sha256:" + kHex, "sha256:" + kHex},
        {HTML_URL_PATH, "a b?c#d&e%f", "a%20b%3Fc%23d%26e%25f"},
        {HTML_URL_PATH, "\"><script>", "%22%3E%3Cscript%3E"},
        {HTML_URL_PATH, "javascript:alert('x')", "javascript:alert%28%27x%27%29"},
        {HTML_URL_PATH, "\xC3\xA9", "%C3%A9"},
        {HTML_TEXT, "", ""},
    };
    for (const EscapeCase &c : cases) {
        char buf[256];
        size_t need = html_escape(c.context, c.in.c_str(), buf, sizeof buf);
        EXPECT_EQ(std::string(buf), c.out) << c.in;
        EXPECT_EQ(need, c.out.size()) << c.in;
    }
    // A buffer too small keeps whole escapes only, and tells the length
    // the whole text needs.
    char small[8];
    EXPECT_EQ(html_escape(HTML_TEXT, "ab<cd", small, sizeof small), 8u);
    EXPECT_STREQ(small, "ab&lt;c");
    EXPECT_EQ(html_escape(HTML_TEXT, "abcd<", small, 7), 8u);
    EXPECT_STREQ(small, "abcd");
    EXPECT_EQ(html_escape(HTML_TEXT, nullptr, small, sizeof small), 0u);
    EXPECT_STREQ(small, "");
    EXPECT_EQ(html_escape(HTML_TEXT, "<", nullptr, 0), 4u);
}

// ---- The program ---------------------------------------------------------------

// A reply with how the process ended.
struct Reply : testing_support::CgiReply {
    int exit_status = -1;
    std::string err;
};

Reply parse_reply(const testing_support::ProcessResult &r) {
    Reply reply;
    static_cast<testing_support::CgiReply &>(reply) = testing_support::parse_cgi_reply(r.out);
    reply.exit_status = r.exit_status;
    reply.err = r.err;
    return reply;
}

const char kOciManifest[] = "application/vnd.oci.image.manifest.v1+json";
const char kOciIndex[] = "application/vnd.oci.image.index.v1+json";
const char kConfigType[] = "application/vnd.oci.image.config.v1+json";
const char kLayerType[] = "application/vnd.oci.image.layer.v1.tar+gzip";

std::string digest_of(const std::string &data) { return "sha256:" + reference_sha256_hex(data); }

std::string descriptor(const std::string &type, const std::string &data,
                       const std::string &extra = "") {
    return "{\"mediaType\":\"" + type + "\",\"digest\":\"" + digest_of(data) +
           "\",\"size\":" + std::to_string(data.size()) + extra + "}";
}

// A label, an environment entry and a history line that try to break out
// of the page.
const char kHostileLabel[] = "</script><script>alert(1)</script>";
const char kHostileEnv[] = "X=<img src=x onerror=alert(1)>";

class UiProgram : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(reg_storage_init(root().c_str()), 0) << reg_storage_last_error();
    }
    void TearDown() override { reg_storage_cleanup(); }
    std::string root() const { return dir_ / "root"; }
    std::string policy_path() const { return dir_ / "policy.json"; }

    std::string put_blob(const std::string &data) {
        reg_blob_cache cache;
        EXPECT_EQ(reg_blob_cache_begin(digest_of(data).c_str(), &cache), 0);
        EXPECT_EQ(reg_blob_cache_write(&cache, data.data(), data.size()), 0);
        EXPECT_EQ(reg_blob_cache_commit(&cache), 0) << reg_storage_last_error();
        return digest_of(data);
    }
    std::string put_manifest(const std::string &repo, const std::string &ref,
                             const std::string &body, const std::string &type) {
        char digest[REG_DIGEST_STRING_SIZE], subject[REG_DIGEST_STRING_SIZE];
        EXPECT_EQ(reg_manifest_put_typed(repo.c_str(), ref.c_str(), body.data(), body.size(),
                                         type.c_str(), digest, subject),
                  0)
            << reg_storage_last_error();
        return digest;
    }
    // An image of one architecture with two layers; its manifest's text.
    std::string image(const std::string &repo, const std::string &arch, const std::string &tag) {
        std::string config =
            std::string("{\"architecture\":\"") + arch +
            "\",\"os\":\"linux\",\"created\":\"2026-03-04T05:06:07Z\",\"config\":{"
            "\"Env\":[\"PATH=/usr/bin\",\"" + kHostileEnv + "\"],"
            "\"Entrypoint\":[\"/bin/server\"],\"Cmd\":[\"--port\",\"8080\"],"
            "\"ExposedPorts\":{\"8080/tcp\":{}},"
            "\"Labels\":{\"org.opencontainers.image.title\":\"demo & co\",\"evil\":\"" +
            std::string(kHostileLabel) + "\"}},"
            "\"history\":[{\"created_by\":\"ADD rootfs.tar /\"},"
            "{\"created_by\":\"RUN make \\\"all\\\" && install\"},"
            "{\"created_by\":\"CMD [\\\"--port\\\"]\",\"empty_layer\":true}]}";
        std::string small = "small layer " + arch, big(300000, static_cast<char>(arch[0]));
        put_blob(config);
        put_blob(small);
        put_blob(big);
        std::string m = std::string("{\"schemaVersion\":2,\"mediaType\":\"") + kOciManifest +
                        "\",\"config\":" + descriptor(kConfigType, config) + ",\"layers\":[" +
                        descriptor(kLayerType, small) + "," + descriptor(kLayerType, big) + "]}";
        if (!tag.empty()) put_manifest(repo, tag, m, kOciManifest);
        return m;
    }
    // The store of most tests: app:v1 an image with a signature referring
    // to it, app:multi an index of two platforms, public:latest an image.
    void store_fixture() {
        image_ = image("app", "amd64", "v1");
        image_digest_ = digest_of(image_);
        arm_ = image("app", "arm64", "");
        amd_ = image_;
        index_ = std::string("{\"schemaVersion\":2,\"mediaType\":\"") + kOciIndex +
                 "\",\"manifests\":[" +
                 descriptor(kOciManifest, amd_,
                            ",\"platform\":{\"os\":\"linux\",\"architecture\":\"amd64\"}") +
                 "," +
                 descriptor(kOciManifest, arm_,
                            ",\"platform\":{\"os\":\"linux\",\"architecture\":\"arm64\","
                            "\"variant\":\"v8\"}") +
                 "]}";
        put_manifest("app", digest_of(arm_), arm_, kOciManifest);
        put_manifest("app", "multi", index_, kOciIndex);
        std::string empty = "{}";
        put_blob(empty);
        std::string sig = std::string("{\"schemaVersion\":2,\"mediaType\":\"") + kOciManifest +
                          "\",\"artifactType\":\"application/vnd.dev.cosign.signature\","
                          "\"config\":{\"mediaType\":\"application/vnd.oci.empty.v1+json\","
                          "\"digest\":\"" + digest_of(empty) + "\",\"size\":2},"
                          "\"layers\":[],\"subject\":" + descriptor(kOciManifest, image_) +
                          ",\"annotations\":{\"signed.by\":\"<b>mallory</b>\"}}";
        signature_digest_ = put_manifest("app", digest_of(sig), sig, kOciManifest);
        image("public", "amd64", "latest");
    }

    // The configuration's digest of public:latest.
    std::string public_config_digest() {
        char type[REG_CONTENT_TYPE_SIZE], digest[REG_DIGEST_STRING_SIZE];
        const char *m = reg_manifest_get("public", "latest", type, digest);
        EXPECT_NE(m, nullptr);
        std::string text = m != nullptr ? m : "";
        size_t at = text.find("\"digest\":\"");
        return at == std::string::npos ? "" : text.substr(at + 10, 71);
    }

    Reply call(const std::string &path, std::map<std::string, std::string> env = {},
               const std::string &method = "GET", const std::string &body = "") {
        env["REGISTRY_STORAGE_ROOT"] = root();
        env["REQUEST_METHOD"] = method;
        env["PATH_INFO"] = path;
        if (!env.count("HTTP_HOST")) env["HTTP_HOST"] = "registry.example:5000";
        if (!body.empty()) env["CONTENT_LENGTH"] = std::to_string(body.size());
        Reply r = parse_reply(run_process(std::string(ENDPOINT_DIR) + "/ui", {}, env,
                                          dir_.path(), body));
        EXPECT_EQ(r.exit_status, 0) << path;
        // Every reply carries the security headers.
        EXPECT_EQ(r.header("x-content-type-options"), "nosniff") << path;
        EXPECT_EQ(r.header("referrer-policy"), "same-origin") << path;
        std::string csp = r.header("content-security-policy");
        EXPECT_NE(csp.find("default-src 'none'"), std::string::npos) << path;
        EXPECT_NE(csp.find("script-src 'self'"), std::string::npos) << path;
        EXPECT_EQ(csp.find("unsafe-inline"), std::string::npos) << path;
        EXPECT_NE(csp.find("frame-ancestors 'none'"), std::string::npos) << path;
        return r;
    }
    std::map<std::string, std::string> as(const std::string &user) const {
        std::map<std::string, std::string> env = {{"REGISTRY_ACCESS_POLICY", policy_path()}};
        if (!user.empty()) env["REMOTE_USER"] = user;
        return env;
    }
    bool tag_exists(const std::string &repo, const std::string &tag) {
        char path[REG_PATH_MAX], type[REG_CONTENT_TYPE_SIZE], digest[REG_DIGEST_STRING_SIZE];
        int64_t size = 0;
        return reg_manifest_locate(repo.c_str(), tag.c_str(), path, sizeof path, type, digest,
                                   &size) == 0;
    }

    ScratchDir dir_;
    std::string image_, image_digest_, amd_, arm_, index_, signature_digest_;
};

// The text of the element that opens with open (up to its closing tag
// close), "" when there is none.
std::string element(const std::string &html, const std::string &open, const std::string &close) {
    size_t at = html.find(open);
    if (at == std::string::npos) return "";
    size_t end = html.find(close, at);
    return html.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

TEST_F(UiProgram, RootRedirectsAndUnknownPathsAre404Pages) {
    Reply root = call("/");
    EXPECT_EQ(root.status, 302);
    EXPECT_EQ(root.header("location"), "/ui/");
    for (const char *path : {"/ui/other", "/ui/repo/a/digest/sha256:xyz", "/ui/repo/..",
                             "/ui/repo/a/tag/-x", "/v2/_catalog", "/ui/repo//x"}) {
        Reply r = call(path);
        EXPECT_EQ(r.status, 404) << path;
        EXPECT_EQ(r.header("content-type"), "text/html; charset=utf-8") << path;
        EXPECT_NE(r.body.find("<h1>404 Not Found</h1>"), std::string::npos) << path;
    }
    store_fixture();
    // Names and references that pass the rules but name nothing.
    for (const std::string &path : {std::string("/ui/repo/nothing"), std::string("/ui/repo/app/tag/v9"),
                                    "/ui/repo/app/digest/" + kDigest, std::string("/ui/repo/nothing/tag/v1"),
                                    std::string("/ui/repo/app/tag/v9/delete")})
        EXPECT_EQ(call(path).status, 404) << path;
    // Pages are read; only a deletion is posted.
    // A 405 names the methods its path does answer.
    Reply posted = call("/ui/repo/app", {}, "POST", "x=1");
    EXPECT_EQ(posted.status, 405);
    EXPECT_EQ(posted.header("allow"), "GET, HEAD");
    Reply put = call("/ui/repo/app/tag/v1/delete", {}, "PUT");
    EXPECT_EQ(put.status, 405);
    EXPECT_EQ(put.header("allow"), "GET, POST");
}

TEST_F(UiProgram, AssetsAreServedWithTheirTypes) {
    Reply css = call("/ui/static/style.css");
    EXPECT_EQ(css.status, 200);
    EXPECT_EQ(css.header("content-type"), "text/css; charset=utf-8");
    EXPECT_EQ(css.header("content-length"), std::to_string(css.body.size()));
    EXPECT_NE(css.body.find("meter"), std::string::npos);
    Reply js = call("/ui/static/ui.js");
    EXPECT_EQ(js.status, 200);
    EXPECT_EQ(js.header("content-type"), "text/javascript; charset=utf-8");
    EXPECT_NE(js.body.find("clipboard"), std::string::npos);
}

TEST_F(UiProgram, RepositoriesAreListedFilteredAndPaged) {
    store_fixture();
    for (const char *name : {"zeta/one", "zeta/two", "zeta/three"}) image(name, "amd64", "t");
    Reply all = call("/ui/");
    ASSERT_EQ(all.status, 200);
    std::string table = element(all.body, "<table id=\"repositories\">", "</table>");
    EXPECT_NE(table.find("<a href=\"/ui/repo/app\">app</a></td><td>2</td>"), std::string::npos)
        << table;
    std::vector<std::string> order = {">app<", ">public<", ">zeta/one<", ">zeta/three<", ">zeta/two<"};
    size_t at = 0;
    for (const std::string &name : order) {
        size_t found = table.find(name);
        EXPECT_NE(found, std::string::npos) << name;
        EXPECT_GT(found, at) << name << " out of order";
        at = found;
    }
    EXPECT_NE(table.find(" UTC</td>"), std::string::npos);  // the last push

    Reply filtered = call("/ui/", {{"QUERY_STRING", "q=ZETA%2Ft"}});
    std::string t = element(filtered.body, "<table id=\"repositories\">", "</table>");
    EXPECT_NE(t.find(">zeta/two<"), std::string::npos);
    EXPECT_NE(t.find(">zeta/three<"), std::string::npos);
    EXPECT_EQ(t.find(">zeta/one<"), std::string::npos);
    EXPECT_EQ(t.find(">app<"), std::string::npos);
    EXPECT_NE(filtered.body.find("value=\"ZETA/t\""), std::string::npos);

    // A filter that tries to leave its attribute stays inside it.
    Reply hostile = call("/ui/", {{"QUERY_STRING", "q=%22%3E%3Cscript%3Ealert(1)%3C/script%3E"}});
    EXPECT_EQ(hostile.body.find("<script>alert"), std::string::npos);
    EXPECT_NE(hostile.body.find("value=\"&quot;&gt;&lt;script&gt;alert(1)&lt;/script&gt;\""),
              std::string::npos);

    Reply first = call("/ui/", {{"QUERY_STRING", "n=2"}});
    std::string page = element(first.body, "<table id=\"repositories\">", "</table>");
    EXPECT_NE(page.find(">public<"), std::string::npos);
    EXPECT_EQ(page.find(">zeta/one<"), std::string::npos);
    EXPECT_NE(first.body.find("href=\"/ui/?q=&amp;n=2&amp;last=public\""), std::string::npos);
    Reply second = call("/ui/", {{"QUERY_STRING", "n=2&last=public"}});
    page = element(second.body, "<table id=\"repositories\">", "</table>");
    EXPECT_EQ(page.find(">public<"), std::string::npos);
    EXPECT_NE(page.find(">zeta/one<"), std::string::npos);
    EXPECT_EQ(call("/ui/", {{"QUERY_STRING", "n=ten"}}).status, 400);
}

TEST_F(UiProgram, TagsShowDigestSizeCreatedPlatformsAndReferrers) {
    store_fixture();
    Reply r = call("/ui/repo/app");
    ASSERT_EQ(r.status, 200);
    std::string table = element(r.body, "<table id=\"tags\">", "</table>");
    std::string multi = element(table, ">multi</a>", "</tr>");
    std::string v1 = element(table, ">v1</a>", "</tr>");
    ASSERT_FALSE(multi.empty()) << table;
    ASSERT_FALSE(v1.empty()) << table;
    EXPECT_LT(table.find(">multi<"), table.find(">v1<"));
    EXPECT_NE(table.find("<a href=\"/ui/repo/app/tag/v1\">v1</a>"), std::string::npos);
    EXPECT_NE(multi.find("linux/amd64, linux/arm64/v8"), std::string::npos) << multi;
    EXPECT_NE(v1.find("title=\"" + image_digest_ + "\""), std::string::npos) << v1;
    EXPECT_NE(v1.find(">" + image_digest_.substr(0, 19) + "<"), std::string::npos) << v1;
    EXPECT_NE(v1.find("2026-03-04T05:06:07Z"), std::string::npos);
    // The signature refers to v1's image.
    EXPECT_TRUE(v1.ends_with("<td>1</td>")) << v1;
    EXPECT_NE(multi.find("<td>0</td>"), std::string::npos) << multi;
    // Compressed size: config and both layers; the index: both images.
    std::string amd_config_and_layers = v1.substr(v1.find("<td title=\"") + 11);
    int64_t v1_total = std::stoll(amd_config_and_layers);
    EXPECT_GT(v1_total, 300000);
    std::string multi_total = multi.substr(multi.find("<td title=\"") + 11);
    EXPECT_GT(std::stoll(multi_total), 2 * 300000);

    // Paged, with a link to the next page.
    Reply one = call("/ui/repo/app", {{"QUERY_STRING", "n=1"}});
    std::string t = element(one.body, "<table id=\"tags\">", "</table>");
    EXPECT_NE(t.find(">multi<"), std::string::npos);
    EXPECT_EQ(t.find(">v1<"), std::string::npos);
    EXPECT_NE(one.body.find("href=\"/ui/repo/app?n=1&amp;last=multi\""), std::string::npos);
}

TEST_F(UiProgram, ImagePageShowsConfigurationLayersReferrersAndPullCommands) {
    store_fixture();
    Reply r = call("/ui/repo/app/tag/v1");
    ASSERT_EQ(r.status, 200);
    const std::string &b = r.body;
    // Stored strings come out as text, never as markup.
    EXPECT_EQ(b.find("<script>alert"), std::string::npos);
    EXPECT_EQ(b.find("<img src=x"), std::string::npos);
    EXPECT_EQ(b.find("<b>mallory"), std::string::npos);
    std::string config = element(b, "<section id=\"config\">", "</section>");
    EXPECT_NE(config.find("2026-03-04T05:06:07Z"), std::string::npos);
    EXPECT_NE(config.find("linux/amd64"), std::string::npos);
    EXPECT_NE(config.find("/bin/server"), std::string::npos);
    EXPECT_NE(config.find("--port 8080"), std::string::npos);
    EXPECT_NE(config.find("8080/tcp"), std::string::npos);
    EXPECT_NE(config.find("X=&lt;img src=x onerror=alert(1)&gt;"), std::string::npos);
    std::string labels = element(config, "<table id=\"labels\">", "</table>");
    EXPECT_NE(labels.find("<th>org.opencontainers.image.title</th><td>demo &amp; co</td>"),
              std::string::npos)
        << labels;
    EXPECT_NE(labels.find("&lt;/script&gt;&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);
    EXPECT_NE(config.find("RUN make &quot;all&quot; &amp;&amp; install"), std::string::npos);

    std::string layers = element(b, "<section id=\"layers\">", "</section>");
    std::string big = "sha256:" + reference_sha256_hex(std::string(300000, 'a'));
    EXPECT_NE(layers.find("<meter min=\"0\" max=\"300000\" value=\"300000\">"), std::string::npos);
    EXPECT_NE(layers.find("value=\"" + std::to_string(std::string("small layer amd64").size()) + "\""),
              std::string::npos);
    EXPECT_NE(layers.find("href=\"/v2/app/blobs/" + big + "\""), std::string::npos);

    std::string referrers = element(b, "<section id=\"referrers\">", "</section>");
    EXPECT_NE(referrers.find("application/vnd.dev.cosign.signature"), std::string::npos);
    EXPECT_NE(referrers.find("&lt;b&gt;mallory&lt;/b&gt;"), std::string::npos);
    EXPECT_NE(referrers.find("href=\"/ui/repo/app/digest/" + signature_digest_ + "\""),
              std::string::npos);

    std::string pull = element(b, "<section id=\"pull\">", "</section>");
    EXPECT_NE(pull.find("podman pull registry.example:5000/app:v1"), std::string::npos);
    EXPECT_NE(pull.find("docker pull registry.example:5000/app:v1"), std::string::npos);
    EXPECT_NE(pull.find("skopeo copy docker://registry.example:5000/app:v1"), std::string::npos);
    EXPECT_EQ(b.find("<section id=\"platforms\">"), std::string::npos);
    // No inline script anywhere: the policy would block it.
    EXPECT_EQ(b.find("<script>"), std::string::npos);
    EXPECT_EQ(b.find(" style=\""), std::string::npos);

    // By digest the pull commands name the digest; a host that is no host
    // name is not used.
    Reply d = call("/ui/repo/app/digest/" + image_digest_, {{"HTTP_HOST", "hostile\"><x"}});
    ASSERT_EQ(d.status, 200);
    EXPECT_NE(d.body.find("podman pull localhost/app@" + image_digest_), std::string::npos);
    EXPECT_EQ(d.body.find("hostile"), std::string::npos);
}

TEST_F(UiProgram, IndexPageListsPlatformsLinkingToTheirImages) {
    store_fixture();
    Reply r = call("/ui/repo/app/tag/multi");
    ASSERT_EQ(r.status, 200);
    std::string platforms = element(r.body, "<section id=\"platforms\">", "</section>");
    EXPECT_NE(platforms.find("<a href=\"/ui/repo/app/digest/" + digest_of(amd_) + "\">linux/amd64</a>"),
              std::string::npos)
        << platforms;
    EXPECT_NE(platforms.find("<a href=\"/ui/repo/app/digest/" + digest_of(arm_) +
                             "\">linux/arm64/v8</a>"),
              std::string::npos);
    EXPECT_EQ(r.body.find("<section id=\"layers\">"), std::string::npos);
    Reply arm = call("/ui/repo/app/digest/" + digest_of(arm_));
    EXPECT_EQ(arm.status, 200);
    EXPECT_NE(element(arm.body, "<section id=\"config\">", "</section>").find("linux/arm64"),
              std::string::npos);
}

TEST_F(UiProgram, ImagePagesAnswer304ToTheirETag) {
    store_fixture();
    Reply first = call("/ui/repo/app/tag/v1");
    std::string etag = first.header("etag");
    ASSERT_FALSE(etag.empty());
    Reply again = call("/ui/repo/app/tag/v1", {{"HTTP_IF_NONE_MATCH", "\"other\", " + etag}});
    EXPECT_EQ(again.status, 304);
    EXPECT_EQ(again.body, "");
    EXPECT_EQ(again.header("etag"), etag);
    EXPECT_EQ(call("/ui/repo/app/tag/v1", {{"HTTP_IF_NONE_MATCH", "W/" + etag}}).status, 304);
    // HEAD: the same head, no body.
    Reply head = call("/ui/repo/app/tag/v1", {}, "HEAD");
    EXPECT_EQ(head.status, 200);
    EXPECT_EQ(head.header("etag"), etag);
    EXPECT_EQ(head.body, "");
    EXPECT_EQ(call("/ui/", {}, "HEAD").body, "");
    EXPECT_EQ(call("/ui/repo/app/tag/v1", {{"HTTP_IF_NONE_MATCH", "\"other\""}}).status, 200);
    Reply by_digest = call("/ui/repo/app/digest/" + image_digest_);
    EXPECT_FALSE(by_digest.header("etag").empty());
    EXPECT_NE(by_digest.header("etag"), etag);
    EXPECT_EQ(call("/ui/repo/app/digest/" + image_digest_,
                   {{"HTTP_IF_NONE_MATCH", by_digest.header("etag")}})
                  .status,
              304);

    // What the page shows changes, and so does its tag: another host in the
    // pull commands, another user, the tag moved, a new referrer.
    EXPECT_NE(call("/ui/repo/app/tag/v1", {{"HTTP_HOST", "other.example"}}).header("etag"), etag);
    EXPECT_NE(call("/ui/repo/app/tag/v1", {{"REMOTE_USER", "alice"}}).header("etag"), etag);
    put_manifest("app", "v1", arm_, kOciManifest);
    std::string moved = call("/ui/repo/app/tag/v1").header("etag");
    EXPECT_NE(moved, etag);
    std::string empty = "{}";
    std::string sbom = std::string("{\"schemaVersion\":2,\"mediaType\":\"") + kOciManifest +
                       "\",\"artifactType\":\"application/spdx+json\",\"config\":{\"mediaType\":"
                       "\"application/vnd.oci.empty.v1+json\",\"digest\":\"" + digest_of(empty) +
                       "\",\"size\":2},\"layers\":[],\"subject\":" +
                       descriptor(kOciManifest, arm_) + "}";
    put_manifest("app", digest_of(sbom), sbom, kOciManifest);
    Reply with_sbom = call("/ui/repo/app/tag/v1", {{"HTTP_IF_NONE_MATCH", moved}});
    EXPECT_EQ(with_sbom.status, 200);
    EXPECT_NE(with_sbom.body.find("application/spdx+json"), std::string::npos);
}

// ---- Access --------------------------------------------------------------------

const char kPolicy[] =
    "{\"realm\": \"ui test\", \"rules\": [\n"
    " {\"who\": [\"anonymous\"], \"repositories\": [\"public\"], \"actions\": [\"pull\"]},\n"
    " {\"who\": [\"user:alice\"], \"repositories\": [\"app\"], \"actions\": [\"pull\", \"delete\"]},\n"
    " {\"who\": [\"user:bob\"], \"repositories\": [\"app\"], \"actions\": [\"pull\"]}\n"
    "]}\n";

TEST_F(UiProgram, PagesShowOnlyWhatTheUserMayPull) {
    store_fixture();
    testing_support::write_whole_file(policy_path(), kPolicy);
    struct Case {
        std::string user, path;
        int status;
    };
    const Case cases[] = {
        {"", "/ui/repo/public", 200},
        {"", "/ui/repo/app", 401},
        {"", "/ui/repo/app/tag/v1", 401},
        {"", "/ui/repo/app/digest/" + image_digest_, 401},
        {"", "/ui/repo/app/tag/v1/delete", 401},
        {"carol", "/ui/repo/app", 403},
        {"carol", "/ui/repo/app/tag/multi", 403},
        {"bob", "/ui/repo/app/tag/v1", 200},
        {"bob", "/ui/repo/app/tag/v1/delete", 403},
        {"alice", "/ui/repo/app/tag/v1/delete", 200},
        {"alice", "/ui/repo/public", 200},  // what anonymous may, every user may
    };
    for (const Case &c : cases) {
        Reply r = call(c.path, as(c.user));
        EXPECT_EQ(r.status, c.status) << c.user << " " << c.path;
        EXPECT_EQ(r.header("www-authenticate"), c.status == 401 ? "Basic realm=\"ui test\"" : "")
            << c.user << " " << c.path;
        if (c.status >= 400) {
            EXPECT_EQ(r.body.find("tag/v1\">"), std::string::npos) << c.path;
            EXPECT_NE(r.err.find("result=denied"), std::string::npos) << c.path;
        }
    }
    // The list holds only what each may pull.
    std::string anonymous = element(call("/ui/", as("")).body, "<table id=\"repositories\">", "</table>");
    EXPECT_NE(anonymous.find(">public<"), std::string::npos);
    EXPECT_EQ(anonymous.find(">app<"), std::string::npos);
    std::string carol = call("/ui/", as("carol")).body;
    EXPECT_EQ(carol.find(">app<"), std::string::npos);
    std::string alice = element(call("/ui/", as("alice")).body, "<table id=\"repositories\">", "</table>");
    EXPECT_NE(alice.find(">app<"), std::string::npos);
    // The delete link only for who may delete.
    EXPECT_NE(call("/ui/repo/app/tag/v1", as("alice")).body.find("class=\"delete\""), std::string::npos);
    EXPECT_EQ(call("/ui/repo/app/tag/v1", as("bob")).body.find("class=\"delete\""), std::string::npos);
    EXPECT_NE(call("/ui/repo/app/digest/" + image_digest_, as("alice"))
                  .body.find("<a class=\"delete\" href=\"/ui/repo/app/digest/" + image_digest_ +
                             "/delete\">"),
              std::string::npos);
    // Not in a read-only registry.
    auto read_only = as("alice");
    read_only["REGISTRY_READ_ONLY"] = "1";
    EXPECT_EQ(call("/ui/repo/app/tag/v1", read_only).body.find("class=\"delete\""), std::string::npos);

    // Under a policy a configuration the repository does not hold (another
    // tenant's blob named by a manifest stored before the policy) is not
    // shown through it; without a policy it is.
    std::string public_config = public_config_digest();
    ASSERT_EQ(reg_repo_blob_unlink("public", public_config.c_str()), 0) << reg_storage_last_error();
    std::string hidden = call("/ui/repo/public/tag/latest", as("")).body;
    EXPECT_NE(hidden.find("No image configuration."), std::string::npos);
    EXPECT_EQ(hidden.find("2026-03-04T05:06:07Z"), std::string::npos);
    EXPECT_NE(call("/ui/repo/public/tag/latest").body.find("2026-03-04T05:06:07Z"), std::string::npos);

    // A policy that grants a request without a user nothing asks for a
    // login before the list; a broken one refuses everything.
    testing_support::write_whole_file(
        policy_path(), "{\"rules\": [{\"who\": [\"user:alice\"], \"repositories\": [\"**\"], "
                       "\"actions\": [\"pull\"]}]}");
    Reply login = call("/ui/", as(""));
    EXPECT_EQ(login.status, 401);
    EXPECT_EQ(login.header("www-authenticate"), "Basic realm=\"registry\"");
    testing_support::write_whole_file(policy_path(), "{\"rules\": [");
    EXPECT_EQ(call("/ui/repo/app", as("alice")).status, 403);
    EXPECT_EQ(call("/ui/", as("alice")).body.find(">app<"), std::string::npos);
}

// ---- Deletion ------------------------------------------------------------------

// The token of the confirmation form on a delete page.
std::string form_token(const std::string &html) {
    std::string marker = "name=\"token\" value=\"";
    size_t at = html.find(marker);
    if (at == std::string::npos) return "";
    at += marker.size();
    return html.substr(at, html.find('"', at) - at);
}

TEST_F(UiProgram, DeletionNeedsTheFormsTokenAndTheSitesOwnOrigin) {
    store_fixture();
    testing_support::write_whole_file(policy_path(), kPolicy);
    const std::string path = "/ui/repo/app/tag/v1/delete";
    Reply confirm = call(path, as("alice"));
    ASSERT_EQ(confirm.status, 200);
    EXPECT_NE(confirm.body.find("<form method=\"post\" action=\"" + path + "\">"), std::string::npos);
    EXPECT_NE(confirm.body.find("<button type=\"submit\" id=\"confirm-delete\">"), std::string::npos);
    std::string token = form_token(confirm.body);
    ASSERT_FALSE(token.empty());
    // Looking at the form changes nothing.
    EXPECT_TRUE(tag_exists("app", "v1"));

    const std::string origin = "http://registry.example:5000";
    int64_t now = plat_time_seconds();
    std::string forged = token;
    forged.back() = forged.back() == '0' ? '1' : '0';
    std::string bobs = ui_form_token("bob", path, now + 600);
    std::string expired = ui_form_token("alice", path, now - 5);
    std::string too_far = ui_form_token("alice", path, now + 100000);
    std::string other_path = ui_form_token("alice", "/ui/repo/app/tag/multi/delete", now + 600);
    ASSERT_FALSE(bobs.empty());
    struct Case {
        const char *what;
        std::string token;
        std::map<std::string, std::string> headers;
    };
    const Case refused[] = {
        {"no token", "", {{"HTTP_ORIGIN", origin}}},
        {"forged token", forged, {{"HTTP_ORIGIN", origin}}},
        {"expired token", expired, {{"HTTP_ORIGIN", origin}}},
        {"token too far ahead", too_far, {{"HTTP_ORIGIN", origin}}},
        {"another user's token", bobs, {{"HTTP_ORIGIN", origin}}},
        {"another form's token", other_path, {{"HTTP_ORIGIN", origin}}},
        {"cross-site origin", token, {{"HTTP_ORIGIN", "http://evil.example"}}},
        {"origin of another scheme", token, {{"HTTP_ORIGIN", origin}, {"HTTPS", "on"}}},
        {"null origin", token, {{"HTTP_ORIGIN", "null"}}},
        {"cross-site fetch", token, {{"HTTP_SEC_FETCH_SITE", "cross-site"}}},
        {"same-site fetch", token, {{"HTTP_SEC_FETCH_SITE", "same-site"}}},
        {"cross-site fetch, right origin", token,
         {{"HTTP_ORIGIN", origin}, {"HTTP_SEC_FETCH_SITE", "cross-site"}}},
        {"neither origin nor fetch site", token, {}},
    };
    for (const Case &c : refused) {
        std::map<std::string, std::string> env = as("alice");
        env.insert(c.headers.begin(), c.headers.end());
        Reply r = call(path, env, "POST", "token=" + c.token);
        EXPECT_EQ(r.status, 403) << c.what;
        EXPECT_TRUE(tag_exists("app", "v1")) << c.what;
    }
    // Another user who may delete cannot use alice's token either.
    std::map<std::string, std::string> bob_env = as("bob");
    bob_env["HTTP_ORIGIN"] = origin;
    EXPECT_EQ(call(path, bob_env, "POST", "token=" + token).status, 403);
    // Read-only: refused before anything.
    std::map<std::string, std::string> ro = as("alice");
    ro["HTTP_ORIGIN"] = origin;
    ro["REGISTRY_READ_ONLY"] = "yes";
    EXPECT_EQ(call(path, ro, "POST", "token=" + token).status, 405);
    EXPECT_TRUE(tag_exists("app", "v1"));

    // Both proofs: the tag goes, the manifest stays.
    std::map<std::string, std::string> env = as("alice");
    env["HTTP_SEC_FETCH_SITE"] = "same-origin";
    Reply done = call(path, env, "POST", "other=1&token=" + token);
    EXPECT_EQ(done.status, 303);
    EXPECT_EQ(done.header("location"), "/ui/repo/app");
    EXPECT_FALSE(tag_exists("app", "v1"));
    EXPECT_TRUE(tag_exists("app", image_digest_));
    EXPECT_NE(done.err.find("action=tag.delete repository=app digest=- reference=v1"),
              std::string::npos);
    EXPECT_EQ(call(path, env, "POST", "token=" + token).status, 404);

    // A manifest by digest goes with every tag that names it (multi names
    // arm_ only through the index, so the index's digest is deleted).
    std::string index_path = "/ui/repo/app/digest/" + digest_of(index_) + "/delete";
    Reply form = call(index_path, as("alice"));
    ASSERT_EQ(form.status, 200);
    std::map<std::string, std::string> by_origin = as("alice");
    by_origin["HTTP_ORIGIN"] = origin;
    Reply gone = call(index_path, by_origin, "POST", "token=" + form_token(form.body));
    EXPECT_EQ(gone.status, 303);
    EXPECT_FALSE(tag_exists("app", "multi"));
    EXPECT_FALSE(tag_exists("app", digest_of(index_)));
}

TEST_F(UiProgram, DeletionWithoutAPolicyIsOfferedAsTheApiAllowsIt) {
    store_fixture();
    Reply page = call("/ui/repo/app/tag/v1");
    EXPECT_NE(page.body.find("<a class=\"delete\" href=\"/ui/repo/app/tag/v1/delete\">"),
              std::string::npos);
    std::string token = form_token(call("/ui/repo/app/tag/v1/delete").body);
    // The token is bound to the user: none here.
    EXPECT_EQ(call("/ui/repo/app/tag/v1/delete",
                   {{"REMOTE_USER", "mallory"}, {"HTTP_SEC_FETCH_SITE", "same-origin"}}, "POST",
                   "token=" + token)
                  .status,
              403);
    EXPECT_EQ(call("/ui/repo/app/tag/v1/delete", {{"HTTP_SEC_FETCH_SITE", "same-origin"}}, "POST",
                   "token=" + token)
                  .status,
              303);
    EXPECT_FALSE(tag_exists("app", "v1"));
}

TEST_F(UiProgram, FormTokensBindUserPathAndTime) {
    int64_t now = plat_time_seconds();
    std::string token = ui_form_token("alice", "/ui/repo/a/tag/v1/delete", now + 60);
    ASSERT_EQ(token.size(), std::to_string(now + 60).size() + 65);
    EXPECT_TRUE(ui_form_token_valid(token, "alice", "/ui/repo/a/tag/v1/delete", now));
    EXPECT_FALSE(ui_form_token_valid(token, "alic", "/ui/repo/a/tag/v1/delete", now));
    EXPECT_FALSE(ui_form_token_valid(token, "alice", "/ui/repo/a/tag/v2/delete", now));
    EXPECT_FALSE(ui_form_token_valid(token, "alice", "/ui/repo/a/tag/v1/delete", now + 61));
    // The expiry is signed: another expiry with the same tag fails.
    std::string moved = std::to_string(now + 120) + token.substr(token.find('.'));
    EXPECT_FALSE(ui_form_token_valid(moved, "alice", "/ui/repo/a/tag/v1/delete", now));
    for (const std::string &bad : {std::string(""), std::string("."), token + "0",
                                   "x" + token, token.substr(0, token.size() - 1)})
        EXPECT_FALSE(ui_form_token_valid(bad, "alice", "/ui/repo/a/tag/v1/delete", now)) << bad;
    // Another store has another secret.
    ScratchDir other;
    ASSERT_EQ(reg_storage_init((other / "root").c_str()), 0);
    EXPECT_FALSE(ui_form_token_valid(token, "alice", "/ui/repo/a/tag/v1/delete", now));
}

#ifndef _WIN32
// The same program as a FastCGI responder: requests one after another in
// one process, refusals among them, each answered on its own.
TEST_F(UiProgram, ServesAsAFastcgiResponder) {
    store_fixture();
    testing_support::write_whole_file(policy_path(), kPolicy);
    testing_support::FastcgiResponder responder(std::string(ENDPOINT_DIR) + "/ui", {});
    auto request = [&](const std::string &path, const std::string &user) {
        std::map<std::string, std::string> env = as(user);
        env["REGISTRY_STORAGE_ROOT"] = root();
        env["REQUEST_METHOD"] = "GET";
        env["PATH_INFO"] = path;
        env["HTTP_HOST"] = "fcgi.example";
        testing_support::ProcessResult r;
        testing_support::FastcgiReply reply = responder.request(env);
        r.exit_status = reply.ended ? reply.app_status : -1;
        r.out = reply.out;
        return parse_reply(r);
    };
    EXPECT_EQ(request("/ui/repo/app", "").status, 401);
    Reply page = request("/ui/repo/app/tag/v1", "bob");
    EXPECT_EQ(page.status, 200);
    EXPECT_NE(page.body.find("podman pull fcgi.example/app:v1"), std::string::npos);
    EXPECT_EQ(request("/ui/nothing", "bob").status, 404);
    std::string list = request("/ui/", "").body;
    EXPECT_NE(list.find(">public<"), std::string::npos);
    EXPECT_EQ(list.find(">app<"), std::string::npos);
    EXPECT_EQ(request("/ui/repo/app", "alice").status, 200);
    EXPECT_TRUE(responder.alive());
}
#endif

}  // namespace
