// The access policy: parsing and checking the policy file, and the
// decisions made from it.
//
// The text is parsed in place by yyjson, so every string of the policy (the
// member names too) stays where it stood in the text: its offset gives the
// line and column of a problem, and the compiled rules point into the text
// instead of copying it. The document itself is freed once the rules are
// compiled. A CGI process reads the policy once per request, so loading is
// one read of the file, one parse and one walk over it.
#include "access/access.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <yyjson.h>

#include "platform/platform.h"

namespace {

// At most this many problems are listed in a broken policy's message.
constexpr int kMaxProblems = 16;
// The longest realm, repository pattern and user or group name taken.
constexpr size_t kRealmMax = 128;
constexpr size_t kPatternMax = 512;
constexpr size_t kNameMax = 512;
// Names up to this length are matched with a table on the stack.
constexpr size_t kStackName = 1024;

const char kDefaultRealm[] = "registry";

enum WhoKind : uint8_t { kAnonymous, kAuthenticated, kUser, kGroup };

struct Who {
    WhoKind kind;
    const char *name;  // the user's name for kUser
    int group;         // the group's index for kGroup
};

struct Rule {
    uint32_t who_begin, who_end;          // into whos
    uint32_t pattern_begin, pattern_end;  // into patterns
    uint8_t actions;                      // access_action bits
    size_t offset;                        // where the rule stands in the text
};

struct Group {
    const char *name;
    uint32_t member_begin, member_end;  // into members
};

}  // namespace

struct access_policy {
    char *text = nullptr;  // the text, parsed in place; the strings below point into it
    size_t length = 0;
    bool broken = false;
    int problems = 0;
    std::string error;
    const char *realm = kDefaultRealm;
    std::vector<Group> groups;
    // Group names to their index in groups, while the policy is compiled.
    std::unordered_map<std::string_view, int> group_index;
    std::vector<const char *> members;
    std::vector<Who> whos;
    std::vector<const char *> patterns;
    std::vector<Rule> rules;
};

namespace {

// The line and column (from 1) of offset in the text.
void line_and_column(const char *text, size_t offset, int *line, int *column) {
    int l = 1;
    size_t line_start = 0;
    for (size_t i = 0; i < offset; i++) {
        if (text[i] == '\n') {
            l++;
            line_start = i + 1;
        }
    }
    *line = l;
    *column = static_cast<int>(offset - line_start) + 1;
}

// Notes one problem: "line L, column C (path): what" when the value's place
// in the text is known, else "path: what". A noted problem breaks the policy.
void problem(access_policy *p, yyjson_val *at, const std::string &path, const std::string &what) {
    p->broken = true;
    if (p->problems++ >= kMaxProblems) return;
    if (!p->error.empty()) p->error += '\n';
    const char *s = at != nullptr && yyjson_is_str(at) ? yyjson_get_str(at) : nullptr;
    if (s != nullptr && s >= p->text && s < p->text + p->length) {
        int line = 0, column = 0;
        // The string's content begins one byte after its opening quote.
        size_t offset = static_cast<size_t>(s - p->text);
        line_and_column(p->text, offset > 0 ? offset - 1 : 0, &line, &column);
        p->error += "line " + std::to_string(line) + ", column " + std::to_string(column) +
                    " (" + path + "): " + what;
    } else {
        p->error += path + ": " + what;
    }
}

// A string of the policy: no NUL inside, no control byte, 1 to max bytes.
bool plain_string(yyjson_val *v, size_t max) {
    if (!yyjson_is_str(v)) return false;
    const char *s = yyjson_get_str(v);
    size_t n = yyjson_get_len(v);
    if (n == 0 || n > max || strlen(s) != n) return false;
    for (size_t i = 0; i < n; i++) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c < 0x20 || c == 0x7f) return false;
    }
    return true;
}

// The place of a rule's member or of one of its entries in the document,
// as "rules[<rule>].<member>[<index>]"; made only when a problem is told.
std::string rule_path(size_t rule, const char *member = nullptr, long index = -1) {
    std::string path = "rules[" + std::to_string(rule) + "]";
    if (member != nullptr) path += std::string(".") + member;
    if (index >= 0) path += "[" + std::to_string(index) + "]";
    return path;
}

bool pattern_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-' || c == '/' || c == '*';
}

int find_group(const access_policy *p, const char *name) {
    auto it = p->group_index.find(name);
    return it == p->group_index.end() ? -1 : it->second;
}

