// Streaming a blob's bytes: the kernel transfer into pipes and sockets and
// the copy into anything else must put the same bytes out, for the platform
// function on its own and for the endpoint run as a process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "tests/support/cgi_replies.h"
#include "tests/support/process.h"

using testing_support::blob_headers;
using testing_support::random_bytes;
using testing_support::read_whole_file;
using testing_support::reference_sha256_hex;
using testing_support::run_process;
using testing_support::ScratchDir;
using testing_support::write_whole_file;

namespace {

// The three kinds of standard output a CGI program meets.
enum class Sink { kPipe, kSocket, kFile };

const char *sink_name(Sink s) {
    switch (s) {
        case Sink::kPipe: return "pipe";
        case Sink::kSocket: return "socket";
        case Sink::kFile: return "file";
    }
    return "?";
}

// Both ends of one output channel: write_fd for the sender, read_fd (pipe
// and socket) or path (file) for whoever checks what arrived.
struct Channel {
    int write_fd = -1;
    int read_fd = -1;
    std::string path;

    Channel(Sink sink, const ScratchDir &dir) {
        int fds[2];
        switch (sink) {
            case Sink::kPipe:
                if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
                read_fd = fds[0];
                write_fd = fds[1];
                break;
            case Sink::kSocket:
                if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
                    throw std::runtime_error("socketpair failed");
                read_fd = fds[0];
                write_fd = fds[1];
                break;
            case Sink::kFile:
                path = dir / "out";
                write_fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                if (write_fd < 0) throw std::runtime_error("open failed");
                break;
        }
    }
    ~Channel() {
        close_writer();
        if (read_fd >= 0) close(read_fd);
    }
    Channel(const Channel &) = delete;
    Channel &operator=(const Channel &) = delete;

