// The platform layer itself: sharing (a file deleted or replaced while it
// is open), exclusive creation, long paths, separators and path roots.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "platform/platform.h"
#include "tests/support/process.h"

using testing_support::join_path;
using testing_support::read_whole_file;
using testing_support::ScratchDir;
using testing_support::write_whole_file;

namespace {

std::string read_stream(FILE *f) {
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
    return text;
}

TEST(PlatformSharing, AFileOpenForReadingCanBeDeletedAndTheReaderKeepsItsBytes) {
    ScratchDir dir;
    std::string path = dir / "blob";
    write_whole_file(path, "held bytes");
    FILE *reader = plat_fopen_regular(path.c_str());
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(plat_remove(path.c_str()), PLAT_REMOVE_DONE);
    EXPECT_EQ(read_stream(reader), "held bytes");
    EXPECT_EQ(plat_fclose(reader), 0);
    plat_attr attr;
    EXPECT_EQ(plat_stat(path.c_str(), &attr), PLAT_STAT_ABSENT);
    EXPECT_EQ(plat_stat((path + "/below").c_str(), &attr), PLAT_STAT_ABSENT);
    EXPECT_EQ(plat_remove(path.c_str()), PLAT_REMOVE_ABSENT);
}

TEST(PlatformSharing, AFileOpenForReadingCanBeReplacedByARename) {
    if (testing_support::running_under_wine())
        GTEST_SKIP() << "Wine has no rename with POSIX semantics over an open file";
    ScratchDir dir;
    std::string target = dir / "link", source = dir / "link.tmp";
    write_whole_file(target, "old");
    write_whole_file(source, "new");
    FILE *reader = plat_fopen(target.c_str(), "rb");
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(plat_rename(source.c_str(), target.c_str()), 0);
    EXPECT_EQ(read_stream(reader), "old");
    EXPECT_EQ(plat_fclose(reader), 0);
    EXPECT_EQ(read_whole_file(target), "new");
    EXPECT_FALSE(testing_support::path_exists(source));
}

TEST(PlatformSharing, AFileOpenForAppendingCanBeRenamed) {
    ScratchDir dir;
    std::string from = dir / "upload.part", to = dir / "blob";
    write_whole_file(from, "ab");
    FILE *writer = plat_fopen_append_existing(from.c_str());
    ASSERT_NE(writer, nullptr);
    EXPECT_EQ(plat_fwrite("c", 1, writer), 1u);
    EXPECT_EQ(plat_fsync(writer), 0);
    EXPECT_EQ(plat_rename(from.c_str(), to.c_str()), 0);
    EXPECT_EQ(plat_fclose(writer), 0);
    EXPECT_EQ(read_whole_file(to), "abc");
}

// Starting the write-out hands every buffered byte to the file system (a
// second handle reads them) and leaves the stream open and writable.
TEST(PlatformFiles, StartingTheWriteOutFlushesTheStream) {
    ScratchDir dir;
    std::string path = dir / "upload";
    write_whole_file(path, "");
    FILE *writer = plat_fopen_append_existing(path.c_str());
    ASSERT_NE(writer, nullptr);
    const std::string piece(3000, 'w');
    EXPECT_EQ(plat_fwrite(piece.data(), piece.size(), writer), piece.size());
    EXPECT_EQ(plat_fstart_writeback(writer, 0, piece.size()), 0);
    EXPECT_EQ(read_whole_file(path), piece);
    EXPECT_EQ(plat_fwrite("z", 1, writer), 1u);
    EXPECT_EQ(plat_fstart_writeback(writer, piece.size(), 1), 0);
    EXPECT_EQ(read_whole_file(path), piece + "z");
    EXPECT_EQ(plat_fclose(writer), 0);
}

TEST(PlatformFiles, ExclusiveCreateRefusesEveryExistingEntry) {
    ScratchDir dir;
    std::string file = dir / "file", sub = dir / "sub", fresh = dir / "fresh";
    write_whole_file(file, "x");
    ASSERT_EQ(plat_mkdir(sub.c_str()), PLAT_MKDIR_CREATED);
    EXPECT_EQ(plat_fcreate_new(file.c_str()), nullptr);
    EXPECT_EQ(plat_fcreate_new(sub.c_str()), nullptr);
    EXPECT_EQ(read_whole_file(file), "x");
    FILE *f = plat_fcreate_new(fresh.c_str());
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(plat_fwrite("a\nb", 3, f), 3u);
    EXPECT_EQ(plat_fclose(f), 0);
    // Binary: no line end is translated.
    EXPECT_EQ(read_whole_file(fresh), "a\nb");
    EXPECT_EQ(plat_mkdir(sub.c_str()), PLAT_MKDIR_EXISTS);
    EXPECT_EQ(plat_mkdir(file.c_str()), PLAT_MKDIR_EXISTS);
    EXPECT_EQ(plat_fopen(sub.c_str(), "rb"), nullptr);
    EXPECT_EQ(plat_fopen_regular(sub.c_str()), nullptr);
    EXPECT_EQ(plat_fopen_append_existing((fresh + "-absent").c_str()), nullptr);
    EXPECT_FALSE(testing_support::path_exists(fresh + "-absent"));
    EXPECT_EQ(plat_remove(sub.c_str()), PLAT_REMOVE_FAILED);
    EXPECT_EQ(plat_rmdir(sub.c_str()), 0);
}

// A path far beyond 260 characters: made level by level, written, listed,
// queried, renamed and removed through the platform layer.
TEST(PlatformFiles, PathsLongerThanTheOldLimitWork) {
    ScratchDir dir;
    std::string path = dir.path();
    for (int level = 0; level < 6; level++) {
        path = join_path(path, std::string(60, static_cast<char>('a' + level)));
        ASSERT_EQ(plat_mkdir(path.c_str()), PLAT_MKDIR_CREATED) << path.size();
    }
    ASSERT_GT(path.size(), 380u);
    std::string file = join_path(path, "blob"), moved = join_path(path, "moved");
    FILE *f = plat_fcreate_new(file.c_str());
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(plat_fwrite("long", 4, f), 4u);
    EXPECT_EQ(plat_fsync(f), 0);
    EXPECT_EQ(plat_fclose(f), 0);
    EXPECT_EQ(plat_sync_dir(path.c_str()), 0);
    plat_attr attr;
    ASSERT_EQ(plat_stat(file.c_str(), &attr), 0);
    EXPECT_EQ(attr.is_dir, 0);
    EXPECT_EQ(attr.size, 4);
    plat_dir *d = plat_dir_open(path.c_str());
    ASSERT_NE(d, nullptr);
    const char *name;
    int is_dir;
    ASSERT_EQ(plat_dir_next(d, &name, &is_dir), 1);
    EXPECT_STREQ(name, "blob");
    EXPECT_EQ(is_dir, 0);
    EXPECT_EQ(plat_dir_next(d, &name, &is_dir), 0);
    plat_dir_close(d);
    EXPECT_EQ(plat_rename(file.c_str(), moved.c_str()), 0);
    FILE *r = plat_fopen_regular(moved.c_str());
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(plat_seek64(r, 2), 0);
    EXPECT_EQ(read_stream(r), "ng");
    EXPECT_EQ(plat_fclose(r), 0);
    EXPECT_EQ(plat_remove(moved.c_str()), PLAT_REMOVE_DONE);
    EXPECT_EQ(plat_rmdir(path.c_str()), 0);
}

TEST(PlatformPaths, SeparatorsAndRoots) {
    EXPECT_EQ(plat_is_sep('/'), 1);
    EXPECT_EQ(plat_is_sep(PLAT_SEP), 1);
    EXPECT_EQ(plat_is_sep('a'), 0);
    struct Case {
        const char *path;
        size_t posix, windows;
    } cases[] = {
        {"", 0, 0},
        {"relative/dir", 0, 0},
        {"/abs/dir", 1, 1},
        {"C:", 0, 2},
        {"C:\\dir", 0, 3},
        {"C:/dir", 0, 3},
        {"\\\\server\\share\\dir", 0, 15},
        {"\\\\server\\share", 0, 14},
        {"\\\\?\\C:\\dir", 0, 7},
        {"\\\\?\\UNC\\server\\share\\dir", 0, 21},
    };
    for (const Case &c : cases) {
#ifdef _WIN32
        EXPECT_EQ(plat_path_root_length(c.path), c.windows) << c.path;
#else
        EXPECT_EQ(plat_path_root_length(c.path), c.posix) << c.path;
#endif
    }
}

TEST(PlatformMisc, RandomBytesDifferAndTheClockRuns) {
    unsigned char a[32] = {0}, b[32] = {0};
    ASSERT_EQ(plat_random_bytes(a, sizeof a), 0);
    ASSERT_EQ(plat_random_bytes(b, sizeof b), 0);
    EXPECT_NE(std::string(reinterpret_cast<char *>(a), sizeof a),
              std::string(reinterpret_cast<char *>(b), sizeof b));
    // 2020-01-01 as a floor: a clock that gives zero or a small count fails.
    EXPECT_GT(plat_time_seconds(), 1577836800);
    EXPECT_GT(plat_process_id(), 0);
}

}  // namespace

