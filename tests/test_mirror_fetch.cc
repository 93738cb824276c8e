// The mirror's fetching against a scripted upstream on a loopback port: a
// table of what the upstream answers and what the fetch must come to, what
// the client's sink received and what the store holds afterwards.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "mirror/mirror.h"
#include "storage/reg_storage.h"
#include "tests/support/process.h"
#include "tests/support/storage_fixture.h"

namespace {

using testing_support::reference_sha256_hex;

// An HTTP/1.1 server on 127.0.0.1 that answers "<METHOD> <path>" with the
// scripted reply (raw bytes, headers and all) and closes the connection;
// 404 for what is not scripted. It records every request line.
class ScriptedUpstream {
  public:
    ScriptedUpstream() {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        socklen_t len = sizeof addr;
        getsockname(fd_, reinterpret_cast<sockaddr *>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        listen(fd_, 16);
        thread_ = std::thread([this] { serve(); });
    }
    ~ScriptedUpstream() {
        stop_ = true;
        shutdown(fd_, SHUT_RDWR);
        close(fd_);
        thread_.join();
    }
    int port() const { return port_; }
    void script(const std::string &request_line, const std::string &reply) {
        std::lock_guard<std::mutex> lock(mutex_);
        replies_[request_line] = reply;
    }
    std::vector<std::string> seen() {
        std::lock_guard<std::mutex> lock(mutex_);
        return seen_;
    }
    std::string last_headers() {
        std::lock_guard<std::mutex> lock(mutex_);
        return last_headers_;
    }

  private:
    void serve() {
        while (!stop_) {
            int c = accept(fd_, nullptr, nullptr);
            if (c < 0) return;
            std::string request;
            char buf[4096];
            while (request.find("\r\n\r\n") == std::string::npos) {
                ssize_t n = read(c, buf, sizeof buf);
                if (n <= 0) break;
                request.append(buf, static_cast<size_t>(n));
            }
            std::string line = request.substr(0, request.find(" HTTP/"));
            std::string reply = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
            {
                std::lock_guard<std::mutex> lock(mutex_);
                seen_.push_back(line);
                last_headers_ = request;
                auto it = replies_.find(line);
                if (it != replies_.end()) reply = it->second;
            }
            // A HEAD's reply carries no body, whatever the script says.
            size_t wrote = 0;
            while (wrote < reply.size()) {
                ssize_t n = write(c, reply.data() + wrote, reply.size() - wrote);
                if (n <= 0) break;
                wrote += static_cast<size_t>(n);
            }
            close(c);
        }
    }

    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::map<std::string, std::string> replies_;
    std::vector<std::string> seen_;
    std::string last_headers_;
};

std::string ok(const std::string &body, const std::string &extra = "") {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extra +
           "\r\n" + body;
}

const char kManifest[] =
    R"({"schemaVersion":2,"mediaType":"application/vnd.oci.image.manifest.v1+json",)"
    R"("config":{"mediaType":"application/vnd.oci.image.config.v1+json","digest":"sha256:)"
    "1111111111111111111111111111111111111111111111111111111111111111"
    R"(","size":2},"layers":[]})";
const char kType[] = "Content-Type: application/vnd.oci.image.manifest.v1+json\r\n";
const char kIndexType[] = "Content-Type: application/vnd.oci.image.index.v1+json\r\n";

class MirrorFetch : public testing_support::StorageRootTest {
  protected:
    void SetUp() override {
        StorageRootTest::SetUp();
        mirror_timeouts_set(2, 2);
        mirror_token_dir_set(root_.c_str());
        memset(&mirror_, 0, sizeof mirror_);
        snprintf(mirror_.prefix, sizeof mirror_.prefix, "hub/");
        snprintf(mirror_.upstream, sizeof mirror_.upstream, "http://127.0.0.1:%d", upstream_.port());
        mirror_.tag_ttl_seconds = 300;
    }
    ScriptedUpstream upstream_;
    mirror_entry mirror_;
};

