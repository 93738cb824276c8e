// The path of every file and directory of the store, built from the root
// and checked names; the tree is drawn in layout.h.
#include <cstdio>
#include <cstring>

#include "storage/layout.h"

const char kEmptyJsonDigest[] =
    "sha256:44136fa355b3678a1146ad16f7e8649e94fb4fc21fe77e8310c060f61caaff8a";
const char kDefaultManifestType[] = "application/vnd.docker.distribution.manifest.v2+json";

namespace {

// "<dir>/<name>/<algo>/<hex>", the layout's split of content by the
// algorithm of its digest.
void algo_path(const char *dir, const char *name, const char *hex, char *out, uint64_t size) {
    char under[REG_PATH_MAX], algo[REG_PATH_MAX];
    path_join(under, sizeof under, dir, name);
    path_join(algo, sizeof algo, under, algo_of_hex(hex));
    path_join(out, size, algo, hex);
}

}  // namespace

void path_join(char *out, uint64_t size, const char *first, const char *second) {
    if (out == nullptr || size == 0) return;
    snprintf(out, size, "%s%c%s", first, PLAT_SEP, second);
}

void blob_algo_dir(const char *algo, char *out, uint64_t size) {
    char blobs[REG_PATH_MAX];
    path_join(blobs, sizeof blobs, s_root, "blobs");
    path_join(out, size, blobs, algo);
}

void blob_fan_dir(const char *digest, char *out, uint64_t size) {
    char algo[REG_PATH_MAX];
    const char *hex = digest_hex_part(digest);
    const char fan_name[3] = {hex[0], hex[1], '\0'};
    blob_algo_dir(algo_of_hex(hex), algo, sizeof algo);
    path_join(out, size, algo, fan_name);
}

void blob_path_for_digest(const char *digest, char *out, uint64_t size) {
    char fan[REG_PATH_MAX];
    blob_fan_dir(digest, fan, sizeof fan);
    path_join(out, size, fan, digest_hex_part(digest));
}

void uploads_dir(char *out, uint64_t size) { path_join(out, size, s_root, "uploads"); }

void upload_path_for_uuid(const char *uuid, char *out, uint64_t size) {
    char uploads[REG_PATH_MAX];
    char name[REG_UPLOAD_ID_SIZE + 8];
    uploads_dir(uploads, sizeof uploads);
    snprintf(name, sizeof name, "%s.part", uuid);
    path_join(out, size, uploads, name);
}

void repos_dir(char *out, uint64_t size) { path_join(out, size, s_root, "repositories"); }

void secrets_dir(char *out, uint64_t size) { path_join(out, size, s_root, "secrets"); }

void manifests_dir(const char *repo_name, char *out, uint64_t size) {
    char repos[REG_PATH_MAX], repo[REG_PATH_MAX];
    repos_dir(repos, sizeof repos);
    path_join(repo, sizeof repo, repos, repo_name);
    path_join(out, size, repo, "_manifests");
}

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

void manifest_revisions_dir(const char *repo_name, const char *algo, char *out, uint64_t size) {
    char dir[REG_PATH_MAX], revisions[REG_PATH_MAX];
    manifests_dir(repo_name, dir, sizeof dir);
    path_join(revisions, sizeof revisions, dir, "revisions");
    path_join(out, size, revisions, algo);
}

void manifest_rev_dir(const char *repo_name, const char *hex, char *out, uint64_t size) {
    char dir[REG_PATH_MAX];
    manifests_dir(repo_name, dir, sizeof dir);
    algo_path(dir, "revisions", hex, out, size);
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

void manifest_tag_dir(const char *repo_name, const char *tag, char *out, uint64_t size) {
    char tags[REG_PATH_MAX], tag_dir[REG_PATH_MAX];
    manifest_tags_dir(repo_name, tags, sizeof tags);
    path_join(tag_dir, sizeof tag_dir, tags, tag);
    path_join(out, size, tag_dir, "current");
}

void manifest_tag_path(const char *repo_name, const char *tag, char *out, uint64_t size) {
    char current[REG_PATH_MAX];
    manifest_tag_dir(repo_name, tag, current, sizeof current);
    path_join(out, size, current, "link");
}

void manifest_referrers_dir(const char *repo_name, const char *subject_hex, char *out,
                            uint64_t size) {
    char dir[REG_PATH_MAX];
    manifests_dir(repo_name, dir, sizeof dir);
    algo_path(dir, "referrers", subject_hex, out, size);
}

void manifest_referrer_path(const char *repo_name, const char *subject_hex, const char *hex,
                            char *out, uint64_t size) {
    char dir[REG_PATH_MAX];
    manifest_referrers_dir(repo_name, subject_hex, dir, sizeof dir);
    path_join(out, size, dir, hex);
}

void repo_blobs_dir(const char *repo_name, char *out, uint64_t size) {
    char dir[REG_PATH_MAX];
    manifests_dir(repo_name, dir, sizeof dir);
    path_join(out, size, dir, "blobs");
}

void repo_blob_fan_dir(const char *repo_name, const char *hex, char *out, uint64_t size) {
    char blobs[REG_PATH_MAX], algo[REG_PATH_MAX];
    const char fan_name[3] = {hex[0], hex[1], '\0'};
    repo_blobs_dir(repo_name, blobs, sizeof blobs);
    path_join(algo, sizeof algo, blobs, algo_of_hex(hex));
    path_join(out, size, algo, fan_name);
}

void repo_blob_link_path(const char *repo_name, const char *hex, char *out, uint64_t size) {
    char fan[REG_PATH_MAX];
    repo_blob_fan_dir(repo_name, hex, fan, sizeof fan);
    path_join(out, size, fan, hex);
}
