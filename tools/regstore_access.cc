// regstore access: the access policy from the shell, through the same
// module and the same decisions as the registry's programs.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "access/access.h"
#include "tools/regstore_cli.h"

namespace regstore {

namespace {

// The policy file: the one given, else the one the registry would read.
std::string policy_path(const std::string &given) {
    if (!given.empty()) return given;
    const char *env = getenv("REGISTRY_ACCESS_POLICY");
    return env != nullptr ? env : "";
}

}  // namespace

int cmd_access_check(const Invocation &inv) {
    std::string path = policy_path(inv.value_or("policy", ""));
    if (path.empty()) return fail("no policy: give --policy FILE or set REGISTRY_ACCESS_POLICY");
    const std::string &who = inv.args[0];
    access_action action;
    if (!access_action_parse(inv.args[1].c_str(), &action))
        return fail("unknown action '%s' (pull, push or delete)", inv.args[1].c_str());
    const std::string &repository = inv.args[2];
    // "anonymous" is a request without a user, as the registry sees it.
    const char *user = who == "anonymous" ? "" : who.c_str();
    access_policy *policy = access_policy_load(path.c_str());
    if (policy == nullptr) return fail("out of memory");
    if (access_policy_broken(policy)) {
        printf("denied: the policy %s is broken and grants nothing:\n%s\n", path.c_str(),
               access_policy_error(policy));
        access_policy_free(policy);
        return kExitFailed;
    }
    access_grant why;
    int allowed = access_may(policy, user, action, repository.c_str(), &why);
    if (allowed) {
        printf("allowed: %s may %s %s (rules[%d], line %d of %s)\n", who.c_str(),
               access_action_name(action), repository.c_str(), why.rule, why.line, path.c_str());
    } else {
        printf("denied: %s may not %s %s (no rule of %s grants it)\n", who.c_str(),
               access_action_name(action), repository.c_str(), path.c_str());
    }
    access_policy_free(policy);
    return allowed ? kExitOk : kExitFailed;
}

int cmd_access_lint(const Invocation &inv) {
    std::string path = policy_path(inv.args.empty() ? "" : inv.args[0]);
    if (path.empty()) return fail("no policy: give FILE or set REGISTRY_ACCESS_POLICY");
    access_policy *policy = access_policy_load(path.c_str());
    if (policy == nullptr) return fail("out of memory");
    int rc = kExitOk;
    if (access_policy_broken(policy)) {
        // One problem a line, each prefixed with the file as compilers do.
        std::string message = access_policy_error(policy);
        size_t start = 0;
        while (start <= message.size()) {
            size_t end = message.find('\n', start);
            if (end == std::string::npos) end = message.size();
            printf("%s: %s\n", path.c_str(), message.substr(start, end - start).c_str());
            start = end + 1;
        }
        rc = kExitFailed;
    } else {
        printf("%s: sound, %d rules, realm \"%s\"\n", path.c_str(),
               access_policy_rule_count(policy), access_policy_realm(policy));
    }
    access_policy_free(policy);
    return rc;
}

int cmd_access_compile(const Invocation &inv) {
    std::string path = policy_path(inv.args.empty() ? "" : inv.args[0]);
    if (path.empty()) return fail("no policy: give FILE or set REGISTRY_ACCESS_POLICY");
    char message[ACCESS_MESSAGE_MAX * 4];
    if (access_policy_compile(path.c_str(), message, sizeof message) != 0) {
        std::string text = message;
        size_t start = 0;
        while (start <= text.size()) {
            size_t end = text.find('\n', start);
            if (end == std::string::npos) end = text.size();
            fprintf(stderr, "%s: %s\n", path.c_str(), text.substr(start, end - start).c_str());
            start = end + 1;
        }
        return kExitFailed;
    }
    printf("%s\n", message);
    return kExitOk;
}

}  // namespace regstore
