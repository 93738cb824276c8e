// The mirror's parsers (its configuration, upstream challenges, the token
// service's reply), the choice of a mirror by name, and the token cache.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "mirror/mirror.h"
#include "mirror/mirror_internal.h"
#include "tests/support/process.h"

namespace {

using testing_support::ScratchDir;

struct ConfigCase {
    const char *what;
    const char *json;
    bool valid;
    const char *error_part;  // a piece of the message of a refusal
};

const ConfigCase kConfigs[] = {
    {"the documented example",
     R"({"mirrors": [{"prefix": "hub/", "upstream": "https://registry-1.example", "tag_ttl_seconds": 300,
        "username": "reader", "password_file": "/etc/registry/hub.pass",
        "ca_file": "/etc/registry/upstream-ca.pem"}]})",
     true, ""},
    {"no mirrors", R"({"mirrors": []})", true, ""},
    {"the whole registry", R"({"mirrors": [{"prefix": "", "upstream": "http://127.0.0.1:5000"}]})",
     true, ""},
    {"a nested prefix, a path and a port",
     R"({"mirrors": [{"prefix": "a/b/", "upstream": "https://r.example:8443/base/"}]})", true, ""},
    {"an IPv6 upstream", R"({"mirrors": [{"prefix": "x/", "upstream": "http://[::1]:5000"}]})", true,
     ""},
    {"a TTL of 0", R"({"mirrors": [{"prefix": "x/", "upstream": "http://h", "tag_ttl_seconds": 0}]})",
     true, ""},
    {"not JSON", R"({"mirrors": [)", false, "not valid JSON"},
    {"a trailing comma", R"({"mirrors": [],})", false, "not valid JSON"},
    {"not an object", R"([])", false, "one member"},
    {"another top-level member", R"({"mirrors": [], "extra": 1})", false, "one member"},
    {"mirrors not an array", R"({"mirrors": {}})", false, "one member"},
    {"an entry not an object", R"({"mirrors": ["hub/"]})", false, "must be an object"},
    {"no prefix", R"({"mirrors": [{"upstream": "http://h"}]})", false, "needs a prefix"},
    {"no upstream", R"({"mirrors": [{"prefix": "x/"}]})", false, "needs a prefix and an upstream"},
    {"a prefix without '/'", R"({"mirrors": [{"prefix": "hub", "upstream": "http://h"}]})", false,
     "prefix"},
    {"a prefix with ..", R"({"mirrors": [{"prefix": "../", "upstream": "http://h"}]})", false,
     "prefix"},
    {"a prefix that is only '/'", R"({"mirrors": [{"prefix": "/", "upstream": "http://h"}]})", false,
     "prefix"},
    {"a prefix of a number", R"({"mirrors": [{"prefix": 1, "upstream": "http://h"}]})", false,
     "prefix"},
    {"a prefix with a NUL", R"({"mirrors": [{"prefix": "a\u0000/", "upstream": "http://h"}]})",
     false, "NUL"},
    {"a repeated prefix",
     R"({"mirrors": [{"prefix": "x/", "upstream": "http://a"}, {"prefix": "x/", "upstream": "http://b"}]})",
     false, "repeats"},
    {"a member named twice",
     R"({"mirrors": [{"prefix": "x/", "prefix": "y/", "upstream": "http://a"}]})", false, "prefix"},
    {"an ftp upstream", R"({"mirrors": [{"prefix": "x/", "upstream": "ftp://h"}]})", false,
     "http:// or https://"},
    {"a file upstream", R"({"mirrors": [{"prefix": "x/", "upstream": "file:///etc/passwd"}]})", false,
     "http:// or https://"},
    {"a user in the upstream", R"({"mirrors": [{"prefix": "x/", "upstream": "http://u:p@h"}]})",
     false, "upstream"},
    {"a query in the upstream", R"({"mirrors": [{"prefix": "x/", "upstream": "http://h/?a=b"}]})",
     false, "no user, query"},
    {"a space in the upstream", R"({"mirrors": [{"prefix": "x/", "upstream": "http://h /"}]})", false,
     "upstream"},
    {"no host", R"({"mirrors": [{"prefix": "x/", "upstream": "https://"}]})", false, "host"},
    {"a port of 0", R"({"mirrors": [{"prefix": "x/", "upstream": "http://h:0"}]})", false, "port"},
    {"a port too large", R"({"mirrors": [{"prefix": "x/", "upstream": "http://h:65536"}]})", false,
     "port"},
    {"a negative TTL",
     R"({"mirrors": [{"prefix": "x/", "upstream": "http://h", "tag_ttl_seconds": -1}]})", false,
     "tag_ttl_seconds"},
    {"a TTL as text",
     R"({"mirrors": [{"prefix": "x/", "upstream": "http://h", "tag_ttl_seconds": "300"}]})", false,
     "tag_ttl_seconds"},
    {"a fractional TTL",
     R"({"mirrors": [{"prefix": "x/", "upstream": "http://h", "tag_ttl_seconds": 1.5}]})", false,
     "tag_ttl_seconds"},
    {"a TTL above a year",
     R"({"mirrors": [{"prefix": "x/", "upstream": "http://h", "tag_ttl_seconds": 31536001}]})", false,
     "tag_ttl_seconds"},
    {"a user with ':'",
     R"({"mirrors": [{"prefix": "x/", "upstream": "http://h", "username": "a:b", "password_file": "/p"}]})",
     false, "username"},
    {"a user without a password file",
     R"({"mirrors": [{"prefix": "x/", "upstream": "http://h", "username": "a"}]})", false,
     "go together"},
    {"a password file without a user",
     R"({"mirrors": [{"prefix": "x/", "upstream": "http://h", "password_file": "/p"}]})", false,
     "go together"},
    {"a relative password file",
     R"({"mirrors": [{"prefix": "x/", "upstream": "http://h", "username": "a", "password_file": "p"}]})",
     false, "absolute"},
    {"a CA file with a line break",
     R"({"mirrors": [{"prefix": "x/", "upstream": "http://h", "ca_file": "/a\nb"}]})", false,
     "absolute"},
    {"an unknown member",
     R"({"mirrors": [{"prefix": "x/", "upstream": "http://h", "insecure": true}]})", false,
     "unknown member"},
};

class MirrorConfigParse : public ::testing::TestWithParam<ConfigCase> {};

TEST_P(MirrorConfigParse, AcceptsOrRefusesWhole) {
    const ConfigCase &c = GetParam();
    static mirror_config config;
    char err[MIRROR_ERROR_MAX] = "";
    int rc = mirror_config_parse(c.json, strlen(c.json), &config, err, sizeof err);
    if (c.valid) {
        EXPECT_EQ(rc, 0) << c.what << ": " << err;
    } else {
        EXPECT_EQ(rc, -1) << c.what;
        EXPECT_NE(std::string(err).find(c.error_part), std::string::npos) << c.what << ": " << err;
        // Nothing of a refused configuration is left to use.
        EXPECT_EQ(config.count, 0u) << c.what;
    }
}

INSTANTIATE_TEST_SUITE_P(Table, MirrorConfigParse, ::testing::ValuesIn(kConfigs));

TEST(MirrorConfig, ReadsEveryFieldAndDefaults) {
    const char *json =
        R"({"mirrors": [{"prefix": "hub/", "upstream": "https://registry-1.example/", "tag_ttl_seconds": 60,
            "username": "reader", "password_file": "/etc/p", "ca_file": "/etc/ca.pem"},
           {"prefix": "", "upstream": "http://127.0.0.1:5000"}]})";
    static mirror_config config;
    char err[MIRROR_ERROR_MAX] = "";
    ASSERT_EQ(mirror_config_parse(json, strlen(json), &config, err, sizeof err), 0) << err;
    ASSERT_EQ(config.count, 2u);
    EXPECT_STREQ(config.entries[0].prefix, "hub/");
    EXPECT_STREQ(config.entries[0].upstream, "https://registry-1.example");
    EXPECT_EQ(config.entries[0].tag_ttl_seconds, 60);
    EXPECT_STREQ(config.entries[0].username, "reader");
    EXPECT_STREQ(config.entries[0].password_file, "/etc/p");
    EXPECT_STREQ(config.entries[0].ca_file, "/etc/ca.pem");
    EXPECT_STREQ(config.entries[1].prefix, "");
    EXPECT_EQ(config.entries[1].tag_ttl_seconds, MIRROR_TTL_DEFAULT);
    EXPECT_STREQ(config.entries[1].username, "");
}

