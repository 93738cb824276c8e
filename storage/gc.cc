// Garbage collection while the registry serves: mark what the manifests of
// every repository name, keep what tags reach (when untagged manifests are
// to go), and sweep the rest that is older than the grace period, together
// with abandoned uploads and temporaries. No lock is taken; see reg_gc in
// reg_storage.h for how each removal stays safe against a concurrent push.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/platform.h"
#include "storage/layout.h"

namespace {

// Directory levels the walk for temporaries descends below the root; a
// repository name has at most 255 bytes, so no manifest lies deeper.
constexpr int kMaxWalkDepth = 140;

struct Item {
    reg_gc_kind kind;
    int64_t bytes;
    std::string name;
};

// One manifest body found in the mark phase.
struct Manifest {
    std::string repo;
    digest_key key;
    manifest_refs refs;
    bool kept = true;
};

// Lists dir into *entries. false when it did not list whole, unless the
// directory is gone (removed by another process since its parent was
// listed), which is no failure: it holds nothing any more.
bool list_or_gone(const std::string &dir, std::vector<listed_entry> *entries) {
    return list_or_absent(dir.c_str(), entries) != LISTED_FAILED;
}

// Like list_or_gone, for a directory that a request may be making while
// gc lists it (a repository's blob links): a listing that failed because
// the directory appeared between the listing and the look that tells
// absence from failure is tried once more.
bool list_or_gone_settled(const std::string &dir, std::vector<listed_entry> *entries) {
    return list_or_gone(dir, entries) || list_or_gone(dir, entries);
}

bool stat_file(const std::string &path, plat_attr *a) {
    return plat_stat(path.c_str(), a) == 0 && !a->is_dir;
}

// The entry at path: 1 a file (*a filled), 0 absent or not a file, -1 the
// query failed for another reason.
int query_file(const std::string &path, plat_attr *a) {
    int rc = plat_stat(path.c_str(), a);
    if (rc == 0) return a->is_dir ? 0 : 1;
    return rc == PLAT_STAT_ABSENT ? 0 : -1;
}

class Collector {
  public:
    explicit Collector(const reg_gc_options &options)
        : opt_(options), now_ns_(plat_time_ns()) {}

    int run(reg_gc_report *out) {
        if (!mark()) return -1;
        if (opt_.delete_untagged) sweep_manifests();
        mark_blobs();
        sweep_blobs();
        sweep_blob_links();
        sweep_uploads();
        sweep_temporaries();
        return finish(out);
    }

  private:
    // Modified less than limit seconds before the run started, compared in
    // nanoseconds as fine as the file system stamps them: with a limit of 0
    // a file made a moment before the run is old, and only one modified
    // since the run started (touched by a concurrent manifest put) is
    // young. A limit beyond what nanoseconds can count keeps everything.
    bool young(const plat_attr &a, int64_t limit) const {
        constexpr int64_t kNsPerSecond = 1000000000;
        if (limit > INT64_MAX / kNsPerSecond) return true;
        return now_ns_ - a.mtime_ns < limit * kNsPerSecond;
    }

    void failure(const std::string &what) {
        if (failures_++ == 0) first_failure_ = what;
    }

    void record(reg_gc_kind kind, int64_t bytes, const std::string &name) {
        items_.push_back(Item{kind, bytes, name});
    }

    // Moves path aside, looks at its time again and removes it only when it
    // is still older than limit; a file touched meanwhile goes back. 1
    // removed, 0 kept (touched, or gone already), -1 failed (the file is at
    // its path or aside, where the next run finds it).
    int sweep_file(const std::string &path, int64_t limit) {
        std::string aside = swept_name(path);
        if (plat_rename(path.c_str(), aside.c_str()) != 0) {
            if (file_presence(path.c_str()) == 0) return 0;
            failure("cannot move aside " + path);
            return -1;
        }
        plat_attr a;
        int present = query_file(aside, &a);
        if (present != 1 || young(a, limit)) {
            if (plat_rename(aside.c_str(), path.c_str()) != 0) {
                failure("cannot put back " + path);
                return -1;
            }
            if (present == 1) return 0;
            failure("cannot query " + aside);
            return -1;
        }
        if (plat_remove(aside.c_str()) != PLAT_REMOVE_DONE) {
            plat_rename(aside.c_str(), path.c_str());
            failure("cannot remove " + path);
            return -1;
        }
        return 1;
    }

