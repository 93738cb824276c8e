// Registry glue: repository names, path split, error replies, root choice.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "edge/oci_common.h"
#include "storage/reg_storage.h"
#include "tests/support/process.h"

using testing_support::run_in_child;
using testing_support::ScratchDir;
using testing_support::write_whole_file;

namespace {

TEST(RepoNameRule, Table) {
    struct Case {
        std::string name;
        int valid;
    } cases[] = {
        {"a", 1},
        {"library/alpine", 1},
        {"A-b_c.d/E9", 1},
        // The store's one rule: no "." or ".." component, no ".." at all.
        {"a..b", 0},
        {"a/./b", 0},
        {"a/../b", 0},
        {"a/_manifests", 0},
        {"a-/b", 1},
        {std::string(255, 'a'), 1},
        {std::string(256, 'a'), 0},
        {"", 0},
        {"-a", 0},
        {"a-", 0},
        {"/a", 0},
        {"a/", 0},
        {".a", 0},
        {"_a", 0},
        {"a//b", 0},
        {"a b", 0},
        {"a\\b", 0},
        {"a:b", 0},
        {"caf\xc3\xa9", 0},
    };
    for (const auto &c : cases) EXPECT_EQ(oci_valid_repo_name(c.name.c_str()), c.valid) << c.name;
    EXPECT_EQ(oci_valid_repo_name(nullptr), 0);
}

TEST(PathSplit, BlobMarkerTable) {
    struct Case {
        std::string path;
        int result;
        std::string name, rest;
    } cases[] = {
        {"/v2/library/alpine/blobs/sha256:ab", 1, "library/alpine", "sha256:ab"},
        {"//v2/x/blobs//sha256:ab/", 1, "x", "sha256:ab"},
        {"/v2/x/blobs/sha256:ab//", 1, "x", "sha256:ab/"},
        {"/x/blobs/d", 1, "x", "d"},
        {"/v2x/y/blobs/d", 1, "v2x/y", "d"},
        {"/v2/x/blobs/a/blobs/b", 1, "x", "a/blobs/b"},
        {"/v2/x/blobs/", 1, "x", ""},
        {"/v2", 0, "", ""},
        {"/v2/blobs/d", 0, "", ""},
        {"/v2//blobs/d", 0, "", ""},
        {"/v2/-x/blobs/d", 0, "-x", ""},
        {"/v2/x//y/blobs/d", 0, "x//y", ""},
        {"/v2/" + std::string(255, 'n') + "/blobs/d", 1, std::string(255, 'n'), "d"},
        {"/v2/" + std::string(256, 'n') + "/blobs/d", 0, "", ""},
    };
    for (const auto &c : cases) {
        char name[256] = "junk", rest[128] = "junk";
        EXPECT_EQ(oci_parse_repo_marker(c.path.c_str(), "/blobs/", name, 256, rest, 128),
                  c.result)
            << c.path;
        EXPECT_EQ(std::string(name), c.name) << c.path;
        if (c.result == 1) {
            EXPECT_EQ(std::string(rest), c.rest) << c.path;
        }
    }
}

TEST(PathSplit, MissingArgumentsAndNoRemainderBuffer) {
    char name[16] = "keep";
    EXPECT_EQ(oci_parse_repo_marker(nullptr, "/blobs/", name, 16, nullptr, 0), 0);
    EXPECT_EQ(oci_parse_repo_marker("/v2/x/blobs/d", nullptr, name, 16, nullptr, 0), 0);
    EXPECT_EQ(oci_parse_repo_marker("/v2/x/blobs/d", "/blobs/", name, 0, nullptr, 0), 0);
    EXPECT_STREQ(name, "keep");
    EXPECT_EQ(oci_parse_repo_marker("/v2/x/blobs/d", "/blobs/", name, 16, nullptr, 0), 1);
    EXPECT_STREQ(name, "x");
    char rest[4];
    EXPECT_EQ(oci_parse_repo_marker("/v2/x/blobs/abcdef", "/blobs/", name, 16, rest, 4), 1);
    EXPECT_STREQ(rest, "abc");
}

TEST(ErrorReply, ExactBytesAndExitStatus) {
    struct Case {
        const char *code, *message, *body;
    } cases[] = {
        {"NAME_UNKNOWN", "repository name not known",
         "{\"errors\":[{\"code\":\"NAME_UNKNOWN\",\"message\":\"repository name not known\"}]}\n"},
        {nullptr, nullptr, "{\"errors\":[{\"code\":\"UNKNOWN\",\"message\":\"Unknown error\"}]}\n"},
        {"", "", "{\"errors\":[{\"code\":\"\",\"message\":\"\"}]}\n"},
        {"X", "q\"b\\t\tc\x01" "d\xc8",
         "{\"errors\":[{\"code\":\"X\",\"message\":\"q\\\"b\\\\t\\tc\\u0001d\xc8\"}]}\n"},
    };
    for (const auto &c : cases) {
        auto r = run_in_child([&] {
            oci_send_error(404, c.code, c.message);
            fputs("not reached", stdout);
        });
        EXPECT_EQ(r.exit_status, 0);
        EXPECT_EQ(r.out, std::string("Status: 404\r\n"
                                     "Docker-Distribution-API-Version: registry/2.0\r\n"
                                     "Content-Type: application/json; charset=utf-8\r\n\r\n") +
                             c.body);
    }
}

// Root choice reads config.json from the working directory, so each case
// runs in a child that changes into its own folder.
TEST(StorageRootChoice, EnvironmentThenConfigThenDefault) {
    struct Case {
        const char *env;   // REGISTRY_STORAGE_ROOT, nullptr: unset
        std::string config;  // config.json text, empty: no file
        std::string root;
    } cases[] = {
        {"/env/root", "{\"storage_root\": \"/cfg\"}", "/env/root"},
        {"", "{\"storage_root\": \"/cfg\"}", "/cfg"},
        {nullptr, "", "./registry_storage"},
        {nullptr, "{\"registry_storage_root\":\"/b\",\"storage_root\":\"/a\"}", "/a"},
        {nullptr, "{\"registry_storage_root\": \"/b\"}", "/b"},
        {nullptr, "{\"storage_root\" : \"/a\"}", "./registry_storage"},
        {nullptr, "{\"storage_root\": 5, \"x\": \"/next\"}", "x"},
        {nullptr, "{\"storage_root\": \"C:\\\\data\"}", "C:\\\\data"},
        {nullptr, "{\"storage_root\": \"/unterminated", "./registry_storage"},
        {nullptr, "{\"storage_root\": \"/" + std::string(1022, 'v') + "\"}",
         "/" + std::string(1022, 'v')},
        {nullptr, "{\"storage_root\": \"/" + std::string(1023, 'v') + "\"}",
         "./registry_storage"},
        {nullptr, std::string(2047, ' ') + "{\"storage_root\": \"/late\"}", "./registry_storage"},
        {nullptr, std::string(2020, ' ') + "\"storage_root\": \"/ok\"}", "/ok"},
    };
    for (const auto &c : cases) {
        ScratchDir dir;
        if (!c.config.empty()) write_whole_file(dir / "config.json", c.config);
        auto r = run_in_child([&] {
            if (testing_support::change_dir(dir.path()) != 0) _exit(3);
            if (c.env) testing_support::set_env("REGISTRY_STORAGE_ROOT", c.env);
            else testing_support::set_env("REGISTRY_STORAGE_ROOT", nullptr);
            char root[1024];
            reg_choose_storage_root(root, sizeof root);
            fputs(root, stdout);
        });
        EXPECT_EQ(r.out, c.root) << c.config.substr(0, 80);
    }
}

// The storage is initialised once for a root: again after a failure, and
// again when a request names another root (a FastCGI responder serves
// requests that may carry their own), never again for the same one.
TEST(StorageBootstrap, OnceForARootAgainAfterFailureOrForAnotherRoot) {
    ScratchDir dir;
    auto r = run_in_child([&] {
        std::string blocker = dir / "file";
        write_whole_file(blocker, "");
        testing_support::set_env("REGISTRY_STORAGE_ROOT", (blocker + "/root").c_str());
        printf("%d ", oci_init_storage());
        testing_support::set_env("REGISTRY_STORAGE_ROOT", (dir / "root").c_str());
        printf("%d ", oci_init_storage());
        // Initialising again would write config.json again.
        remove((dir / "root/config.json").c_str());
        printf("%d ", oci_init_storage());
        printf("%d ", testing_support::path_exists(dir / "root/config.json") ? 1 : 0);
        testing_support::set_env("REGISTRY_STORAGE_ROOT", (dir / "other").c_str());
        printf("%d", oci_init_storage());
    });
    EXPECT_EQ(r.out, "-1 0 0 0 0");
    EXPECT_TRUE(testing_support::path_exists(dir / "other/config.json"));
}

}  // namespace
