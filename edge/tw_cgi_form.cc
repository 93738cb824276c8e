// CGI form input (method tests, query string, request body), the HTML and
// plain-text content types, the error replies that end the process, and the
// joining of two path parts.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "edge/tw_cgi.h"
#include "edge/tw_cgi_internal.h"
#include "platform/platform.h"

namespace {

constexpr int kQuerySlots = 8;
constexpr size_t kQuerySlotSize = 512;

// Decodes the query value [value, end) into out (kQuerySlotSize bytes):
// '+' becomes a space, %XX with two hexadecimal digits becomes that byte,
// a '%' without them is kept as it is. Cut after kQuerySlotSize - 1 bytes.
void decode_query_value(const char *value, const char *end, char *out) {
    size_t written = 0;
    while (value < end && written < kQuerySlotSize - 1) {
        char c = *value;
        if (c == '+') {
            out[written++] = ' ';
            value++;
            continue;
        }
        if (c == '%' && end - value >= 3) {
            int high = hexval(static_cast<unsigned char>(value[1]));
            int low = hexval(static_cast<unsigned char>(value[2]));
            if (high >= 0 && low >= 0) {
                out[written++] = static_cast<char>(high * 16 + low);
                value += 3;
                continue;
            }
        }
        out[written++] = c;
        value++;
    }
    out[written] = '\0';
}

// Without a query string a parameter is read from the environment variable
// of the same name, raw; a value holding both ';' and ':' is not taken.
const char *query_from_environment(const char *name, const char *empty_result) {
    const char *value = cgi_env(name, "");
    if (value[0] == '\0') return empty_result;
    if (strchr(value, ';') != nullptr && strchr(value, ':') != nullptr) return empty_result;
    return value;
}

// Decodes the value of the first '&'-separated segment of query whose key
// (the text before its first '=') equals name, byte for byte, into out.
// Leaves out untouched when no segment matches.
void find_query_value(const char *query, const char *name, char *out) {
    size_t name_len = strlen(name);
    const char *segment = query;
    while (*segment != '\0') {
        const char *segment_end = strchr(segment, '&');
        if (segment_end == nullptr) segment_end = segment + strlen(segment);
        size_t segment_len = static_cast<size_t>(segment_end - segment);
        const char *equals = static_cast<const char *>(memchr(segment, '=', segment_len));
        const char *key_end = equals != nullptr ? equals : segment_end;
        if (static_cast<size_t>(key_end - segment) == name_len &&
            memcmp(segment, name, name_len) == 0) {
            const char *value = equals != nullptr ? equals + 1 : segment_end;
            decode_query_value(value, segment_end, out);
            return;
        }
        if (*segment_end == '\0') return;
        segment = segment_end + 1;
    }
}

// The whole of an open body file in a new buffer with a NUL after it. A
// length that cannot be taken, or one beyond what a signed 32-bit length
// holds, refuses the body. Closes f in every case.
char *read_body_file(FILE *f, size_t *length) {
    long end = -1;
    if (fseek(f, 0, SEEK_END) == 0) end = ftell(f);
    if (end < 0 || end > INT32_MAX || fseek(f, 0, SEEK_SET) != 0) {
        plat_fclose(f);
        return nullptr;
    }
    size_t announced = static_cast<size_t>(end);
    char *body = static_cast<char *>(malloc(announced + 1));
    if (body == nullptr) {
        plat_fclose(f);
        return nullptr;
    }
    size_t got = announced > 0 ? plat_fread(body, announced, f) : 0;
    bool failed = ferror(f) != 0;
    plat_fclose(f);
    if (failed) {
        free(body);
        return nullptr;
    }
    body[got] = '\0';
    if (length != nullptr) *length = got;
    return body;
}

// CONTENT_LENGTH bytes of standard input (fewer when it ends early) in a
// new buffer with a NUL after them. No body unless the announced length is
// a positive signed 32-bit number; never reads past the announced length.
char *read_body_stdin(size_t *length) {
    long announced = strtol(cgi_env("CONTENT_LENGTH", "0"), nullptr, 10);
    if (announced <= 0 || announced > INT32_MAX) return nullptr;
    plat_set_binary(stdin);
    size_t wanted = static_cast<size_t>(announced);
    char *body = static_cast<char *>(malloc(wanted + 1));
    if (body == nullptr) return nullptr;
    size_t got = plat_fread(body, wanted, stdin);
    if (ferror(stdin) != 0) {
        free(body);
        return nullptr;
    }
    body[got] = '\0';
    if (length != nullptr) *length = got;
    return body;
}

void put_header_line(const char *line) {
    tw_stdout_bin();
    fputs(line, stdout);
    fputs("\r\n", stdout);
}

bool is_slash_or_backslash(char c) { return c == '/' || c == '\\'; }

}  // namespace

