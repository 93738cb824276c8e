// The frame of every page of the browsable pages: the security headers
// every reply carries, the document around a page's content, error pages
// and refusals, and the formats the pages share.
#include <cstdio>
#include <cstring>
#include <string>

#include "edge/oci_common.h"
#include "edge/tw_cgi.h"
#include "endpoint/reply.h"
#include "endpoint/ui.h"

namespace {

// Own stylesheet and script only: no inline script or style, no plugins,
// no frames around the pages, forms post only to the site itself.
const char kSecurityHeaders[] =
    "Content-Security-Policy: default-src 'none'; style-src 'self'; script-src 'self'; "
    "img-src 'self'; connect-src 'none'; form-action 'self'; frame-ancestors 'none'; "
    "base-uri 'none'\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "Referrer-Policy: same-origin\r\n"
    "X-Frame-Options: DENY";

// At most this much of an unread request body is read away before an
// error page, so the web server keeps the reply (as the API's errors do).
const uint64_t kDiscardLimit = 64ull << 20;

bool host_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '.' || c == '-' || c == ':' || c == '[' || c == ']';
}

bool plausible_host(const char *host) {
    size_t n = strlen(host);
    if (n == 0 || n > 255) return false;
    for (size_t i = 0; i < n; i++)
        if (!host_char(host[i])) return false;
    return true;
}

// Days since 1970-01-01 as a civil date (proleptic Gregorian).
void civil_from_days(int64_t z, int64_t *y, unsigned *m, unsigned *d) {
    z += 719468;
    int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    unsigned doe = static_cast<unsigned>(z - era * 146097);
    unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64_t year = static_cast<int64_t>(yoe) + era * 400;
    unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    unsigned mp = (5 * doy + 2) / 153;
    *d = doy - (153 * mp + 2) / 5 + 1;
    *m = mp < 10 ? mp + 3 : mp - 9;
    *y = year + (*m <= 2 ? 1 : 0);
}

}  // namespace

bool g_ui_body = true;

void ui_head(int status, const char *reason) {
    cgi_header_status(status, reason);
    cgi_header_extra(kSecurityHeaders);
}

void ui_page_begin(int status, const char *reason, const std::string &title,
                   const std::string &repository, const std::string &extra_headers) {
    ui_head(status, reason);
    cgi_header_html();
    // Pages differ by user: no shared cache keeps them, and a browser asks
    // again each time (an image page answers 304 when nothing changed).
    cgi_header_extra("Cache-Control: private, no-cache");
    if (!extra_headers.empty()) {
        std::string lines = extra_headers;
        if (lines.size() >= 2 && lines.compare(lines.size() - 2, 2, "\r\n") == 0)
            lines.resize(lines.size() - 2);
        cgi_header_extra(lines.c_str());
    }
    cgi_headers_end();
    if (cgi_is_head()) g_ui_body = false;
    ui_out("<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
           "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>");
    ui_text(title);
    ui_out("</title>\n<link rel=\"stylesheet\" href=\"/ui/static/style.css\">\n"
           "<script src=\"/ui/static/ui.js\" defer></script>\n</head>\n<body>\n"
           "<header><nav><a href=\"/ui/\">Repositories</a>");
    if (!repository.empty()) {
        ui_out(" / <a href=\"/ui/repo/");
        ui_url(repository);
        ui_out("\">");
        ui_text(repository);
        ui_out("</a>");
    }
    const char *user = cgi_env("REMOTE_USER", "");
    if (user[0] != '\0') {
        ui_out("<span class=\"user\">");
        ui_text(user);
        ui_out("</span>");
    }
    ui_out("</nav></header>\n<main>\n");
}

void ui_page_end() {
    ui_out("</main>\n</body>\n</html>\n");
    fflush(stdout);
}

void ui_fail(int status, const char *reason, const std::string &message) {
    ui_fail_with(status, reason, message, status == 405 ? "GET, HEAD" : nullptr);
}

void ui_fail_with(int status, const char *reason, const std::string &message, const char *allow) {
    cgi_body_discard(kDiscardLimit);
    std::string extra;
    if (status == 401) {
        char challenge[256];
        oci_access_challenge_line(challenge, sizeof challenge);
        extra = challenge;
    }
    if (status == 405 && allow != nullptr) extra = std::string("Allow: ") + allow;
    std::string title = std::to_string(status) + " " + reason;
    ui_page_begin(status, reason, title, "", extra);
    ui_out("<h1>");
    ui_text(title);
    ui_out("</h1>\n<p class=\"error\">");
    ui_text(message);
    ui_out("</p>\n<p><a href=\"/ui/\">All repositories</a></p>\n");
    ui_page_end();
    cgi_end_request();
}

void ui_require(access_action action, const std::string &name) {
    oci_access_result result = oci_access_decide(action, name.c_str());
    if (result == OCI_ACCESS_ALLOWED) return;
    reply_access_refused_line(action, name.c_str());
    if (result == OCI_ACCESS_NO_USER)
        ui_fail(401, "Unauthorized", "Log in to see this page.");
    ui_fail(403, "Forbidden", "You may not see or change this.");
}

bool ui_may(access_action action, const std::string &name) {
    if (action != ACCESS_PULL && oci_read_only()) return false;
    return oci_access_decide(action, name.c_str()) == OCI_ACCESS_ALLOWED;
}

std::string ui_host() {
    const char *host = cgi_env("HTTP_HOST", "");
    if (plausible_host(host)) return host;
    host = cgi_env("SERVER_NAME", "");
    if (plausible_host(host)) return host;
    return "localhost";
}

std::string ui_origin() {
    const char *https = cgi_env("HTTPS", "");
    bool tls = strcmp(https, "on") == 0 || strcmp(https, "ON") == 0 || strcmp(https, "1") == 0;
    return std::string(tls ? "https://" : "http://") + ui_host();
}

std::string ui_size(int64_t bytes) {
    static const char *const kUnits[] = {"B", "kB", "MB", "GB", "TB", "PB"};
    if (bytes < 1000) return std::to_string(bytes < 0 ? 0 : bytes) + " B";
    double value = static_cast<double>(bytes);
    size_t unit = 0;
    while (value >= 1000 && unit + 1 < sizeof kUnits / sizeof kUnits[0]) {
        value /= 1000;
        unit++;
    }
    char text[32];
    snprintf(text, sizeof text, value < 10 ? "%.1f %s" : "%.0f %s", value, kUnits[unit]);
    return text;
}

std::string ui_time(int64_t seconds) {
    if (seconds <= 0) return "";
    int64_t days = seconds / 86400, rest = seconds % 86400;
    int64_t y;
    unsigned m, d;
    civil_from_days(days, &y, &m, &d);
    char text[48];
    snprintf(text, sizeof text, "%04lld-%02u-%02u %02lld:%02lld UTC", static_cast<long long>(y), m,
             d, static_cast<long long>(rest / 3600), static_cast<long long>(rest / 60 % 60));
    return text;
}

std::string ui_short_digest(const std::string &digest) {
    size_t colon = digest.find(':');
    if (colon == std::string::npos) return digest;
    return digest.substr(0, colon + 1 + 12);
}

int32_t ui_page_size() {
    int32_t n = -1;
    if (!oci_parse_page_size(cgi_query("n"), &n))
        ui_fail(400, "Bad Request", "n must be a number of entries.");
    if (n <= 0) return kUiPageDefault;
    return n > kUiPageMax ? kUiPageMax : n;
}