    // A file left aside by an interrupted run: put back where its name is
    // free, else removed (the name holds the same content again).
    void settle_leftover(const std::string &dir, const std::string &name,
                         const std::string &original) {
        if (opt_.dry_run) return;
        std::string aside = dir + PLAT_SEP_STR + name;
        std::string path = dir + PLAT_SEP_STR + original;
        int present = file_presence(path.c_str());
        if (present == 1) {
            if (plat_remove(aside.c_str()) == PLAT_REMOVE_FAILED) failure("cannot remove " + aside);
        } else if (present < 0) {
            failure("cannot query " + path);
        } else if (plat_rename(aside.c_str(), path.c_str()) != 0) {
            failure("cannot put back " + path);
        }
    }

    // ---- Mark ---------------------------------------------------------------

    bool fail_early(reg_status status, const std::string &message) {
        set_status_error(status, "%s", message.c_str());
        return false;
    }

    bool mark() {
        std::vector<std::string> repos;
        std::vector<stored_manifest> listed;
        if (list_stored_manifests(&repos, &listed) != 0) return false;
        std::string body;
        for (const stored_manifest &m : listed) {
            std::string hex = hex_of_key(m.key);
            if (read_manifest_body(m.repo.c_str(), hex.c_str(), &body) != 0) {
                char path[REG_PATH_MAX];
                manifest_body_path(m.repo.c_str(), hex.c_str(), path, sizeof path);
                if (file_presence(path) == 0) continue;  // removed since the listing
                return fail_early(REG_STATUS_IO_ERROR, "cannot read manifest " + m.repo +
                                                           "@" + digest_string_of_key(m.key));
            }
            manifests_read_++;
            Manifest entry{m.repo, m.key, {}, true};
            if (manifest_references(body.data(), body.size(), &entry.refs) != 0)
                return fail_early(REG_STATUS_IO_ERROR,
                                  "manifest " + m.repo + "@" + digest_string_of_key(m.key) +
                                      " is not a JSON object (regstore fsck finds such damage)");
            manifests_.push_back(std::move(entry));
        }
        if (opt_.delete_untagged) return keep_reachable(repos);
        return true;
    }

    // Marks kept the manifests of repo that tags name. false when a tag
    // cannot be read, so that what it names is unknown.
    bool tag_roots(const std::string &repo, const std::unordered_map<digest_key, size_t, digest_key_hash> &by_key) {
        std::vector<tag_link> tags;
        // A failed query must not make every manifest of the repository
        // look untagged: only tags that list whole, or none at all, count.
        if (read_tags(repo.c_str(), &tags) != 0)
            return fail_early(REG_STATUS_IO_ERROR, "cannot list the tags of " + repo);
        for (const tag_link &tag : tags) {
            // A deleted tag leaves its directory without a link, and a new
            // tag's directory comes before its link: no link, no tag.
            if (tag.state == LINK_ABSENT) continue;
            if (tag.state != LINK_OK)
                return fail_early(REG_STATUS_IO_ERROR, "cannot read tag " + repo + ":" + tag.name +
                                                           " (regstore fsck finds such damage)");
            auto it = by_key.find(key_of_hex(tag.hex.c_str()));
            if (it != by_key.end()) manifests_[it->second].kept = true;
        }
        return true;
    }

    // Spreads "kept" within one repository until nothing changes: from an
    // index to its children, from a manifest to its subject, and from a
    // subject to the manifests that name it (its referrers).
    void close_over(const std::vector<size_t> &members,
                    const std::unordered_map<digest_key, size_t, digest_key_hash> &by_key) {
        auto keep = [&](const digest_key &k) {
            auto it = by_key.find(k);
            if (it == by_key.end() || manifests_[it->second].kept) return false;
            manifests_[it->second].kept = true;
            return true;
        };
        for (bool changed = true; changed;) {
            changed = false;
            for (size_t i : members) {
                Manifest &m = manifests_[i];
                if (m.kept) {
                    for (const digest_key &c : m.refs.manifests) changed |= keep(c);
                    if (m.refs.has_subject) changed |= keep(m.refs.subject);
                } else if (m.refs.has_subject) {
                    auto it = by_key.find(m.refs.subject);
                    if (it != by_key.end() && manifests_[it->second].kept) {
                        m.kept = true;
                        changed = true;
                    }
                }
            }
        }
    }

