// The registry's base endpoint, /v2/, which tells a client that it speaks
// the registry API; every other path under /v2 that no program serves is
// answered here with 404.
#include <cstring>

#include "edge/oci_common.h"
#include "edge/tw_cgi.h"
#include "endpoint/reply.h"

// Answers one request.
static void answer_request(void) {
    const char *method = cgi_method();
    oci_route route;
    endpoint_start(&route);
    if (route.kind != OCI_ROUTE_BASE)
        oci_send_error(404, "NAME_UNKNOWN", "repository name not known");
    if (strcmp(method, "GET") != 0 && strcmp(method, "HEAD") != 0)
        oci_send_error(405, "UNSUPPORTED", "Method not allowed for the base endpoint");
    oci_access_result access = oci_access_decide_base();
    if (access != OCI_ACCESS_ALLOWED) oci_send_access_refused(access);
    reply_begin(200, "OK");
    // A request without a user that the policy lets in still learns how to
    // log in: clients that hold credentials send them only for a scheme
    // they have seen here, and go on without them otherwise.
    if (oci_access_policy_in_force() && cgi_env("REMOTE_USER", "")[0] == '\0') {
        char challenge[256];
        oci_access_challenge_line(challenge, sizeof challenge);
        cgi_header_extra(challenge);
    }
    cgi_header_json();
    cgi_header_extra("Content-Length: 3");
    cgi_headers_end();
    if (strcmp(method, "GET") == 0) fputs("{}\n", stdout);
    fflush(stdout);
}

int main(void) { return cgi_serve(answer_request); }
