// The integrity check: every blob and manifest body re-hashed against its
// name, every link read, every reference a manifest makes looked up, every
// entry outside the layout reported; with repair, what is corrupt moves to
// <root>/quarantine/ and links that name nothing go.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "digest/digest.h"
#include "platform/platform.h"
#include "storage/layout.h"

namespace {

constexpr int kMaxRepoDepth = 128;

struct Problem {
    reg_fsck_kind kind;
    bool repaired;
    std::string path;
    std::string detail;
};

bool is_lower_hex_char(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

class Checker {
  public:
    explicit Checker(bool repair) : repair_(repair) {}

    void run() {
        std::vector<listed_entry> entries;
        if (!list(s_root, "", &entries)) return;
        for (const listed_entry &e : entries) {
            std::string path = join(s_root, e.name);
            if (!e.is_dir && (e.name == "config.json" || is_temporary_name(e.name))) continue;
            if (e.is_dir && e.name == "blobs") check_blobs(path, e.name);
            else if (e.is_dir && e.name == "uploads") check_uploads(path, e.name);
            else if (e.is_dir && e.name == "repositories") check_repositories(path, e.name, "", 1);
            else if (e.is_dir && e.name == "quarantine") continue;
            // A mirror's upstream tokens: not content of the store.
            else if (e.is_dir && e.name == "mirror-tokens") continue;
            // The keys of the store's programs (reg_storage_secret).
            else if (e.is_dir && e.name == "secrets") continue;
            else stray(e.name, e.is_dir);
        }
    }

    int finish(reg_fsck_report *out) {
        out->problems =
            static_cast<reg_fsck_problem *>(calloc(problems_.size() + 1, sizeof(reg_fsck_problem)));
        if (out->problems == nullptr) throw std::bad_alloc();
        for (const Problem &p : problems_) {
            reg_fsck_problem &slot = out->problems[out->count];
            slot.kind = p.kind;
            slot.repaired = p.repaired ? 1 : 0;
            slot.path = xstrdup(p.path.c_str());
            slot.detail = xstrdup(p.detail.c_str());
            out->count++;
            if (slot.path == nullptr || slot.detail == nullptr) throw std::bad_alloc();
        }
        out->blobs = blobs_;
        out->manifests = manifests_;
        out->links = links_;
        out->bytes_hashed = bytes_hashed_;
        return 0;
    }

  private:
    static std::string join(const std::string &dir, const std::string &name) {
        return dir + PLAT_SEP_STR + name;
    }
    static std::string rel_join(const std::string &rel, const std::string &name) {
        return rel.empty() ? name : rel + "/" + name;
    }

    void report(reg_fsck_kind kind, const std::string &rel, const std::string &detail,
                bool repaired = false) {
        problems_.push_back(Problem{kind, repaired, rel, detail});
    }

    void stray(const std::string &rel, bool is_dir) {
        report(REG_FSCK_STRAY, rel, is_dir ? "directory outside the layout" : "file outside the layout");
    }

    bool list(const std::string &dir, const std::string &rel, std::vector<listed_entry> *out) {
        if (list_all(dir.c_str(), out) == 0) return true;
        report(REG_FSCK_UNREADABLE, rel.empty() ? "." : rel, "directory does not list whole");
        return true;  // what was gathered is still checked
    }

    // Lists dir (rel below the root) and calls visit(entry, entry's rel) for
    // each entry that expected accepts; every other entry is a stray.
    template <typename Expected, typename Visit>
    void walk(const std::string &dir, const std::string &rel, Expected expected, Visit visit) {
        std::vector<listed_entry> entries;
        list(dir, rel, &entries);
        for (const listed_entry &e : entries) {
            std::string entry_rel = rel_join(rel, e.name);
            if (expected(e))
                visit(e, entry_rel);
            else
                stray(entry_rel, e.is_dir);
        }
    }

    // The directory of an algorithm content is kept under.
    static bool is_algo_dir(const listed_entry &e) {
        if (!e.is_dir) return false;
        for (const char *algo : kStoredAlgorithms)
            if (e.name == algo) return true;
        return false;
    }
    // A fan-out directory: named by two hex digits.
    static bool is_fan_dir(const listed_entry &f) {
        return f.is_dir && f.name.size() == 2 && is_lower_hex_char(f.name[0]) &&
               is_lower_hex_char(f.name[1]);
    }
    // What an algorithm's directory (named algo) holds: hex digests of
    // that algorithm.
    static auto is_hex_of(const std::string &algo, bool dir) {
        return [algo, dir](const listed_entry &e) {
            return e.is_dir == dir && is_hex_digest(e.name) && algo == algo_of_hex(e.name.c_str());
        };
    }

    // Moves the file at path (rel below the root) to quarantine/<rel>, under
    // a free name. Never removes anything.
    bool quarantine(const std::string &path, const std::string &rel, std::string *where) {
        std::string target = std::string(s_root) + PLAT_SEP_STR + "quarantine";
        // Appended piece by piece, not joined with operator+: GCC 12 at -O3
        // warns falsely (-Wrestrict) about "literal" + string.
        std::string rel_target = "quarantine/";
        rel_target += rel;
        for (size_t start = 0;;) {
            size_t slash = rel.find('/', start);
            if (slash == std::string::npos) break;
            target += PLAT_SEP_STR;
            target.append(rel, start, slash - start);
            start = slash + 1;
        }
        if (mkdirs(target.c_str()) != 0) return false;
        std::string name = rel.substr(rel.rfind('/') + 1);
        std::string candidate = join(target, name);
        plat_attr a;
        for (int n = 1; plat_stat(candidate.c_str(), &a) == 0; n++) {
            candidate = join(target, name + "." + std::to_string(n));
            rel_target = "quarantine/";
            rel_target += rel + "." + std::to_string(n);
        }
        if (plat_rename(path.c_str(), candidate.c_str()) != 0) return false;
        *where = rel_target;
        return true;
    }

    // Reports a corrupt file and, with repair, quarantines it.
    void corrupt(reg_fsck_kind kind, const std::string &path, const std::string &rel,
                 const std::string &what) {
        std::string where;
        if (repair_ && quarantine(path, rel, &where)) {
            report(kind, rel, what + "; moved to " + where, true);
            return;
        }
        report(kind, rel, what + (repair_ ? "; could not be moved to quarantine" : ""));
    }

    // The digest of the file at path in the algorithm of the hex digest
    // named, as hex; "" when it cannot be read.
    std::string hash_file(const std::string &path, const std::string &named) {
        digest_algo algo = named.size() == 128 ? DIGEST_SHA512 : DIGEST_SHA256;
        uint8_t raw[DIGEST_MAX_SIZE];
        size_t raw_size = 0;
        if (digest_of_file(algo, path.c_str(), raw, &raw_size) != 0) return "";
        int64_t size = file_size(path.c_str());
        if (size > 0) bytes_hashed_ += size;
        char hex[REG_HEX_SIZE];
        digest_to_hex(raw, raw_size, hex);
        return hex;
    }

    void check_blobs(const std::string &dir, const std::string &rel) {
        walk(dir, rel, is_algo_dir, [&](const listed_entry &a, const std::string &algo_rel) {
            std::string algo = join(dir, a.name);
            walk(algo, algo_rel, is_fan_dir, [&](const listed_entry &f, const std::string &fan_rel) {
                std::string fan = join(algo, f.name);
                // A swept blob is gc's to settle; anything else must be a
                // blob of this fan.
                auto expected = [&](const listed_entry &b) {
                    std::string original;
                    if (!b.is_dir && is_swept_name(b.name, &original)) return true;
                    return !b.is_dir && is_blob_file_name(a.name.c_str(), f.name, b.name);
                };
                walk(fan, fan_rel, expected, [&](const listed_entry &b, const std::string &blob_rel) {
                    if (is_hex_digest(b.name)) check_blob(join(fan, b.name), blob_rel, b.name);
                });
            });
        });
    }

    void check_blob(const std::string &path, const std::string &rel, const std::string &hex) {
        blobs_++;
        std::string actual = hash_file(path, hex);
        if (actual.empty()) {
            if (file_exists(path.c_str())) report(REG_FSCK_UNREADABLE, rel, "blob cannot be read");
            return;
        }
        if (actual != hex)
            corrupt(REG_FSCK_BLOB_CORRUPT, path, rel,
                    "bytes have the digest " + std::string(algo_of_hex(hex.c_str())) + ":" + actual);
    }

    void check_uploads(const std::string &dir, const std::string &rel) {
        std::vector<listed_entry> entries;
        list(dir, rel, &entries);
        for (const listed_entry &e : entries) {
            std::string original;
            if (!e.is_dir && (is_upload_file_name(e.name) || is_swept_name(e.name, &original))) continue;
            stray(rel_join(rel, e.name), e.is_dir);
        }
    }

    void check_repositories(const std::string &dir, const std::string &rel,
                            const std::string &name, int depth) {
        std::vector<listed_entry> entries;
        list(dir, rel, &entries);
        for (const listed_entry &e : entries) {
            std::string path = join(dir, e.name), entry_rel = rel_join(rel, e.name);
            if (!e.is_dir) {
                stray(entry_rel, false);
            } else if (e.name == "_manifests" && !name.empty()) {
                check_manifests(name, path, entry_rel);
            } else if (depth < kMaxRepoDepth) {
                check_repositories(path, entry_rel, name.empty() ? e.name : name + "/" + e.name,
                                   depth + 1);
            }
        }
    }

    // A manifest of repo is stored when its body is there and was not moved
    // to quarantine in this run.
    bool body_stored(const std::string &manifests, const std::string &hex) {
        return file_exists(join(manifests, hex).c_str()) == 1;
    }

    void check_manifests(const std::string &repo, const std::string &dir, const std::string &rel) {
        std::vector<listed_entry> entries;
        list(dir, rel, &entries);
        std::vector<std::string> quarantined;
        // Bodies first, so that links to a body moved to quarantine are known.
        for (const listed_entry &e : entries) {
            std::string entry_rel = rel_join(rel, e.name);
            if (e.is_dir) {
                if (e.name != "revisions" && e.name != "tags" && e.name != "referrers" &&
                    e.name != "blobs")
                    stray(entry_rel, true);
                continue;
            }
            if (is_hex_digest(e.name)) {
                if (!check_body(repo, dir, e.name, entry_rel)) quarantined.push_back(e.name);
                continue;
            }
            if (is_content_type_name(e.name) || is_temporary_name(e.name)) continue;
            stray(entry_rel, false);
        }
        auto was_quarantined = [&](const std::string &hex) {
            for (const std::string &q : quarantined)
                if (q == hex) return true;
            return false;
        };
        check_revisions(dir, rel, was_quarantined);
        check_tags(dir, rel, was_quarantined);
        check_referrers(dir, rel, was_quarantined);
        check_blob_links(dir, rel);
    }

    // blobs/<algo>/<xx>/<hex>: the blobs the repository holds, each a link
    // holding the digest string of its name and naming a stored blob.
    void check_blob_links(const std::string &manifests, const std::string &rel) {
        std::string dir = join(manifests, "blobs");
        if (!dir_exists(dir.c_str())) return;
        walk(dir, rel_join(rel, "blobs"), is_algo_dir,
             [&](const listed_entry &a, const std::string &algo_rel) {
                 std::string algo = join(dir, a.name);
                 walk(algo, algo_rel, is_fan_dir, [&](const listed_entry &f, const std::string &fan_rel) {
                     std::string fan = join(algo, f.name);
                     auto expected = [&](const listed_entry &l) {
                         std::string original;
                         if (l.is_dir) return false;
                         if (is_temporary_name(l.name) || is_swept_name(l.name, &original)) return true;
                         return is_blob_file_name(a.name.c_str(), f.name, l.name) == 1;
                     };
                     walk(fan, fan_rel, expected, [&](const listed_entry &l, const std::string &link_rel) {
                         if (is_hex_digest(l.name)) check_blob_link(join(fan, l.name), link_rel, l.name);
                     });
                 });
             });
    }

    void check_blob_link(const std::string &path, const std::string &rel, const std::string &hex) {
        char read_hex[REG_HEX_SIZE];
        if (!read_checked_link(path, rel, hex, read_hex)) return;
        char digest[REG_DIGEST_STRING_SIZE], blob[REG_PATH_MAX];
        digest_string_of_hex(hex.c_str(), digest);
        blob_path_for_digest(digest, blob, sizeof blob);
        if (file_exists(blob) == 1) return;
        dangling(path, rel, std::string("names blob ") + digest + ", which is not stored", false);
    }

    // Re-hashes one body and looks up what it names. false when it was
    // moved to quarantine.
    bool check_body(const std::string &repo, const std::string &dir, const std::string &hex,
                    const std::string &rel) {
        manifests_++;
        std::string path = join(dir, hex);
        std::string body;
        if (read_manifest_body(repo.c_str(), hex.c_str(), &body) != 0) {
            if (file_exists(path.c_str()))
                report(REG_FSCK_UNREADABLE, rel, "manifest body cannot be read whole");
            return true;
        }
        bytes_hashed_ += static_cast<int64_t>(body.size());
        char digest[REG_DIGEST_STRING_SIZE], actual[REG_HEX_SIZE];
        digest_string_of_hex(hex.c_str(), digest);
        if (content_hex_of(digest, body.data(), body.size(), actual) != 0) {
            report(REG_FSCK_UNREADABLE, rel, "manifest body cannot be hashed");
            return true;
        }
        manifest_refs refs;
        bool parsed = manifest_references(body.data(), body.size(), &refs) == 0;
        if (hex != actual || !parsed) {
            std::string what = hex != actual ? "bytes have the digest " +
                                                   std::string(algo_of_hex(actual)) + ":" + actual
                                             : std::string("not a JSON object");
            corrupt(REG_FSCK_MANIFEST_CORRUPT, path, rel, what);
            if (repair_ && !file_exists(path.c_str())) {
                std::string ct = path + ".ct", where;
                if (file_exists(ct.c_str())) quarantine(ct, rel + ".ct", &where);
                return false;
            }
            return true;
        }
        for (const digest_key &k : refs.blobs) {
            std::string blob_digest = digest_string_of_key(k);
            char blob[REG_PATH_MAX];
            blob_path_for_digest(blob_digest.c_str(), blob, sizeof blob);
            // The empty descriptor's blob need not be stored.
            if (!file_exists(blob) && blob_digest != kEmptyJsonDigest)
                report(REG_FSCK_REFERENCE_MISSING, rel,
                       "names blob " + blob_digest + ", which is not stored");
        }
        for (const digest_key &k : refs.manifests) {
            if (!body_stored(dir, hex_of_key(k)))
                report(REG_FSCK_REFERENCE_MISSING, rel,
                       "names manifest " + digest_string_of_key(k) + " of " + repo +
                           ", which is not stored");
        }
        return true;
    }

    // Checks one link file that must hold exactly the digest string of the
    // hex digest expect (any digest when expect is empty) naming a stored
    // body of manifests.
    template <typename Quarantined>
    void check_link(const std::string &path, const std::string &rel, const std::string &manifests,
                    const std::string &expect, Quarantined was_quarantined) {
        char read_hex[REG_HEX_SIZE];
        if (!read_checked_link(path, rel, expect, read_hex)) return;
        std::string hex = read_hex;
        if (body_stored(manifests, hex)) return;
        dangling(path, rel,
                 "names " + std::string(algo_of_hex(hex.c_str())) + ":" + hex +
                     ", whose manifest body is not stored",
                 was_quarantined(hex));
    }

    // Reads one link file that must hold exactly the digest string of the
    // hex digest expect (any digest when expect is empty), counting it and
    // reporting one that cannot be read or is corrupt (which repair moves to
    // quarantine). true, with its hex digest in read_hex, when it holds
    // what it must; false when there is nothing more to check.
    bool read_checked_link(const std::string &path, const std::string &rel,
                           const std::string &expect, char read_hex[REG_HEX_SIZE]) {
        links_++;
        link_state state = read_link(path.c_str(), read_hex);
        if (state == LINK_ABSENT) return false;
        if (state == LINK_UNREADABLE) {
            report(REG_FSCK_UNREADABLE, rel, "link cannot be read");
            return false;
        }
        if (state == LINK_CORRUPT || (!expect.empty() && expect != read_hex)) {
            corrupt(REG_FSCK_LINK_CORRUPT, path, rel,
                    expect.empty() ? "not a digest string"
                                   : "does not hold " + std::string(algo_of_hex(expect.c_str())) +
                                         ":" + expect);
            return false;
        }
        return true;
    }

    // Reports a well-formed link whose target is not stored (what); repair
    // removes it, or moves it to quarantine beside a target that went there
    // in this run.
    void dangling(const std::string &path, const std::string &rel, const std::string &what,
                  bool target_quarantined) {
        if (!repair_) {
            report(REG_FSCK_LINK_DANGLING, rel, what);
        } else if (target_quarantined) {
            corrupt(REG_FSCK_LINK_DANGLING, path, rel, what + " (it went to quarantine)");
        } else if (remove_file(path.c_str()) == 0) {
            report(REG_FSCK_LINK_DANGLING, rel, what + "; removed", true);
        } else {
            report(REG_FSCK_LINK_DANGLING, rel, what + "; could not be removed");
        }
    }

    // A directory that holds one link file (and temporaries of it).
    template <typename Quarantined>
    void check_link_dir(const std::string &dir, const std::string &rel,
                        const std::string &manifests, const std::string &expect,
                        Quarantined was_quarantined) {
        auto expected = [](const listed_entry &e) {
            return !e.is_dir && (e.name == "link" || is_temporary_name(e.name));
        };
        walk(dir, rel, expected, [&](const listed_entry &e, const std::string &entry_rel) {
            if (e.name == "link")
                check_link(join(dir, e.name), entry_rel, manifests, expect, was_quarantined);
        });
    }

    template <typename Quarantined>
    void check_revisions(const std::string &manifests, const std::string &rel, Quarantined q) {
        std::string dir = join(manifests, "revisions");
        if (!dir_exists(dir.c_str())) return;
        walk(dir, rel_join(rel, "revisions"), is_algo_dir,
             [&](const listed_entry &a, const std::string &algo_rel) {
                 std::string algo = join(dir, a.name);
                 walk(algo, algo_rel, is_hex_of(a.name, true),
                      [&](const listed_entry &r, const std::string &rev_rel) {
                          check_link_dir(join(algo, r.name), rev_rel, manifests, r.name, q);
                      });
             });
    }

    template <typename Quarantined>
    void check_tags(const std::string &manifests, const std::string &rel, Quarantined q) {
        std::string dir = join(manifests, "tags");
        if (!dir_exists(dir.c_str())) return;
        auto is_tag_dir = [](const listed_entry &t) {
            return t.is_dir && tag_name_valid(t.name.c_str());
        };
        auto is_current_dir = [](const listed_entry &c) { return c.is_dir && c.name == "current"; };
        walk(dir, rel_join(rel, "tags"), is_tag_dir,
             [&](const listed_entry &t, const std::string &tag_rel) {
                 std::string tag = join(dir, t.name);
                 walk(tag, tag_rel, is_current_dir,
                      [&](const listed_entry &c, const std::string &current_rel) {
                          check_link_dir(join(tag, c.name), current_rel, manifests, "", q);
                      });
             });
    }

    template <typename Quarantined>
    void check_referrers(const std::string &manifests, const std::string &rel, Quarantined q) {
        std::string dir = join(manifests, "referrers");
        if (!dir_exists(dir.c_str())) return;
        // A referrer link is named by the referrer's hex digest; its
        // temporaries may stand beside it.
        auto is_link = [](const listed_entry &l) {
            return !l.is_dir && (is_hex_digest(l.name) || is_temporary_name(l.name));
        };
        walk(dir, rel_join(rel, "referrers"), is_algo_dir,
             [&](const listed_entry &a, const std::string &algo_rel) {
                 std::string algo = join(dir, a.name);
                 walk(algo, algo_rel, is_hex_of(a.name, true),
                      [&](const listed_entry &s, const std::string &subject_rel) {
                          std::string subject = join(algo, s.name);
                          walk(subject, subject_rel, is_link,
                               [&](const listed_entry &l, const std::string &link_rel) {
                                   if (is_hex_digest(l.name))
                                       check_link(join(subject, l.name), link_rel, manifests,
                                                  l.name, q);
                               });
                      });
             });
    }

    bool repair_;
    std::vector<Problem> problems_;
    uint64_t blobs_ = 0, manifests_ = 0, links_ = 0;
    int64_t bytes_hashed_ = 0;
};

}  // namespace

extern "C" {

int reg_fsck(int32_t repair, reg_fsck_report *out) {
    if (out == nullptr) {
        set_status_error(REG_STATUS_INVALID_ARGUMENT, "NULL argument");
        return -1;
    }
    *out = reg_fsck_report{};
    if (require_ready() != 0) return -1;
    return unless_out_of_memory(-1, [&] {
        Checker checker(repair != 0);
        checker.run();
        return checker.finish(out);
    });
}

void reg_fsck_report_free(reg_fsck_report *report) {
    if (report == nullptr) return;
    for (uint64_t i = 0; i < report->count; i++) {
        free(report->problems[i].path);
        free(report->problems[i].detail);
    }
    free(report->problems);
    *report = reg_fsck_report{};
}

}  // extern "C"