    bool keep_reachable(const std::vector<std::string> &repos) {
        std::unordered_map<std::string, std::vector<size_t>> by_repo;
        for (size_t i = 0; i < manifests_.size(); i++) {
            manifests_[i].kept = false;
            by_repo[manifests_[i].repo].push_back(i);
        }
        for (const std::string &repo : repos) {
            const std::vector<size_t> &members = by_repo[repo];
            std::unordered_map<digest_key, size_t, digest_key_hash> by_key;
            for (size_t i : members) by_key[manifests_[i].key] = i;
            if (!tag_roots(repo, by_key)) return false;
            // Young manifests are roots too: an index pushed a moment ago
            // keeps the children it names.
            for (size_t i : members) {
                plat_attr a;
                if (manifests_[i].kept) continue;
                // One that cannot be queried counts as young: it stays.
                int present = query_file(body_path(manifests_[i]), &a);
                if (present < 0 || (present == 1 && young(a, opt_.grace_seconds))) {
                    manifests_[i].kept = true;
                    kept_young_++;
                }
            }
            close_over(members, by_key);
        }
        return true;
    }

    std::string body_path(const Manifest &m) const {
        char path[REG_PATH_MAX];
        manifest_body_path(m.repo.c_str(), hex_of_key(m.key).c_str(), path, sizeof path);
        return path;
    }

    // ---- Sweep ----------------------------------------------------------------

    // Removes one manifest no tag reaches, unless it turns out young or
    // tagged just before. Its blobs stay marked unless it went.
    void sweep_manifest(Manifest &m) {
        std::string hex = hex_of_key(m.key);
        std::string body = body_path(m);
        char ct[REG_PATH_MAX], rev[REG_PATH_MAX], rev_dir[REG_PATH_MAX];
        manifest_ct_path(m.repo.c_str(), hex.c_str(), ct, sizeof ct);
        manifest_rev_path(m.repo.c_str(), hex.c_str(), rev, sizeof rev);
        manifest_rev_dir(m.repo.c_str(), hex.c_str(), rev_dir, sizeof rev_dir);
        plat_attr a;
        m.kept = true;
        int present = query_file(body, &a);
        if (present < 0) failure("cannot query " + body);
        if (present != 1) return;
        if (young(a, opt_.grace_seconds)) {
            kept_young_++;
            return;
        }
        if (manifest_has_tag_for(m.repo.c_str(), hex.c_str())) return;
        int64_t bytes = a.size;
        plat_attr ct_attr;
        if (stat_file(ct, &ct_attr)) bytes += ct_attr.size;
        std::string name = m.repo + "@" + digest_string_of_key(m.key);
        if (opt_.dry_run) {
            m.kept = false;
            record(REG_GC_MANIFEST, bytes, name);
            return;
        }
        // The revision link goes first: an index stored from now on no longer
        // finds the manifest. One stored before touched the body, which the
        // second look sees.
        bool had_rev = file_exists(rev) == 1;
        if (remove_file(rev) != 0) {
            failure("cannot remove the revision link of " + name);
            return;
        }
        present = query_file(body, &a);
        if (present != 1 || young(a, opt_.grace_seconds) ||
            manifest_has_tag_for(m.repo.c_str(), hex.c_str())) {
            if (had_rev && write_link(rev, hex.c_str()) != 0)
                failure("cannot put back the revision link of " + name);
            else if (present < 0)
                failure("cannot query " + body);
            return;
        }
        if (m.refs.has_subject) {
            char referrer[REG_PATH_MAX];
            manifest_referrer_path(m.repo.c_str(), hex_of_key(m.refs.subject).c_str(),
                                   hex.c_str(), referrer, sizeof referrer);
            if (remove_file(referrer) != 0) {
                failure("cannot remove the referrer link of " + name);
                return;
            }
        }
        if (remove_file(body.c_str()) != 0) {
            failure("cannot remove the body of " + name);
            return;
        }
        m.kept = false;
        if (remove_file(ct) != 0) failure("cannot remove the content type of " + name);
        plat_rmdir(rev_dir);
        record(REG_GC_MANIFEST, bytes, name);
    }

    void sweep_manifests() {
        for (Manifest &m : manifests_)
            if (!m.kept) sweep_manifest(m);
    }

    void mark_blobs() {
        for (const Manifest &m : manifests_) {
            if (!m.kept) continue;
            for (const digest_key &k : m.refs.blobs) marked_.insert(k);
        }
    }

