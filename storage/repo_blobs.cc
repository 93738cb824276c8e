// Which blobs a repository holds: a link per blob under the repository,
// written when an upload commits into it, a mount brings the blob in, or a
// manifest of the repository names it, and asked before a blob is served
// through the repository where tenants must not read each other's blobs.
#include <string>
#include <vector>

#include "storage/layout.h"
#include "storage/repo_blobs_internal.h"

namespace {

// The tests every call makes: ready, a valid repository name, a valid
// digest. Sets the message.
int require_repo_and_digest(const char *repo_name, const char *digest) {
    if (require_ready_repo(repo_name) != 0) return -1;
    if (!digest_valid(digest)) {
        set_status_error(REG_STATUS_INVALID_DIGEST, "invalid digest");
        return -1;
    }
    return 0;
}

// 1 when the link of hex is in repo_name, 0 when not, -1 (with the message)
// when the store cannot tell.
int link_present(const char *repo_name, const char *hex) {
    char path[REG_PATH_MAX];
    repo_blob_link_path(repo_name, hex, path, sizeof path);
    int present = file_presence(path);
    if (present < 0) set_error("cannot query the blob link of %s: %s", repo_name, hex);
    return present;
}

}  // namespace

int link_blob_into(const char *repo_name, const char *hex) {
    int present = link_present(repo_name, hex);
    if (present != 0) return present < 0 ? -1 : 0;
    char fan[REG_PATH_MAX], path[REG_PATH_MAX];
    repo_blob_fan_dir(repo_name, hex, fan, sizeof fan);
    repo_blob_link_path(repo_name, hex, path, sizeof path);
    if (mkdirs(fan) != 0) {
        set_error("mkdirs blob link dir failed: %s", repo_name);
        return -1;
    }
    if (write_link(path, hex) != 0) {
        set_error("write blob link failed: %s", repo_name);
        return -1;
    }
    return 0;
}

int repo_holds_blob(const char *repo_name, const char *digest) {
    int present = link_present(repo_name, digest_hex_part(digest));
    if (present != 1) return present;
    char blob[REG_PATH_MAX];
    blob_path_for_digest(digest, blob, sizeof blob);
    present = file_presence(blob);
    if (present < 0) set_error("cannot query blob %s", digest);
    return present;
}

extern "C" {

int reg_repo_blob_link(const char *repo_name, const char *digest) {
    if (repo_name == nullptr || digest == nullptr) {
        set_status_error(REG_STATUS_INVALID_ARGUMENT, "NULL argument");
        return -1;
    }
    if (require_repo_and_digest(repo_name, digest) != 0) return -1;
    char blob[REG_PATH_MAX];
    blob_path_for_digest(digest, blob, sizeof blob);
    int stored = file_presence(blob);
    if (stored < 0) {
        set_error("cannot query blob %s", digest);
        return -1;
    }
    if (stored == 0) {
        set_status_error(REG_STATUS_NOT_FOUND, "blob not found: %s", digest);
        return -1;
    }
    return link_blob_into(repo_name, digest_hex_part(digest));
}

int reg_repo_blob_unlink(const char *repo_name, const char *digest) {
    if (repo_name == nullptr || digest == nullptr) {
        set_status_error(REG_STATUS_INVALID_ARGUMENT, "NULL argument");
        return -1;
    }
    if (require_repo_and_digest(repo_name, digest) != 0) return -1;
    char path[REG_PATH_MAX];
    repo_blob_link_path(repo_name, digest_hex_part(digest), path, sizeof path);
    int present = file_presence(path);
    if (present < 0) {
        set_error("cannot query the blob link of %s: %s", repo_name, digest);
        return -1;
    }
    if (present == 0) {
        set_status_error(REG_STATUS_NOT_FOUND, "blob not found: %s", digest);
        return -1;
    }
    if (remove_file(path) != 0) {
        set_error("cannot remove the blob link of %s: %s", repo_name, digest);
        return -1;
    }
    return 0;
}

int reg_repo_holds_blob(const char *repo_name, const char *digest) {
    if (repo_name == nullptr || digest == nullptr) {
        set_status_error(REG_STATUS_INVALID_ARGUMENT, "NULL argument");
        return -1;
    }
    if (require_repo_and_digest(repo_name, digest) != 0) return -1;
    return repo_holds_blob(repo_name, digest);
}

void reg_storage_scope_blobs(int on) { s_blobs_scoped = on != 0 ? 1 : 0; }

int reg_repo_blob_links_backfill(uint64_t *out_made) {
    if (out_made == nullptr) {
        set_status_error(REG_STATUS_INVALID_ARGUMENT, "NULL argument");
        return -1;
    }
    *out_made = 0;
    if (require_ready() != 0) return -1;
    return unless_out_of_memory(-1, [&] {
        std::vector<std::string> repos;
        std::vector<stored_manifest> listed;
        if (list_stored_manifests(&repos, &listed) != 0) return -1;
        std::string body;
        for (const stored_manifest &m : listed) {
            std::string hex = hex_of_key(m.key);
            // A body removed since the listing names nothing any more.
            if (read_manifest_body(m.repo.c_str(), hex.c_str(), &body) != 0) continue;
            manifest_refs refs;
            if (manifest_references(body.data(), body.size(), &refs) != 0) continue;
            for (const digest_key &k : refs.blobs) {
                std::string blob_hex = hex_of_key(k);
                char blob[REG_PATH_MAX];
                blob_path_for_digest(digest_string_of_key(k).c_str(), blob, sizeof blob);
                if (file_presence(blob) != 1) continue;
                int present = link_present(m.repo.c_str(), blob_hex.c_str());
                if (present < 0) return -1;
                if (present == 1) continue;
                if (link_blob_into(m.repo.c_str(), blob_hex.c_str()) != 0) return -1;
                (*out_made)++;
            }
        }
        return 0;
    });
}

}  // extern "C"
