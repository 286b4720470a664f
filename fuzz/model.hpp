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
};

inline bool model_name_start(char c) {
    return c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

inline bool model_name_byte(char c) {
    return model_name_start(c) || (c >= '0' && c <= '9');
}

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
    if (op >= in.size() || std::string_view("-=+?").find(in[op]) == std::string_view::npos)
        return r;
    int open = 0;
    for (size_t j = op + 1; j < in.size() && fits(j); j++) {
        if (in[j] == '\n' || in[j] == '\0')
            return r;
        if (in[j] == '$' && j + 1 < in.size() && in[j + 1] == '{' && fits(j + 1)) {
            open++;
            j++;
        } else if (in[j] == '}' && open-- == 0) {
            r = {ModelShellReference::form, j + 1, name, true, colon, in[op], op + 1, j};
            return r;
        }
    }
    return r;
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

// A limit is in force: operands, a prefix or -b. Under -s a "$$" then
// escapes only what the run replaces.
inline bool model_limited(bool given, const ModelOptions &options) {
    return given || !options.prefixes.empty() || options.braced;
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
// "$"), else right after the "$$", which stays whole.
inline size_t model_escape_end(std::string_view in, size_t at, const std::vector<std::string> &list,
                               bool given, const ModelOptions &options) {
    ModelShellReference after = model_shell_reference(in, at + 1);
    return model_replaces(list, given, options, after) ? after.end : at + 2;
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
            size_t end = model_escape_end(text, i, m.list, m.given, m.options);
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

// -r: the names of the references that the run replaces, each once, in the
// order they first appear; under -s those in every form's word too, used or
// not, and none that a "$$" escapes.
inline void model_shell_names(std::string_view text, const std::vector<std::string> &list,
                              bool given, const ModelOptions &options,
                              std::vector<std::string> &names) {
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] != '$') {
            i++;
            continue;
        }
        ModelShellReference r = model_shell_reference(text, i);
        if (r.kind == ModelShellReference::escape && model_limited(given, options)) {
            i = model_escape_end(text, i, list, given, options);
            continue;
        }
        i = r.end;
        if (!model_replaces(list, given, options, r))
            continue;
        if (std::find(names.begin(), names.end(), r.name) == names.end())
            names.push_back(r.name);
        if (r.kind == ModelShellReference::form)
            model_shell_names(text.substr(r.word, r.word_end - r.word), list, given, options,
                              names);
    }
}

inline std::string model_references(std::string_view in, const std::vector<std::string> &list,
                                    bool given, const ModelOptions &options) {
    std::vector<std::string> names;
    if (options.shell) {
        model_shell_names(in, list, given, options, names);
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
