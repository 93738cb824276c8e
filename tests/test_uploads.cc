// Upload sessions: ids, the upload file's life from start to finish or
// cancel, durability of the commit into the blob store, and an upload
// served back by the blob endpoint.
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "platform/platform.h"
#include "platform/platform_fault.h"
#include "storage/reg_storage.h"
#include "storage/layout.h"
#include "storage/uploads_internal.h"
#include "tests/support/process.h"

namespace fs = std::filesystem;
using testing_support::random_bytes;
using testing_support::read_whole_file;
using testing_support::reference_sha256_hex;
using testing_support::run_process;
using testing_support::ScratchDir;
using testing_support::write_whole_file;

// ---- Sync recorder --------------------------------------------------------
//
// This executable runs on the fault-injecting platform, whose sync observer
// sees every plat_fsync and plat_sync_dir. Each call is logged with the file
// or directory it was made on and whether a watched path (the blob path of
// the upload being finished) existed at that moment; a test may make file or
// directory syncs fail. The blob endpoint runs as its own process and is not
// affected.

namespace {

struct SyncCall {
    std::string path;
    bool is_dir;
    bool watched_existed;
};

struct SyncRecorder {
    std::vector<SyncCall> calls;
    std::string watch;
    bool fail_files = false;
    bool fail_dirs = false;
};

SyncRecorder &sync_recorder() {
    static SyncRecorder recorder;
    return recorder;
}

int record_sync(FILE *f, const char *dir) {
    SyncRecorder &r = sync_recorder();
    std::error_code ec;
    bool is_dir = dir != nullptr;
    std::string path =
        is_dir ? fs::canonical(dir, ec).string() : testing_support::path_of_open_file(f);
    bool watched = !r.watch.empty() && fs::exists(r.watch, ec);
    r.calls.push_back({path, is_dir, watched});
    return (is_dir ? r.fail_dirs : r.fail_files) ? -1 : 0;
}

}  // namespace

