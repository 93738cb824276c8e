// Registry glue: storage bootstrap, error replies, names and path split.
#include "edge/oci_common.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "edge/tw_cgi.h"
#include "platform/platform.h"
#include "storage/reg_storage.h"

static int s_storage_ready;
// The root the storage was made ready with.
static char s_storage_root[REG_ROOT_CHOICE_MAX];

// At most this much of an unread request body is read away after an error
// reply; past it the web server may drop the connection instead.
static const uint64_t kDiscardLimit = 64ull << 20;

extern "C" {

const char oci_api_version_line[] = "Docker-Distribution-API-Version: registry/2.0";

void oci_send_storage_error(const char *not_found_code, const char *not_found_message,
                            const char *invalid_code) {
    const char *message = reg_storage_last_error();
    switch (reg_storage_last_status()) {
        case REG_STATUS_NOT_FOUND:
            oci_send_error(404, not_found_code, not_found_message);
        case REG_STATUS_INVALID_NAME:
            oci_send_error(400, "NAME_INVALID", message);
        case REG_STATUS_INVALID_DIGEST:
            oci_send_error(400, "DIGEST_INVALID", message);
        case REG_STATUS_INVALID_MANIFEST:
            oci_send_error(400, "MANIFEST_INVALID", message);
        case REG_STATUS_UNKNOWN_REFERENCE:
            oci_send_error(400, "MANIFEST_BLOB_UNKNOWN", message);
        case REG_STATUS_TOO_LARGE:
            oci_send_error(413, "SIZE_INVALID", message);
        case REG_STATUS_INVALID_ARGUMENT:
            oci_send_error(400, invalid_code, message);
        default:
            oci_send_error(500, "STORAGE_ERROR", "storage failure");
    }
}

int oci_init_storage(void) {
    // A responder serves many requests: none starts with the failure of the
    // one before.
    reg_storage_forget_error();
    // A root the request names itself (a FastCGI server may pass it with
    // every request) is followed; otherwise the first choice stays.
    const char *asked = cgi_env("REGISTRY_STORAGE_ROOT", "");
    if (s_storage_ready && (asked[0] == '\0' || strcmp(asked, s_storage_root) == 0)) return 0;
    s_storage_ready = 0;
    if (asked[0] != '\0')
        tw_strlcpy(s_storage_root, asked, sizeof s_storage_root);
    else
        reg_choose_storage_root(s_storage_root, sizeof s_storage_root);
    int rc = reg_storage_init(s_storage_root);
    if (rc == 0) s_storage_ready = 1;
    return rc;
}

int oci_read_only(void) {
    const char *value = cgi_env("REGISTRY_READ_ONLY", "");
    static const char *const kOff[] = {"", "0", "false", "no", "off"};
    for (const char *off : kOff) {
        size_t i = 0;
        for (; off[i] != '\0' && value[i] != '\0'; i++) {
            char c = value[i] >= 'A' && value[i] <= 'Z' ? static_cast<char>(value[i] + 32) : value[i];
            if (c != off[i]) break;
        }
        if (off[i] == '\0' && value[i] == '\0') return 0;
    }
    return 1;
}

void oci_refuse_write_if_read_only(const char *method) {
    if (strcmp(method, "GET") == 0 || strcmp(method, "HEAD") == 0 || !oci_read_only()) return;
    oci_send_error(405, "UNSUPPORTED", "the registry is read-only");
}

void oci_send_error(int status, const char *code, const char *message) {
    // First read away a body the request still has, so that the web server
    // has handed it over whole and keeps the reply (Apache and fcgiwrap drop
    // it when the program stops reading early). Before the reply, not
    // after: lighttpd stops feeding the body once the reply has begun.
    cgi_body_discard(kDiscardLimit);
    cgi_header_status(status, nullptr);
    cgi_header_extra(oci_api_version_line);
    cgi_header_json();
    cgi_headers_end();
    fputs("{\"errors\":[{\"code\":\"", stdout);
    fputs(code != nullptr ? code : "UNKNOWN", stdout);
    fputs("\",\"message\":\"", stdout);
    json_escape_f(stdout, message != nullptr ? message : "Unknown error");
    fputs("\"}]}\n", stdout);
    cgi_end_request();
}

void oci_send_json(int status, const char *body) {
    cgi_header_status(status, nullptr);
    cgi_header_extra(oci_api_version_line);
    cgi_header_json();
    cgi_headers_end();
    fputs(body != nullptr && body[0] != '\0' ? body : "{}", stdout);
    fputc('\n', stdout);
    fflush(stdout);
}

int oci_valid_repo_name(const char *name) { return reg_repo_name_valid(name); }

int oci_parse_repo_marker(const char *path, const char *marker, char *name, size_t name_size,
                          char *rest, size_t rest_size) {
    if (path == nullptr || marker == nullptr || name == nullptr || name_size == 0) return 0;
    name[0] = '\0';
    if (rest != nullptr && rest_size > 0) rest[0] = '\0';
    while (*path == '/') path++;
    if (strncmp(path, "v2/", 3) == 0)
        path += 3;
    else if (strcmp(path, "v2") == 0)
        path += 2;
    const char *at = strstr(path, marker);
    if (at == nullptr) return 0;
    size_t name_len = static_cast<size_t>(at - path);
    if (name_len == 0 || name_len >= name_size) return 0;
    memcpy(name, path, name_len);
    name[name_len] = '\0';
    if (!oci_valid_repo_name(name)) return 0;
    if (rest == nullptr || rest_size == 0) return 1;
    const char *after = at + strlen(marker);
    while (*after == '/') after++;
    tw_strlcpy(rest, after, rest_size);
    size_t rest_len = strlen(rest);
    if (rest_len > 0 && rest[rest_len - 1] == '/') rest[rest_len - 1] = '\0';
    return 1;
}

}  // extern "C"
