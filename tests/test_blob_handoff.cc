// The hand-off line of a blob GET: which setting names which server, the
// exact line per server, and every input that must give no line at all.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "endpoint/blob_handoff.h"

namespace {

const std::string kHex = "2cf24dba5fb0a30e26e83b2ac5b9e29e1b161e5c1fa7425e73043362938b9824";
const std::string kDigest = "sha256:" + kHex;
const std::string kPath = "/srv/registry/blobs/sha256/2c/" + kHex;

// The line for a whole 200 of a 5-byte blob, or "" for none; checks that
// the returned length agrees with the text.
std::string line_for(blob_handoff_server server, const char *prefix, const char *digest,
                     const char *path, int64_t size = 5, int whole_reply = 1) {
    char out[BLOB_HANDOFF_LINE_MAX];
    memset(out, 'x', sizeof out);
    int n = blob_handoff_line({server, prefix, 0}, digest, path, size, whole_reply, out, sizeof out);
    EXPECT_EQ(static_cast<size_t>(n), strlen(out));
    return out;
}

TEST(BlobHandoff, SettingNamesAServerExactly) {
    struct Case {
        const char *value;
        blob_handoff_server server;
    } cases[] = {
        {"lighttpd", BLOB_HANDOFF_LIGHTTPD}, {"nginx", BLOB_HANDOFF_NGINX},
        {"apache", BLOB_HANDOFF_APACHE},     {nullptr, BLOB_HANDOFF_OFF},
        {"", BLOB_HANDOFF_OFF},              {"off", BLOB_HANDOFF_OFF},
        {"Lighttpd", BLOB_HANDOFF_OFF},      {"nginx ", BLOB_HANDOFF_OFF},
        {"1", BLOB_HANDOFF_OFF},             {"X-Sendfile", BLOB_HANDOFF_OFF},
    };
    for (const auto &c : cases)
        EXPECT_EQ(blob_handoff_server_named(c.value), c.server) << (c.value ? c.value : "NULL");
}

TEST(BlobHandoff, LinePerServer) {
    const std::string odd = "/srv/my reg%+\xc3\xa9/blobs/sha256/2c/" + kHex;
    const std::string odd_escaped = "/srv/my%20reg%25%2B%C3%A9/blobs/sha256/2c/" + kHex;
    const char *d = kDigest.c_str();
    struct Case {
        blob_handoff_server server;
        const char *prefix;
        std::string path;
        std::string line;
    } cases[] = {
        {BLOB_HANDOFF_LIGHTTPD, "/unused/", kPath, "X-Sendfile: " + kPath},
        {BLOB_HANDOFF_LIGHTTPD, "/unused/", odd, "X-Sendfile: " + odd_escaped},
        {BLOB_HANDOFF_NGINX, BLOB_HANDOFF_DEFAULT_PREFIX, kPath,
         "X-Accel-Redirect: /.registry-blobs" + kPath},
        {BLOB_HANDOFF_NGINX, "/internal", kPath, "X-Accel-Redirect: /internal" + kPath},
        {BLOB_HANDOFF_NGINX, "/a-b_c.d~//", odd, "X-Accel-Redirect: /a-b_c.d~" + odd_escaped},
        // Only slashes: the path alone, as the location that aliases it.
        {BLOB_HANDOFF_NGINX, "/", kPath, "X-Accel-Redirect: " + kPath},
        {BLOB_HANDOFF_APACHE, "/unused/", kPath, "X-Sendfile: " + kPath},
        // mod_xsendfile reads '%' differently from version to version.
        {BLOB_HANDOFF_APACHE, "/unused/", odd, ""},
        {BLOB_HANDOFF_APACHE, "/", "/srv/a%41/blobs/" + kHex, ""},
        {BLOB_HANDOFF_OFF, BLOB_HANDOFF_DEFAULT_PREFIX, kPath, ""},
    };
    for (const auto &c : cases)
        EXPECT_EQ(line_for(c.server, c.prefix, d, c.path.c_str()), c.line) << c.path;
    // A line break in the storage root stays inside the one line, escaped,
    // or gives no line where the path is not escaped.
    const std::string broken = "/srv/registry\r\nX-Injected: 1/" + kHex;
    EXPECT_EQ(line_for(BLOB_HANDOFF_LIGHTTPD, "/", d, broken.c_str()),
              "X-Sendfile: /srv/registry%0D%0AX-Injected%3A%201/" + kHex);
    EXPECT_EQ(line_for(BLOB_HANDOFF_APACHE, "/", d, broken.c_str()), "");
}

TEST(BlobHandoff, ASha512BlobIsHandedOffByItsOwnPath) {
    const std::string hex512 = kHex + kHex;
    const std::string path = "/srv/registry/blobs/sha512/2c/" + hex512;
    for (auto server : {BLOB_HANDOFF_LIGHTTPD, BLOB_HANDOFF_NGINX, BLOB_HANDOFF_APACHE})
        EXPECT_NE(line_for(server, BLOB_HANDOFF_DEFAULT_PREFIX, ("sha512:" + hex512).c_str(),
                           path.c_str(), 5, 1),
                  "");
    EXPECT_EQ(line_for(BLOB_HANDOFF_LIGHTTPD, BLOB_HANDOFF_DEFAULT_PREFIX,
                       ("sha512:" + hex512).c_str(), path.c_str(), 5, 1),
              "X-Sendfile: " + path);
    // The path must end in all 128 digits, not in the SHA-256 length's 64.
    EXPECT_EQ(line_for(BLOB_HANDOFF_LIGHTTPD, BLOB_HANDOFF_DEFAULT_PREFIX,
                       ("sha512:" + hex512).c_str(), kPath.c_str(), 5, 1),
              "");
}

TEST(BlobHandoff, NoLineForARangeAConditionalOrAnEmptyBlob) {
    for (auto server : {BLOB_HANDOFF_LIGHTTPD, BLOB_HANDOFF_NGINX, BLOB_HANDOFF_APACHE}) {
        const char *prefix = BLOB_HANDOFF_DEFAULT_PREFIX;
        EXPECT_NE(line_for(server, prefix, kDigest.c_str(), kPath.c_str(), 5, 1), "");
        EXPECT_EQ(line_for(server, prefix, kDigest.c_str(), kPath.c_str(), 5, 0), "");
        EXPECT_EQ(line_for(server, prefix, kDigest.c_str(), kPath.c_str(), 0, 1), "");
        EXPECT_EQ(line_for(server, prefix, kDigest.c_str(), kPath.c_str(), -1, 1), "");
    }
}

TEST(BlobHandoff, HostileDigestsAndPathsGiveNoLine) {
    const std::string other_hex(64, 'a');
    struct Case {
        std::string digest, path;
    } cases[] = {
        {"sha256:../../etc/passwd", "/etc/passwd"},
        {"sha256:../../etc/passwd", "/srv/registry/blobs/sha256/../../etc/passwd"},
        {"sha256:%2e%2e%2f%2e%2e%2fetc%2fpasswd", "/srv/registry/blobs/%2e%2e/passwd"},
        {"sha256:" + kHex.substr(0, 63), kPath.substr(0, kPath.size() - 1)},
        {kDigest + "0", kPath + "0"},
        {kDigest + "/../x", kPath + "/../x"},
        {"sha256:" + std::string(64, 'A'), "/srv/registry/blobs/sha256/AA/" + std::string(64, 'A')},
        {"sha512:" + kHex, kPath},
        {"SHA256:" + kHex, kPath},
        {"sha256:" + std::string(4000, 'a'), "/srv/" + std::string(4000, 'a')},
        // The path must be absolute, end in the digest's own hex digits and
        // hold no dot component.
        {kDigest, "srv/registry/blobs/sha256/2c/" + kHex},
        {kDigest, "./registry_storage/blobs/sha256/2c/" + kHex},
        {kDigest, "/srv/registry/blobs/sha256/2c/" + other_hex},
        {kDigest, "/srv/registry/blobs/sha256/2c/x" + kHex},
        {kDigest, "/srv/../etc/blobs/" + kHex},
        {kDigest, "/srv/./registry/" + kHex},
        {kDigest, "/srv/registry/blobs/sha256/2c/" + kHex + "/"},
        {kDigest, kHex},
        {kDigest, ""},
    };
    for (auto server : {BLOB_HANDOFF_LIGHTTPD, BLOB_HANDOFF_NGINX, BLOB_HANDOFF_APACHE}) {
        for (const auto &c : cases)
            EXPECT_EQ(line_for(server, BLOB_HANDOFF_DEFAULT_PREFIX, c.digest.c_str(),
                               c.path.c_str()),
                      "")
                << server << " " << c.digest << " " << c.path;
        EXPECT_EQ(line_for(server, "/", nullptr, kPath.c_str()), "");
        EXPECT_EQ(line_for(server, "/", kDigest.c_str(), nullptr), "");
    }
}

TEST(BlobHandoff, NginxPrefixOutsideTheUriCharactersGivesNoLine) {
    const std::string longest_prefix = "/" + std::string(255, 'p');
    const std::string long_prefix = longest_prefix + "p";
    for (const char *prefix : {"", "relative/", "/a b/", "/a\r\nX-Injected: 1/", "/a%2e/", "/a?b/",
                               long_prefix.c_str()})
        EXPECT_EQ(line_for(BLOB_HANDOFF_NGINX, prefix, kDigest.c_str(), kPath.c_str()), "")
            << prefix;
    EXPECT_EQ(line_for(BLOB_HANDOFF_NGINX, nullptr, kDigest.c_str(), kPath.c_str()), "");
    EXPECT_EQ(line_for(BLOB_HANDOFF_NGINX, longest_prefix.c_str(), kDigest.c_str(), kPath.c_str()),
              "X-Accel-Redirect: " + longest_prefix + kPath);
}

TEST(BlobHandoff, ALineThatDoesNotFitIsNotCut) {
    std::string whole = "X-Sendfile: " + kPath;
    char out[BLOB_HANDOFF_LINE_MAX];
    blob_handoff lighttpd = {BLOB_HANDOFF_LIGHTTPD, "/", 0};
    EXPECT_EQ(blob_handoff_line(lighttpd, kDigest.c_str(), kPath.c_str(), 5, 1, out, whole.size() + 1),
              static_cast<int>(whole.size()));
    EXPECT_EQ(out, whole);
    EXPECT_EQ(blob_handoff_line(lighttpd, kDigest.c_str(), kPath.c_str(), 5, 1, out, whole.size()), 0);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(blob_handoff_line(lighttpd, kDigest.c_str(), kPath.c_str(), 5, 1, nullptr, 0), 0);
    // A path whose escaped form outgrows the line's capacity.
    std::string wide = "/" + std::string(1400, ' ') + "/" + kHex;
    EXPECT_EQ(line_for(BLOB_HANDOFF_LIGHTTPD, "/", kDigest.c_str(), wide.c_str()), "");
}

// A range goes to lighttpd's FastCGI module only (X-Sendfile2), within the
// blob, without a condition, for a path that a whole reply would hand off.
TEST(BlobHandoff, RangeLine) {
    const std::string odd = "/srv/my reg/blobs/sha256/2c/" + kHex;
    const char *d = kDigest.c_str();
    struct Case {
        const char *what;
        blob_handoff handoff;
        std::string path;
        int64_t size, first, last;
        int conditional;
        std::string line;
    } cases[] = {
        {"range", {BLOB_HANDOFF_LIGHTTPD, "/", 1}, kPath, 100, 10, 19, 0,
         "X-Sendfile2: " + kPath + " 10-19"},
        {"first byte", {BLOB_HANDOFF_LIGHTTPD, "/", 1}, kPath, 100, 0, 0, 0,
         "X-Sendfile2: " + kPath + " 0-0"},
        {"to the end", {BLOB_HANDOFF_LIGHTTPD, "/", 1}, kPath, 100, 90, 99, 0,
         "X-Sendfile2: " + kPath + " 90-99"},
        {"escaped path", {BLOB_HANDOFF_LIGHTTPD, "/", 1}, odd, 100, 1, 2, 0,
         "X-Sendfile2: /srv/my%20reg/blobs/sha256/2c/" + kHex + " 1-2"},
        {"CGI module", {BLOB_HANDOFF_LIGHTTPD, "/", 0}, kPath, 100, 10, 19, 0, ""},
        {"nginx", {BLOB_HANDOFF_NGINX, "/", 1}, kPath, 100, 10, 19, 0, ""},
        {"apache", {BLOB_HANDOFF_APACHE, "/", 1}, kPath, 100, 10, 19, 0, ""},
        {"off", {BLOB_HANDOFF_OFF, "/", 1}, kPath, 100, 10, 19, 0, ""},
        {"conditional", {BLOB_HANDOFF_LIGHTTPD, "/", 1}, kPath, 100, 10, 19, 1, ""},
        {"past the end", {BLOB_HANDOFF_LIGHTTPD, "/", 1}, kPath, 100, 90, 100, 0, ""},
        {"reversed", {BLOB_HANDOFF_LIGHTTPD, "/", 1}, kPath, 100, 20, 19, 0, ""},
        {"negative", {BLOB_HANDOFF_LIGHTTPD, "/", 1}, kPath, 100, -1, 19, 0, ""},
        {"empty blob", {BLOB_HANDOFF_LIGHTTPD, "/", 1}, kPath, 0, 0, 0, 0, ""},
        {"climbing path", {BLOB_HANDOFF_LIGHTTPD, "/", 1},
         "/srv/registry/blobs/../../etc/" + kHex, 100, 10, 19, 0, ""},
        {"relative path", {BLOB_HANDOFF_LIGHTTPD, "/", 1}, "blobs/sha256/2c/" + kHex, 100, 10, 19,
         0, ""},
    };
    for (const Case &c : cases) {
        char out[BLOB_HANDOFF_LINE_MAX];
        memset(out, 'x', sizeof out);
        int n = blob_handoff_range_line(c.handoff, d, c.path.c_str(), c.size, c.first, c.last,
                                        c.conditional, out, sizeof out);
        EXPECT_EQ(out, c.line) << c.what;
        EXPECT_EQ(static_cast<size_t>(n), strlen(out)) << c.what;
    }
    char out[BLOB_HANDOFF_LINE_MAX];
    EXPECT_EQ(blob_handoff_range_line({BLOB_HANDOFF_LIGHTTPD, "/", 1}, "sha256:../../etc/passwd",
                                      kPath.c_str(), 100, 10, 19, 0, out, sizeof out),
              0);
}

}  // namespace
