// check_store ROOT: prints every broken invariant of the storage root (one
// a line) and exits 1 when there is any, 0 when all hold. Tag links whose
// manifest a racing put and delete removed are listed apart ("dangling"),
// since the storage takes no locks; they do not fail the check.
#include <cstdio>

#include "tests/support/invariants.h"

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: check_store ROOT\n");
        return 2;
    }
    testing_support::StoreCheckOptions options;
    options.dangling_tag_is_violation = false;
    testing_support::StoreCheck check = testing_support::check_store(argv[1], options);
    for (const auto &v : check.violations) printf("violation: %s\n", v.c_str());
    for (const auto &d : check.dangling_tags) printf("dangling: %s\n", d.c_str());
    printf("blobs %d, uploads %d, manifests %d, tags %d, temporaries %zu\n", check.blobs,
           check.uploads, check.manifests, check.tags, check.temporaries.size());
    return check.violations.empty() ? 0 : 1;
}
