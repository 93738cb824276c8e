// The manifest store: put, get, delete, the name rules and the tag test.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include "storage/reg_storage.h"
#include "storage/layout.h"
#include "tests/support/process.h"
#include "tests/support/storage_fixture.h"

using testing_support::path_exists;
using testing_support::read_whole_file;
using testing_support::reference_sha256_hex;
using testing_support::ScratchDir;
using testing_support::write_whole_file;

namespace {

const char kDefaultType[] = "application/vnd.docker.distribution.manifest.v2+json";
const char kOciType[] = "application/vnd.oci.image.manifest.v1+json";
const std::string kConfigDigest = "sha256:" + std::string(64, 'c');
const std::string kLayer0 = "sha256:" + std::string(64, '0');
const std::string kLayer1 = "sha256:" + std::string(64, '1');

std::string manifest_json(const std::string &config_digest, const std::string &layers_json) {
    std::string text = "{\"schemaVersion\":2,\"config\":{\"digest\":\"" + config_digest + "\"}";
    if (!layers_json.empty()) text += ",\"layers\":" + layers_json;
    return text + "}";
}

std::string layers_of(const std::vector<std::string> &digests) {
    std::string text = "[";
    for (const auto &d : digests) text += (text.size() > 1 ? ",{\"digest\":\"" : "{\"digest\":\"") + d + "\"}";
    return text + "]";
}

// A valid manifest padded with white space to exactly size bytes.
std::string manifest_of_size(size_t size) {
    std::string body = manifest_json(kConfigDigest, "");
    return body + std::string(size - body.size(), ' ');
}

const std::string kManifestA = manifest_json(kConfigDigest, layers_of({kLayer0, kLayer1}));
const std::string kManifestB = manifest_json(kConfigDigest, layers_of({kLayer1}));

class ManifestStore : public testing_support::StorageRootTest {
  protected:
    std::string manifests(const std::string &repo = "lib/app") const {
        return root_ + "/repositories/" + repo + "/_manifests";
    }
    std::string body_file(const std::string &hex, const std::string &repo = "lib/app") const {
        return manifests(repo) + "/" + hex;
    }
    std::string rev_link(const std::string &hex, const std::string &repo = "lib/app") const {
        return manifests(repo) + "/revisions/sha256/" + hex + "/link";
    }
    std::string tag_link(const std::string &tag, const std::string &repo = "lib/app") const {
        return manifests(repo) + "/tags/" + tag + "/current/link";
    }

    // Puts body and expects success; gives the digest string put reports.
    std::string put(const std::string &body, const char *reference, const char *type = nullptr,
                    const char *repo = "lib/app") {
        char digest[REG_DIGEST_STRING_SIZE] = "";
        EXPECT_EQ(reg_manifest_put(repo, reference, body.data(), body.size(), type, digest), 0)
            << reg_storage_last_error();
        return digest;
    }
    int put_rc(const std::string &body, const char *reference, const char *repo = "lib/app") {
        char digest[REG_DIGEST_STRING_SIZE] = "";
        return reg_manifest_put(repo, reference, body.data(), body.size(), nullptr, digest);
    }
    // The body get returns, or "<null>".
    std::string get(const char *reference, const char *repo = "lib/app") {
        const char *body = reg_manifest_get(repo, reference, type_, digest_);
        return body != nullptr ? body : "<null>";
    }