extern "C" {

int cgi_is_post(void) {
    const char *method = cgi_method();
    return method[0] == 'P' && method[1] == 'O' ? 1 : 0;
}

int cgi_is_head(void) { return strncmp(cgi_method(), "HEAD", 4) == 0 ? 1 : 0; }

int hexval(int c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

const char *cgi_query(const char *name) {
    // Each result is written whole before it is returned, so a slot holds
    // nothing of an earlier request when a later one reads it.
    static int slot;
    static char slots[kQuerySlots][kQuerySlotSize];
    if (name == nullptr || name[0] == '\0') return "";
    slot = (slot + 1) % kQuerySlots;
    char *result = slots[slot];
    result[0] = '\0';
    const char *query = cgi_env("QUERY_STRING", "");
    if (query[0] == '\0') return query_from_environment(name, result);
    find_query_value(query, name, result);
    return result;
}

void cgi_form_value(const char *form, const char *name, char *out, size_t size) {
    if (out == nullptr || size == 0) return;
    out[0] = '\0';
    if (form == nullptr || name == nullptr || name[0] == '\0') return;
    char value[kQuerySlotSize] = "";
    find_query_value(form, name, value);
    tw_strlcpy(out, value, size);
}

char *cgi_read_post(size_t *length) {
    if (length != nullptr) *length = 0;
    // Only a regular file is a body file: a directory, FIFO or device named
    // there counts as a file that does not open, so opening never waits on a
    // FIFO and the length taken is the file's own.
    const char *file = cgi_env("POST_BODY_FILE", nullptr);
    if (file[0] != '\0') {
        FILE *f = plat_fopen_regular(file);
        if (f != nullptr) return read_body_file(f, length);
    }
    return read_body_stdin(length);
}

void cgi_header_html(void) { put_header_line("Content-Type: text/html; charset=utf-8"); }

void cgi_header_text(void) { put_header_line("Content-Type: text/plain; charset=utf-8"); }

void cgi_die_text(int status, const char *message) {
    cgi_header_status(status, nullptr);
    cgi_header_text();
    cgi_headers_end();
    fputs(message != nullptr ? message : "", stdout);
    fputc('\n', stdout);
    fflush(stdout);
    cgi_end_request();
}

void cgi_die_json(int status, const char *message) {
    cgi_header_status(status, nullptr);
    cgi_header_json();
    cgi_headers_end();
    fputs("{\"errors\":[{\"code\":\"ERROR\",\"message\":\"", stdout);
    json_escape_f(stdout, message != nullptr ? message : "error");
    fputs("\"}]}\n", stdout);
    fflush(stdout);
    cgi_end_request();
}

void tw_path_join(char *out, size_t size, const char *first, const char *second) {
    if (out == nullptr || size == 0) return;
    out[0] = '\0';
    if (first == nullptr || first[0] == '\0') {
        tw_strlcpy(out, second, size);
        return;
    }
    if (second == nullptr || second[0] == '\0') {
        tw_strlcpy(out, first, size);
        return;
    }
    tw_strlcpy(out, first, size);
    size_t len = strlen(out);
    // The separator goes in only with room for it and one more byte, so a
    // second part is never glued on without one.
    if (len > 0 && !is_slash_or_backslash(out[len - 1]) && len + 1 < size) {
        out[len++] = PLAT_SEP;
        out[len] = '\0';
    }
    while (is_slash_or_backslash(*second)) second++;
    if (len < size) tw_strlcpy(out + len, second, size - len);
}

}  // extern "C"