    void sweep_blob_dir(const char *algo_name, const std::string &fan, const std::string &fan_name) {
        std::vector<listed_entry> entries;
        if (!list_or_gone(fan, &entries)) failure("cannot list " + fan);
        std::vector<std::string> names;
        for (const listed_entry &e : entries) {
            std::string original;
            if (e.is_dir) continue;
            if (is_swept_name(e.name, &original)) {
                settle_leftover(fan, e.name, original);
                if (!opt_.dry_run) names.push_back(original);
            } else {
                names.push_back(e.name);
            }
        }
        bool removed = false;
        for (const std::string &name : names) {
            if (!is_blob_file_name(algo_name, fan_name, name)) continue;
            if (marked_.count(key_of_hex(name.c_str())) != 0) continue;
            std::string path = fan + PLAT_SEP_STR + name;
            plat_attr a;
            int present = query_file(path, &a);
            if (present < 0) failure("cannot query " + path);
            if (present != 1) continue;
            if (young(a, opt_.grace_seconds)) {
                kept_young_++;
                continue;
            }
            int rc = opt_.dry_run ? 1 : sweep_file(path, opt_.grace_seconds);
            if (rc == 0) kept_young_++;
            if (rc != 1) continue;
            removed = true;
            record(REG_GC_BLOB, a.size, std::string(algo_name) + ":" + name);
        }
        // Only an empty fan-out directory goes; an upload finishing into it
        // meanwhile makes it again.
        if (removed && !opt_.dry_run) plat_rmdir(fan.c_str());
    }

    void sweep_blobs() {
        for (const char *name : kStoredAlgorithms) {
            char algo[REG_PATH_MAX];
            blob_algo_dir(name, algo, sizeof algo);
            std::vector<listed_entry> fans;
            // A store without a blob of an algorithm has no directory for it.
            if (list_or_absent(algo, &fans) == LISTED_FAILED)
                failure(std::string("cannot list ") + algo);
            for (const listed_entry &f : fans) {
                if (!f.is_dir || f.name.size() != 2) continue;
                sweep_blob_dir(name, std::string(algo) + PLAT_SEP_STR + f.name, f.name);
            }
        }
    }

    // The links by which repositories hold blobs that are no longer stored:
    // removed once older than the grace, so that a blob committed and
    // linked while this runs keeps its link.
    void sweep_blob_links() {
        std::vector<std::string> repos;
        if (list_repositories(&repos) != 0) {
            failure("cannot list the repositories");
            return;
        }
        for (const std::string &repo : repos) {
            char blobs[REG_PATH_MAX];
            repo_blobs_dir(repo.c_str(), blobs, sizeof blobs);
            for (const char *algo_name : kStoredAlgorithms) {
                std::string algo = std::string(blobs) + PLAT_SEP_STR + algo_name;
                std::vector<listed_entry> fans;
                if (!list_or_gone_settled(algo, &fans)) failure("cannot list " + algo);
                for (const listed_entry &f : fans)
                    if (f.is_dir && f.name.size() == 2)
                        sweep_blob_link_dir(repo, algo_name, algo + PLAT_SEP_STR + f.name, f.name);
            }
        }
    }

    void sweep_blob_link_dir(const std::string &repo, const char *algo_name,
                             const std::string &fan, const std::string &fan_name) {
        std::vector<listed_entry> entries;
        if (!list_or_gone_settled(fan, &entries)) failure("cannot list " + fan);
        for (const listed_entry &e : entries) {
            std::string name = e.name, original;
            if (e.is_dir) continue;
            if (is_swept_name(name, &original)) {
                settle_leftover(fan, name, original);
                if (opt_.dry_run) continue;
                name = original;
            }
            if (!is_blob_file_name(algo_name, fan_name, name)) continue;
            char digest[REG_DIGEST_STRING_SIZE], blob[REG_PATH_MAX];
            digest_string_of_hex(name.c_str(), digest);
            blob_path_for_digest(digest, blob, sizeof blob);
            int stored = file_presence(blob);
            if (stored < 0) failure(std::string("cannot query ") + blob);
            if (stored != 0) continue;
            std::string path = fan + PLAT_SEP_STR + name;
            plat_attr a;
            int present = query_file(path, &a);
            if (present < 0) failure("cannot query " + path);
            if (present != 1 || young(a, opt_.grace_seconds)) continue;
            int rc = opt_.dry_run ? 1 : sweep_file(path, opt_.grace_seconds);
            if (rc == 1) record(REG_GC_BLOB_LINK, a.size, repo + "@" + digest);
        }
    }

    void sweep_uploads() {
        char dir[REG_PATH_MAX];
        uploads_dir(dir, sizeof dir);
        std::vector<listed_entry> entries;
        if (!list_or_gone(dir, &entries)) failure(std::string("cannot list ") + dir);
        for (const listed_entry &e : entries) {
            std::string name = e.name, original;
            if (e.is_dir) continue;
            if (is_swept_name(name, &original)) {
                settle_leftover(dir, name, original);
                if (opt_.dry_run) continue;
                name = original;
            }
            if (!is_upload_file_name(name)) continue;
            std::string path = std::string(dir) + PLAT_SEP_STR + name;
            plat_attr a;
            int present = query_file(path, &a);
            if (present < 0) failure("cannot query " + path);
            if (present != 1 || young(a, opt_.expiry_seconds)) continue;
            int rc = opt_.dry_run ? 1 : sweep_file(path, opt_.expiry_seconds);
            if (rc == 1) record(REG_GC_UPLOAD, a.size, "uploads/" + name);
        }
    }