struct ManifestCase {
    const char *what;
    const char *reference;  // "@" stands for the manifest's digest
    std::string head_reply;  // to HEAD /v2/app/manifests/<tag>
    std::string get_reply;   // to GET /v2/app/manifests/<digest>
    mirror_result result;
    bool stored;
};

TEST_F(MirrorFetch, ManifestTable) {
    const std::string body = kManifest;
    const std::string digest = "sha256:" + reference_sha256_hex(body);
    const std::string head_ok = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                                "\r\nDocker-Content-Digest: " + digest + "\r\n" + kType + "\r\n";
    const ManifestCase cases[] = {
        {"a tag: HEAD, then the body by digest", "v1", head_ok, ok(body, kType), MIRROR_OK, true},
        {"by digest", "@", "", ok(body, kType), MIRROR_OK, true},
        {"a body of another digest", "@", "", ok(body + " ", kType), MIRROR_BAD_REPLY, false},
        {"a body cut short", "@", "",
         "HTTP/1.1 200 OK\r\nContent-Length: 9999\r\n" + std::string(kType) + "\r\n" + body,
         MIRROR_UNREACHABLE, false},
        {"not a manifest", "@", "", ok(body, "Content-Type: text/plain\r\n"), MIRROR_BAD_REPLY, false},
        {"the tag is unknown upstream", "v1", "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n", "",
         MIRROR_NOT_FOUND, false},
        {"the upstream fails", "v1", "HTTP/1.1 503 Busy\r\nContent-Length: 0\r\n\r\n", "",
         MIRROR_UNREACHABLE, false},
        {"a login is asked and none configured", "v1",
         "HTTP/1.1 401 No\r\nWWW-Authenticate: Basic realm=\"r\"\r\nContent-Length: 0\r\n\r\n", "",
         MIRROR_UNREACHABLE, false},
        {"a challenge that does not parse", "v1",
         "HTTP/1.1 401 No\r\nWWW-Authenticate: Bearer realm=\"file:///x\"\r\nContent-Length: 0\r\n\r\n",
         "", MIRROR_UNREACHABLE, false},
        {"a tag outside the rule is not asked", "a#b", head_ok, "", MIRROR_NOT_FOUND, false},
        {"a malformed digest is not asked", "sha256:abc", head_ok, "", MIRROR_NOT_FOUND, false},
    };
    int n = 0;
    for (const ManifestCase &c : cases) {
        std::string repo = "hub/app" + std::to_string(n++);
        std::string reference = std::string(c.reference) == "@" ? digest : c.reference;
        upstream_.script("HEAD /v2/app/manifests/" + reference, c.head_reply);
        upstream_.script("GET /v2/app/manifests/" + digest, c.get_reply);
        size_t before = upstream_.seen().size();
        char err[MIRROR_ERROR_MAX] = "";
        EXPECT_EQ(mirror_sync_manifest(&mirror_, repo.c_str(), "app", reference.c_str(), err, sizeof err),
                  c.result)
            << c.what << ": " << err;
        char type[REG_CONTENT_TYPE_SIZE], got[REG_DIGEST_STRING_SIZE];
        const char *stored = reg_manifest_get(repo.c_str(), reference.c_str(), type, got);
        EXPECT_EQ(stored != nullptr, c.stored) << c.what;
        if (stored != nullptr) {
            EXPECT_EQ(std::string(stored), body) << c.what;
        }
        if (c.result == MIRROR_NOT_FOUND && c.head_reply == head_ok) {
            EXPECT_EQ(upstream_.seen().size(), before) << c.what << ": the upstream was asked";
        }
    }
}

