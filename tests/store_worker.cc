// store_worker: a process that works on one storage root the way registry
// clients do, for the crash and concurrency tests.
//
//   store_worker ROOT store SEED OPS SECONDS
//       random storage operations through the library: uploads (finished
//       and cancelled), blob reads and deletes, manifest puts, gets and
//       deletes by tag and by digest. Every read is checked against the
//       digest it was asked for.
//   store_worker ROOT cgi SEED OPS SECONDS V2_BLOB
//       random GET (whole and ranged), HEAD and DELETE requests through the
//       blob endpoint, run as a CGI process per request; every 200 and 206
//       body is checked against the blob's bytes.
//   store_worker ROOT put-once
//       waits for one byte on standard input, then initialises the storage
//       and puts one manifest under a tag.
//   store_worker ROOT commit-same BARRIER INDEX COUNT ROUNDS
//       one of COUNT workers that upload the same blobs: in each round every
//       worker uploads the round's bytes (a new blob each round), marks
//       itself ready with the file BARRIER/<round>-<INDEX>, waits until all
//       COUNT workers are ready, and then finishes its upload, so that the
//       commits of one blob run at the same moment. Writes each round's
//       digest on a line of its own, then the summary. Every failed finish
//       is written to standard error and makes the exit status 1.
//   store_worker ROOT contend BARRIER finish|append ROUNDS
//       one of two workers on one upload at once (ROOT may be another mount
//       of the same store for each): in each round the finish worker
//       starts an upload of a few MiB, publishes its id as BARRIER/<round>.id
//       and, once the append worker is ready, marks BARRIER/<round>.go and
//       finishes it; the append worker appends a small chunk as soon as it
//       sees the mark, and writes what came of it to BARRIER/<round>.done.
//       Then the finish worker checks that the two results agree (the
//       finish succeeded and the append found no upload, or the append got
//       in first and the finish found a digest mismatch) and that a
//       committed blob holds exactly its digest's bytes. Each disagreement
//       is written to standard error and makes the exit status 1.
//
// OPS 0 and SECONDS 0 mean no limit. All workers draw from one fixed pool
// of blobs, manifests, repositories and tags, so that processes collide on
// the same names. The last line on standard output is a summary of counters
// "name=value ..."; a read that returned the wrong bytes is written to
// standard error and makes the exit status 1. Other failures are counted
// (the storage takes no locks, so some operations fail when another process
// got in between) but do not change the exit status.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "storage/reg_storage.h"
#include "tests/support/process.h"
#include "tests/support/reference_sha512.h"

using testing_support::reference_sha256_hex;

namespace {

struct Blob {
    std::string bytes;
    std::string digest;  // digest string
};

struct Manifest {
    std::string body;
    std::string digest;
};

const char *const kRepos[] = {"library/alpha", "beta"};
const char *const kTags[] = {"latest", "v1", "v2", "stable"};
const char *const kContentTypes[] = {"application/vnd.oci.image.manifest.v1+json",
                                     "application/vnd.docker.distribution.manifest.v2+json"};

// Blobs of both algorithms the store keeps: every size by SHA-256, and
// some by SHA-512, which go to their own part of the store.
std::vector<Blob> make_blobs() {
    const size_t sizes[] = {0, 1, 1000, 65535, 65536, 65537, 300000};
    const size_t sha512_sizes[] = {1, 65537, 300000};
    std::vector<Blob> blobs;
    unsigned seed = 1;
    for (size_t size : sizes) {
        Blob b{testing_support::random_bytes(size, seed++), ""};
        b.digest = "sha256:" + reference_sha256_hex(b.bytes);
        blobs.push_back(b);
    }
    for (size_t size : sha512_sizes) {
        Blob b{testing_support::random_bytes(size, seed++), ""};
        b.digest = "sha512:" + testing_support::reference_sha512_hex(b.bytes);
        blobs.push_back(b);
    }
    return blobs;
}

std::vector<Manifest> make_manifests(const std::vector<Blob> &blobs) {
    std::vector<Manifest> manifests;
    for (size_t i = 0; i < 5; i++) {
        std::string body = "{\"schemaVersion\":2,\"config\":{\"digest\":\"" +
                           blobs[i % blobs.size()].digest + "\"},\"layers\":[{\"digest\":\"" +
                           blobs[(i + 2) % blobs.size()].digest + "\"}],\"n\":" +
                           std::to_string(i) + "}";
        manifests.push_back({body, "sha256:" + reference_sha256_hex(body)});
    }
    return manifests;
}

class Worker {
  public:
    Worker(std::string root, unsigned seed)
        : root_(std::move(root)), rng_(seed), blobs_(make_blobs()),
          manifests_(make_manifests(blobs_)) {}

