// The request parsers of the registry edge on arbitrary text: the routing
// of a path, a Content-Range value and a page size. None may crash or write
// past what it is given, and each agrees with what its contract promises:
// - a route names a repository and a reference that stand uncut in the path
//   in their places (the name after "v2/", the reference as the last
//   component, the marker between them), its kind matches the path's
//   ending, name_valid is the edge's name rule, and the canonical path of a
//   usable route routes the same way;
// - a Content-Range parses exactly when it is "<first>-<last>" of decimal
//   digits within 63 bits, first <= last, behind an optional "bytes " or
//   "bytes=" and before an optional "/...", and its pair printed back parses
//   to the same pair;
// - a page size is -1 only for empty text, and otherwise the decimal value
//   of a text of digits, saturated at 2147483647.
//
// The first input byte picks the parser (all three when it is none of
// them); the rest is the text.
#include <cinttypes>
#include <cstring>
#include <string>
#include <string_view>

#include "edge/oci_common.h"
#include "fuzz/fuzz_support.h"

namespace {

using std::string;
using std::string_view;

// The path as the router sees it: leading '/' run gone, one trailing '/'
// gone.
string trimmed(const string &path) {
    size_t start = path.find_first_not_of('/');
    string p = start == string::npos ? "" : path.substr(start);
    if (!p.empty() && p.back() == '/') p.pop_back();
    return p;
}

// What follows the name's '/' for a kind: the marker, a run of '/', then
// the last component (the reference, or the fixed word ending the path).
struct Shape {
    const char *marker;
    const char *last;  // nullptr: the reference
};

Shape shape_of(oci_route_kind kind) {
    switch (kind) {
        case OCI_ROUTE_TAGS: return {"tags", "list"};
        case OCI_ROUTE_UPLOAD_START: return {"blobs", "uploads"};
        case OCI_ROUTE_MANIFEST: return {"manifests", nullptr};
        case OCI_ROUTE_BLOB: return {"blobs", nullptr};
        case OCI_ROUTE_UPLOAD: return {"blobs/uploads", nullptr};
        case OCI_ROUTE_REFERRERS: return {"referrers", nullptr};
        default: return {nullptr, nullptr};
    }
}

void check_route(const string &path) {
    oci_route r;
    memset(&r, 0x5a, sizeof r);
    oci_route_kind kind = oci_route_path(path.c_str(), &r);
    FUZZ_CHECK(kind == r.kind);
    // Both texts are terminated within their buffers, whatever was cut.
    FUZZ_CHECK(memchr(r.name, '\0', sizeof r.name) != nullptr);
    FUZZ_CHECK(memchr(r.reference, '\0', sizeof r.reference) != nullptr);
    const string name = r.name, reference = r.reference;
    const string p = trimmed(path);
    // The path begins with "v2" behind its slashes for every resource.
    string lead = path.substr(0, path.find_first_not_of('/') == string::npos
                                     ? path.size()
                                     : path.find_first_not_of('/'));
    string after_lead = path.substr(lead.size());
    if (kind != OCI_ROUTE_NONE)
        FUZZ_CHECK(after_lead == "v2" || after_lead.compare(0, 3, "v2/") == 0);

    switch (kind) {
        case OCI_ROUTE_NONE:
        case OCI_ROUTE_BASE:
        case OCI_ROUTE_CATALOG:
            FUZZ_CHECK(name.empty() && reference.empty());
            FUZZ_CHECK(r.name_valid == 0);
            if (kind == OCI_ROUTE_BASE) FUZZ_CHECK(after_lead == "v2" || after_lead == "v2/");
            if (kind == OCI_ROUTE_CATALOG)
                FUZZ_CHECK(after_lead == "v2/_catalog" || after_lead == "v2/_catalog/");
            return;
        default:
            break;
    }
    // Every other path is longer than "v2/" and routes no base or catalog.
    FUZZ_CHECK(after_lead != "v2" && after_lead != "v2/" && p != "v2/_catalog");
    FUZZ_CHECK(r.name_valid == (r.name_fits && fuzz::ref_repo_name_valid(name) ? 1 : 0));
    if (!r.name_fits) return;
    FUZZ_CHECK(name.size() < OCI_NAME_MAX && reference.size() < OCI_REFERENCE_MAX);

    // The name stands whole after "v2/" (with its separating '/' when it is
    // not empty); then the marker, a run of '/', and the last component.
    const string prefix = name.empty() ? "v2/" : "v2/" + name + "/";
    FUZZ_CHECK(p.compare(0, prefix.size(), prefix) == 0);
    const Shape shape = shape_of(kind);
    FUZZ_CHECK(shape.marker != nullptr);
    const string last = shape.last != nullptr ? shape.last : reference;
    if (shape.last != nullptr) FUZZ_CHECK(reference.empty());
    FUZZ_CHECK(reference.find('/') == string::npos);
    string tail = p.substr(prefix.size());
    while (name.empty() && !tail.empty() && tail.front() == '/') tail.erase(0, 1);
    FUZZ_CHECK(tail.compare(0, strlen(shape.marker), shape.marker) == 0);
    string rest = tail.substr(strlen(shape.marker));
    FUZZ_CHECK(!rest.empty() && rest.front() == '/');
    FUZZ_CHECK(rest.substr(rest.find_first_not_of('/') == string::npos
                               ? rest.size()
                               : rest.find_first_not_of('/')) == last);

    // The canonical path of a usable route routes to the same place.
    if (r.name_valid && !last.empty()) {
        string canonical = "/v2/" + name + "/" + shape.marker + "/" + last;
        oci_route again;
        FUZZ_CHECK(oci_route_path(canonical.c_str(), &again) == kind);
        FUZZ_CHECK(again.name == name && again.reference == reference);
        FUZZ_CHECK(again.name_fits == 1 && again.name_valid == 1);
    }
}

// The Content-Range grammar written out plainly: returns whether text is
// acceptable and the pair it names.
bool reference_range(string_view text, int64_t *first, int64_t *last) {
    if (text.substr(0, 6) == "bytes " || text.substr(0, 6) == "bytes=") text.remove_prefix(6);
    size_t end = text.find('/');
    string_view range = text.substr(0, end);
    size_t dash = range.find('-');
    if (dash == string_view::npos) return false;
    string_view a = range.substr(0, dash), b = range.substr(dash + 1);
    auto number = [](string_view digits, int64_t *out) {
        if (digits.empty()) return false;
        unsigned __int128 value = 0;
        for (char c : digits) {
            if (c < '0' || c > '9') return false;
            value = value * 10 + static_cast<unsigned>(c - '0');
            if (value > static_cast<unsigned __int128>(INT64_MAX)) return false;
        }
        *out = static_cast<int64_t>(value);
        return true;
    };
    return number(a, first) && number(b, last) && *first <= *last;
}

void check_content_range(const string &text) {
    int64_t first = -7, last = -7;
    int ok = oci_parse_content_range(text.c_str(), &first, &last);
    FUZZ_CHECK(ok == 0 || ok == 1);
    int64_t want_first = 0, want_last = 0;
    bool want = reference_range(text, &want_first, &want_last);
    FUZZ_CHECK(want == (ok == 1));
    if (!ok) {
        FUZZ_CHECK(first == -7 && last == -7);  // untouched on refusal
        return;
    }
    FUZZ_CHECK(first == want_first && last == want_last);
    FUZZ_CHECK(0 <= first && first <= last);
    char printed[64];
    snprintf(printed, sizeof printed, "%lld-%lld", static_cast<long long>(first),
             static_cast<long long>(last));
    int64_t again_first = -1, again_last = -1;
    FUZZ_CHECK(oci_parse_content_range(printed, &again_first, &again_last) == 1);
    FUZZ_CHECK(again_first == first && again_last == last);
}

void check_page_size(const string &text) {
    int32_t n = -7;
    int ok = oci_parse_page_size(text.c_str(), &n);
    FUZZ_CHECK(ok == 0 || ok == 1);
    bool digits = !text.empty() && text.find_first_not_of("0123456789") == string::npos;
    FUZZ_CHECK((ok == 1) == (text.empty() || digits));
    if (!ok) {
        FUZZ_CHECK(n == -7);
        return;
    }
    if (text.empty()) {
        FUZZ_CHECK(n == -1);
        return;
    }
    FUZZ_CHECK(n >= 0);
    // The value with leading zeros dropped, compared as text against the
    // saturation point.
    string value = text.substr(std::min(text.find_first_not_of('0'), text.size()));
    const string kMax = "2147483647";
    bool saturated = value.size() > kMax.size() || (value.size() == kMax.size() && value >= kMax);
    if (saturated) {
        FUZZ_CHECK(n == INT32_MAX);
    } else {
        FUZZ_CHECK(std::to_string(n) == (value.empty() ? "0" : value));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    uint8_t which = data[0] % 4;
    const string text = fuzz::c_text(data + 1, size - 1);
    if (which == 0 || which == 3) check_route(text);
    if (which == 1 || which == 3) check_content_range(text);
    if (which == 2 || which == 3) check_page_size(text);
    return 0;
}