namespace {

const char kNotReady[] = "not initialized - call reg_storage_init first";

std::string digest_of(const std::string &data) { return "sha256:" + reference_sha256_hex(data); }

// Every entry under dir with its kind and size, to show that nothing changed.
std::map<std::string, std::string> tree_of(const std::string &dir) {
    std::map<std::string, std::string> tree;
    for (const auto &e : fs::recursive_directory_iterator(dir)) {
        std::string rel = fs::relative(e.path(), dir).string();
        tree[rel] = e.is_directory() ? "dir" : "file " + read_whole_file(e.path().string());
    }
    return tree;
}

// Checks the id's form independently of uuid_valid.
bool looks_like_upload_id(const std::string &id) {
    if (id.size() != 36) return false;
    for (size_t i = 0; i < id.size(); i++) {
        bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        char c = id[i];
        if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

class UploadTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(reg_storage_init(root_.path().c_str()), 0) << reg_storage_last_error();
        canonical_root_ = fs::canonical(root_.path()).string();
        sync_recorder() = SyncRecorder{};
        plat_fault_observe_sync(record_sync);
    }
    void TearDown() override {
        plat_fault_observe_sync(nullptr);
        sync_recorder() = SyncRecorder{};
        reg_storage_cleanup();
    }

    std::string start() {
        char id[REG_UPLOAD_ID_SIZE] = {};
        EXPECT_EQ(reg_blob_start_upload(id), 0) << reg_storage_last_error();
        return id;
    }
    void append(const std::string &id, const std::string &data) {
        ASSERT_EQ(reg_blob_append_chunk(id.c_str(), data.data(), data.size()), 0)
            << reg_storage_last_error();
    }
    int finish(const std::string &id, const std::string &digest, std::string *out = nullptr) {
        char buf[72] = {};
        int rc = reg_blob_finish_upload(id.c_str(), digest.c_str(), buf);
        if (out != nullptr) *out = buf;
        return rc;
    }
    // Uploads data in one chunk and commits it; returns its digest string.
    std::string store(const std::string &data) {
        std::string id = start();
        append(id, data);
        std::string digest = digest_of(data);
        EXPECT_EQ(finish(id, digest), 0) << reg_storage_last_error();
        return digest;
    }

    std::string upload_path(const std::string &id) const {
        return testing_support::join_path(root_ / "uploads", id + ".part");
    }
    std::string fan_dir(const std::string &digest) const {
        return testing_support::join_path(testing_support::join_path(root_ / "blobs", "sha256"), digest.substr(7, 2));
    }
    std::string blob_path(const std::string &digest) const {
        return testing_support::join_path(fan_dir(digest), digest.substr(7));
    }
    std::string canonical(const std::string &path) const {
        return canonical_root_ + path.substr(root_.path().size());
    }
    static std::string last_error() { return reg_storage_last_error(); }

    ScratchDir root_;
    std::string canonical_root_;
};

// ---- Upload ids -------------------------------------------------------------

TEST_F(UploadTest, StartedIdsAreWellFormedDistinctAndNameEmptyFiles) {
    std::set<std::string> seen;
    for (int i = 0; i < 64; i++) {
        std::string id = start();
        EXPECT_TRUE(looks_like_upload_id(id)) << id;
        EXPECT_EQ(uuid_valid(id.c_str()), 1) << id;
        EXPECT_TRUE(seen.insert(id).second) << "repeated id " << id;
        ASSERT_TRUE(fs::is_regular_file(upload_path(id))) << id;
        EXPECT_EQ(fs::file_size(upload_path(id)), 0u);
    }
}

// A predictable random source: byte i of the n-th draw (from 0) is
// n * 16 + i + 1, so test code can say which id a start will draw.
struct ScriptedRandom {
    static inline int draws = 0;
    static inline bool fail = false;
    static int source(void *buf, size_t count) {
        if (fail) return -1;
        auto *out = static_cast<unsigned char *>(buf);
        for (size_t i = 0; i < count; i++)
            out[i] = static_cast<unsigned char>(draws * 16 + static_cast<int>(i) + 1);
        draws++;
        return 0;
    }
    static std::string id_of_draw(int n) {
        unsigned char bytes[16];
        for (int i = 0; i < 16; i++) bytes[i] = static_cast<unsigned char>(n * 16 + i + 1);
        char id[REG_UPLOAD_ID_SIZE];
        uuid_from_bytes(bytes, id);
        return id;
    }
};

// Makes the scripted source the platform's random source for one test and
// puts the operating system's back.
class ScriptedRandomScope {
  public:
    ScriptedRandomScope() {
        ScriptedRandom::draws = 0;
        ScriptedRandom::fail = false;
        plat_fault_random_source(ScriptedRandom::source);
    }
    ~ScriptedRandomScope() { plat_fault_random_source(nullptr); }
    ScriptedRandomScope(const ScriptedRandomScope &) = delete;
    ScriptedRandomScope &operator=(const ScriptedRandomScope &) = delete;
};

TEST(UploadIdFormat, TwoDigitsPerByteLowNibbleFirstWithDashes) {
    unsigned char bytes[16];
    for (int i = 0; i < 16; i++) bytes[i] = static_cast<unsigned char>(0x10 * (i % 16) + 0x0f - i);
    char id[REG_UPLOAD_ID_SIZE];
    uuid_from_bytes(bytes, id);
    EXPECT_STREQ(id, "f0e1d2c3-b4a5-9687-7869-5a4b3c2d1e0f");
    unsigned char one[16] = {0x21};
    uuid_from_bytes(one, id);
    EXPECT_EQ(std::string(id, 2), "12") << "byte 0x21 is written low nibble first";
}

TEST(UploadIdSource, IdsComeFromTheOperatingSystemsRandomSource) {
    // An id is drawn from the platform's random source and nowhere else:
    // with the source scripted, the id is the scripted bytes.
    {
        ScriptedRandomScope scope;
        char id[REG_UPLOAD_ID_SIZE];
        ASSERT_EQ(uuid_make(id), 0);
        EXPECT_EQ(std::string(id), ScriptedRandom::id_of_draw(0));
        EXPECT_EQ(ScriptedRandom::draws, 1);
    }
    // Two processes started in the same second drew the same ids from a
    // clock seed; ids from the OS source differ between calls and runs.
    char a[37], b[37];
    ASSERT_EQ(uuid_make(a), 0);
    ASSERT_EQ(uuid_make(b), 0);
    EXPECT_NE(std::string(a), std::string(b));
    EXPECT_EQ(uuid_valid(a), 1);
}

TEST_F(UploadTest, StartFailsWhenTheRandomSourceFails) {
    ScriptedRandomScope scope;
    ScriptedRandom::fail = true;
    char id[REG_UPLOAD_ID_SIZE] = "untouched";
    EXPECT_EQ(reg_blob_start_upload(id), -1);
    EXPECT_EQ(last_error(), "random source failed");
    EXPECT_STREQ(id, "untouched");
    EXPECT_TRUE(fs::is_empty(root_ / "uploads"));
}

const char kValidId[] = "01234567-89ab-cdef-0123-456789abcdef";

const char *const kMalformedIds[] = {
    "01234567-89AB-cdef-0123-456789abcdef",   // uppercase digits
    "01234567-89ab-cdef-0123-456789abcde",    // 35 characters
    "01234567-89ab-cdef-0123-456789abcdef0",  // 37 characters
    "0123456-789ab-cdef-0123-456789abcdef",   // '-' at 7 instead of 8
    "01234567089ab-cdef-0123-456789abcdef",   // a digit where '-' belongs
    "01234567-89ab-cdeg-0123-456789abcdef",   // not a hex digit
    "01234567-89ab-cdef-0123-456789abc/..",   // a path piece
    "",
};

TEST(UploadIdCheck, AcceptsOnlyTheExactForm) {
    EXPECT_EQ(uuid_valid(kValidId), 1);
    EXPECT_EQ(uuid_valid(nullptr), 0);
    for (const char *id : kMalformedIds) EXPECT_EQ(uuid_valid(id), 0) << '"' << id << '"';
}

TEST_F(UploadTest, MalformedIdsAreRefusedByAppendFinishAndCancel) {
    const std::string digest = digest_of("");
    for (const char *id : kMalformedIds) {
        SCOPED_TRACE(std::string("id \"") + id + "\"");
        EXPECT_EQ(reg_blob_append_chunk(id, "x", 1), -1);
        EXPECT_EQ(last_error(), "invalid upload uuid");
        EXPECT_EQ(finish(id, digest), -1);
        EXPECT_EQ(last_error(), "invalid upload uuid");
        EXPECT_EQ(finish(id, "sha256:NOT-A-DIGEST"), -1);
        EXPECT_EQ(last_error(), "invalid upload uuid") << "the id is checked before the digest";
        EXPECT_EQ(reg_blob_cancel_upload(id), -1);
        EXPECT_EQ(last_error(), "invalid upload uuid");
    }
    EXPECT_TRUE(fs::is_empty(root_ / "uploads"));
}

// ---- Starting -----------------------------------------------------------------

// A drawn id whose name is taken (another process's upload, or anything else
// standing there) is passed over; what stands there is left alone.
TEST_F(UploadTest, StartPassesOverATakenIdWithoutTruncatingIt) {
    for (bool taken_by_dir : {false, true}) {
        SCOPED_TRACE(taken_by_dir ? "directory" : "upload file");
        ScriptedRandomScope scope;
        for (const auto &entry : fs::directory_iterator(root_ / "uploads")) fs::remove_all(entry);
        std::string taken = ScriptedRandom::id_of_draw(0);
        if (taken_by_dir)
            fs::create_directory(upload_path(taken));
        else
            write_whole_file(upload_path(taken), "bytes of another upload");

        std::string id = start();
        EXPECT_NE(id, taken);
        EXPECT_TRUE(looks_like_upload_id(id));
        EXPECT_EQ(fs::file_size(upload_path(id)), 0u);
        if (taken_by_dir)
            EXPECT_TRUE(fs::is_directory(upload_path(taken)));
        else
            EXPECT_EQ(read_whole_file(upload_path(taken)), "bytes of another upload");
    }
}

TEST_F(UploadTest, StartGivesUpAfterSixteenTakenIds) {
    const int kAttempts = 16;
    ScriptedRandomScope scope;
    std::vector<std::string> next;
    for (int i = 0; i < kAttempts; i++) next.push_back(ScriptedRandom::id_of_draw(i));
    for (int i = 0; i + 1 < kAttempts; i++) write_whole_file(upload_path(next[i]), "taken");

    // Fifteen taken: the sixteenth draw still succeeds.
    EXPECT_EQ(start(), next.back());

    // Sixteen taken: the start fails and names the last file it tried.
    ScriptedRandom::draws = 0;
    char id[REG_UPLOAD_ID_SIZE];
    EXPECT_EQ(reg_blob_start_upload(id), -1);
    EXPECT_EQ(last_error(), "cannot create upload file: " + upload_path(next.back()));
    EXPECT_EQ(std::string(id), next.back());
    for (int i = 0; i + 1 < kAttempts; i++)
        EXPECT_EQ(read_whole_file(upload_path(next[i])), "taken");
}

TEST_F(UploadTest, StartFailsAtOnceWhenTheUploadFileCannotBeCreated) {
    fs::remove(root_ / "uploads");
    ScriptedRandomScope scope;
    std::string expected = ScriptedRandom::id_of_draw(0);

    char id[REG_UPLOAD_ID_SIZE];
    EXPECT_EQ(reg_blob_start_upload(id), -1);
    EXPECT_EQ(std::string(id), expected) << "a failure that is no name clash is not retried";
    EXPECT_EQ(ScriptedRandom::draws, 1);
    EXPECT_EQ(last_error(), "cannot create upload file: " + upload_path(expected));
}

// ---- Appending ------------------------------------------------------------------

TEST_F(UploadTest, EmptyAppendLeavesTheFileAndNullDataIsRefused) {
    std::string id = start();
    append(id, "abc");
    EXPECT_EQ(reg_blob_append_chunk(id.c_str(), "ignored", 0), 0);
    EXPECT_EQ(read_whole_file(upload_path(id)), "abc");

    EXPECT_EQ(reg_blob_append_chunk(id.c_str(), nullptr, 0), -1);
    EXPECT_EQ(last_error(), "upload_uuid/data is NULL");
    EXPECT_EQ(reg_blob_append_chunk(nullptr, "x", 1), -1);
    EXPECT_EQ(last_error(), "upload_uuid/data is NULL");
    EXPECT_EQ(read_whole_file(upload_path(id)), "abc");
}

// An id without an upload file: never started, finished, or cancelled.
TEST_F(UploadTest, AnIdWithoutUploadFileIsNotFoundAndNoFileAppears) {
    std::string finished = start();
    ASSERT_EQ(finish(finished, digest_of("")), 0) << last_error();
    std::string cancelled = start();
    ASSERT_EQ(reg_blob_cancel_upload(cancelled.c_str()), 0);

    for (const std::string &id : {std::string(kValidId), finished, cancelled}) {
        SCOPED_TRACE(id);
        EXPECT_EQ(reg_blob_append_chunk(id.c_str(), "data", 4), -1);
        EXPECT_EQ(last_error(), "upload not found: " + id);
        EXPECT_EQ(finish(id, digest_of("data")), -1);
        EXPECT_EQ(last_error(), "upload not found: " + id);
        EXPECT_FALSE(testing_support::path_exists(upload_path(id)));
    }
    EXPECT_TRUE(fs::is_empty(root_ / "uploads"));
}

// The upload file leads to a device that takes no bytes: a chunk small enough
// to wait in the stream's buffer fails only at the close, a large one at the
// write; either way the append must report the failure.
TEST_F(UploadTest, AppendReportsBytesThatCannotBeWritten) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows has no device that refuses writes like /dev/full";
#endif
    ASSERT_TRUE(fs::exists("/dev/full"));
    for (size_t size : {size_t{16}, size_t{1} << 20}) {
        SCOPED_TRACE(size);
        std::string id = start();
        fs::remove(upload_path(id));
        fs::create_symlink("/dev/full", upload_path(id));
        std::string data(size, 'x');
        EXPECT_EQ(reg_blob_append_chunk(id.c_str(), data.data(), data.size()), -1);
        EXPECT_EQ(last_error(), "write error appending chunk");
    }
}

