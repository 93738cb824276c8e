// ui.h - the browsable pages' program (ui): what its topics share. The
// program answers "/" (a redirect), every page under /ui/, the stylesheet
// and the script of the pages, and an HTML 404 for anything else:
//
//   /ui/                                   the repositories the user may pull
//   /ui/repo/<name>                        a repository's tags, page by page
//   /ui/repo/<name>/tag/<tag>              one image or index
//   /ui/repo/<name>/digest/<digest>        the same, by digest
//   .../tag/<tag>/delete, .../digest/<digest>/delete
//                                          GET: the confirmation form;
//                                          POST: the deletion (ui_delete.cc)
//   /ui/static/style.css, /ui/static/ui.js the assets (ui_assets.cc)
//
// Topics: routing (ui_route.cc), the frame of every page, its headers and
// refusals (ui_page.cc), the lists (ui_list.cc), the image page
// (ui_image.cc), deletion with its form tokens (ui_delete.cc), the assets
// (ui_assets.cc) and the dispatch (ui.cc).
#ifndef ENDPOINT_UI_H
#define ENDPOINT_UI_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "access/access.h"
#include "edge/html.h"

// ---- Routing (ui_route.cc) -------------------------------------------------

enum class UiKind {
    kNone,   // nothing the program serves: 404
    kRoot,   // "/": 302 to /ui/
    kRepos,  // /ui/
    kAsset,  // /ui/static/<file>; reference is the file name
    kRepo,   // /ui/repo/<name>
    kImage,  // /ui/repo/<name>/(tag|digest)/<reference>
    kDelete  // /ui/repo/<name>/(tag|digest)/<reference>/delete
};

struct UiRoute {
    UiKind kind = UiKind::kNone;
    std::string name;       // a repository name that passes reg_repo_name_valid
    std::string reference;  // a tag (reg_tag_valid) or a digest (reg_digest_valid)
    bool by_digest = false; // the reference is a digest
};

// Classifies path (PATH_INFO as the client sent it). Like the /v2 paths,
// the markers are found from the right: the last component "delete" after
// a "tag" or "digest" marker and its reference makes a deletion; else a
// "tag" or "digest" component second from the end makes an image page;
// else everything after /ui/repo/ is the repository's name. So "tag" and
// "digest" may be components of a name. One trailing '/' is allowed. A
// name, tag or digest outside its rule, an empty component, or anything
// else gives kNone; every other kind comes with valid parts.
UiKind ui_route_parse(const char *path, UiRoute *out);

// The path of a route's page, built from its (valid) parts: the form that
// links, redirects and form tokens use.
std::string ui_route_path(const UiRoute &route);

// ---- The frame of a page (ui_page.cc) --------------------------------------

// Page sizes of the lists: the default, and the most ?n= may ask for.
constexpr int32_t kUiPageDefault = 50;
constexpr int32_t kUiPageMax = 200;

// Whether the reply has a body: false for HEAD once its head is written
// (ui_page_begin), so that a page's writers write nothing more. Set for
// each request by ui_answer.
extern bool g_ui_body;

// Writing to the reply's body, escaped for where the text stands.
inline void ui_out(const char *s) {
    if (g_ui_body) fputs(s, stdout);
}
inline void ui_out(const std::string &s) {
    if (g_ui_body) fwrite(s.data(), 1, s.size(), stdout);
}
inline void ui_text(const std::string &s) {
    if (g_ui_body) html_write(stdout, HTML_TEXT, s.c_str());
}
inline void ui_attr(const std::string &s) {
    if (g_ui_body) html_write(stdout, HTML_ATTRIBUTE, s.c_str());
}
inline void ui_url(const std::string &s) {
    if (g_ui_body) html_write(stdout, HTML_URL_PATH, s.c_str());
}

// The status line and the header lines every reply of the program carries:
// Content-Security-Policy (own stylesheet and script only, no inline
// script or style, no frames, forms only to the site itself),
// X-Content-Type-Options, Referrer-Policy. The caller adds its own and
// ends the head.
void ui_head(int status, const char *reason);

