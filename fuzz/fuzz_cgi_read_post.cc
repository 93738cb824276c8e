// Reading the request body: from a body file it comes back whole and byte
// for byte; from standard input it is exactly the bytes that arrived, at
// most CONTENT_LENGTH of them, and only for a CONTENT_LENGTH that is a
// positive signed 32-bit number. The buffer always ends in a NUL after the
// body, and the reader never writes past it.
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "edge/tw_cgi.h"
#include "fuzz/fuzz_support.h"

namespace {

// Larger announced lengths are valid requests too, but each would allocate
// that many bytes; they run through the same code as the smaller ones.
constexpr int64_t kLargestAnnouncedTried = 1 << 24;

void write_file(const std::string &path, const std::string &bytes) {
    FILE *f = fopen(path.c_str(), "wb");
    FUZZ_CHECK(f != nullptr);
    if (!bytes.empty()) FUZZ_CHECK(fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size());
    FUZZ_CHECK(fclose(f) == 0);
}

// strtol with base 10 on a 64-bit long, as the reader uses it.
int64_t announced_length(const char *text) { return text == nullptr ? 0 : fuzz::ref_decimal(text); }

void check_body(const char *body, size_t length, const std::string &want) {
    FUZZ_CHECK(body != nullptr);
    FUZZ_CHECK(length == want.size());
    FUZZ_CHECK(memcmp(body, want.data(), want.size()) == 0);
    FUZZ_CHECK(body[length] == '\0');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const std::string body_file = fuzz::scratch_dir() + "/body";
    const std::string input_file = fuzz::scratch_dir() + "/stdin";
    const std::string a_directory = fuzz::scratch_dir() + "/dir";
    mkdir(a_directory.c_str(), 0700);
    int mode = data[0] % 4;
    data++;
    size--;

    if (mode == 0) {
        // The body file holds the request body, NUL bytes and all.
        std::string bytes(reinterpret_cast<const char *>(data), size);
        write_file(body_file, bytes);
        setenv("POST_BODY_FILE", body_file.c_str(), 1);
        setenv("CONTENT_LENGTH", "5", 1);
        size_t length = 12345;
        char *body = cgi_read_post(&length);
        check_body(body, length, bytes);
        free(body);
        return 0;
    }

    // Standard input holds the body; the first line is CONTENT_LENGTH (absent
    // when empty). A body file that does not open, or names a directory,
    // leaves the reader to standard input.
    std::string content_length = fuzz::take_line(data, size);
    content_length = content_length.substr(0, content_length.find('\0'));
    std::string bytes(reinterpret_cast<const char *>(data), size);
    if (mode == 1) unsetenv("POST_BODY_FILE");
    if (mode == 2) setenv("POST_BODY_FILE", (fuzz::scratch_dir() + "/absent").c_str(), 1);
    if (mode == 3) setenv("POST_BODY_FILE", a_directory.c_str(), 1);
    if (content_length.empty())
        unsetenv("CONTENT_LENGTH");
    else
        setenv("CONTENT_LENGTH", content_length.c_str(), 1);
    int64_t announced = announced_length(content_length.empty() ? nullptr : content_length.c_str());
    if (announced > kLargestAnnouncedTried && announced <= INT32_MAX) return 0;

    write_file(input_file, bytes);
    FUZZ_CHECK(freopen(input_file.c_str(), "rb", stdin) != nullptr);
    size_t length = 12345;
    char *body = cgi_read_post(&length);
    if (announced <= 0 || announced > INT32_MAX) {
        FUZZ_CHECK(body == nullptr);
        FUZZ_CHECK(length == 0);
        return 0;
    }
    check_body(body, length, bytes.substr(0, static_cast<size_t>(announced)));
    free(body);
    return 0;
}
