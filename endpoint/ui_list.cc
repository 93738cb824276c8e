// The lists of the browsable pages: the repositories the user may pull,
// and a repository's tags with what each names. Only what is on the page
// is read: a repository of any number of tags costs one listing and the
// manifests of one page.
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <yyjson.h>

#include "edge/oci_common.h"
#include "edge/tw_cgi.h"
#include "endpoint/reply.h"
#include "endpoint/ui.h"
#include "storage/reg_storage.h"

namespace {

// The strings of the array member key of a JSON document the storage gave.
std::vector<std::string> names_in(const char *doc, const char *key) {
    std::vector<std::string> names;
    yyjson_doc *parsed = yyjson_read(doc, strlen(doc), 0);
    size_t i, max;
    yyjson_val *v;
    yyjson_arr_foreach(yyjson_obj_get(yyjson_doc_get_root(parsed), key), i, max, v)
        if (yyjson_is_str(v)) names.emplace_back(yyjson_get_str(v));
    yyjson_doc_free(parsed);
    return names;
}

// A query value for a link, percent-encoded.
std::string query_value(const std::string &text) {
    char escaped[1024];
    query_escape(text.c_str(), escaped, sizeof escaped);
    return escaped;
}

// Lower-case ASCII, for the filter.
std::string folded(const std::string &text) {
    std::string out = text;
    for (char &c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

struct RepoFilter {
    const access_policy *policy;  // NULL: no policy, every repository shows
    std::string user;
    std::string needle;           // folded; "" keeps every name
};

int keep_repository(const char *name, void *context) {
    const RepoFilter *f = static_cast<const RepoFilter *>(context);
    if (!f->needle.empty() && folded(name).find(f->needle) == std::string::npos) return 0;
    if (f->policy == nullptr) return 1;
    return access_may(f->policy, f->user.c_str(), ACCESS_PULL, name, nullptr);
}

void next_link(const std::string &href) {
    ui_out("<p class=\"pages\"><a rel=\"next\" href=\"");
    ui_attr(href);
    ui_out("\">Next page</a></p>\n");
}

}  // namespace

void ui_repos_page() {
    // Under a policy that grants a request without a user nothing, the
    // browser is asked for a login first.
    if (oci_access_decide_base() == OCI_ACCESS_NO_USER)
        ui_fail(401, "Unauthorized", "Log in to see the repositories.");
    int32_t n = ui_page_size();
    std::string q = cgi_query("q");
    if (q.size() > REG_REPO_NAME_MAX) q.resize(REG_REPO_NAME_MAX);
    std::string last = cgi_query("last");
    RepoFilter filter{oci_access_policy(), cgi_env("REMOTE_USER", ""), folded(q)};
    char next[OCI_NAME_MAX] = "";
    const char *doc =
        oci_access_policy_in_force() || !q.empty()
            ? reg_catalog_page_where(n, last.c_str(), keep_repository, &filter, next, sizeof next)
            : reg_catalog_page(n, last.c_str(), next, sizeof next);
    if (doc == nullptr) ui_fail(500, "Internal Server Error", "The store could not be listed.");
    std::vector<std::string> names = names_in(doc, "repositories");

    ui_page_begin(200, "OK", "Repositories", "");
    ui_out("<h1>Repositories</h1>\n<form method=\"get\" action=\"/ui/\" class=\"filter\">"
           "<input type=\"search\" name=\"q\" placeholder=\"Filter\" value=\"");
    ui_attr(q);
    ui_out("\"> <button type=\"submit\">Filter</button></form>\n");
    if (names.empty()) {
        ui_out("<p>No repositories to show.</p>\n");
    } else {
        ui_out("<table id=\"repositories\">\n<tr><th>Repository</th><th>Tags</th>"
               "<th>Last push</th></tr>\n");
        for (const std::string &name : names) {
            reg_repo_summary_info info = {0, 0};
            bool known = reg_repo_summary(name.c_str(), &info) == 0;
            ui_out("<tr><td><a href=\"/ui/repo/");
            ui_url(name);
            ui_out("\">");
            ui_text(name);
            ui_out("</a></td><td>");
            if (known) ui_out(std::to_string(info.tags));
            ui_out("</td><td>");
            if (known) ui_text(ui_time(info.last_push));
            ui_out("</td></tr>\n");
        }
        ui_out("</table>\n");
    }
    if (next[0] != '\0')
        next_link("/ui/?q=" + query_value(q) + "&n=" + std::to_string(n) + "&last=" +
                  query_value(next));
    ui_page_end();
}

void ui_repo_page(const UiRoute &route) {
    ui_require(ACCESS_PULL, route.name);
    int32_t n = ui_page_size();
    std::string last = cgi_query("last");
    char next[OCI_REFERENCE_MAX] = "";
    const char *doc = reg_tags_list_page(route.name.c_str(), n, last.c_str(), next, sizeof next);
    if (doc == nullptr) {
        if (reg_storage_last_status() == REG_STATUS_NOT_FOUND ||
            reg_storage_last_status() == REG_STATUS_INVALID_NAME)
            ui_fail(404, "Not Found", "No such repository.");
        ui_fail(500, "Internal Server Error", "The store could not be listed.");
    }
    // The document lives in the storage's shared buffer, which the reads
    // below reuse: the names are copied out first.
    std::vector<std::string> tags = names_in(doc, "tags");
    std::string next_tag = next;

    struct Row {
        std::string tag;
        bool found = false;
        UiManifest manifest;
        uint64_t referrers = 0;
    };
    std::vector<Row> rows;
    // Tags that name one manifest share its description.
    std::map<std::string, UiManifest> described;
    for (const std::string &tag : tags) {
        Row r;
        r.tag = tag;
        char path[REG_PATH_MAX], type[REG_CONTENT_TYPE_SIZE], digest[REG_DIGEST_STRING_SIZE];
        int64_t size = 0;
        if (reg_manifest_locate(route.name.c_str(), tag.c_str(), path, sizeof path, type, digest,
                                &size) == 0) {
            auto it = described.find(digest);
            if (it == described.end()) {
                UiManifest m;
                if (!ui_describe(route.name, digest, &m)) {
                    m = UiManifest();
                    m.digest = digest;
                    m.media_type = type;
                    m.size = size;
                }
                it = described.emplace(digest, m).first;
            }
            r.found = true;
            r.manifest = it->second;
            if (reg_referrers_count(route.name.c_str(), digest, &r.referrers) != 0) r.referrers = 0;
        }
        rows.push_back(std::move(r));
    }

    ui_page_begin(200, "OK", route.name, route.name);
    ui_out("<h1>");
    ui_text(route.name);
    ui_out("</h1>\n");
    if (rows.empty()) {
        ui_out("<p>No tags.</p>\n");
    } else {
        ui_out("<table id=\"tags\">\n<tr><th>Tag</th><th>Digest</th><th>Size</th>"
               "<th>Created</th><th>Platforms</th><th>Referrers</th></tr>\n");
        for (const Row &r : rows) {
            ui_out("<tr><td><a href=\"/ui/repo/");
            ui_url(route.name);
            ui_out("/tag/");
            ui_url(r.tag);
            ui_out("\">");
            ui_text(r.tag);
            ui_out("</a></td><td>");
            if (r.found) {
                ui_out("<code title=\"");
                ui_attr(r.manifest.digest);
                ui_out("\">");
                ui_text(ui_short_digest(r.manifest.digest));
                ui_out("</code>");
            }
            ui_out("</td><td");
            if (r.found) {
                ui_out(" title=\"");
                ui_out(std::to_string(r.manifest.total));
                ui_out(" bytes\">");
                ui_text(ui_size(r.manifest.total));
            } else {
                ui_out(">");
            }
            ui_out("</td><td>");
            ui_text(r.manifest.created);
            ui_out("</td><td>");
            for (size_t i = 0; i < r.manifest.platforms.size(); i++) {
                if (i > 0) ui_out(", ");
                ui_text(r.manifest.platforms[i].text);
            }
            ui_out("</td><td>");
            if (r.found) ui_out(std::to_string(r.referrers));
            ui_out("</td></tr>\n");
        }
        ui_out("</table>\n");
    }
    if (!next_tag.empty()) {
        std::string href = "/ui/repo/";
        char escaped[OCI_NAME_MAX * 3];
        html_escape(HTML_URL_PATH, route.name.c_str(), escaped, sizeof escaped);
        href += escaped;
        href += "?n=" + std::to_string(n) + "&last=" + query_value(next_tag);
        next_link(href);
    }
    ui_page_end();
}