TEST_F(MirrorFetch, TagWithinItsTtlAsksNothingAndAnUnchangedTagOnlyAHead) {
    const std::string body = kManifest;
    const std::string digest = "sha256:" + reference_sha256_hex(body);
    upstream_.script("HEAD /v2/app/manifests/v1",
                     "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nDocker-Content-Digest: " + digest + "\r\n\r\n");
    upstream_.script("GET /v2/app/manifests/" + digest, ok(body, kType));
    char err[MIRROR_ERROR_MAX];
    ASSERT_EQ(mirror_sync_manifest(&mirror_, "hub/app", "app", "v1", err, sizeof err), MIRROR_OK) << err;
    EXPECT_EQ(upstream_.seen().size(), 2u);
    ASSERT_EQ(mirror_sync_manifest(&mirror_, "hub/app", "app", "v1", err, sizeof err), MIRROR_OK) << err;
    EXPECT_EQ(upstream_.seen().size(), 2u) << "asked within the TTL";
    mirror_.tag_ttl_seconds = 0;
    ASSERT_EQ(mirror_sync_manifest(&mirror_, "hub/app", "app", "v1", err, sizeof err), MIRROR_OK) << err;
    std::vector<std::string> seen = upstream_.seen();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[2], "HEAD /v2/app/manifests/v1");
}

TEST_F(MirrorFetch, BearerChallengeFetchesATokenWithTheLoginAndRetries) {
    testing_support::ScratchDir dir;
    std::string pass = dir / "pass";
    FILE *f = fopen(pass.c_str(), "w");
    fputs("s3cret\n", f);
    fclose(f);
    snprintf(mirror_.username, sizeof mirror_.username, "reader");
    snprintf(mirror_.password_file, sizeof mirror_.password_file, "%s", pass.c_str());
    const std::string body = kManifest;
    const std::string digest = "sha256:" + reference_sha256_hex(body);
    std::string realm = "http://127.0.0.1:" + std::to_string(upstream_.port()) + "/token";
    upstream_.script("GET /v2/app/manifests/" + digest,
                     "HTTP/1.1 401 No\r\nWWW-Authenticate: Bearer realm=\"" + realm +
                         "\",service=\"svc\",scope=\"repository:app:pull\"\r\nContent-Length: 0\r\n\r\n");
    upstream_.script("GET /token?service=svc&scope=repository%3Aapp%3Apull",
                     ok(R"({"token":"abc.def","expires_in":300})", "Content-Type: application/json\r\n"));
    char err[MIRROR_ERROR_MAX] = "";
    // The scripted upstream answers 401 to every try: the fetch asks for a
    // token once, retries once with it, and gives up.
    EXPECT_EQ(mirror_sync_manifest(&mirror_, "hub/app", "app", digest.c_str(), err, sizeof err),
              MIRROR_UNREACHABLE);
    std::vector<std::string> seen = upstream_.seen();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[1], "GET /token?service=svc&scope=repository%3Aapp%3Apull");
    EXPECT_NE(upstream_.last_headers().find("Authorization: Bearer abc.def\r\n"), std::string::npos)
        << upstream_.last_headers();
    // The token is reused by the next fetch, without asking the realm again.
    upstream_.script("GET /v2/app/manifests/" + digest, ok(body, kType));
    EXPECT_EQ(mirror_sync_manifest(&mirror_, "hub/app", "app", digest.c_str(), err, sizeof err),
              MIRROR_OK)
        << err;
    seen = upstream_.seen();
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[3], "GET /v2/app/manifests/" + digest);
}

struct Sink {
    int64_t size = -2;
    std::string bytes;
    const char *digest = nullptr;
    // -1: end not called; else whether the store held the blob at the end.
    int stored_at_end = -1;
    static void end(void *cookie) {
        Sink *s = static_cast<Sink *>(cookie);
        s->stored_at_end = reg_blob_exists(s->digest);
    }
    static int begin(void *cookie, int64_t size) {
        static_cast<Sink *>(cookie)->size = size;
        return 0;
    }
    static int write(void *cookie, const void *data, size_t len) {
        static_cast<Sink *>(cookie)->bytes.append(static_cast<const char *>(data), len);
        return 0;
    }
};

