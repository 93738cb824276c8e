// The FastCGI server side for tests, over a Unix socket.
#include "tests/support/fastcgi.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "tests/support/process.h"

namespace testing_support {

namespace {

enum RecordType : unsigned char {
    kBeginRequest = 1,
    kEndRequest = 3,
    kParams = 4,
    kStdin = 5,
    kStdout = 6,
    kStderr = 7,
};

constexpr int kRequestId = 1;

void append_record(std::string &wire, unsigned char type, const std::string &content) {
    unsigned char head[8] = {1,
                             type,
                             0,
                             kRequestId,
                             static_cast<unsigned char>(content.size() >> 8),
                             static_cast<unsigned char>(content.size() & 0xff),
                             0,
                             0};
    wire.append(reinterpret_cast<const char *>(head), sizeof head);
    wire += content;
}

void append_length(std::string &out, size_t length) {
    if (length < 128) {
        out += static_cast<char>(length);
        return;
    }
    out += static_cast<char>(0x80 | ((length >> 24) & 0x7f));
    out += static_cast<char>((length >> 16) & 0xff);
    out += static_cast<char>((length >> 8) & 0xff);
    out += static_cast<char>(length & 0xff);
}

// content split into records of type of at most 65535 bytes, then the empty
// record that ends the stream.
void append_stream(std::string &wire, unsigned char type, const std::string &content) {
    for (size_t at = 0; at < content.size(); at += 65535)
        append_record(wire, type, content.substr(at, 65535));
    append_record(wire, type, "");
}

bool write_all(int fd, const std::string &data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

sockaddr_un socket_address(const std::string &path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) throw std::runtime_error("socket path too long");
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

}  // namespace

FastcgiResponder::FastcgiResponder(const std::string &program,
                                   const std::map<std::string, std::string> &env) {
    char folder[] = "/tmp/fastcgi-test.XXXXXX";
    if (mkdtemp(folder) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = folder;
    socket_path_ = dir_ + "/responder.sock";
    stderr_path_ = dir_ + "/stderr";
    int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address = socket_address(socket_path_);
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        listen(listener, 16) != 0)
        throw std::runtime_error("cannot listen on " + socket_path_);
    std::vector<std::string> entries;
    for (const auto &[name, value] : env) entries.push_back(name + "=" + value);
    std::vector<char *> envp;
    for (auto &entry : entries) envp.push_back(entry.data());
    envp.push_back(nullptr);
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        dup2(listener, 0);
        if (listener != 0) close(listener);
        int err = open(stderr_path_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (err >= 0 && err != 2) {
            dup2(err, 2);
            close(err);
        }
        char *argv[] = {const_cast<char *>(program.c_str()), nullptr};
        execve(program.c_str(), argv, envp.data());
        _exit(127);
    }
    close(listener);
}

FastcgiResponder::~FastcgiResponder() {
    stop();
    unlink(socket_path_.c_str());
    unlink(stderr_path_.c_str());
    rmdir(dir_.c_str());
}

int FastcgiResponder::stop() {
    if (pid_ <= 0) return -1;
    kill(pid_, SIGUSR1);
    ChildEnd end;
    bool running = true;
    for (int i = 0; i < 1000 && (running = child_running(pid_, &end)); i++) usleep(10000);
    if (running) {
        kill(pid_, SIGKILL);
        end = wait_for_child(pid_);
    }
    pid_ = -1;
    return end.status();
}

bool FastcgiResponder::alive() const {
    if (pid_ <= 0) return false;
    return child_running(pid_, nullptr);
}

int FastcgiResponder::open_files() const {
    std::string folder = "/proc/" + std::to_string(pid_) + "/fd";
    DIR *d = opendir(folder.c_str());
    if (d == nullptr) return -1;
    int count = 0;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        char target[256];
        ssize_t n = readlink((folder + "/" + e->d_name).c_str(), target, sizeof target - 1);
        if (n < 0) continue;
        target[n] = '\0';
        if (strncmp(target, "socket:", 7) != 0) count++;
    }
    closedir(d);
    return count;
}

namespace {

// Connects to the responder and sends one whole request; the connection, or
// -1.
int send_request(const std::string &socket_path, const std::map<std::string, std::string> &params,
                 const std::string &body) {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address = socket_address(socket_path);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    std::string wire;
    // Role 1 (responder); flags 0: the responder closes the connection.
    append_record(wire, kBeginRequest, std::string("\0\1\0\0\0\0\0\0", 8));
    std::string pairs;
    for (const auto &[name, value] : params) {
        append_length(pairs, name.size());
        append_length(pairs, value.size());
        pairs += name;
        pairs += value;
    }
    append_stream(wire, kParams, pairs);
    append_stream(wire, kStdin, body);
    // The reply may begin before the whole body is written (an early error
    // reply); a responder that stops reading ends the write early.
    signal(SIGPIPE, SIG_IGN);
    write_all(fd, wire);
    return fd;
}

}  // namespace

void FastcgiResponder::abandon(const std::map<std::string, std::string> &params, size_t keep) {
    int fd = send_request(socket_path_, params, "");
    if (fd < 0) return;
    std::vector<char> buffer(keep > 0 ? keep : 1);
    size_t got = 0;
    while (got < keep) {
        ssize_t n = read(fd, buffer.data() + got, keep - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    close(fd);
}

FastcgiReply FastcgiResponder::request(const std::map<std::string, std::string> &params,
                                       const std::string &body) {
    FastcgiReply reply;
    int fd = send_request(socket_path_, params, body);
    if (fd < 0) return reply;
    std::string in;
    char buffer[65536];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        in.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    size_t at = 0;
    while (at + 8 <= in.size()) {
        const auto *head = reinterpret_cast<const unsigned char *>(in.data() + at);
        size_t length = (static_cast<size_t>(head[4]) << 8) | head[5];
        size_t padding = head[6];
        if (at + 8 + length + padding > in.size()) break;
        std::string content = in.substr(at + 8, length);
        if (head[1] == kStdout) reply.out += content;
        if (head[1] == kStderr) reply.err += content;
        if (head[1] == kEndRequest && length >= 4) {
            reply.ended = true;
            const auto *c = reinterpret_cast<const unsigned char *>(content.data());
            reply.app_status = static_cast<int>((static_cast<unsigned>(c[0]) << 24) |
                                                (c[1] << 16) | (c[2] << 8) | c[3]);
        }
        at += 8 + length + padding;
    }
    std::ifstream err_file(stderr_path_, std::ios::binary);
    std::ostringstream err_text;
    err_text << err_file.rdbuf();
    std::string all_err = err_text.str();
    if (all_err.size() > stderr_seen_) reply.err += all_err.substr(stderr_seen_);
    stderr_seen_ = all_err.size();
    return reply;
}

}  // namespace testing_support
