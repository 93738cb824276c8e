// v2_blob_faulty: the blob endpoint program built on the fault-injecting
// libraries, for the fault-injection test, which starts it as a web server
// starts v2_blob: a process of its own with the request in its environment.
// The process arms the injector itself, so the same test runs where a
// forked child cannot carry an armed injector across (Windows).
//
//   v2_blob_faulty K PERSISTENT CALLS_FILE [REPLY_FILE]
//
// Makes the K-th counted platform call fail (K 0: none; PERSISTENT 1: every
// call after it too), sends the reply into REPLY_FILE when given (standard
// output is then a regular file, not the pipe it inherited), and writes the
// number of counted calls and the kind of the first failure ("<calls>
// <kind>", kind "none" when nothing failed) into CALLS_FILE on every way
// out, including the exit() that ends the handler's error replies.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "endpoint/v2_blob.h"
#include "platform/platform_fault.h"

#ifndef O_BINARY
#define O_BINARY 0  // POSIX files have no text mode
#endif

namespace {

std::string g_calls_file;

void write_calls() {
    FILE *f = fopen(g_calls_file.c_str(), "wb");
    if (f == nullptr) return;
    fprintf(f, "%llu %s", static_cast<unsigned long long>(plat_fault_calls()),
            plat_fault_kind_name(plat_fault_first_kind()));
    fclose(f);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 4 && argc != 5) {
        fprintf(stderr, "usage: v2_blob_faulty K PERSISTENT CALLS_FILE [REPLY_FILE]\n");
        return 2;
    }
    if (argc == 5) {
        int fd = open(argv[4], O_WRONLY | O_CREAT | O_TRUNC | O_BINARY, 0600);
        // Success is 1 from POSIX dup2 and 0 from the Windows C library's.
        if (fd < 0 || dup2(fd, 1) < 0) {
            perror(argv[4]);
            return 2;
        }
        close(fd);
    }
    g_calls_file = argv[3];
    atexit(write_calls);
    plat_fault_arm(strtoull(argv[1], nullptr, 10), atoi(argv[2]));
    handle_v2_blob(nullptr, nullptr);
    return 0;
}
