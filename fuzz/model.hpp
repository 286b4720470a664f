// An independent statement of the rules the fuzzers check the program
// against, written plainly and without the program's own helpers.
#pragma once

#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The name a reference or operand field denotes: one leading "$" and a "{"
// right after it are skipped, at most 4095 bytes are kept, and the name ends
// at the first "}".
inline std::string model_name(std::string_view text) {
    size_t i = 0;
    if (!text.empty() && text[0] == '$') {
        i = 1;
        if (text.size() > 1 && text[1] == '{')
            i = 2;
    }
    std::string name(text.substr(i, 4095));
    size_t brace = name.find('}');
    if (brace != std::string::npos)
        name.resize(brace);
    return name;
}

// Where the reference starting at the "$" in position at ends: at a space,
// tab, CR, LF or NUL, or at the end of the input; at a "}" too, which it
// takes only when it opened with "${".
inline size_t model_reference_end(std::string_view in, size_t at) {
    size_t k = at + 1;
    while (k < in.size() && std::string_view(" \t\r\n}\0", 6).find(in[k]) == std::string_view::npos)
        k++;
    bool braced = at + 1 < in.size() && in[at + 1] == '{';
    if (k < in.size() && in[k] == '}' && braced)
        k++;
    return k;
}

// The environment lookup of the C library: the first entry that starts with
// the name followed by "="; the empty name is never set.
inline const std::string *model_getenv(const std::vector<std::string> &env,
                                       const std::string &name) {
    if (name.empty())
        return nullptr;
    for (const std::string &entry : env)
        if (entry.size() > name.size() && entry.compare(0, name.size(), name) == 0 &&
            entry[name.size()] == '=')
            return &entry;
    return nullptr;
}

// Operand intake: fields between commas, spaces, tabs, CRs and LFs, empty
// ones skipped, each a name.
inline void model_add_operand(std::vector<std::string> &list, std::string_view operand) {
    operand = operand.substr(0, operand.find('\0'));
    size_t i = 0;
    while (i <= operand.size()) {
        size_t comma = operand.find_first_of(", \t\r\n", i);
        if (comma == std::string_view::npos)
            comma = operand.size();
        if (comma > i)
            list.push_back(model_name(operand.substr(i, comma - i)));
        i = comma + 1;
    }
}

// given: whether any operand was given at all. Only with none is every name
// allowed; operands that name nothing allow nothing.
inline bool model_contains(const std::vector<std::string> &list, bool given,
                           const std::string &name) {
    if (!given)
        return true;
    for (const std::string &entry : list)
        if (entry == name)
            return true;
    return false;
}

// The whole filter: every reference replaced by its value, by nothing, or
// kept as it stands when the list does not allow its name.
inline std::string model_filter(std::string_view in, const std::vector<std::string> &list,
                                bool given, const std::vector<std::string> &env) {
    std::string out;
    size_t i = 0;
    while (i < in.size()) {
        if (in[i] != '$') {
            out += in[i++];
            continue;
        }
        size_t end = model_reference_end(in, i);
        std::string_view reference = in.substr(i, end - i);
        std::string name = model_name(reference);
        if (!model_contains(list, given, name))
            out += reference;
        else if (const std::string *entry = model_getenv(env, name))
            out += entry->substr(name.size() + 1);
        i = end;
    }
    return out;
}

// The code point of the UTF-8 sequence at name[i] and its length; 0 when
// it is no well-formed sequence (overlong, a surrogate, past U+10FFFF, cut).
inline size_t model_utf8(std::string_view name, size_t i, unsigned long *code) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    size_t length = c >= 0xf0 ? 4 : c >= 0xe0 ? 3 : c >= 0xc0 ? 2 : 0;
    if (length == 0 || c >= 0xf8 || i + length > name.size())
        return 0;
    *code = c & (0x7f >> length);
    for (size_t k = 1; k < length; k++) {
        unsigned char next = static_cast<unsigned char>(name[i + k]);
        if (next < 0x80 || next > 0xbf)
            return 0;
        *code = *code << 6 | (next & 0x3f);
    }
    static const unsigned long least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (*code < least[length] || *code > 0x10ffff || (*code >= 0xd800 && *code <= 0xdfff))
        return 0;
    return length;
}