// The modification time that garbage collection's grace period reads, and
// the touch with which a manifest being stored marks what it names.
TEST(PlatformFiles, ModificationTimeAndTouch) {
    namespace fs = std::filesystem;
    ScratchDir dir;
    std::string path = dir / "file";
    write_whole_file(path, "bytes");
    auto then = fs::file_time_type::clock::now() - std::chrono::hours(3);
    fs::last_write_time(path, then);
    plat_attr a;
    ASSERT_EQ(plat_stat(path.c_str(), &a), 0);
    int64_t now = plat_time_seconds();
    EXPECT_GE(now - a.mtime, 3 * 3600 - 5);
    EXPECT_LE(now - a.mtime, 3 * 3600 + 5);
    ASSERT_EQ(plat_touch(path.c_str()), 0);
    ASSERT_EQ(plat_stat(path.c_str(), &a), 0);
    EXPECT_LE(plat_time_seconds() - a.mtime, 5);
    EXPECT_EQ(read_whole_file(path), "bytes") << "a touch leaves the bytes alone";
    EXPECT_EQ(a.size, 5);
    EXPECT_EQ(plat_touch((dir / "absent").c_str()), -1);
    EXPECT_EQ(plat_stat((dir / "absent").c_str(), &a), PLAT_STAT_ABSENT);
}