    int run(const std::string &mode, long ops, double seconds, const std::string &cgi) {
        if (mode == "store" && reg_storage_init(root_.c_str()) != 0) {
            fprintf(stderr, "init failed: %s\n", reg_storage_last_error());
            return 2;
        }
        auto start = std::chrono::steady_clock::now();
        for (long n = 0; ops == 0 || n < ops; n++) {
            if (seconds > 0 && std::chrono::duration<double>(std::chrono::steady_clock::now() -
                                                             start).count() >= seconds)
                break;
            if (mode == "store")
                store_step();
            else
                cgi_step(cgi);
            count("ops");
        }
        print_summary();
        return count_of("mismatch") > 0 ? 1 : 0;
    }

  private:
    size_t pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }
    bool chance(int percent) { return static_cast<int>(pick(100)) < percent; }

    void count(const std::string &name, long by = 1) { counters_[name] += by; }
    long count_of(const std::string &name) { return counters_[name]; }

    // Counts a failure under its message's leading words (up to a colon),
    // which name the cause without the paths and digests that follow.
    void failed(const std::string &op) {
        std::string message = reg_storage_last_error();
        message = message.substr(0, message.find(':'));
        std::replace(message.begin(), message.end(), ' ', '_');
        count(op + ".fail");
        count("why." + op + "." + message);
    }

    void mismatch(const std::string &what) {
        count("mismatch");
        fprintf(stderr, "MISMATCH %s\n", what.c_str());
    }

    const Blob *blob_of(const std::string &digest) {
        for (const auto &b : blobs_)
            if (b.digest == digest) return &b;
        return nullptr;
    }

    void store_step() {
        size_t op = pick(100);
        if (op < 25)
            upload(false);
        else if (op < 30)
            upload(true);
        else if (op < 40)
            delete_blob();
        else if (op < 55)
            read_blob();
        else if (op < 70)
            put_manifest();
        else if (op < 85)
            get_manifest();
        else
            delete_manifest();
    }

    void upload(bool cancel) {
        const Blob &b = blobs_[pick(blobs_.size())];
        char id[REG_UPLOAD_ID_SIZE];
        if (reg_blob_start_upload(id) != 0) return failed("start");
        size_t offset = 0;
        size_t chunks = 1 + pick(3);
        for (size_t c = 0; c < chunks && offset < b.bytes.size(); c++) {
            size_t len = c + 1 == chunks ? b.bytes.size() - offset
                                         : pick(b.bytes.size() - offset + 1);
            if (reg_blob_append_chunk(id, b.bytes.data() + offset, len) != 0)
                return failed("append");
            offset += len;
        }
        if (cancel) {
            if (reg_blob_cancel_upload(id) != 0) return failed("cancel");
            return count("cancel.ok");
        }
        char digest[REG_DIGEST_STRING_SIZE];
        if (reg_blob_finish_upload(id, b.digest.c_str(), digest) != 0) {
            failed("finish");
            // Leave no upload behind when the commit failed.
            reg_blob_cancel_upload(id);
            return;
        }
        if (b.digest != digest) mismatch("finish returned " + std::string(digest));
        count("finish.ok");
        // The repository the upload was for holds the blob now, as the
        // upload endpoint records it.
        if (reg_repo_blob_link(kRepos[pick(2)], digest) != 0) return failed("blob_link");
        count("blob_link.ok");
    }

