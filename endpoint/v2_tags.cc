// The tag list of a repository, /v2/<name>/tags/list?n=<count>&last=<tag>:
// every tag in byte order, page by page.
#include <cstring>

#include "edge/oci_common.h"
#include "edge/tw_cgi.h"
#include "endpoint/reply.h"
#include "storage/reg_storage.h"

// Answers one request.
static void answer_request(void) {
    const char *method = cgi_method();
    oci_route route;
    endpoint_start(&route);
    if (route.kind != OCI_ROUTE_TAGS || !route.name_valid)
        oci_send_error(404, "NAME_UNKNOWN", "repository name not known");
    if (strcmp(method, "GET") != 0 && strcmp(method, "HEAD") != 0)
        oci_send_error(405, "UNSUPPORTED", "Method not allowed for the tag list");
    endpoint_require_access(ACCESS_PULL, route.name);
    int32_t n = query_page_size();
    char last[OCI_REFERENCE_MAX];
    tw_strlcpy(last, cgi_query("last"), sizeof last);
    char next[OCI_REFERENCE_MAX];
    const char *doc = reg_tags_list_page(route.name, n, last, next, sizeof next);
    if (doc == nullptr) {
        // A name the store cannot hold names no repository.
        if (reg_storage_last_status() == REG_STATUS_INVALID_NAME)
            oci_send_error(404, "NAME_UNKNOWN", "repository name not known");
        oci_send_storage_error("NAME_UNKNOWN", "repository name not known", "UNSUPPORTED");
    }
    char path[OCI_NAME_MAX + 16];
    tw_snprintf(path, sizeof path, "/v2/%s/tags/list", route.name);
    reply_json_page(doc, path, n, next, strcmp(method, "GET") == 0);
}

int main(void) { return cgi_serve(answer_request); }
