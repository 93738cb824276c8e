// The access policy parser: any bytes give a policy, sound or broken, never
// a crash. A broken one has a message and grants nothing; a sound one has
// none, a realm fit for a header, and decisions in which what anonymous is
// granted every user is granted too and a grant names a rule and its line.
// Input that holds a NUL is also read as a pattern and a name, and the
// matcher is compared with a plain recursive one.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "access/access.h"

namespace {

// '*' any run without '/', '**' (or more stars) any run, the rest itself.
bool reference_match(const char *p, const char *s) {
    if (*p == '\0') return *s == '\0';
    if (*p == '*') {
        size_t stars = 0;
        while (p[stars] == '*') stars++;
        const char *rest = p + stars;
        for (const char *t = s;; t++) {
            if (reference_match(rest, t)) return true;
            if (*t == '\0' || (stars == 1 && *t == '/')) return false;
        }
    }
    return *p == *s && reference_match(p + 1, s + 1);
}

const char *const kRepositories[] = {"public/app", "alice/app", "team/x/y", "shared/a", "a", "x-1.2_3"};
const char *const kUsers[] = {"alice", "bob", "admin", "user:alice", "group:devs", "x"};
const access_action kActions[] = {ACCESS_PULL, ACCESS_PUSH, ACCESS_DELETE};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const char *text = reinterpret_cast<const char *>(data);
    access_policy *policy = access_policy_parse(text, size);
    if (policy == nullptr) abort();
    const char *error = access_policy_error(policy);
    if (access_policy_broken(policy)) {
        if (error[0] == '\0') abort();
    } else if (error[0] != '\0') {
        abort();
    }
    for (const char *c = access_policy_realm(policy); *c; c++) {
        unsigned char b = static_cast<unsigned char>(*c);
        if (b < 0x20 || b > 0x7e || b == '"' || b == '\\') abort();
    }
    for (const char *repo : kRepositories) {
        for (access_action action : kActions) {
            access_grant why;
            int anonymous = access_may(policy, "", action, repo, &why);
            if (anonymous && (why.rule < 0 || why.rule >= access_policy_rule_count(policy) || why.line < 1))
                abort();
            if (anonymous && !access_anonymous_has_grant(policy)) abort();
            for (const char *user : kUsers) {
                int allowed = access_may(policy, user, action, repo, &why);
                if (access_policy_broken(policy) && allowed) abort();
                if (anonymous && !allowed) abort();
                if (!allowed && why.rule != -1) abort();
            }
        }
    }
    access_policy_free(policy);

    // A pattern and a name, split at the first NUL, both short enough for
    // the plain matcher.
    const void *nul = memchr(data, 0, size);
    if (nul != nullptr && size <= 64) {
        std::string pattern(text, static_cast<const char *>(nul));
        std::string name(static_cast<const char *>(nul) + 1, text + size);
        name = name.c_str();  // up to a second NUL
        if (access_pattern_match(pattern.c_str(), name.c_str()) !=
            (reference_match(pattern.c_str(), name.c_str()) ? 1 : 0))
            abort();
    }
    return 0;
}
