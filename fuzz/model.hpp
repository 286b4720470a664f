// An independent statement of the rules the fuzzers check the program
// against, written plainly and without the program's own helpers.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
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

// A name as reports show it: quote and backslash escaped, C0 controls and
// DEL as \xHH, the UTF-8 encodings of U+0080 to U+009F as \u00HH.
inline std::string model_escape(std::string_view name) {
    std::string out;
    for (size_t i = 0; i < name.size(); i++) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        char hex[8];
        if (c == 0xc2 && i + 1 < name.size() && static_cast<unsigned char>(name[i + 1]) >= 0x80 &&
            static_cast<unsigned char>(name[i + 1]) <= 0x9f) {
            std::snprintf(hex, sizeof hex, "\\u00%02x", static_cast<unsigned char>(name[++i]));
            out += hex;
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 32 || c == 127) {
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
    bool nounset, noempty, keep, braced;
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

// The filter with options: -b leaves bare references, -k keeps unset ones,
// -u and -e report unset and empty ones with their line.
inline ModelRun model_run(std::string_view in, const std::vector<std::string> &list, bool given,
                          const std::vector<std::string> &env, const ModelOptions &options) {
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
