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

// The compiled rules are plain arrays of 32-bit fields, and every text
// they name is an offset into one block of strings (the policy's text, or
// the strings of a compiled file): the same arrays serve a policy just
// parsed and one read from a compiled file (access_compiled.cc) without a
// pointer to fix up.
enum WhoKind : uint32_t { kAnonymous, kAuthenticated, kUser, kGroup };

struct Who {
    uint32_t kind;  // WhoKind
    uint32_t name;  // the user's name for kUser (an offset into the strings)
    int32_t group;  // the group's index for kGroup
};

struct Rule {
    uint32_t who_begin, who_end;          // into whos
    uint32_t pattern_begin, pattern_end;  // into patterns (offsets into the strings)
    uint32_t actions;                     // access_action bits
    uint32_t line;                        // the rule's line in the policy text, from 1
};

struct Group {
    uint32_t name;                      // an offset into the strings
    uint32_t member_begin, member_end;  // into members (offsets into the strings)
};

}  // namespace

struct access_policy {
    char *text = nullptr;  // the text, parsed in place (or a compiled file); owned
    size_t length = 0;
    bool broken = false;
    int problems = 0;
    std::string error;
    const char *realm = kDefaultRealm;
    // While a text is compiled: the arrays, and group names to their index.
    std::vector<Group> groups;
    std::unordered_map<std::string_view, int> group_index;
    std::vector<uint32_t> members;
    std::vector<Who> whos;
    std::vector<uint32_t> patterns;
    std::vector<Rule> rules;
    // What decisions read: the arrays above, or those of a compiled file.
    const char *strings = nullptr;
    const Group *group_at = nullptr;
    const uint32_t *member_at = nullptr;
    const Who *who_at = nullptr;
    const uint32_t *pattern_at = nullptr;
    const Rule *rule_at = nullptr;
    uint32_t group_count = 0, member_count = 0, who_count = 0, pattern_count = 0, rule_count = 0;
    // Lines counted so far while compiling: up to line_offset, line_number.
    size_t line_offset = 0;
    uint32_t line_number = 1;
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
    // Appended piece by piece: GCC 12 at -O3 warns (-Wrestrict) about the
    // inlined copy of a literal + std::string temporary.
    std::string path = "rules[";
    path += std::to_string(rule);
    path += ']';
    if (member != nullptr) {
        path += '.';
        path += member;
    }
    if (index >= 0) {
        path += '[';
        path += std::to_string(index);
        path += ']';
    }
    return path;
}

bool pattern_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-' || c == '/' || c == '*';
}

// The offset of a string of the text (parsed in place, so every string
// lies inside it).
uint32_t offset_of(const access_policy *p, const char *s) {
    return static_cast<uint32_t>(s - p->text);
}

// The line of offset, counted on from the last one asked (rules come in
// the order of the text, so the text is counted once).
uint32_t line_at(access_policy *p, size_t offset) {
    if (offset < p->line_offset) {
        p->line_offset = 0;
        p->line_number = 1;
    }
    for (const char *c = p->text + p->line_offset, *end = p->text + offset;
         (c = static_cast<const char *>(memchr(c, '\n', static_cast<size_t>(end - c)))) != nullptr;
         c++)
        p->line_number++;
    p->line_offset = offset;
    return p->line_number;
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
        Group g{offset_of(p, yyjson_get_str(key)), static_cast<uint32_t>(p->members.size()), 0};
        size_t i, n;
        yyjson_val *member;
        yyjson_arr_foreach(list, i, n, member) {
            if (!plain_string(member, kNameMax)) {
                problem(p, member, path() + "[" + std::to_string(i) + "]",
                        "a user name must be a string of 1 to 512 characters without control bytes");
                continue;
            }
            p->members.push_back(offset_of(p, yyjson_get_str(member)));
        }
        g.member_end = static_cast<uint32_t>(p->members.size());
        p->group_index.emplace(yyjson_get_str(key), static_cast<int>(p->groups.size()));
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
            p->whos.push_back({kAnonymous, 0, -1});
        } else if (strcmp(s, "authenticated") == 0) {
            p->whos.push_back({kAuthenticated, 0, -1});
        } else if (strncmp(s, "user:", 5) == 0 && s[5] != '\0') {
            p->whos.push_back({kUser, offset_of(p, s + 5), -1});
        } else if (strncmp(s, "group:", 6) == 0 && s[6] != '\0') {
            int g = find_group(p, s + 6);
            if (g < 0) {
                problem(p, v, at(), std::string("unknown group '") + (s + 6) + "'");
                continue;
            }
            p->whos.push_back({kGroup, 0, g});
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
        p->patterns.push_back(offset_of(p, yyjson_get_str(v)));
    }
}