// Times finer than a second, for a grace period of 0 or a few seconds: two
// files stamped a quarter of a second apart read back that far apart, the
// whole seconds agree with the nanoseconds, and the clock of that precision
// runs with the one of whole seconds.
TEST(PlatformFiles, ModificationTimeInNanoseconds) {
    namespace fs = std::filesystem;
    ScratchDir dir;
    std::string early = dir / "early", late = dir / "late";
    write_whole_file(early, "a");
    write_whole_file(late, "b");
    auto then = fs::file_time_type::clock::now() - std::chrono::hours(3);
    fs::last_write_time(early, then);
    fs::last_write_time(late, then + std::chrono::milliseconds(250));
    plat_attr a, b;
    ASSERT_EQ(plat_stat(early.c_str(), &a), 0);
    ASSERT_EQ(plat_stat(late.c_str(), &b), 0);
#ifndef _WIN32
    // mingw-w64's std::filesystem sets whole seconds only.
    EXPECT_EQ(b.mtime_ns - a.mtime_ns, 250000000);
#endif
    for (const plat_attr *x : {&a, &b}) {
        EXPECT_LE(x->mtime * 1000000000, x->mtime_ns);
        EXPECT_GT((x->mtime + 1) * 1000000000, x->mtime_ns);
    }
    int64_t now_ns = plat_time_ns();
    EXPECT_GE(now_ns - a.mtime_ns, (3 * 3600 - 5) * 1000000000LL);
    EXPECT_LE(now_ns - a.mtime_ns, (3 * 3600 + 5) * 1000000000LL);
    EXPECT_LE(now_ns / 1000000000 - plat_time_seconds(), 1);
    EXPECT_GE(now_ns / 1000000000 - plat_time_seconds(), -1);
    // A touch stamps the time within the clock's tick (Linux stamps files
    // from a coarser clock, some milliseconds behind), not a whole second.
    int64_t before = plat_time_ns();
    ASSERT_EQ(plat_touch(late.c_str()), 0);
    int64_t after = plat_time_ns();
    ASSERT_EQ(plat_stat(late.c_str(), &b), 0);
    EXPECT_GE(b.mtime_ns, before - 50000000);
    EXPECT_LE(b.mtime_ns, after + 50000000);
}

