// The page of one image or index, by tag or by digest, and the description
// of a manifest that the tag list shows. A page reads the manifest once and
// an image's configuration once.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <yyjson.h>

#include "digest/sha256.h"
#include "edge/oci_common.h"
#include "edge/tw_cgi.h"
#include "endpoint/reply.h"
#include "endpoint/ui.h"
#include "platform/platform.h"
#include "storage/reg_storage.h"

namespace {

// The largest image configuration a page reads.
constexpr int64_t kConfigMax = 4 << 20;

const char *str_of(yyjson_val *obj, const char *key) {
    yyjson_val *v = yyjson_obj_get(obj, key);
    return yyjson_is_str(v) ? yyjson_get_str(v) : nullptr;
}

std::string str_or_empty(yyjson_val *obj, const char *key) {
    const char *s = str_of(obj, key);
    return s != nullptr ? s : "";
}

int64_t size_of(yyjson_val *obj) {
    yyjson_val *v = yyjson_obj_get(obj, "size");
    return yyjson_is_int(v) ? yyjson_get_sint(v) : 0;
}

// A JSON document that frees itself.
struct Json {
    yyjson_doc *doc = nullptr;
    explicit Json(const std::string &text) { doc = yyjson_read(text.data(), text.size(), 0); }
    ~Json() { yyjson_doc_free(doc); }
    Json(const Json &) = delete;
    Json &operator=(const Json &) = delete;
    yyjson_val *root() const { return doc != nullptr ? yyjson_doc_get_root(doc) : nullptr; }
};

// The manifest of digest in name, its body and stored media type.
bool read_manifest(const std::string &name, const std::string &digest, std::string *body,
                   std::string *media_type) {
    char type[REG_CONTENT_TYPE_SIZE], got[REG_DIGEST_STRING_SIZE];
    const char *text = reg_manifest_get(name.c_str(), digest.c_str(), type, got);
    if (text == nullptr) return false;
    body->assign(text);
    media_type->assign(type);
    return true;
}

// The blob of digest as text, when it is stored and not larger than limit.
bool read_blob(const std::string &digest, int64_t limit, std::string *out) {
    reg_opened blob;
    if (reg_blob_open(digest.c_str(), &blob) != 0) return false;
    bool ok = blob.size <= limit;
    if (ok) {
        out->resize(static_cast<size_t>(blob.size));
        ok = plat_fread(out->data(), out->size(), blob.file) == out->size();
    }
    fclose(blob.file);
    return ok;
}

bool is_image_config(const char *type) {
    return type != nullptr && (strcmp(type, "application/vnd.oci.image.config.v1+json") == 0 ||
                               strcmp(type, "application/vnd.docker.container.image.v1+json") == 0);
}

std::string platform_text(yyjson_val *platform) {
    std::string text = str_or_empty(platform, "os") + "/" + str_or_empty(platform, "architecture");
    std::string variant = str_or_empty(platform, "variant");
    if (!variant.empty()) text += "/" + variant;
    return text;
}

// The text of the image configuration that an image manifest of
// repository name names; "" when it names none, or one that cannot be
// read or that the repository may not reach (under an access policy, a
// blob another tenant holds is not shown through this one).
std::string config_text_of(const std::string &name, yyjson_val *manifest) {
    yyjson_val *config = yyjson_obj_get(manifest, "config");
    std::string text;
    if (!is_image_config(str_of(config, "mediaType"))) return text;
    const char *digest = str_of(config, "digest");
    if (digest == nullptr || !reg_digest_valid(digest) ||
        !endpoint_blob_reachable(name.c_str(), digest) || !read_blob(digest, kConfigMax, &text))
        text.clear();
    return text;
}

// Config and layers of an image manifest.
int64_t image_total(yyjson_val *manifest) {
    int64_t total = size_of(yyjson_obj_get(manifest, "config"));
    yyjson_val *layers = yyjson_obj_get(manifest, "layers");
    size_t i, max;
    yyjson_val *layer;
    yyjson_arr_foreach(layers, i, max, layer) total += size_of(layer);
    return total;
}

bool describe(const std::string &name, const std::string &digest, UiManifest *out, int depth) {
    std::string body, type;
    if (!read_manifest(name, digest, &body, &type)) return false;
    Json doc(body);
    yyjson_val *root = doc.root();
    if (!yyjson_is_obj(root)) return false;
    out->digest = digest;
    out->media_type = type;
    out->size = static_cast<int64_t>(body.size());
    yyjson_val *children = yyjson_obj_get(root, "manifests");
    if (yyjson_is_arr(children)) {
        out->is_index = true;
        size_t i, max;
        yyjson_val *child;
        yyjson_arr_foreach(children, i, max, child) {
            UiPlatform p;
            p.text = platform_text(yyjson_obj_get(child, "platform"));
            p.digest = str_or_empty(child, "digest");
            p.media_type = str_or_empty(child, "mediaType");
            p.size = size_of(child);
            out->platforms.push_back(p);
            UiManifest image;
            if (depth == 0 && reg_digest_valid(p.digest.c_str()) &&
                describe(name, p.digest, &image, depth + 1)) {
                out->total += image.total;
                if (out->created.empty() || image.created > out->created)
                    out->created = image.created;
            }
        }
        return true;
    }
    out->total = image_total(root);
    std::string config = config_text_of(name, root);
    if (!config.empty()) {
        Json c(config);
        out->created = str_or_empty(c.root(), "created");
    }
    return true;
}

// ---- The page ----------------------------------------------------------------

// A fact the configuration leaves out reads "none", not an empty cell.
void row(const char *label, const std::string &value) {
    ui_out("<tr><th>");
    ui_out(label);
    ui_out("</th><td>");
    if (value.empty())
        ui_out("<span class=\"none\">none</span>");
    else
        ui_text(value);
    ui_out("</td></tr>\n");
}

// A JSON array of strings as one line, each word quoted when it holds a
// space: how a command reads.
std::string command_line(yyjson_val *arr) {
    std::string line;
    size_t i, max;
    yyjson_val *v;
    yyjson_arr_foreach(arr, i, max, v) {
        if (!yyjson_is_str(v)) continue;
        std::string word = yyjson_get_str(v);
        if (!line.empty()) line += ' ';
        line += word.find(' ') != std::string::npos || word.empty() ? "\"" + word + "\"" : word;
    }
    return line;
}

void config_section(yyjson_val *cfg) {
    ui_out("<section id=\"config\">\n<h2>Configuration</h2>\n");
    if (cfg == nullptr) {
        ui_out("<p>No image configuration.</p>\n</section>\n");
        return;
    }
    yyjson_val *c = yyjson_obj_get(cfg, "config");
    ui_out("<table class=\"facts\">\n");
    row("Created", str_or_empty(cfg, "created"));
    row("Platform", platform_text(cfg));
    row("Entrypoint", command_line(yyjson_obj_get(c, "Entrypoint")));
    row("Command", command_line(yyjson_obj_get(c, "Cmd")));
    if (str_of(c, "User") != nullptr) row("User", str_or_empty(c, "User"));
    if (str_of(c, "WorkingDir") != nullptr) row("Working directory", str_or_empty(c, "WorkingDir"));
    std::string ports;
    size_t i, max;
    yyjson_val *key, *val;
    yyjson_obj_foreach(yyjson_obj_get(c, "ExposedPorts"), i, max, key, val) {
        if (!ports.empty()) ports += ", ";
        ports += yyjson_get_str(key);
    }
    row("Exposed ports", ports);
    ui_out("</table>\n<h3>Environment</h3>\n<ul id=\"environment\">\n");
    yyjson_arr_foreach(yyjson_obj_get(c, "Env"), i, max, val) {
        if (!yyjson_is_str(val)) continue;
        ui_out("<li><code>");
        ui_text(yyjson_get_str(val));
        ui_out("</code></li>\n");
    }
    ui_out("</ul>\n<h3>Labels</h3>\n<table id=\"labels\">\n");
    yyjson_obj_foreach(yyjson_obj_get(c, "Labels"), i, max, key, val) {
        ui_out("<tr><th>");
        ui_text(yyjson_get_str(key));
        ui_out("</th><td>");
        if (yyjson_is_str(val)) ui_text(yyjson_get_str(val));
        ui_out("</td></tr>\n");
    }
    ui_out("</table>\n<h3>History</h3>\n<table id=\"history\">\n"
           "<tr><th>Created</th><th>Command</th><th>Layer</th></tr>\n");
    yyjson_arr_foreach(yyjson_obj_get(cfg, "history"), i, max, val) {
        ui_out("<tr><td>");
        ui_text(str_or_empty(val, "created"));
        ui_out("</td><td><code>");
        ui_text(str_or_empty(val, "created_by"));
        ui_out("</code></td><td>");
        ui_out(yyjson_get_bool(yyjson_obj_get(val, "empty_layer")) ? "none" : "yes");
        ui_out("</td></tr>\n");
    }
    ui_out("</table>\n</section>\n");
}

void layers_section(const std::string &name, yyjson_val *manifest) {
    yyjson_val *layers = yyjson_obj_get(manifest, "layers");
    int64_t biggest = 1;
    size_t i, max;
    yyjson_val *layer;
    yyjson_arr_foreach(layers, i, max, layer) if (size_of(layer) > biggest) biggest = size_of(layer);
    ui_out("<section id=\"layers\">\n<h2>Layers</h2>\n<table>\n"
           "<tr><th>Digest</th><th>Media type</th><th>Size</th><th></th><th></th></tr>\n");
    yyjson_arr_foreach(layers, i, max, layer) {
        std::string digest = str_or_empty(layer, "digest");
        int64_t size = size_of(layer);
        ui_out("<tr><td><code title=\"");
        ui_attr(digest);
        ui_out("\">");
        ui_text(ui_short_digest(digest));
        ui_out("</code></td><td>");
        ui_text(str_or_empty(layer, "mediaType"));
        ui_out("</td><td title=\"");
        ui_attr(std::to_string(size) + " bytes");
        ui_out("\">");
        ui_text(ui_size(size));
        // A bar to scale of the biggest layer, without inline style.
        ui_out("</td><td><meter min=\"0\" max=\"");
        ui_out(std::to_string(biggest));
        ui_out("\" value=\"");
        ui_out(std::to_string(size < 0 ? 0 : size));
        ui_out("\"></meter></td><td>");
        if (reg_digest_valid(digest.c_str())) {
            ui_out("<a href=\"/v2/");
            ui_url(name);
            ui_out("/blobs/");
            ui_url(digest);
            ui_out("\" download>download</a>");
        }
        ui_out("</td></tr>\n");
    }
    ui_out("</table>\n</section>\n");
}

void platforms_section(const std::string &name, yyjson_val *manifest) {
    ui_out("<section id=\"platforms\">\n<h2>Platforms</h2>\n<ul>\n");
    size_t i, max;
    yyjson_val *child;
    yyjson_arr_foreach(yyjson_obj_get(manifest, "manifests"), i, max, child) {
        std::string digest = str_or_empty(child, "digest");
        std::string platform = platform_text(yyjson_obj_get(child, "platform"));
        ui_out("<li>");
        if (reg_digest_valid(digest.c_str())) {
            ui_out("<a href=\"/ui/repo/");
            ui_url(name);
            ui_out("/digest/");
            ui_url(digest);
            ui_out("\">");
            ui_text(platform);
            ui_out("</a>");
        } else {
            ui_text(platform);
        }
        ui_out(" <code title=\"");
        ui_attr(digest);
        ui_out("\">");
        ui_text(ui_short_digest(digest));
        ui_out("</code> ");
        ui_text(ui_size(size_of(child)));
        ui_out("</li>\n");
    }
    ui_out("</ul>\n</section>\n");
}

void referrers_section(const std::string &name, const std::string &referrers) {
    Json doc(referrers);
    ui_out("<section id=\"referrers\">\n<h2>Referrers</h2>\n");
    yyjson_val *list = yyjson_obj_get(doc.root(), "manifests");
    if (yyjson_arr_size(list) == 0) {
        ui_out("<p>No signatures, SBOMs or attestations refer to this manifest.</p>\n</section>\n");
        return;
    }
    ui_out("<table>\n<tr><th>Artifact type</th><th>Digest</th><th>Annotations</th></tr>\n");
    size_t i, max;
    yyjson_val *r;
    yyjson_arr_foreach(list, i, max, r) {
        std::string digest = str_or_empty(r, "digest");
        ui_out("<tr><td>");
        ui_text(str_or_empty(r, "artifactType"));
        ui_out("</td><td>");
        if (reg_digest_valid(digest.c_str())) {
            ui_out("<a href=\"/ui/repo/");
            ui_url(name);
            ui_out("/digest/");
            ui_url(digest);
            ui_out("\" title=\"");
            ui_attr(digest);
            ui_out("\">");
            ui_text(ui_short_digest(digest));
            ui_out("</a>");
        }
        ui_out("</td><td><dl>");
        size_t j, jmax;
        yyjson_val *key, *val;
        yyjson_obj_foreach(yyjson_obj_get(r, "annotations"), j, jmax, key, val) {
            ui_out("<dt>");
            ui_text(yyjson_get_str(key));
            ui_out("</dt><dd>");
            if (yyjson_is_str(val)) ui_text(yyjson_get_str(val));
            ui_out("</dd>");
        }
        ui_out("</dl></td></tr>\n");
    }
    ui_out("</table>\n</section>\n");
}

void command(const std::string &text) {
    ui_out("<li><code>");
    ui_text(text);
    ui_out("</code> <button type=\"button\" class=\"copy\" hidden data-copy=\"");
    ui_attr(text);
    ui_out("\">Copy</button></li>\n");
}

void pull_section(const UiRoute &route) {
    std::string ref = ui_host() + "/" + route.name + (route.by_digest ? "@" : ":") + route.reference;
    ui_out("<section id=\"pull\">\n<h2>Pull</h2>\n<ul>\n");
    command("podman pull " + ref);
    command("docker pull " + ref);
    command("skopeo copy docker://" + ref + " oci-archive:image.tar");
    ui_out("</ul>\n</section>\n");
}

// true when the request's If-None-Match names etag (or is "*").
bool etag_matches(const std::string &etag) {
    std::string asked = cgi_env("HTTP_IF_NONE_MATCH", "");
    if (asked.empty()) return false;
    size_t at = 0;
    while (at <= asked.size()) {
        size_t comma = asked.find(',', at);
        std::string one = asked.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        size_t b = one.find_first_not_of(" \t"), e = one.find_last_not_of(" \t");
        one = b == std::string::npos ? "" : one.substr(b, e - b + 1);
        if (one.compare(0, 2, "W/") == 0) one.erase(0, 2);
        if (one == "*" || one == etag) return true;
        if (comma == std::string::npos) break;
        at = comma + 1;
    }
    return false;
}

}  // namespace

