// The stream filter driven in memory: input and output are memfds, the
// environment is set by each case, and the block size is the test's to choose.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <set>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "charset.hpp"
#include "env_file.hpp"
#include "escape.hpp"
#include "io.hpp"
#include "names.hpp"
#include "substitute.hpp"

extern char **environ;

namespace {

struct StreamCase {
    std::string label;
    std::vector<std::string> operands;
    std::vector<std::pair<std::string, std::string>> env;
    std::string input;
    std::string expected;
    Rules rules = {};
    std::vector<std::string> prefixes = {};
    std::string expected_err = "";
    int status = 0;
    // -f: the files to read, in order, and the files the case writes first.
    std::vector<std::string> env_files = {};
    std::vector<std::pair<std::string, std::string>> files = {};
    // -E FORMAT:NAMES, each list by its format.
    std::vector<std::pair<EscapeFormat, std::string>> escape_lists = {};
    bool every_other_given = false;
    // The locales it runs in (LC_ALL); none named: both of every_locale.
    std::vector<std::string> locales = {};
};

// The C locale's bytes and UTF-8's characters: a case that names no locale
// gives the same in both.
const std::vector<std::string> every_locale = {"C", "C.UTF-8"};

// Whether this system has C.UTF-8: under qemu for a big-endian CPU the
// host's locale files cannot be read, and the C library falls back to C.
static bool utf8_here() {
    static const bool here = [] {
        bool found = std::setlocale(LC_CTYPE, "C.UTF-8") != nullptr;
        std::setlocale(LC_CTYPE, "C");
        return found;
    }();
    return here;
}

// The locales a case runs in here: those it names, or both of every_locale,
// less C.UTF-8 where the system lacks it (none, for a case that names only
// that). A locale a case names as missing stays: it is the C locale.
std::vector<std::string> locales_of(const StreamCase &c) {
    std::vector<std::string> here;
    for (const std::string &locale : c.locales.empty() ? every_locale : c.locales)
        if (locale != "C.UTF-8" || utf8_here())
            here.push_back(locale);
    return here;
}

// -E's argument: FORMAT, or FORMAT:NAMES; false for what only the program
// reports (an unknown format, FORMAT alone twice).
bool apply_escape(StreamCase *c, const std::string &argument) {
    size_t colon = argument.find(':');
    std::string name = argument.substr(0, colon);
    EscapeFormat format;
    if (!escape_format_parse(name.data(), name.size(), &format))
        return false;
    if (colon != std::string::npos) {
        c->escape_lists.emplace_back(format, argument.substr(colon + 1));
        return true;
    }
    if (c->every_other_given)
        return false;
    c->every_other_given = true;
    c->rules.escape = format;
    return true;
}

// Shows bytes so that a CR, a NUL or a byte past ASCII is visible.
std::string escaped(const std::string &bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        char hex[5];
        switch (c) {
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\\':
            out += "\\\\";
            break;
        default:
            if (c >= 0x20 && c < 0x7f) {
                out += static_cast<char>(c);
            } else {
                std::snprintf(hex, sizeof hex, "\\x%02x", c);
                out += hex;
            }
        }
    }
    if (out.size() > 400)
        out = out.substr(0, 200) + "...(" + std::to_string(bytes.size()) + " bytes)..." +
              out.substr(out.size() - 200);
    return out;
}

// Everything written to fd, from its start.
std::string read_back(int fd) {
    std::string data;
    lseek(fd, 0, SEEK_SET);
    char chunk[65536];
    ssize_t n;
    while ((n = read(fd, chunk, sizeof chunk)) > 0)
        data.append(chunk, static_cast<size_t>(n));
    return data;
}

std::string run_filter(const std::string &input, size_t block_size, Rules rules = {},
                       uint64_t *reported = nullptr) {
    int in = memfd_create("in", 0);
    int out = memfd_create("out", 0);
    if (in < 0 || out < 0) {
        ADD_FAILURE() << "memfd_create failed";
        return "";
    }
    EXPECT_EQ(write(in, input.data(), input.size()), static_cast<ssize_t>(input.size()));
    lseek(in, 0, SEEK_SET);
    uint64_t count = substitute_stream(in, out, block_size, rules);
    if (reported != nullptr)
        *reported = count;
    std::string result = read_back(out);
    close(in);
    close(out);
    return result;
}

// What loading a case's -f files wrote on standard error, when it failed.
struct Loaded {
    bool failed;
    std::string err;
};

