// The space report: per repository, its manifest bodies and the distinct
// stored blobs its manifests name; for the store, every blob once.
#include <algorithm>
#include <cstdlib>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/platform.h"
#include "storage/layout.h"

namespace {

struct RepoUsage {
    std::string name;
    uint64_t manifests = 0;
    int64_t manifest_bytes = 0;
    digest_set blobs;
};

// Every blob file of the store with its size. false when a directory does
// not list whole.
bool stored_blob_sizes(std::unordered_map<digest_key, int64_t, digest_key_hash> *out) {
    for (const char *name : kStoredAlgorithms) {
        char algo[REG_PATH_MAX];
        blob_algo_dir(name, algo, sizeof algo);
        std::vector<listed_entry> fans, blobs;
        // A store without a blob of an algorithm has no directory for it.
        if (list_or_absent(algo, &fans) == LISTED_FAILED) return false;
        for (const listed_entry &f : fans) {
            if (!f.is_dir || f.name.size() != 2) continue;
            std::string fan = std::string(algo) + PLAT_SEP_STR + f.name;
            if (list_all(fan.c_str(), &blobs) != 0) return false;
            for (const listed_entry &b : blobs) {
                if (b.is_dir || !is_blob_file_name(name, f.name, b.name)) continue;
                plat_attr a;
                std::string path = fan + PLAT_SEP_STR + b.name;
                if (plat_stat(path.c_str(), &a) == 0 && !a.is_dir)
                    (*out)[key_of_hex(b.name.c_str())] = a.size;
            }
        }
    }
    return true;
}

int measure(reg_du_report *out) {
    std::unordered_map<digest_key, int64_t, digest_key_hash> sizes;
    if (!stored_blob_sizes(&sizes)) {
        set_error("cannot list the blobs");
        return -1;
    }
    std::vector<std::string> repos;
    std::vector<stored_manifest> listed;
    if (list_stored_manifests(&repos, &listed) != 0) return -1;
    std::vector<RepoUsage> usage(repos.size());
    std::unordered_map<std::string, size_t> index;
    for (size_t i = 0; i < repos.size(); i++) {
        usage[i].name = repos[i];
        index[repos[i]] = i;
    }
    digest_set all;
    std::string body;
    for (const stored_manifest &m : listed) {
        RepoUsage &u = usage[index[m.repo]];
        // A body removed since the listing, or one that cannot be read, adds
        // nothing: the report is for people, and fsck finds damage.
        if (read_manifest_body(m.repo.c_str(), hex_of_key(m.key).c_str(), &body) != 0) continue;
        u.manifests++;
        u.manifest_bytes += static_cast<int64_t>(body.size());
        manifest_refs refs;
        if (manifest_references(body.data(), body.size(), &refs) != 0) continue;
        for (const digest_key &k : refs.blobs) {
            if (sizes.count(k) == 0) continue;
            u.blobs.insert(k);
            all.insert(k);
        }
    }
    out->repos = static_cast<reg_du_repo *>(calloc(usage.size() + 1, sizeof(reg_du_repo)));
    if (out->repos == nullptr) throw std::bad_alloc();
    for (const RepoUsage &u : usage) {
        reg_du_repo &r = out->repos[out->count];
        r.name = xstrdup(u.name.c_str());
        if (r.name == nullptr) throw std::bad_alloc();
        out->count++;
        r.manifests = u.manifests;
        r.manifest_bytes = u.manifest_bytes;
        r.blobs = u.blobs.size();
        for (const digest_key &k : u.blobs) r.blob_bytes += sizes[k];
    }
    out->blobs = all.size();
    for (const digest_key &k : all) out->blob_bytes += sizes[k];
    out->stored_blobs = sizes.size();
    for (const auto &[key, size] : sizes) out->stored_blob_bytes += size;
    char uploads[REG_PATH_MAX];
    uploads_dir(uploads, sizeof uploads);
    int64_t upload_count = 0;
    if (count_files(uploads, &upload_count, &out->upload_bytes) == LISTED_FAILED) {
        set_error("cannot list the uploads");
        return -1;
    }
    out->uploads = static_cast<uint64_t>(upload_count);
    return 0;
}

}  // namespace

extern "C" {

int reg_du(reg_du_report *out) {
    if (out == nullptr) {
        set_status_error(REG_STATUS_INVALID_ARGUMENT, "NULL argument");
        return -1;
    }
    *out = reg_du_report{};
    if (require_ready() != 0) return -1;
    return unless_out_of_memory(-1, [&] { return measure(out); });
}

void reg_du_report_free(reg_du_report *report) {
    if (report == nullptr) return;
    for (uint64_t i = 0; i < report->count; i++) free(report->repos[i].name);
    free(report->repos);
    *report = reg_du_report{};
}

}  // extern "C"