    void delete_blob() {
        const Blob &b = blobs_[pick(blobs_.size())];
        if (reg_blob_delete(b.digest.c_str()) != 0) return failed("blob_delete");
        count("blob_delete.ok");
    }

    void read_blob() {
        const Blob &b = blobs_[pick(blobs_.size())];
        char path[4096];
        if (reg_blob_get_filepath(b.digest.c_str(), path, sizeof path) != 0)
            return failed("blob_read");
        std::ifstream in(path, std::ios::binary);
        if (!in) return count("blob_read.gone");  // deleted since the lookup
        std::ostringstream bytes;
        bytes << in.rdbuf();
        if (bytes.str() != b.bytes)
            mismatch("blob " + b.digest + " read " + std::to_string(bytes.str().size()) + " bytes");
        count("blob_read.ok");
    }

    void put_manifest() {
        const Manifest &m = manifests_[pick(manifests_.size())];
        const char *repo = kRepos[pick(2)];
        std::string reference = chance(75) ? kTags[pick(4)] : m.digest;
        char digest[REG_DIGEST_STRING_SIZE];
        if (reg_manifest_put(repo, reference.c_str(), m.body.data(), m.body.size(),
                             kContentTypes[pick(2)], digest) != 0)
            return failed("put");
        if (m.digest != digest) mismatch("put returned " + std::string(digest));
        count("put.ok");
    }

    void get_manifest() {
        const char *repo = kRepos[pick(2)];
        std::string reference =
            chance(70) ? kTags[pick(4)] : manifests_[pick(manifests_.size())].digest;
        char content_type[REG_CONTENT_TYPE_SIZE], digest[REG_DIGEST_STRING_SIZE];
        const char *body = reg_manifest_get(repo, reference.c_str(), content_type, digest);
        if (body == nullptr) {
            // A tag naming a body that is gone: a put and a delete of one
            // manifest crossed (the storage takes no locks).
            if (reference.rfind("sha256:", 0) != 0 &&
                strncmp(reg_storage_last_error(), "manifest body not found", 23) == 0)
                count("get.tag_without_body");
            return failed("get");
        }
        std::string text = body;
        if ("sha256:" + reference_sha256_hex(text) != digest)
            mismatch("get " + std::string(repo) + " " + reference + " body does not match " +
                     digest);
        if (reference.rfind("sha256:", 0) == 0 && reference != digest)
            mismatch("get by digest " + reference + " returned " + digest);
        if (std::none_of(std::begin(kContentTypes), std::end(kContentTypes),
                         [&](const char *t) { return strcmp(t, content_type) == 0; }))
            mismatch("get returned content type " + std::string(content_type));
        count("get.ok");
    }

    void delete_manifest() {
        const char *repo = kRepos[pick(2)];
        std::string reference =
            chance(70) ? kTags[pick(4)] : manifests_[pick(manifests_.size())].digest;
        if (reg_manifest_delete(repo, reference.c_str()) != 0) return failed("delete");
        count("delete.ok");
    }