TEST(MirrorConfig, LoadChecksTheFilesItNames) {
    ScratchDir dir;
    std::string pass = dir / "pass", empty = dir / "empty", conf = dir / "mirrors.json";
    std::ofstream(pass) << "secret\n";
    std::ofstream(empty) << "\n";
    struct Case {
        std::string password_file;
        std::string ca_file;
        bool valid;
    } cases[] = {
        {pass, "", true},
        {pass, pass, true},
        {empty, "", false},             // no password on its first line
        {dir / "absent", "", false},    // no password file
        {pass, dir / "absent", false},  // no CA file
        {dir.path(), "", false},        // a folder, not a file
    };
    for (const Case &c : cases) {
        std::ofstream(conf) << R"({"mirrors": [{"prefix": "x/", "upstream": "http://h", "username": "u", )"
                            << R"("password_file": ")" << c.password_file << '"'
                            << (c.ca_file.empty() ? "" : R"(, "ca_file": ")" + c.ca_file + '"')
                            << "}]}";
        static mirror_config config;
        char err[MIRROR_ERROR_MAX] = "";
        EXPECT_EQ(mirror_config_load(conf.c_str(), &config, err, sizeof err), c.valid ? 0 : -1)
            << c.password_file << " " << c.ca_file << ": " << err;
        EXPECT_EQ(config.count, c.valid ? 1u : 0u);
    }
    static mirror_config config;
    char err[MIRROR_ERROR_MAX] = "";
    EXPECT_EQ(mirror_config_load((dir / "none.json").c_str(), &config, err, sizeof err), -1);
    // A file above the size limit is refused before it is parsed.
    std::ofstream(conf) << std::string(MIRROR_CONFIG_FILE_MAX + 1, ' ');
    EXPECT_EQ(mirror_config_load(conf.c_str(), &config, err, sizeof err), -1);
    EXPECT_NE(std::string(err).find("larger than"), std::string::npos) << err;
}

