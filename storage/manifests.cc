// The manifest store: manifests per repository under the digest of their
// bytes, with a content-type file beside each, revision links and tag links.
#include <cstdio>
#include <cstring>
#include <string_view>

#include "platform/platform.h"
#include "storage/reg_storage_internal.h"

namespace {

constexpr size_t kRepoNameMax = 255;
constexpr size_t kTagNameMax = 128;

bool is_ascii_alnum(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool is_repo_name_byte(char c) {
    return is_ascii_alnum(c) || c == '-' || c == '_' || c == '.' || c == '/';
}

// A component that would not name a directory of its own: "" (from a
// leading, trailing or doubled '/'), "." (the directory above it) or
// "_manifests" (it would nest inside the manifests directory of the
// repository above it).
bool is_reserved_component(std::string_view component) {
    return component.empty() || component == "." || component == "_manifests";
}

// <root>/repositories/<repo_name>/_manifests
void manifests_dir(const char *repo_name, char *out, uint64_t size) {
    char repos[REG_PATH_MAX], repo[REG_PATH_MAX];
    repos_dir(repos, sizeof repos);
    path_join(repo, sizeof repo, repos, repo_name);
    path_join(out, size, repo, "_manifests");
}

}  // namespace

int repo_name_valid(const char *name) {
    if (name == nullptr) return 0;
    std::string_view text(name, strnlen(name, kRepoNameMax + 1));
    if (text.empty() || text.size() > kRepoNameMax) return 0;
    for (char c : text)
        if (!is_repo_name_byte(c)) return 0;
    if (text.find("..") != std::string_view::npos) return 0;
    // Every '/'-separated component must name a directory of its own, so
    // that two different names never land in one directory.
    size_t start = 0;
    for (;;) {
        size_t slash = text.find('/', start);
        std::string_view component = text.substr(start, slash - start);
        if (is_reserved_component(component)) return 0;
        if (slash == std::string_view::npos) return 1;
        start = slash + 1;
    }
}

int tag_name_valid(const char *tag) {
    if (tag == nullptr) return 0;
    std::string_view text(tag, strnlen(tag, kTagNameMax + 1));
    if (text.empty() || text.size() > kTagNameMax) return 0;
    if (!is_ascii_alnum(text[0]) && text[0] != '_') return 0;
    for (char c : text.substr(1))
        if (!is_ascii_alnum(c) && c != '_' && c != '.' && c != '-') return 0;
    return 1;
}

void repos_dir(char *out, uint64_t size) { path_join(out, size, s_root, "repositories"); }

void manifest_body_path(const char *repo_name, const char *hex, char *out, uint64_t size) {
    char dir[REG_PATH_MAX];
    manifests_dir(repo_name, dir, sizeof dir);
    path_join(out, size, dir, hex);
}

void manifest_ct_path(const char *repo_name, const char *hex, char *out, uint64_t size) {
    manifest_body_path(repo_name, hex, out, size);
    size_t len = strnlen(out, size);
    if (len < size) snprintf(out + len, size - len, "%s", ".ct");
}

void manifest_rev_dir(const char *repo_name, const char *hex, char *out, uint64_t size) {
    char dir[REG_PATH_MAX], revisions[REG_PATH_MAX], algo[REG_PATH_MAX];
    manifests_dir(repo_name, dir, sizeof dir);
    path_join(revisions, sizeof revisions, dir, "revisions");
    path_join(algo, sizeof algo, revisions, "sha256");
    path_join(out, size, algo, hex);
}

void manifest_rev_path(const char *repo_name, const char *hex, char *out, uint64_t size) {
    char dir[REG_PATH_MAX];
    manifest_rev_dir(repo_name, hex, dir, sizeof dir);
    path_join(out, size, dir, "link");
}

void manifest_tags_dir(const char *repo_name, char *out, uint64_t size) {
    char dir[REG_PATH_MAX];
    manifests_dir(repo_name, dir, sizeof dir);
    path_join(out, size, dir, "tags");
}

void manifest_tag_path(const char *repo_name, const char *tag, char *out, uint64_t size) {
    char tags[REG_PATH_MAX], tag_dir[REG_PATH_MAX], current[REG_PATH_MAX];
    manifest_tags_dir(repo_name, tags, sizeof tags);
    path_join(tag_dir, sizeof tag_dir, tags, tag);
    path_join(current, sizeof current, tag_dir, "current");
    path_join(out, size, current, "link");
}