    // One request to the blob endpoint, run as the web server runs it.
    void cgi_step(const std::string &program) {
        const Blob &b = blobs_[pick(blobs_.size())];
        std::map<std::string, std::string> env = {
            {"REGISTRY_STORAGE_ROOT", root_},
            {"PATH_INFO", "/v2/library/alpha/blobs/" + b.digest}};
        size_t op = pick(100);
        std::string method = op < 70 ? "GET" : op < 85 ? "HEAD" : "DELETE";
        env["REQUEST_METHOD"] = method;
        long long first = -1, last = -1;
        if (method == "GET" && chance(50)) {
            long long size = static_cast<long long>(b.bytes.size());
            first = static_cast<long long>(pick(b.bytes.size() + 8));
            last = chance(20) ? -1 : first + static_cast<long long>(pick(70000)) - 4;
            env["HTTP_RANGE"] = "bytes=" + std::to_string(first) + "-" +
                                (last < 0 ? "" : std::to_string(last));
            if (last < 0 || last >= size) last = size - 1;
        }
        auto reply = testing_support::run_process(program, {}, env);
        size_t split = reply.out.find("\r\n\r\n");
        int status = 0;
        if (reply.out.rfind("Status: ", 0) == 0) status = atoi(reply.out.c_str() + 8);
        if (split == std::string::npos || status == 0) {
            mismatch(method + " reply without status or header end: " + reply.out.substr(0, 80));
            return;
        }
        std::string head = reply.out.substr(0, split + 2);
        std::string body = reply.out.substr(split + 4);
        count(method + "." + std::to_string(status));
        if (status == 200 && method == "GET" && body != b.bytes)
            mismatch("GET 200 of " + b.digest + " gave " + std::to_string(body.size()) +
                     " bytes of " + std::to_string(b.bytes.size()));
        if ((status == 200 && method != "DELETE") || status == 206) {
            if (head.find("Docker-Content-Digest: " + b.digest + "\r\n") == std::string::npos)
                mismatch(method + " " + std::to_string(status) + " without the digest header");
        }
        if (status == 206) check_partial(b, head, body, first, last);
        if (status == 416 && first >= 0 && first <= last)
            mismatch("416 for the satisfiable range " + env["HTTP_RANGE"] + " of " +
                     std::to_string(b.bytes.size()) + " bytes");
    }

    void check_partial(const Blob &b, const std::string &head, const std::string &body,
                       long long first, long long last) {
        long long from = -1, to = -1, total = -1;
        size_t at = head.find("Content-Range: bytes ");
        if (at == std::string::npos ||
            sscanf(head.c_str() + at, "Content-Range: bytes %lld-%lld/%lld", &from, &to,
                   &total) != 3) {
            mismatch("206 without a Content-Range");
            return;
        }
        if (total != static_cast<long long>(b.bytes.size()) || from != first || to != last ||
            from < 0 || to < from || to >= total ||
            body != b.bytes.substr(static_cast<size_t>(from), static_cast<size_t>(to - from + 1)))
            mismatch("206 of " + b.digest + " range " + std::to_string(from) + "-" +
                     std::to_string(to) + "/" + std::to_string(total) + " gave " +
                     std::to_string(body.size()) + " bytes");
    }

    void print_summary() {
        std::string line;
        for (const auto &[name, value] : counters_)
            line += (line.empty() ? "" : " ") + name + "=" + std::to_string(value);
        printf("%s\n", line.c_str());
        fflush(stdout);
    }

    std::string root_;
    std::mt19937 rng_;
    std::vector<Blob> blobs_;
    std::vector<Manifest> manifests_;
    std::map<std::string, long> counters_;
};

int put_once(const std::string &root) {
    char go;
    if (fread(&go, 1, 1, stdin) != 1) return 2;
    if (reg_storage_init(root.c_str()) != 0) {
        fprintf(stderr, "init failed: %s\n", reg_storage_last_error());
        return 1;
    }
    auto blobs = make_blobs();
    const Manifest m = make_manifests(blobs)[0];
    char digest[REG_DIGEST_STRING_SIZE];
    if (reg_manifest_put(kRepos[0], kTags[0], m.body.data(), m.body.size(), nullptr, digest) != 0) {
        fprintf(stderr, "put failed: %s\n", reg_storage_last_error());
        return 1;
    }
    printf("%s\n", digest);
    return 0;
}

// The bytes that every commit-same worker uploads in round: a new blob
// each round, of a size that changes from round to round.
std::string commit_same_bytes(long round) {
    return testing_support::random_bytes(1 + static_cast<size_t>(round % 4) * 40000,
                                         static_cast<unsigned>(5000 + round));
}

