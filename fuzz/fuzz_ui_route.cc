// The route parser of the browsable pages and the HTML escaper over any
// path: a route that is not kNone has a name and reference that pass their
// rules, its path built back from the parts parses to the same route and
// needs no escaping in a URL; escaped text holds no byte that is markup.
#include <cstring>
#include <string>
#include <vector>

#include "edge/html.h"
#include "endpoint/ui.h"
#include "fuzz/fuzz_support.h"
#include "storage/reg_storage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string path = fuzz::c_text(data, size);
    UiRoute route;
    UiKind kind = ui_route_parse(path.c_str(), &route);
    if (kind != route.kind) __builtin_trap();
    if (kind == UiKind::kRepo || kind == UiKind::kImage || kind == UiKind::kDelete) {
        if (!reg_repo_name_valid(route.name.c_str())) __builtin_trap();
    }
    if (kind == UiKind::kImage || kind == UiKind::kDelete) {
        bool valid = route.by_digest ? reg_digest_valid(route.reference.c_str())
                                     : reg_tag_valid(route.reference.c_str());
        if (!valid) __builtin_trap();
    }
    if (kind != UiKind::kNone) {
        std::string built = ui_route_path(route);
        UiRoute again;
        if (ui_route_parse(built.c_str(), &again) != kind || again.name != route.name ||
            again.reference != route.reference || again.by_digest != route.by_digest)
            __builtin_trap();
        std::vector<char> url(built.size() * 3 + 1);
        if (html_escape(HTML_URL_PATH, built.c_str(), url.data(), url.size()) != built.size() ||
            built != url.data())
            __builtin_trap();
    }
    // The escaper: exactly sized buffers, so a write past them is caught.
    for (html_context context : {HTML_TEXT, HTML_ATTRIBUTE, HTML_URL_PATH}) {
        size_t need = html_escape(context, path.c_str(), nullptr, 0);
        std::vector<char> out(need + 1);
        if (html_escape(context, path.c_str(), out.data(), out.size()) != need) __builtin_trap();
        if (strlen(out.data()) != need) __builtin_trap();
        if (context != HTML_URL_PATH && strpbrk(out.data(), "<>\"'") != nullptr) __builtin_trap();
        if (context == HTML_URL_PATH &&
            strspn(out.data(), "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"
                               "._~/:@-%") != need)
            __builtin_trap();
        std::vector<char> small(need / 2 + 1);
        html_escape(context, path.c_str(), small.data(), small.size());
        if (strlen(small.data()) >= small.size()) __builtin_trap();
    }
    return 0;
}