// ---- Finishing ------------------------------------------------------------------

TEST_F(UploadTest, ChunksAreStoredInCallOrder) {
    const std::vector<std::string> chunks = {"first-", "", random_bytes(70000, 7), "-last"};
    std::string id = start();
    std::string whole;
    for (const std::string &c : chunks) {
        append(id, c);
        whole += c;
    }
    std::string digest = digest_of(whole), out;
    ASSERT_EQ(finish(id, digest, &out), 0) << last_error();
    EXPECT_EQ(out, digest);
    EXPECT_EQ(read_whole_file(blob_path(digest)), whole);
    EXPECT_EQ(reg_blob_exists(digest.c_str()), 1);
    EXPECT_EQ(reg_blob_get_size(digest.c_str()), static_cast<int64_t>(whole.size()));
    EXPECT_FALSE(testing_support::path_exists(upload_path(id)));
}

TEST_F(UploadTest, AnUploadWithoutChunksStoresTheEmptyBlob) {
    std::string id = start();
    std::string digest = digest_of(""), out;
    ASSERT_EQ(finish(id, digest, &out), 0) << last_error();
    EXPECT_EQ(out, digest);
    EXPECT_TRUE(fs::is_regular_file(blob_path(digest)));
    EXPECT_EQ(reg_blob_get_size(digest.c_str()), 0);
}

