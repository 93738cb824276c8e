// Operating the store through the storage library: garbage collection (what
// is marked, kept and swept, the grace period, upload and temporary expiry,
// a dry run, files left aside by an interrupted run), the integrity check
// (each kind of damage found, and repaired into quarantine) and the space
// report; and the same through regstore run as a process.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "storage/reg_storage.h"
#include "tests/support/invariants.h"
#include "tests/support/process.h"

namespace {

using namespace testing_support;
namespace fs = std::filesystem;

const char kOciManifest[] = "application/vnd.oci.image.manifest.v1+json";
const char kOciIndex[] = "application/vnd.oci.image.index.v1+json";
constexpr int64_t kHour = 3600;

std::string digest_of(const std::string &data) { return "sha256:" + reference_sha256_hex(data); }
std::string hex_of(const std::string &data) { return reference_sha256_hex(data); }

std::string descriptor(const std::string &type, const std::string &data) {
    return "{\"mediaType\":\"" + type + "\",\"digest\":\"" + digest_of(data) +
           "\",\"size\":" + std::to_string(data.size()) + "}";
}

std::string image(const std::string &config, const std::vector<std::string> &layers,
                  const std::string &extra = "") {
    std::string m = std::string("{\"schemaVersion\":2,\"mediaType\":\"") + kOciManifest +
                    "\",\"config\":" + descriptor("application/vnd.oci.image.config.v1+json", config) +
                    ",\"layers\":[";
    for (size_t i = 0; i < layers.size(); i++)
        m += (i ? "," : "") + descriptor("application/vnd.oci.image.layer.v1.tar", layers[i]);
    return m + "]" + extra + "}";
}

std::string index_of(const std::vector<std::string> &children) {
    std::string m = std::string("{\"schemaVersion\":2,\"mediaType\":\"") + kOciIndex +
                    "\",\"manifests\":[";
    for (size_t i = 0; i < children.size(); i++)
        m += (i ? "," : "") + descriptor(kOciManifest, children[i]);
    return m + "]}";
}

// The blobs and manifests of the fixture store, by role.
const std::string kConfigA = "{\"config\":\"a\"}";
const std::string kConfigB = "{\"config\":\"b\"}";
const std::string kLayerShared = random_bytes(3000, 1);  // app:v1 and other
const std::string kLayerA = random_bytes(2000, 2);       // app:v1 only
const std::string kLayerChild = random_bytes(1500, 3);   // the untagged child of an index
const std::string kLayerLone = random_bytes(1200, 4);    // an untagged manifest nothing reaches
const std::string kLayerOther = random_bytes(1100, 5);   // other, whose tag is deleted
const std::string kOrphan = random_bytes(900, 6);        // named by no manifest
const std::string kSigBlob = random_bytes(100, 7);       // the blob of an artifact

const std::string kImageV1 = image(kConfigA, {kLayerShared, kLayerA});
const std::string kChild = image(kConfigA, {kLayerChild});
const std::string kIndex = index_of({kImageV1, kChild});
const std::string kLone = image(kConfigB, {kLayerLone});
const std::string kOther = image(kConfigB, {kLayerShared, kLayerOther});
// An artifact (untagged) whose subject is app:v1: a referrer a client lists.
const std::string kSignature =
    image(kConfigA, {kSigBlob}, ",\"artifactType\":\"application/x-sig\",\"subject\":" +
                                    descriptor(kOciManifest, kImageV1));

class StoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = dir_ / "root";
        ASSERT_EQ(reg_storage_init(root_.c_str()), 0) << reg_storage_last_error();
    }
    void TearDown() override {
        reg_storage_cleanup();
        EXPECT_EQ(join_lines(store_invariant_violations(root_)), "");
    }

    std::string at(const std::string &rel) const { return root_ + "/" + rel; }
    std::string blob_path(const std::string &data) const {
        std::string hex = hex_of(data);
        return at("blobs/sha256/" + hex.substr(0, 2) + "/" + hex);
    }
    std::string body_path(const std::string &repo, const std::string &m) const {
        return at("repositories/" + repo + "/_manifests/" + hex_of(m));
    }
    bool blob_there(const std::string &data) const { return path_exists(blob_path(data)); }
    bool manifest_there(const std::string &repo, const std::string &m) const {
        return path_exists(body_path(repo, m));
    }

    void blob(const std::string &data) {
        char id[REG_UPLOAD_ID_SIZE], digest[REG_DIGEST_STRING_SIZE];
        ASSERT_EQ(reg_blob_start_upload(id), 0) << reg_storage_last_error();
        ASSERT_EQ(reg_blob_append_chunk(id, data.data(), data.size()), 0);
        ASSERT_EQ(reg_blob_finish_upload(id, digest_of(data).c_str(), digest), 0)
            << reg_storage_last_error();
    }
    void put(const std::string &repo, const std::string &ref, const std::string &body) {
        char digest[REG_DIGEST_STRING_SIZE], subject[REG_DIGEST_STRING_SIZE];
        ASSERT_EQ(reg_manifest_put_typed(repo.c_str(), ref.c_str(), body.data(), body.size(),
                                         nullptr, digest, subject),
                  0)
            << reg_storage_last_error();
    }

    // Sets the modification time of every file under the root to age
    // seconds ago.
    void age_everything(int64_t age) {
        auto then = fs::file_time_type::clock::now() - std::chrono::seconds(age);
        for (const auto &e : fs::recursive_directory_iterator(root_))
            if (e.is_regular_file()) fs::last_write_time(e.path(), then);
    }
    void age(const std::string &path, int64_t age) {
        fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::seconds(age));
    }

    // The fixture: app:v1 (an image), app:multi (an index of v1 and an
    // untagged child), app@lone (untagged, nothing reaches it), app@sig (an
    // untagged referrer of v1), other:old (its tag then deleted), an
    // orphan blob; everything two hours old.
    void fill() {
        for (const std::string *b : {&kConfigA, &kConfigB, &kLayerShared, &kLayerA, &kLayerChild,
                                     &kLayerLone, &kLayerOther, &kOrphan, &kSigBlob})
            blob(*b);
        put("app", "v1", kImageV1);
        put("app", digest_of(kChild), kChild);
        put("app", "multi", kIndex);
        put("app", digest_of(kLone), kLone);
        put("app", digest_of(kSignature), kSignature);
        put("other", "old", kOther);
        ASSERT_EQ(reg_tag_delete("other", "old"), 0);
        age_everything(2 * kHour);
    }

    // Runs gc; the removed names by kind.
    std::map<reg_gc_kind, std::set<std::string>> gc(reg_gc_options options, int expect_rc = 0) {
        reg_gc_report report{};
        int rc = reg_gc(&options, &report);
        EXPECT_EQ(rc, expect_rc) << reg_storage_last_error();
        std::map<reg_gc_kind, std::set<std::string>> removed;
        int64_t bytes = 0;
        for (uint64_t i = 0; i < report.count; i++) {
            removed[report.items[i].kind].insert(report.items[i].name);
            bytes += report.items[i].bytes;
        }
        EXPECT_EQ(bytes, report.bytes);
        last_ = report;
        last_.items = nullptr;
        reg_gc_report_free(&report);
        return removed;
    }

    static reg_gc_options options(bool delete_untagged, bool dry_run = false,
                                  int64_t grace = kHour, int64_t expiry = 24 * kHour) {
        reg_gc_options o{};
        o.grace_seconds = grace;
        o.expiry_seconds = expiry;
        o.dry_run = dry_run ? 1 : 0;
        o.delete_untagged = delete_untagged ? 1 : 0;
        return o;
    }

    ScratchDir dir_;
    std::string root_;
    reg_gc_report last_{};
};

