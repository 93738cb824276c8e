#include "tests/support/invariants.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/support/reference_sha256.h"
#include "tests/support/reference_sha512.h"

namespace fs = std::filesystem;

namespace testing_support {

namespace {

bool is_lower_hex(const std::string &text, size_t length) {
    if (text.size() != length) return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

// The store keeps content by SHA-256 (64 hex digits) or SHA-512 (128); the
// length of a hex digest tells which.
bool is_hex_digest(const std::string &text) {
    return is_lower_hex(text, 64) || is_lower_hex(text, 128);
}

const char *algo_of_hex(const std::string &hex) { return hex.size() == 128 ? "sha512" : "sha256"; }

// A hex digest of the algorithm whose directory is algo.
bool is_hex_digest_of(const std::string &text, const std::string &algo) {
    return is_hex_digest(text) && algo == algo_of_hex(text);
}

bool is_algo_dir_name(const std::string &name) { return name == "sha256" || name == "sha512"; }

bool is_digest_string(const std::string &text) {
    size_t colon = text.find(':');
    if (colon == std::string::npos) return false;
    std::string hex = text.substr(colon + 1);
    return is_hex_digest(hex) && text.compare(0, colon, algo_of_hex(hex)) == 0;
}

// "<hex>.ct": a manifest's content-type file.
bool is_content_type_name(const std::string &name) {
    return name.size() > 3 && name.compare(name.size() - 3, 3, ".ct") == 0 &&
           is_hex_digest(name.substr(0, name.size() - 3));
}

bool is_alnum(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool all_digits(const std::string &text) {
    if (text.empty()) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

// "<id>.part", the id being 8-4-4-4-12 lowercase hex digits.
bool is_upload_file_name(const std::string &name) {
    if (name.size() != 41 || name.compare(36, 5, ".part") != 0) return false;
    for (size_t i = 0; i < 36; i++) {
        char c = name[i];
        bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

// [A-Za-z0-9_][A-Za-z0-9._-]{0,127}
bool is_tag_name(const std::string &name) {
    if (name.empty() || name.size() > 128 || !(is_alnum(name[0]) || name[0] == '_')) return false;
    for (char c : name)
        if (!(is_alnum(c) || c == '_' || c == '.' || c == '-')) return false;
    return true;
}

// One '/'-separated component of a repository name.
bool is_repo_component(const std::string &name) {
    if (name.empty() || name == "_manifests" || name.find("..") != std::string::npos) return false;
    for (char c : name)
        if (!(is_alnum(c) || c == '_' || c == '.' || c == '-')) return false;
    return true;
}

// "<target>.tmp-<pid>-<n>": the target's name when name is a temporary.
bool temporary_target(const std::string &name, std::string *target) {
    size_t at = name.rfind(".tmp-");
    if (at == std::string::npos || at == 0) return false;
    std::string numbers = name.substr(at + 5);
    size_t dash = numbers.find('-');
    if (dash == std::string::npos || !all_digits(numbers.substr(0, dash)) ||
        !all_digits(numbers.substr(dash + 1)))
        return false;
    *target = name.substr(0, at);
    return true;
}

// "<original>.sweep-<pid>": a file garbage collection moved aside before
// removing it; the next collection puts it back or removes it.
bool swept_original(const std::string &name, std::string *original) {
    size_t at = name.rfind(".sweep-");
    if (at == std::string::npos || at == 0 || !all_digits(name.substr(at + 7))) return false;
    *original = name.substr(0, at);
    return true;
}

// SHA-256 of a whole file, streamed; empty text when it cannot be read.
std::string file_sha256_hex(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "";
    ReferenceSha256 digest;
    std::vector<char> buffer(1 << 16);
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        if (in.gcount() > 0) digest.update(buffer.data(), static_cast<size_t>(in.gcount()));
    }
    if (in.bad()) return "";
    return digest.hex();
}

std::string read_small_file(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The digest of a whole file in the algorithm of the hex digest named;
// empty text when it cannot be read. (Files of SHA-512 content in the tests
// are small enough to be read whole.)
std::string file_hex_like(const fs::path &path, const std::string &named) {
    if (named.size() != 128) return file_sha256_hex(path);
    std::ifstream in(path, std::ios::binary);
    if (!in) return "";
    return reference_sha512_hex(read_small_file(path));
}

enum class Kind { kFile, kDir, kOther };

Kind kind_of(const fs::directory_entry &entry) {
    std::error_code ec;
    fs::file_status st = entry.symlink_status(ec);
    if (ec) return Kind::kOther;
    if (fs::is_regular_file(st)) return Kind::kFile;
    if (fs::is_directory(st)) return Kind::kDir;
    return Kind::kOther;
}

class Checker {
  public:
    Checker(const fs::path &root, const StoreCheckOptions &options, StoreCheck &out)
        : root_(root), options_(options), out_(out) {}

    void run() {
        std::error_code ec;
        fs::file_status status = fs::symlink_status(root_, ec);
        if (!fs::exists(status)) return;  // nothing stored yet
        if (!fs::is_directory(status)) {
            violation(root_, "the storage root is not a directory");
            return;
        }
        if (options_.root_alone_in_parent) check_parent();
        for (const auto &entry : entries(root_)) {
            std::string name = entry.path().filename().string();
            Kind kind = kind_of(entry);
            std::string target;
            if (name == "config.json" && kind == Kind::kFile) continue;
            if (kind == Kind::kFile && temporary_target(name, &target) && target == "config.json") {
                temporary(entry.path());
            } else if (name == "blobs" && kind == Kind::kDir) {
                check_blobs(entry.path());
            } else if (name == "uploads" && kind == Kind::kDir) {
                check_uploads(entry.path());
            } else if (name == "repositories" && kind == Kind::kDir) {
                check_repository_dir(entry.path(), "");
            } else if (name == "quarantine" && kind == Kind::kDir) {
                check_quarantine(entry.path());
            } else if (name == "secrets" && kind == Kind::kDir) {
                check_secrets(entry.path());
            } else {
                unexpected(entry);
            }
        }
    }

  private:
    std::vector<fs::directory_entry> entries(const fs::path &dir) {
        std::vector<fs::directory_entry> list;
        std::error_code ec;
        for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
            list.push_back(*it);
        if (ec) violation(dir, "cannot be listed: " + ec.message());
        return list;
    }

    void violation(const fs::path &path, const std::string &what) {
        out_.violations.push_back(relative(path) + ": " + what);
    }

    void unexpected(const fs::directory_entry &entry) {
        static const char *const kKinds[] = {"file", "directory", "entry of another kind"};
        violation(entry.path(), std::string("unexpected ") + kKinds[static_cast<int>(kind_of(entry))]);
    }

    void temporary(const fs::path &path) { out_.temporaries.push_back(relative(path)); }

    std::string relative(const fs::path &path) {
        std::string text = path.lexically_relative(root_).generic_string();
        return text.empty() || text == "." ? root_.generic_string() : text;
    }

    void check_parent() {
        fs::path parent = root_.parent_path();
        for (const auto &entry : entries(parent))
            if (entry.path().filename().string() != root_.filename())
                out_.violations.push_back(entry.path().generic_string() +
                                          ": outside the storage root");
    }

    // A file that must hold bytes whose digest is its name.
    void check_content_addressed(const fs::path &path, const std::string &hex, const char *what) {
        std::string actual = file_hex_like(path, hex);
        if (actual != hex)
            violation(path, std::string(what) + " does not hold its digest's bytes (" +
                                algo_of_hex(hex) + " " + (actual.empty() ? "unreadable" : actual) +
                                ")");
    }

    // Walks <dir>/<algo>/<xx>/, the split of content by algorithm and
    // fan-out: every entry of a fan-out directory goes to visit with its
    // algorithm and fan-out name; anything else at those two levels is
    // unexpected.
    template <typename Visit>
    void walk_fanned(const fs::path &dir, Visit visit) {
        for (const auto &entry : entries(dir)) {
            std::string algo = entry.path().filename().string();
            if (!is_algo_dir_name(algo) || kind_of(entry) != Kind::kDir) {
                unexpected(entry);
                continue;
            }
            for (const auto &fan : entries(entry.path())) {
                std::string fan_name = fan.path().filename().string();
                if (!is_lower_hex(fan_name, 2) || kind_of(fan) != Kind::kDir) {
                    unexpected(fan);
                    continue;
                }
                for (const auto &file : entries(fan.path())) visit(algo, fan_name, file);
            }
        }
    }

    void check_blobs(const fs::path &blobs) {
        walk_fanned(blobs, [&](const std::string &algo, const std::string &fan_name,
                               const fs::directory_entry &blob) {
            std::string hex = blob.path().filename().string();
            std::string original;
            if (kind_of(blob) == Kind::kFile && swept_original(hex, &original) &&
                is_hex_digest_of(original, algo) && original.compare(0, 2, fan_name) == 0) {
                temporary(blob.path());
                return;
            }
            if (!is_hex_digest_of(hex, algo) || hex.compare(0, 2, fan_name) != 0 ||
                kind_of(blob) != Kind::kFile) {
                unexpected(blob);
                return;
            }
            out_.blobs++;
            check_content_addressed(blob.path(), hex, "blob");
        });
    }

    void check_uploads(const fs::path &uploads) {
        for (const auto &entry : entries(uploads)) {
            std::string name = entry.path().filename().string(), original;
            if (kind_of(entry) == Kind::kFile && is_upload_file_name(name)) {
                out_.uploads++;
            } else if (kind_of(entry) == Kind::kFile && swept_original(name, &original) &&
                       is_upload_file_name(original)) {
                temporary(entry.path());
            } else {
                unexpected(entry);
            }
        }
    }

    // What the integrity check moved aside: files and directories of any
    // name, nothing of another kind.
    // The store's secrets (reg_storage_secret): 32-byte files named
    // [a-z0-9-], the temporaries of their making, and the empty lock that
    // processes making one take turns on.
    void check_secrets(const fs::path &dir) {
        for (const auto &entry : entries(dir)) {
            std::string name = entry.path().filename().string();
            std::string target;
            if (kind_of(entry) == Kind::kFile && temporary_target(name, &target)) {
                temporary(entry.path());
                continue;
            }
            // The lock that processes making a secret take turns on: an
            // empty file.
            if (name == ".lock" && kind_of(entry) == Kind::kFile) {
                std::error_code ec;
                if (fs::file_size(entry.path(), ec) != 0) violation(entry.path(), "a lock that holds bytes");
                continue;
            }
            bool named = !name.empty() && name.find_first_not_of(
                                              "abcdefghijklmnopqrstuvwxyz0123456789-") ==
                                              std::string::npos;
            std::error_code ec;
            if (!named || kind_of(entry) != Kind::kFile || fs::file_size(entry.path(), ec) != 32)
                violation(entry.path(), "not a secret of 32 bytes");
        }
    }

    void check_quarantine(const fs::path &dir) {
        for (const auto &entry : entries(dir)) {
            Kind kind = kind_of(entry);
            if (kind == Kind::kDir) {
                out_.quarantined_dirs++;
                check_quarantine(entry.path());
            } else if (kind == Kind::kFile) {
                out_.quarantined++;
            } else {
                unexpected(entry);
            }
        }
    }

    // A directory under repositories: the path components of repository
    // names, and _manifests where a repository begins.
    void check_repository_dir(const fs::path &dir, const std::string &name) {
        for (const auto &entry : entries(dir)) {
            std::string component = entry.path().filename().string();
            if (kind_of(entry) != Kind::kDir) {
                unexpected(entry);
            } else if (component == "_manifests" && !name.empty()) {
                check_manifests(entry.path());
            } else if (is_repo_component(component) &&
                       name.size() + 1 + component.size() <= 255) {
                check_repository_dir(entry.path(), name.empty() ? component : name + "/" + component);
            } else {
                unexpected(entry);
            }
        }
    }

    void check_manifests(const fs::path &manifests) {
        for (const auto &entry : entries(manifests)) {
            std::string name = entry.path().filename().string();
            Kind kind = kind_of(entry);
            std::string target;
            if (kind == Kind::kFile && is_hex_digest(name)) {
                out_.manifests++;
                check_content_addressed(entry.path(), name, "manifest body");
            } else if (kind == Kind::kFile && is_content_type_name(name)) {
                continue;
            } else if (kind == Kind::kFile && temporary_target(name, &target) &&
                       (is_hex_digest(target) || is_content_type_name(target))) {
                temporary(entry.path());
            } else if (kind == Kind::kDir && name == "revisions") {
                check_revisions(entry.path());
            } else if (kind == Kind::kDir && name == "tags") {
                check_tags(entry.path(), manifests);
            } else if (kind == Kind::kDir && name == "referrers") {
                check_referrers(entry.path());
            } else if (kind == Kind::kDir && name == "blobs") {
                check_blob_links(entry.path());
            } else {
                unexpected(entry);
            }
        }
    }

    // A directory that may hold only a link file and its temporaries;
    // calls on_link with the path of the link when there is one.
    template <typename OnLink>
    void check_link_dir(const fs::path &dir, OnLink on_link) {
        for (const auto &entry : entries(dir)) {
            std::string name = entry.path().filename().string();
            std::string target;
            if (kind_of(entry) != Kind::kFile) {
                unexpected(entry);
            } else if (name == "link") {
                on_link(entry.path());
            } else if (temporary_target(name, &target) && target == "link") {
                temporary(entry.path());
            } else {
                unexpected(entry);
            }
        }
    }

    // The link's text when it is a whole digest string, else empty (and a
    // violation).
    std::string read_link(const fs::path &link) {
        std::string text = read_small_file(link);
        if (is_digest_string(text)) return text;
        violation(link, "link is not a whole digest string (" + std::to_string(text.size()) +
                            " bytes)");
        return "";
    }

    void check_revisions(const fs::path &revisions) {
        for (const auto &entry : entries(revisions)) {
            std::string algo = entry.path().filename().string();
            if (!is_algo_dir_name(algo) || kind_of(entry) != Kind::kDir) {
                unexpected(entry);
                continue;
            }
            for (const auto &rev : entries(entry.path())) {
                std::string hex = rev.path().filename().string();
                if (!is_hex_digest_of(hex, algo) || kind_of(rev) != Kind::kDir) {
                    unexpected(rev);
                    continue;
                }
                check_link_dir(rev.path(), [&](const fs::path &link) {
                    out_.revisions++;
                    std::string text = read_link(link);
                    if (!text.empty() && text.substr(text.find(':') + 1) != hex)
                        violation(link, "revision link names another digest: " + text);
                });
            }
        }
    }

    // referrers/<algo>/<subject hex>/<hex>: each a link holding the digest
    // string of its own name. A link may outlive its manifest (the reader
    // passes over it); its form must hold.
    void check_referrers(const fs::path &referrers) {
        for (const auto &entry : entries(referrers)) {
            std::string algo = entry.path().filename().string();
            if (!is_algo_dir_name(algo) || kind_of(entry) != Kind::kDir) {
                unexpected(entry);
                continue;
            }
            for (const auto &subject : entries(entry.path())) {
                if (!is_hex_digest_of(subject.path().filename().string(), algo) ||
                    kind_of(subject) != Kind::kDir) {
                    unexpected(subject);
                    continue;
                }
                for (const auto &link : entries(subject.path())) {
                    std::string name = link.path().filename().string();
                    std::string target;
                    if (kind_of(link) != Kind::kFile) {
                        unexpected(link);
                    } else if (is_hex_digest(name)) {
                        std::string text = read_link(link.path());
                        if (!text.empty() && text.substr(text.find(':') + 1) != name)
                            violation(link.path(), "referrer link names another digest: " + text);
                    } else if (temporary_target(name, &target) && is_hex_digest(target)) {
                        temporary(link.path());
                    } else {
                        unexpected(link);
                    }
                }
            }
        }
    }

    // blobs/<algo>/<xx>/<hex>: the blobs the repository holds, each a link
    // holding the digest string of its own name. A link may outlive its
    // blob until the next collection; its form must hold.
    void check_blob_links(const fs::path &blobs) {
        walk_fanned(blobs, [&](const std::string &algo, const std::string &fan_name,
                               const fs::directory_entry &link) {
            std::string name = link.path().filename().string(), target, original;
            bool is_temporary = temporary_target(name, &target);
            bool is_swept = !is_temporary && swept_original(name, &original);
            std::string hex = is_temporary ? target : is_swept ? original : name;
            if (kind_of(link) != Kind::kFile || !is_hex_digest_of(hex, algo) ||
                hex.compare(0, 2, fan_name) != 0) {
                unexpected(link);
            } else if (is_temporary || is_swept) {
                temporary(link.path());
            } else {
                std::string text = read_link(link.path());
                if (!text.empty() && text.substr(text.find(':') + 1) != name)
                    violation(link.path(), "blob link names another digest: " + text);
            }
        });
    }

    void check_tags(const fs::path &tags, const fs::path &manifests) {
        for (const auto &entry : entries(tags)) {
            if (!is_tag_name(entry.path().filename().string()) || kind_of(entry) != Kind::kDir) {
                unexpected(entry);
                continue;
            }
            for (const auto &current : entries(entry.path())) {
                if (current.path().filename().string() != "current" || kind_of(current) != Kind::kDir) {
                    unexpected(current);
                    continue;
                }
                check_link_dir(current.path(), [&](const fs::path &link) {
                    out_.tags++;
                    std::string text = read_link(link);
                    if (text.empty()) return;
                    std::error_code ec;
                    if (fs::is_regular_file(manifests / text.substr(7), ec)) return;
                    std::string what = "tag names " + text + " whose manifest body is absent";
                    if (options_.dangling_tag_is_violation)
                        violation(link, what);
                    else
                        out_.dangling_tags.push_back(relative(link) + ": " + what);
                });
            }
        }
    }

    fs::path root_;
    const StoreCheckOptions &options_;
    StoreCheck &out_;
};

}  // namespace

StoreCheck check_store(const std::string &root, const StoreCheckOptions &options) {
    StoreCheck result;
    fs::path path = fs::path(root).lexically_normal();
    if (!path.has_filename()) path = path.parent_path();
    Checker(path, options, result).run();
    return result;
}

std::vector<std::string> store_invariant_violations(const std::string &root) {
    return check_store(root).violations;
}

std::string join_lines(const std::vector<std::string> &lines) {
    std::string text;
    for (const auto &line : lines) text += line + "\n";
    return text;
}

}  // namespace testing_support
