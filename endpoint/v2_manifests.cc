// The manifest endpoint, /v2/<name>/manifests/<tag or digest>: HEAD and GET
// send a stored manifest with its media type, PUT stores one of any kind
// clients push, DELETE removes a tag or a manifest.
#include <cstdlib>
#include <cstring>

#include "edge/oci_common.h"
#include "edge/tw_cgi.h"
#include "endpoint/mirror_glue.h"
#include "endpoint/reply.h"
#include "platform/platform.h"
#include "storage/reg_storage.h"

namespace {


[[noreturn]] void manifest_failure() {
    oci_send_storage_error("MANIFEST_UNKNOWN", "manifest unknown", "MANIFEST_INVALID");
}

// In a mirrored repository, makes the store hold the manifest current
// from the upstream. What cannot be fetched is served as cached, a stale
// tag with a warning line; what is not cached either is unknown.
void sync_from_mirror(const oci_route &route) {
    const char *rest = nullptr;
    const mirror_entry *mirror = endpoint_mirror_of(route.name, &rest);
    if (mirror == nullptr) return;
    char err[MIRROR_ERROR_MAX];
    mirror_result got = mirror_sync_manifest(mirror, route.name, rest, route.reference, err,
                                             sizeof err);
    if (got == MIRROR_OK) return;
    if (got == MIRROR_NOT_FOUND) {
        endpoint_mirror_log("%s", err);
        oci_send_error(404, "MANIFEST_UNKNOWN", "manifest unknown");
    }
    char type[REG_CONTENT_TYPE_SIZE], digest[REG_DIGEST_STRING_SIZE], path[REG_PATH_MAX];
    int64_t size = 0;
    if (reg_manifest_locate(route.name, route.reference, path, sizeof path, type, digest, &size) == 0)
        endpoint_mirror_log("warning: serving the cached %s:%s (%s), the upstream failed: %s",
                            route.name, route.reference, digest, err);
    else
        endpoint_mirror_log("%s:%s not cached, the upstream failed: %s", route.name,
                            route.reference, err);
}

void answer_get(const oci_route &route, bool with_body) {
    sync_from_mirror(route);
    // One lookup gives the file, its size, digest and media type; a
    // manifest removed meanwhile is still sent whole from the open file.
    static reg_opened manifest;
    if (reg_manifest_open(route.name, route.reference, &manifest) != 0) manifest_failure();
    reply_begin(200, "OK");
    cgi_header_ct(manifest.content_type);
    reply_header("Content-Length: %lld", static_cast<long long>(manifest.size));
    reply_header("Docker-Content-Digest: %s", manifest.digest);
    reply_header("Etag: \"%s\"", manifest.digest);
    cgi_headers_end();
    if (with_body) send_file_bytes(manifest.file, 0, manifest.size);
    fclose(manifest.file);
    fflush(stdout);
}

void answer_put(const oci_route &route) {
    endpoint_refuse_write_into_mirror(route.name);
    if (!reg_repo_name_oci(route.name))
        oci_send_error(400, "NAME_INVALID", "invalid repository name");
    cgi_body body;
    if (cgi_body_open(&body) != 0)
        oci_send_error(400, "MANIFEST_INVALID", "invalid Content-Length");
    size_t length = 0;
    int too_large = 0;
    char *bytes = cgi_body_read_all(&body, REG_MANIFEST_MAX, &length, &too_large);
    cgi_body_close(&body);
    if (too_large) oci_send_error(413, "SIZE_INVALID", "manifest too large");
    if (bytes == nullptr)
        oci_send_error(500, "STORAGE_ERROR", "out of memory or the body could not be read");
    char digest[REG_DIGEST_STRING_SIZE], subject[REG_DIGEST_STRING_SIZE];
    int rc = reg_manifest_put_typed(route.name, route.reference, bytes, length,
                                    cgi_env("CONTENT_TYPE", ""), digest, subject);
    free(bytes);
    if (rc != 0) manifest_failure();
    reply_access_line("manifest.put", route.name, digest, route.reference);
    reply_begin(201, "Created");
    reply_header("Location: /v2/%s/manifests/%s", route.name, digest);
    reply_header("Docker-Content-Digest: %s", digest);
    if (subject[0] != '\0') reply_header("OCI-Subject: %s", subject);
    reply_end_empty();
}

void answer_delete(const oci_route &route) {
    // A tag goes alone: its manifest stays, reachable by digest. A digest
    // takes the manifest out of the repository with every tag that names it.
    bool by_digest = reg_is_digest_reference(route.reference) != 0;
    int rc = by_digest ? reg_manifest_remove(route.name, route.reference)
                       : reg_tag_delete(route.name, route.reference);
    if (rc != 0) manifest_failure();
    if (by_digest)
        reply_access_line("manifest.delete", route.name, route.reference, nullptr);
    else
        reply_access_line("tag.delete", route.name, nullptr, route.reference);
    reply_begin(202, "Accepted");
    reply_end_empty();
}

}  // namespace

// Answers one request.
static void answer_request(void) {
    const char *method = cgi_method();
    oci_route route;
    endpoint_start(&route);
    // A configured mirror that is broken, or that this build cannot serve,
    // refuses every request.
    endpoint_mirror_ready();
    if (route.kind != OCI_ROUTE_MANIFEST || !route.name_valid) {
        if (route.kind == OCI_ROUTE_MANIFEST && strcmp(method, "PUT") == 0)
            oci_send_error(400, "NAME_INVALID", "invalid repository name");
        oci_send_error(404, "NAME_UNKNOWN", "repository name not known");
    }
    if (route.reference[0] == '\0') oci_send_error(404, "MANIFEST_UNKNOWN", "manifest unknown");
    bool read = strcmp(method, "GET") == 0 || strcmp(method, "HEAD") == 0;
    if (read || strcmp(method, "PUT") == 0 || strcmp(method, "DELETE") == 0)
        endpoint_require_access(read                            ? ACCESS_PULL
                                : strcmp(method, "PUT") == 0 ? ACCESS_PUSH
                                                             : ACCESS_DELETE,
                                route.name);
    if (strcmp(method, "GET") == 0)
        answer_get(route, true);
    else if (strcmp(method, "HEAD") == 0)
        answer_get(route, false);
    else if (strcmp(method, "PUT") == 0)
        answer_put(route);
    else if (strcmp(method, "DELETE") == 0)
        answer_delete(route);
    else
        oci_send_error(405, "UNSUPPORTED", "Method not allowed for manifest endpoint");
}

int main(void) { return cgi_serve(answer_request); }