bool ui_describe(const std::string &name, const std::string &digest, UiManifest *out) {
    *out = UiManifest();
    return describe(name, digest, out, 0);
}

void ui_image_page(const UiRoute &route) {
    ui_require(ACCESS_PULL, route.name);
    char path[REG_PATH_MAX], type[REG_CONTENT_TYPE_SIZE], digest[REG_DIGEST_STRING_SIZE];
    int64_t size = 0;
    if (reg_manifest_locate(route.name.c_str(), route.reference.c_str(), path, sizeof path, type,
                            digest, &size) != 0) {
        if (reg_storage_last_status() == REG_STATUS_NOT_FOUND ||
            reg_storage_last_status() == REG_STATUS_INVALID_NAME)
            ui_fail(404, "Not Found", "No such manifest in this repository.");
        ui_fail(500, "Internal Server Error", "The store could not be read.");
    }
    bool can_delete = ui_may(ACCESS_DELETE, route.name);
    const char *refs = reg_referrers_json(route.name.c_str(), digest, "");
    std::string referrers = refs != nullptr ? refs : "{}";

    // The page is a function of the manifest (its digest), its referrers,
    // who asks and what they may do, and the host in the pull commands.
    std::string key = std::string(digest) + "\n" + route.reference + "\n" +
                      cgi_env("REMOTE_USER", "") + "\n" + (can_delete ? "d" : "-") + "\n" +
                      ui_origin() + "\n" + referrers;
    uint8_t raw[32];
    sha256_hmac("ui-page", 7, key.data(), key.size(), raw);
    static const char hex[] = "0123456789abcdef";
    std::string etag = "\"";
    for (int i = 0; i < 16; i++) {
        etag += hex[raw[i] >> 4];
        etag += hex[raw[i] & 15];
    }
    etag += "\"";
    std::string etag_line = "ETag: " + etag;
    if (etag_matches(etag)) {
        ui_head(304, "Not Modified");
        cgi_header_extra(etag_line.c_str());
        cgi_header_extra("Cache-Control: private, no-cache");
        cgi_headers_end();
        fflush(stdout);
        return;
    }

    std::string body, media_type;
    if (!read_manifest(route.name, digest, &body, &media_type))
        ui_fail(404, "Not Found", "The manifest went away.");
    Json doc(body);
    yyjson_val *root = doc.root();
    if (!yyjson_is_obj(root)) ui_fail(500, "Internal Server Error", "The manifest does not parse.");
    bool is_index = yyjson_is_arr(yyjson_obj_get(root, "manifests"));
    std::string config = is_index ? "" : config_text_of(route.name, root);
    Json cfg(config);

    std::string title = route.name + (route.by_digest ? "@" + ui_short_digest(route.reference)
                                                      : ":" + route.reference);
    ui_page_begin(200, "OK", title, route.name, etag_line);
    ui_out("<h1>");
    ui_text(title);
    ui_out("</h1>\n<table class=\"facts\" id=\"manifest\">\n");
    row("Media type", media_type);
    ui_out("<tr><th>Digest</th><td><code>");
    ui_text(digest);
    ui_out("</code></td></tr>\n");
    row("Manifest size", std::to_string(body.size()) + " bytes");
    const char *artifact = str_of(root, "artifactType");
    if (artifact != nullptr) row("Artifact type", artifact);
    if (!is_index) row("Compressed size", ui_size(image_total(root)));
    ui_out("</table>\n");
    if (can_delete) {
        UiRoute del = route;
        del.kind = UiKind::kDelete;
        ui_out("<p><a class=\"delete\" href=\"");
        ui_url(ui_route_path(del));
        ui_out(route.by_digest ? "\">Delete this manifest</a></p>\n" : "\">Delete this tag</a></p>\n");
    }
    if (is_index) {
        platforms_section(route.name, root);
    } else {
        config_section(yyjson_is_obj(cfg.root()) ? cfg.root() : nullptr);
        layers_section(route.name, root);
    }
    referrers_section(route.name, referrers);
    pull_section(route);
    ui_page_end();
}