TEST_F(MirrorFetch, BlobTable) {
    const std::string blob(200000, 'b');
    std::string wrong = blob;
    wrong[100000] = 'X';
    // A blob of several pieces as the fetch gathers them (1 MiB).
    std::string large(5 * 1024 * 1024 / 2, 'L');
    for (size_t i = 0; i < large.size(); i += 4093) large[i] = static_cast<char>('a' + i % 26);
    std::string large_wrong = large;
    large_wrong[10] ^= 1;
    struct Case {
        const char *what;
        const std::string *expected;  // the blob fetched, by its digest
        std::string reply;
        int with_body;
        mirror_result result;
        int64_t sink_size;  // -2: begin not called
        bool stored;
        bool ended;  // the client's reply was ended (before the commit)
    } cases[] = {
        {"the whole blob", &blob, ok(blob), 1, MIRROR_OK, static_cast<int64_t>(blob.size()), true, true},
        {"a blob of several pieces", &large, ok(large), 1, MIRROR_OK,
         static_cast<int64_t>(large.size()), true, true},
        {"a HEAD tells the size and stores nothing", &blob, ok(blob), 0, MIRROR_OK,
         static_cast<int64_t>(blob.size()), false, false},
        {"a wrong byte", &blob, ok(wrong), 1, MIRROR_BAD_REPLY, static_cast<int64_t>(blob.size()),
         false, false},
        {"a wrong byte in the first of several pieces", &large, ok(large_wrong), 1, MIRROR_BAD_REPLY,
         static_cast<int64_t>(large.size()), false, false},
        {"cut short", &blob,
         "HTTP/1.1 200 OK\r\nContent-Length: 200000\r\n\r\n" + blob.substr(0, 1000), 1,
         MIRROR_UNREACHABLE, static_cast<int64_t>(blob.size()), false, false},
        {"not there", &blob, "HTTP/1.1 404 Not Found\r\nContent-Length: 3\r\n\r\nno\n", 1,
         MIRROR_NOT_FOUND, -2, false, false},
        {"a 500 with a body", &blob, "HTTP/1.1 500 Oops\r\nContent-Length: 5\r\n\r\noops\n", 1,
         MIRROR_UNREACHABLE, -2, false, false},
    };
    for (const Case &c : cases) {
        const std::string digest = "sha256:" + reference_sha256_hex(*c.expected);
        reg_blob_delete(digest.c_str());
        upstream_.script(std::string(c.with_body ? "GET" : "HEAD") + " /v2/app/blobs/" + digest, c.reply);
        Sink sink;
        sink.digest = digest.c_str();
        mirror_blob_sink s = {&sink, Sink::begin, Sink::write, Sink::end};
        char err[MIRROR_ERROR_MAX] = "";
        EXPECT_EQ(mirror_fetch_blob(&mirror_, "app", digest.c_str(), c.with_body, &s, err, sizeof err),
                  c.result)
            << c.what << ": " << err;
        EXPECT_EQ(sink.size, c.sink_size) << c.what;
        if (c.result == MIRROR_OK && c.with_body) {
            EXPECT_EQ(sink.bytes, *c.expected) << c.what;
        } else {
            // A blob that failed reaches the client short, never whole.
            EXPECT_LT(sink.bytes.size(), c.expected->size()) << c.what;
        }
        if (c.sink_size == -2) {
            EXPECT_TRUE(sink.bytes.empty()) << c.what << ": a refusal's body reached the client";
        }
        EXPECT_EQ(reg_blob_exists(digest.c_str()), c.stored ? 1 : 0) << c.what;
        // The reply ends once the bytes are good, before they are durable.
        EXPECT_EQ(sink.stored_at_end, c.ended ? 0 : -1) << c.what;
    }
}