std::set<std::string> digests(const std::vector<const std::string *> &blobs) {
    std::set<std::string> out;
    for (const std::string *b : blobs) out.insert(digest_of(*b));
    return out;
}

// ---- Garbage collection ------------------------------------------------------

struct GcCase {
    const char *name;
    bool delete_untagged;
    bool dry_run;
    std::vector<const std::string *> blobs_removed;
    std::vector<std::string> manifests_removed;  // "<repo>@<digest>"
};

class Gc : public StoreTest, public ::testing::WithParamInterface<GcCase> {};

TEST_P(Gc, RemovesExactlyWhatNothingReaches) {
    const GcCase &c = GetParam();
    fill();
    const std::vector<const std::string *> all = {&kConfigA, &kConfigB,  &kLayerShared,
                                                  &kLayerA,  &kLayerChild, &kLayerLone,
                                                  &kLayerOther, &kOrphan, &kSigBlob};
    auto removed = gc(options(c.delete_untagged, c.dry_run));
    EXPECT_EQ(removed[REG_GC_BLOB], digests(c.blobs_removed));
    EXPECT_EQ(removed[REG_GC_MANIFEST],
              std::set<std::string>(c.manifests_removed.begin(), c.manifests_removed.end()));
    std::set<std::string> gone = digests(c.blobs_removed);
    for (const std::string *b : all)
        EXPECT_EQ(blob_there(*b), c.dry_run || gone.count(digest_of(*b)) == 0) << digest_of(*b);
    EXPECT_EQ(last_.manifests_read, 6u);
    // What a client reaches by tag, and the referrers of v1, still come whole.
    char type[REG_CONTENT_TYPE_SIZE], digest[REG_DIGEST_STRING_SIZE];
    for (const char *tag : {"v1", "multi"})
        EXPECT_NE(reg_manifest_get("app", tag, type, digest), nullptr) << tag;
    EXPECT_NE(reg_manifest_get("app", digest_of(kChild).c_str(), type, digest), nullptr);
    const char *referrers = reg_referrers_json("app", digest_of(kImageV1).c_str(), nullptr);
    ASSERT_NE(referrers, nullptr);
    EXPECT_NE(std::string(referrers).find(digest_of(kSignature)), std::string::npos);
    for (const std::string &m : c.manifests_removed) {
        std::string repo = m.substr(0, m.find('@'));
        EXPECT_EQ(reg_manifest_get(repo.c_str(), m.substr(m.find('@') + 1).c_str(), type, digest) ==
                      nullptr,
                  !c.dry_run)
            << m;
    }
    // A second run finds nothing more to do.
    if (!c.dry_run) {
        auto again = gc(options(c.delete_untagged));
        EXPECT_TRUE(again.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Marking, Gc,
    ::testing::Values(
        // Every stored manifest keeps its blobs, tagged or not.
        GcCase{"KeepsEveryStoredManifest", false, false, {&kOrphan}, {}},
        // Only what tags reach, through the index and the referrer of v1;
        // kLayerShared stays through app:v1 although other's manifest goes.
        GcCase{"DeleteUntagged",
               true,
               false,
               {&kOrphan, &kLayerLone, &kLayerOther, &kConfigB},
               {"app@" + digest_of(kLone), "other@" + digest_of(kOther)}},
        GcCase{"DryRunReportsTheSameAndRemovesNothing",
               true,
               true,
               {&kOrphan, &kLayerLone, &kLayerOther, &kConfigB},
               {"app@" + digest_of(kLone), "other@" + digest_of(kOther)}}),
    [](const ::testing::TestParamInfo<GcCase> &info) { return std::string(info.param.name); });

TEST_F(StoreTest, GraceKeepsWhatIsYoungAndWhatYoungManifestsName) {
    fill();
    // A push in progress: a new blob, and an untagged index pushed a moment
    // ago whose child is old and untagged.
    const std::string fresh = random_bytes(700, 40);
    blob(fresh);
    put("app", "pending", index_of({kLone}));
    ASSERT_EQ(reg_tag_delete("app", "pending"), 0);
    // Storing the index touched its child; make the child old again, so
    // that only the young index keeps it.
    age(body_path("app", kLone), 2 * kHour);
    auto removed = gc(options(true));
    EXPECT_TRUE(blob_there(fresh));
    EXPECT_TRUE(manifest_there("app", kLone)) << "the child of a young index";
    EXPECT_TRUE(blob_there(kLayerLone));
    EXPECT_EQ(removed[REG_GC_BLOB], digests({&kOrphan, &kLayerOther}));
    EXPECT_EQ(removed[REG_GC_MANIFEST], std::set<std::string>{"other@" + digest_of(kOther)});
    EXPECT_GE(last_.kept_young, 2u);
    // Once everything is old, both go.
    age_everything(2 * kHour);
    removed = gc(options(true));
    EXPECT_FALSE(blob_there(fresh));
    EXPECT_FALSE(manifest_there("app", kLone));
    EXPECT_FALSE(manifest_there("app", index_of({kLone})));
    EXPECT_EQ(removed[REG_GC_BLOB], digests({&fresh, &kLayerLone, &kConfigB}));
}

TEST_F(StoreTest, AManifestStoredMeanwhileTouchesWhatItNames) {
    fill();
    // The orphan is old; a new manifest that names it makes it young, so a
    // collection running right after keeps it.
    put("late", "v1", image(kConfigA, {kOrphan}));
    plat_attr a;
    ASSERT_EQ(plat_stat(blob_path(kOrphan).c_str(), &a), 0);
    EXPECT_GT(a.mtime, plat_time_seconds() - 60);
    // A collection whose mark phase ran before the manifest was stored does
    // not see it; the touch alone keeps the blob.
    fs::remove_all(at("repositories/late"));
    auto removed = gc(options(false));
    EXPECT_TRUE(blob_there(kOrphan));
    EXPECT_TRUE(removed[REG_GC_BLOB].empty());
}

// Ages are compared as finely as the file system stamps them. Each case
// stores an image just now (its blobs are named, so they stay whatever the
// grace) and an orphan blob and an upload of the given age, then collects
// with that grace period and expiry at once.
struct FineAgeCase {
    const char *name;
    int64_t age_ms;  // of the orphan and the upload; kAsWritten: left as written
    int64_t grace;   // seconds, the expiry too
    bool removed;
};
constexpr int64_t kAsWritten = INT64_MIN;

class FineAge : public StoreTest, public ::testing::WithParamInterface<FineAgeCase> {};

TEST_P(FineAge, OrphansAndUploadsGoExactlyWhenOlderThanTheGrace) {
    const FineAgeCase &c = GetParam();
    const std::string config = random_bytes(300, 50), layer = random_bytes(400, 51);
    const std::string orphan = random_bytes(500, 52);
    blob(config);
    blob(layer);
    put("app", "now", image(config, {layer}));
    blob(orphan);
    char id[REG_UPLOAD_ID_SIZE];
    ASSERT_EQ(reg_blob_start_upload(id), 0) << reg_storage_last_error();
    ASSERT_EQ(reg_blob_append_chunk(id, "abc", 3), 0) << reg_storage_last_error();
    std::string upload = at(std::string("uploads/") + id + ".part");
    if (c.age_ms != kAsWritten) {
        auto then = fs::file_time_type::clock::now() - std::chrono::milliseconds(c.age_ms);
        fs::last_write_time(blob_path(orphan), then);
        fs::last_write_time(upload, then);
    }

    auto removed = gc(options(false, false, c.grace, c.grace));
    EXPECT_EQ(blob_there(orphan), !c.removed);
    EXPECT_EQ(path_exists(upload), !c.removed);
    EXPECT_EQ(removed[REG_GC_BLOB], c.removed ? digests({&orphan}) : std::set<std::string>{});
    EXPECT_EQ(removed[REG_GC_UPLOAD].size(), c.removed ? 1u : 0u);
    EXPECT_TRUE(blob_there(config));
    EXPECT_TRUE(blob_there(layer));
    EXPECT_EQ(last_.kept_young, c.removed ? 0u : 1u) << "the orphan, kept for its age";
}

INSTANTIATE_TEST_SUITE_P(
    Grace, FineAge,
    ::testing::Values(
        // `regstore gc --grace 0s` right after an orphan was made.
        FineAgeCase{"MadeAMomentBeforeTheRunGoesWithoutGrace", kAsWritten, 0, true},
        // Modified after the run started, as by a manifest put meanwhile.
        FineAgeCase{"ModifiedAfterTheRunStartedStaysWithoutGrace", -10000, 0, false},
        // Within one second of the limit: whole seconds would round it young.
        FineAgeCase{"HalfASecondOlderThanTheGraceGoes", 1500, 1, true},
        FineAgeCase{"WellWithinTheGraceStays", 30000, 60, false},
        FineAgeCase{"MadeAMomentBeforeTheRunStaysUnderAGrace", kAsWritten, kHour, false}),
    [](const ::testing::TestParamInfo<FineAgeCase> &info) { return std::string(info.param.name); });

struct ExpiryCase {
    const char *name;
    int64_t age;       // of the upload and the temporary
    int64_t expiry;
    bool removed;
};

class Expiry : public StoreTest, public ::testing::WithParamInterface<ExpiryCase> {};

TEST_P(Expiry, UploadsAndTemporariesGoOnlyWhenAbandoned) {
    const ExpiryCase &c = GetParam();
    char id[REG_UPLOAD_ID_SIZE];
    ASSERT_EQ(reg_blob_start_upload(id), 0);
    ASSERT_EQ(reg_blob_append_chunk(id, "abc", 3), 0);
    for (const std::string *b : {&kConfigA, &kLayerShared, &kLayerA}) blob(*b);
    put("app", "v1", kImageV1);
    std::string upload = at(std::string("uploads/") + id + ".part");
    std::string temp = body_path("app", kImageV1) + ".tmp-4242-1";
    std::string temp_rel = "repositories/app/_manifests/" + hex_of(kImageV1) + ".tmp-4242-1";
    write_whole_file(temp, "partial");
    write_whole_file(at("config.json.tmp-4242-2"), "{");
    age(upload, c.age);
    age(temp, c.age);
    age(at("config.json.tmp-4242-2"), c.age);
    auto removed = gc(options(false, false, kHour, c.expiry));
    EXPECT_EQ(path_exists(upload), !c.removed);
    EXPECT_EQ(path_exists(temp), !c.removed);
    EXPECT_EQ(removed[REG_GC_UPLOAD].count(std::string("uploads/") + id + ".part"), c.removed ? 1u : 0u);
    std::set<std::string> temporaries;
    if (c.removed) temporaries = {temp_rel, "config.json.tmp-4242-2"};
    EXPECT_EQ(removed[REG_GC_TEMPORARY], temporaries);
    EXPECT_EQ(reg_blob_upload_size(id), c.removed ? -1 : 3);
}

INSTANTIATE_TEST_SUITE_P(
    Abandoned, Expiry,
    ::testing::Values(ExpiryCase{"FreshStays", 60, 24 * kHour, false},
                      ExpiryCase{"DayOldGoes", 25 * kHour, 24 * kHour, true},
                      ExpiryCase{"ShorterExpiry", 2 * kHour, kHour, true},
                      ExpiryCase{"JustUnderExpiry", kHour - 120, kHour, false}),
    [](const ::testing::TestParamInfo<ExpiryCase> &info) { return std::string(info.param.name); });

TEST_F(StoreTest, FilesLeftAsideByAnInterruptedRunArePutBackOrRemoved) {
    fill();
    // A used blob and the orphan, each moved aside by a collection that
    // stopped before it finished with them.
    ASSERT_EQ(plat_rename(blob_path(kLayerA).c_str(), (blob_path(kLayerA) + ".sweep-77").c_str()), 0);
    ASSERT_EQ(plat_rename(blob_path(kOrphan).c_str(), (blob_path(kOrphan) + ".sweep-77").c_str()), 0);
    // A dry run leaves them where they are.
    gc(options(false, true));
    EXPECT_TRUE(path_exists(blob_path(kLayerA) + ".sweep-77"));
    auto removed = gc(options(false));
    EXPECT_EQ(read_whole_file(blob_path(kLayerA)), kLayerA);
    EXPECT_FALSE(path_exists(blob_path(kLayerA) + ".sweep-77"));
    EXPECT_FALSE(blob_there(kOrphan));
    EXPECT_FALSE(path_exists(blob_path(kOrphan) + ".sweep-77"));
    EXPECT_EQ(removed[REG_GC_BLOB], digests({&kOrphan}));
}

TEST_F(StoreTest, GcRemovesNothingWhenAManifestCannotBeRead) {
    fill();
    // A body damaged into something that is not JSON: what it named is
    // unknown, so no blob may go.
    write_whole_file(body_path("app", kLone), "not json");
    age_everything(2 * kHour);
    reg_gc_options o = options(true);
    reg_gc_report report{};
    EXPECT_EQ(reg_gc(&o, &report), -1);
    EXPECT_EQ(reg_storage_last_status(), REG_STATUS_IO_ERROR);
    EXPECT_NE(std::string(reg_storage_last_error()).find(digest_of(kLone)), std::string::npos)
        << reg_storage_last_error();
    EXPECT_EQ(report.count, 0u);
    reg_gc_report_free(&report);
    EXPECT_TRUE(blob_there(kOrphan));
    EXPECT_TRUE(manifest_there("other", kOther));
    // The damage is fsck's to find; the test's teardown would report it too.
    write_whole_file(body_path("app", kLone), kLone);
}

TEST_F(StoreTest, GcRefusesBadArguments) {
    reg_gc_report report{};
    EXPECT_EQ(reg_gc(nullptr, &report), -1);
    EXPECT_EQ(reg_storage_last_status(), REG_STATUS_INVALID_ARGUMENT);
    reg_gc_options o = options(false, false, -1);
    EXPECT_EQ(reg_gc(&o, &report), -1);
    EXPECT_EQ(reg_storage_last_status(), REG_STATUS_INVALID_ARGUMENT);
    reg_storage_cleanup();
    o = options(false);
    EXPECT_EQ(reg_gc(&o, &report), -1);
    EXPECT_EQ(reg_storage_last_status(), REG_STATUS_NOT_READY);
    ASSERT_EQ(reg_storage_init(root_.c_str()), 0);
}

// ---- Integrity check ----------------------------------------------------------

struct Damage {
    const char *name;
    // Damages the filled store; gives the path below the root that must be
    // reported.
    std::string (*apply)(StoreTest &t, const std::string &root);
    reg_fsck_kind kind;
    bool repairable;
};

}  // namespace

// Damage helpers need the fixture's paths; they are written against the
// root directly so that they do not depend on the code under test.
namespace {

std::string manifests_rel(const std::string &repo) { return "repositories/" + repo + "/_manifests"; }

std::string blob_rel(const std::string &data) {
    std::string hex = hex_of(data);
    return "blobs/sha256/" + hex.substr(0, 2) + "/" + hex;
}

class Fsck : public StoreTest, public ::testing::WithParamInterface<Damage> {};

TEST_F(StoreTest, FsckFindsNothingInASoundStore) {
    fill();
    reg_fsck_report report{};
    ASSERT_EQ(reg_fsck(0, &report), 0);
    EXPECT_EQ(report.count, 0u) << (report.count ? report.problems[0].path : "");
    EXPECT_EQ(report.blobs, 9u);
    EXPECT_EQ(report.manifests, 6u);
    // Revision links of six manifests, two tags (v1, multi), one referrer,
    // and the blobs each repository's manifests name: seven of app (both
    // configs, the shared layer, A, the child's, the lone one's, the
    // signature's), three of other.
    EXPECT_EQ(report.links, 19u);
    reg_fsck_report_free(&report);
}

TEST_P(Fsck, FindsTheDamageAndRepairsIntoQuarantine) {
    const Damage &d = GetParam();
    fill();
    std::string rel = d.apply(*this, root_);
    for (int repair : {0, 1}) {
        SCOPED_TRACE(repair ? "repair" : "check");
        reg_fsck_report report{};
        ASSERT_EQ(reg_fsck(repair, &report), 0) << reg_storage_last_error();
        bool found = false;
        for (uint64_t i = 0; i < report.count; i++) {
            const reg_fsck_problem &p = report.problems[i];
            if (p.path == rel && p.kind == d.kind) {
                found = true;
                EXPECT_EQ(p.repaired, repair && d.repairable ? 1 : 0) << p.detail;
            }
        }
        EXPECT_TRUE(found) << rel;
        reg_fsck_report_free(&report);
    }
    // What is corrupt is moved, never deleted; a dangling link is removed.
    bool moves = d.kind == REG_FSCK_BLOB_CORRUPT || d.kind == REG_FSCK_MANIFEST_CORRUPT ||
                 d.kind == REG_FSCK_LINK_CORRUPT;
    EXPECT_EQ(path_exists(at("quarantine/" + rel)), moves);
    // A stray entry is the operator's to judge: reported, left in place.
    if (d.kind == REG_FSCK_STRAY) {
        EXPECT_TRUE(path_exists(at(rel)));
        fs::remove(at(rel));
    }
    if (d.repairable) {
        EXPECT_FALSE(path_exists(at(rel)));
        // After the repair, only what a repair does not touch is left.
        reg_fsck_report report{};
        ASSERT_EQ(reg_fsck(0, &report), 0);
        for (uint64_t i = 0; i < report.count; i++)
            EXPECT_EQ(report.problems[i].kind, REG_FSCK_REFERENCE_MISSING) << report.problems[i].path;
        reg_fsck_report_free(&report);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Damages, Fsck,
    ::testing::Values(
        Damage{"BlobBytesChanged",
               [](StoreTest &, const std::string &root) {
                   write_whole_file(root + "/" + blob_rel(kOrphan), "changed");
                   return blob_rel(kOrphan);
               },
               REG_FSCK_BLOB_CORRUPT, true},
        Damage{"ManifestBodyChanged",
               [](StoreTest &, const std::string &root) {
                   std::string rel = manifests_rel("other") + "/" + hex_of(kOther);
                   write_whole_file(root + "/" + rel, kOther + " ");
                   return rel;
               },
               REG_FSCK_MANIFEST_CORRUPT, true},
        Damage{"TagLinkGarbled",
               [](StoreTest &, const std::string &root) {
                   std::string rel = manifests_rel("app") + "/tags/v1/current/link";
                   write_whole_file(root + "/" + rel, "sha256:nope");
                   return rel;
               },
               REG_FSCK_LINK_CORRUPT, true},
        Damage{"RevisionLinkNamesAnotherDigest",
               [](StoreTest &, const std::string &root) {
                   std::string rel = manifests_rel("app") + "/revisions/sha256/" + hex_of(kLone) + "/link";
                   write_whole_file(root + "/" + rel, digest_of(kChild));
                   return rel;
               },
               REG_FSCK_LINK_CORRUPT, true},
        Damage{"TagNamingAnAbsentBody",
               [](StoreTest &, const std::string &root) {
                   std::string rel = manifests_rel("app") + "/tags/gone/current/link";
                   fs::create_directories(root + "/" + manifests_rel("app") + "/tags/gone/current");
                   write_whole_file(root + "/" + rel, digest_of("never stored"));
                   return rel;
               },
               REG_FSCK_LINK_DANGLING, true},
        Damage{"ReferrerOfARemovedManifest",
               [](StoreTest &, const std::string &root) {
                   fs::remove(root + "/" + manifests_rel("app") + "/" + hex_of(kSignature));
                   fs::remove(root + "/" + manifests_rel("app") + "/revisions/sha256/" +
                              hex_of(kSignature) + "/link");
                   return manifests_rel("app") + "/referrers/sha256/" + hex_of(kImageV1) + "/" +
                          hex_of(kSignature);
               },
               REG_FSCK_LINK_DANGLING, true},
        Damage{"StrayFile",
               [](StoreTest &, const std::string &root) {
                   write_whole_file(root + "/blobs/sha256/stray.txt", "x");
                   return std::string("blobs/sha256/stray.txt");
               },
               REG_FSCK_STRAY, false},
        Damage{"LayerNotStored",
               [](StoreTest &, const std::string &root) {
                   fs::remove(root + "/" + blob_rel(kLayerA));
                   return manifests_rel("app") + "/" + hex_of(kImageV1);
               },
               REG_FSCK_REFERENCE_MISSING, false}),
    [](const ::testing::TestParamInfo<Damage> &info) { return std::string(info.param.name); });

TEST_F(StoreTest, RepairQuarantinesACorruptManifestWithItsContentTypeAndLinks) {
    fill();
    std::string body_rel = manifests_rel("app") + "/" + hex_of(kImageV1);
    write_whole_file(at(body_rel), "{}");
    reg_fsck_report report{};
    ASSERT_EQ(reg_fsck(1, &report), 0);
    reg_fsck_report_free(&report);
    EXPECT_EQ(read_whole_file(at("quarantine/" + body_rel)), "{}");
    EXPECT_EQ(read_whole_file(at("quarantine/" + body_rel + ".ct")), kOciManifest);
    // The tag that named it went to quarantine too: which tag it was stays known.
    EXPECT_EQ(read_whole_file(at("quarantine/" + manifests_rel("app") + "/tags/v1/current/link")),
              digest_of(kImageV1));
    EXPECT_FALSE(path_exists(at(manifests_rel("app") + "/tags/v1/current/link")));
    // A second damage of the same name gets a name of its own.
    write_whole_file(at(body_rel), "{}");
    ASSERT_EQ(reg_fsck(1, &report), 0);
    reg_fsck_report_free(&report);
    EXPECT_TRUE(path_exists(at("quarantine/" + body_rel + ".1")));
}

// ---- Space report ---------------------------------------------------------------

TEST_F(StoreTest, DuCountsABlobOncePerRepositoryAndOnceInAll) {
    fill();
    put("other", "again", kOther);
    reg_du_report report{};
    ASSERT_EQ(reg_du(&report), 0) << reg_storage_last_error();
    ASSERT_EQ(report.count, 2u);
    EXPECT_STREQ(report.repos[0].name, "app");
    EXPECT_STREQ(report.repos[1].name, "other");
    auto size = [](const std::vector<const std::string *> &blobs) {
        int64_t n = 0;
        for (const std::string *b : blobs) n += static_cast<int64_t>(b->size());
        return n;
    };
    std::vector<const std::string *> app = {&kConfigA, &kLayerShared, &kLayerA, &kLayerChild,
                                            &kConfigB, &kLayerLone, &kSigBlob};
    std::vector<const std::string *> other = {&kConfigB, &kLayerShared, &kLayerOther};
    EXPECT_EQ(report.repos[0].blobs, app.size());
    EXPECT_EQ(report.repos[0].blob_bytes, size(app));
    EXPECT_EQ(report.repos[0].manifests, 5u);
    EXPECT_EQ(report.repos[0].manifest_bytes,
              static_cast<int64_t>(kImageV1.size() + kChild.size() + kIndex.size() + kLone.size() +
                                   kSignature.size()));
    EXPECT_EQ(report.repos[1].blobs, other.size());
    EXPECT_EQ(report.repos[1].blob_bytes, size(other));
    // The store: the union, each once; the orphan is stored but named by none.
    EXPECT_EQ(report.blobs, 8u);
    EXPECT_EQ(report.blob_bytes, size(app) + static_cast<int64_t>(kLayerOther.size()));
    EXPECT_EQ(report.stored_blobs, 9u);
    EXPECT_EQ(report.stored_blob_bytes, report.blob_bytes + static_cast<int64_t>(kOrphan.size()));
    reg_du_report_free(&report);
    EXPECT_EQ(report.repos, nullptr);
}

// ---- regstore as a process -------------------------------------------------------

#ifdef REGSTORE_PATH
class RegstoreOps : public StoreTest {
  protected:
    ProcessResult regstore(const std::vector<std::string> &args) {
        std::vector<std::string> all = {"--root", root_};
        all.insert(all.end(), args.begin(), args.end());
        return run_process(REGSTORE_PATH, all, {});
    }
};

TEST_F(RegstoreOps, GcPrintsEachRemovalAndTheBytesFreed) {
    fill();
    ProcessResult dry = regstore({"gc", "--dry-run", "--delete-untagged"});
    EXPECT_EQ(dry.exit_status, 0) << dry.err;
    EXPECT_NE(dry.out.find("would remove blob " + digest_of(kOrphan) + " (900 bytes)"),
              std::string::npos)
        << dry.out;
    EXPECT_NE(dry.out.find("would remove manifest other@" + digest_of(kOther)), std::string::npos);
    EXPECT_TRUE(blob_there(kOrphan));
    ProcessResult run = regstore({"gc", "--grace", "30m"});
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_NE(run.out.find("removed blob " + digest_of(kOrphan)), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("removed 1 blobs, 0 manifests, 0 uploads, 0 temporaries: 900 bytes"),
              std::string::npos)
        << run.out;
    EXPECT_FALSE(blob_there(kOrphan));
    // With a grace period longer than the store's age nothing goes.
    ProcessResult none = regstore({"gc", "--delete-untagged", "--grace", "3h"});
    EXPECT_NE(none.out.find("removed 0 blobs, 0 manifests"), std::string::npos) << none.out;
    // Without grace, an orphan stored a moment before goes at once; what
    // manifests name stays.
    const std::string fresh = random_bytes(321, 60);
    blob(fresh);
    ProcessResult at_once = regstore({"gc", "--grace", "0s"});
    EXPECT_EQ(at_once.exit_status, 0) << at_once.err;
    EXPECT_NE(at_once.out.find("removed blob " + digest_of(fresh) + " (321 bytes)"),
              std::string::npos)
        << at_once.out;
    EXPECT_NE(at_once.out.find("removed 1 blobs, 0 manifests"), std::string::npos) << at_once.out;
    EXPECT_FALSE(blob_there(fresh));
    EXPECT_TRUE(blob_there(kLayerShared));
    for (const char *bad : {"1w", "-5", "h", ""}) {
        ProcessResult usage = regstore({"gc", "--grace", bad});
        EXPECT_EQ(usage.exit_status, 2) << bad;
        EXPECT_NE(usage.err.find("wants a duration"), std::string::npos) << usage.err;
    }
}

TEST_F(RegstoreOps, FsckExitStatusTellsWhetherTheStoreIsSound) {
    fill();
    ProcessResult sound = regstore({"fsck"});
    EXPECT_EQ(sound.exit_status, 0) << sound.out << sound.err;
    EXPECT_NE(sound.out.find("checked 9 blobs, 6 manifests, 19 links"), std::string::npos)
        << sound.out;
    write_whole_file(blob_path(kOrphan), "changed");
    ProcessResult damaged = regstore({"fsck"});
    EXPECT_EQ(damaged.exit_status, 1);
    EXPECT_NE(damaged.out.find(blob_rel(kOrphan) + ": corrupt blob: bytes have the digest " +
                               digest_of("changed")),
              std::string::npos)
        << damaged.out;
    ProcessResult repaired = regstore({"fsck", "--repair"});
    EXPECT_EQ(repaired.exit_status, 1);
    EXPECT_NE(repaired.out.find("moved to quarantine/" + blob_rel(kOrphan) + " [repaired]"),
              std::string::npos)
        << repaired.out;
    EXPECT_EQ(regstore({"fsck"}).exit_status, 0);
}

TEST_F(RegstoreOps, DuPrintsJsonWhenNotOnATerminal) {
    fill();
    ProcessResult du = regstore({"du"});
    EXPECT_EQ(du.exit_status, 0) << du.err;
    EXPECT_EQ(du.out.rfind("{\"repositories\":[{\"name\":\"app\",\"manifests\":5,", 0), 0u) << du.out;
    EXPECT_NE(du.out.find("\"unreferenced_blobs\":1,\"unreferenced_blob_bytes\":900,"),
              std::string::npos)
        << du.out;
}
#endif

}  // namespace