// The realm v (its member name key, to tell where a value that is no
// string stands).
void compile_realm(access_policy *p, yyjson_val *key, yyjson_val *v) {
    bool ok = plain_string(v, kRealmMax);
    if (ok) {
        for (const char *s = yyjson_get_str(v); *s; s++) {
            if (*s == '"' || *s == '\\' || static_cast<unsigned char>(*s) > 0x7e) ok = false;
        }
    }
    if (!ok) {
        problem(p, yyjson_is_str(v) ? v : key, "realm",
                "must be a string of 1 to 128 printable ASCII characters without '\"' or '\\'");
        return;
    }
    p->realm = yyjson_get_str(v);
}

void compile_groups(access_policy *p, yyjson_val *v) {
    if (!yyjson_is_obj(v)) {
        problem(p, v, "groups", "must be an object of group names to lists of user names");
        return;
    }
    yyjson_obj_iter it = yyjson_obj_iter_with(v);
    yyjson_val *key;
    while ((key = yyjson_obj_iter_next(&it)) != nullptr) {
        yyjson_val *list = yyjson_obj_iter_get_val(key);
        auto path = [key] { return std::string("groups.") + yyjson_get_str(key); };
        if (!plain_string(key, kNameMax)) {
            problem(p, key, "groups", "a group name must be 1 to 512 characters without control bytes");
            continue;
        }
        if (find_group(p, yyjson_get_str(key)) >= 0) {
            problem(p, key, path(), "group defined twice");
            continue;
        }
        if (!yyjson_is_arr(list)) {
            problem(p, key, path(), "must be a list of user names");
            continue;
        }
        Group g{yyjson_get_str(key), static_cast<uint32_t>(p->members.size()), 0};
        size_t i, n;
        yyjson_val *member;
        yyjson_arr_foreach(list, i, n, member) {
            if (!plain_string(member, kNameMax)) {
                problem(p, member, path() + "[" + std::to_string(i) + "]",
                        "a user name must be a string of 1 to 512 characters without control bytes");
                continue;
            }
            p->members.push_back(yyjson_get_str(member));
        }
        g.member_end = static_cast<uint32_t>(p->members.size());
        p->group_index.emplace(g.name, static_cast<int>(p->groups.size()));
        p->groups.push_back(g);
    }
}

// A non-empty list of strings; problems name path.
bool string_list(access_policy *p, yyjson_val *key, yyjson_val *v, size_t rule, const char *member) {
    if (!yyjson_is_arr(v) || yyjson_arr_size(v) == 0) {
        problem(p, key, rule_path(rule, member), "must be a non-empty list of strings");
        return false;
    }
    return true;
}

void compile_who(access_policy *p, yyjson_val *key, yyjson_val *list, size_t rule) {
    if (!string_list(p, key, list, rule, "who")) return;
    size_t i, n;
    yyjson_val *v;
    yyjson_arr_foreach(list, i, n, v) {
        auto at = [rule, i] { return rule_path(rule, "who", static_cast<long>(i)); };
        if (!plain_string(v, kNameMax + 6)) {
            problem(p, v, at(), "must be a string without control bytes");
            continue;
        }
        const char *s = yyjson_get_str(v);
        if (strcmp(s, "anonymous") == 0) {
            p->whos.push_back({kAnonymous, nullptr, -1});
        } else if (strcmp(s, "authenticated") == 0) {
            p->whos.push_back({kAuthenticated, nullptr, -1});
        } else if (strncmp(s, "user:", 5) == 0 && s[5] != '\0') {
            p->whos.push_back({kUser, s + 5, -1});
        } else if (strncmp(s, "group:", 6) == 0 && s[6] != '\0') {
            int g = find_group(p, s + 6);
            if (g < 0) {
                problem(p, v, at(), std::string("unknown group '") + (s + 6) + "'");
                continue;
            }
            p->whos.push_back({kGroup, nullptr, g});
        } else {
            problem(p, v, at(),
                    "must be anonymous, authenticated, user:<name> or group:<name>");
        }
    }
}

void compile_patterns(access_policy *p, yyjson_val *key, yyjson_val *list, size_t rule) {
    if (!string_list(p, key, list, rule, "repositories")) return;
    size_t i, n;
    yyjson_val *v;
    yyjson_arr_foreach(list, i, n, v) {
        bool ok = plain_string(v, kPatternMax);
        if (ok) {
            for (const char *s = yyjson_get_str(v); *s; s++) ok = ok && pattern_char(*s);
        }
        if (!ok) {
            problem(p, v, rule_path(rule, "repositories", static_cast<long>(i)),
                    "must be a pattern of 1 to 512 characters: letters, digits, '.', '_', '-', "
                    "'/' and '*'");
            continue;
        }
        p->patterns.push_back(yyjson_get_str(v));
    }
}