TEST_F(MirrorFetch, AnUpstreamThatIsNotThereIsUnreachable) {
    // A port that was free a moment ago: nothing listens there.
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
    close(fd);
    snprintf(mirror_.upstream, sizeof mirror_.upstream, "http://127.0.0.1:%d", ntohs(addr.sin_port));
    char err[MIRROR_ERROR_MAX] = "";
    EXPECT_EQ(mirror_sync_manifest(&mirror_, "hub/app", "app", "v1", err, sizeof err), MIRROR_UNREACHABLE);
    EXPECT_NE(std::string(err), "");
}

// A referrer of subject: an artifact manifest whose subject is that digest.
std::string referrer_of(const std::string &subject, const std::string &subject_body) {
    return R"({"schemaVersion":2,"mediaType":"application/vnd.oci.image.manifest.v1+json",)"
           R"("artifactType":"application/x-signature",)"
           R"("config":{"mediaType":"application/vnd.oci.empty.v1+json","digest":"sha256:)"
           "44136fa355b3678a1146ad16f7e8649e94fb4fc21fe77e8310c060f61caaff8a"
           R"(","size":2},"layers":[],"subject":{"mediaType":"application/vnd.oci.image.manifest.v1+json",)"
           R"("digest":")" +
           subject + R"(","size":)" + std::to_string(subject_body.size()) + "}}";
}

std::string index_of(const std::vector<std::string> &digests) {
    std::string out = R"({"schemaVersion":2,"mediaType":"application/vnd.oci.image.index.v1+json","manifests":[)";
    for (size_t i = 0; i < digests.size(); i++) {
        if (i > 0) out += ",";
        out += R"({"mediaType":"application/vnd.oci.image.manifest.v1+json","size":10,"digest":")" +
               digests[i] + R"(","artifactType":"application/x-signature"})";
    }
    return out + "]}";
}

