// The storage calls behind the registry API: the status each failure
// reports beside its message, typed manifest puts, tag and manifest
// removal, streamed appends and pages.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "storage/reg_storage.h"
#include "tests/support/invariants.h"
#include "tests/support/process.h"
#include "tests/support/storage_fixture.h"

using testing_support::reference_sha256_hex;
using testing_support::StorageRootTest;

namespace {

std::string digest_of(const std::string &data) { return "sha256:" + reference_sha256_hex(data); }

const char kOci[] = "application/vnd.oci.image.manifest.v1+json";

class StorageApi : public StorageRootTest {
  protected:
    void TearDown() override {
        EXPECT_EQ(testing_support::join_lines(testing_support::store_invariant_violations(root_)),
                  "");
        StorageRootTest::TearDown();
    }
    std::string put_blob(const std::string &data) {
        char id[REG_UPLOAD_ID_SIZE], digest[REG_DIGEST_STRING_SIZE];
        EXPECT_EQ(reg_blob_start_upload(id), 0);
        EXPECT_EQ(reg_blob_append_chunk(id, data.data(), data.size()), 0);
        EXPECT_EQ(reg_blob_finish_upload(id, digest_of(data).c_str(), digest), 0)
            << reg_storage_last_error();
        return digest;
    }
    std::string image(const std::string &config, const std::string &layer) {
        return "{\"schemaVersion\":2,\"config\":{\"mediaType\":\"c\",\"digest\":\"" +
               digest_of(config) + "\",\"size\":" + std::to_string(config.size()) +
               "},\"layers\":[{\"mediaType\":\"l\",\"digest\":\"" + digest_of(layer) +
               "\",\"size\":" + std::to_string(layer.size()) + "}]}";
    }
    int put(const std::string &repo, const std::string &ref, const std::string &body,
            const char *type = kOci) {
        char digest[REG_DIGEST_STRING_SIZE], subject[REG_DIGEST_STRING_SIZE];
        return reg_manifest_put_typed(repo.c_str(), ref.c_str(), body.data(), body.size(), type,
                                      digest, subject);
    }
};

TEST_F(StorageApi, EveryFailureReportsItsStatus) {
    const std::string m = image("cfg", "layer");
    put_blob("cfg");
    put_blob("layer");
    ASSERT_EQ(put("app", "v1", m), 0) << reg_storage_last_error();
    char path[4096], type[REG_CONTENT_TYPE_SIZE], digest[REG_DIGEST_STRING_SIZE];
    int64_t size = 0;
    struct Case {
        const char *what;
        std::function<int()> call;
        reg_status status;
    } cases[] = {
        {"missing blob", [] { return reg_blob_get_filepath(("sha256:" + std::string(64, '0')).c_str(), nullptr, 0); },
         REG_STATUS_INVALID_ARGUMENT},
        {"blob not there", [&] { return reg_blob_get_filepath(("sha256:" + std::string(64, '0')).c_str(), path, sizeof path); },
         REG_STATUS_NOT_FOUND},
        {"malformed digest", [] { return reg_blob_delete("sha256:12"); }, REG_STATUS_INVALID_DIGEST},
        {"unknown upload", [] { return static_cast<int>(reg_blob_upload_size("01234567-89ab-cdef-0123-456789abcdef")); },
         REG_STATUS_NOT_FOUND},
        {"malformed upload id", [] { return static_cast<int>(reg_blob_upload_size("../x")); },
         REG_STATUS_INVALID_ARGUMENT},
        {"unknown tag", [&] { return reg_manifest_locate("app", "v9", path, sizeof path, type, digest, &size); },
         REG_STATUS_NOT_FOUND},
        {"unknown revision", [&] { return reg_manifest_locate("app", digest_of("x").c_str(), path, sizeof path, type, digest, &size); },
         REG_STATUS_NOT_FOUND},
        {"invalid tag", [&] { return reg_tag_delete("app", "-x"); }, REG_STATUS_INVALID_NAME},
        {"tag not there", [&] { return reg_tag_delete("app", "v9"); }, REG_STATUS_NOT_FOUND},
        {"remove unknown", [&] { return reg_manifest_remove("app", digest_of("x").c_str()); }, REG_STATUS_NOT_FOUND},
        {"invalid repository", [&] { return put("a//b", "v1", m); }, REG_STATUS_INVALID_NAME},
        {"document", [&] { return put("app", "v1", "{}"); }, REG_STATUS_INVALID_MANIFEST},
        {"unknown layer", [&] { return put("app", "v1", image("cfg", "missing")); }, REG_STATUS_UNKNOWN_REFERENCE},
        {"digest mismatch", [&] { return put("app", digest_of("other"), m); }, REG_STATUS_INVALID_DIGEST},
        {"too large", [&] { return put("app", "v1", std::string(REG_MANIFEST_MAX + 1, ' ')); }, REG_STATUS_TOO_LARGE},
        {"tags of nothing", [] { return reg_tags_list_page("none", -1, nullptr, nullptr, 0) ? 0 : -1; }, REG_STATUS_NOT_FOUND},
        {"referrers of a bad digest", [] { return reg_referrers_json("app", "sha256:1", nullptr) ? 0 : -1; }, REG_STATUS_INVALID_DIGEST},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.call(), -1);
        EXPECT_EQ(reg_storage_last_status(), c.status) << reg_storage_last_error();
        EXPECT_STRNE(reg_storage_last_error(), "");
    }
    reg_storage_cleanup();
    EXPECT_EQ(reg_blob_exists(digest_of("cfg").c_str()), -1);
    EXPECT_EQ(reg_storage_last_status(), REG_STATUS_NOT_READY);
    ASSERT_EQ(reg_storage_init(root_.c_str()), 0);
    EXPECT_EQ(reg_storage_last_status(), REG_STATUS_OK);
}