TEST_F(UploadTest, DigestMismatchRemovesTheUpload) {
    std::string id = start();
    append(id, "actual content");
    std::string declared = digest_of("declared content");
    std::string computed = digest_of("actual content");

    EXPECT_EQ(finish(id, declared), -1);
    EXPECT_EQ(last_error(), "digest mismatch: expected " + declared + ", got " + computed);
    EXPECT_FALSE(testing_support::path_exists(upload_path(id)));
    EXPECT_FALSE(testing_support::path_exists(blob_path(declared)));
    EXPECT_FALSE(testing_support::path_exists(blob_path(computed)));

    EXPECT_EQ(finish(id, computed), -1);
    EXPECT_EQ(last_error(), "upload not found: " + id);
}

TEST_F(UploadTest, FinishingStoredContentLeavesTheStoredBlobAlone) {
    const std::string data = random_bytes(5000, 11);
    std::string digest = store(data);
    fs::last_write_time(blob_path(digest),
                        fs::file_time_type::clock::now() - std::chrono::hours(24));
    // As the file system keeps it (Windows: in steps of 100 ns).
    auto old_time = fs::last_write_time(blob_path(digest));

    std::string id = start();
    append(id, data);
    std::string out;
    ASSERT_EQ(finish(id, digest, &out), 0) << last_error();
    EXPECT_EQ(out, digest);
    EXPECT_FALSE(testing_support::path_exists(upload_path(id)));
    EXPECT_EQ(read_whole_file(blob_path(digest)), data);
    EXPECT_EQ(fs::last_write_time(blob_path(digest)), old_time) << "the stored file was replaced";
}

