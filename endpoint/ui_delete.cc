// Deletion from the pages: a tag, or a manifest by digest, through a form
// with a confirmation step. A POST deletes only when it proves twice that
// it comes from the page itself: the browser says so (Origin equal to the
// page's origin, or Sec-Fetch-Site: same-origin, and neither names another
// site), and it carries the form's token, which binds the user, the action
// and an expiry under the store's secret.
#include <cstdlib>
#include <cstring>
#include <string>

#include "digest/sha256.h"
#include "edge/oci_common.h"
#include "edge/tw_cgi.h"
#include "endpoint/reply.h"
#include "endpoint/ui.h"
#include "platform/platform.h"
#include "storage/reg_storage.h"

namespace {

// The largest form body read.
constexpr uint64_t kFormMax = 4096;

const char kSecretName[] = "ui-form";

std::string hex_of(const uint8_t *raw, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; i++) {
        out += digits[raw[i] >> 4];
        out += digits[raw[i] & 15];
    }
    return out;
}

// Whether the browser says the request comes from the page's own origin.
bool same_origin_request() {
    std::string origin = cgi_env("HTTP_ORIGIN", "");
    std::string site = cgi_env("HTTP_SEC_FETCH_SITE", "");
    if (!origin.empty() && origin != ui_origin()) return false;
    if (!site.empty() && site != "same-origin") return false;
    return !origin.empty() || site == "same-origin";
}

// Whether what the route names is there to delete.
bool target_exists(const UiRoute &route) {
    char path[REG_PATH_MAX], type[REG_CONTENT_TYPE_SIZE], digest[REG_DIGEST_STRING_SIZE];
    int64_t size = 0;
    return reg_manifest_locate(route.name.c_str(), route.reference.c_str(), path, sizeof path, type,
                               digest, &size) == 0;
}

void confirm_page(const UiRoute &route, const std::string &action) {
    std::string token =
        ui_form_token(cgi_env("REMOTE_USER", ""), action, plat_time_seconds() + kUiTokenLifetime);
    if (token.empty()) ui_fail(500, "Internal Server Error", "No form key could be had.");
    UiRoute image = route;
    image.kind = UiKind::kImage;
    std::string what = route.by_digest ? "the manifest " + route.reference : "the tag " + route.reference;
    ui_page_begin(200, "OK", "Delete " + route.reference, route.name);
    ui_out("<h1>Delete ");
    ui_text(what);
    ui_out("?</h1>\n<p>");
    ui_out(route.by_digest
               ? "The manifest goes from the repository with every tag that names it."
               : "Only the tag goes; the manifest it names stays, reachable by its digest.");
    ui_out("</p>\n<form method=\"post\" action=\"");
    ui_url(action);
    ui_out("\">\n<input type=\"hidden\" name=\"token\" value=\"");
    ui_attr(token);
    ui_out("\">\n<button type=\"submit\" id=\"confirm-delete\">Delete</button>\n<a href=\"");
    ui_url(ui_route_path(image));
    ui_out("\">Cancel</a>\n</form>\n");
    ui_page_end();
}

void carry_out(const UiRoute &route, const std::string &action) {
    if (oci_read_only()) ui_fail(405, "Method Not Allowed", "The registry is read-only.");
    if (!same_origin_request()) {
        reply_access_refused_line(ACCESS_DELETE, route.name.c_str());
        ui_fail(403, "Forbidden", "The request did not come from this site's page.");
    }
    cgi_body body;
    if (cgi_body_open(&body) != 0) ui_fail(400, "Bad Request", "The form could not be read.");
    size_t length = 0;
    int too_large = 0;
    char *bytes = cgi_body_read_all(&body, kFormMax, &length, &too_large);
    cgi_body_close(&body);
    std::string form = bytes != nullptr ? std::string(bytes, length) : "";
    free(bytes);
    char token[128];
    cgi_form_value(form.c_str(), "token", token, sizeof token);
    if (!ui_form_token_valid(token, cgi_env("REMOTE_USER", ""), action, plat_time_seconds())) {
        reply_access_refused_line(ACCESS_DELETE, route.name.c_str());
        ui_fail(403, "Forbidden", "The form has expired or is not this page's. Load it again.");
    }
    int rc = route.by_digest ? reg_manifest_remove(route.name.c_str(), route.reference.c_str())
                             : reg_tag_delete(route.name.c_str(), route.reference.c_str());
    if (rc != 0) {
        if (reg_storage_last_status() == REG_STATUS_NOT_FOUND)
            ui_fail(404, "Not Found", "It is not there any more.");
        ui_fail(500, "Internal Server Error", "The store could not delete it.");
    }
    if (route.by_digest)
        reply_access_line("manifest.delete", route.name.c_str(), route.reference.c_str(), nullptr);
    else
        reply_access_line("tag.delete", route.name.c_str(), nullptr, route.reference.c_str());
    UiRoute repo;
    repo.kind = UiKind::kRepo;
    repo.name = route.name;
    char location[OCI_NAME_MAX * 3 + 32];
    char escaped[OCI_NAME_MAX * 3];
    html_escape(HTML_URL_PATH, ui_route_path(repo).c_str(), escaped, sizeof escaped);
    tw_snprintf(location, sizeof location, "Location: %s", escaped);
    ui_head(303, "See Other");
    cgi_header_extra(location);
    cgi_header_extra("Content-Length: 0");
    cgi_headers_end();
    fflush(stdout);
}

}  // namespace

std::string ui_form_token(const std::string &user, const std::string &path, int64_t expiry) {
    uint8_t secret[REG_SECRET_SIZE];
    if (reg_storage_secret(kSecretName, secret) != 0) return "";
    std::string stamp = std::to_string(expiry);
    std::string message = "ui-delete\n" + user + "\n" + path + "\n" + stamp;
    uint8_t mac[32];
    sha256_hmac(secret, sizeof secret, message.data(), message.size(), mac);
    return stamp + "." + hex_of(mac, sizeof mac);
}

bool ui_form_token_valid(const std::string &token, const std::string &user,
                         const std::string &path, int64_t now) {
    size_t dot = token.find('.');
    if (dot == std::string::npos || dot == 0 || dot > 18 || token.size() != dot + 1 + 64)
        return false;
    int64_t expiry = 0;
    for (size_t i = 0; i < dot; i++) {
        if (token[i] < '0' || token[i] > '9') return false;
        expiry = expiry * 10 + (token[i] - '0');
    }
    if (expiry < now || expiry > now + kUiTokenLifetime + 60) return false;
    std::string expected = ui_form_token(user, path, expiry);
    if (expected.size() != token.size()) return false;
    unsigned char diff = 0;
    for (size_t i = 0; i < token.size(); i++)
        diff |= static_cast<unsigned char>(expected[i] ^ token[i]);
    return diff == 0;
}

void ui_delete(const UiRoute &route) {
    const char *method = cgi_method();
    bool post = strcmp(method, "POST") == 0;
    if (!post && strcmp(method, "GET") != 0)
        ui_fail_with(405, "Method Not Allowed", "Only GET and POST are answered here.", "GET, POST");
    ui_require(ACCESS_DELETE, route.name);
    std::string action = ui_route_path(route);
    if (!post) {
        if (oci_read_only()) ui_fail(405, "Method Not Allowed", "The registry is read-only.");
        if (!target_exists(route)) ui_fail(404, "Not Found", "No such tag or manifest.");
        confirm_page(route, action);
        return;
    }
    carry_out(route, action);
}