Loaded env_files_loaded = {};

// Writes the case's files into a folder of their own, and loads the files
// that -f names from there, as the program does from where it runs, with
// the case's -u and -e.
Loaded load_env_files(const StreamCase &c, Rules rules) {
    env_files_release();
    if (c.env_files.empty())
        return {};
    char folder[] = "/tmp/fillvars-env-XXXXXX";
    if (mkdtemp(folder) == nullptr) {
        ADD_FAILURE() << "mkdtemp failed";
        return {};
    }
    for (const auto &file : c.files) {
        std::ofstream(std::string(folder) + "/" + file.first, std::ios::binary) << file.second;
    }
    int here = open(".", O_RDONLY | O_DIRECTORY);
    int err = memfd_create("err", 0);
    int saved = dup(STDERR_FILENO);
    EXPECT_EQ(chdir(folder), 0);
    dup2(err, STDERR_FILENO);
    for (const std::string &path : c.env_files)
        env_file_add(path.c_str());
    bool ok = env_files_load(rules);
    dup2(saved, STDERR_FILENO);
    EXPECT_EQ(fchdir(here), 0);
    close(saved);
    close(here);
    Loaded result = {!ok, read_back(err)};
    close(err);
    for (const auto &file : c.files)
        unlink((std::string(folder) + "/" + file.first).c_str());
    rmdir(folder);
    return result;
}

class SubstituteTest : public ::testing::Test {
  protected:
    void TearDown() override {
        name_list_release();
        env_files_release();
        escape_release();
        clearenv();
        std::setlocale(LC_CTYPE, "C");
    }

    // The case's environment, and LC_ALL set to locale where one is given,
    // which the run's locale then follows as the program's does; returns the
    // case's rules in it.
    static Rules prepare(const StreamCase &c, const char *locale = nullptr) {
        name_list_release();
        escape_release();
        for (const auto &list : c.escape_lists) {
            const char *refused;
            if (!escape_names_add(list.first, list.second.c_str(), &refused))
                ADD_FAILURE() << "a name in two lists: " << refused;
        }
        // The files' values see the environment, as the run does.
        clearenv();
        for (const auto &var : c.env)
            setenv(var.first.c_str(), var.second.c_str(), 1);
        std::setlocale(LC_CTYPE, "C");
        Rules rules = c.rules;
        if (locale != nullptr) {
            setenv("LC_ALL", locale, 1);
            rules.characters = (rules.shell || !c.env_files.empty()) && charset_from_environment();
        }
        env_files_loaded = load_env_files(c, rules);
        for (const std::string &operand : c.operands) {
            std::vector<char> copy(operand.begin(), operand.end());
            copy.push_back('\0');
            name_list_add_operand(copy.data());
        }
        for (const std::string &prefix : c.prefixes)
            name_list_add_prefix(prefix.c_str());
        return rules;
    }
};

// The case folder's path, taken before any test clears the environment.
const std::string cases_path = [] {
    const char *path = std::getenv("FILLVARS_CASES");
    return std::string(path == nullptr ? "" : path);
}();

// Decodes a value of the case file (its escapes are described at its top).
bool decode(const std::string &text, std::string *out, std::string *error) {
    out->clear();
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] != '\\') {
            *out += text[i];
            continue;
        }
        char escape = i + 1 < text.size() ? text[++i] : '\0';
        switch (escape) {
        case 'n':
            *out += '\n';
            break;
        case 'r':
            *out += '\r';
            break;
        case 't':
            *out += '\t';
            break;
        case '0':
            *out += '\0';
            break;
        case 's':
            *out += ' ';
            break;
        case '\\':
            *out += '\\';
            break;
        case 'x':
            if (i + 2 >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
                !std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
                *error = "\\x needs two hexadecimal digits";
                return false;
            }
            *out += static_cast<char>(std::strtoul(text.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
            break;
        case '*': {
            size_t open = text.find('{', i);
            size_t close = open == std::string::npos ? open : text.find('}', open);
            std::string count = text.substr(i + 1, open == std::string::npos ? 0 : open - i - 1);
            if (close == std::string::npos || count.empty() ||
                count.find_first_not_of("0123456789") != std::string::npos ||
                text.find('\\', open) < close) {
                *error = "a repetition is \\*COUNT{TEXT}";
                return false;
            }
            std::string unit = text.substr(open + 1, close - open - 1);
            for (unsigned long n = std::strtoul(count.c_str(), nullptr, 10); n > 0; n--)
                *out += unit;
            i = close;
            break;
        }
        default:
            *error = "unknown escape";
            return false;
        }
    }
    return true;
}

