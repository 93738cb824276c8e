// The browsable pages' program: repositories, tags and images in a web
// browser (see ui.h). One request per process as a CGI program, or one
// after another as a FastCGI responder.
#include <cstring>

#include "edge/oci_common.h"
#include "edge/tw_cgi.h"
#include "endpoint/ui.h"
#include "storage/reg_storage.h"

void ui_answer() {
    g_ui_body = true;
    UiRoute route;
    ui_route_parse(cgi_path_info(), &route);
    const char *method = cgi_method();
    bool read = strcmp(method, "GET") == 0 || strcmp(method, "HEAD") == 0;
    if (route.kind == UiKind::kRoot) {
        ui_head(302, "Found");
        cgi_header_extra("Location: /ui/");
        cgi_header_extra("Content-Length: 0");
        cgi_headers_end();
        fflush(stdout);
        return;
    }
    if (route.kind == UiKind::kAsset && read) {
        ui_asset(route);
        return;
    }
    if (oci_init_storage() != 0)
        ui_fail(500, "Internal Server Error", "The registry's storage is not available.");
    reg_storage_scope_blobs(oci_access_policy_in_force());
    if (route.kind == UiKind::kNone) ui_fail(404, "Not Found", "There is no such page.");
    if (route.kind == UiKind::kDelete) {
        ui_delete(route);
        return;
    }
    // Pages are read with GET, or HEAD for their head alone.
    if (!read) ui_fail(405, "Method Not Allowed", "Pages are only read.");
    switch (route.kind) {
        case UiKind::kRepos: ui_repos_page(); break;
        case UiKind::kRepo: ui_repo_page(route); break;
        case UiKind::kImage: ui_image_page(route); break;
        default: ui_fail(404, "Not Found", "There is no such page."); break;
    }
}
