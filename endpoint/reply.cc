// Pieces the registry's CGI programs share when they answer.
#include "endpoint/reply.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "edge/tw_cgi.h"
#include "storage/reg_storage.h"
#include "platform/platform.h"

namespace {

// Writes text to out (at most out_size-1 bytes, an escape never cut) with
// every byte outside its plain set as %XX. In a query value the plain set
// is [A-Za-z0-9._~/-]; in a word of an access line it is every printable
// byte but '%' and '"', so that the value stays one word of one line.
void percent_escape(const char *text, char *out, size_t out_size, bool query_value) {
    static const char digits[] = "0123456789ABCDEF";
    size_t w = 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; p++) {
        unsigned char c = *p;
        bool plain = query_value
                         ? (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                               (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '~' ||
                               c == '/' || c == '-'
                         : c > 0x20 && c < 0x7f && c != '%' && c != '"';
        size_t need = plain ? 1 : 3;
        if (w + need >= out_size) break;
        if (plain) {
            out[w++] = static_cast<char>(c);
        } else {
            out[w++] = '%';
            out[w++] = digits[c >> 4];
            out[w++] = digits[c & 0x0f];
        }
    }
    if (out_size > 0) out[w] = '\0';
}

// One access line (see reply_access_line), with result=<result> at its
// end when result is not NULL.
void write_access_line(const char *action, const char *name, const char *digest,
                       const char *reference, const char *result) {
    const char *values[] = {cgi_env("REMOTE_USER", ""), cgi_env("REMOTE_ADDR", ""), action, name,
                            digest, reference, result};
    const char *keys[] = {"user", "addr", "action", "repository", "digest", "reference", "result"};
    size_t fields = result != nullptr ? 7 : 6;
    char line[4096] = "registry-access";
    size_t used = strlen(line);
    for (size_t i = 0; i < fields; i++) {
        char escaped[1024];
        const char *value = values[i] != nullptr && values[i][0] != '\0' ? values[i] : "-";
        percent_escape(value, escaped, sizeof escaped, false);
        int n = snprintf(line + used, sizeof line - used, " %s=%s", keys[i], escaped);
        if (n < 0 || static_cast<size_t>(n) >= sizeof line - used) break;
        used += static_cast<size_t>(n);
    }
    // One write of the whole line, so that lines of programs running at
    // once do not mix in the log.
    line[used++] = '\n';
    fwrite(line, 1, used, stderr);
    fflush(stderr);
}

}  // namespace

extern "C" {

void endpoint_start(oci_route *route) {
    oci_refuse_write_if_read_only(cgi_method());
    if (oci_init_storage() != 0)
        oci_send_error(500, "STORAGE_ERROR", "Failed to initialize registry storage");
    oci_route_path(cgi_path_info(), route);
    // Under an access policy a manifest may name only the blobs its
    // repository holds; set for each request, as a responder serves many.
    reg_storage_scope_blobs(oci_access_policy_in_force());
}

void reply_begin(int status, const char *reason) {
    cgi_header_status(status, reason);
    cgi_header_extra(oci_api_version_line);
}

void reply_header(const char *format, ...) {
    char line[2048];
    va_list ap;
    va_start(ap, format);
    vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    cgi_header_extra(line);
}

void reply_end_empty(void) {
    cgi_header_extra("Content-Length: 0");
    cgi_headers_end();
    fflush(stdout);
}

int32_t query_page_size(void) {
    int32_t n = -1;
    if (!oci_parse_page_size(cgi_query("n"), &n))
        oci_send_error(400, "PAGINATION_NUMBER_INVALID", "n must be a number of entries");
    return n;
}

void query_escape(const char *text, char *out, size_t out_size) {
    percent_escape(text, out, out_size, true);
}

void reply_json_page(const char *doc, const char *path, int32_t n, const char *next,
                     int with_body) {
    reply_begin(200, "OK");
    cgi_header_json();
    reply_header("Content-Length: %zu", strlen(doc) + 1);
    if (next[0] != '\0') {
        char escaped[1024];
        query_escape(next, escaped, sizeof escaped);
        if (n >= 0)
            reply_header("Link: <%s?n=%d&last=%s>; rel=\"next\"", path, n, escaped);
        else
            reply_header("Link: <%s?last=%s>; rel=\"next\"", path, escaped);
    }
    cgi_headers_end();
    if (with_body) {
        fputs(doc, stdout);
        fputc('\n', stdout);
    }
    fflush(stdout);
}


void reply_access_line(const char *action, const char *name, const char *digest,
                       const char *reference) {
    write_access_line(action, name, digest, reference, nullptr);
}

void reply_access_refused_line(access_action action, const char *name) {
    write_access_line(access_action_name(action), name, nullptr, nullptr, "denied");
}

void endpoint_require_access(access_action action, const char *name) {
    oci_access_result result = oci_access_decide(action, name);
    if (result == OCI_ACCESS_ALLOWED) return;
    reply_access_refused_line(action, name);
    oci_send_access_refused(result);
}

int endpoint_blob_reachable(const char *name, const char *digest) {
    if (!oci_access_policy_in_force()) return 1;
    // A repository that cannot tell whether it holds the blob does not
    // reach it.
    return reg_repo_holds_blob(name, digest) == 1 ? 1 : 0;
}

void send_file_bytes(FILE *f, int64_t offset, int64_t count) {
    tw_stdout_bin();
    if (plat_send_file_range(f, offset, count, stdout) >= 0) return;
    static char buffer[65536];
    while (count > 0) {
        size_t chunk = count > static_cast<int64_t>(sizeof buffer) ? sizeof buffer
                                                                    : static_cast<size_t>(count);
        size_t n = plat_fread(buffer, chunk, f);
        if (n == 0) break;
        // A reader that went away takes no more: the rest is not read.
        if (fwrite(buffer, 1, n, stdout) != n) break;
        count -= static_cast<int64_t>(n);
    }
}

}  // extern "C"
