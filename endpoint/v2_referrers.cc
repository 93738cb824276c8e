// The referrers of a manifest, /v2/<name>/referrers/<digest>: an OCI image
// index of the manifests whose subject is that digest, optionally only those
// of one artifact type (?artifactType=<type>). In a mirrored repository the
// upstream's list is asked first and the referrers it names are fetched.
#include <cstring>

#include "edge/oci_common.h"
#include "edge/tw_cgi.h"
#include "endpoint/mirror_glue.h"
#include "endpoint/reply.h"
#include "storage/reg_storage.h"

// In a mirrored repository, makes the store hold the referrers the
// upstream lists for digest (each fetched by digest and verified); the
// answer then comes from the store. An upstream that cannot be asked
// leaves what is cached, with a warning line.
static void sync_from_mirror(const char *name, const char *digest, const char *artifact_type) {
    const char *rest = nullptr;
    const mirror_entry *mirror = endpoint_mirror_of(name, &rest);
    if (mirror == nullptr) return;
    char err[MIRROR_ERROR_MAX];
    mirror_result got = mirror_sync_referrers(mirror, name, rest, digest, artifact_type, err,
                                              sizeof err);
    if (got == MIRROR_UNREACHABLE || got == MIRROR_FAILED || got == MIRROR_BAD_REPLY)
        endpoint_mirror_log("warning: serving the cached referrers of %s@%s, the upstream failed: %s",
                            name, digest, err);
    else if (err[0] != '\0')
        endpoint_mirror_log("%s referrers of %s: %s", name, digest, err);
}

// Answers one request.
static void answer_request(void) {
    const char *method = cgi_method();
    oci_route route;
    endpoint_start(&route);
    // A configured mirror that is broken, or that this build cannot serve,
    // refuses every request.
    endpoint_mirror_ready();
    if (route.kind != OCI_ROUTE_REFERRERS || !route.name_valid)
        oci_send_error(404, "NAME_UNKNOWN", "repository name not known");
    if (strcmp(method, "GET") != 0 && strcmp(method, "HEAD") != 0)
        oci_send_error(405, "UNSUPPORTED", "Method not allowed for referrers");
    endpoint_require_access(ACCESS_PULL, route.name);
    char artifact_type[512];
    tw_strlcpy(artifact_type, cgi_query("artifactType"), sizeof artifact_type);
    sync_from_mirror(route.name, route.reference, artifact_type);
    const char *doc = reg_referrers_json(route.name, route.reference, artifact_type);
    if (doc == nullptr) {
        if (reg_storage_last_status() == REG_STATUS_INVALID_NAME)
            oci_send_error(404, "NAME_UNKNOWN", "repository name not known");
        oci_send_storage_error("MANIFEST_UNKNOWN", "manifest unknown", "UNSUPPORTED");
    }
    reply_begin(200, "OK");
    cgi_header_ct("application/vnd.oci.image.index.v1+json");
    reply_header("Content-Length: %zu", strlen(doc));
    if (artifact_type[0] != '\0') cgi_header_extra("OCI-Filters-Applied: artifactType");
    cgi_headers_end();
    if (strcmp(method, "GET") == 0) fputs(doc, stdout);
    fflush(stdout);
}

int main(void) { return cgi_serve(answer_request); }
