// regstore_cli.h - what the parts of the regstore command-line tool share:
// the parsed command line, failure reporting, input files, the progress
// line, interruption and the command handlers themselves.
#ifndef TOOLS_REGSTORE_CLI_H
#define TOOLS_REGSTORE_CLI_H

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "digest/digest.h"
#include "platform/platform.h"

namespace regstore {

// Exit statuses of the tool.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// Blobs and uploads move through memory in pieces of this size.
constexpr size_t kChunkSize = 4u * 1024u * 1024u;

// The longest manifest body the storage hands back whole.
constexpr size_t kManifestMax = 1048575;

// One command's arguments after the command words: the positional
// arguments in order, and the options by their long name ("" for a flag).
struct Invocation {
    std::string root;  // the storage root in use
    std::vector<std::string> args;
    std::map<std::string, std::string> options;

    bool has(const std::string &name) const { return options.count(name) != 0; }
    // The option's value, or fallback when the option was not given.
    std::string value_or(const std::string &name, const std::string &fallback) const {
        auto it = options.find(name);
        return it == options.end() ? fallback : it->second;
    }
};

// Writes "regstore: " and the formatted message with a line end to standard
// error; gives kExitFailed, so a handler can return fail(...).
int fail(const char *format, ...) PLAT_PRINTF_FORMAT(1, 2);

// Reports the storage's own message (reg_storage_last_error) as fail does.
int fail_storage();

// Parses a whole decimal number from 0 to INT32_MAX; false for anything
// else (signs, blanks, trailing text, overflow).
bool parse_count(const std::string &text, int32_t *out);

// Parses a duration: a whole number of seconds, or one followed by s, m, h
// or d (at most 12 digits); false for anything else.
bool parse_duration(const std::string &text, int64_t *seconds);

// "<algo>:" and the lowercase hex digits of a raw digest of size bytes.
std::string digest_string(digest_algo algo, const uint8_t *raw, size_t size);

// The algorithm a digest string names (SHA-256 for anything but "sha512:").
digest_algo algo_of_digest(const char *digest);

// An input named on the command line: a file, or standard input for "-".
// Opened for binary reading; closed when the object goes away.
class Input {
  public:
    Input() = default;
    ~Input();
    Input(const Input &) = delete;
    Input &operator=(const Input &) = delete;

    // Opens name. false with the failure already reported on standard error.
    bool open(const std::string &name);
    // Reads up to size bytes; 0 at the end or on a failure (see failed()).
    size_t read(void *buffer, size_t size);
    bool failed() const;
    // Reports a read failure on standard error; gives kExitFailed.
    int fail_read() const;
    // The input's size in bytes when known in advance, else -1.
    int64_t known_size() const { return size_; }
    const std::string &label() const { return label_; }

  private:
    FILE *file_ = nullptr;
    bool owned_ = false;
    int64_t size_ = -1;
    std::string label_;
};

// The progress line of a long transfer: "<done> / <total>" redrawn in place
// on standard error with a carriage return, only when standard error is a
// terminal, and only once a transfer has outgrown one chunk.
class Progress {
  public:
    // total is the expected byte count, or -1 when unknown.
    explicit Progress(int64_t total);
    ~Progress();
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;

    void advance(uint64_t bytes);
    // Ends the line (a line end after the last drawing), before any message.
    void finish();

  private:
    bool enabled_;
    bool drawn_ = false;
    int64_t total_;
    uint64_t done_ = 0;
};

// Catches SIGINT and SIGTERM while a transfer runs, so that the transfer
// can clean up (cancel its upload, remove its temporary file) before the
// tool ends. A second signal ends the tool at once.
class InterruptGuard {
  public:
    InterruptGuard();
    ~InterruptGuard();
    InterruptGuard(const InterruptGuard &) = delete;
    InterruptGuard &operator=(const InterruptGuard &) = delete;

    // The signal number caught so far, or 0.
    static int caught();
    // Reports the interruption; gives the exit status 128 + signal number.
    static int fail_interrupted(const char *what_was_undone);
};

// ---- Command handlers: each returns the tool's exit status. ----
int cmd_init(const Invocation &inv);
int cmd_stats(const Invocation &inv);
int cmd_catalog(const Invocation &inv);
int cmd_tags(const Invocation &inv);

int cmd_blob_put(const Invocation &inv);
int cmd_blob_stat(const Invocation &inv);
int cmd_blob_get(const Invocation &inv);
int cmd_blob_rm(const Invocation &inv);

int cmd_upload_start(const Invocation &inv);
int cmd_upload_append(const Invocation &inv);
int cmd_upload_finish(const Invocation &inv);
int cmd_upload_cancel(const Invocation &inv);

int cmd_manifest_put(const Invocation &inv);
int cmd_manifest_get(const Invocation &inv);
int cmd_manifest_rm(const Invocation &inv);

int cmd_access_check(const Invocation &inv);
int cmd_access_lint(const Invocation &inv);
int cmd_access_compile(const Invocation &inv);

int cmd_gc(const Invocation &inv);
int cmd_fsck(const Invocation &inv);
int cmd_du(const Invocation &inv);
int cmd_link_blobs(const Invocation &inv);

}  // namespace regstore

#endif