// ---- Locks on open files ------------------------------------------------------

// The lock is one stream's: another stream of the same file, in this
// process too, waits for it (here: is told it is busy); closing a third
// stream keeps it; the file's bytes stay readable and writable through
// other streams meanwhile; the holder's close lets it go.
TEST(PlatformLocks, OneStreamHoldsTheLockUntilItsClose) {
    ScratchDir dir;
    std::string path = dir / "upload";
    write_whole_file(path, "abc");
    FILE *holder = plat_fopen_append_existing(path.c_str());
    FILE *other = plat_fopen_append_existing(path.c_str());
    ASSERT_NE(holder, nullptr);
    ASSERT_NE(other, nullptr);
    ASSERT_EQ(plat_lock_file(holder, path.c_str(), 1), 0);
    EXPECT_EQ(plat_lock_file(other, path.c_str(), 0), PLAT_LOCK_BUSY);

    FILE *third = plat_fopen_append_existing(path.c_str());
    ASSERT_NE(third, nullptr);
    EXPECT_EQ(plat_fwrite("def", 3, third), 3u);
    EXPECT_EQ(plat_fclose(third), 0);
    EXPECT_EQ(plat_lock_file(other, path.c_str(), 0), PLAT_LOCK_BUSY)
        << "closing another stream of the file let the lock go";
    EXPECT_EQ(plat_fwrite("ghi", 3, holder), 3u);
    EXPECT_EQ(plat_fclose(holder), 0);
    EXPECT_EQ(read_whole_file(path), "abcdefghi");

    EXPECT_EQ(plat_lock_file(other, path.c_str(), 0), 0);
    EXPECT_EQ(plat_fclose(other), 0);
}

// A stream opened before its file left the name (renamed away, removed, or
// replaced by another file) finds it gone once it has the lock; the lock is
// then not held, and retirement is allowed on a locked stream.
TEST(PlatformLocks, AFileThatLeftItsNameIsGone) {
    struct Case {
        const char *name;
        void (*change)(const std::string &path, const std::string &elsewhere);
        int expected;
        // Wine has neither the deletion nor the rename with POSIX semantics
        // over an open file, nor reports a pending deletion.
        bool needs_posix_semantics;
    };
    const Case cases[] = {
        {"unchanged", [](const std::string &, const std::string &) {}, 0, false},
        {"renamed away",
         [](const std::string &path, const std::string &elsewhere) {
             ASSERT_EQ(plat_rename(path.c_str(), elsewhere.c_str()), 0);
         },
         PLAT_LOCK_GONE, false},
        {"removed",
         [](const std::string &path, const std::string &) {
             ASSERT_EQ(plat_remove(path.c_str()), PLAT_REMOVE_DONE);
         },
         PLAT_LOCK_GONE, true},
        {"replaced by another file",
         [](const std::string &path, const std::string &elsewhere) {
             write_whole_file(elsewhere, "other");
             ASSERT_EQ(plat_rename(elsewhere.c_str(), path.c_str()), 0);
         },
         PLAT_LOCK_GONE, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needs_posix_semantics && testing_support::running_under_wine()) continue;
        ScratchDir dir;
        std::string path = dir / "upload", elsewhere = dir / "blob";
        write_whole_file(path, "abc");
        FILE *f = plat_fopen_append_existing(path.c_str());
        ASSERT_NE(f, nullptr);
        c.change(path, elsewhere);
        EXPECT_EQ(plat_lock_file(f, path.c_str(), 1), c.expected);
        if (c.expected == 0) {
            EXPECT_EQ(plat_retire_file(f, 1), 0);
        }
        EXPECT_EQ(plat_fclose(f), 0);
        // Not held after a refusal: another stream of the same file (at
        // whatever name it has now) takes the lock at once.
        std::string now_at = testing_support::path_exists(elsewhere) ? elsewhere : path;
        FILE *next = plat_fopen_append_existing(now_at.c_str());
        if (next == nullptr) continue;  // removed
        EXPECT_EQ(plat_lock_file(next, now_at.c_str(), 0), 0);
        EXPECT_EQ(plat_fclose(next), 0);
    }
}
