// Concurrency test: several processes work on one storage root at once,
// uploading, reading, tagging and deleting the same blobs, manifests and
// tags through the library, while others fetch and delete the same blobs
// through the blob endpoint run as CGI processes. Every read that succeeds
// must return exactly the bytes of the digest asked for (the workers check
// this themselves and fail otherwise), and afterwards the invariants hold.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "storage/reg_storage.h"
#include "tests/support/invariants.h"
#include "tests/support/process.h"

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

}  // namespace