// A name as reports show it: quote and backslash escaped, C0 controls, DEL
// and each byte of no well-formed UTF-8 sequence as \xHH, C1 controls, the
// format characters of Unicode 15 and U+2028/2029 as \uHHHH (\UHHHHHHHH).
inline std::string model_escape(std::string_view name) {
    static const unsigned long hidden[][2] = {
        {0x80, 0x9f},       {0xad, 0xad},       {0x600, 0x605},     {0x61c, 0x61c},
        {0x6dd, 0x6dd},     {0x70f, 0x70f},     {0x890, 0x891},     {0x8e2, 0x8e2},
        {0x180e, 0x180e},   {0x200b, 0x200f},   {0x2028, 0x2029},   {0x202a, 0x202e},
        {0x2060, 0x2064},   {0x2066, 0x206f},   {0xfeff, 0xfeff},   {0xfff9, 0xfffb},
        {0x110bd, 0x110bd}, {0x110cd, 0x110cd}, {0x13430, 0x1343f}, {0x1bca0, 0x1bca3},
        {0x1d173, 0x1d17a}, {0xe0001, 0xe0001}, {0xe0020, 0xe007f}};
    std::string out;
    for (size_t i = 0; i < name.size(); i++) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        char hex[16];
        unsigned long code = 0;
        size_t length = model_utf8(name, i, &code);
        if (length > 0) {
            bool escape = false;
            for (const auto &range : hidden)
                escape = escape || (code >= range[0] && code <= range[1]);
            if (escape)
                std::snprintf(hex, sizeof hex, code > 0xffff ? "\\U%08lx" : "\\u%04lx", code);
            out += escape ? std::string(hex) : std::string(name.substr(i, length));
            i += length - 1;
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 32 || c >= 127) {
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// What -u reports: a line for each allowed reference to an unset variable,
// numbered 1 + the line feeds before its "$", the name escaped.
inline std::string model_unset_reports(std::string_view in, const std::vector<std::string> &list,
                                       bool given, const std::vector<std::string> &env) {
    std::string reports;
    size_t line = 1;
    size_t i = 0;
    while (i < in.size()) {
        if (in[i] != '$') {
            line += in[i++] == '\n';
            continue;
        }
        size_t end = model_reference_end(in, i);
        std::string name = model_name(in.substr(i, end - i));
        i = end;
        if (!model_contains(list, given, name) || model_getenv(env, name) != nullptr)
            continue;
        reports += "fillvars: line " + std::to_string(line) + ": \"" + model_escape(name) +
                   "\" is not set\n";
    }
    return reports;
}

// The options that change what a reference becomes, and what a run gives.
struct ModelOptions {
    bool nounset, noempty, keep, braced, shell, references;
    std::vector<std::string> prefixes;
};

struct ModelRun {
    std::string out;
    std::string err;
};

// given: whether an operand or a prefix was given.
inline bool model_allows(const std::vector<std::string> &list, bool given,
                         const ModelOptions &options, const std::string &name) {
    if (model_contains(list, given, name))
        return true;
    for (const std::string &prefix : options.prefixes)
        if (name.compare(0, prefix.size(), prefix) == 0)
            return true;
    return false;
}

inline ModelRun model_shell_run(std::string_view in, const std::vector<std::string> &list,
                                bool given, const std::vector<std::string> &env,
                                const ModelOptions &options);

// The filter with options: -b leaves bare references, -k keeps unset ones,
// -u and -e report unset and empty ones with their line; -s is
// model_shell_run's.
inline ModelRun model_run(std::string_view in, const std::vector<std::string> &list, bool given,
                          const std::vector<std::string> &env, const ModelOptions &options) {
    if (options.shell)
        return model_shell_run(in, list, given, env, options);
    ModelRun run;
    size_t line = 1;
    size_t i = 0;
    while (i < in.size()) {
        if (in[i] != '$') {
            line += in[i] == '\n';
            run.out += in[i++];
            continue;
        }
        size_t end = model_reference_end(in, i);
        std::string_view reference = in.substr(i, end - i);
        std::string name = model_name(reference);
        bool bare = reference.size() < 2 || reference[1] != '{';
        const std::string *entry = model_getenv(env, name);
        std::string where = "fillvars: line " + std::to_string(line) + ": \"" + model_escape(name);
        if (!model_allows(list, given || !options.prefixes.empty(), options, name) ||
            (options.braced && bare)) {
            run.out += reference;
        } else if (entry != nullptr) {
            std::string value = entry->substr(name.size() + 1);
            if (value.empty() && options.noempty)
                run.err += where + "\" is empty\n";
            run.out += value;
        } else {
            if (options.nounset)
                run.err += where + "\" is not set\n";
            if (options.keep)
                run.out += reference;
        }
        i = end;
    }
    return run;
}

// -s, the shell's rules. What the "$" at in[at] starts: "$$" (an escape), a
// variable ($NAME, ${NAME}), a form (${NAME OP WORD}), or nothing (the "$"
// alone is text).
struct ModelShellReference {
    enum { escape, variable, form, text } kind;
    size_t end; // one past its last byte
    std::string name;
    bool braced;
    bool colon;
    char op;
    size_t word, word_end;
    // The forms that read the value: op '#', '%', '/', '^', ',', ':' (the
    // substring), 'n' (${#NAME}), '@' (not read); mode as the program's.
    char mode = 0;
};

inline bool model_name_start(char c) {
    return c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

inline bool model_name_byte(char c) {
    return model_name_start(c) || (c >= '0' && c <= '9');
}

// The "}" that closes the form whose "$" is in[at], its word from in[from]:
// within 4096 bytes of the "$" and on its line; npos where none does. A NUL
// in the word makes the form one not read (model_nul).
inline size_t model_form_close(std::string_view in, size_t at, size_t from) {
    int open = 0;
    for (size_t j = from; j < in.size() && j - at + 1 <= 4096; j++) {
        if (in[j] == '\n')
            return std::string_view::npos;
        if (in[j] == '$' && j + 1 < in.size() && in[j + 1] == '{' && j + 1 - at + 1 <= 4096) {
            open++;
            j++;
        } else if (in[j] == '}' && open-- == 0) {
            return j;
        }
    }
    return std::string_view::npos;
}

// OFFSET or LENGTH of a substring in s from i: an integer without a leading
// zero, "-" allowed after spaces, inside "( )" or where minus_ok.
inline bool model_bound(std::string_view s, size_t &i, bool minus_ok, long long &v) {
    bool paren = i < s.size() && s[i] == '(';
    size_t j = i + paren;
    bool spaced = false;
    if (!paren)
        while (j < s.size() && s[j] == ' ')
            j++, spaced = true;
    bool minus = j < s.size() && s[j] == '-' && (paren || spaced || minus_ok);
    j += minus;
    size_t d = j;
    while (j < s.size() && s[j] >= '0' && s[j] <= '9')
        j++;
    if (j == d || (s[d] == '0' && j - d > 1))
        return false;
    v = 0;
    for (size_t q = d; q < j; q++)
        v = std::min<long long>(v * 10 + (s[q] - '0'), 1LL << 50);
    if (minus)
        v = -v;
    if (paren) {
        if (j >= s.size() || s[j] != ')')
            return false;
        j++;
    }
    i = j;
    return true;
}

inline bool model_substring(std::string_view s, long long &offset, bool &has_length,
                            long long &length) {
    size_t i = 0;
    if (!model_bound(s, i, false, offset))
        return false;
    has_length = i < s.size() && s[i] == ':';
    if (has_length && !model_bound(s, ++i, true, length))
        return false;
    return i == s.size();
}

// Which form r (op the byte after NAME) is, or '@' for one not read.
inline void model_classify(std::string_view in, ModelShellReference &r) {
    std::string_view rest = in.substr(r.word, r.word_end - r.word);
    char op = r.op;
    bool twice = !rest.empty() && rest[0] == op;
    if ((op == '#' || op == '%' || op == '^' || op == ',') && twice) {
        r.mode = op;
        r.word++;
    } else if (op == '/' && !rest.empty() && (rest[0] == '/' || rest[0] == '#' || rest[0] == '%')) {
        r.mode = rest[0];
        r.word++;
    }
    long long a = 0, b = 0;
    bool has = false;
    bool read = op == '#' || op == '%' || op == '/' || op == '^' || op == ',' ||
                (op == ':' && model_substring(rest, a, has, b));
    if (!read) {
        r.op = '@';
        r.word = r.word_end;
    }
}

// ${#NAME} at in[at], or ${#NAME OP ...} that is not read.
inline ModelShellReference model_length_reference(std::string_view in, size_t at) {
    ModelShellReference r = {ModelShellReference::text, at + 1, "", false, false, 0, 0, 0};
    size_t k = at + 3;
    while (k < in.size() && model_name_byte(in[k]))
        k++;
    if (k >= in.size() || k - at + 1 > 4096)
        return r;
    std::string name(in.substr(at + 3, k - at - 3));
    if (in[k] == '}')
        return {ModelShellReference::form, k + 1, name, true, false, 'n', k, k};
    if (std::string_view(":-=+?#%/^,@").find(in[k]) == std::string_view::npos)
        return r;
    size_t close = model_form_close(in, at, k + 1);
    if (close == std::string_view::npos)
        return r;
    return {ModelShellReference::form, close + 1, name, true, false, '@', close, close};
}

// Off: the grammar from before the forms that read the value, where such a
// form was text, for the property that a run with none of them is unchanged.
inline thread_local bool model_value_forms = true;

inline ModelShellReference model_shell_reference(std::string_view in, size_t at) {
    ModelShellReference r = {ModelShellReference::text, at + 1, "", false, false, 0, 0, 0};
    size_t i = at + 1;
    if (i < in.size() && in[i] == '$') {
        r.kind = ModelShellReference::escape;
        r.end = at + 2;
        return r;
    }
    if (i < in.size() && model_name_start(in[i])) {
        size_t k = i;
        while (k < in.size() && model_name_byte(in[k]))
            k++;
        r.kind = ModelShellReference::variable;
        r.name = std::string(in.substr(i, std::min<size_t>(k - i, 4095)));
        r.end = k;
        return r;
    }
    if (i >= in.size() || in[i] != '{')
        return r;
    if (model_value_forms && i + 2 < in.size() && in[i + 1] == '#' && model_name_start(in[i + 2]))
        return model_length_reference(in, at);
    size_t k = i + 1;
    while (k < in.size() && model_name_byte(in[k]))
        k++;
    if (k == i + 1 || !model_name_start(in[i + 1]) || k >= in.size())
        return r;
    std::string name(in.substr(i + 1, k - i - 1));
    // Whole within 4096 bytes of the "$", "}" included.
    auto fits = [&](size_t close) { return close - at + 1 <= 4096; };
    if (in[k] == '}') {
        if (!fits(k))
            return r;
        r.kind = ModelShellReference::variable;
        r.name = name;
        r.braced = true;
        r.end = k + 1;
        return r;
    }
    bool colon = in[k] == ':';
    size_t op = k + colon;
    if (op >= in.size())
        return r;
    bool common = std::string_view("-=+?").find(in[op]) != std::string_view::npos;
    if (!common &&
        (!model_value_forms || std::string_view(":#%/^,@").find(in[k]) == std::string_view::npos))
        return r;
    size_t close = model_form_close(in, at, common ? op + 1 : k + 1);
    if (close == std::string_view::npos)
        return r;
    bool nul = in.substr(k, close - k).find('\0') != std::string_view::npos;
    if (common && !nul)
        return {ModelShellReference::form, close + 1, name, true, colon, in[op], op + 1, close};
    if (nul)
        return {ModelShellReference::form, close + 1, name, true, false, '@', close, close};
    r = {ModelShellReference::form, close + 1, name, true, false, in[k], k + 1, close};
    model_classify(in, r);
    return r;
}

// The shell's patterns, matched plainly: the set of every place in the
// pattern that the bytes read so far can have reached, kept byte by byte.
struct ModelPatternItem {
    char kind; // 'b' a byte, '?' any, '*' any run, '[' a set
    char byte;
    std::vector<bool> set;
};

inline std::vector<ModelPatternItem> model_pattern_items(std::string_view p) {
    std::vector<ModelPatternItem> items;
    auto classy = [](std::string_view n, int c) {
        bool up = c >= 'A' && c <= 'Z', lo = c >= 'a' && c <= 'z', dg = c >= '0' && c <= '9';
        bool graph = c >= 33 && c <= 126;
        if (n == "alpha")
            return up || lo;
        if (n == "digit")
            return dg;
        if (n == "alnum")
            return up || lo || dg;
        if (n == "upper")
            return up;
        if (n == "lower")
            return lo;
        if (n == "space")
            return c == ' ' || (c >= 9 && c <= 13);
        if (n == "blank")
            return c == ' ' || c == '\t';
        if (n == "punct")
            return graph && !up && !lo && !dg;
        if (n == "xdigit")
            return dg || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (n == "cntrl")
            return c < 32 || c == 127;
        if (n == "graph")
            return graph;
        if (n == "print")
            return graph || c == ' ';
        return false;
    };
    size_t i = 0;
    while (i < p.size()) {
        char c = p[i];
        if (c == '*') {
            if (items.empty() || items.back().kind != '*')
                items.push_back({'*', 0, {}});
            i++;
            continue;
        }
        if (c == '?') {
            items.push_back({'?', 0, {}});
            i++;
            continue;
        }
        if (c == '\\' && i + 1 < p.size()) {
            items.push_back({'b', p[i + 1], {}});
            i += 2;
            continue;
        }
        if (c == '[') {
            std::vector<bool> set(256, false);
            size_t j = i + 1;
            bool neg = j < p.size() && (p[j] == '!' || p[j] == '^');
            j += neg;
            bool closed = false;
            for (bool first = true; j < p.size(); first = false) {
                if (p[j] == ']' && !first) {
                    closed = true;
                    break;
                }
                if (p.substr(j, 2) == "[:") {
                    size_t e = p.find(":]", j + 2);
                    if (e != std::string_view::npos) {
                        for (int b = 0; b < 256; b++)
                            if (classy(p.substr(j + 2, e - j - 2), b))
                                set[b] = true;
                        j = e + 2;
                        continue;
                    }
                }
                unsigned char lo = static_cast<unsigned char>(p[j]);
                if (p[j] == '\\' && j + 1 < p.size())
                    lo = static_cast<unsigned char>(p[++j]);
                j++;
                unsigned char hi = lo;
                if (j + 1 < p.size() && p[j] == '-' && p[j + 1] != ']') {
                    j++;
                    if (p[j] == '\\' && j + 1 < p.size())
                        j++;
                    hi = static_cast<unsigned char>(p[j++]);
                }
                for (int b = lo; b <= hi; b++)
                    set[b] = true;
            }
            if (closed) {
                if (neg)
                    set.flip();
                items.push_back({'[', 0, set});
                i = j + 1;
                continue;
            }
        }
        items.push_back({'b', c, {}});
        i++;
    }
    return items;
}

// Whether the item that is no '*' takes the byte c.
inline bool model_item_takes(const ModelPatternItem &it, char c) {
    return it.kind == '?' || (it.kind == 'b' && it.byte == c) ||
           (it.kind == '[' && it.set[static_cast<unsigned char>(c)]);
}

// The text read so far as a set of positions in items: at[k] when items
// [0, k) can match all of it. A '*' may match nothing, so reaching one
// reaches the item after it too.
inline void model_pattern_close(const std::vector<ModelPatternItem> &items, std::vector<char> &at) {
    for (size_t k = 0; k < items.size(); k++)
        if (at[k] && items[k].kind == '*')
            at[k + 1] = 1;
}

// ends[k]: whether items match all of s[0, k), for every k, in one pass over
// s that moves the set of positions on by each byte (a '*' stays where it is
// or the byte moves past any other item that takes it).
inline std::vector<char> model_pattern_prefixes(const std::vector<ModelPatternItem> &items,
                                                std::string_view s) {
    size_t m = items.size();
    std::vector<char> at(m + 1, 0), next(m + 1, 0), ends(s.size() + 1, 0);
    at[0] = 1;
    model_pattern_close(items, at);
    ends[0] = at[m];
    for (size_t j = 0; j < s.size(); j++) {
        std::fill(next.begin(), next.end(), 0);
        bool any = false;
        for (size_t k = 0; k < m; k++) {
            if (!at[k])
                continue;
            if (items[k].kind == '*')
                next[k] = any = true;
            else if (model_item_takes(items[k], s[j]))
                next[k + 1] = any = true;
        }
        if (!any)
            break;
        model_pattern_close(items, next);
        at.swap(next);
        ends[j + 1] = at[m];
    }
    return ends;
}

// ends[k]: whether items match all of the last k bytes of s. Each item
// takes one byte or a run, so the reversed items match the reversed bytes.
inline std::vector<char> model_pattern_suffixes(const std::vector<ModelPatternItem> &items,
                                                std::string_view s) {
    std::vector<ModelPatternItem> reversed(items.rbegin(), items.rend());
    return model_pattern_prefixes(reversed, std::string(s.rbegin(), s.rend()));
}

// The state of one -s run: assignments made so far, and the reports.
struct ModelShell {
    const std::vector<std::string> &list;
    bool given;
    const std::vector<std::string> &env;
    const ModelOptions &options;
    std::vector<std::pair<std::string, std::string>> assigned;
    std::string err;
};

inline const std::string *model_shell_value(ModelShell &m, const std::string &name) {
    for (const auto &a : m.assigned)
        if (a.first == name)
            return &a.second;
    static thread_local std::string value;
    const std::string *entry = model_getenv(m.env, name);
    if (entry == nullptr)
        return nullptr;
    value = entry->substr(name.size() + 1);
    return &value;
}

inline void model_shell_assign(ModelShell &m, const std::string &name, const std::string &value) {
    for (auto &a : m.assigned)
        if (a.first == name) {
            a.second = value;
            return;
        }
    m.assigned.emplace_back(name, value);
}

// A limit is in force (operands, a prefix or -b), or -k keeps what is unset.
// Under -s a "$$" then escapes only what the run replaces.
inline bool model_limited(bool given, const ModelOptions &options) {
    return given || !options.prefixes.empty() || options.braced || options.keep;
}

// Whether the run replaces r: its name allowed, and under -b braced.
inline bool model_replaces(const std::vector<std::string> &list, bool given,
                           const ModelOptions &options, const ModelShellReference &r) {
    return (r.kind == ModelShellReference::variable || r.kind == ModelShellReference::form) &&
           model_allows(list, given || !options.prefixes.empty(), options, r.name) &&
           !(options.braced && !r.braced);
}

// Where a "$$" at in[at] ends under a limit, as text: past the reference
// after its first "$" when the run replaces that one (the "$$" is then one
// "$"), else right after the "$$", which stays whole. Under -k the run
// replaces a reference whose variable is set (is_set(name)), or a form that
// gives its word when it is not.
template <typename IsSet>
inline size_t model_escape_end(std::string_view in, size_t at, const std::vector<std::string> &list,
                               bool given, const ModelOptions &options, IsSet is_set) {
    ModelShellReference after = model_shell_reference(in, at + 1);
    bool replaced = model_replaces(list, given, options, after);
    if (replaced && options.keep)
        replaced = (after.kind == ModelShellReference::form &&
                    std::string_view("-=+?").find(after.op) != std::string_view::npos) ||
                   is_set(after.name);
    return replaced ? after.end : at + 2;
}

// is_set of model_escape_end in a run: its assignments, then the environment.
inline auto model_set_in(ModelShell &m) {
    return [&m](const std::string &name) { return model_shell_value(m, name) != nullptr; };
}

inline std::string model_shell_expand(ModelShell &m, std::string_view text, size_t line);

// Where the reference at text[i] ends, as the expansion reads it.
inline size_t model_reference_end_shell(ModelShell &m, std::string_view text, size_t i) {
    ModelShellReference r = model_shell_reference(text, i);
    if (r.kind == ModelShellReference::escape && model_limited(m.given, m.options))
        return model_escape_end(text, i, m.list, m.given, m.options, model_set_in(m));
    return r.end;
}

// A pattern word expanded: its own backslashes kept, its references' values
// with theirs doubled.
inline std::string model_pattern_text(ModelShell &m, std::string_view text, size_t line) {
    std::string p;
    for (size_t i = 0; i < text.size();) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            p += text.substr(i, 2);
            i += 2;
        } else if (text[i] == '$') {
            size_t end = model_reference_end_shell(m, text, i);
            for (char c : model_shell_expand(m, text.substr(i, end - i), line)) {
                if (c == '\\')
                    p += '\\';
                p += c;
            }
            i = end;
        } else {
            p += text[i++];
        }
    }
    return p;
}

inline std::vector<ModelPatternItem> model_pattern(ModelShell &m, std::string_view text,
                                                   size_t line) {
    return model_pattern_items(model_pattern_text(m, text, line));
}

// What a form that reads the value gives for the set value v.
inline std::string model_value_form(ModelShell &m, std::string_view text,
                                    const ModelShellReference &r, const std::string &v, size_t line,
                                    const std::string &where) {
    std::string_view word = text.substr(r.word, r.word_end - r.word);
    size_t n = v.size();
    switch (r.op) {
    case 'n':
        return std::to_string(n);
    case '^':
    case ',': {
        std::string o = v;
        auto items = model_pattern(m, word, line);
        for (size_t i = 0; i < n && (i == 0 || r.mode != 0); i++) {
            char c = o[i];
            if (!items.empty() &&
                !model_pattern_prefixes(items, std::string_view(v).substr(i, 1))[1])
                continue;
            if (r.op == '^' && c >= 'a' && c <= 'z')
                o[i] = static_cast<char>(c - 32);
            if (r.op == ',' && c >= 'A' && c <= 'Z')
                o[i] = static_cast<char>(c + 32);
        }
        return o;
    }
    case ':': {
        long long off = 0, len = 0;
        bool has = false;
        model_substring(word, off, has, len);
        long long size = static_cast<long long>(n);
        if (off < 0)
            off += size;
        if (off < 0 || off > size)
            return "";
        long long to = !has ? size : len >= 0 ? std::min(size, off + len) : size + len;
        if (to < off) {
            m.err += where + "\": substring ends before it starts\n";
            return "";
        }
        return v.substr(static_cast<size_t>(off), static_cast<size_t>(to - off));
    }
    case '#':
    case '%': {
        if (n == 0)
            return "";
        auto items = model_pattern(m, word, line);
        bool longest = r.mode != 0;
        std::vector<char> ends =
            r.op == '#' ? model_pattern_prefixes(items, v) : model_pattern_suffixes(items, v);
        for (size_t t = 0; t <= n; t++) {
            size_t k = longest ? n - t : t;
            if (ends[k])
                return r.op == '#' ? v.substr(k) : v.substr(0, n - k);
        }
        return v;
    }
    default:
        break;
    }
    // '/': PATTERN up to the first "/" that no backslash escapes and no reference holds.
    size_t slash = r.mode == '/' && !word.empty() && word[0] == '/' ? 1 : 0;
    while (slash < word.size() && word[slash] != '/') {
        if (word[slash] == '\\' && slash + 1 < word.size())
            slash += 2;
        else if (word[slash] == '$')
            slash = std::max(slash + 1, model_reference_end_shell(m, word, slash));
        else
            slash++;
    }
    slash = std::min(slash, word.size());
    std::string pattern = model_pattern_text(m, word.substr(0, slash), line);
    char mode = r.mode;
    if (mode == 0 && !pattern.empty() && (pattern[0] == '#' || pattern[0] == '%')) {
        mode = pattern[0];
        pattern.erase(0, 1);
    }
    auto items = model_pattern_items(pattern);
    std::string with =
        slash < word.size() ? model_shell_expand(m, word.substr(slash + 1), line) : "";
    std::string_view sv(v);
    auto longest_at = [&](size_t i) -> long {
        std::vector<char> ends = model_pattern_prefixes(items, sv.substr(i));
        for (size_t k = n - i + 1; k-- > 0;)
            if (ends[k])
                return static_cast<long>(k);
        return -1;
    };
    if (mode == '#') {
        long k = longest_at(0);
        return k < 0 ? v : with + v.substr(static_cast<size_t>(k));
    }
    if (mode == '%') {
        std::vector<char> ends = model_pattern_suffixes(items, sv);
        for (size_t k = n + 1; k-- > 0;)
            if (ends[k])
                return v.substr(0, n - k) + with;
        return v;
    }
    if (items.empty())
        return v;
    std::string o;
    size_t i = 0;
    bool replaced = false;
    while (i < n || (n == 0 && !replaced)) {
        long k = (replaced && mode != '/') ? -1 : longest_at(i);
        if (k < 0) {
            if (n == 0)
                break;
            o += v[i++];
            continue;
        }
        o += with;
        replaced = true;
        i += static_cast<size_t>(k);
        if (k == 0)
            break;
    }
    return o + v.substr(std::min(i, n));
}
// Expands text as found on line; references in a used word on its form's.
inline std::string model_shell_expand(ModelShell &m, std::string_view text, size_t line) {
    std::string out;
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] != '$') {
            line += text[i] == '\n';
            out += text[i++];
            continue;
        }
        ModelShellReference r = model_shell_reference(text, i);
        std::string_view whole = text.substr(i, r.end - i);
        std::string where =
            "fillvars: line " + std::to_string(line) + ": \"" + model_escape(r.name);
        if (r.kind == ModelShellReference::escape && model_limited(m.given, m.options)) {
            size_t end = model_escape_end(text, i, m.list, m.given, m.options, model_set_in(m));
            out += end == i + 2 ? text.substr(i, 2) : text.substr(i + 1, end - i - 1);
            i = end;
            continue;
        }
        i = r.end;
        if (r.kind == ModelShellReference::escape || r.kind == ModelShellReference::text) {
            out += '$';
            continue;
        }
        if (!model_replaces(m.list, m.given, m.options, r)) {
            out += whole;
            continue;
        }
        const std::string *value = model_shell_value(m, r.name);
        if (r.kind == ModelShellReference::variable) {
            if (value == nullptr && m.options.nounset)
                m.err += where + "\" is not set\n";
            if (value != nullptr && value->empty() && m.options.noempty)
                m.err += where + "\" is empty\n";
            if (value != nullptr)
                out += *value;
            else if (m.options.keep)
                out += whole;
            continue;
        }
        if (std::string_view("-=+?").find(r.op) == std::string_view::npos) {
            if (r.op == '@') {
                m.err += "fillvars: line " + std::to_string(line) + ": \"" +
                         model_escape(std::string(whole)) + "\": not a form fillvars reads\n";
                out += whole;
                continue;
            }
            if (value == nullptr) {
                if (m.options.nounset)
                    m.err += where + "\" is not set\n";
                if (m.options.keep)
                    out += whole;
                else if (r.op == 'n')
                    out += '0';
                continue;
            }
            std::string v = *value;
            if (v.empty() && m.options.noempty)
                m.err += where + "\" is empty\n";
            out += model_value_form(m, text, r, v, line, where);
            continue;
        }
        bool set = value != nullptr;
        bool empty = set && value->empty();
        bool use_word = r.op == '+' ? set && !(r.colon && empty) : !set || (r.colon && empty);
        if (!use_word) {
            if (set && r.op != '+')
                out += *value;
            continue;
        }
        std::string word = model_shell_expand(m, text.substr(r.word, r.word_end - r.word), line);
        if (r.op == '-' || r.op == '+') {
            out += word;
        } else if (r.op == '=') {
            out += word;
            model_shell_assign(m, r.name, word);
        } else if (word.empty()) {
            m.err += where + (set ? "\" is empty\n" : "\" is not set\n");
        } else {
            m.err += where + "\": " + model_escape(word) + "\n";
        }
    }
    return out;
}

