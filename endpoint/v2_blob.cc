// The blob endpoint's request handler.
#include "endpoint/v2_blob.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "edge/oci_common.h"
#include "edge/tw_cgi.h"
#include "endpoint/blob_handoff.h"
#include "endpoint/mirror_glue.h"
#include "endpoint/reply.h"
#include "platform/platform.h"
#include "storage/reg_storage.h"

namespace {

// Room for the longest header line formatted through the scratch buffer.
constexpr size_t kScratch = 256;

// The blob header block; length is the count of body bytes that follow (or,
// for HEAD, would follow a GET), so that clients learn a blob's size and the
// web server need not frame the body itself. A hand-off line, when given,
// comes last: the web server then sends the body.
void send_blob_headers(const char *digest, int64_t length, char *scratch,
                       const char *handoff_line) {
    cgi_header_extra(oci_api_version_line);
    tw_snprintf(scratch, kScratch, "Docker-Content-Digest: %s", digest);
    cgi_header_extra(scratch);
    tw_snprintf(scratch, kScratch, "Etag: \"%s\"", digest);
    cgi_header_extra(scratch);
    cgi_header_ct("application/octet-stream");
    tw_snprintf(scratch, 64, "Content-Length: %lld", static_cast<long long>(length));
    cgi_header_extra(scratch);
    cgi_header_extra("Cache-Control: public, max-age=31536000, immutable");
    if (handoff_line != nullptr) cgi_header_extra(handoff_line);
    cgi_headers_end();
}

// Answers a failed blob lookup: a digest that names no blob (malformed, or
// anything but a regular file there) is unknown; only a file that is there
// and cannot be read is the store's failure.
[[noreturn]] void blob_lookup_failed(const char *what) {
    if (reg_storage_last_status() != REG_STATUS_IO_ERROR)
        oci_send_error(404, "BLOB_UNKNOWN", "blob unknown to registry");
    oci_send_error(500, "STORAGE_ERROR", what);
}

// The client's reply to a blob fetched from a mirror's upstream: the
// headers once the upstream's 200 is in, then each piece as it arrives.
struct MirrorReply {
    const char *digest;
    char *scratch;
    bool with_body;
    bool begun;
};

int mirror_reply_begin(void *cookie, int64_t size) {
    MirrorReply *r = static_cast<MirrorReply *>(cookie);
    r->begun = true;
    // The blob is stored after its last byte is sent (or without the
    // client, when it goes away): a stop request then is not obeyed.
    if (r->with_body) cgi_work_after_reply();
    cgi_header_status(200, "OK");
    if (size >= 0) {
        send_blob_headers(r->digest, size, r->scratch, nullptr);
    } else {
        // The upstream did not tell the size: the web server frames the body.
        cgi_header_extra(oci_api_version_line);
        tw_snprintf(r->scratch, 160, "Docker-Content-Digest: %s", r->digest);
        cgi_header_extra(r->scratch);
        cgi_header_ct("application/octet-stream");
        cgi_headers_end();
    }
    return 0;
}

int mirror_reply_write(void *, const void *data, size_t len) {
    return fwrite(data, 1, len, stdout) == len ? 0 : -1;
}

// Every byte is sent and good: the reply ends now, and the blob is made
// durable after it (a crash meanwhile leaves nothing in the store).
void mirror_reply_end(void *) { cgi_reply_close(); }

// A blob the store lacks, in a mirrored repository: fetched from the
// upstream and streamed to the client while it is stored (only when its
// digest matches). Returns when name is not mirrored; otherwise answers and
// ends the request. A transfer that fails once the headers are out ends the
// reply short, so the client sees it fail.
void answer_from_mirror(const char *name, const char *digest, bool with_body, char *scratch) {
    const char *rest = nullptr;
    const mirror_entry *mirror = endpoint_mirror_of(name, &rest);
    if (mirror == nullptr) return;
    MirrorReply reply = {digest, scratch, with_body, false};
    mirror_blob_sink sink = {&reply, mirror_reply_begin, mirror_reply_write, mirror_reply_end};
    char err[MIRROR_ERROR_MAX];
    mirror_result got = mirror_fetch_blob(mirror, rest, digest, with_body ? 1 : 0, &sink, err,
                                          sizeof err);
    if (got != MIRROR_OK) endpoint_mirror_log("%s blob %s: %s", name, digest, err);
    // A blob fetched whole is stored, and the mirrored repository holds it
    // (where an access policy asks for holds, a client of this repository
    // then reaches it without a fetch).
    if (got == MIRROR_OK && with_body) reg_repo_blob_link(name, digest);
    if (!reply.begun) oci_send_error(404, "BLOB_UNKNOWN", "blob unknown to registry");
    fflush(stdout);
    cgi_end_request();
}

// Opens the blob for a GET: one lookup gives the file that is sent and the
// size its headers promise.
void open_blob(const char *name, const char *digest, reg_opened *blob, char *scratch) {
    if (reg_blob_open(digest, blob) == 0) return;
    if (reg_storage_last_status() == REG_STATUS_NOT_FOUND) answer_from_mirror(name, digest, true, scratch);
    blob_lookup_failed("failed to open blob file");
}

void answer_head(const char *name, const char *digest, char *scratch) {
    // No bytes are sent: one query of the file gives its size.
    int64_t size = 0;
    if (reg_blob_stat(digest, &size) != 0) {
        if (reg_storage_last_status() == REG_STATUS_NOT_FOUND)
            answer_from_mirror(name, digest, false, scratch);
        blob_lookup_failed("failed to read blob size");
    }
    cgi_header_status(200, "OK");
    send_blob_headers(digest, size, scratch, nullptr);
    fflush(stdout);
}

void answer_get(const char *name, const char *digest, char *scratch) {
    // The path (for a hand-off) is a large field: kept out of the stack.
    static reg_opened blob;
    open_blob(name, digest, &blob, scratch);
    FILE *f = blob.file;
    int64_t size = blob.size;
    int64_t first, last;
    int partial;
    if (blob_range_parse(cgi_env("HTTP_RANGE", ""), size, &first, &last, &partial) != 0) {
        fclose(f);
        oci_send_error(416, "RANGE_NOT_SATISFIABLE", "Requested range not satisfiable");
    }
    // The file is placed at the range's first byte while a failure can
    // still be answered: once the headers are out, it could only send the
    // wrong bytes under them.
    if (first > 0 && plat_seek64(f, first) != 0) {
        fclose(f);
        oci_send_error(500, "STORAGE_ERROR", "failed to seek blob file");
    }
    if (partial) {
        cgi_header_status(206, "Partial Content");
        tw_snprintf(scratch, 128, "Content-Range: bytes %lld-%lld/%lld",
                    static_cast<long long>(first), static_cast<long long>(last),
                    static_cast<long long>(size));
        cgi_header_extra(scratch);
    } else {
        cgi_header_status(200, "OK");
    }
    // A blob of no bytes sends none, whatever the defaults of the range say.
    int64_t length = size > 0 ? last - first + 1 : 0;
    // The web server sends the body when the deployment hands it files and
    // it would send exactly these bytes under these headers: a 200 of the
    // whole blob, or a range where the server takes one (lighttpd's FastCGI
    // module), to a request without a conditional header it would act on.
    static char handoff_line[BLOB_HANDOFF_LINE_MAX];
    blob_handoff handoff = blob_handoff_configured();
    int handed_off = 0;
    if (handoff.server != BLOB_HANDOFF_OFF) {
        int conditional = blob_handoff_request_conditional();
        handed_off = partial ? blob_handoff_range_line(handoff, digest, blob.path, size, first,
                                                       last, conditional, handoff_line,
                                                       sizeof handoff_line)
                             : blob_handoff_line(handoff, digest, blob.path, size, !conditional,
                                                 handoff_line, sizeof handoff_line);
    }
    if (handed_off > 0) {
        fclose(f);
        send_blob_headers(digest, length, scratch, handoff_line);
        fflush(stdout);
        return;
    }
    send_blob_headers(digest, length, scratch, nullptr);
    // f already stands at first.
    send_file_bytes(f, first, last - first + 1);
    fclose(f);
    fflush(stdout);
}

void answer_delete(const char *name, const char *digest) {
    // Under an access policy a tenant deletes its repository's hold of the
    // blob, never the blob that other repositories may hold too; gc removes
    // the blob once nothing names it.
    int rc = oci_access_policy_in_force() ? reg_repo_blob_unlink(name, digest)
                                          : reg_blob_delete(digest);
    if (rc != 0) oci_send_error(404, "BLOB_UNKNOWN", "blob unknown to registry");
    reply_access_line("blob.delete", name, digest, nullptr);
    cgi_header_status(202, "Accepted");
    cgi_header_extra(oci_api_version_line);
    cgi_headers_end();
    fflush(stdout);
}

}  // namespace