TEST_F(StorageApi, OciNameGrammar) {
    for (const char *good : {"a", "library/alpine", "a.b", "a_b", "a__b", "a---b", "a/b/c", "0"})
        EXPECT_EQ(reg_repo_name_oci(good), 1) << good;
    for (const char *bad : {"", "A", "a/", "/a", "a//b", "a..b", "a___b", "-a", "a-", "a._b",
                            "a/./b", "a b", "_a", "a/_manifests"})
        EXPECT_EQ(reg_repo_name_oci(bad), 0) << bad;
    EXPECT_EQ(reg_repo_name_oci(std::string(255, 'a').c_str()), 1);
    EXPECT_EQ(reg_repo_name_oci(std::string(256, 'a').c_str()), 0);
    EXPECT_EQ(reg_repo_name_oci(nullptr), 0);
}

TEST_F(StorageApi, TagDeleteLeavesTheManifestAndRemoveTakesItsTags) {
    const std::string m = image("cfg", "layer");
    put_blob("cfg");
    put_blob("layer");
    for (const char *tag : {"a", "b", "c"}) ASSERT_EQ(put("app", tag, m), 0);
    ASSERT_EQ(reg_tag_delete("app", "a"), 0);
    EXPECT_FALSE(testing_support::path_exists(root_ + "/repositories/app/_manifests/tags/a"))
        << "the emptied tag directories go too";
    char path[4096], type[REG_CONTENT_TYPE_SIZE], digest[REG_DIGEST_STRING_SIZE];
    int64_t size = 0;
    EXPECT_EQ(reg_manifest_locate("app", digest_of(m).c_str(), path, sizeof path, type, digest, &size), 0);
    EXPECT_EQ(size, static_cast<int64_t>(m.size()));
    EXPECT_STREQ(type, kOci);
    ASSERT_EQ(reg_manifest_remove("app", digest_of(m).c_str()), 0);
    EXPECT_STREQ(reg_tags_list_json("app"), "{\"name\":\"app\",\"tags\":[]}");
    EXPECT_FALSE(testing_support::path_exists(root_ + "/repositories/app/_manifests/" + digest_of(m).substr(7)));
}