// Marks worker index ready for round and waits until every worker is. A
// worker that is missing for a minute has failed elsewhere; this one gives
// up rather than hanging the test.
bool barrier(const std::string &dir, long round, long index, long count) {
    std::string prefix = dir + "/" + std::to_string(round) + "-";
    testing_support::write_whole_file(prefix + std::to_string(index), "");
    auto give_up = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    for (long other = 0; other < count; other++) {
        while (!testing_support::path_exists(prefix + std::to_string(other))) {
            if (std::chrono::steady_clock::now() > give_up) {
                fprintf(stderr, "round %ld: worker %ld never became ready\n", round, other);
                return false;
            }
            std::this_thread::yield();
        }
    }
    return true;
}

int commit_same(const std::string &root, const std::string &barrier_dir, long index, long count,
                long rounds) {
    if (reg_storage_init(root.c_str()) != 0) {
        fprintf(stderr, "init failed: %s\n", reg_storage_last_error());
        return 2;
    }
    int failures = 0;
    for (long round = 0; round < rounds; round++) {
        std::string bytes = commit_same_bytes(round);
        // Every other round commits its blob under a SHA-512 digest.
        std::string expected = round % 2 == 1
                                   ? "sha512:" + testing_support::reference_sha512_hex(bytes)
                                   : "sha256:" + reference_sha256_hex(bytes);
        char id[REG_UPLOAD_ID_SIZE];
        if (reg_blob_start_upload(id) != 0 ||
            reg_blob_append_chunk(id, bytes.data(), bytes.size()) != 0) {
            fprintf(stderr, "round %ld: upload failed: %s\n", round, reg_storage_last_error());
            return 1;
        }
        if (!barrier(barrier_dir, round, index, count)) return 1;
        char digest[REG_DIGEST_STRING_SIZE];
        if (reg_blob_finish_upload(id, expected.c_str(), digest) != 0) {
            fprintf(stderr, "round %ld: finish failed: %s\n", round, reg_storage_last_error());
            failures++;
        } else if (expected != digest) {
            fprintf(stderr, "round %ld: finish returned %s for %s\n", round, digest,
                    expected.c_str());
            failures++;
        }
        printf("%s\n", expected.c_str());
    }
    printf("rounds=%ld finish.fail=%d\n", rounds, failures);
    return failures == 0 ? 0 : 1;
}