extern "C" {

int blob_range_parse(const char *range, int64_t size, int64_t *first, int64_t *last,
                     int *partial) {
    *first = 0;
    *last = size > 0 ? size - 1 : 0;
    *partial = 0;
    if (range == nullptr || strncmp(range, "bytes=", 6) != 0) return 0;
    const char *spec = range + 6;
    const char *dash = strchr(spec, '-');
    if (dash == nullptr) return 0;
    *partial = 1;
    if (dash == spec) {
        // A suffix range, "bytes=-N": the last N bytes, the whole blob when N
        // is at least its size; none at all (N of 0, or an empty blob) is
        // unsatisfiable.
        int64_t count = strtoll(dash + 1, nullptr, 10);
        if (count <= 0 || size <= 0) return -1;
        *first = count >= size ? 0 : size - count;
        *last = size - 1;
        return 0;
    }
    *first = strtoll(spec, nullptr, 10);
    if (dash[1] != '\0') *last = strtoll(dash + 1, nullptr, 10);
    if (*first < 0) *first = 0;
    if (*last >= size) *last = size - 1;
    return *first > *last ? -1 : 0;
}

int handle_v2_blob(const char *name_in, const char *digest_in) {
    const char *method = cgi_method();
    oci_refuse_write_if_read_only(method);
    if (oci_init_storage() != 0)
        oci_send_error(500, "STORAGE_ERROR", "Failed to initialize registry storage");
    // A configured mirror that is broken, or that this build cannot serve,
    // refuses every request.
    endpoint_mirror_ready();

    char name[256];
    char digest[OCI_REFERENCE_MAX];
    memset(name, 0, sizeof name);
    memset(digest, 0, sizeof digest);
    if (name_in != nullptr && name_in[0] != '\0' && digest_in != nullptr && digest_in[0] != '\0') {
        tw_strlcpy(name, name_in, sizeof name);
        tw_strlcpy(digest, digest_in, sizeof digest);
    } else {
        // The blob is found from the right of the path, so that a repository
        // name may hold a "blobs" component; paths that name no blob that
        // way are split at their first "/blobs/".
        oci_route route;
        const char *path = cgi_path_info();
        if (oci_route_path(path, &route) == OCI_ROUTE_BLOB && route.name_valid) {
            tw_strlcpy(name, route.name, sizeof name);
            tw_strlcpy(digest, route.reference, sizeof digest);
        } else if (!oci_parse_repo_marker(path, "/blobs/", name, sizeof name, digest,
                                          sizeof digest)) {
            oci_send_error(404, "NAME_UNKNOWN", "repository name not known");
        }
    }
    // A digest of an algorithm the store does not keep names no blob; one
    // of the wrong form for its algorithm is not found by the lookup.
    if (strncmp(digest, "sha256:", 7) != 0 && strncmp(digest, "sha512:", 7) != 0)
        oci_send_error(404, "BLOB_UNKNOWN", "invalid blob digest format");

    bool read = strcmp(method, "HEAD") == 0 || strcmp(method, "GET") == 0;
    if (read || strcmp(method, "DELETE") == 0)
        endpoint_require_access(read ? ACCESS_PULL : ACCESS_DELETE, name);
    // The scratch buffer holds header lines as they are formatted.
    static char scratch[kScratch];
    bool deleting = strcmp(method, "DELETE") == 0;
    if ((read || deleting) && !endpoint_blob_reachable(name, digest)) {
        // A mirrored repository that does not hold the blob asks its
        // upstream, as for a blob not stored: the bytes a tenant stored
        // elsewhere are served only when the upstream has them too.
        if (read) answer_from_mirror(name, digest, strcmp(method, "GET") == 0, scratch);
        oci_send_error(404, "BLOB_UNKNOWN", "blob unknown to registry");
    }
    if (strcmp(method, "HEAD") == 0)
        answer_head(name, digest, scratch);
    else if (strcmp(method, "GET") == 0)
        answer_get(name, digest, scratch);
    else if (strcmp(method, "DELETE") == 0)
        answer_delete(name, digest);
    else
        oci_send_error(405, "UNSUPPORTED", "Method not allowed for blob endpoint");
    return 0;
}

}  // extern "C"
