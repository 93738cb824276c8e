// The repository catalog, /v2/_catalog?n=<count>&last=<name>: every
// repository name in byte order, page by page.
#include <cstring>

#include "edge/oci_common.h"
#include "edge/tw_cgi.h"
#include "endpoint/reply.h"
#include "storage/reg_storage.h"

// Keeps a repository in the catalog when the request's user may pull it
// under the policy that context points at.
static int may_pull(const char *name, void *context) {
    const access_policy *policy = *static_cast<const access_policy **>(context);
    return access_may(policy, cgi_env("REMOTE_USER", ""), ACCESS_PULL, name, nullptr);
}

// Answers one request.
static void answer_request(void) {
    const char *method = cgi_method();
    oci_route route;
    endpoint_start(&route);
    if (route.kind != OCI_ROUTE_CATALOG)
        oci_send_error(404, "NAME_UNKNOWN", "repository name not known");
    if (strcmp(method, "GET") != 0 && strcmp(method, "HEAD") != 0)
        oci_send_error(405, "UNSUPPORTED", "Method not allowed for the catalog");
    int32_t n = query_page_size();
    char last[OCI_NAME_MAX];
    tw_strlcpy(last, cgi_query("last"), sizeof last);
    char next[OCI_NAME_MAX];
    const access_policy *policy = oci_access_policy();
    const char *doc = oci_access_policy_in_force()
                          ? reg_catalog_page_where(n, last, may_pull, &policy, next, sizeof next)
                          : reg_catalog_page(n, last, next, sizeof next);
    if (doc == nullptr) oci_send_storage_error("NAME_UNKNOWN", "repository name not known", "UNSUPPORTED");
    reply_json_page(doc, "/v2/_catalog", n, next, strcmp(method, "GET") == 0);
}

int main(void) { return cgi_serve(answer_request); }