uint8_t compile_actions(access_policy *p, yyjson_val *key, yyjson_val *list, size_t rule) {
    if (!string_list(p, key, list, rule, "actions")) return 0;
    uint8_t bits = 0;
    size_t i, n;
    yyjson_val *v;
    yyjson_arr_foreach(list, i, n, v) {
        access_action a;
        if (!yyjson_is_str(v) || strlen(yyjson_get_str(v)) != yyjson_get_len(v) ||
            !access_action_parse(yyjson_get_str(v), &a)) {
            problem(p, v, rule_path(rule, "actions", static_cast<long>(i)), "must be pull, push or delete");
            continue;
        }
        bits |= static_cast<uint8_t>(a);
    }
    return bits;
}

void compile_rule(access_policy *p, yyjson_val *v, size_t index) {
    if (!yyjson_is_obj(v)) {
        problem(p, v, rule_path(index), "must be an object with who, repositories and actions");
        return;
    }
    Rule r{static_cast<uint32_t>(p->whos.size()), 0, static_cast<uint32_t>(p->patterns.size()), 0,
           0, 0};
    bool seen[3] = {false, false, false};
    yyjson_obj_iter it = yyjson_obj_iter_with(v);
    yyjson_val *key;
    bool first = true;
    while ((key = yyjson_obj_iter_next(&it)) != nullptr) {
        const char *k = yyjson_get_str(key);
        if (first) {
            r.offset = static_cast<size_t>(k - p->text);
            first = false;
        }
        yyjson_val *value = yyjson_obj_iter_get_val(key);
        int which = strcmp(k, "who") == 0 ? 0 : strcmp(k, "repositories") == 0 ? 1
                                              : strcmp(k, "actions") == 0      ? 2
                                                                               : -1;
        if (which < 0) {
            problem(p, key, rule_path(index, k), "unknown member (who, repositories, actions)");
            continue;
        }
        if (seen[which]) {
            problem(p, key, rule_path(index, k), "member given twice");
            continue;
        }
        seen[which] = true;
        if (which == 0) compile_who(p, key, value, index);
        if (which == 1) compile_patterns(p, key, value, index);
        if (which == 2) r.actions = compile_actions(p, key, value, index);
    }
    static const char *const kNames[] = {"who", "repositories", "actions"};
    for (int i = 0; i < 3; i++) {
        if (!seen[i]) problem(p, nullptr, rule_path(index), std::string("missing member ") + kNames[i]);
    }
    r.who_end = static_cast<uint32_t>(p->whos.size());
    r.pattern_end = static_cast<uint32_t>(p->patterns.size());
    p->rules.push_back(r);
}

void compile(access_policy *p, yyjson_val *root) {
    if (!yyjson_is_obj(root)) {
        problem(p, nullptr, "(top)", "the policy must be a JSON object");
        return;
    }
    // Groups come first, whatever their place in the text, so that rules
    // can name them.
    yyjson_val *realm = nullptr, *groups = nullptr, *rules = nullptr;
    yyjson_val *realm_key = nullptr, *rules_key = nullptr;
    yyjson_obj_iter it = yyjson_obj_iter_with(root);
    yyjson_val *key;
    while ((key = yyjson_obj_iter_next(&it)) != nullptr) {
        const char *k = yyjson_get_str(key);
        yyjson_val *value = yyjson_obj_iter_get_val(key);
        yyjson_val **slot = strcmp(k, "realm") == 0    ? &realm
                            : strcmp(k, "groups") == 0 ? &groups
                            : strcmp(k, "rules") == 0  ? &rules
                                                       : nullptr;
        if (slot == nullptr) {
            problem(p, key, k, "unknown member (realm, groups, rules)");
            continue;
        }
        if (*slot != nullptr) {
            problem(p, key, k, "member given twice");
            continue;
        }
        *slot = value;
        if (slot == &realm) realm_key = key;
        if (slot == &rules) rules_key = key;
    }
    if (realm != nullptr) compile_realm(p, realm_key, realm);
    if (groups != nullptr) compile_groups(p, groups);
    if (rules == nullptr) {
        problem(p, nullptr, "(top)", "missing member rules");
        return;
    }
    if (!yyjson_is_arr(rules)) {
        problem(p, rules_key, "rules", "must be a list of rules");
        return;
    }
    size_t i, n;
    yyjson_val *rule;
    // Most rules have one or two of each entry.
    size_t count = yyjson_arr_size(rules);
    p->rules.reserve(count);
    p->whos.reserve(count * 2);
    p->patterns.reserve(count * 2);
    yyjson_arr_foreach(rules, i, n, rule) compile_rule(p, rule, i);
}

