// Routing of the browsable pages' paths, matched from the right like the
// /v2 paths: the last components say which page is meant, and everything
// between /ui/repo/ and the marker is the repository name.
#include <string>
#include <string_view>
#include <vector>

#include "endpoint/ui.h"
#include "storage/reg_storage.h"

namespace {

// Splits text at '/'; an empty component anywhere makes it unusable.
bool split_components(std::string_view text, std::vector<std::string_view> *out) {
    out->clear();
    while (true) {
        size_t slash = text.find('/');
        std::string_view c = text.substr(0, slash);
        if (c.empty()) return false;
        out->push_back(c);
        if (slash == std::string_view::npos) return true;
        text.remove_prefix(slash + 1);
    }
}

std::string join_components(const std::vector<std::string_view> &c, size_t count) {
    std::string name;
    for (size_t i = 0; i < count; i++) {
        if (i > 0) name += '/';
        name.append(c[i].data(), c[i].size());
    }
    return name;
}

// Fills a page of one reference: the marker says whether it is a tag or a
// digest, and each must pass its rule.
UiKind finish(UiRoute *out, UiKind kind, std::string name, std::string_view marker,
              std::string_view reference) {
    out->name = std::move(name);
    out->reference.assign(reference.data(), reference.size());
    out->by_digest = marker == "digest";
    bool valid = reg_repo_name_valid(out->name.c_str()) &&
                 (out->by_digest ? reg_digest_valid(out->reference.c_str())
                                 : reg_tag_valid(out->reference.c_str()));
    if (!valid) {
        *out = UiRoute();
        return UiKind::kNone;
    }
    out->kind = kind;
    return kind;
}

}  // namespace

UiKind ui_route_parse(const char *path_text, UiRoute *out) {
    *out = UiRoute();
    if (path_text == nullptr) return UiKind::kNone;
    std::string_view path(path_text);
    if (path.empty() || path == "/") return out->kind = UiKind::kRoot;
    if (path.front() != '/') return UiKind::kNone;
    path.remove_prefix(1);
    if (path.back() == '/') path.remove_suffix(1);
    if (path == "ui") return out->kind = UiKind::kRepos;
    if (path.substr(0, 3) != "ui/") return UiKind::kNone;
    path.remove_prefix(3);
    if (path == "static/style.css" || path == "static/ui.js") {
        out->reference.assign(path.substr(7));
        return out->kind = UiKind::kAsset;
    }
    if (path.substr(0, 5) != "repo/") return UiKind::kNone;
    path.remove_prefix(5);
    std::vector<std::string_view> c;
    if (!split_components(path, &c)) return UiKind::kNone;
    size_t k = c.size();
    auto is_marker = [](std::string_view s) { return s == "tag" || s == "digest"; };
    if (k >= 4 && c[k - 1] == "delete" && is_marker(c[k - 3]))
        return finish(out, UiKind::kDelete, join_components(c, k - 3), c[k - 3], c[k - 2]);
    if (k >= 3 && is_marker(c[k - 2]))
        return finish(out, UiKind::kImage, join_components(c, k - 2), c[k - 2], c[k - 1]);
    out->name = join_components(c, k);
    if (!reg_repo_name_valid(out->name.c_str())) {
        *out = UiRoute();
        return UiKind::kNone;
    }
    return out->kind = UiKind::kRepo;
}

std::string ui_route_path(const UiRoute &route) {
    switch (route.kind) {
        case UiKind::kRoot: return "/";
        case UiKind::kRepos: return "/ui/";
        case UiKind::kAsset: return "/ui/static/" + route.reference;
        case UiKind::kRepo: return "/ui/repo/" + route.name;
        case UiKind::kImage:
        case UiKind::kDelete:
            return "/ui/repo/" + route.name + (route.by_digest ? "/digest/" : "/tag/") +
                   route.reference + (route.kind == UiKind::kDelete ? "/delete" : "");
        case UiKind::kNone: break;
    }
    return "";
}