TEST(MirrorConfig, MatchTakesTheLongestPrefixAndLeavesAName) {
    const char *json = R"({"mirrors": [{"prefix": "hub/", "upstream": "http://a"},
        {"prefix": "hub/library/", "upstream": "http://b"}, {"prefix": "q/", "upstream": "http://c"}]})";
    static mirror_config config;
    char err[MIRROR_ERROR_MAX] = "";
    ASSERT_EQ(mirror_config_parse(json, strlen(json), &config, err, sizeof err), 0) << err;
    struct Case {
        const char *repo;
        const char *upstream;  // nullptr: not mirrored
        const char *rest;
    } cases[] = {
        {"hub/alpine", "http://a", "alpine"},
        {"hub/library/alpine", "http://b", "alpine"},
        {"hub/library", "http://a", "library"},
        {"hub", nullptr, nullptr},   // the prefix without its '/'
        {"hub/", nullptr, nullptr},  // nothing left of the name
        {"hubx/alpine", nullptr, nullptr},
        {"q/x/y", "http://c", "x/y"},
        {"other", nullptr, nullptr},
    };
    for (const Case &c : cases) {
        const char *rest = nullptr;
        const mirror_entry *m = mirror_match(&config, c.repo, &rest);
        if (c.upstream == nullptr) {
            EXPECT_EQ(m, nullptr) << c.repo;
        } else {
            ASSERT_NE(m, nullptr) << c.repo;
            EXPECT_STREQ(m->upstream, c.upstream) << c.repo;
            EXPECT_STREQ(rest, c.rest) << c.repo;
        }
    }
    const char *whole = R"({"mirrors": [{"prefix": "", "upstream": "http://all"}]})";
    ASSERT_EQ(mirror_config_parse(whole, strlen(whole), &config, err, sizeof err), 0) << err;
    const char *rest = nullptr;
    const mirror_entry *m = mirror_match(&config, "library/alpine", &rest);
    ASSERT_NE(m, nullptr);
    EXPECT_STREQ(rest, "library/alpine");
}