// Waits until path exists; false after a minute, when the other worker
// has failed elsewhere.
bool wait_for(const std::string &path) {
    auto give_up = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (!testing_support::path_exists(path)) {
        if (std::chrono::steady_clock::now() > give_up) {
            fprintf(stderr, "%s never appeared\n", path.c_str());
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

// Writes a barrier file whole: a temporary, then a rename.
void publish(const std::string &path, const std::string &text) {
    testing_support::write_whole_file(path + ".tmp", text);
    std::error_code ec;
    std::filesystem::rename(path + ".tmp", path, ec);
}

// The text of a published barrier file once it has some. Under Wine a
// file may show its name before a read finds its bytes; an empty read is
// read again, for up to a minute.
std::string read_published(const std::string &path) {
    auto give_up = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    std::string text;
    while (wait_for(path) && (text = testing_support::read_whole_file(path)).empty() &&
           std::chrono::steady_clock::now() < give_up)
        std::this_thread::yield();
    return text;
}

int contend(const std::string &root, const std::string &dir, const std::string &role,
            long rounds) {
    if (reg_storage_init(root.c_str()) != 0) {
        fprintf(stderr, "init failed: %s\n", reg_storage_last_error());
        return 2;
    }
    const std::string chunk = testing_support::random_bytes(1000, 77);
    std::map<std::string, long> counts;
    long violations = 0;
    for (long round = 0; round < rounds; round++) {
        std::string at = dir + "/" + std::to_string(round);
        if (role == "append") {
            std::string id = read_published(at + ".id");
            if (id.empty()) return 1;
            publish(at + ".ready", "");
            if (!wait_for(at + ".go")) return 1;
            std::string outcome = "ok";
            if (reg_blob_append_chunk(id.c_str(), chunk.data(), chunk.size()) != 0)
                outcome = reg_storage_last_status() == REG_STATUS_NOT_FOUND
                              ? "gone"
                              : std::string("failed: ") + reg_storage_last_error();
            counts["append." + outcome.substr(0, outcome.find(':'))]++;
            publish(at + ".done", outcome);
            continue;
        }
        std::string bytes = testing_support::random_bytes(
            (1 + static_cast<size_t>(round % 4)) << 20, static_cast<unsigned>(9000 + round));
        std::string digest = "sha256:" + reference_sha256_hex(bytes);
        char id[REG_UPLOAD_ID_SIZE], out[REG_DIGEST_STRING_SIZE];
        if (reg_blob_start_upload(id) != 0 ||
            reg_blob_append_chunk(id, bytes.data(), bytes.size()) != 0) {
            fprintf(stderr, "round %ld: upload failed: %s\n", round, reg_storage_last_error());
            return 1;
        }
        publish(at + ".id", id);
        if (!wait_for(at + ".ready")) return 1;
        publish(at + ".go", "");
        int rc = reg_blob_finish_upload(id, digest.c_str(), out);
        reg_status status = reg_storage_last_status();
        std::string message = reg_storage_last_error();
        std::string appended = read_published(at + ".done");
        if (appended.empty()) return 1;
        std::string problem;
        if (rc == 0) {
            counts["finish.ok"]++;
            char path[4096];
            if (appended != "gone")
                problem = "the finish succeeded, and the append after it says " + appended;
            else if (reg_blob_get_filepath(digest.c_str(), path, sizeof path) != 0)
                problem = "the committed blob is not found";
            else if (testing_support::read_whole_file(path) != bytes)
                problem = "the committed blob does not hold its digest's bytes";
        } else if (status == REG_STATUS_INVALID_DIGEST) {
            counts["finish.mismatch"]++;
            if (appended != "ok")
                problem = "the digest differed, yet the append says " + appended;
        } else {
            problem = "the finish failed: " + message;
        }
        if (!problem.empty()) {
            fprintf(stderr, "round %ld: %s\n", round, problem.c_str());
            violations++;
        }
    }
    std::string line = "rounds=" + std::to_string(rounds) + " violations=" + std::to_string(violations);
    for (const auto &[name, value] : counts) line += " " + name + "=" + std::to_string(value);
    printf("%s\n", line.c_str());
    return violations == 0 ? 0 : 1;
}

int usage() {
    fprintf(stderr,
            "usage: store_worker ROOT store SEED OPS SECONDS\n"
            "       store_worker ROOT cgi SEED OPS SECONDS V2_BLOB\n"
            "       store_worker ROOT put-once\n"
            "       store_worker ROOT commit-same BARRIER INDEX COUNT ROUNDS\n"
            "       store_worker ROOT contend BARRIER finish|append ROUNDS\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 3 && strcmp(argv[2], "put-once") == 0) return put_once(argv[1]);
    if (argc == 7 && strcmp(argv[2], "commit-same") == 0)
        return commit_same(argv[1], argv[3], strtol(argv[4], nullptr, 10),
                           strtol(argv[5], nullptr, 10), strtol(argv[6], nullptr, 10));
    if (argc == 6 && strcmp(argv[2], "contend") == 0 &&
        (strcmp(argv[4], "finish") == 0 || strcmp(argv[4], "append") == 0))
        return contend(argv[1], argv[3], argv[4], strtol(argv[5], nullptr, 10));
    if (argc < 6) return usage();
    std::string mode = argv[2];
    if (mode != "store" && !(mode == "cgi" && argc == 7)) return usage();
    Worker worker(argv[1], static_cast<unsigned>(strtoul(argv[3], nullptr, 10)));
    return worker.run(mode, strtol(argv[4], nullptr, 10), strtod(argv[5], nullptr),
                      mode == "cgi" ? argv[6] : "");
}