inline ModelRun model_shell_run(std::string_view in, const std::vector<std::string> &list,
                                bool given, const std::vector<std::string> &env,
                                const ModelOptions &options) {
    ModelShell m = {list, given, env, options, {}, ""};
    ModelRun run;
    run.out = model_shell_expand(m, in, 1);
    run.err = m.err;
    return run;
}

// Whether any "$" of in starts a form that reads the value, or one not read.
inline bool model_has_value_forms(std::string_view in) {
    for (size_t i = 0; i < in.size(); i++) {
        if (in[i] != '$')
            continue;
        ModelShellReference r = model_shell_reference(in, i);
        if (r.kind == ModelShellReference::form &&
            std::string_view("-=+?").find(r.op) == std::string_view::npos)
            return true;
    }
    return false;
}

// -r: the names of the references that the run replaces, each once, in the
// order they first appear; under -s those in every form's word too, used or
// not, and none that a "$$" escapes (under -k, as the environment has them:
// nothing is assigned).
inline void model_shell_names(std::string_view text, const std::vector<std::string> &list,
                              bool given, const std::vector<std::string> &env,
                              const ModelOptions &options, std::vector<std::string> &names) {
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] != '$') {
            i++;
            continue;
        }
        ModelShellReference r = model_shell_reference(text, i);
        if (r.kind == ModelShellReference::escape && model_limited(given, options)) {
            i = model_escape_end(text, i, list, given, options, [&env](const std::string &name) {
                return model_getenv(env, name) != nullptr;
            });
            continue;
        }
        i = r.end;
        if (!model_replaces(list, given, options, r))
            continue;
        if (std::find(names.begin(), names.end(), r.name) == names.end())
            names.push_back(r.name);
        if (r.kind == ModelShellReference::form)
            model_shell_names(text.substr(r.word, r.word_end - r.word), list, given, env, options,
                              names);
    }
}

inline std::string model_references(std::string_view in, const std::vector<std::string> &list,
                                    bool given, const std::vector<std::string> &env,
                                    const ModelOptions &options) {
    std::vector<std::string> names;
    if (options.shell) {
        model_shell_names(in, list, given, env, options, names);
    } else {
        for (size_t i = 0; i < in.size(); i++) {
            if (in[i] != '$')
                continue;
            size_t end = model_reference_end(in, i);
            std::string_view reference = in.substr(i, end - i);
            std::string name = model_name(reference);
            bool bare = reference.size() < 2 || reference[1] != '{';
            if (model_allows(list, given || !options.prefixes.empty(), options, name) &&
                !(options.braced && bare) &&
                std::find(names.begin(), names.end(), name) == names.end())
                names.push_back(name);
            i = end - 1;
        }
    }
    std::string out;
    for (const std::string &name : names)
        out += name + "\n";
    return out;
}