TEST_F(StorageApi, AppendStreamTakesAnyLengthAndCountsWhatItAppended) {
    char id[REG_UPLOAD_ID_SIZE];
    ASSERT_EQ(reg_blob_start_upload(id), 0);
    const std::string data = testing_support::random_bytes(3 * 1024 * 1024 + 17, 5);
    FILE *in = tmpfile();
    ASSERT_NE(in, nullptr);
    fwrite(data.data(), 1, data.size(), in);
    rewind(in);
    uint64_t appended = 0;
    // A limit below the stream's length stops there; the rest stays unread.
    ASSERT_EQ(reg_blob_append_stream(id, in, 1000, &appended), 0);
    EXPECT_EQ(appended, 1000u);
    ASSERT_EQ(reg_blob_append_stream(id, in, UINT64_MAX, &appended), 0);
    EXPECT_EQ(appended, data.size() - 1000);
    fclose(in);
    EXPECT_EQ(reg_blob_upload_size(id), static_cast<int64_t>(data.size()));
    char digest[REG_DIGEST_STRING_SIZE];
    ASSERT_EQ(reg_blob_finish_upload(id, digest_of(data).c_str(), digest), 0);
    EXPECT_EQ(reg_blob_append_stream("01234567-89ab-cdef-0123-456789abcdef", stdin, 1, &appended), -1);
    EXPECT_EQ(reg_storage_last_status(), REG_STATUS_NOT_FOUND);
    EXPECT_EQ(appended, 0u);
}

TEST_F(StorageApi, PutStreamStoresAVerifiedBlobInOnePassAndLeavesNothingElse) {
    const std::string data = testing_support::random_bytes(2 * 1024 * 1024 + 5, 9);
    auto put_from = [&](const std::string &bytes, int64_t length, const std::string &digest,
                        uint64_t *received) {
        FILE *in = tmpfile();
        fwrite(bytes.data(), 1, bytes.size(), in);
        rewind(in);
        char stored[REG_DIGEST_STRING_SIZE] = "untouched";
        int rc = reg_blob_put_stream(in, length, digest.c_str(), stored, received);
        fclose(in);
        if (rc == 0) {
            EXPECT_EQ(std::string(stored), digest);
        }
        return rc;
    };
    uint64_t received = 0;
    struct Case {
        const char *what;
        std::string bytes;
        int64_t length;
        std::string digest;
        int rc;
        reg_status status;
    } cases[] = {
        {"mismatch", data, -1, digest_of("other"), -1, REG_STATUS_INVALID_DIGEST},
        {"short input", data.substr(0, 100), 200, digest_of(data.substr(0, 100)), -1,
         REG_STATUS_INVALID_ARGUMENT},
        {"malformed digest", data, -1, "sha256:abc", -1, REG_STATUS_INVALID_DIGEST},
        {"to the end", data, -1, digest_of(data), 0, REG_STATUS_OK},
        {"a given length", data + "trailing", static_cast<int64_t>(data.size()), digest_of(data),
         0, REG_STATUS_OK},
        {"empty", "", 0, digest_of(""), 0, REG_STATUS_OK},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(put_from(c.bytes, c.length, c.digest, &received), c.rc);
        if (c.rc != 0) {
            EXPECT_EQ(reg_storage_last_status(), c.status) << reg_storage_last_error();
        }
        EXPECT_TRUE(std::filesystem::is_empty(root_ + "/uploads")) << "no upload is left behind";
    }
    EXPECT_EQ(received, 0u);
    char path[4096];
    ASSERT_EQ(reg_blob_get_filepath(digest_of(data).c_str(), path, sizeof path), 0);
    EXPECT_TRUE(testing_support::read_whole_file(path) == data);
}

}  // namespace

namespace {

// Sets the modification time of the file at path to seconds since 1970.
void set_mtime(const std::string &path, int64_t seconds) {
    namespace fs = std::filesystem;
    auto system = std::chrono::system_clock::time_point(std::chrono::seconds(seconds));
    // The file clock's epoch differs from the system clock's: the same
    // distance from now on both.
    auto file_time = std::chrono::file_clock::now() +
                     std::chrono::duration_cast<std::chrono::file_clock::duration>(
                         system - std::chrono::system_clock::now());
    std::error_code ec;
    fs::last_write_time(path, file_time, ec);
    ASSERT_FALSE(ec) << path << ": " << ec.message();
}

}  // namespace