    void close_writer() {
        if (write_fd >= 0) close(write_fd);
        write_fd = -1;
    }
};

// Reads everything from fd until its writer closes, on its own thread, so
// that a sender may write more than a pipe or socket buffer holds.
class Drain {
  public:
    explicit Drain(int fd) : thread_([this, fd] {
        char buf[65536];
        for (;;) {
            ssize_t n = read(fd, buf, sizeof buf);
            if (n > 0) {
                bytes_.append(buf, static_cast<size_t>(n));
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else {
                break;
            }
        }
    }) {}
    std::string finish() {
        thread_.join();
        return bytes_;
    }

  private:
    std::string bytes_;
    std::thread thread_;
};

// What one call of plat_send_file_range did: its result and what arrived.
struct SendOutcome {
    int64_t result;
    std::string received;
};

// Sends [offset, offset+count) of the file at in_path into a fresh channel
// of kind sink; prefix is written through the output stream's buffer first
// and must arrive in front of the body.
SendOutcome send_range(Sink sink, const std::string &in_path, int64_t offset, int64_t count,
                       const std::string &prefix = "") {
    ScratchDir dir;
    Channel ch(sink, dir);
    FILE *in = fopen(in_path.c_str(), "rb");
    if (in == nullptr) throw std::runtime_error("cannot open " + in_path);
    FILE *out = fdopen(dup(ch.write_fd), "wb");
    ch.close_writer();
    Drain *drain = ch.read_fd >= 0 ? new Drain(ch.read_fd) : nullptr;
    fputs(prefix.c_str(), out);
    SendOutcome o;
    o.result = plat_send_file_range(in, offset, count, out);
    fclose(out);
    fclose(in);
    if (drain != nullptr) {
        o.received = drain->finish();
        delete drain;
    } else {
        o.received = read_whole_file(ch.path);
    }
    return o;
}

class SendFileRange : public ::testing::TestWithParam<Sink> {
  protected:
    std::string place(const std::string &data) {
        std::string path = dir_ / "blob";
        write_whole_file(path, data);
        return path;
    }
    ScratchDir dir_;
};

TEST_P(SendFileRange, SendsTheAskedBytesIntoPipesAndSocketsAndRefusesOtherOutputs) {
    const Sink sink = GetParam();
    const std::string data = random_bytes(300000, 11);
    const std::string path = place(data);
    struct Case {
        const char *what;
        int64_t offset, count;
        size_t expect_len;  // bytes that exist in the range: the file may end first
    } cases[] = {
        {"whole file", 0, 300000, 300000},
        {"start past 0", 1234, 5000, 5000},
        {"more than 64 KiB from an odd offset", 65537, 200001, 200001},
        {"nothing asked", 10, 0, 0},
        {"file shorter than the count", 299000, 5000, 1000},
        {"offset at the end", 300000, 10, 0},
        {"offset past the end", 400000, 10, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(sink_name(sink)) + ": " + c.what);
        SendOutcome o = send_range(sink, path, c.offset, c.count, "head\r\n\r\n");
        if (sink == Sink::kFile) {
            // Not served by the kernel path: nothing sent, the buffered
            // prefix still in the stream (written at its close).
            EXPECT_EQ(o.result, -1);
            EXPECT_EQ(o.received, "head\r\n\r\n");
            continue;
        }
        EXPECT_EQ(o.result, static_cast<int64_t>(c.expect_len));
        std::string expected = "head\r\n\r\n";
        if (c.expect_len > 0) expected += data.substr(static_cast<size_t>(c.offset), c.expect_len);
        EXPECT_TRUE(o.received == expected)
            << "received " << o.received.size() << " bytes, expected " << expected.size();
    }
}

TEST_P(SendFileRange, EmptyFile) {
    const Sink sink = GetParam();
    SendOutcome o = send_range(sink, place(""), 0, 1);
    EXPECT_EQ(o.result, sink == Sink::kFile ? -1 : 0);
    EXPECT_EQ(o.received, "");
}

INSTANTIATE_TEST_SUITE_P(Outputs, SendFileRange,
                         ::testing::Values(Sink::kPipe, Sink::kSocket, Sink::kFile),
                         [](const ::testing::TestParamInfo<Sink> &i) {
                             return std::string(sink_name(i.param));
                         });

TEST(SendFileRangeRefusals, InputThatIsNotARegularFileIsLeftToTheCaller) {
    int in_pipe[2], out_pipe[2];
    ASSERT_EQ(pipe(in_pipe), 0);
    ASSERT_EQ(pipe(out_pipe), 0);
    ASSERT_EQ(write(in_pipe[1], "abc", 3), 3);
    FILE *in = fdopen(in_pipe[0], "rb");
    FILE *out = fdopen(out_pipe[1], "wb");
    EXPECT_EQ(plat_send_file_range(in, 0, 3, out), -1);
    fclose(in);
    fclose(out);
    char buf[8];
    EXPECT_EQ(read(out_pipe[0], buf, sizeof buf), 0);  // nothing was written
    close(in_pipe[1]);
    close(out_pipe[0]);
}

TEST(SendFileRangeRefusals, NegativeOffsetOrCountIsRefused) {
    ScratchDir dir;
    write_whole_file(dir / "f", "abc");
    FILE *in = fopen((dir / "f").c_str(), "rb");
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    FILE *out = fdopen(fds[1], "wb");
    EXPECT_EQ(plat_send_file_range(in, -1, 3, out), -1);
    EXPECT_EQ(plat_send_file_range(in, 0, -1, out), -1);
    fclose(in);
    fclose(out);
    char buf[8];
    EXPECT_EQ(read(fds[0], buf, sizeof buf), 0);
    close(fds[0]);
}

// An output left in non-blocking mode fills up at once when its reader is
// slow; the transfer waits for room instead of losing bytes.
TEST(SendFileRangeNonBlocking, WaitsForRoomInAFullNonBlockingPipe) {
    ScratchDir dir;
    const std::string data = random_bytes(1 << 20, 5);
    write_whole_file(dir / "f", data);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(fcntl(fds[1], F_SETFL, fcntl(fds[1], F_GETFL) | O_NONBLOCK), 0);
    std::string received;
    std::thread reader([&] {
        char buf[4096];
        for (;;) {
            // A slow reader: the pipe is full most of the time.
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            ssize_t n = read(fds[0], buf, sizeof buf);
            if (n > 0) received.append(buf, static_cast<size_t>(n));
            else if (n == 0 || errno != EINTR) break;
        }
    });
    FILE *in = fopen((dir / "f").c_str(), "rb");
    FILE *out = fdopen(fds[1], "wb");
    EXPECT_EQ(plat_send_file_range(in, 0, static_cast<int64_t>(data.size()), out),
              static_cast<int64_t>(data.size()));
    fclose(in);
    fclose(out);
    reader.join();
    close(fds[0]);
    EXPECT_TRUE(received == data) << "received " << received.size() << " bytes";
}

// A reader that goes away ends the transfer early instead of failing it or
// spinning; what was sent is counted.
TEST(SendFileRangeNonBlocking, StopsWhenTheReaderGoesAway) {
    ScratchDir dir;
    write_whole_file(dir / "f", random_bytes(1 << 20, 6));
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);
    struct sigaction ignore = {}, old = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &old);
    FILE *in = fopen((dir / "f").c_str(), "rb");
    FILE *out = fdopen(fds[1], "wb");
    EXPECT_EQ(plat_send_file_range(in, 0, 1 << 20, out), 0);
    fclose(in);
    fclose(out);
    sigaction(SIGPIPE, &old, nullptr);
}

// ---- the endpoint as a process, with each kind of standard output -------

