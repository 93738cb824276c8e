/*
 * access.h - who may do what: the access policy of a registry.
 *
 * A policy is a JSON file (its path in REGISTRY_ACCESS_POLICY, which the
 * edge reads) of this form:
 *
 *   {
 *     "realm": "registry",
 *     "groups": {"devs": ["alice", "bob"]},
 *     "rules": [
 *       {"who": ["anonymous"], "repositories": ["library"], "actions": ["pull"]},
 *       {"who": ["group:devs"], "repositories": ["team-**"], "actions": ["pull", "push"]}
 *     ]
 *   }
 *
 * (docs/operations.md shows a fuller one, with patterns such as "team/" and
 * two stars, which a C comment cannot hold.)
 *
 * "who" entries: "anonymous" (a request without a user; what it is granted
 * every user is granted too), "authenticated" (any user), "user:<name>",
 * "group:<name>" (a group of "groups"). "repositories" entries are patterns
 * matched against the whole repository name: '*' any run of characters
 * without '/', '**' any run of characters, everything else literal.
 * "actions": "pull", "push", "delete". Grants add up; nothing is allowed
 * that no rule grants. "realm" (optional, default "registry") is the realm
 * of the challenge a client without credentials gets; "groups" is optional.
 *
 * A policy that does not parse, has a member of the wrong type, an unknown
 * member, an unknown "who" form or action, or names a group that "groups"
 * does not define is broken: it grants nothing to anyone, and its message
 * says what is wrong and where (line, column and the member's path).
 *
 * This module decides only: it knows nothing of CGI or HTTP and writes
 * nothing. The user is the name the web server authenticated; NULL or ""
 * stands for a request without one.
 */
#ifndef ACCESS_ACCESS_H
#define ACCESS_ACCESS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The largest policy file read; a larger one is broken. */
#define ACCESS_POLICY_MAX (16u * 1024u * 1024u)

/* The room a policy's message takes (messages are cut to fit). */
#define ACCESS_MESSAGE_MAX 1024

/* The actions a rule grants, as bits so that a rule holds several. */
typedef enum access_action {
    ACCESS_PULL = 1,   /* HEAD and GET of manifests, blobs, tags, referrers; catalog entry */
    ACCESS_PUSH = 2,   /* uploads, mounts into, manifest put, tag moves */
    ACCESS_DELETE = 4  /* DELETE of manifests, tags, blobs */
} access_action;

/* A loaded policy (opaque). */
typedef struct access_policy access_policy;

/* Which rule granted a decision. */
typedef struct access_grant {
    int rule;  /* index of the granting rule in "rules" from 0, -1 when none did */
    int line;  /* line of that rule in the policy text from 1, 0 when none */
} access_grant;

/* Parses a policy from length bytes of text (which need not end in a NUL).
 * Never NULL (except when memory runs out): a broken text gives a policy
 * that grants nothing, with access_policy_error telling why. The text is
 * copied; the caller keeps it. Free with access_policy_free. */
access_policy *access_policy_parse(const char *text, size_t length);

/* Reads and parses the policy file at path as access_policy_parse does.
 * A file that cannot be opened or read, is not a regular file or is larger
 * than ACCESS_POLICY_MAX gives a broken policy saying so. */
access_policy *access_policy_load(const char *path);

/* Writes the compiled form of the sound policy file at path beside it, as
 * "<path>.compiled" (a new file renamed into place): the rules as the
 * decisions read them, with the policy file's size and modification time.
 * access_policy_load and access_policy_current use it instead of parsing
 * the policy, in a few pages of memory, while the policy file still has
 * that size and time; otherwise (edited, replaced, or no compiled form)
 * they parse the policy as before. 0, with the compiled file's path in
 * message; -1 with the reason in message (the policy's problems when it is
 * broken: nothing is written then). message may be NULL. */
int access_policy_compile(const char *path, char *message, size_t message_size);

/* Frees a policy; NULL is ignored. */
void access_policy_free(access_policy *policy);

/* The policy in force from the file at path, for a program that asks once
 * per request: the first call reads the file; every later call with the
 * same path makes one attribute query of it and reads it again only when
 * its size or modification time changed (or the path did), so a long-lived
 * responder follows edits. A file that cannot be queried or read gives a
 * broken policy (nothing granted) until it can. The policy returned stays
 * valid until the next call. NULL only when memory runs out, which callers
 * treat as a broken policy. */
const access_policy *access_policy_current(const char *path);

/* 1 when the policy is broken (grants nothing), else 0. NULL is broken. */
int access_policy_broken(const access_policy *policy);

/* Why the policy is broken: one line per problem (at most 16 are listed),
 * each "line L, column C (path): what" or "path: what" where no position is
 * known; "" for a sound policy. Lives as long as the policy. */
const char *access_policy_error(const access_policy *policy);

/* The realm for the challenge: the policy's "realm", or "registry" when it
 * has none or is broken. Holds no '"', '\\' or control byte. */
const char *access_policy_realm(const access_policy *policy);

/* The count of rules of a sound policy (0 for a broken one). */
int access_policy_rule_count(const access_policy *policy);

/* 1 when user (NULL or "" for none) may carry out action on repository
 * under policy, else 0: some rule has a "who" entry that covers the user
 * and a pattern that matches the whole repository name, and grants the
 * action. A broken or NULL policy, an action that is not exactly one of
 * the three, or a NULL repository gives 0. When why is not NULL it tells
 * the first rule (in file order) that granted, or rule -1. */
int access_may(const access_policy *policy, const char *user, access_action action,
               const char *repository, access_grant *why);

/* 1 when the policy grants a request without a user anything at all (any
 * action on any repository), else 0 (also when broken). */
int access_anonymous_has_grant(const access_policy *policy);

/* The action named text ("pull", "push", "delete") into *out: 1, or 0
 * for any other text. */
int access_action_parse(const char *text, access_action *out);

/* The name of an action ("pull", "push", "delete"; "?" for anything else). */
const char *access_action_name(access_action action);

/* 1 when the pattern (as in "repositories") matches the whole of name,
 * else 0. */
int access_pattern_match(const char *pattern, const char *name);

#ifdef __cplusplus
}
#endif

#endif