TEST_F(StorageApi, RepoSummaryCountsTagsAndTakesTheNewestLink) {
    std::string config = "{}", layer = "layer";
    put_blob(config);
    put_blob(layer);
    std::string first = image(config, layer);
    std::string second = image(config, layer + "2");
    put_blob(layer + "2");
    ASSERT_EQ(put("app", "v1", first), 0);
    ASSERT_EQ(put("app", "v2", first), 0);
    ASSERT_EQ(put("app", "latest", second), 0);
    std::string manifests = root_ + "/repositories/app/_manifests";
    for (const char *tag : {"v1", "v2", "latest"})
        set_mtime(manifests + "/tags/" + tag + "/current/link", 1000000000);
    for (const std::string &m : {first, second})
        set_mtime(manifests + "/revisions/sha256/" + reference_sha256_hex(m) + "/link", 1000000000);
    set_mtime(manifests + "/tags/v2/current/link", 1500000000);
    reg_repo_summary_info info = {0, 0};
    ASSERT_EQ(reg_repo_summary("app", &info), 0) << reg_storage_last_error();
    EXPECT_EQ(info.tags, 3u);
    EXPECT_EQ(info.last_push, 1500000000);
    // A manifest pushed by digest alone is a push too.
    set_mtime(manifests + "/revisions/sha256/" + reference_sha256_hex(second) + "/link", 1600000000);
    ASSERT_EQ(reg_repo_summary("app", &info), 0);
    EXPECT_EQ(info.last_push, 1600000000);
    ASSERT_EQ(reg_tag_delete("app", "v1"), 0);
    ASSERT_EQ(reg_repo_summary("app", &info), 0);
    EXPECT_EQ(info.tags, 2u);

    // A repository that holds manifests but no tags; one that is not there;
    // a name outside the rule. A failure leaves out alone.
    ASSERT_EQ(put("untagged", digest_of(first), first), 0);
    ASSERT_EQ(reg_repo_summary("untagged", &info), 0);
    EXPECT_EQ(info.tags, 0u);
    EXPECT_GT(info.last_push, 1600000000);
    reg_repo_summary_info kept = info;
    EXPECT_EQ(reg_repo_summary("absent", &info), -1);
    EXPECT_EQ(reg_storage_last_status(), REG_STATUS_NOT_FOUND);
    EXPECT_EQ(reg_repo_summary("../app", &info), -1);
    EXPECT_EQ(reg_storage_last_status(), REG_STATUS_INVALID_NAME);
    EXPECT_EQ(reg_repo_summary(nullptr, &info), -1);
    EXPECT_EQ(info.tags, kept.tags);
    EXPECT_EQ(info.last_push, kept.last_push);
}

TEST_F(StorageApi, ReferrersCountIsTheCountOfReferrerLinks) {
    std::string config = "{}", layer = "layer";
    put_blob(config);
    put_blob(layer);
    std::string subject = image(config, layer);
    ASSERT_EQ(put("app", "v1", subject), 0);
    std::string descriptor = "{\"mediaType\":\"" + std::string(kOci) + "\",\"digest\":\"" +
                             digest_of(subject) + "\",\"size\":" + std::to_string(subject.size()) + "}";
    uint64_t count = 99;
    ASSERT_EQ(reg_referrers_count("app", digest_of(subject).c_str(), &count), 0);
    EXPECT_EQ(count, 0u);
    for (const char *type : {"application/a", "application/b"}) {
        std::string referrer = "{\"schemaVersion\":2,\"mediaType\":\"" + std::string(kOci) +
                               "\",\"artifactType\":\"" + type +
                               "\",\"config\":{\"mediaType\":\"application/vnd.oci.empty.v1+json\","
                               "\"digest\":\"" + digest_of(config) + "\",\"size\":2},\"layers\":[],"
                               "\"subject\":" + descriptor + "}";
        ASSERT_EQ(put("app", digest_of(referrer), referrer), 0) << reg_storage_last_error();
    }
    ASSERT_EQ(reg_referrers_count("app", digest_of(subject).c_str(), &count), 0);
    EXPECT_EQ(count, 2u);
    // Counted per repository.
    ASSERT_EQ(reg_referrers_count("other", digest_of(subject).c_str(), &count), 0);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(reg_referrers_count("app", "sha256:abc", &count), -1);
    EXPECT_EQ(reg_storage_last_status(), REG_STATUS_INVALID_DIGEST);
    EXPECT_EQ(reg_referrers_count("app", digest_of(subject).c_str(), nullptr), -1);
}

