// Concurrency test: several processes work on one storage root at once,
// uploading, reading, tagging and deleting the same blobs, manifests and
// tags through the library, while others fetch and delete the same blobs
// through the blob endpoint run as CGI processes. Every read that succeeds
// must return exactly the bytes of the digest asked for (the workers check
// this themselves and fail otherwise), and afterwards the invariants hold.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "storage/reg_storage.h"
#include "tests/support/invariants.h"
#include "tests/support/process.h"
#include "tests/support/reference_sha512.h"

namespace {

using namespace testing_support;

constexpr int kStoreWorkers = 3;
constexpr int kCgiWorkers = 2;
constexpr const char *kSeconds = "15";

// The counters of a worker's last output line, "name=value ...".
std::map<std::string, long> counters_of(const std::string &out) {
    std::map<std::string, long> counters;
    std::string line = out.substr(out.rfind('\n', out.size() - 2) + 1);
    std::istringstream words(line);
    std::string word;
    while (words >> word) {
        size_t eq = word.find('=');
        if (eq != std::string::npos) counters[word.substr(0, eq)] = std::stol(word.substr(eq + 1));
    }
    return counters;
}

std::string describe(const std::map<std::string, long> &counters) {
    std::string text;
    for (const auto &[name, value] : counters)
        text += (text.empty() ? "" : " ") + name + "=" + std::to_string(value);
    return text;
}

TEST(Concurrency, ProcessesSharingOneRootReadOnlyWholeVerifiedBytes) {
    ScratchDir scratch;
    std::string root = scratch / "root";
    ASSERT_EQ(reg_storage_init(root.c_str()), 0) << reg_storage_last_error();
    reg_storage_cleanup();

    std::vector<std::vector<std::string>> commands;
    for (int i = 0; i < kStoreWorkers; i++)
        commands.push_back({root, "store", std::to_string(100 + i), "0", kSeconds});
    for (int i = 0; i < kCgiWorkers; i++)
        commands.push_back({root, "cgi", std::to_string(200 + i), "0", kSeconds, V2_BLOB_PATH});

    std::vector<ProcessResult> results(commands.size());
    std::vector<std::thread> threads;
    for (size_t i = 0; i < commands.size(); i++)
        threads.emplace_back([&, i] { results[i] = run_process(STORE_WORKER_PATH, commands[i], {}); });
    for (auto &t : threads) t.join();

    std::map<std::string, long> total;
    for (size_t i = 0; i < results.size(); i++) {
        const ProcessResult &r = results[i];
        EXPECT_EQ(r.exit_status, 0) << commands[i][1] << " worker " << i << ":\n" << r.err;
        auto counters = counters_of(r.out);
        EXPECT_GT(counters["ops"], 0) << r.out << r.err;
        EXPECT_EQ(counters["mismatch"], 0);
        printf("[ workers  ] %s worker %zu: %s\n", commands[i][1].c_str(), i,
               describe(counters).c_str());
        for (const auto &[name, value] : counters) total[name] += value;
    }

    // The storage takes no locks: a put and a delete of one manifest that
    // race can leave a tag naming a deleted body. That is reported, not
    // failed; every other invariant must hold.
    StoreCheckOptions options;
    options.dangling_tag_is_violation = false;
    options.root_alone_in_parent = true;
    StoreCheck check = check_store(root, options);
    EXPECT_TRUE(check.violations.empty()) << join_lines(check.violations);
    printf("[ workers  ] %ld operations in %s s by %d processes; %ld gets found a tag whose "
           "manifest was deleted; afterwards %d blobs, %d manifests, %d tags, %d unfinished "
           "uploads, %zu temporaries, %zu tags naming a deleted manifest%s%s\n",
           total["ops"], kSeconds, kStoreWorkers + kCgiWorkers, total["get.tag_without_body"],
           check.blobs, check.manifests, check.tags, check.uploads, check.temporaries.size(),
           check.dangling_tags.size(), check.dangling_tags.empty() ? "" : ":\n",
           join_lines(check.dangling_tags).c_str());
}

// Two processes upload the same bytes and finish their uploads at the same
// moment, a new blob each round (so that both also make its fan-out
// directory at once). Both commits must succeed: the blob is stored once,
// with its bytes, and neither upload file is left.
TEST(Concurrency, TwoProcessesCommittingTheSameBlobAtOnceBothSucceed) {
    constexpr int kWorkers = 2;
    constexpr int kRounds = 100;
    ScratchDir scratch, barrier_dir;
    std::string root = scratch / "root";
    const std::string &barrier = barrier_dir.path();
    ASSERT_EQ(reg_storage_init(root.c_str()), 0) << reg_storage_last_error();
    reg_storage_cleanup();

    std::vector<ProcessResult> results(kWorkers);
    std::vector<std::thread> threads;
    for (int i = 0; i < kWorkers; i++)
        threads.emplace_back([&, i] {
            results[i] = run_process(STORE_WORKER_PATH,
                                     {root, "commit-same", barrier, std::to_string(i),
                                      std::to_string(kWorkers), std::to_string(kRounds)},
                                     {});
        });
    for (auto &t : threads) t.join();

    // Each worker's digests, one a round; the last line is its summary.
    std::vector<std::vector<std::string>> digests(kWorkers);
    for (int i = 0; i < kWorkers; i++) {
        EXPECT_EQ(results[i].exit_status, 0) << "worker " << i << ":\n" << results[i].err;
        std::istringstream lines(results[i].out);
        std::string line;
        while (std::getline(lines, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();  // Windows text mode
            if (line.rfind("sha256:", 0) == 0 || line.rfind("sha512:", 0) == 0)
                digests[i].push_back(line);
        }
        auto counters = counters_of(results[i].out);
        EXPECT_EQ(counters["rounds"], kRounds) << results[i].out;
        EXPECT_EQ(counters["finish.fail"], 0) << results[i].err;
    }
    ASSERT_EQ(digests[0].size(), static_cast<size_t>(kRounds)) << results[0].out;
    for (int i = 1; i < kWorkers; i++) EXPECT_EQ(digests[i], digests[0]);

    ASSERT_EQ(reg_storage_init(root.c_str()), 0) << reg_storage_last_error();
    for (const std::string &digest : digests[0]) {
        char path[4096];
        ASSERT_EQ(reg_blob_get_filepath(digest.c_str(), path, sizeof path), 0)
            << digest << ": " << reg_storage_last_error();
        std::string bytes = read_whole_file(path);
        EXPECT_EQ(digest.rfind("sha512:", 0) == 0
                      ? "sha512:" + testing_support::reference_sha512_hex(bytes)
                      : "sha256:" + reference_sha256_hex(bytes),
                  digest);
    }
    reg_storage_cleanup();
    std::error_code ec;
    std::filesystem::directory_iterator uploads(root + "/uploads", ec);
    ASSERT_FALSE(ec) << ec.message();
    EXPECT_EQ(std::filesystem::begin(uploads), std::filesystem::end(uploads))
        << "an upload file is left: " << uploads->path().string();

    StoreCheckOptions options;
    options.root_alone_in_parent = true;
    StoreCheck check = check_store(root, options);
    EXPECT_TRUE(check.violations.empty()) << join_lines(check.violations);
    EXPECT_EQ(check.blobs, kRounds);
    EXPECT_EQ(check.uploads, 0);
    EXPECT_TRUE(check.temporaries.empty()) << join_lines(check.temporaries);
}

// An append and the finish of one upload at once, in two processes, a new
// upload of a few MiB each round, the append made the moment the finish
// starts: the requests take turns on the upload. Either the finish commits
// and the append finds the upload gone, or the append got in first and the
// finish reports a digest mismatch; a committed blob always holds exactly
// its digest's bytes (the finish worker checks each round once both are
// done), and no upload file is left.
TEST(Concurrency, AnAppendAndAFinishOfOneUploadTakeTurns) {
    constexpr int kRounds = 60;
    ScratchDir scratch, barrier_dir;
    std::string root = scratch / "root";
    ASSERT_EQ(reg_storage_init(root.c_str()), 0) << reg_storage_last_error();
    reg_storage_cleanup();

    const char *const roles[] = {"finish", "append"};
    std::vector<ProcessResult> results(2);
    std::vector<std::thread> threads;
    for (int i = 0; i < 2; i++)
        threads.emplace_back([&, i] {
            results[i] = run_process(STORE_WORKER_PATH,
                                     {root, "contend", barrier_dir.path(), roles[i],
                                      std::to_string(kRounds)},
                                     {});
        });
    for (auto &t : threads) t.join();
    for (int i = 0; i < 2; i++)
        EXPECT_EQ(results[i].exit_status, 0) << roles[i] << " worker:\n" << results[i].err;
    auto finish = counters_of(results[0].out);
    auto append = counters_of(results[1].out);
    EXPECT_EQ(finish["rounds"], kRounds) << results[0].out;
    EXPECT_EQ(finish["violations"], 0) << results[0].err;
    EXPECT_EQ(finish["finish.ok"] + finish["finish.mismatch"], kRounds) << results[0].out;
    EXPECT_EQ(append["append.ok"] + append["append.gone"], kRounds) << results[1].out;
    printf("[ workers  ] %d rounds: %s; %s\n", kRounds, describe(finish).c_str(),
           describe(append).c_str());

    StoreCheckOptions options;
    options.root_alone_in_parent = true;
    StoreCheck check = check_store(root, options);
    EXPECT_TRUE(check.violations.empty()) << join_lines(check.violations);
    EXPECT_EQ(check.uploads, 0);
}

}  // namespace