struct ChallengeCase {
    const char *value;
    int result;
    mirror_auth_scheme scheme;
    const char *realm;
    const char *service;
    const char *scope;
};

const ChallengeCase kChallenges[] = {
    {R"(Bearer realm="https://auth.example/token",service="registry.example",scope="repository:library/alpine:pull")",
     0, MIRROR_AUTH_BEARER, "https://auth.example/token", "registry.example",
     "repository:library/alpine:pull"},
    {R"(bearer realm="http://127.0.0.1:9/t")", 0, MIRROR_AUTH_BEARER, "http://127.0.0.1:9/t", "", ""},
    {R"(BEARER  realm = "http://h/t" , service=svc)", 0, MIRROR_AUTH_BEARER, "http://h/t", "svc", ""},
    {R"(Bearer realm="http://h/t",error="insufficient_scope")", 0, MIRROR_AUTH_BEARER, "http://h/t",
     "", ""},
    {R"(Bearer realm="http://h/t",scope="a \"quoted\" b")", 0, MIRROR_AUTH_BEARER, "http://h/t", "",
     "a \"quoted\" b"},
    {R"(Basic realm="registry")", 0, MIRROR_AUTH_BASIC, "registry", "", ""},
    {"Basic", 0, MIRROR_AUTH_BASIC, "", "", ""},
    // Refused: another scheme, no realm, a realm that is not http(s) or
    // carries a user, parameters twice, broken quoting, control bytes,
    // values too long, stray text.
    {R"(Negotiate abc)", -1, MIRROR_AUTH_NONE, "", "", ""},
    {R"(Bearerx realm="http://h/t")", -1, MIRROR_AUTH_NONE, "", "", ""},
    {R"(Bearer service="s")", -1, MIRROR_AUTH_NONE, "", "", ""},
    {R"(Bearer realm="file:///etc/passwd")", -1, MIRROR_AUTH_NONE, "", "", ""},
    {R"(Bearer realm="ftp://h/t")", -1, MIRROR_AUTH_NONE, "", "", ""},
    {R"(Bearer realm="http://user:pw@h/t")", -1, MIRROR_AUTH_NONE, "", "", ""},
    {R"(Bearer realm="http://h/t t")", -1, MIRROR_AUTH_NONE, "", "", ""},
    {R"(Bearer realm="http:///t")", -1, MIRROR_AUTH_NONE, "", "", ""},
    {R"(Bearer realm="http://a/t",realm="http://b/t")", -1, MIRROR_AUTH_NONE, "", "", ""},
    {R"(Bearer realm="http://h/t)", -1, MIRROR_AUTH_NONE, "", "", ""},
    {R"(Bearer realm="http://h/t\)", -1, MIRROR_AUTH_NONE, "", "", ""},
    {"Bearer realm=\"http://h/t\"\r\nX-Injected: 1", -1, MIRROR_AUTH_NONE, "", "", ""},
    {"Bearer realm=\"http://h/t\",scope=\"a\x01\"", -1, MIRROR_AUTH_NONE, "", "", ""},
    {"Bearer realm=\"http://h/t\",scope=\"\xc3\xa9\"", -1, MIRROR_AUTH_NONE, "", "", ""},
    {R"(Bearer realm="http://h/t",)", -1, MIRROR_AUTH_NONE, "", "", ""},
    {R"(Bearer realm="http://h/t" service="s")", -1, MIRROR_AUTH_NONE, "", "", ""},
    {R"(Bearer realm)", -1, MIRROR_AUTH_NONE, "", "", ""},
    {R"(Bearer =x)", -1, MIRROR_AUTH_NONE, "", "", ""},
    {R"(Bearer realm=)", -1, MIRROR_AUTH_NONE, "", "", ""},
    {"", -1, MIRROR_AUTH_NONE, "", "", ""},
    {"   ", -1, MIRROR_AUTH_NONE, "", "", ""},
};

class MirrorChallenge : public ::testing::TestWithParam<ChallengeCase> {};

TEST_P(MirrorChallenge, ParsesStrictly) {
    const ChallengeCase &c = GetParam();
    mirror_challenge out;
    memset(&out, 'x', sizeof out);
    EXPECT_EQ(mirror_challenge_parse(c.value, &out), c.result) << c.value;
    EXPECT_EQ(out.scheme, c.scheme) << c.value;
    EXPECT_STREQ(out.realm, c.realm) << c.value;
    EXPECT_STREQ(out.service, c.service) << c.value;
    EXPECT_STREQ(out.scope, c.scope) << c.value;
}

INSTANTIATE_TEST_SUITE_P(Table, MirrorChallenge, ::testing::ValuesIn(kChallenges));

TEST(MirrorChallengeLimits, RefusesWhatDoesNotFitAndNull) {
    std::string realm = "http://h/" + std::string(MIRROR_CHALLENGE_VALUE_MAX, 'a');
    mirror_challenge out;
    EXPECT_EQ(mirror_challenge_parse(("Bearer realm=\"" + realm + "\"").c_str(), &out), -1);
    std::string fits = "http://h/" + std::string(MIRROR_CHALLENGE_VALUE_MAX - 10, 'a');
    EXPECT_EQ(mirror_challenge_parse(("Bearer realm=\"" + fits + "\"").c_str(), &out), 0);
    EXPECT_EQ(out.realm, fits);
    EXPECT_EQ(mirror_challenge_parse(nullptr, &out), -1);
    EXPECT_EQ(mirror_challenge_parse("Basic", nullptr), -1);
}

TEST(MirrorToken, ReadsTheTokenServicesReply) {
    struct Case {
        const char *json;
        bool ok;
        const char *token;
        int64_t expires_in;
    } cases[] = {
        {R"({"token":"abc","expires_in":300})", true, "abc", 300},
        {R"({"access_token":"xyz"})", true, "xyz", 77},
        {R"({"token":"","access_token":"xyz"})", true, "xyz", 77},
        {R"({"token":"abc","expires_in":0})", false, "", 77},
        {R"({"token":"abc","expires_in":"300"})", false, "", 77},
        {R"({"token":1})", false, "", 77},
        {R"({"token":"a\u0000b"})", false, "", 77},
        {R"({})", false, "", 77},
        {R"([])", false, "", 77},
        {R"(not json)", false, "", 77},
    };
    for (const Case &c : cases) {
        std::string token;
        int64_t expires_in = 77;
        EXPECT_EQ(mirror_token_reply_parse(c.json, strlen(c.json), &token, &expires_in), c.ok) << c.json;
        if (c.ok) {
            EXPECT_EQ(token, c.token) << c.json;
            EXPECT_EQ(expires_in, c.expires_in) << c.json;
        }
    }
}

TEST(MirrorToken, CacheKeepsTokensPrivateUntilTheyExpire) {
    ScratchDir dir;
    mirror_token_dir_set(dir.path().c_str());
    std::string token;
    EXPECT_FALSE(mirror_token_load("http://up", "repository:a:pull", &token));
    mirror_token_store("http://up", "repository:a:pull", "tok-a", 300);
    ASSERT_TRUE(mirror_token_load("http://up", "repository:a:pull", &token));
    EXPECT_EQ(token, "tok-a");
    // Another scope or upstream has a token of its own.
    EXPECT_FALSE(mirror_token_load("http://up", "repository:b:pull", &token));
    EXPECT_FALSE(mirror_token_load("http://other", "repository:a:pull", &token));
    // A token about to expire is not kept.
    mirror_token_store("http://up", "repository:c:pull", "tok-c", 5);
    EXPECT_FALSE(mirror_token_load("http://up", "repository:c:pull", &token));
    struct stat st;
    std::string folder = dir / "mirror-tokens";
    ASSERT_EQ(stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    int files = 0;
    FILE *ls = popen(("ls " + folder).c_str(), "r");
    char line[256];
    while (ls != nullptr && fgets(line, sizeof line, ls) != nullptr) {
        line[strcspn(line, "\n")] = '\0';
        ASSERT_EQ(stat((folder + "/" + line).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u) << line;
        files++;
    }
    if (ls != nullptr) pclose(ls);
    EXPECT_EQ(files, 1);
    mirror_token_dir_set(nullptr);
}

}  // namespace