#ifndef _WIN32
// Processes that ask at once for a secret that is not there yet all get the
// one the store keeps: none signs with a secret another process replaced.
TEST_F(StorageApi, ProcessesRacingForANewSecretAllGetTheKeptOne) {
    constexpr int kProcesses = 6;
    for (int round = 0; round < 15; round++) {
        std::string purpose = "race-" + std::to_string(round);
        int go[2], results[2];
        ASSERT_EQ(pipe(go), 0);
        ASSERT_EQ(pipe(results), 0);
        std::vector<pid_t> children;
        for (int i = 0; i < kProcesses; i++) {
            pid_t pid = fork();
            ASSERT_GE(pid, 0);
            if (pid == 0) {
                close(go[1]);
                close(results[0]);
                char start;
                if (read(go[0], &start, 1) != 0) _exit(2);  // the end of the pipe: go
                uint8_t secret[REG_SECRET_SIZE];
                if (reg_storage_secret(purpose.c_str(), secret) != 0) _exit(3);
                // One write of at most PIPE_BUF bytes: never mixed with another's.
                _exit(write(results[1], secret, sizeof secret) == sizeof secret ? 0 : 4);
            }
            children.push_back(pid);
        }
        close(go[0]);
        close(results[1]);
        // Every child starts at once: the pipe's end closes under them.
        close(go[1]);
        std::string got;
        char buffer[4096];
        for (ssize_t n; (n = read(results[0], buffer, sizeof buffer)) > 0;) got.append(buffer, n);
        close(results[0]);
        for (pid_t pid : children) EXPECT_EQ(testing_support::wait_for_child(pid).status(), 0);
        ASSERT_EQ(got.size(), static_cast<size_t>(kProcesses * REG_SECRET_SIZE)) << purpose;
        std::string kept = testing_support::read_whole_file(root_ + "/secrets/" + purpose);
        for (int i = 0; i < kProcesses; i++)
            EXPECT_EQ(got.substr(i * REG_SECRET_SIZE, REG_SECRET_SIZE), kept)
                << purpose << ": process " << i << " got a secret the store does not keep";
    }
}
#endif

TEST_F(StorageApi, SecretIsMadeOnceKeptPrivateAndShared) {
    uint8_t first[REG_SECRET_SIZE], again[REG_SECRET_SIZE], other[REG_SECRET_SIZE];
    ASSERT_EQ(reg_storage_secret("ui-form", first), 0) << reg_storage_last_error();
    std::string path = root_ + "/secrets/ui-form";
    ASSERT_TRUE(testing_support::path_exists(path));
    EXPECT_EQ(testing_support::read_whole_file(path), std::string(reinterpret_cast<char *>(first), 32));
#ifndef _WIN32
    namespace fs = std::filesystem;
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(fs::status(root_ + "/secrets").permissions() & fs::perms::all, fs::perms::owner_all);
#endif
    ASSERT_EQ(reg_storage_secret("ui-form", again), 0);
    EXPECT_EQ(memcmp(first, again, REG_SECRET_SIZE), 0);
    // Another process over the same root gets the same secret.
    reg_storage_cleanup();
    ASSERT_EQ(reg_storage_init(root_.c_str()), 0);
    ASSERT_EQ(reg_storage_secret("ui-form", again), 0);
    EXPECT_EQ(memcmp(first, again, REG_SECRET_SIZE), 0);
    ASSERT_EQ(reg_storage_secret("other", other), 0);
    EXPECT_NE(memcmp(first, other, REG_SECRET_SIZE), 0);
    for (const char *bad : {"", "UI", "../x", "a/b", "a b"}) {
        EXPECT_EQ(reg_storage_secret(bad, other), -1) << bad;
        EXPECT_EQ(reg_storage_last_status(), REG_STATUS_INVALID_ARGUMENT) << bad;
    }
    EXPECT_EQ(reg_storage_secret(std::string(65, 'a').c_str(), other), -1);
    // A damaged secret is refused, not replaced.
    testing_support::write_whole_file(path, "short");
    EXPECT_EQ(reg_storage_secret("ui-form", again), -1);
    EXPECT_EQ(reg_storage_last_status(), REG_STATUS_IO_ERROR);
    EXPECT_EQ(testing_support::read_whole_file(path), "short");
    testing_support::write_whole_file(path, std::string(reinterpret_cast<char *>(first), 32));
}
