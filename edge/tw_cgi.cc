// CGI environment, reply heads and bounded text helpers.
#include "edge/tw_cgi.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "edge/tw_cgi_internal.h"
#include "platform/platform.h"

namespace {

// The variables of the FastCGI request being served; NULL in a CGI process
// and between requests.
char **s_params;
// 1 while a FastCGI responder serves requests: cgi_end_request then ends
// the request, not the process.
int s_responder;
// 1 once standard output of this request is in binary mode.
int s_stdout_binary;

const char *request_variable(const char *name) {
    if (s_params == nullptr) return getenv(name);
    size_t length = strlen(name);
    for (char **p = s_params; *p != nullptr; p++) {
        if (strncmp(*p, name, length) == 0 && (*p)[length] == '=') {
            if ((*p)[length + 1] != '\0') return *p + length + 1;
            break;
        }
    }
    // The deployment's settings may be given to the responder process (a
    // FastCGI server's bin-environment) instead of each request; nothing
    // else of the process's environment belongs to a request.
    return strncmp(name, "REGISTRY_", 9) == 0 ? getenv(name) : nullptr;
}

}  // namespace

extern "C" {

void tw_stdout_bin(void) {
    if (s_stdout_binary) return;
    plat_set_binary(stdout);
    s_stdout_binary = 1;
}

const char *cgi_env(const char *name, const char *def) {
    const char *value = request_variable(name);
    if (value != nullptr && value[0] != '\0') return value;
    return def != nullptr ? def : "";
}

int cgi_serve(void (*handle)(void)) {
    if (plat_stdin_is_listener()) return fcgi_serve_requests(handle);
    handle();
    fflush(stdout);
    return 0;
}

int cgi_is_fastcgi_request(void) { return s_params != nullptr ? 1 : 0; }

void cgi_end_request(void) {
    fflush(stdout);
    if (s_responder) throw cgi_request_end{};
    exit(0);
}

void cgi_work_after_reply(void) {
    if (!s_responder) plat_ignore_stop_request();
}

void cgi_reply_close(void) {
    cgi_work_after_reply();
    fflush(stdout);
    if (s_responder)
        fcgi_reply_close();
    else
        plat_stdout_detach();
}

void cgi_request_begin(char **params) {
    s_params = params;
    s_responder = 1;
    s_stdout_binary = 0;
}

void cgi_request_finish(void) { s_params = nullptr; }

const char *cgi_method(void) { return cgi_env("REQUEST_METHOD", "GET"); }

const char *cgi_path_info(void) { return cgi_env("PATH_INFO", "/"); }

static void put_line(const char *text) {
    fputs(text, stdout);
    fputs("\r\n", stdout);
}

void cgi_header_status(int code, const char *reason) {
    tw_stdout_bin();
    if (reason != nullptr && reason[0] != '\0')
        printf("Status: %d %s\r\n", code, reason);
    else
        printf("Status: %d\r\n", code);
}

void cgi_header_ct(const char *type) {
    tw_stdout_bin();
    printf("Content-Type: %s\r\n", type);
}

void cgi_header_extra(const char *line) {
    tw_stdout_bin();
    put_line(line);
}

void cgi_header_json(void) {
    tw_stdout_bin();
    put_line("Content-Type: application/json; charset=utf-8");
}

void cgi_headers_end(void) {
    fputs("\r\n", stdout);
    fflush(stdout);
    plat_set_binary(stdout);
}

void json_escape_f(FILE *out, const char *text) {
    if (text == nullptr) return;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; p++) {
        unsigned char c = *p;
        switch (c) {
            case '"': fputs("\\\"", out); break;
            case '\\': fputs("\\\\", out); break;
            case '\b': fputs("\\b", out); break;
            case '\f': fputs("\\f", out); break;
            case '\n': fputs("\\n", out); break;
            case '\r': fputs("\\r", out); break;
            case '\t': fputs("\\t", out); break;
            default:
                if (c < 32)
                    fprintf(out, "\\u%04x", c);
                else
                    fputc(c, out);
        }
    }
}

void tw_strlcpy(char *dst, const char *src, size_t size) {
    if (dst == nullptr || size == 0) return;
    size_t n = 0;
    if (src != nullptr)
        while (n < size - 1 && src[n] != '\0') n++;
    if (n > 0) memcpy(dst, src, n);
    dst[n] = '\0';
}

int tw_snprintf(char *buf, size_t size, const char *format, ...) {
    if (buf == nullptr || size == 0) return 0;
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(buf, size, format, ap);
    va_end(ap);
    if (n >= 0 && static_cast<size_t>(n) < size) return n;
    buf[size - 1] = '\0';
    return static_cast<int>(size - 1);
}

}  // extern "C"