TEST_F(UploadTest, DeclaredDigestFormIsCheckedBeforeTheUploadIsLookedFor) {
    // kValidId has no upload file, so a look first would say "upload not found".
    std::string upper = digest_of("x");
    for (size_t i = 7; i < upper.size(); i++) upper[i] = static_cast<char>(toupper(upper[i]));
    for (const std::string &bad : {upper, std::string("sha256:abc"), digest_of("x") + "\n"}) {
        EXPECT_EQ(finish(kValidId, bad), -1);
        EXPECT_EQ(last_error(), "invalid expected digest") << bad;
    }
}

// Failures of the commit itself keep the upload as it was, and a later finish
// succeeds once the cause is gone.
TEST_F(UploadTest, FailedCommitKeepsTheUploadForAnotherFinish) {
    const std::string data = "commit me";
    const std::string digest = digest_of(data);
    struct Case {
        const char *what;
        std::string in_the_way;  // a regular file put there
        std::string message;
    } cases[] = {
        {"sha256 is a file", root_ / "blobs/sha256", "mkdirs blob dir failed"},
        {"fan-out is a file", fan_dir(digest), "rename to CAS failed: " + blob_path(digest)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::string id = start();
        append(id, data);
        fs::remove_all(root_ / "blobs/sha256");
        fs::create_directories(root_ / "blobs/sha256");
        fs::remove_all(c.in_the_way);
        write_whole_file(c.in_the_way, "in the way");

        EXPECT_EQ(finish(id, digest), -1);
        EXPECT_EQ(last_error(), c.message);
        EXPECT_EQ(read_whole_file(upload_path(id)), data);

        fs::remove(c.in_the_way);
        fs::create_directories(root_ / "blobs/sha256");
        ASSERT_EQ(finish(id, digest), 0) << last_error();
        EXPECT_EQ(read_whole_file(blob_path(digest)), data);
        ASSERT_EQ(reg_blob_delete(digest.c_str()), 0);
    }
}

// ---- Durability of the commit -------------------------------------------------

TEST_F(UploadTest, UploadBytesAreSyncedBeforeTheRenameAndDirectoriesAfter) {
    std::string id = start();
    append(id, "durable");
    std::string digest = digest_of("durable");
    sync_recorder().watch = blob_path(digest);
    sync_recorder().calls.clear();

    ASSERT_EQ(finish(id, digest), 0) << last_error();
    const auto &calls = sync_recorder().calls;
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls[0].path, canonical(upload_path(id)));
    EXPECT_FALSE(calls[0].is_dir);
    EXPECT_FALSE(calls[0].watched_existed) << "the blob path named the upload before its sync";

    std::set<std::string> dirs_synced_after_rename;
    for (const SyncCall &c : calls)
        if (c.is_dir && c.watched_existed) dirs_synced_after_rename.insert(c.path);
    EXPECT_TRUE(dirs_synced_after_rename.count(canonical(fan_dir(digest))));
    std::string algo_dir = testing_support::join_path(root_ / "blobs", "sha256");
    EXPECT_TRUE(dirs_synced_after_rename.count(canonical(algo_dir)));
}