// Runs the blob endpoint with env and its standard output on a channel of
// kind sink; returns everything it wrote there.
std::string run_endpoint(Sink sink, const std::map<std::string, std::string> &env,
                         const std::string &cwd) {
    ScratchDir dir;
    Channel ch(sink, dir);
    std::vector<std::string> env_text;
    for (const auto &[k, v] : env) env_text.push_back(k + "=" + v);
    std::vector<char *> envp;
    for (auto &e : env_text) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string prog = V2_BLOB_PATH;
    char *argv[] = {prog.data(), nullptr};
    int devnull = open("/dev/null", O_RDWR);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(devnull, 0);
        dup2(ch.write_fd, 1);
        if (chdir(cwd.c_str()) != 0) _exit(126);
        execve(prog.c_str(), argv, envp.data());
        _exit(127);
    }
    close(devnull);
    ch.close_writer();
    std::string out;
    if (ch.read_fd >= 0) {
        Drain drain(ch.read_fd);
        out = drain.finish();
    }
    testing_support::ChildEnd end = testing_support::wait_for_child(pid);
    EXPECT_TRUE(end.exited && end.code == 0) << "status " << end.status();
    if (sink == Sink::kFile) out = read_whole_file(ch.path);
    return out;
}

class EndpointOutputs : public ::testing::Test {
  protected:
    std::string place_blob(const std::string &data) {
        std::string hex = reference_sha256_hex(data);
        std::string fan = root() + "/blobs/sha256/" + hex.substr(0, 2);
        for (const std::string &d : {root(), root() + "/blobs", root() + "/blobs/sha256", fan})
            mkdir(d.c_str(), 0777);
        write_whole_file(fan + "/" + hex, data);
        return "sha256:" + hex;
    }
    std::string root() const { return dir_ / "root"; }
    std::string get(Sink sink, const std::string &digest, const std::string &range) {
        std::map<std::string, std::string> env = {{"REGISTRY_STORAGE_ROOT", root()},
                                                  {"REQUEST_METHOD", "GET"},
                                                  {"PATH_INFO", "/v2/lib/x/blobs/" + digest}};
        if (!range.empty()) env["HTTP_RANGE"] = range;
        return run_endpoint(sink, env, dir_.path());
    }
    ScratchDir dir_;
};

// The kernel path (pipe, socket) and the copy (regular file) give the same
// reply, byte for byte, and that reply is the expected one.
TEST_F(EndpointOutputs, EveryKindOfOutputGetsTheSameReply) {
    struct Blob {
        const char *what;
        size_t size;
    } blobs[] = {{"empty", 0}, {"small", 100}, {"several 64 KiB chunks", 200000}};
    struct Range {
        const char *header;
        int64_t first, last;  // -1: the whole blob with status 200
    } ranges[] = {{"", -1, -1},
                  {"bytes=0-", 0, -2},
                  {"bytes=10-", 10, -2},
                  {"bytes=70000-150000", 70000, 150000},
                  {"bytes=5-5", 5, 5}};
    for (const Blob &b : blobs) {
        const std::string data = random_bytes(b.size, static_cast<unsigned>(b.size) + 1);
        const std::string digest = place_blob(data);
        const int64_t size = static_cast<int64_t>(b.size);
        for (const Range &r : ranges) {
            std::string expected;
            if (r.first < 0) {
                expected = "Status: 200 OK\r\n" + blob_headers(digest, data.size()) + data;
            } else {
                int64_t last = r.last == -2 || r.last >= size ? size - 1 : r.last;
                if (r.first > last) continue;  // 416: no body to stream
                expected = "Status: 206 Partial Content\r\nContent-Range: bytes " +
                           std::to_string(r.first) + "-" + std::to_string(last) + "/" +
                           std::to_string(size) + "\r\n" +
                           blob_headers(digest, static_cast<size_t>(last - r.first + 1)) +
                           data.substr(static_cast<size_t>(r.first),
                                       static_cast<size_t>(last - r.first + 1));
            }
            for (Sink sink : {Sink::kPipe, Sink::kSocket, Sink::kFile}) {
                SCOPED_TRACE(std::string(b.what) + ", range '" + r.header + "', " +
                             sink_name(sink));
                std::string got = get(sink, digest, r.header);
                EXPECT_TRUE(got == expected)
                    << "got " << got.size() << " bytes, expected " << expected.size();
            }
        }
    }
}

// A FIFO standing where a blob file belongs is answered at once instead of
// holding the request while open() waits for a writer, and like anything
// else that is no regular file there, it is no blob.
TEST_F(EndpointOutputs, FifoInPlaceOfABlobFileIsUnknownAtOnce) {
    const std::string digest = place_blob("fifo");
    const std::string hex = digest.substr(7);
    const std::string file = root() + "/blobs/sha256/" + hex.substr(0, 2) + "/" + hex;
    ASSERT_EQ(unlink(file.c_str()), 0);
    ASSERT_EQ(mkfifo(file.c_str(), 0644), 0);
    auto r = run_process(V2_BLOB_PATH, {},
                         {{"REGISTRY_STORAGE_ROOT", root()},
                          {"REQUEST_METHOD", "GET"},
                          {"PATH_INFO", "/v2/lib/x/blobs/" + digest}},
                         dir_.path());
    EXPECT_EQ(r.out,
              "Status: 404\r\nDocker-Distribution-API-Version: registry/2.0\r\n"
              "Content-Type: application/json; charset=utf-8\r\n\r\n"
              "{\"errors\":[{\"code\":\"BLOB_UNKNOWN\",\"message\":\"blob unknown to "
              "registry\"}]}\n");
}

}  // namespace