// Parses text (length bytes followed by YYJSON_PADDING_SIZE zero bytes,
// allocated with malloc) into p, which takes it over. original, when not
// NULL, is the same text unchanged: a text that is not JSON is told by line
// and column, and parsing in place may have turned escapes into line ends
// before the failure, so its lines are counted in the original.
void parse_into(access_policy *p, char *text, size_t length, const char *original) {
    p->text = text;
    p->length = length;
    yyjson_read_err err;
    yyjson_doc *doc = length > 0 ? yyjson_read_opts(text, length, YYJSON_READ_INSITU, nullptr, &err)
                                 : nullptr;
    if (doc == nullptr) {
        p->broken = true;
        p->problems++;
        if (length == 0) {
            p->error = "(top): the policy is empty";
        } else {
            int line = 0, column = 0;
            line_and_column(original != nullptr ? original : text, err.pos < length ? err.pos : length,
                            &line, &column);
            p->error = "line " + std::to_string(line) + ", column " + std::to_string(column) +
                       ": not JSON: " + (err.msg != nullptr ? err.msg : "unreadable");
        }
        return;
    }
    compile(p, yyjson_doc_get_root(doc));
    yyjson_doc_free(doc);
    p->group_index = {};
    if (p->broken) {
        if (p->problems > kMaxProblems)
            p->error += "\n(" + std::to_string(p->problems - kMaxProblems) + " more problems)";
        p->realm = kDefaultRealm;
        p->groups.clear();
        p->members.clear();
        p->whos.clear();
        p->patterns.clear();
        p->rules.clear();
    }
}

access_policy *broken_policy(const std::string &message) {
    auto *p = new (std::nothrow) access_policy;
    if (p == nullptr) return nullptr;
    p->broken = true;
    p->problems = 1;
    p->error = message;
    return p;
}

// Reads the whole regular file at path into a buffer with yyjson's padding.
// 0 and *text, *length, *attr; else -1 and *why.
int read_policy_file(const char *path, char **text, size_t *length, plat_attr *attr,
                     std::string *why) {
    FILE *f = nullptr;
    int rc = plat_open_regular_file(path, &f, attr);
    if (rc != PLAT_OPEN_DONE) {
        *why = rc == PLAT_OPEN_NOT_FILE ? "no policy file (a regular file) at " + std::string(path)
                                        : "cannot open the policy file " + std::string(path);
        return -1;
    }
    if (attr->size < 0 || static_cast<uint64_t>(attr->size) > ACCESS_POLICY_MAX) {
        plat_fclose(f);
        *why = "the policy file " + std::string(path) + " is larger than 16 MiB";
        return -1;
    }
    size_t want = static_cast<size_t>(attr->size);
    // One byte more than the size tells a file that grew meanwhile.
    char *buffer = static_cast<char *>(malloc(want + 1 + YYJSON_PADDING_SIZE));
    if (buffer == nullptr) {
        plat_fclose(f);
        *why = "out of memory reading the policy file";
        return -1;
    }
    size_t got = 0;
    while (got < want + 1) {
        size_t n = plat_fread(buffer + got, want + 1 - got, f);
        if (n == 0) break;
        got += n;
    }
    bool failed = ferror(f) != 0;
    plat_fclose(f);
    if (failed || got != want) {
        free(buffer);
        *why = failed ? "cannot read the policy file " + std::string(path)
                      : "the policy file " + std::string(path) + " changed while it was read";
        return -1;
    }
    memset(buffer + got, 0, 1 + YYJSON_PADDING_SIZE);
    *text = buffer;
    *length = got;
    return 0;
}