// Takes the options that change what a reference becomes, as the program's
// parser would from one argument (short forms, "-p", "-f" and "-E" with the
// rest of the argument or the next one, which *wants then names); false for any other
// argument that starts with "-".
bool apply_option(StreamCase *c, const std::string &argument, char *wants) {
    for (size_t i = 1; i < argument.size(); i++) {
        switch (argument[i]) {
        case 'u':
            c->rules.nounset = true;
            break;
        case 'e':
            c->rules.noempty = true;
            break;
        case 'k':
            c->rules.keep = true;
            break;
        case 'b':
            c->rules.braced = true;
            break;
        case 's':
            c->rules.shell = true;
            break;
        case 'r':
            c->rules.references = true;
            break;
        case 'p':
        case 'f':
        case 'E':
            if (i + 1 >= argument.size())
                *wants = argument[i];
            else if (argument[i] == 'p')
                c->prefixes.push_back(argument.substr(i + 1));
            else if (argument[i] == 'f')
                c->env_files.push_back(argument.substr(i + 1));
            else
                return apply_escape(c, argument.substr(i + 1));
            return true;
        default:
            return false;
        }
    }
    return argument.size() > 1;
}

// Puts one decoded "key: value" line into a case; returns what is wrong with it.
std::string apply(StreamCase *c, const std::string &key, const std::string &value, char *wants) {
    const char *needs_program = "needs the program: put the case in a file only e2e.py reads";
    size_t equals = value.find('=');
    if (key == "arg" && *wants == 'E') {
        *wants = 0;
        if (!apply_escape(c, value))
            return "the format " + value + " " + needs_program;
    } else if (key == "arg" && *wants != 0) {
        (*wants == 'p' ? c->prefixes : c->env_files).push_back(value);
        *wants = 0;
    } else if (key == "arg" && !value.empty() && value[0] == '-') {
        if (!apply_option(c, value, wants))
            return "the option " + value + " " + needs_program;
    } else if (key == "arg")
        c->operands.push_back(value);
    else if (key == "env" && equals == std::string::npos)
        return "an environment entry is NAME=VALUE";
    else if (key == "env")
        c->env.emplace_back(value.substr(0, equals), value.substr(equals + 1));
    else if (key == "input")
        c->input = value;
    else if (key == "output")
        c->expected = value;
    else if (key == "stderr")
        c->expected_err = value;
    else if (key == "status" && (value == "0" || value == "1"))
        c->status = value[0] - '0';
    else if (key == "locale" && !value.empty())
        c->locales.push_back(value);
    else if (key == "file" && (value.empty() || value.find('/') != std::string::npos))
        return "a file is named by a plain file name";
    else if (key == "file")
        c->files.emplace_back(value, "");
    else if ((key == "line" || key == "content") && c->files.empty())
        return "\"" + key + ":\" comes after \"file:\"";
    else if (key == "line")
        c->files.back().second += value + "\n";
    else if (key == "content")
        c->files.back().second += value;
    else
        return "not a case line: \"" + key + "\"";
    return "";
}

// Reads the cases of the file at path; on a malformed file, says where.
bool load_cases(const std::string &path, std::vector<StreamCase> *cases, std::string *error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        *error = "cannot read the case file \"" + path + "\"";
        return false;
    }
    std::string file_name = path.substr(path.rfind('/') + 1);
    std::string line;
    std::string problem;
    int number = 0;
    bool open = false;
    char wants = 0;
    while (problem.empty() && std::getline(file, line)) {
        number++;
        if (line.empty()) {
            open = false;
            continue;
        }
        if (line[0] == '#')
            continue;
        size_t colon = line.find(':');
        std::string key = line.substr(0, colon);
        std::string raw = colon == std::string::npos ? "" : line.substr(colon + 1);
        std::string value;
        if (line.back() == ' ' || line.back() == '\t')
            problem = "a trailing space or tab (write it as \\s or \\t)";
        else if (colon == std::string::npos || (!raw.empty() && raw[0] != ' '))
            problem = "a line is \"key: value\"";
        else if (decode(raw.empty() ? raw : raw.substr(1), &value, &problem) && key == "case") {
            cases->emplace_back();
            wants = 0;
            cases->back().label = file_name + ":" + std::to_string(number) + ": " + value;
            open = true;
        } else if (problem.empty() && !open)
            problem = "a case starts with \"case:\"";
        else if (problem.empty())
            problem = apply(&cases->back(), key, value, &wants);
    }
    if (!problem.empty())
        *error = path + ":" + std::to_string(number) + ": " + problem;
    return error->empty();
}

