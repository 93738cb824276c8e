// Crash test: worker processes that upload, delete and read blobs and put,
// get and delete manifests are killed with SIGKILL at random moments, and
// the store's invariants are checked after every kill.
//
// SIGKILL ends a process but not the machine: what the process wrote is in
// the page cache and stays. So this tests atomicity (a blob or link appears
// whole by a rename, or not at all), not durability (fsync); a power cut
// would be needed for that.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "storage/reg_storage.h"
#include "tests/support/invariants.h"
#include "tests/support/process.h"

namespace {

using namespace testing_support;
namespace fs = std::filesystem;

// Trials end at whichever comes first.
constexpr int kMaxTrials = 300;
constexpr double kMaxSeconds = 60.0;

// Starts the worker with its standard output and error discarded; with
// stdin_pipe, its standard input is the read end of a new pipe whose write
// end goes to *stdin_pipe.
pid_t spawn_worker(const std::vector<std::string> &args, int *stdin_pipe = nullptr) {
    int in[2] = {-1, -1};
    if (stdin_pipe != nullptr && pipe(in) != 0) return -1;
    std::vector<std::string> argv_text = {STORE_WORKER_PATH};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &a : argv_text) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 1);
        dup2(null, 2);
        if (stdin_pipe != nullptr) {
            dup2(in[0], 0);
            close(in[0]);
            close(in[1]);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    if (stdin_pipe != nullptr) {
        close(in[0]);
        *stdin_pipe = in[1];
    }
    return pid;
}

int wait_for(pid_t pid) { return testing_support::wait_for_child(pid).status(); }

TEST(Crash, WorkersKilledAtRandomMomentsNeverBreakTheStore) {
    ScratchDir scratch;
    std::string root = scratch / "root";
    StoreCheckOptions options;
    options.root_alone_in_parent = true;
    std::mt19937 rng(20240611);
    auto start = std::chrono::steady_clock::now();
    auto elapsed = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };

    int trials = 0;
    int most_temporaries = 0;
    for (; trials < kMaxTrials && elapsed() < kMaxSeconds; trials++) {
        pid_t pid = spawn_worker({root, "store", std::to_string(trials + 1), "0", "0"});
        ASSERT_GT(pid, 0);
        // Up to 40 ms: from before the storage is initialised to well into
        // a run of operations that take a few milliseconds each.
        std::this_thread::sleep_for(
            std::chrono::microseconds(std::uniform_int_distribution<int>(0, 40000)(rng)));
        kill(pid, SIGKILL);
        ASSERT_EQ(wait_for(pid), 128 + SIGKILL) << "the worker ended before it was killed";

        StoreCheck check = check_store(root, options);
        ASSERT_TRUE(check.violations.empty())
            << "after trial " << trials + 1 << ":\n" << join_lines(check.violations);
        most_temporaries = std::max(most_temporaries, static_cast<int>(check.temporaries.size()));
    }
    double seconds = elapsed();

    // The store still works after every crash: a worker that runs to its end
    // finds every read it makes correct.
    pid_t pid = spawn_worker({root, "store", "0", "300", "0"});
    EXPECT_EQ(wait_for(pid), 0) << "a read returned the wrong bytes after the crashes";
    StoreCheck check = check_store(root, options);
    EXPECT_TRUE(check.violations.empty()) << join_lines(check.violations);

    printf("[ crash    ] %d workers killed in %.1f s; afterwards %d blobs, %d manifests, %d tags, "
           "%d unfinished uploads, %d temporaries left by killed writers (at most %d at once)\n",
           trials, seconds, check.blobs, check.manifests, check.tags, check.uploads,
           static_cast<int>(check.temporaries.size()), most_temporaries);
}

// A killed writer leaves its temporary file behind, named after its process
// id and a counter that starts again in every process. A later process that
// is given the same id must still be able to write the same file.
TEST(Crash, ATemporaryLeftByADeadProcessDoesNotBlockTheNextWithItsId) {
    ScratchDir scratch;
    std::string root = scratch / "root";
    ASSERT_EQ(reg_storage_init(root.c_str()), 0) << reg_storage_last_error();
    reg_storage_cleanup();

    int go = -1;
    pid_t pid = spawn_worker({root, "put-once"}, &go);
    ASSERT_GT(pid, 0);
    // The worker waits for its go. Meanwhile temporaries that a dead process
    // of the same id would have left are put where the put will write its
    // tag link, the last of its four atomic writes, under each counter that
    // the put will use.
    std::string link = root + "/repositories/library/alpha/_manifests/tags/latest/current/link";
    fs::create_directories(fs::path(link).parent_path());
    for (int n = 1; n <= 4; n++)
        write_whole_file(link + ".tmp-" + std::to_string(pid) + "-" + std::to_string(n),
                         "sha256:");
    ASSERT_EQ(write(go, "g", 1), 1);
    close(go);

    EXPECT_EQ(wait_for(pid), 0) << "the put failed";
    ASSERT_EQ(reg_storage_init(root.c_str()), 0);
    char content_type[REG_CONTENT_TYPE_SIZE], digest[REG_DIGEST_STRING_SIZE];
    EXPECT_NE(reg_manifest_get("library/alpha", "latest", content_type, digest), nullptr)
        << reg_storage_last_error();
    reg_storage_cleanup();
    StoreCheck check = check_store(root);
    EXPECT_TRUE(check.violations.empty()) << join_lines(check.violations);
}

}  // namespace
