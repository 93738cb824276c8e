// The request body as a stream of any length: the CGI programs pass it on in
// pieces instead of holding it whole.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "edge/tw_cgi.h"
#include "platform/platform.h"

namespace {

// A CONTENT_LENGTH of decimal digits only, within 63 bits; -1 otherwise.
int64_t parse_length(const char *text) {
    if (text[0] == '\0') return -1;
    int64_t value = 0;
    for (const char *p = text; *p != '\0'; p++) {
        if (*p < '0' || *p > '9') return -1;
        int digit = *p - '0';
        if (value > (INT64_MAX - digit) / 10) return -1;
        value = value * 10 + digit;
    }
    return value;
}

bool transfer_is_chunked(void) {
    const char *te = cgi_env("HTTP_TRANSFER_ENCODING", "");
    for (const char *p = te; *p != '\0'; p++)
        if (strncmp(p, "chunked", 7) == 0) return true;
    return false;
}

}  // namespace

extern "C" {

int cgi_body_open(cgi_body *body) {
    body->stream = nullptr;
    body->length = 0;
    body->owned = 0;
    const char *file = cgi_env("POST_BODY_FILE", "");
    if (file[0] != '\0') {
        FILE *f = plat_fopen_regular(file);
        if (f != nullptr) {
            plat_attr a;
            if (plat_stat(file, &a) != 0) {
                fclose(f);
                return -1;
            }
            body->stream = f;
            body->length = a.size;
            body->owned = 1;
            return 0;
        }
    }
    const char *length = cgi_env("CONTENT_LENGTH", "");
    if (length[0] != '\0') {
        body->length = parse_length(length);
        if (body->length < 0) return -1;
    } else {
        // A body sent in chunks may reach the program without a length; it
        // then runs to the end of standard input.
        body->length = transfer_is_chunked() ? -1 : 0;
    }
    plat_set_binary(stdin);
    if (body->length != 0) plat_enlarge_pipe(stdin);
    body->stream = stdin;
    return 0;
}

void cgi_body_close(cgi_body *body) {
    if (body->owned && body->stream != nullptr) fclose(body->stream);
    body->stream = nullptr;
    body->owned = 0;
}

void cgi_body_discard(uint64_t limit) {
    if (cgi_env("POST_BODY_FILE", "")[0] != '\0') return;
    const char *length = cgi_env("CONTENT_LENGTH", "");
    uint64_t left = limit;
    if (length[0] != '\0') {
        int64_t announced = parse_length(length);
        if (announced <= 0) return;
        if (static_cast<uint64_t>(announced) < left) left = static_cast<uint64_t>(announced);
    } else if (!transfer_is_chunked()) {
        return;
    }
    if (plat_is_terminal(stdin)) return;
    plat_set_binary(stdin);
    static char sink[65536];
    while (left > 0) {
        size_t want = left < sizeof sink ? static_cast<size_t>(left) : sizeof sink;
        size_t got = plat_fread(sink, want, stdin);
        if (got == 0) break;
        left -= got;
    }
}

char *cgi_body_read_all(cgi_body *body, uint64_t limit, size_t *length, int *too_large) {
    *length = 0;
    *too_large = 0;
    if (body->length > 0 && static_cast<uint64_t>(body->length) > limit) {
        *too_large = 1;
        return nullptr;
    }
    // Room for the announced length, or for the limit and one byte more when
    // none was announced, so that an overlong body shows itself.
    uint64_t cap = body->length >= 0 ? static_cast<uint64_t>(body->length) : limit + 1;
    char *buffer = static_cast<char *>(malloc(static_cast<size_t>(cap) + 1));
    if (buffer == nullptr) return nullptr;
    size_t got = 0;
    while (got < cap && body->stream != nullptr) {
        size_t n = plat_fread(buffer + got, static_cast<size_t>(cap) - got, body->stream);
        if (n == 0) break;
        got += n;
    }
    // A body cut by a read error is no body: its first bytes alone could
    // pass for a whole one.
    if (body->stream != nullptr && ferror(body->stream) != 0) {
        free(buffer);
        return nullptr;
    }
    if (got > limit) {
        free(buffer);
        *too_large = 1;
        return nullptr;
    }
    buffer[got] = '\0';
    *length = got;
    return buffer;
}

}  // extern "C"