// Parses text as parse_into does; for a text that is not JSON it is read
// again from the file at path, so that the failure's line is counted in the
// text as it stands there.
void parse_file_text(access_policy *p, char *text, size_t length, const char *path) {
    // Cheap test first: in-place parsing changes a text only where it holds
    // an escape, so a text without a backslash needs no second copy.
    if (memchr(text, '\\', length) == nullptr) {
        parse_into(p, text, length, nullptr);
        return;
    }
    parse_into(p, text, length, nullptr);
    if (!p->broken || p->error.find(": not JSON: ") == std::string::npos) return;
    char *again = nullptr;
    size_t again_length = 0;
    plat_attr attr;
    std::string why;
    if (read_policy_file(path, &again, &again_length, &attr, &why) != 0) return;
    auto *fresh = new (std::nothrow) access_policy;
    if (fresh != nullptr) {
        char *copy = static_cast<char *>(malloc(again_length + 1 + YYJSON_PADDING_SIZE));
        if (copy != nullptr) {
            memcpy(copy, again, again_length + 1 + YYJSON_PADDING_SIZE);
            parse_into(fresh, copy, again_length, again);
            p->error = fresh->error;
        }
        free(fresh->text);
        delete fresh;
    }
    free(again);
}

// The user's place under a "who" entry.
bool who_covers(const access_policy *p, const Who &w, const char *user) {
    switch (w.kind) {
        case kAnonymous:
            return true;
        case kAuthenticated:
            return user[0] != '\0';
        case kUser:
            return user[0] != '\0' && strcmp(w.name, user) == 0;
        case kGroup: {
            if (user[0] == '\0') return false;
            const Group &g = p->groups[static_cast<size_t>(w.group)];
            for (uint32_t i = g.member_begin; i < g.member_end; i++) {
                if (strcmp(p->members[i], user) == 0) return true;
            }
            return false;
        }
    }
    return false;
}

// Matches the pattern against the name after their common literal start:
// row[j] tells whether the pattern read so far matches the first j bytes
// of the name. A run of two or more '*' matches any bytes, a single '*'
// any bytes but '/', every other byte itself.
bool match_rest(const char *pattern, const char *name, size_t m, char *row) {
    row[0] = 1;
    memset(row + 1, 0, m);
    const char *q = pattern;
    while (*q != '\0') {
        bool any = false;
        if (*q == '*') {
            size_t stars = 0;
            while (q[stars] == '*') stars++;
            q += stars;
            bool slash_ok = stars >= 2;
            for (size_t j = 1; j <= m; j++) {
                if (!row[j] && row[j - 1] && (slash_ok || name[j - 1] != '/')) row[j] = 1;
            }
            for (size_t j = 0; j <= m && !any; j++) any = row[j] != 0;
        } else {
            char c = *q++;
            for (size_t j = m; j >= 1; j--) {
                row[j] = row[j - 1] && name[j - 1] == c;
                any = any || row[j];
            }
            row[0] = 0;
        }
        if (!any) return false;
    }
    return row[m] != 0;
}

}  // namespace

