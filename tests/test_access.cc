// The access policy: patterns, "who" forms and groups, grants adding up,
// broken policies (and where their problems are told), the policy that
// follows its file, and a file that cannot be read.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "access/access.h"
#include "platform/platform.h"
#include "platform/platform_fault.h"
#include "tests/support/process.h"

using testing_support::ScratchDir;
using testing_support::write_whole_file;

namespace {

// The policy of the issue that asked for policies, one rule a line.
const char kPolicy[] =
    "{\n"
    "  \"realm\": \"registry\",\n"
    "  \"groups\": {\"devs\": [\"alice\", \"bob\"]},\n"
    "  \"rules\": [\n"
    "    {\"who\": [\"anonymous\"], \"repositories\": [\"public/**\"], \"actions\": [\"pull\"]},\n"
    "    {\"who\": [\"user:alice\"], \"repositories\": [\"alice/**\"], \"actions\": [\"pull\", "
    "\"push\", \"delete\"]},\n"
    "    {\"who\": [\"group:devs\"], \"repositories\": [\"team/**\"], \"actions\": [\"pull\", "
    "\"push\"]},\n"
    "    {\"who\": [\"authenticated\"], \"repositories\": [\"shared/*\"], \"actions\": "
    "[\"pull\"]},\n"
    "    {\"who\": [\"user:admin\"], \"repositories\": [\"**\"], \"actions\": [\"pull\", "
    "\"push\", \"delete\"]}\n"
    "  ]\n"
    "}\n";

struct Policy {
    explicit Policy(const std::string &text) : p(access_policy_parse(text.data(), text.size())) {}
    ~Policy() { access_policy_free(p); }
    Policy(const Policy &) = delete;
    Policy &operator=(const Policy &) = delete;
    access_policy *p;
};

struct PatternCase {
    const char *pattern;
    const char *name;
    bool match;
};

TEST(AccessPattern, StarsAndLiteralsMatchTheWholeName) {
    const PatternCase cases[] = {
        {"app", "app", true},
        {"app", "apps", false},
        {"app", "ap", false},
        {"app", "x/app", false},
        {"*", "app", true},
        {"*", "a/b", false},
        {"*", "", true},
        {"**", "a/b/c", true},
        {"**", "", true},
        {"public/**", "public/a", true},
        {"public/**", "public/a/b", true},
        {"public/**", "public/", true},
        {"public/**", "public", false},
        {"public/**", "publicity/a", false},
        {"shared/*", "shared/x", true},
        {"shared/*", "shared/x/y", false},
        {"shared/*", "shared", false},
        {"*/app", "team/app", true},
        {"*/app", "a/team/app", false},
        {"**/app", "a/team/app", true},
        {"**/app", "app", false},
        {"team-*-ci", "team-red-ci", true},
        {"team-*-ci", "team-red/x-ci", false},
        {"team-**-ci", "team-red/x-ci", true},
        {"a*b*c", "aXbYc", true},
        {"a*b*c", "abc", true},
        {"a*b*c", "acb", false},
        {"*a*a*a*a*a*b", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", false},
        {"***", "a/b", true},
        {"x.y", "xzy", false},
    };
    for (const PatternCase &c : cases) {
        EXPECT_EQ(access_pattern_match(c.pattern, c.name), c.match ? 1 : 0)
            << c.pattern << " against " << c.name;
    }
    // A long name is matched as well as a short one.
    std::string long_name(3000, 'a');
    EXPECT_EQ(access_pattern_match("a**a", long_name.c_str()), 1);
    EXPECT_EQ(access_pattern_match("a*b", long_name.c_str()), 0);
}

struct DecisionCase {
    const char *user;  // "" for a request without one
    access_action action;
    const char *repository;
    bool allowed;
    int rule;  // the granting rule, -1 when denied
};

TEST(AccessDecision, TheIssuesPolicyAnswersAsWritten) {
    Policy policy(kPolicy);
    ASSERT_FALSE(access_policy_broken(policy.p)) << access_policy_error(policy.p);
    EXPECT_EQ(access_policy_rule_count(policy.p), 5);
    const DecisionCase cases[] = {
        // Anonymous: pulls public repositories and nothing else.
        {"", ACCESS_PULL, "public/app", true, 0},
        {"", ACCESS_PUSH, "public/app", false, -1},
        {"", ACCESS_PULL, "shared/app", false, -1},
        {"", ACCESS_PULL, "team/app", false, -1},
        // What anonymous is granted, every user is granted too.
        {"carol", ACCESS_PULL, "public/a/b", true, 0},
        {"carol", ACCESS_DELETE, "public/a", false, -1},
        // authenticated: any user, one component below shared/.
        {"carol", ACCESS_PULL, "shared/app", true, 3},
        {"carol", ACCESS_PULL, "shared/app/x", false, -1},
        {"carol", ACCESS_PUSH, "shared/app", false, -1},
        // A user's own rule and the group's add up.
        {"alice", ACCESS_DELETE, "alice/app", true, 1},
        {"alice", ACCESS_PUSH, "team/app", true, 2},
        {"alice", ACCESS_DELETE, "team/app", false, -1},
        {"bob", ACCESS_PUSH, "team/x/y", true, 2},
        {"bob", ACCESS_PULL, "alice/app", false, -1},
        {"carol", ACCESS_PULL, "team/app", false, -1},
        // A name is compared whole: no prefix, case or group-name tricks.
        {"alic", ACCESS_PULL, "alice/app", false, -1},
        {"Alice", ACCESS_PULL, "alice/app", false, -1},
        {"devs", ACCESS_PULL, "team/app", false, -1},
        {"group:devs", ACCESS_PULL, "team/app", false, -1},
        // The admin may do everything, also where no other rule reaches.
        {"admin", ACCESS_DELETE, "anything/at/all", true, 4},
        {"admin", ACCESS_PULL, "public/app", true, 0},
    };
    for (const DecisionCase &c : cases) {
        access_grant why;
        SCOPED_TRACE(std::string(c.user) + " " + access_action_name(c.action) + " " + c.repository);
        EXPECT_EQ(access_may(policy.p, c.user, c.action, c.repository, &why), c.allowed ? 1 : 0);
        EXPECT_EQ(why.rule, c.rule);
        // Each rule stands on its own line: rule i on line 5 + i.
        EXPECT_EQ(why.line, c.rule < 0 ? 0 : 5 + c.rule);
    }
    // A NULL user is a request without one.
    EXPECT_EQ(access_may(policy.p, nullptr, ACCESS_PULL, "public/app", nullptr), 1);
    EXPECT_EQ(access_may(policy.p, nullptr, ACCESS_PULL, "shared/app", nullptr), 0);
    // Only one action at a time, never a mask or an unknown one.
    EXPECT_EQ(access_may(policy.p, "admin", static_cast<access_action>(ACCESS_PULL | ACCESS_PUSH),
                         "x", nullptr),
              0);
    EXPECT_EQ(access_may(policy.p, "admin", static_cast<access_action>(0), "x", nullptr), 0);
    EXPECT_EQ(access_may(policy.p, "admin", ACCESS_PULL, nullptr, nullptr), 0);
    EXPECT_STREQ(access_policy_realm(policy.p), "registry");
    EXPECT_EQ(access_anonymous_has_grant(policy.p), 1);
}

TEST(AccessDecision, AnonymousGrantsAndRealm) {
    struct Case {
        const char *text;
        bool anonymous_grant;
        const char *realm;
    } cases[] = {
        {R"({"rules":[]})", false, "registry"},
        {R"({"realm":"Tarnwick hub","rules":[{"who":["authenticated"],"repositories":["**"],"actions":["pull"]}]})",
         false, "Tarnwick hub"},
        {R"({"rules":[{"who":["user:a","anonymous"],"repositories":["x"],"actions":["delete"]}]})",
         true, "registry"},
    };
    for (const Case &c : cases) {
        Policy policy(c.text);
        ASSERT_FALSE(access_policy_broken(policy.p)) << c.text << access_policy_error(policy.p);
        EXPECT_EQ(access_anonymous_has_grant(policy.p), c.anonymous_grant ? 1 : 0) << c.text;
        EXPECT_STREQ(access_policy_realm(policy.p), c.realm);
        EXPECT_STREQ(access_policy_error(policy.p), "");
    }
}

struct BrokenCase {
    const char *text;
    const char *where;  // a part of the message: the problem's place
};

TEST(AccessPolicyBroken, EveryProblemDeniesEverythingAndSaysWhere) {
    const BrokenCase cases[] = {
        {"", "the policy is empty"},
        {"{", "line 1, column 2: not JSON"},
        {"{\n  \"rules\": [\n    {\"who\": [\"anonymous\"],, }\n  ]\n}", "line 3, column 27: not JSON"},
        // An escape before the failure does not shift its line.
        {"{\"realm\": \"a\\nb\\nc\",\n\"rules\": [}", "line 2, column 11: not JSON"},
        {"[]", "the policy must be a JSON object"},
        {"{}", "missing member rules"},
        {R"({"rules":{}})", "line 1, column 2 (rules): must be a list of rules"},
        {R"({"rules":[], "rule":[]})", "line 1, column 14 (rule): unknown member"},
        {R"({"rules":[], "rules":[]})", "line 1, column 14 (rules): member given twice"},
        {R"({"realm":"a\"b","rules":[]})", "(realm): must be a string"},
        {R"({"realm":7,"rules":[]})", "line 1, column 2 (realm): must be a string"},
        {R"({"groups":[],"rules":[]})", "groups: must be an object"},
        {R"({"groups":{"g":"alice"},"rules":[]})", "line 1, column 12 (groups.g): must be a list"},
        {R"({"groups":{"g":["alice",1]},"rules":[]})", "groups.g[1]: a user name"},
        {R"({"groups":{"g":["a\u0000b"]},"rules":[]})", "(groups.g[0]): a user name"},
        {"{\"rules\":[\n{\"who\":[\"group:ops\"],\"repositories\":[\"x\"],\"actions\":[\"pull\"]}]}",
         "line 2, column 9 (rules[0].who[0]): unknown group 'ops'"},
        {R"({"rules":[{"who":["root"],"repositories":["x"],"actions":["pull"]}]})",
         "(rules[0].who[0]): must be anonymous, authenticated"},
        {R"({"rules":[{"who":["user:"],"repositories":["x"],"actions":["pull"]}]})",
         "(rules[0].who[0]): must be anonymous"},
        {R"({"rules":[{"who":[],"repositories":["x"],"actions":["pull"]}]})",
         "(rules[0].who): must be a non-empty list"},
        {R"({"rules":[{"who":"anonymous","repositories":["x"],"actions":["pull"]}]})",
         "(rules[0].who): must be a non-empty list"},
        {R"({"rules":[{"who":["anonymous"],"repositories":["a b"],"actions":["pull"]}]})",
         "(rules[0].repositories[0]): must be a pattern"},
        {R"({"rules":[{"who":["anonymous"],"repositories":[""],"actions":["pull"]}]})",
         "(rules[0].repositories[0]): must be a pattern"},
        {R"({"rules":[{"who":["anonymous"],"repositories":["x"],"actions":["read"]}]})",
         "(rules[0].actions[0]): must be pull, push or delete"},
        {R"({"rules":[{"who":["anonymous"],"repositories":["x"],"actions":[true]}]})",
         "rules[0].actions[0]: must be pull, push or delete"},
        {R"({"rules":[{"who":["anonymous"],"repositories":["x"]}]})",
         "rules[0]: missing member actions"},
        {R"({"rules":[{"who":["anonymous"],"repositories":["x"],"actions":["pull"],"note":1}]})",
         "(rules[0].note): unknown member"},
        {R"({"rules":[[]]})", "rules[0]: must be an object"},
    };
    for (const BrokenCase &c : cases) {
        SCOPED_TRACE(c.text);
        Policy policy(c.text);
        ASSERT_NE(policy.p, nullptr);
        EXPECT_EQ(access_policy_broken(policy.p), 1);
        EXPECT_NE(std::string(access_policy_error(policy.p)).find(c.where), std::string::npos)
            << access_policy_error(policy.p);
        // Whatever else it holds, a broken policy grants nothing.
        EXPECT_EQ(access_may(policy.p, "admin", ACCESS_PULL, "x", nullptr), 0);
        EXPECT_EQ(access_may(policy.p, "", ACCESS_PULL, "x", nullptr), 0);
        EXPECT_EQ(access_anonymous_has_grant(policy.p), 0);
        EXPECT_EQ(access_policy_rule_count(policy.p), 0);
        EXPECT_STREQ(access_policy_realm(policy.p), "registry");
    }
}

TEST(AccessPolicyBroken, OneBadRuleTakesTheGoodOnesWithIt) {
    // The good rule would grant; the unknown group next to it breaks all.
    Policy policy(
        R"({"rules":[{"who":["anonymous"],"repositories":["**"],"actions":["pull"]},)"
        R"({"who":["group:nobody"],"repositories":["x"],"actions":["pull"]}]})");
    EXPECT_EQ(access_policy_broken(policy.p), 1);
    EXPECT_EQ(access_may(policy.p, "", ACCESS_PULL, "anything", nullptr), 0);
    // Many problems are listed up to a limit, with the count of the rest.
    std::string many = R"({"rules":[)";
    for (int i = 0; i < 20; i++) many += std::string(i ? "," : "") + R"({"who":["x"],"repositories":["y"],"actions":["pull"]})";
    many += "]}";
    Policy crowded(many);
    std::string message = access_policy_error(crowded.p);
    EXPECT_NE(message.find("rules[15].who[0]"), std::string::npos);
    EXPECT_EQ(message.find("rules[16].who[0]"), std::string::npos);
    EXPECT_NE(message.find("(4 more problems)"), std::string::npos) << message;
}

TEST(AccessActions, NamesAndParsing) {
    struct Case {
        const char *text;
        int ok;
        access_action action;
    } cases[] = {{"pull", 1, ACCESS_PULL}, {"push", 1, ACCESS_PUSH}, {"delete", 1, ACCESS_DELETE},
                 {"Pull", 0, ACCESS_PULL}, {"", 0, ACCESS_PULL},      {"pulls", 0, ACCESS_PULL}};
    for (const Case &c : cases) {
        access_action a = ACCESS_PULL;
        EXPECT_EQ(access_action_parse(c.text, &a), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(a, c.action);
            EXPECT_STREQ(access_action_name(a), c.text);
        }
    }
}

TEST(AccessPolicyFile, FollowsItsFileAndFailsClosed) {
    ScratchDir dir;
    const std::string path = dir / "policy.json";
    // No file: nothing granted, and the message names the file.
    const access_policy *p = access_policy_current(path.c_str());
    EXPECT_EQ(access_policy_broken(p), 1);
    EXPECT_NE(std::string(access_policy_error(p)).find(path), std::string::npos);

    write_whole_file(path, R"({"rules":[{"who":["anonymous"],"repositories":["a"],"actions":["pull"]}]})");
    p = access_policy_current(path.c_str());
    ASSERT_EQ(access_policy_broken(p), 0) << access_policy_error(p);
    EXPECT_EQ(access_may(p, "", ACCESS_PULL, "a", nullptr), 1);
    // Unchanged: the same policy, not read again.
    EXPECT_EQ(access_policy_current(path.c_str()), p);

    // Changed (another size): read again.
    write_whole_file(path, R"({"rules":[{"who":["anonymous"],"repositories":["bb"],"actions":["pull"]}]})");
    p = access_policy_current(path.c_str());
    EXPECT_EQ(access_may(p, "", ACCESS_PULL, "a", nullptr), 0);
    EXPECT_EQ(access_may(p, "", ACCESS_PULL, "bb", nullptr), 1);

    // Broken by an edit: nothing granted any more.
    write_whole_file(path, R"({"rules":[{"who":["anonymous"],"repositories":["bb"],"actions":["pull"]}])");
    p = access_policy_current(path.c_str());
    EXPECT_EQ(access_policy_broken(p), 1);
    EXPECT_EQ(access_may(p, "", ACCESS_PULL, "bb", nullptr), 0);

    // A directory in its place, an empty path: broken.
    ScratchDir other;
    EXPECT_EQ(access_policy_broken(access_policy_current(other.path().c_str())), 1);
    EXPECT_EQ(access_policy_broken(access_policy_current("")), 1);
    EXPECT_EQ(access_policy_broken(access_policy_current(nullptr)), 1);

    // load reads the same way.
    write_whole_file(path, kPolicy);
    access_policy *loaded = access_policy_load(path.c_str());
    EXPECT_EQ(access_policy_broken(loaded), 0) << access_policy_error(loaded);
    access_policy_free(loaded);
    loaded = access_policy_load((dir / "absent").c_str());
    EXPECT_EQ(access_policy_broken(loaded), 1);
    access_policy_free(loaded);
}

TEST(AccessPolicyFile, AFileThatFailsToReadGrantsNothing) {
    ScratchDir dir;
    const std::string path = dir / "policy.json";
    write_whole_file(path, kPolicy);
    Policy text(kPolicy);
    // Without and with a compiled form beside the policy: each platform
    // call of a load failing in turn gives a policy that grants nothing, or
    // (where the failure only made the load take another way: no compiled
    // form, the text instead) one that decides exactly as the text.
    for (bool compiled : {false, true}) {
        SCOPED_TRACE(compiled ? "with the compiled form" : "text only");
        if (compiled) {
            ASSERT_EQ(access_policy_compile(path.c_str(), nullptr, 0), 0);
        }
        plat_fault_arm(0, 0);
        access_policy_free(access_policy_load(path.c_str()));
        uint64_t calls = plat_fault_calls();
        plat_fault_reset();
        ASSERT_GT(calls, 1u);
        int refused_all = 0;
        for (uint64_t k = 1; k <= calls; k++) {
            SCOPED_TRACE("failing call " + std::to_string(k));
            plat_fault_arm(k, 0);
            access_policy *p = access_policy_load(path.c_str());
            plat_fault_reset();
            ASSERT_NE(p, nullptr);
            if (access_policy_broken(p)) {
                refused_all++;
                EXPECT_EQ(access_may(p, "admin", ACCESS_PULL, "x", nullptr), 0);
                EXPECT_EQ(access_may(p, "", ACCESS_PULL, "public/x", nullptr), 0);
            } else {
                for (const char *user : {"", "alice", "bob", "carol", "admin"})
                    for (const char *repo : {"public/a", "alice/a", "team/a", "shared/a", "x"})
                        for (access_action action : {ACCESS_PULL, ACCESS_PUSH, ACCESS_DELETE})
                            EXPECT_EQ(access_may(p, user, action, repo, nullptr),
                                      access_may(text.p, user, action, repo, nullptr))
                                << user << " " << repo;
            }
            access_policy_free(p);
        }
        // Without the compiled form, a failed read of the text leaves
        // nothing to decide by.
        if (!compiled) {
            EXPECT_GT(refused_all, 0);
        }
    }
    std::filesystem::remove(path + ".compiled");
    // The same through the policy of a long-lived responder: a failure
    // while it reads the changed file refuses, and the next request reads
    // the file again.
    const access_policy *current = access_policy_current(path.c_str());
    ASSERT_EQ(access_policy_broken(current), 0);
    write_whole_file(path, std::string(kPolicy) + " ");
    plat_fault_arm(2, 1);  // the attribute query passes, everything after it fails
    current = access_policy_current(path.c_str());
    plat_fault_reset();
    EXPECT_EQ(access_policy_broken(current), 1);
    EXPECT_EQ(access_may(current, "admin", ACCESS_PULL, "x", nullptr), 0);
    current = access_policy_current(path.c_str());
    EXPECT_EQ(access_policy_broken(current), 0) << access_policy_error(current);
    // A file that can be neither queried nor opened refuses too.
    plat_fault_arm(1, 1);
    current = access_policy_current(path.c_str());
    plat_fault_reset();
    EXPECT_EQ(access_policy_broken(current), 1);
}

TEST(AccessPolicyCompiled, DecidesAsTheTextAndStepsAsideWhenItIsNotThePolicysOwn) {
    ScratchDir dir;
    const std::string path = dir / "policy.json";
    const std::string compiled = path + ".compiled";
    write_whole_file(path, kPolicy);
    char message[4096];
    ASSERT_EQ(access_policy_compile(path.c_str(), message, sizeof message), 0) << message;
    EXPECT_EQ(std::string(message), compiled);
    ASSERT_TRUE(testing_support::path_exists(compiled));

    // Every decision of the text, through the compiled form: the same
    // answer, rule and line.
    Policy text(kPolicy);
    const char *users[] = {"", "alice", "bob", "carol", "admin", "Alice"};
    const char *repos[] = {"public/app", "alice/app", "team/x/y", "shared/a", "shared/a/b", "other"};
    const access_action actions[] = {ACCESS_PULL, ACCESS_PUSH, ACCESS_DELETE};
    auto same_as_text = [&](const access_policy *p) {
        ASSERT_EQ(access_policy_broken(p), 0) << access_policy_error(p);
        EXPECT_EQ(access_policy_rule_count(p), 5);
        EXPECT_STREQ(access_policy_realm(p), "registry");
        EXPECT_EQ(access_anonymous_has_grant(p), 1);
        for (const char *user : users)
            for (const char *repo : repos)
                for (access_action action : actions) {
                    access_grant a, b;
                    EXPECT_EQ(access_may(p, user, action, repo, &a),
                              access_may(text.p, user, action, repo, &b))
                        << user << " " << repo;
                    EXPECT_EQ(a.rule, b.rule);
                    EXPECT_EQ(a.line, b.line);
                }
    };
    access_policy *loaded = access_policy_load(path.c_str());
    same_as_text(loaded);
    access_policy_free(loaded);
    // The compiled form is what is read: a policy file of the same size and
    // time but other rules would not be seen. Shown by breaking its text
    // while keeping both.
    plat_attr before;
    ASSERT_EQ(plat_stat(path.c_str(), &before), 0);
    same_as_text(access_policy_current(path.c_str()));

    // An edit (another size, another time) leaves the compiled form aside:
    // the new text decides.
    write_whole_file(path, R"({"rules":[{"who":["anonymous"],"repositories":["**"],"actions":["pull"]}]})");
    const access_policy *p = access_policy_current(path.c_str());
    EXPECT_EQ(access_may(p, "", ACCESS_PULL, "alice/app", nullptr), 1);
    loaded = access_policy_load(path.c_str());
    EXPECT_EQ(access_may(loaded, "", ACCESS_PULL, "alice/app", nullptr), 1);
    access_policy_free(loaded);

    // A damaged compiled form is not used either: the text decides.
    write_whole_file(path, kPolicy);
    ASSERT_EQ(access_policy_compile(path.c_str(), message, sizeof message), 0) << message;
    const std::string good = testing_support::read_whole_file(compiled);
    struct Damage {
        const char *what;
        std::string bytes;
    } damages[] = {
        {"cut short", good.substr(0, good.size() - 1)},
        {"header only", good.substr(0, 64)},
        {"empty", ""},
        {"a rule's range past the end", [&] {
             std::string b = good;
             // The last rule's pattern_end (fourth field of the last 24-byte
             // rule record, which ends where the strings begin).
             uint32_t strings_size;
             memcpy(&strings_size, b.data() + 8 + 8 + 8 + 5 * 4, 4);
             size_t rule_end = b.size() - strings_size;
             uint32_t huge = 1000000;
             memcpy(&b[rule_end - 24 + 12], &huge, 4);
             return b;
         }()},
        {"another magic", "X" + good.substr(1)},
    };
    for (const Damage &d : damages) {
        SCOPED_TRACE(d.what);
        write_whole_file(compiled, d.bytes);
        loaded = access_policy_load(path.c_str());
        same_as_text(loaded);
        access_policy_free(loaded);
    }

    // A broken policy is not compiled, and says why.
    write_whole_file(path, R"({"rules":[{"who":["group:none"],"repositories":["x"],"actions":["pull"]}]})");
    std::filesystem::remove(compiled);
    EXPECT_EQ(access_policy_compile(path.c_str(), message, sizeof message), -1);
    EXPECT_NE(std::string(message).find("unknown group 'none'"), std::string::npos) << message;
    EXPECT_FALSE(testing_support::path_exists(compiled));
}

}  // namespace
