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

// The error reply, with one more header line when extra is not NULL.
[[noreturn]] static void send_error_with(int status, const char *extra, const char *code,
                                         const char *message) {
    // First read away a body the request still has, so that the web server
    // has handed it over whole and keeps the reply (Apache and fcgiwrap drop
    // it when the program stops reading early). Before the reply, not
    // after: lighttpd stops feeding the body once the reply has begun.
    cgi_body_discard(kDiscardLimit);
    cgi_header_status(status, nullptr);
    cgi_header_extra(oci_api_version_line);
    if (extra != nullptr) cgi_header_extra(extra);
    cgi_header_json();
    cgi_headers_end();
    fputs("{\"errors\":[{\"code\":\"", stdout);
    fputs(code != nullptr ? code : "UNKNOWN", stdout);
    fputs("\",\"message\":\"", stdout);
    json_escape_f(stdout, message != nullptr ? message : "Unknown error");
    fputs("\"}]}\n", stdout);
    cgi_end_request();
}

void oci_send_error(int status, const char *code, const char *message) {
    send_error_with(status, nullptr, code, message);
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

// ---- Access ------------------------------------------------------------------

// The policy of this request: read once per CGI process, and in a FastCGI
// responder looked at once per request (one attribute query of the file)
// and read again when it changed. A broken policy's message goes to the
// error log.
static const access_policy *s_request_policy;

static const access_policy *request_policy(void) {
    const access_policy *policy = s_request_policy = access_policy_current(cgi_env("REGISTRY_ACCESS_POLICY", ""));
    if (access_policy_broken(policy)) {
        char line[ACCESS_MESSAGE_MAX + 64] = "registry-access-policy broken: ";
        size_t used = strlen(line);
        const char *why = policy != nullptr ? access_policy_error(policy) : "out of memory";
        // One line, whatever the message holds.
        for (const char *c = why; *c != '\0' && used + 3 < sizeof line; c++)
            line[used++] = *c == '\n' ? ';' : (static_cast<unsigned char>(*c) < 0x20 ? '?' : *c);
        line[used++] = '\n';
        fwrite(line, 1, used, stderr);
        fflush(stderr);
    }
    return policy;
}

int oci_access_policy_in_force(void) { return cgi_env("REGISTRY_ACCESS_POLICY", "")[0] != '\0'; }

oci_access_result oci_access_decide(access_action action, const char *name) {
    if (!oci_access_policy_in_force()) return OCI_ACCESS_ALLOWED;
    const char *user = cgi_env("REMOTE_USER", "");
    if (access_may(request_policy(), user, action, name, nullptr)) return OCI_ACCESS_ALLOWED;
    return user[0] == '\0' ? OCI_ACCESS_NO_USER : OCI_ACCESS_REFUSED;
}

oci_access_result oci_access_decide_base(void) {
    if (!oci_access_policy_in_force() || cgi_env("REMOTE_USER", "")[0] != '\0')
        return OCI_ACCESS_ALLOWED;
    return access_anonymous_has_grant(request_policy()) ? OCI_ACCESS_ALLOWED : OCI_ACCESS_NO_USER;
}

void oci_access_challenge_line(char *line, size_t size) {
    // The realm was checked when the policy was read: it holds no quote,
    // backslash or control byte.
    tw_snprintf(line, size, "WWW-Authenticate: Basic realm=\"%s\"",
                access_policy_realm(s_request_policy));
}

const access_policy *oci_access_policy(void) {
    if (!oci_access_policy_in_force()) return nullptr;
    return request_policy();
}

void oci_send_access_refused(oci_access_result result) {
    if (result != OCI_ACCESS_NO_USER)
        send_error_with(403, nullptr, "DENIED", "requested access to the resource is denied");
    // The realm was checked when the policy was read: it holds no quote,
    // backslash or control byte.
    char challenge[256];
    oci_access_challenge_line(challenge, sizeof challenge);
    send_error_with(401, challenge, "UNAUTHORIZED", "authentication required");
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