extern "C" {

int access_pattern_match(const char *pattern, const char *name) {
    if (pattern == nullptr || name == nullptr) return 0;
    // The literal start decides most patterns without the table.
    while (*pattern != '\0' && *pattern != '*') {
        if (*pattern != *name) return 0;
        pattern++;
        name++;
    }
    if (*pattern == '\0') return *name == '\0';
    // So does the literal end after the last star.
    const char *last_star = strrchr(pattern, '*');
    size_t tail = strlen(last_star + 1);
    size_t m = strlen(name);
    if (tail > m || memcmp(last_star + 1, name + m - tail, tail) != 0) return 0;
    if (m < kStackName) {
        char row[kStackName + 1];
        return match_rest(pattern, name, m, row) ? 1 : 0;
    }
    std::vector<char> row(m + 1);
    return match_rest(pattern, name, m, row.data()) ? 1 : 0;
}

access_policy *access_policy_parse(const char *text, size_t length) {
    if (text == nullptr) length = 0;
    if (length > ACCESS_POLICY_MAX) return broken_policy("(top): the policy is larger than 16 MiB");
    auto *p = new (std::nothrow) access_policy;
    if (p == nullptr) return nullptr;
    char *copy = static_cast<char *>(malloc(length + 1 + YYJSON_PADDING_SIZE));
    if (copy == nullptr) {
        delete p;
        return broken_policy("out of memory parsing the policy");
    }
    if (length > 0) memcpy(copy, text, length);
    memset(copy + length, 0, 1 + YYJSON_PADDING_SIZE);
    parse_into(p, copy, length, text);
    return p;
}

access_policy *access_policy_load(const char *path) {
    if (path == nullptr || path[0] == '\0') return broken_policy("no policy file named");
    char *text = nullptr;
    size_t length = 0;
    plat_attr attr;
    std::string why;
    if (read_policy_file(path, &text, &length, &attr, &why) != 0) return broken_policy(why);
    auto *p = new (std::nothrow) access_policy;
    if (p == nullptr) {
        free(text);
        return nullptr;
    }
    parse_file_text(p, text, length, path);
    return p;
}

void access_policy_free(access_policy *policy) {
    if (policy == nullptr) return;
    free(policy->text);
    delete policy;
}

const access_policy *access_policy_current(const char *path) {
    // The policy of the last call, the path it came from and the file's
    // size and time when it was read; cached only when the read worked.
    static access_policy *current;
    static std::string current_path;
    static plat_attr current_attr;
    static bool current_from_file;
    if (path == nullptr) path = "";
    if (current != nullptr && current_from_file && current_path == path) {
        plat_attr now;
        if (plat_stat(path, &now) == 0 && now.is_file && now.size == current_attr.size &&
            now.mtime_ns == current_attr.mtime_ns)
            return current;
    }
    access_policy_free(current);
    current = nullptr;
    current_from_file = false;
    current_path = path;
    char *text = nullptr;
    size_t length = 0;
    std::string why;
    if (path[0] == '\0') {
        current = broken_policy("no policy file named");
    } else if (read_policy_file(path, &text, &length, &current_attr, &why) != 0) {
        current = broken_policy(why);
    } else {
        current = new (std::nothrow) access_policy;
        if (current == nullptr) {
            free(text);
            return nullptr;
        }
        parse_file_text(current, text, length, path);
        current_from_file = true;
    }
    return current;
}

int access_policy_broken(const access_policy *policy) {
    return policy == nullptr || policy->broken ? 1 : 0;
}

const char *access_policy_error(const access_policy *policy) {
    if (policy == nullptr) return "no policy";
    return policy->error.c_str();
}

const char *access_policy_realm(const access_policy *policy) {
    return policy == nullptr || policy->broken ? kDefaultRealm : policy->realm;
}

int access_policy_rule_count(const access_policy *policy) {
    return policy == nullptr || policy->broken ? 0 : static_cast<int>(policy->rules.size());
}

int access_may(const access_policy *policy, const char *user, access_action action,
               const char *repository, access_grant *why) {
    if (why != nullptr) *why = {-1, 0};
    if (policy == nullptr || policy->broken || repository == nullptr) return 0;
    if (action != ACCESS_PULL && action != ACCESS_PUSH && action != ACCESS_DELETE) return 0;
    if (user == nullptr) user = "";
    for (size_t r = 0; r < policy->rules.size(); r++) {
        const Rule &rule = policy->rules[r];
        if ((rule.actions & action) == 0) continue;
        bool covered = false;
        for (uint32_t w = rule.who_begin; w < rule.who_end && !covered; w++)
            covered = who_covers(policy, policy->whos[w], user);
        if (!covered) continue;
        for (uint32_t i = rule.pattern_begin; i < rule.pattern_end; i++) {
            if (access_pattern_match(policy->patterns[i], repository)) {
                if (why != nullptr) {
                    int column = 0;
                    why->rule = static_cast<int>(r);
                    line_and_column(policy->text, rule.offset, &why->line, &column);
                }
                return 1;
            }
        }
    }
    return 0;
}

int access_anonymous_has_grant(const access_policy *policy) {
    if (policy == nullptr || policy->broken) return 0;
    for (const Rule &rule : policy->rules) {
        if (rule.actions == 0 || rule.pattern_begin == rule.pattern_end) continue;
        for (uint32_t w = rule.who_begin; w < rule.who_end; w++) {
            if (policy->whos[w].kind == kAnonymous) return 1;
        }
    }
    return 0;
}

int access_action_parse(const char *text, access_action *out) {
    if (text == nullptr || out == nullptr) return 0;
    if (strcmp(text, "pull") == 0) {
        *out = ACCESS_PULL;
    } else if (strcmp(text, "push") == 0) {
        *out = ACCESS_PUSH;
    } else if (strcmp(text, "delete") == 0) {
        *out = ACCESS_DELETE;
    } else {
        return 0;
    }
    return 1;
}

const char *access_action_name(access_action action) {
    switch (action) {
        case ACCESS_PULL:
            return "pull";
        case ACCESS_PUSH:
            return "push";
        case ACCESS_DELETE:
            return "delete";
    }
    return "?";
}

}  // extern "C"
