// The storage's invariants on disk, checked from outside the storage code:
// what a registry must hold true of its root whatever clients sent and
// whatever happened to the machine.
#ifndef TESTS_SUPPORT_INVARIANTS_H
#define TESTS_SUPPORT_INVARIANTS_H

#include <string>
#include <vector>

namespace testing_support {

struct StoreCheckOptions {
    // A tag link whose manifest body is absent counts as a violation. A put
    // and a delete of one manifest racing each other (the storage takes no
    // locks) can leave one; tests of such races clear this and read
    // StoreCheck::dangling_tags instead.
    bool dangling_tag_is_violation = true;
    // The directory that holds the root must hold nothing else, so that a
    // write that escaped the root shows up.
    bool root_alone_in_parent = false;
};

struct StoreCheck {
    // One line per broken rule, "<path>: <what is wrong>"; empty when every
    // invariant holds.
    std::vector<std::string> violations;
    // Tag links whose manifest body is absent, when not counted as
    // violations.
    std::vector<std::string> dangling_tags;
    // Temporary files of atomic replacement ("<target>.tmp-<pid>-<n>") left
    // behind, for instance by a process that was killed, and blobs or
    // uploads that garbage collection moved aside ("<name>.sweep-<pid>")
    // and was stopped before it removed or put back. Not a violation.
    std::vector<std::string> temporaries;
    // Files (and directories) under quarantine/, where the integrity check
    // moves what is corrupt.
    int quarantined = 0;
    int quarantined_dirs = 0;
    // What the root holds.
    int blobs = 0;
    int uploads = 0;
    int manifests = 0;
    int tags = 0;
    int revisions = 0;
};

// Walks the storage root and checks:
// - every file at a blob path blobs/sha256/<xx>/<hex> holds bytes whose
//   SHA-256 is <hex>, and <xx> is the first two digits of <hex>;
// - every manifest body _manifests/<hex> holds bytes whose SHA-256 is <hex>;
// - every revision link and tag link is exactly a digest string (71 bytes),
//   and a revision link names the digest of its own directory;
// - a tag link's manifest body exists (see StoreCheckOptions);
// - nothing lies outside the layout the storage writes: config.json,
//   blobs/sha256/<xx>/<hex>, uploads/<id>.part, quarantine/ (files and
//   directories of any name), and under
//   repositories/<name...>/_manifests the files <hex>, <hex>.ct,
//   revisions/sha256/<hex>/link, tags/<tag>/current/link and
//   referrers/sha256/<subject hex>/<hex> (a link to its own name), plus the
//   temporaries of those files and blobs or uploads moved aside by garbage
//   collection; no symbolic links, no other kinds of entry.
// A root that does not exist holds nothing and breaks no rule; one that is
// not a directory is a violation.
StoreCheck check_store(const std::string &root, const StoreCheckOptions &options = {});

// The violations alone, with every default option.
std::vector<std::string> store_invariant_violations(const std::string &root);

// The list as one text, one entry a line, for test failure messages.
std::string join_lines(const std::vector<std::string> &lines);

}  // namespace testing_support

#endif
