// Zero-copy transfer of a file range to a pipe or a socket (POSIX side).
//
// On Linux the kernel moves the file's page-cache pages to the output
// itself: splice(2) into a pipe, sendfile(2) into a socket. Elsewhere, and
// for any other kind of output, the caller copies through its own buffer.
#include "platform/platform.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef __linux__
#include <poll.h>
#include <sys/sendfile.h>
#endif

namespace {

#ifdef __linux__

enum class Sink { kNone, kPipe, kSocket };

Sink sink_kind(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0) return Sink::kNone;
    if (S_ISFIFO(st.st_mode)) return Sink::kPipe;
    if (S_ISSOCK(st.st_mode)) return Sink::kSocket;
    return Sink::kNone;
}

bool is_regular_file(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

// Waits until fd takes more bytes; for an output left in non-blocking mode
// by whoever handed it to us. False when waiting itself fails.
bool wait_writable(int fd) {
    struct pollfd p = {fd, POLLOUT, 0};
    for (;;) {
        int rc = poll(&p, 1, -1);
        if (rc > 0) return true;
        if (rc < 0 && errno != EINTR) return false;
    }
}

// The largest step of one call: sendfile and splice move at most about
// 2 GiB per call, and a smaller step changes nothing for a pipe or socket
// that takes a few hundred KiB at a time anyway.
constexpr int64_t kMaxStep = int64_t{1} << 30;

// One kernel transfer of up to want bytes from in_fd at *offset, which the
// call advances. The kernel's result: bytes moved, 0 at the file's end, -1
// with errno.
ssize_t move_once(Sink sink, int in_fd, int out_fd, off_t *offset, size_t want) {
    if (sink == Sink::kPipe)
        return splice(in_fd, offset, out_fd, nullptr, want, 0);
    return sendfile(out_fd, in_fd, offset, want);
}

#endif

}  // namespace

extern "C" {

int64_t plat_send_file_range(FILE *in, int64_t offset, int64_t count, FILE *out) {
#ifdef __linux__
    if (in == nullptr || out == nullptr || offset < 0 || count < 0) return -1;
    int in_fd = fileno(in);
    int out_fd = fileno(out);
    if (in_fd < 0 || out_fd < 0) return -1;
    Sink sink = sink_kind(out_fd);
    if (sink == Sink::kNone || !is_regular_file(in_fd)) return -1;
    // Whatever out still buffers must reach the descriptor before the body.
    if (fflush(out) != 0) return -1;

    off_t pos = static_cast<off_t>(offset);
    int64_t sent = 0;
    while (sent < count) {
        int64_t left = count - sent;
        size_t want = static_cast<size_t>(left < kMaxStep ? left : kMaxStep);
        ssize_t n = move_once(sink, in_fd, out_fd, &pos, want);
        if (n > 0) {
            sent += n;
            continue;
        }
        if (n == 0) break;  // the file ended before the range did
        if (errno == EINTR) continue;
        if (errno == EAGAIN && wait_writable(out_fd)) continue;
        // Nothing moved yet and the kernel refuses this pair of descriptors
        // (an old kernel, a file system without splice support): the caller
        // copies instead, and nothing has been written twice.
        if (sent == 0 && (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP))
            return -1;
        break;  // the reader went away or the output failed: stop here
    }
    return sent;
#else
    (void)in;
    (void)offset;
    (void)count;
    (void)out;
    return -1;
#endif
}

}  // extern "C"