// Every *.txt file of the case folder, in name order.
bool load_case_folder(const std::string &folder, std::vector<StreamCase> *cases,
                      std::string *error) {
    DIR *dir = opendir(folder.c_str());
    if (dir == nullptr) {
        *error =
            "cannot read the case folder \"" + folder + "\" (FILLVARS_CASES must name tests/cases)";
        return false;
    }
    std::vector<std::string> files;
    while (dirent *entry = readdir(dir)) {
        std::string file = entry->d_name;
        if (file.size() > 4 && file.compare(file.size() - 4, 4, ".txt") == 0)
            files.push_back(folder + "/" + file);
    }
    closedir(dir);
    std::sort(files.begin(), files.end());
    for (const std::string &file : files) {
        if (!load_cases(file, cases, error))
            return false;
    }
    if (cases->empty())
        *error = folder + ": no cases";
    return error->empty();
}

// The reference rule's cases, shared with the end-to-end test; read once.
const std::vector<StreamCase> &stream_cases() {
    static std::string error;
    static std::vector<StreamCase> cases;
    static bool loaded = load_case_folder(cases_path, &cases, &error);
    if (!loaded)
        ADD_FAILURE() << error;
    return cases;
}

// What a run writes on standard output and standard error (caught in a
// memfd), and how many references it reported.
struct Reported {
    std::string out;
    std::string err;
    uint64_t count;
};

Reported run_reporting(const std::string &input, size_t block_size, Rules rules) {
    int err = memfd_create("err", 0);
    std::fflush(stderr);
    int saved = dup(STDERR_FILENO);
    dup2(err, STDERR_FILENO);
    Reported run;
    run.out = run_filter(input, block_size, rules, &run.count);
    std::fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);
    run.err = read_back(err);
    close(err);
    return run;
}

// A run of a case: the filter's, or the failed load of its files, which
// ends the run before any input is read.
Reported run_case(const StreamCase &c, size_t block_size, Rules rules) {
    if (env_files_loaded.failed)
        return {"", env_files_loaded.err, 1};
    Reported run = run_reporting(c.input, block_size, rules);
    run.err = env_files_loaded.err + run.err;
    return run;
}

// Whether a run gave what the case expects; if not, says how it differs.
bool expect_run(const StreamCase &c, const Reported &run, size_t block) {
    bool same =
        run.out == c.expected && run.err == c.expected_err && (run.count > 0 ? 1 : 0) == c.status;
    EXPECT_TRUE(same) << "  block size " << block << "\n  input:    " << escaped(c.input)
                      << "\n  expected: " << escaped(c.expected)
                      << "\n  actual:   " << escaped(run.out)
                      << "\n  expected stderr: " << escaped(c.expected_err)
                      << "\n  actual stderr:   " << escaped(run.err) << "\n  status expected "
                      << c.status << ", reports " << run.count;
    return same;
}

TEST_F(SubstituteTest, Table) {
    for (const StreamCase &c : stream_cases()) {
        for (const std::string &locale : locales_of(c)) {
            SCOPED_TRACE(c.label + " [LC_ALL=" + locale + "]");
            Rules rules = prepare(c, locale.c_str());
            expect_run(c, run_case(c, BLOCK_SIZE, rules), BLOCK_SIZE);
        }
    }
}

// The block sizes at which a case can break: every small one, every one with
// an edge 4093 to 4102 bytes into a reference (where "${" and a name at the
// 4095-byte limit fill the window carried from block to block, and where a
// longer reference is cut), and the input's length and one past it.
std::set<size_t> edge_block_sizes(const std::string &input) {
    std::set<size_t> sizes;
    for (size_t block = 1; block <= 64; block++)
        sizes.insert(block);
    std::set<size_t> edges;
    for (size_t at = input.find('$'); at != std::string::npos; at = input.find('$', at + 1)) {
        for (size_t edge = at + 4093; edge <= at + 4102 && edge < input.size(); edge++)
            edges.insert(edge);
    }
    // Each edge's divisors in pairs, up to its square root: a long input
    // holds thousands of edges.
    for (size_t edge : edges) {
        for (size_t d = 1; d * d <= edge; d++) {
            if (edge % d != 0)
                continue;
            for (size_t block : {d, edge / d}) {
                if (block >= 65)
                    sizes.insert(block);
            }
        }
    }
    if (!input.empty())
        sizes.insert(input.size());
    sizes.insert(input.size() + 1);
    return sizes;
}