uint32_t compile_actions(access_policy *p, yyjson_val *key, yyjson_val *list, size_t rule) {
    if (!string_list(p, key, list, rule, "actions")) return 0;
    uint32_t bits = 0;
    size_t i, n;
    yyjson_val *v;
    yyjson_arr_foreach(list, i, n, v) {
        access_action a;
        if (!yyjson_is_str(v) || strlen(yyjson_get_str(v)) != yyjson_get_len(v) ||
            !access_action_parse(yyjson_get_str(v), &a)) {
            problem(p, v, rule_path(rule, "actions", static_cast<long>(i)), "must be pull, push or delete");
            continue;
        }
        bits |= static_cast<uint32_t>(a);
    }
    return bits;
}

void compile_rule(access_policy *p, yyjson_val *v, size_t index) {
    if (!yyjson_is_obj(v)) {
        problem(p, v, rule_path(index), "must be an object with who, repositories and actions");
        return;
    }
    Rule r{static_cast<uint32_t>(p->whos.size()), 0, static_cast<uint32_t>(p->patterns.size()), 0,
           0, 1};
    bool seen[3] = {false, false, false};
    yyjson_obj_iter it = yyjson_obj_iter_with(v);
    yyjson_val *key;
    bool first = true;
    while ((key = yyjson_obj_iter_next(&it)) != nullptr) {
        const char *k = yyjson_get_str(key);
        if (first) {
            r.line = line_at(p, static_cast<size_t>(k - p->text));
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

// Points the arrays decisions read at the policy's own.
void use_own_arrays(access_policy *p) {
    p->strings = p->text;
    p->group_at = p->groups.data();
    p->member_at = p->members.data();
    p->who_at = p->whos.data();
    p->pattern_at = p->patterns.data();
    p->rule_at = p->rules.data();
    p->group_count = static_cast<uint32_t>(p->groups.size());
    p->member_count = static_cast<uint32_t>(p->members.size());
    p->who_count = static_cast<uint32_t>(p->whos.size());
    p->pattern_count = static_cast<uint32_t>(p->patterns.size());
    p->rule_count = static_cast<uint32_t>(p->rules.size());
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
    use_own_arrays(p);
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


// ---- The compiled form -------------------------------------------------------
//
// <policy>.compiled, which `regstore access compile` writes beside a sound
// policy: the arrays decisions read and the strings they name, so that a
// process that starts for one request reads a few pages instead of parsing
// the text and building the arrays. It names the policy file's size and
// modification time; when they are not the file's own, it is not used and
// the policy is parsed. Every count and offset is checked before use.

const char kCompiledMagic[8] = {'T', 'W', 'A', 'P', 'O', 'L', '0', '1'};
const char kCompiledSuffix[] = ".compiled";

struct CompiledHeader {
    char magic[8];
    int64_t policy_size;
    int64_t policy_mtime_ns;
    uint32_t group_count, member_count, who_count, pattern_count, rule_count;
    uint32_t strings_size;
    uint32_t realm;  // an offset into the strings
    uint32_t reserved[3];
};
static_assert(sizeof(CompiledHeader) == 64, "the header is 64 bytes");

size_t compiled_size(const CompiledHeader &h) {
    return sizeof h + sizeof(Group) * h.group_count + sizeof(uint32_t) * h.member_count +
           sizeof(Who) * h.who_count + sizeof(uint32_t) * h.pattern_count +
           sizeof(Rule) * h.rule_count + h.strings_size;
}

// Points p's arrays into its compiled text and checks them: 0, or -1 when
// anything is out of place (the caller then parses the policy).
int use_compiled(access_policy *p, const plat_attr &policy_attr) {
    if (p->length < sizeof(CompiledHeader)) return -1;
    CompiledHeader h;
    memcpy(&h, p->text, sizeof h);
    if (memcmp(h.magic, kCompiledMagic, sizeof h.magic) != 0 || h.policy_size != policy_attr.size ||
        h.policy_mtime_ns != policy_attr.mtime_ns)
        return -1;
    // Each count below the file's size keeps the sum from overflowing.
    const uint32_t counts[] = {h.group_count, h.member_count, h.who_count, h.pattern_count,
                               h.rule_count, h.strings_size};
    for (uint32_t c : counts) {
        if (c > ACCESS_POLICY_MAX) return -1;
    }
    if (compiled_size(h) != p->length || h.strings_size == 0) return -1;
    const char *at = p->text + sizeof h;
    p->group_at = reinterpret_cast<const Group *>(at);
    at += sizeof(Group) * h.group_count;
    p->member_at = reinterpret_cast<const uint32_t *>(at);
    at += sizeof(uint32_t) * h.member_count;
    p->who_at = reinterpret_cast<const Who *>(at);
    at += sizeof(Who) * h.who_count;
    p->pattern_at = reinterpret_cast<const uint32_t *>(at);
    at += sizeof(uint32_t) * h.pattern_count;
    p->rule_at = reinterpret_cast<const Rule *>(at);
    at += sizeof(Rule) * h.rule_count;
    p->strings = at;
    uint32_t n = h.strings_size;
    if (p->strings[n - 1] != '\0' || h.realm >= n) return -1;
    for (uint32_t i = 0; i < h.group_count; i++) {
        const Group &g = p->group_at[i];
        if (g.name >= n || g.member_begin > g.member_end || g.member_end > h.member_count) return -1;
    }
    for (uint32_t i = 0; i < h.member_count; i++) {
        if (p->member_at[i] >= n) return -1;
    }
    for (uint32_t i = 0; i < h.who_count; i++) {
        const Who &w = p->who_at[i];
        if (w.kind > kGroup || w.name >= n) return -1;
        if (w.kind == kGroup && (w.group < 0 || static_cast<uint32_t>(w.group) >= h.group_count))
            return -1;
    }
    for (uint32_t i = 0; i < h.pattern_count; i++) {
        if (p->pattern_at[i] >= n) return -1;
    }
    for (uint32_t i = 0; i < h.rule_count; i++) {
        const Rule &r = p->rule_at[i];
        if (r.who_begin > r.who_end || r.who_end > h.who_count || r.pattern_begin > r.pattern_end ||
            r.pattern_end > h.pattern_count || (r.actions & ~7u) != 0)
            return -1;
    }
    const char *realm = p->strings + h.realm;
    for (const char *c = realm; *c; c++) {
        if (*c < 0x20 || *c > 0x7e || *c == '"' || *c == '\\') return -1;
    }
    if (realm[0] != '\0') p->realm = realm;
    p->group_count = h.group_count;
    p->member_count = h.member_count;
    p->who_count = h.who_count;
    p->pattern_count = h.pattern_count;
    p->rule_count = h.rule_count;
    return 0;
}

// The compiled form of the policy file at path, when there is one that
// belongs to the file as it is now (policy_attr: its attributes, queried
// here); else NULL and the caller parses the file. *policy_attr is filled
// either way when the file could be queried (*queried set).
access_policy *load_compiled(const char *path, plat_attr *policy_attr, bool *queried) {
    *queried = plat_stat(path, policy_attr) == 0 && policy_attr->is_file;
    if (!*queried) return nullptr;
    std::string compiled = std::string(path) + kCompiledSuffix;
    char *text = nullptr;
    size_t length = 0;
    plat_attr attr;
    std::string why;
    if (read_policy_file(compiled.c_str(), &text, &length, &attr, &why) != 0) return nullptr;
    auto *p = new (std::nothrow) access_policy;
    if (p == nullptr) {
        free(text);
        return nullptr;
    }
    p->text = text;
    p->length = length;
    if (use_compiled(p, *policy_attr) != 0) {
        access_policy_free(p);
        return nullptr;
    }
    return p;
}

// Appends s (with its NUL) to strings; gives its offset.
uint32_t add_string(std::string *strings, const char *s) {
    uint32_t at = static_cast<uint32_t>(strings->size());
    strings->append(s);
    strings->push_back('\0');
    return at;
}

// The user's place under a "who" entry.
bool who_covers(const access_policy *p, const Who &w, const char *user) {
    switch (w.kind) {
        case kAnonymous:
            return true;
        case kAuthenticated:
            return user[0] != '\0';
        case kUser:
            return user[0] != '\0' && strcmp(p->strings + w.name, user) == 0;
        case kGroup: {
            if (user[0] == '\0') return false;
            const Group &g = p->group_at[w.group];
            for (uint32_t i = g.member_begin; i < g.member_end; i++) {
                if (strcmp(p->strings + p->member_at[i], user) == 0) return true;
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
    bool queried = false;
    access_policy *compiled = load_compiled(path, &attr, &queried);
    if (compiled != nullptr) return compiled;
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
    bool queried = false;
    if (path[0] == '\0') {
        current = broken_policy("no policy file named");
    } else if ((current = load_compiled(path, &current_attr, &queried)) != nullptr) {
        current_from_file = true;
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

int access_policy_compile(const char *path, char *message, size_t message_size) {
    auto say = [&](const std::string &text) {
        if (message != nullptr && message_size > 0) snprintf(message, message_size, "%s", text.c_str());
    };
    if (path == nullptr || path[0] == '\0') {
        say("no policy file named");
        return -1;
    }
    char *text = nullptr;
    size_t length = 0;
    plat_attr attr;
    std::string why;
    if (read_policy_file(path, &text, &length, &attr, &why) != 0) {
        say(why);
        return -1;
    }
    access_policy p;
    parse_file_text(&p, text, length, path);
    if (p.broken) {
        say(p.error);
        free(p.text);
        return -1;
    }
    // The strings the arrays name, copied into one block; the arrays are
    // those of the parsed policy with their offsets moved to the block.
    std::string strings;
    CompiledHeader h{};
    memcpy(h.magic, kCompiledMagic, sizeof h.magic);
    h.policy_size = attr.size;
    h.policy_mtime_ns = attr.mtime_ns;
    h.realm = add_string(&strings, p.realm == kDefaultRealm ? "" : p.realm);
    std::vector<Group> groups = p.groups;
    for (Group &g : groups) g.name = add_string(&strings, p.text + g.name);
    std::vector<uint32_t> members = p.members;
    for (uint32_t &m : members) m = add_string(&strings, p.text + m);
    std::vector<Who> whos = p.whos;
    for (Who &w : whos) w.name = w.kind == kUser ? add_string(&strings, p.text + w.name) : 0;
    std::vector<uint32_t> patterns = p.patterns;
    for (uint32_t &q : patterns) q = add_string(&strings, p.text + q);
    h.group_count = static_cast<uint32_t>(groups.size());
    h.member_count = static_cast<uint32_t>(members.size());
    h.who_count = static_cast<uint32_t>(whos.size());
    h.pattern_count = static_cast<uint32_t>(patterns.size());
    h.rule_count = static_cast<uint32_t>(p.rules.size());
    h.strings_size = static_cast<uint32_t>(strings.size());
    std::string out(reinterpret_cast<const char *>(&h), sizeof h);
    out.append(reinterpret_cast<const char *>(groups.data()), sizeof(Group) * groups.size());
    out.append(reinterpret_cast<const char *>(members.data()), sizeof(uint32_t) * members.size());
    out.append(reinterpret_cast<const char *>(whos.data()), sizeof(Who) * whos.size());
    out.append(reinterpret_cast<const char *>(patterns.data()), sizeof(uint32_t) * patterns.size());
    out.append(reinterpret_cast<const char *>(p.rules.data()), sizeof(Rule) * p.rules.size());
    out.append(strings);
    free(p.text);
    p.text = nullptr;
    // Written beside the policy under a name of its own, then renamed into
    // place, so that no reader sees it half written.
    std::string target = std::string(path) + kCompiledSuffix;
    std::string temporary = target + ".tmp-" + std::to_string(plat_process_id());
    plat_remove(temporary.c_str());
    FILE *f = plat_fcreate_new(temporary.c_str());
    if (f == nullptr) {
        say("cannot create " + temporary);
        return -1;
    }
    bool written = plat_fwrite(out.data(), out.size(), f) == out.size() && plat_fsync(f) == 0;
    written = plat_fclose(f) == 0 && written;
    if (!written || plat_rename(temporary.c_str(), target.c_str()) != 0) {
        plat_remove(temporary.c_str());
        say("cannot write " + target);
        return -1;
    }
    say(target);
    return 0;
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
    return policy == nullptr || policy->broken ? 0 : static_cast<int>(policy->rule_count);
}

int access_may(const access_policy *policy, const char *user, access_action action,
               const char *repository, access_grant *why) {
    if (why != nullptr) *why = {-1, 0};
    if (policy == nullptr || policy->broken || repository == nullptr) return 0;
    if (action != ACCESS_PULL && action != ACCESS_PUSH && action != ACCESS_DELETE) return 0;
    if (user == nullptr) user = "";
    for (uint32_t r = 0; r < policy->rule_count; r++) {
        const Rule &rule = policy->rule_at[r];
        if ((rule.actions & action) == 0) continue;
        bool covered = false;
        for (uint32_t w = rule.who_begin; w < rule.who_end && !covered; w++)
            covered = who_covers(policy, policy->who_at[w], user);
        if (!covered) continue;
        for (uint32_t i = rule.pattern_begin; i < rule.pattern_end; i++) {
            if (access_pattern_match(policy->strings + policy->pattern_at[i], repository)) {
                if (why != nullptr) *why = {static_cast<int>(r), static_cast<int>(rule.line)};
                return 1;
            }
        }
    }
    return 0;
}

int access_anonymous_has_grant(const access_policy *policy) {
    if (policy == nullptr || policy->broken) return 0;
    for (uint32_t r = 0; r < policy->rule_count; r++) {
        const Rule &rule = policy->rule_at[r];
        if (rule.actions == 0 || rule.pattern_begin == rule.pattern_end) continue;
        for (uint32_t w = rule.who_begin; w < rule.who_end; w++) {
            if (policy->who_at[w].kind == kAnonymous) return 1;
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
