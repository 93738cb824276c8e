// Routing of a registry request path, matched from the right: the last
// components say which resource is meant, and everything before the
// resource marker is the repository name, so "blobs" and "manifests" may be
// components of a name.
#include <cstring>
#include <string_view>

#include "edge/oci_common.h"
#include "edge/tw_cgi.h"

namespace {

using std::string_view;

// The component that ends just before position end (exclusive) of path,
// and where it starts. Empty components (from "//") are skipped when
// skip_empty is set.
string_view component_before(string_view path, size_t end, size_t *start, bool skip_empty) {
    for (;;) {
        size_t slash = end == 0 ? string_view::npos : path.rfind('/', end - 1);
        size_t from = slash == string_view::npos ? 0 : slash + 1;
        string_view c = path.substr(from, end - from);
        *start = from;
        if (!c.empty() || !skip_empty || slash == string_view::npos) return c;
        end = slash;
    }
}

void copy_view(char *out, size_t size, string_view text) {
    size_t n = text.size() < size - 1 ? text.size() : size - 1;
    // An empty view may have no data at all.
    if (n > 0) memcpy(out, text.data(), n);
    out[n] = '\0';
}

// Fills the name (everything before the marker, without the separating '/')
// and the reference, and judges both.
oci_route_kind finish(oci_route *out, oci_route_kind kind, string_view path, size_t marker_start,
                      string_view reference) {
    out->kind = kind;
    string_view name = marker_start > 0 ? path.substr(0, marker_start - 1) : string_view();
    out->name_fits = name.size() < sizeof out->name && reference.size() < sizeof out->reference;
    copy_view(out->name, sizeof out->name, name);
    copy_view(out->reference, sizeof out->reference, reference);
    out->name_valid = out->name_fits && oci_valid_repo_name(out->name);
    return kind;
}

}  // namespace

extern "C" {

oci_route_kind oci_route_path(const char *path_text, oci_route *out) {
    memset(out, 0, sizeof *out);
    out->kind = OCI_ROUTE_NONE;
    if (path_text == nullptr) return OCI_ROUTE_NONE;
    string_view path(path_text);
    while (!path.empty() && path.front() == '/') path.remove_prefix(1);
    if (path == "v2") return out->kind = OCI_ROUTE_BASE;
    if (path.substr(0, 3) != "v2/") return OCI_ROUTE_NONE;
    path.remove_prefix(3);
    if (path.empty()) return out->kind = OCI_ROUTE_BASE;
    // One trailing '/' is allowed after any resource.
    if (path.back() == '/') path.remove_suffix(1);
    if (path == "_catalog") return out->kind = OCI_ROUTE_CATALOG;

    size_t ref_start = 0, marker_start = 0;
    string_view reference = component_before(path, path.size(), &ref_start, false);
    if (ref_start == 0) return OCI_ROUTE_NONE;
    string_view marker = component_before(path, ref_start - 1, &marker_start, true);
    if (marker == "tags" && reference == "list")
        return finish(out, OCI_ROUTE_TAGS, path, marker_start, string_view());
    if (marker == "blobs" && reference == "uploads")
        return finish(out, OCI_ROUTE_UPLOAD_START, path, marker_start, string_view());
    if (marker == "uploads" && marker_start > 0) {
        size_t blobs_start = 0;
        string_view blobs = component_before(path, marker_start - 1, &blobs_start, false);
        if (blobs == "blobs") return finish(out, OCI_ROUTE_UPLOAD, path, blobs_start, reference);
    }
    if (marker == "blobs") return finish(out, OCI_ROUTE_BLOB, path, marker_start, reference);
    if (marker == "manifests")
        return finish(out, OCI_ROUTE_MANIFEST, path, marker_start, reference);
    if (marker == "referrers")
        return finish(out, OCI_ROUTE_REFERRERS, path, marker_start, reference);
    return OCI_ROUTE_NONE;
}

int oci_parse_content_range(const char *text, int64_t *first, int64_t *last) {
    if (text == nullptr) return 0;
    if (strncmp(text, "bytes ", 6) == 0 || strncmp(text, "bytes=", 6) == 0) text += 6;
    int64_t values[2] = {0, 0};
    for (int i = 0; i < 2; i++) {
        if (*text < '0' || *text > '9') return 0;
        while (*text >= '0' && *text <= '9') {
            int digit = *text++ - '0';
            if (values[i] > (INT64_MAX - digit) / 10) return 0;
            values[i] = values[i] * 10 + digit;
        }
        if (i == 0 && *text++ != '-') return 0;
    }
    if (*text != '\0' && *text != '/') return 0;
    if (values[1] < values[0]) return 0;
    *first = values[0];
    *last = values[1];
    return 1;
}

int oci_parse_page_size(const char *text, int32_t *n) {
    if (text == nullptr) return 0;
    if (text[0] == '\0') {
        *n = -1;
        return 1;
    }
    int64_t value = 0;
    for (const char *p = text; *p != '\0'; p++) {
        if (*p < '0' || *p > '9') return 0;
        if (value <= INT32_MAX) value = value * 10 + (*p - '0');
    }
    *n = value > INT32_MAX ? INT32_MAX : static_cast<int32_t>(value);
    return 1;
}

}  // extern "C"