TEST_F(MirrorFetch, ReferrersTable) {
    const std::string subject_body = kManifest;
    const std::string subject = "sha256:" + reference_sha256_hex(subject_body);
    const std::string ref = referrer_of(subject, subject_body);
    const std::string ref_digest = "sha256:" + reference_sha256_hex(ref);
    const std::string tag_schema = "sha256-" + subject.substr(7);
    const std::string listed = ok(index_of({ref_digest}), kIndexType);
    const std::string missing = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
    const std::string busy = "HTTP/1.1 503 Busy\r\nContent-Length: 0\r\n\r\n";
    struct Case {
        const char *what;
        const char *artifact_type;
        std::string list_reply;  // to GET /v2/app/referrers/<subject>[?artifactType=...]
        std::string tag_reply;   // to GET /v2/app/manifests/sha256-<hex>
        std::string ref_reply;   // to GET /v2/app/manifests/<referrer>
        bool held_before;        // the mirror holds the referrer already
        mirror_result result;
        bool listed_after;       // the store's referrers of subject name it
        bool referrer_asked;
    } cases[] = {
        {"the upstream's list", "", listed, "", ok(ref, kType), false, MIRROR_OK, true, true},
        {"the filter is passed on", "application/x-signature", listed, "", ok(ref, kType), false,
         MIRROR_OK, true, true},
        {"no list: the tag schema's index", "", missing, listed, ok(ref, kType), false, MIRROR_OK,
         true, true},
        {"neither list", "", missing, missing, ok(ref, kType), false, MIRROR_NOT_FOUND, false, false},
        {"the upstream fails", "", busy, listed, ok(ref, kType), false, MIRROR_UNREACHABLE, false,
         false},
        {"a list that is not an index", "", ok("[1,2]", kIndexType), "", ok(ref, kType), false,
         MIRROR_BAD_REPLY, false, false},
        {"a referrer of another digest is left out", "", listed, "", ok(ref + " ", kType), false,
         MIRROR_OK, false, true},
        {"a malformed listed digest is skipped", "",
         ok(index_of({"sha256:../../x", ref_digest}), kIndexType), "", ok(ref, kType), false,
         MIRROR_OK, true, true},
        {"a referrer held already is not fetched", "", listed, "", busy, true, MIRROR_OK, true,
         false},
        {"a filter with a blank is not asked", "a b", listed, "", ok(ref, kType), false,
         MIRROR_NOT_FOUND, false, false},
    };
    int n = 0;
    for (const Case &c : cases) {
        std::string repo = "hub/refs" + std::to_string(n++);
        std::string list_line = "GET /v2/app/referrers/" + subject;
        if (c.artifact_type[0] != '\0') list_line += "?artifactType=application%2Fx-signature";
        upstream_.script(list_line, c.list_reply);
        upstream_.script("GET /v2/app/manifests/" + tag_schema, c.tag_reply);
        upstream_.script("GET /v2/app/manifests/" + ref_digest, c.ref_reply);
        if (c.held_before) {
            char stored[REG_DIGEST_STRING_SIZE];
            ASSERT_EQ(reg_manifest_put_fetched(repo.c_str(), ref_digest.c_str(), ref.data(), ref.size(),
                                               "application/vnd.oci.image.manifest.v1+json",
                                               ref_digest.c_str(), stored),
                      0)
                << c.what << ": " << reg_storage_last_error();
        }
        size_t before = upstream_.seen().size();
        char err[MIRROR_ERROR_MAX] = "";
        EXPECT_EQ(mirror_sync_referrers(&mirror_, repo.c_str(), "app", subject.c_str(),
                                        c.artifact_type, err, sizeof err),
                  c.result)
            << c.what << ": " << err;
        const char *doc = reg_referrers_json(repo.c_str(), subject.c_str(), "");
        ASSERT_NE(doc, nullptr) << c.what << ": " << reg_storage_last_error();
        EXPECT_EQ(std::string(doc).find(ref_digest) != std::string::npos, c.listed_after)
            << c.what << ": " << doc;
        std::vector<std::string> seen = upstream_.seen();
        bool asked = false;
        for (size_t i = before; i < seen.size(); i++) {
            if (seen[i] == "GET /v2/app/manifests/" + ref_digest) asked = true;
            EXPECT_EQ(seen[i].find(".."), std::string::npos) << c.what << ": asked " << seen[i];
        }
        EXPECT_EQ(asked, c.referrer_asked) << c.what;
        if (std::string(c.artifact_type) == "a b") {
            EXPECT_EQ(seen.size(), before) << c.what << ": the upstream was asked";
        }
    }
}

// A child of a cached index, asked by digest, is fetched then.
TEST_F(MirrorFetch, IndexChildByDigestIsFetchedWhenAsked) {
    const std::string child = kManifest;
    const std::string child_digest = "sha256:" + reference_sha256_hex(child);
    const std::string index = index_of({child_digest});
    const std::string index_digest = "sha256:" + reference_sha256_hex(index);
    upstream_.script("HEAD /v2/app/manifests/multi",
                     "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nDocker-Content-Digest: " + index_digest +
                         "\r\n" + kIndexType + "\r\n");
    upstream_.script("GET /v2/app/manifests/" + index_digest, ok(index, kIndexType));
    upstream_.script("GET /v2/app/manifests/" + child_digest, ok(child, kType));
    char err[MIRROR_ERROR_MAX] = "";
    ASSERT_EQ(mirror_sync_manifest(&mirror_, "hub/app", "app", "multi", err, sizeof err), MIRROR_OK)
        << err;
    char type[REG_CONTENT_TYPE_SIZE], got[REG_DIGEST_STRING_SIZE];
    EXPECT_EQ(reg_manifest_get("hub/app", child_digest.c_str(), type, got), nullptr)
        << "the child was fetched with its index";
    ASSERT_EQ(mirror_sync_manifest(&mirror_, "hub/app", "app", child_digest.c_str(), err, sizeof err),
              MIRROR_OK)
        << err;
    const char *stored = reg_manifest_get("hub/app", child_digest.c_str(), type, got);
    ASSERT_NE(stored, nullptr);
    EXPECT_EQ(std::string(stored), child);
}

}  // namespace