TEST_F(UploadTest, AFailedSyncOfTheUploadPublishesNothing) {
    std::string id = start();
    append(id, "not yet durable");
    std::string digest = digest_of("not yet durable");
    sync_recorder().fail_files = true;

    EXPECT_EQ(finish(id, digest), -1);
    EXPECT_EQ(last_error(), "sync upload failed");
    EXPECT_FALSE(testing_support::path_exists(blob_path(digest)));
    EXPECT_EQ(read_whole_file(upload_path(id)), "not yet durable");

    sync_recorder().fail_files = false;
    ASSERT_EQ(finish(id, digest), 0) << last_error();
    EXPECT_EQ(read_whole_file(blob_path(digest)), "not yet durable");
}

TEST_F(UploadTest, AFailedSyncOfTheBlobDirectoryIsReported) {
    std::string id = start();
    append(id, "entry not durable");
    std::string digest = digest_of("entry not durable");
    sync_recorder().fail_dirs = true;

    EXPECT_EQ(finish(id, digest), -1);
    EXPECT_EQ(last_error(), "sync blob dir failed: " + fan_dir(digest));
}

// ---- Cancelling -------------------------------------------------------------------

TEST_F(UploadTest, CancelRemovesTheUploadAndAcceptsAnIdWithoutOne) {
    std::string open = start();
    append(open, "to be thrown away");
    EXPECT_EQ(reg_blob_cancel_upload(open.c_str()), 0);
    EXPECT_FALSE(testing_support::path_exists(upload_path(open)));
    EXPECT_EQ(reg_blob_cancel_upload(open.c_str()), 0);
    EXPECT_EQ(reg_blob_cancel_upload(kValidId), 0);

    std::string finished = start();
    append(finished, "kept");
    std::string digest = digest_of("kept");
    ASSERT_EQ(finish(finished, digest), 0) << last_error();
    EXPECT_EQ(reg_blob_cancel_upload(finished.c_str()), 0);
    EXPECT_EQ(read_whole_file(blob_path(digest)), "kept");
}

// ---- Arguments and readiness ------------------------------------------------------