    char type_[128] = "";
    char digest_[72] = "";
};

// ---- put: validation ---------------------------------------------------

struct RefusedBody {
    const char *name;
    std::string body;
    std::string message;
};

void PrintTo(const RefusedBody &c, std::ostream *os) { *os << c.name; }

class PutRefuses : public ManifestStore, public ::testing::WithParamInterface<RefusedBody> {};

TEST_P(PutRefuses, WithItsMessageAndWritesNothing) {
    const RefusedBody &c = GetParam();
    char digest[REG_DIGEST_STRING_SIZE] = "untouched";
    EXPECT_EQ(reg_manifest_put("lib/app", "latest", c.body.data(), c.body.size(), nullptr, digest),
              -1);
    EXPECT_EQ(std::string(reg_storage_last_error()), c.message);
    EXPECT_STREQ(digest, "untouched");
    EXPECT_FALSE(path_exists(root_ + "/repositories/lib"));
}

const char kParseFailed[] = "manifest JSON parse failed";
const char kNotObject[] = "manifest must be a JSON object";
const char kNoConfig[] = "manifest missing valid config.digest";
const char kLayer1Bad[] = "manifest layer 1 missing valid digest";

INSTANTIATE_TEST_SUITE_P(
    Validation, PutRefuses,
    ::testing::Values(
        RefusedBody{"EmptyBody", "", kParseFailed},
        RefusedBody{"NotJson", "manifest", kParseFailed},
        RefusedBody{"TrailingText", kManifestA + " x", kParseFailed},
        RefusedBody{"SecondDocument", kManifestA + kManifestA, kParseFailed},
        RefusedBody{"TrailingComma", manifest_json(kConfigDigest, "[],"), kParseFailed},
        RefusedBody{"ByteOrderMark", "\xEF\xBB\xBF" + kManifestA, kParseFailed},
        RefusedBody{"LineComment", kManifestA + " // note", kParseFailed},
        RefusedBody{"BlockComment", "/* note */" + kManifestA, kParseFailed},
        RefusedBody{"NaN", "{\"n\":NaN," + kManifestA.substr(1), kParseFailed},
        RefusedBody{"Infinity", "{\"n\":Infinity," + kManifestA.substr(1), kParseFailed},
        RefusedBody{"InvalidUtf8", "{\"n\":\"\xff\"," + kManifestA.substr(1), kParseFailed},
        RefusedBody{"NulAfterDocument", kManifestA + std::string(1, '\0'), kParseFailed},
        RefusedBody{"Array", "[" + kManifestA + "]", kNotObject},
        RefusedBody{"String", "\"manifest\"", kNotObject},
        RefusedBody{"Number", "2", kNotObject},
        RefusedBody{"NoConfig", "{\"layers\":[]}", kNoConfig},
        RefusedBody{"ConfigNotObject", "{\"config\":\"" + kConfigDigest + "\"}", kNoConfig},
        RefusedBody{"ConfigWithoutDigest", "{\"config\":{\"size\":1}}", kNoConfig},
        RefusedBody{"ConfigDigestNotString", "{\"config\":{\"digest\":7}}", kNoConfig},
        RefusedBody{"ConfigDigestUpperHex",
                    manifest_json("sha256:" + std::string(64, 'C'), ""), kNoConfig},
        RefusedBody{"ConfigDigest63Digits",
                    manifest_json("sha256:" + std::string(63, 'c'), ""), kNoConfig},
        RefusedBody{"LayersObject", manifest_json(kConfigDigest, "{}"),
                    "manifest layers must be an array"},
        RefusedBody{"FirstLayerNotObject", manifest_json(kConfigDigest, "[1]"),
                    "manifest layer 0 missing valid digest"},
        RefusedBody{"SecondLayerString",
                    manifest_json(kConfigDigest, "[{\"digest\":\"" + kLayer0 + "\"},\"" +
                                                     kLayer1 + "\"]"),
                    kLayer1Bad},
        RefusedBody{"SecondLayerWithoutDigest",
                    manifest_json(kConfigDigest, "[{\"digest\":\"" + kLayer0 + "\"},{\"size\":3}]"),
                    kLayer1Bad},
        RefusedBody{"SecondLayerBadDigest",
                    manifest_json(kConfigDigest, layers_of({kLayer0, "sha256:1"})), kLayer1Bad},
        RefusedBody{"TooLarge",
                    manifest_of_size(1048576),
                    "manifest too large: 1048576 bytes (max 1048575)"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(ManifestStore, LargestBodyThatGetReturnsWholeIsAccepted) {
    std::string body = manifest_of_size(1048575);
    std::string digest = put(body, "big");
    EXPECT_EQ(digest, "sha256:" + reference_sha256_hex(body));
    EXPECT_EQ(get("big"), body);
}

TEST_F(ManifestStore, ArgumentChecksComeInOrder) {
    const std::string body = kManifestA;
    char digest[REG_DIGEST_STRING_SIZE];
    struct Case {
        const char *repo, *reference;
        const void *body;
        char *out;
        const char *message;
    } cases[] = {
        {nullptr, "t", body.data(), digest, "NULL argument"},
        {"r", nullptr, body.data(), digest, "NULL argument"},
        {"r", "t", nullptr, digest, "NULL argument"},
        {"r", "t", body.data(), nullptr, "NULL argument"},
        {"a..b", "t", body.data(), digest, "invalid repository name: a..b"},
        {"r", "", body.data(), digest, "empty reference"},
        {"r", "../../../../evil", body.data(), digest, "invalid tag: ../../../../evil"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(reg_manifest_put(c.repo, c.reference, c.body, body.size(), nullptr, c.out), -1);
        EXPECT_STREQ(reg_storage_last_error(), c.message);
    }
    reg_storage_cleanup();
    EXPECT_EQ(reg_manifest_put(nullptr, "t", body.data(), body.size(), nullptr, digest), -1);
    EXPECT_STREQ(reg_storage_last_error(), "NULL argument");
    EXPECT_EQ(reg_manifest_put("a..b", "t", body.data(), body.size(), nullptr, digest), -1);
    EXPECT_STREQ(reg_storage_last_error(), "not initialized - call reg_storage_init first");
    EXPECT_EQ(reg_manifest_get("r", "t", type_, digest_), nullptr);
    EXPECT_STREQ(reg_storage_last_error(), "not initialized - call reg_storage_init first");
    EXPECT_EQ(reg_manifest_delete("r", "t"), -1);
    EXPECT_STREQ(reg_storage_last_error(), "not initialized - call reg_storage_init first");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(root_ + "/repositories"),
                            std::filesystem::directory_iterator()),
              0);
}

// ---- put: what lands on disk -------------------------------------------

TEST_F(ManifestStore, PutStoresBodyTypeAndLinks) {
    std::string hex = reference_sha256_hex(kManifestA);
    EXPECT_EQ(put(kManifestA, "v1.0", kOciType), "sha256:" + hex);
    EXPECT_EQ(read_whole_file(body_file(hex)), kManifestA);
    EXPECT_EQ(read_whole_file(body_file(hex) + ".ct"), kOciType);
    EXPECT_EQ(read_whole_file(rev_link(hex)), "sha256:" + hex);
    EXPECT_EQ(read_whole_file(tag_link("v1.0")), "sha256:" + hex);
    // Every file was renamed into place: no temporary file is left behind.
    for (const auto &e : std::filesystem::recursive_directory_iterator(manifests()))
        EXPECT_EQ(e.path().filename().string().find(".tmp"), std::string::npos) << e.path();
}

TEST_F(ManifestStore, MissingOrEmptyTypeStoresTheDefault) {
    for (const char *type : {static_cast<const char *>(nullptr), ""}) {
        std::string hex = reference_sha256_hex(kManifestA);
        put(kManifestA, "latest", type);
        EXPECT_EQ(read_whole_file(body_file(hex) + ".ct"), kDefaultType);
        EXPECT_EQ(get("latest"), kManifestA);
        EXPECT_STREQ(type_, kDefaultType);
    }
}

TEST_F(ManifestStore, LayersMayBeAbsentOrEmpty) {
    for (const char *layers : {"", "[]"}) {
        std::string body = manifest_json(kConfigDigest, layers);
        EXPECT_EQ(put(body, "t"), "sha256:" + reference_sha256_hex(body)) << layers;
    }
}

TEST_F(ManifestStore, DigestReferenceStoresUnderTheBodysOwnDigestWithoutTag) {
    std::string own = "sha256:" + reference_sha256_hex(kManifestA);
    std::string other = "sha256:" + reference_sha256_hex(kManifestB);
    for (const std::string &reference : {std::string("sha256:"), std::string("sha256:zz"), other}) {
        EXPECT_EQ(put(kManifestA, reference.c_str()), own) << reference;
        EXPECT_FALSE(path_exists(manifests() + "/tags")) << reference;
        EXPECT_FALSE(path_exists(body_file(other.substr(7)))) << reference;
    }
    EXPECT_EQ(get(own.c_str()), kManifestA);
}

TEST_F(ManifestStore, PuttingATagAgainMovesItAndKeepsTheOldManifest) {
    std::string a = put(kManifestA, "latest");
    std::string b = put(kManifestB, "latest");
    EXPECT_EQ(read_whole_file(tag_link("latest")), b);
    EXPECT_EQ(get("latest"), kManifestB);
    EXPECT_STREQ(digest_, b.c_str());
    EXPECT_EQ(get(a.c_str()), kManifestA);
    EXPECT_STREQ(digest_, a.c_str());
}

TEST_F(ManifestStore, TagMoveReplacesTheLinkWholeUnderAnOpenReader) {
    if (testing_support::running_under_wine())
        GTEST_SKIP() << "Wine has no rename with POSIX semantics over an open file";
    std::string a = put(kManifestA, "latest");
    // A reader that opened the link before the move keeps reading the old,
    // complete text: the new link replaces the file instead of rewriting it.
    std::ifstream reader(tag_link("latest"), std::ios::binary);
    ASSERT_TRUE(reader.is_open());
    std::string b = put(kManifestB, "latest");
    std::string seen((std::istreambuf_iterator<char>(reader)), std::istreambuf_iterator<char>());
    EXPECT_EQ(seen, a);
    EXPECT_EQ(read_whole_file(tag_link("latest")), b);
}

struct Obstacle {
    const char *name;
    const char *file_at;  // a regular file placed here (relative to the repository)
    const char *dir_at;   // or a directory placed here; "<hex>" stands for the body's hex
    const char *message;
    bool body_stays, rev_stays;
};
void PrintTo(const Obstacle &c, std::ostream *os) { *os << c.name; }

class PutWriteFailure : public ManifestStore, public ::testing::WithParamInterface<Obstacle> {};

TEST_P(PutWriteFailure, ReportsTheStepAndKeepsWhatCameBefore) {
    const Obstacle &c = GetParam();
    std::string hex = reference_sha256_hex(kManifestA);
    std::string repo_dir = root_ + "/repositories/lib";
    std::filesystem::create_directories(repo_dir + "/app/_manifests/revisions/sha256");
    auto place = [&](const char *rel) {
        std::string path = repo_dir + "/" + rel;
        if (auto pos = path.find("<hex>"); pos != std::string::npos) path.replace(pos, 5, hex);
        return path;
    };
    if (c.file_at != nullptr) {
        std::filesystem::remove_all(place(c.file_at));
        write_whole_file(place(c.file_at), "obstacle");
    }
    if (c.dir_at != nullptr) std::filesystem::create_directories(place(c.dir_at));

    EXPECT_EQ(put_rc(kManifestA, "t"), -1);
    EXPECT_STREQ(reg_storage_last_error(), c.message);
    EXPECT_EQ(path_exists(body_file(hex)) && !std::filesystem::is_directory(body_file(hex)),
              c.body_stays);
    EXPECT_EQ(path_exists(rev_link(hex)) && !std::filesystem::is_directory(rev_link(hex)),
              c.rev_stays);
    EXPECT_FALSE(std::filesystem::is_regular_file(tag_link("t")));
}

INSTANTIATE_TEST_SUITE_P(
    Steps, PutWriteFailure,
    ::testing::Values(
        Obstacle{"ManifestsDir", "app", nullptr, "mkdirs manifests dir failed", false, false},
        Obstacle{"Body", nullptr, "app/_manifests/<hex>", "write manifest body failed", false,
                 false},
        Obstacle{"ContentType", nullptr, "app/_manifests/<hex>.ct", "write manifest ct failed",
                 true, false},
        Obstacle{"RevisionDir", "app/_manifests/revisions", nullptr, "mkdirs revision dir failed",
                 true, false},
        Obstacle{"RevisionLink", nullptr, "app/_manifests/revisions/sha256/<hex>/link",
                 "write revision link failed", true, false},
        Obstacle{"TagDir", "app/_manifests/tags", nullptr, "mkdirs tag dir failed", true, true},
        Obstacle{"TagLink", nullptr, "app/_manifests/tags/t/current/link",
                 "write tag link failed", true, true}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- get ---------------------------------------------------------------

TEST_F(ManifestStore, GetByTagAndByDigest) {
    std::string digest = put(kManifestA, "v1", kOciType);
    for (const char *reference : {"v1", digest.c_str()}) {
        EXPECT_EQ(get(reference), kManifestA) << reference;
        EXPECT_STREQ(type_, kOciType);
        EXPECT_STREQ(digest_, digest.c_str());
    }
}

TEST_F(ManifestStore, GetFallsBackToTheDefaultTypeAndCutsALongOne) {
    std::string hex = reference_sha256_hex(kManifestA);
    std::string long_type(200, 't');
    struct Case {
        const char *name;
        bool remove;
        std::string stored, expected;
    } cases[] = {
        {"missing", true, "", kDefaultType},
        {"empty", false, "", kDefaultType},
        {"long", false, long_type, long_type.substr(0, 126)},
    };
    put(kManifestA, "t");
    for (const auto &c : cases) {
        std::string ct = body_file(hex) + ".ct";
        if (c.remove)
            std::filesystem::remove(ct);
        else
            write_whole_file(ct, c.stored);
        EXPECT_EQ(get("t"), kManifestA) << c.name;
        EXPECT_EQ(std::string(type_), c.expected) << c.name;
    }
}

struct GetFailure {
    const char *name;
    const char *reference;
    std::string link;  // written as the tag link of "t" when not empty
    std::string message;
};
void PrintTo(const GetFailure &c, std::ostream *os) { *os << c.name; }

class GetRefuses : public ManifestStore, public ::testing::WithParamInterface<GetFailure> {};

TEST_P(GetRefuses, WithItsMessage) {
    const GetFailure &c = GetParam();
    put(kManifestA, "t");
    if (!c.link.empty()) write_whole_file(tag_link("t"), c.link);
    EXPECT_EQ(reg_manifest_get("lib/app", c.reference, type_, digest_), nullptr);
    EXPECT_EQ(std::string(reg_storage_last_error()), c.message);
}

const std::string kNeverPut = "sha256:" + std::string(64, 'e');
const std::string kGoodLink = "sha256:" + reference_sha256_hex(kManifestA);

INSTANTIATE_TEST_SUITE_P(
    Failures, GetRefuses,
    ::testing::Values(
        GetFailure{"UnknownTag", "nope", "", "tag not found: lib/app:nope"},
        GetFailure{"LinkWithLineEnd", "t", kGoodLink + "\n", "corrupt tag link: lib/app:t"},
        GetFailure{"LinkWithNulAndMore", "t", kGoodLink + std::string(1, '\0') + "x",
                   "corrupt tag link: lib/app:t"},
        GetFailure{"LinkUpperCase", "t", "SHA256:" + kGoodLink.substr(7),
                   "corrupt tag link: lib/app:t"},
        GetFailure{"NeverPutDigest", kNeverPut.c_str(), "",
                   "manifest body not found: lib/app@" + kNeverPut},
        GetFailure{"MalformedDigest", "sha256:abc", "", "invalid digest reference"},
        GetFailure{"TagOutsideTagsDir", "../../../../../config.json", "",
                   "invalid tag: ../../../../../config.json"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(ManifestStore, GetRefusesABodyFileTooLargeToReturnWhole) {
    std::string hex = reference_sha256_hex(kManifestA);
    put(kManifestA, "t");
    write_whole_file(body_file(hex), kManifestA + std::string(1048576, ' '));
    EXPECT_EQ(get("t"), "<null>");
    EXPECT_EQ(std::string(reg_storage_last_error()),
              "manifest too large: " + std::to_string(kManifestA.size() + 1048576) +
                  " bytes (max 1048575)");
}

// ---- delete ------------------------------------------------------------

TEST_F(ManifestStore, DeleteDigestThatATagNamesRemovesOnlyTheRevisionLink) {
    std::string digest = put(kManifestA, "t");
    std::string hex = digest.substr(7);
    EXPECT_EQ(reg_manifest_delete("lib/app", digest.c_str()), 0) << reg_storage_last_error();
    EXPECT_FALSE(path_exists(rev_link(hex)));
    EXPECT_TRUE(path_exists(body_file(hex)));
    EXPECT_EQ(get("t"), kManifestA);
    EXPECT_EQ(get(digest.c_str()), kManifestA);
}

TEST_F(ManifestStore, DeleteLastTagRemovesTheManifestButNotItsDirectories) {
    std::string hex = put(kManifestA, "t").substr(7);
    EXPECT_EQ(reg_manifest_delete("lib/app", "t"), 0) << reg_storage_last_error();
    for (const std::string &gone : {tag_link("t"), body_file(hex), body_file(hex) + ".ct",
                                    rev_link(hex)})
        EXPECT_FALSE(path_exists(gone)) << gone;
    EXPECT_TRUE(std::filesystem::is_directory(manifests() + "/tags/t/current"));
    EXPECT_TRUE(std::filesystem::is_directory(manifests() + "/revisions/sha256/" + hex));
    EXPECT_EQ(get("t"), "<null>");
    EXPECT_STREQ(reg_storage_last_error(), "tag not found: lib/app:t");
}

TEST_F(ManifestStore, DeleteOneOfTwoTagsKeepsTheManifest) {
    std::string digest = put(kManifestA, "t1");
    put(kManifestA, "t2");
    EXPECT_EQ(reg_manifest_delete("lib/app", "t1"), 0);
    EXPECT_FALSE(path_exists(tag_link("t1")));
    EXPECT_TRUE(path_exists(rev_link(digest.substr(7))));
    EXPECT_EQ(get("t2"), kManifestA);
}

TEST_F(ManifestStore, DeleteDigestThatNoTagNamesRemovesItsFiles) {
    std::string digest = put(kManifestA, "sha256:");
    std::string hex = digest.substr(7);
    EXPECT_EQ(reg_manifest_delete("lib/app", digest.c_str()), 0);
    for (const std::string &gone : {body_file(hex), body_file(hex) + ".ct", rev_link(hex)})
        EXPECT_FALSE(path_exists(gone)) << gone;
    // Deleting again, or a digest never put, still succeeds.
    EXPECT_EQ(reg_manifest_delete("lib/app", digest.c_str()), 0);
    EXPECT_EQ(reg_manifest_delete("lib/app", kNeverPut.c_str()), 0);
}

TEST_F(ManifestStore, DeleteRefusals) {
    put(kManifestA, "t");
    struct Case {
        const char *repo, *reference, *message;
    } cases[] = {
        {nullptr, "t", "NULL argument"},
        {"lib/app", nullptr, "NULL argument"},
        {"lib/../app", "t", "invalid repository name"},
        {"lib/app", "nope", "tag not found: lib/app:nope"},
        {"lib/app", "sha256:xyz", "invalid digest reference"},
        {"lib/app", "t/current/link", "invalid tag: t/current/link"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(reg_manifest_delete(c.repo, c.reference), -1) << c.message;
        EXPECT_STREQ(reg_storage_last_error(), c.message);
    }
    EXPECT_TRUE(path_exists(tag_link("t")));
}

// However many entries the tags directory holds, every tag is seen: a
// manifest that no tag names any more goes.
struct CrowdedTags {
    const char *name;
    int other_tags;  // tag directories without a link besides the real ones
    bool files_stay;
};
void PrintTo(const CrowdedTags &c, std::ostream *os) { *os << c.name; }

class DeleteWithManyTags : public ManifestStore,
                           public ::testing::WithParamInterface<CrowdedTags> {};

TEST_P(DeleteWithManyTags, SeesEveryTagHoweverMany) {
    const CrowdedTags &c = GetParam();
    std::string hex = put(kManifestA, "t").substr(7);
    for (int i = 0; i < c.other_tags; i++)
        std::filesystem::create_directories(manifests() + "/tags/x" + std::to_string(i) + "/current");
    EXPECT_EQ(reg_manifest_delete("lib/app", "t"), 0);
    EXPECT_EQ(manifest_has_tag_for("lib/app", hex.c_str()), c.files_stay ? 1 : 0);
    EXPECT_EQ(path_exists(body_file(hex)), c.files_stay);
    EXPECT_EQ(path_exists(rev_link(hex)), c.files_stay);
}

// The deleted tag's own directory remains, so it counts among the entries.
INSTANTIATE_TEST_SUITE_P(Listing, DeleteWithManyTags,
                         ::testing::Values(CrowdedTags{"FewTags", 511, false},
                                           CrowdedTags{"MoreThan512Tags", 512, false},
                                           CrowdedTags{"ThousandsOfTags", 3000, false}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(ManifestStore, HasTagForLooksAtTheLinksOfTagDirectoriesOnly) {
    std::string hex = reference_sha256_hex(kManifestA);
    EXPECT_EQ(manifest_has_tag_for("lib/app", hex.c_str()), 0);  // no tags directory yet
    put(kManifestB, "other");
    std::filesystem::create_directories(manifests() + "/tags");
    write_whole_file(manifests() + "/tags/stray", "sha256:" + hex);
    EXPECT_EQ(manifest_has_tag_for("lib/app", hex.c_str()), 0);
    put(kManifestA, "mine");
    EXPECT_EQ(manifest_has_tag_for("lib/app", hex.c_str()), 1);
}

// ---- names -------------------------------------------------------------

struct NameCase {
    std::string name;
    int valid;
};
void PrintTo(const NameCase &c, std::ostream *os) { *os << "\"" << c.name << "\""; }

class RepoNames : public ::testing::TestWithParam<NameCase> {};

TEST_P(RepoNames, Rule) { EXPECT_EQ(repo_name_valid(GetParam().name.c_str()), GetParam().valid); }

INSTANTIATE_TEST_SUITE_P(
    Names, RepoNames,
    ::testing::Values(NameCase{"a", 1}, NameCase{"library/alpine", 1}, NameCase{"a.b/c.d", 1},
                      NameCase{"-lead", 0}, NameCase{"trail-", 0}, NameCase{"Up_Case-9", 1}, NameCase{"a/b/c/d", 1},
                      NameCase{std::string(255, 'r'), 1}, NameCase{std::string(256, 'r'), 0},
                      NameCase{"", 0}, NameCase{"a..b", 0}, NameCase{"..", 0},
                      NameCase{"a/../b", 0}, NameCase{"a b", 0}, NameCase{"a\x80", 0},
                      NameCase{"a:b", 0}, NameCase{"a\\b", 0}, NameCase{"/a", 0},
                      NameCase{"a/", 0}, NameCase{"a//b", 0}, NameCase{".", 0},
                      NameCase{"./a", 0}, NameCase{"a/./b", 0}, NameCase{"a/.", 0},
                      NameCase{"_manifests", 0}, NameCase{"a/_manifests", 0},
                      NameCase{"a/_manifests/tags", 0}, NameCase{"a/_manifests_x", 1}));

TEST(RepoNames, NullIsRefused) { EXPECT_EQ(repo_name_valid(nullptr), 0); }

class TagNames : public ::testing::TestWithParam<NameCase> {};

TEST_P(TagNames, Rule) { EXPECT_EQ(tag_name_valid(GetParam().name.c_str()), GetParam().valid); }

INSTANTIATE_TEST_SUITE_P(
    Names, TagNames,
    ::testing::Values(NameCase{"latest", 1}, NameCase{"v1.2.3-rc_1", 1}, NameCase{"_x", 1},
                      NameCase{"9", 1}, NameCase{std::string(128, 't'), 1},
                      NameCase{std::string(129, 't'), 0}, NameCase{"", 0}, NameCase{".", 0},
                      NameCase{"..", 0}, NameCase{".hidden", 0}, NameCase{"-x", 0},
                      NameCase{"a/b", 0}, NameCase{"a\\b", 0}, NameCase{"a b", 0},
                      NameCase{"a:b", 0}, NameCase{"a\xc3\xa9", 0}));

TEST(TagNames, NullIsRefused) { EXPECT_EQ(tag_name_valid(nullptr), 0); }

TEST_F(ManifestStore, EveryOperationRefusesTheSameFoldingNames) {
    put(kManifestA, "t", nullptr, "a/b");
    for (const char *name : {"a//b", "a/b/", "/a/b", "./a/b", "a/./b", "a\\b", "."}) {
        char digest[REG_DIGEST_STRING_SIZE];
        EXPECT_EQ(reg_manifest_put(name, "t", kManifestB.data(), kManifestB.size(), nullptr, digest),
                  -1)
            << name;
        EXPECT_EQ(std::string(reg_storage_last_error()), std::string("invalid repository name: ") + name);
        EXPECT_EQ(reg_manifest_get(name, "t", type_, digest_), nullptr) << name;
        EXPECT_STREQ(reg_storage_last_error(), "invalid repository name");
        EXPECT_EQ(reg_manifest_delete(name, "t"), -1) << name;
        EXPECT_STREQ(reg_storage_last_error(), "invalid repository name");
    }
    EXPECT_EQ(get("t", "a/b"), kManifestA);
    EXPECT_FALSE(path_exists(root_ + "/repositories/_manifests"));
}

}  // namespace