// Where the block edges fall must not matter. The sweep over every case and
// block size takes tens of seconds on a busy machine, so it is cut into
// slices (every sixteenth run of a case at a block size), each a test of its
// own, well inside its limit.
constexpr size_t BLOCK_EDGE_SLICES = 16;

class BlockEdgeSlice : public SubstituteTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(BlockEdgeSlice, BlockEdgeIndependence) {
    size_t run = 0;
    for (const StreamCase &c : stream_cases()) {
        // The walk is the same in every locale: a case runs in its first.
        std::vector<std::string> locales = locales_of(c);
        if (locales.empty())
            continue;
        const std::string &locale = locales[0];
        SCOPED_TRACE(c.label + " [LC_ALL=" + locale + "]");
        bool prepared = false;
        Rules rules = c.rules;
        for (size_t block : edge_block_sizes(c.input)) {
            if (run++ % BLOCK_EDGE_SLICES != GetParam())
                continue;
            if (!prepared)
                rules = prepare(c, locale.c_str());
            prepared = true;
            if (!expect_run(c, run_case(c, block, rules), block))
                break;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(SubstituteTest, BlockEdgeSlice,
                         ::testing::Range<size_t>(0, BLOCK_EDGE_SLICES));

// A reference in every position of a line, so some block edge cuts each byte
// of "${A}" and of the bare form.
TEST_F(SubstituteTest, BlockEdgesAcrossEveryOffset) {
    prepare({"", {}, {{"A", "1"}, {"AB", "2"}}, "", ""});
    for (size_t pad = 0; pad < 8; pad++) {
        std::string lead(pad, '.');
        std::string input = lead + "${A}|$AB ${AB}x$A\r\n" + lead + "${A";
        std::string expected = lead + "1|2 2x1\r\n" + lead + "1";
        for (size_t block = 1; block <= input.size() + 1; block++) {
            std::string output = run_filter(input, block);
            ASSERT_EQ(output, expected)
                << "block size " << block << "\n  input:  " << escaped(input)
                << "\n  actual: " << escaped(output);
        }
    }
}

// References after every gap of 0 to 69 bytes (and a few far longer), with
// every name length of 1 to 40, bare and braced, so that each byte of the 64
// that a block's walk looks at together is, somewhere, a "$", the first or
// last byte of a name, or its stop. Names are set, empty or unset; gaps hold
// NULs and line feeds; by the plain rule only, names hold a "$" or a byte up
// to ' ' that ends none. By the plain rule, by the shell's, and in the words
// of forms, which are walked apart; whole and cut into blocks.
TEST_F(SubstituteTest, ReferencesAtEveryOffset) {
    std::vector<std::string> names;
    for (size_t length = 1; length <= 40; length++) {
        std::string name;
        for (size_t i = 0; i < length; i++)
            name += static_cast<char>(i == 0 ? 'A' + length % 26 : 'a' + (length * 7 + i) % 26);
        names.push_back(name);
        // Every third is unset, every fifth empty.
        if (length % 3 != 0)
            setenv(name.c_str(), length % 5 == 0 ? "" : ("v" + std::to_string(length)).c_str(), 1);
    }
    setenv("Ctl\x01x", "c", 1);
    setenv("D$x", "d", 1);
    std::vector<size_t> gaps;
    for (size_t gap = 0; gap < 70; gap++)
        gaps.push_back(gap);
    for (size_t gap : {100, 150, 200})
        gaps.push_back(gap);
    enum Mode { plain, shell, words };
    for (Mode mode : {plain, shell, words}) {
        SCOPED_TRACE(mode == plain ? "plain" : mode == shell ? "-s" : "-s, in words");
        // A word holds no line feed, NUL or "}" of its own.
        const std::string gap_bytes =
            mode == words ? "tt t\tt.:-" : std::string("t\0t \tt\nt.:-", 12);
        // A bare name ends at a byte that ends one by either rule.
        const std::string stops = mode == words ? " \t\r" : std::string(" \t\n\r}\0", 6);
        std::string input, expected, word, word_expected;
        size_t turn = 0;
        for (size_t gap : gaps) {
            for (const std::string &name : names) {
                for (bool braced : {false, true}) {
                    turn++;
                    std::string text;
                    for (size_t i = 0; i < gap; i++)
                        text += gap_bytes[(turn + i * 5) % gap_bytes.size()];
                    const char *value = std::getenv(name.c_str());
                    std::string with = value != nullptr ? value : "";
                    std::string stop(1, stops[turn % stops.size()]);
                    std::string reference = braced ? "${" + name + "}" : "$" + name + stop;
                    word += text + reference;
                    word_expected += text + with + (braced ? "" : stop);
                    if (mode == plain && turn % 7 == 0) {
                        bool holds_dollar = turn % 2 == 0;
                        word += holds_dollar ? "$D$x " : "$Ctl\x01x ";
                        word_expected += holds_dollar ? "d " : "c ";
                    }
                    // Words are kept well within the longest a form may be.
                    if (mode != words || word.size() > 3000) {
                        input += mode == words ? "${UNSET:-" + word + "}\n" : word;
                        expected += word_expected + (mode == words ? "\n" : "");
                        word.clear();
                        word_expected.clear();
                    }
                }
            }
        }
        Rules rules = {};
        rules.shell = mode != plain;
        for (size_t block : {size_t{65536}, size_t{4096}, size_t{1000}, size_t{97}, size_t{33}}) {
            std::string output = run_filter(input, block, rules);
            size_t differ = 0;
            while (differ < output.size() && differ < expected.size() &&
                   output[differ] == expected[differ])
                differ++;
            ASSERT_EQ(output.size(), expected.size()) << "block size " << block;
            ASSERT_EQ(differ, output.size())
                << "block size " << block << ", first difference at " << differ
                << "\n  expected: " << escaped(expected.substr(differ >= 40 ? differ - 40 : 0, 80))
                << "\n  actual:   " << escaped(output.substr(differ >= 40 ? differ - 40 : 0, 80));
        }
    }
}

// -e changes no output, but the walk it takes is built with the tests of the
// options that change the walk (-b, -e, a list): it must write as the one
// without them, for every case, wherever the block edges fall.
TEST_F(SubstituteTest, WalksWithTheOptionsTestsWriteAsThoseWithout) {
    for (const StreamCase &c : stream_cases()) {
        if (c.rules.noempty || c.rules.braced || !c.operands.empty() || !c.prefixes.empty())
            continue;
        std::vector<std::string> locales = locales_of(c);
        if (locales.empty())
            continue;
        SCOPED_TRACE(c.label);
        Rules rules = prepare(c, locales[0].c_str());
        Rules with_e = rules;
        with_e.noempty = true;
        for (size_t block : {size_t{1}, size_t{7}, size_t{64}, BLOCK_SIZE}) {
            std::string without = run_case(c, block, rules).out;
            std::string with = run_case(c, block, with_e).out;
            ASSERT_EQ(escaped(without), escaped(with)) << "block size " << block;
        }
    }
}

std::string report(int line, const std::string &name) {
    return "fillvars: line " + std::to_string(line) + ": \"" + name + "\" is not set\n";
}

const std::string pad(5000, 'p');
const std::string long_name = "L" + std::string(9000, 'n');

std::string sixteen_byte_lines(size_t count) {
    std::string lines;
    for (size_t i = 0; i < count; i++)
        lines += "fifteen bytes..\n";
    return lines;
}

// Cases for -u: what a case expects is what it reports on standard error.
std::vector<StreamCase> unset_cases() {
    return {
        {"set, empty and unset",
         {},
         {{"A", "1"}, {"E", ""}},
         "$A ${E} $U\n${U}x\n",
         report(1, "U") + report(2, "U")},
        {"unlisted names are not reported",
         {"U"},
         {},
         "$V ${U}\n$V $U\n",
         report(1, "U") + report(2, "U")},
        {"empty name", {}, {}, "a $ b\n${}\n$", report(1, "") + report(2, "") + report(3, "")},
        {"escaped names",
         {},
         {},
         "${a\"b} ${c\\d}\n${e\x1b[31m} ${\x7f\x01}",
         report(1, "a\\\"b") + report(1, "c\\\\d") + report(2, "e\\x1b[31m") +
             report(2, "\\x7f\\x01")},
        {"CR is not a line feed",
         {},
         {},
         "a\r\n$U\r\r$V\r\n\r\n$W",
         report(2, "U") + report(2, "V") + report(4, "W")},
        {"many lines, then one far along",
         {},
         {{"A", "1"}},
         std::string(300, '\n') + "$A $U\n" + pad + "\n\n$V",
         report(301, "U") + report(304, "V")},
        // Line feeds are counted 16 bytes at a time into byte-wide sums, which
        // must be added up before they wrap: long runs of them, and lines of 16
        // bytes, whose feeds all fall in one lane, 4096 bytes and far past.
        {"long runs of line feeds",
         {},
         {},
         "$U" + std::string(5000, '\n') + "$U\n" + std::string(20000, '\n') + "${U}",
         report(1, "U") + report(5001, "U") + report(25002, "U")},
        {"lines of 16 bytes",
         {},
         {},
         "$U\n" + sixteen_byte_lines(300) + "$U\n" + sixteen_byte_lines(3000) + "x $U",
         report(1, "U") + report(302, "U") + report(3303, "U")},
        {"longer than the carried window",
         {},
         {},
         "\n\n$" + long_name + " $U\n${" + long_name + "}$U\n",
         report(3, long_name.substr(0, 4095)) + report(3, "U") +
             report(4, long_name.substr(0, 4095)) + report(4, "U")},
        {"longer than the carried window, not reported",
         {"U"},
         {},
         "\n\n$" + long_name + " $U\n${" + long_name + "}$U\n",
         report(3, "U") + report(4, "U")},
    };
}

// -u reports the same lines, and writes the same output as without it,
// wherever the block edges fall.
TEST_F(SubstituteTest, NounsetReportsDoNotDependOnBlockEdges) {
    Rules nounset = {};
    nounset.nounset = true;
    for (const StreamCase &c : unset_cases()) {
        SCOPED_TRACE(c.label);
        prepare(c);
        std::string plain = run_filter(c.input, BLOCK_SIZE);
        size_t expected_count =
            static_cast<size_t>(std::count(c.expected.begin(), c.expected.end(), '\n'));
        for (size_t block : edge_block_sizes(c.input)) {
            Reported checked = run_reporting(c.input, block, nounset);
            ASSERT_EQ(checked.out, plain) << "block size " << block;
            ASSERT_EQ(checked.err, c.expected) << "block size " << block;
            ASSERT_EQ(checked.count, expected_count) << "block size " << block;
        }
    }
}

// How a report must show one byte of a name that is no part of a UTF-8
// sequence: a byte past ASCII alone is never valid UTF-8.
std::string shown(unsigned char c) {
    char hex[8];
    if (c == '\\' || c == '"')
        return std::string("\\") + static_cast<char>(c);
    if (c < 0x20 || c >= 0x7f) {
        std::snprintf(hex, sizeof hex, "\\x%02x", c);
        return hex;
    }
    return std::string(1, static_cast<char>(c));
}

// Every byte a name can hold goes through the escaping, alone and after a
// C2 byte: C2 80 to C2 BF are U+0080 to U+00BF, of which the C1 controls and
// the soft hyphen (a format character) are escaped as \u00HH, the rest kept;
// after any other byte a C2 starts no sequence.
TEST_F(SubstituteTest, ReportsEscapeEveryByte) {
    Rules nounset = {};
    nounset.nounset = true;
    prepare({"", {}, {}, "", ""});
    std::string ends = std::string(" \t\r\n}", 5) + '\0';
    for (int b = 0; b < 256; b++) {
        unsigned char c = static_cast<unsigned char>(b);
        if (ends.find(static_cast<char>(c)) != std::string::npos)
            continue;
        std::string alone = std::string(1, static_cast<char>(c));
        std::string pair = "\xc2" + alone;
        std::string second = "\\xc2" + shown(c);
        if ((c >= 0x80 && c <= 0x9f) || c == 0xad) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\u00%02x", c);
            second = hex;
        } else if (c >= 0xa0 && c <= 0xbf) {
            second = pair;
        }
        Reported run = run_reporting("${" + alone + "}${" + pair + "}", BLOCK_SIZE, nounset);
        EXPECT_EQ(run.err, report(1, shown(c)) + report(1, second)) << "byte " << b;
    }
}

// A long name is escaped in pieces; a character must be escaped or kept
// whole wherever the pieces are cut: a C1 pair after a run of C2 bytes (C2
// C2 9B is a lone C2, then CSI), and sequences of three and four bytes.
TEST_F(SubstituteTest, ReportsEscapeCharactersInLongNames) {
    Rules nounset = {};
    nounset.nounset = true;
    prepare({"", {}, {}, "", ""});
    struct Tail {
        std::string bytes, shown;
    };
    for (size_t before = 1015; before <= 1030; before++) {
        std::vector<Tail> tails = {{"\xe2\x80\x8by", "\\u200by"},
                                   {"\xe2\x82\xacy", "\xe2\x82\xacy"},
                                   {"\xf0\x9f\x99\x82y", "\xf0\x9f\x99\x82y"},
                                   {"\xf3\xa0\x80\x81y", "\\U000e0001y"}};
        for (size_t run = 1; run <= 3; run++)
            tails.push_back({std::string(run, '\xc2') + "\x9by", [&] {
                                 std::string lone;
                                 for (size_t i = 1; i < run; i++)
                                     lone += "\\xc2";
                                 return lone + "\\u009by";
                             }()});
        for (const Tail &tail : tails) {
            std::string name = std::string(before, 'x') + tail.bytes;
            Reported got = run_reporting("$" + name + "\n", BLOCK_SIZE, nounset);
            EXPECT_EQ(got.err, report(1, std::string(before, 'x') + tail.shown))
                << before << " bytes, then " << escaped(tail.bytes);
        }
    }
}

// Reports go out in pieces of any size: a full buffer, then names at the
// limit made only of bytes that are escaped as four.
TEST_F(SubstituteTest, ReportsOfTheLongestEscapedNames) {
    Rules nounset = {};
    nounset.nounset = true;
    prepare({"", {}, {}, "", ""});
    std::string input, expected;
    for (int i = 0; i < 2000; i++) {
        input += "${short_name_" + std::to_string(i) + "} ";
        expected += report(1, "short_name_" + std::to_string(i));
    }
    std::string escaped_name;
    for (int i = 0; i < 4095; i++)
        escaped_name += "\\x01";
    for (int i = 0; i < 40; i++) {
        input += "${" + std::string(5000, '\x01') + "} ";
        expected += report(1, escaped_name);
    }
    for (size_t block : {size_t{1000}, size_t{4099}, BLOCK_SIZE}) {
        Reported run = run_reporting(input, block, nounset);
        ASSERT_EQ(run.err, expected) << "block size " << block;
        ASSERT_EQ(run.count, 2040u);
    }
}

// getenv finds the first entry for a name; so must the lookup.
TEST_F(SubstituteTest, FirstEnvironmentEntryWins) {
    static char first[] = "A=first";
    static char second[] = "A=second";
    static char other[] = "B=b";
    static char *entries[] = {first, other, second, nullptr};
    environ = entries;
    EXPECT_EQ(run_filter("$A $B\n", BLOCK_SIZE), "first b\n");
    environ = nullptr;
}

// An Output to memory (an assignment's word) holds what is written and
// grows only when that does not fit: written again and again from its start,
// as a word built and used, it keeps the size of the longest; written on, it
// stays within twice what it holds, long writes and short ones alike. The
// discarding Output (-r -u's forms) holds nothing, whatever it is given.
TEST(Output, GrowsOnlyAsNeeded) {
    const std::string value(20000, 'v');
    Output word = {-1, nullptr, nullptr, nullptr};
    for (int i = 0; i < 100; i++) {
        word.next = word.data;
        output_write(&word, value.data(), value.size());
        output_write(&word, "x", 1);
        ASSERT_EQ(std::string(word.data, word.next), value + "x");
    }
    EXPECT_LE(word.limit - word.data, 2 * 20001);
    word.next = word.data;
    std::string expected;
    for (size_t i = 0; i < 300; i++) {
        std::string piece = i % 3 == 0 ? value : std::string(i, 'a' + i % 26);
        output_write(&word, piece.data(), piece.size());
        expected += piece;
        ASSERT_LE(word.limit - word.data, static_cast<ptrdiff_t>(2 * expected.size()));
    }
    EXPECT_EQ(std::string(word.data, word.next), expected);
    std::free(word.data);

    Output discarded = {DISCARD, nullptr, nullptr, nullptr};
    for (size_t length : {size_t{0}, size_t{1}, size_t{16}, size_t{100}, value.size()})
        output_write(&discarded, value.data(), length);
    EXPECT_EQ(discarded.data, nullptr);
    EXPECT_EQ(discarded.next, discarded.limit);
}

} // namespace