TEST_F(UploadTest, NullArgumentsAreNamedBeforeReadinessIsChecked) {
    char buf[72];
    const std::string digest = digest_of("");
    for (bool ready : {true, false}) {
        SCOPED_TRACE(ready ? "ready" : "not ready");
        if (!ready) reg_storage_cleanup();
        EXPECT_EQ(reg_blob_start_upload(nullptr), -1);
        EXPECT_EQ(last_error(), "out_upload_uuid is NULL");
        EXPECT_EQ(reg_blob_append_chunk(nullptr, "x", 1), -1);
        EXPECT_EQ(last_error(), "upload_uuid/data is NULL");
        EXPECT_EQ(reg_blob_append_chunk(kValidId, nullptr, 1), -1);
        EXPECT_EQ(last_error(), "upload_uuid/data is NULL");
        EXPECT_EQ(reg_blob_finish_upload(nullptr, digest.c_str(), buf), -1);
        EXPECT_EQ(last_error(), "NULL argument");
        EXPECT_EQ(reg_blob_finish_upload(kValidId, nullptr, buf), -1);
        EXPECT_EQ(last_error(), "NULL argument");
        EXPECT_EQ(reg_blob_finish_upload(kValidId, digest.c_str(), nullptr), -1);
        EXPECT_EQ(last_error(), "NULL argument");
        EXPECT_EQ(reg_blob_cancel_upload(nullptr), -1);
        EXPECT_EQ(last_error(), "upload_uuid is NULL");
    }
}

TEST_F(UploadTest, WithoutInitialisedStorageNothingIsTouched) {
    std::string id = start();
    append(id, "pending");
    const std::string digest = digest_of("pending");
    reg_storage_cleanup();
    auto before = tree_of(root_.path());

    char out_id[37];
    EXPECT_EQ(reg_blob_start_upload(out_id), -1);
    EXPECT_EQ(last_error(), kNotReady);
    EXPECT_EQ(reg_blob_append_chunk(id.c_str(), "more", 4), -1);
    EXPECT_EQ(last_error(), kNotReady);
    EXPECT_EQ(finish(id, digest), -1);
    EXPECT_EQ(last_error(), kNotReady);
    EXPECT_EQ(reg_blob_cancel_upload(id.c_str()), -1);
    EXPECT_EQ(last_error(), kNotReady);

    EXPECT_EQ(tree_of(root_.path()), before);
    EXPECT_FALSE(testing_support::path_exists("/uploads"));
}

// ---- Through the blob endpoint --------------------------------------------------

TEST_F(UploadTest, AnUploadInUnevenChunksIsServedByTheBlobEndpoint) {
    const std::string data = random_bytes((5u << 20) + 12345, 2024);
    const size_t sizes[] = {1, 4095, 65537, (1u << 20) + 3, 7, (2u << 20) - 1};
    std::string id = start();
    size_t at = 0;
    for (size_t n : sizes) {
        append(id, data.substr(at, n));
        at += n;
    }
    append(id, data.substr(at));
    const std::string digest = digest_of(data);
    ASSERT_EQ(finish(id, digest), 0) << last_error();

    struct Range {
        const char *header;  // HTTP_RANGE, or nullptr for none
        size_t first, count;
        const char *status;
    } ranges[] = {
        {nullptr, 0, data.size(), "Status: 200"},
        {"bytes=0-0", 0, 1, "Status: 206"},
        {"bytes=4000-70000", 4000, 66001, "Status: 206"},
        {"bytes=5000000-", 5000000, data.size() - 5000000, "Status: 206"},
    };
    for (const Range &r : ranges) {
        SCOPED_TRACE(r.header ? r.header : "no range");
        std::map<std::string, std::string> env = {
            {"REQUEST_METHOD", "GET"},
            {"PATH_INFO", "/v2/test/repo/blobs/" + digest},
            {"REGISTRY_STORAGE_ROOT", root_.path()},
        };
        if (r.header != nullptr) env["HTTP_RANGE"] = r.header;
        auto result = run_process(V2_BLOB_PATH, {}, env);
        ASSERT_EQ(result.exit_status, 0) << result.err;
        EXPECT_EQ(result.out.rfind(r.status, 0), 0u) << result.out.substr(0, 200);
        size_t end = result.out.find("\r\n\r\n");
        ASSERT_NE(end, std::string::npos);
        std::string body = result.out.substr(end + 4);
        EXPECT_EQ(body.size(), r.count);
        EXPECT_TRUE(body == data.substr(r.first, r.count)) << "body bytes differ";
    }
}

}  // namespace