// An HTML page's head and frame: ui_head, the HTML type, no caching by
// shared caches, extra (header lines, each ending in "\r\n"), then the
// document up to the opening of <main>, with title and the trail of links
// to the repository (when not empty).
void ui_page_begin(int status, const char *reason, const std::string &title,
                   const std::string &repository, const std::string &extra_headers = "");
// Closes what ui_page_begin opened and flushes.
void ui_page_end();

// An error page with status, ending the request (cgi_end_request). A 401
// carries the access policy's Basic challenge; a 405 says "Allow: GET, HEAD",
// the methods of every page.
[[noreturn]] void ui_fail(int status, const char *reason, const std::string &message);
// As ui_fail, with allow (e.g. "GET, POST") as a 405's Allow line, for a
// path that answers other methods than the pages do.
[[noreturn]] void ui_fail_with(int status, const char *reason, const std::string &message,
                               const char *allow);

// Returns when the request's user may carry out action in name (always
// without a policy); otherwise logs the refusal and answers 401 (no user:
// the browser asks for a login) or 403, ending the request.
void ui_require(access_action action, const std::string &name);

// Whether the request's user may carry out action in name, without
// answering. Deletion is never offered in a read-only registry.
bool ui_may(access_action action, const std::string &name);

// The host the browser used (HTTP_HOST when it is a host name or address
// with an optional port, else SERVER_NAME, else "localhost").
std::string ui_host();
// "https://<host>" when the request came over TLS (HTTPS "on" or "1"),
// else "http://<host>": the page's own origin.
std::string ui_origin();

// Formats for the pages: a byte count ("1.5 MB"), seconds since the epoch
// as "YYYY-MM-DD HH:MM UTC", and a digest's short form ("sha256:0123abcd
// 4567").
std::string ui_size(int64_t bytes);
std::string ui_time(int64_t seconds);
std::string ui_short_digest(const std::string &digest);

// The query value n as a page size (kUiPageDefault when absent or 0, at
// most kUiPageMax); a value that is not a number answers 400.
int32_t ui_page_size();

// ---- What a manifest holds (ui_image.cc) -------------------------------------

struct UiPlatform {
    std::string text;    // "linux/arm64/v8"
    std::string digest;  // the child manifest
    std::string media_type;
    int64_t size = 0;
};

struct UiManifest {
    std::string digest;
    std::string media_type;
    int64_t size = 0;       // of the manifest itself
    int64_t total = 0;      // config and layers; an index: of its images
    std::string created;    // from the image configuration ("" unknown)
    bool is_index = false;
    std::vector<UiPlatform> platforms;  // an index's images
};

// Describes the manifest of digest in repository name for the tag list:
// reads it, and for an image its configuration (the created time), for an
// index each of its images. false when it cannot be read.
bool ui_describe(const std::string &name, const std::string &digest, UiManifest *out);

// ---- Pages -------------------------------------------------------------------

void ui_repos_page();                       // ui_list.cc
void ui_repo_page(const UiRoute &route);    // ui_list.cc
void ui_image_page(const UiRoute &route);   // ui_image.cc
void ui_delete(const UiRoute &route);       // ui_delete.cc
void ui_asset(const UiRoute &route);        // ui_assets.cc

// The program's request handler (ui.cc), for cgi_serve.
void ui_answer();

// ---- Form tokens (ui_delete.cc) ----------------------------------------------

// How long a deletion form's token is good for, in seconds.
constexpr int64_t kUiTokenLifetime = 900;

// A token that binds a form to user (REMOTE_USER, "" for none), the path
// of its action and its expiry (seconds since the epoch):
// "<expiry>.<64 hex digits of HMAC-SHA256 under the store's secret
// "ui-form" of "ui-delete\n<user>\n<path>\n<expiry>">". "" when the secret
// cannot be had.
std::string ui_form_token(const std::string &user, const std::string &path, int64_t expiry);

// true when token is one that ui_form_token made for user and path and it
// has not expired at now (nor claims an expiry further than the lifetime
// ahead). Compared in constant time.
bool ui_form_token_valid(const std::string &token, const std::string &user,
                         const std::string &path, int64_t now);

#endif