    // Temporaries of atomic replacement under dir (relative path rel),
    // unchanged for the expiry time: their writer died before its rename.
    void sweep_temporaries_in(const std::string &dir, const std::string &rel, int depth) {
        std::vector<listed_entry> entries;
        if (!list_or_gone(dir, &entries)) failure("cannot list " + dir);
        for (const listed_entry &e : entries) {
            std::string path = dir + PLAT_SEP_STR + e.name;
            std::string name = rel.empty() ? e.name : rel + "/" + e.name;
            if (e.is_dir) {
                if (depth < kMaxWalkDepth) sweep_temporaries_in(path, name, depth + 1);
                continue;
            }
            if (is_temporary_name(e.name)) sweep_temporary(path, name);
        }
    }

    // Removes the temporary file at path (name: its path below the root)
    // once it is older than the expiry: a write that left it has died.
    void sweep_temporary(const std::string &path, const std::string &name) {
        plat_attr a;
        int present = query_file(path, &a);
        if (present < 0) failure("cannot query " + path);
        if (present != 1 || young(a, opt_.expiry_seconds)) return;
        if (!opt_.dry_run && plat_remove(path.c_str()) == PLAT_REMOVE_FAILED) {
            failure("cannot remove " + path);
            return;
        }
        record(REG_GC_TEMPORARY, a.size, name);
    }

    void sweep_temporaries() {
        std::vector<listed_entry> entries;
        if (list_all(s_root, &entries) != 0) failure(std::string("cannot list ") + s_root);
        for (const listed_entry &e : entries) {
            std::string path = std::string(s_root) + PLAT_SEP_STR + e.name;
            if (e.is_dir && e.name == "repositories") {
                sweep_temporaries_in(path, e.name, 1);
            } else if (!e.is_dir && is_temporary_name(e.name)) {
                sweep_temporary(path, e.name);
            }
        }
    }

    int finish(reg_gc_report *out) {
        out->items = static_cast<reg_gc_item *>(calloc(items_.size() + 1, sizeof(reg_gc_item)));
        if (out->items == nullptr) throw std::bad_alloc();
        for (const Item &item : items_) {
            reg_gc_item &slot = out->items[out->count];
            slot.kind = item.kind;
            slot.bytes = item.bytes;
            slot.name = xstrdup(item.name.c_str());
            if (slot.name == nullptr) throw std::bad_alloc();
            out->count++;
            out->bytes += item.bytes;
        }
        out->manifests_read = manifests_read_;
        out->blobs_marked = marked_.size();
        out->kept_young = kept_young_;
        out->failures = failures_;
        if (failures_ == 0) return 0;
        set_error("%llu removals failed; the first: %s",
                  static_cast<unsigned long long>(failures_), first_failure_.c_str());
        return -1;
    }

    const reg_gc_options &opt_;
    int64_t now_ns_;  // when the run started, nanoseconds since 1970
    std::vector<Manifest> manifests_;
    digest_set marked_;
    std::vector<Item> items_;
    uint64_t manifests_read_ = 0;
    uint64_t kept_young_ = 0;
    uint64_t failures_ = 0;
    std::string first_failure_;
};

}  // namespace

extern "C" {

int reg_gc(const reg_gc_options *options, reg_gc_report *out) {
    if (out != nullptr) *out = reg_gc_report{};
    if (options == nullptr || out == nullptr) {
        set_status_error(REG_STATUS_INVALID_ARGUMENT, "NULL argument");
        return -1;
    }
    if (require_ready() != 0) return -1;
    if (options->grace_seconds < 0 || options->expiry_seconds < 0) {
        set_status_error(REG_STATUS_INVALID_ARGUMENT, "negative grace or expiry time");
        return -1;
    }
    int rc = unless_out_of_memory(-1, [&] {
        Collector collector(*options);
        return collector.run(out);
    });
    // Out of memory part-way leaves what was filled; the caller frees it.
    return rc;
}

void reg_gc_report_free(reg_gc_report *report) {
    if (report == nullptr) return;
    for (uint64_t i = 0; i < report->count; i++) free(report->items[i].name);
    free(report->items);
    *report = reg_gc_report{};
}

}  // extern "C"
