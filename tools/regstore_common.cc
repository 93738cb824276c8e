// Pieces every regstore command uses: failure messages, input files, the
// progress line and the interruption guard.
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "storage/reg_storage.h"
#include "tools/regstore_cli.h"

namespace regstore {

int fail(const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    fputs("regstore: ", stderr);
    vfprintf(stderr, format, ap);
    fputc('\n', stderr);
    va_end(ap);
    return kExitFailed;
}

int fail_storage() { return fail("%s", reg_storage_last_error()); }

bool parse_count(const std::string &text, int32_t *out) {
    if (text.empty() || text.size() > 10) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    long long value = std::strtoll(text.c_str(), nullptr, 10);
    if (value > INT32_MAX) return false;
    *out = static_cast<int32_t>(value);
    return true;
}

std::string digest_string(digest_algo algo, const uint8_t *raw, size_t size) {
    char hex[DIGEST_MAX_HEX_LEN + 1];
    digest_to_hex(raw, size, hex);
    return std::string(digest_algo_prefix(algo)) + hex;
}

digest_algo algo_of_digest(const char *digest) {
    digest_algo algo = DIGEST_SHA256;
    digest_algo_from_prefix(digest, &algo);
    return algo;
}

// ---- Input ----------------------------------------------------------------

Input::~Input() {
    if (owned_ && file_ != nullptr) plat_fclose(file_);
}

bool Input::open(const std::string &name) {
    if (name == "-") {
        plat_set_binary(stdin);
        file_ = stdin;
        label_ = "standard input";
        return true;
    }
    label_ = name;
    errno = 0;
    file_ = plat_fopen(name.c_str(), "rb");
    if (file_ == nullptr) {
        if (errno != 0) fail("cannot open %s: %s", name.c_str(), strerror(errno));
        else fail("cannot open %s", name.c_str());
        return false;
    }
    owned_ = true;
    // A pipe or device reports no useful size; only a positive size is a
    // promise worth showing progress against.
    plat_attr attr;
    if (plat_stat(name.c_str(), &attr) == 0 && !attr.is_dir && attr.size > 0) size_ = attr.size;
    return true;
}

size_t Input::read(void *buffer, size_t size) {
    // fread may deliver less than asked from a pipe; keep filling so that the
    // storage sees whole chunks.
    size_t got = 0;
    while (got < size) {
        size_t n = plat_fread(static_cast<char *>(buffer) + got, size - got, file_);
        if (n == 0) break;
        got += n;
        if (InterruptGuard::caught() != 0) break;
    }
    return got;
}

bool Input::failed() const { return ferror(file_) != 0; }

int Input::fail_read() const { return fail("read error on %s", label_.c_str()); }

// ---- Progress -------------------------------------------------------------

Progress::Progress(int64_t total) : enabled_(plat_is_terminal(stderr) == 1), total_(total) {}

Progress::~Progress() { finish(); }

void Progress::advance(uint64_t bytes) {
    done_ += bytes;
    if (!enabled_ || done_ < kChunkSize) return;
    const double mib = 1024.0 * 1024.0;
    if (total_ > 0 && done_ <= static_cast<uint64_t>(total_)) {
        fprintf(stderr, "\r%.1f MiB / %.1f MiB (%d%%)", static_cast<double>(done_) / mib,
                static_cast<double>(total_) / mib,
                static_cast<int>(done_ * 100 / static_cast<uint64_t>(total_)));
    } else {
        fprintf(stderr, "\r%.1f MiB", static_cast<double>(done_) / mib);
    }
    fflush(stderr);
    drawn_ = true;
}

void Progress::finish() {
    if (!drawn_) return;
    fputc('\n', stderr);
    fflush(stderr);
    drawn_ = false;
}

// ---- Interruption -----------------------------------------------------------

namespace {

volatile std::sig_atomic_t s_caught = 0;

extern "C" void note_signal(int sig) {
    s_caught = sig;
    // The next one is not caught: a user who insists ends the tool at once.
    std::signal(sig, SIG_DFL);
}

}  // namespace

InterruptGuard::InterruptGuard() {
    s_caught = 0;
    std::signal(SIGINT, note_signal);
    std::signal(SIGTERM, note_signal);
}

InterruptGuard::~InterruptGuard() {
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
}

int InterruptGuard::caught() { return s_caught; }

int InterruptGuard::fail_interrupted(const char *what_was_undone) {
    int sig = s_caught;
    fail("interrupted; %s", what_was_undone);
    return 128 + sig;
}

}  // namespace regstore
