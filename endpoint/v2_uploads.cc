// The blob upload endpoint: POST /v2/<name>/blobs/uploads/ starts an upload
// (or stores a whole blob at once with ?digest=, or mounts a stored one with
// ?mount=), and /v2/<name>/blobs/uploads/<id> takes PATCH (the next piece),
// PUT ?digest= (the last piece, then the blob is stored), GET (progress) and
// DELETE (cancel). Bodies stream from standard input to the upload file.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "edge/oci_common.h"
#include "edge/tw_cgi.h"
#include "endpoint/mirror_glue.h"
#include "endpoint/reply.h"
#include "storage/reg_storage.h"

namespace {

[[noreturn]] void upload_failure() {
    oci_send_storage_error("BLOB_UPLOAD_UNKNOWN", "blob upload unknown to registry",
                           "BLOB_UPLOAD_INVALID");
}

// The Range header value of an upload that holds size bytes: the first and
// the last byte held ("0-0" while it is empty).
void reply_range(int64_t size) {
    reply_header("Range: 0-%lld", static_cast<long long>(size > 0 ? size - 1 : 0));
}

void reply_session(int status, const char *reason, const char *name, const char *id,
                   int64_t size) {
    reply_begin(status, reason);
    reply_header("Location: /v2/%s/blobs/uploads/%s", name, id);
    reply_range(size);
    reply_header("Docker-Upload-UUID: %s", id);
    reply_end_empty();
}

// Answers a blob stored into (or mounted into) repository name, which holds
// it from now on. Where an access policy is in force the repository must
// record that, or it could not reach the blob: a record that cannot be
// written is then the store's failure, and the client's retry makes it.
void reply_blob_created(const char *name, const char *digest) {
    if (reg_repo_blob_link(name, digest) != 0 && oci_access_policy_in_force())
        oci_send_error(500, "STORAGE_ERROR", "cannot record the repository's blob");
    reply_begin(201, "Created");
    reply_header("Location: /v2/%s/blobs/%s", name, digest);
    reply_header("Docker-Content-Digest: %s", digest);
    reply_end_empty();
}

// Appends the request body to the upload whose file holds size bytes;
// a Content-Range must start at size and cover exactly the body. Gives the
// upload's new size.
int64_t append_body(const char *id, int64_t size) {
    cgi_body body;
    if (cgi_body_open(&body) != 0)
        oci_send_error(400, "BLOB_UPLOAD_INVALID", "invalid Content-Length");
    const char *range = cgi_env("HTTP_CONTENT_RANGE", "");
    if (range[0] != '\0') {
        int64_t first = 0, last = 0;
        if (!oci_parse_content_range(range, &first, &last) || first != size) {
            cgi_body_close(&body);
            oci_send_error(416, "BLOB_UPLOAD_INVALID",
                           "Content-Range does not continue the upload");
        }
        if (body.length >= 0 && last - first + 1 != body.length) {
            cgi_body_close(&body);
            oci_send_error(400, "BLOB_UPLOAD_INVALID",
                           "Content-Range does not match the body's length");
        }
    }
    if (body.length == 0) {
        cgi_body_close(&body);
        return size;
    }
    uint64_t limit = body.length > 0 ? static_cast<uint64_t>(body.length) : UINT64_MAX;
    uint64_t appended = 0;
    int rc = reg_blob_append_stream(id, body.stream, limit, &appended);
    cgi_body_close(&body);
    if (rc != 0) upload_failure();
    if (body.length > 0 && appended != static_cast<uint64_t>(body.length))
        oci_send_error(400, "BLOB_UPLOAD_INVALID", "request body ended early");
    return size + static_cast<int64_t>(appended);
}

void require_valid_digest(const char *digest) {
    if (!reg_digest_valid(digest)) oci_send_error(400, "DIGEST_INVALID", "invalid digest");
}

void finish_upload(const char *name, const char *id, const char *digest) {
    char stored[REG_DIGEST_STRING_SIZE];
    if (reg_blob_finish_upload(id, digest, stored) != 0) upload_failure();
    reply_access_line("blob.put", name, stored, id);
    reply_blob_created(name, stored);
}

// Whether a mount of digest may take it from repository from: always
// without an access policy; with one, only from a named repository that the
// user may pull and that reaches the blob.
bool may_mount_from(const char *from, const char *digest) {
    if (!oci_access_policy_in_force()) return true;
    if (from[0] == '\0' || !oci_valid_repo_name(from)) return false;
    return oci_access_decide(ACCESS_PULL, from) == OCI_ACCESS_ALLOWED &&
           endpoint_blob_reachable(from, digest);
}

void answer_start(const oci_route &route) {
    if (!reg_repo_name_oci(route.name))
        oci_send_error(400, "NAME_INVALID", "invalid repository name");
    // Blobs are shared by every repository: a mount is a test that the
    // blob is stored, wherever it came from. A mount that cannot be made
    // (not stored, or from where the user may not pull) is a new upload.
    char mount[REG_DIGEST_STRING_SIZE + 1], from[OCI_NAME_MAX];
    tw_strlcpy(mount, cgi_query("mount"), sizeof mount);
    tw_strlcpy(from, cgi_query("from"), sizeof from);
    if (mount[0] != '\0' && may_mount_from(from, mount) && reg_blob_exists(mount) == 1) {
        reply_access_line("blob.mount", route.name, mount, from);
        reply_blob_created(route.name, mount);
        return;
    }
    char digest[REG_DIGEST_STRING_SIZE + 1];
    tw_strlcpy(digest, cgi_query("digest"), sizeof digest);
    if (digest[0] != '\0') {
        // The whole blob in one request: stored in one pass, its digest
        // taken while the body streams in.
        require_valid_digest(digest);
        cgi_body body;
        if (cgi_body_open(&body) != 0)
            oci_send_error(400, "BLOB_UPLOAD_INVALID", "invalid Content-Length");
        char stored[REG_DIGEST_STRING_SIZE];
        uint64_t received = 0;
        int rc = reg_blob_put_stream(body.stream, body.length, digest, stored, &received);
        cgi_body_close(&body);
        if (rc != 0) upload_failure();
        reply_access_line("blob.put", route.name, stored, nullptr);
        reply_blob_created(route.name, stored);
        return;
    }
    char id[REG_UPLOAD_ID_SIZE];
    if (reg_blob_start_upload(id) != 0) upload_failure();
    int64_t size = append_body(id, 0);
    reply_access_line("upload.start", route.name, nullptr, id);
    reply_session(202, "Accepted", route.name, id, size);
}

int64_t require_upload(const char *id) {
    if (strlen(id) != 36) oci_send_error(404, "BLOB_UPLOAD_UNKNOWN", "blob upload unknown to registry");
    int64_t size = reg_blob_upload_size(id);
    if (size < 0) {
        if (reg_storage_last_status() == REG_STATUS_INVALID_ARGUMENT)
            oci_send_error(404, "BLOB_UPLOAD_UNKNOWN", "blob upload unknown to registry");
        upload_failure();
    }
    return size;
}

void answer_session(const oci_route &route, const char *method) {
    const char *id = route.reference;
    if (strcmp(method, "PATCH") == 0) {
        int64_t size = append_body(id, require_upload(id));
        reply_access_line("upload.append", route.name, nullptr, id);
        reply_session(202, "Accepted", route.name, id, size);
    } else if (strcmp(method, "PUT") == 0) {
        char digest[REG_DIGEST_STRING_SIZE + 1];
        tw_strlcpy(digest, cgi_query("digest"), sizeof digest);
        require_valid_digest(digest);
        append_body(id, require_upload(id));
        finish_upload(route.name, id, digest);
    } else if (strcmp(method, "GET") == 0 || strcmp(method, "HEAD") == 0) {
        reply_session(204, "No Content", route.name, id, require_upload(id));
    } else if (strcmp(method, "DELETE") == 0) {
        require_upload(id);
        if (reg_blob_cancel_upload(id) != 0) upload_failure();
        reply_access_line("upload.cancel", route.name, nullptr, id);
        reply_begin(204, "No Content");
        reply_end_empty();
    } else {
        oci_send_error(405, "UNSUPPORTED", "Method not allowed for upload endpoint");
    }
}

}  // namespace

// Answers one request.
static void answer_request(void) {
    const char *method = cgi_method();
    oci_route route;
    endpoint_start(&route);
    bool start = route.kind == OCI_ROUTE_UPLOAD_START;
    if ((!start && route.kind != OCI_ROUTE_UPLOAD) || !route.name_valid) {
        if (start && strcmp(method, "POST") == 0)
            oci_send_error(400, "NAME_INVALID", "invalid repository name");
        oci_send_error(404, "NAME_UNKNOWN", "repository name not known");
    }
    // Every upload request writes (or belongs to a write): none into a mirror.
    endpoint_refuse_write_into_mirror(route.name);
    if (start) {
        if (strcmp(method, "POST") != 0)
            oci_send_error(405, "UNSUPPORTED", "Method not allowed for upload endpoint");
        endpoint_require_access(ACCESS_PUSH, route.name);
        answer_start(route);
    } else {
        // Every step of an upload, its progress too, is part of a push.
        endpoint_require_access(ACCESS_PUSH, route.name);
        answer_session(route, method);
    }
}

int main(void) { return cgi_serve(answer_request); }
