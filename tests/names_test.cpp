// Name syntax, operand intake and membership, as tables of cases.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "name_table.hpp"
#include "names.hpp"
#include "noted_names.hpp"

namespace {

// The longest name kept, stated here rather than taken from the code under test.
const std::string max_name(4095, 'x');

struct ExtractCase {
    std::string text;
    std::string name;
};

TEST(ExtractName, Forms) {
    const std::vector<ExtractCase> cases = {
        {"HOME", "HOME"},
        {"$HOME", "HOME"},
        {"${HOME}", "HOME"},
        {"${HOME", "HOME"},
        // A brace without "$" belongs to the name; the first "}" ends it.
        {"{HOME}", "{HOME"},
        {"HO}ME", "HO"},
        {"${HOME}/bin", "HOME"},
        {"$", ""},
        {"${}", ""},
        {"", ""},
        {"}", ""},
        // Only one "$" and the "{" right after it are taken off.
        {"$$A", "$A"},
        {"$${A}", "${A"},
        {"${{A}", "{A"},
        {"$A$B", "A$B"},
        {"$USER!", "USER!"},
        {"$HOME/bin", "HOME/bin"},
        {"\xff\x01\x7f", "\xff\x01\x7f"},
    };
    for (const ExtractCase &c : cases) {
        SCOPED_TRACE("text: " + c.text);
        EXPECT_EQ(extract_name(c.text.c_str()), c.name);
    }
}

// The limit is counted after "$" or "${"; a "}" past it is never seen.
TEST(ExtractName, LengthLimit) {
    const std::vector<ExtractCase> cases = {
        {max_name, max_name},
        {max_name + "y", max_name},
        {"$" + max_name, max_name},
        {"$" + max_name + "y", max_name},
        {"${" + max_name + "}", max_name},
        {"${" + max_name + "yz}", max_name},
        {"$" + max_name + "}", max_name},
        {"${" + max_name.substr(1) + "}", max_name.substr(1)},
        {std::string(3000, 'a') + "}" + std::string(3000, 'b'), std::string(3000, 'a')},
    };
    for (const ExtractCase &c : cases) {
        SCOPED_TRACE("text length " + std::to_string(c.text.size()));
        std::string name = extract_name(c.text.c_str());
        EXPECT_EQ(name.size(), c.name.size());
        EXPECT_EQ(name, c.name);
    }
}

class NameListTest : public ::testing::Test {
  protected:
    void TearDown() override {
        name_list_release();
    }

    static void add_operands(const std::vector<std::string> &operands) {
        for (const std::string &operand : operands) {
            // The operand is cut in place, as argv would be.
            std::vector<char> copy(operand.begin(), operand.end());
            copy.push_back('\0');
            name_list_add_operand(copy.data());
        }
    }

    static std::vector<std::string> names() {
        std::vector<std::string> result;
        for (uint64_t i = 0; i < name_list.count; i++)
            result.emplace_back(name_list.items[i]);
        return result;
    }
};

struct IntakeCase {
    std::vector<std::string> operands;
    std::vector<std::string> names;
};

TEST_F(NameListTest, OperandIntake) {
    const std::vector<IntakeCase> cases = {
        {{}, {}},
        {{"HOME"}, {"HOME"}},
        {{"$HOME"}, {"HOME"}},
        {{"${HOME}"}, {"HOME"}},
        {{"${HOME"}, {"HOME"}},
        {{"HOME,USER"}, {"HOME", "USER"}},
        {{"${HOME},$USER,SHELL"}, {"HOME", "USER", "SHELL"}},
        // Runs of commas separate fields; empty fields add nothing.
        {{"A,,B"}, {"A", "B"}},
        {{",A,"}, {"A"}},
        {{""}, {}},
        {{","}, {}},
        {{",,,", ""}, {}},
        // The empty name is a name.
        {{"$"}, {""}},
        {{"${}"}, {""}},
        {{"$,${}"}, {"", ""}},
        {{"$$A", "$${A}"}, {"$A", "${A"}},
        {{"{HOME}", "HO}ME"}, {"{HOME", "HO"}},
        // A comma splits before the name is extracted.
        {{"${A,B}"}, {"A", "B"}},
        // Duplicates stay, in operand order and field order.
        {{"A", "A,B"}, {"A", "A", "B"}},
        {{"B,A", "C", "A"}, {"B", "A", "C", "A"}},
        {{"X," + max_name + "yz,Y"}, {"X", max_name, "Y"}},
        {{"${" + max_name + "}"}, {max_name}},
    };
    for (const IntakeCase &c : cases) {
        std::string label;
        for (const std::string &operand : c.operands)
            label += "[" + operand.substr(0, 40) + "]";
        SCOPED_TRACE("operands: " + label);
        add_operands(c.operands);
        EXPECT_EQ(name_list.count, c.names.size());
        EXPECT_EQ(names(), c.names);
        name_list_release();
        EXPECT_EQ(name_list.count, 0u);
        EXPECT_EQ(name_list.items, nullptr);
    }
}

struct ContainsCase {
    std::vector<std::string> operands;
    std::string name;
    bool allowed;
};

TEST_F(NameListTest, Contains) {
    const std::vector<ContainsCase> cases = {
        // No operands: every name may be replaced, even the empty one.
        {{}, "HOME", true},
        {{}, "", true},
        {{}, "anything at all", true},
        {{"HOME"}, "HOME", true},
        {{"HOME"}, "home", false},
        {{"HOME"}, "HOME2", false},
        {{"HOME"}, "HOM", false},
        {{"HOME"}, "", false},
        {{"$"}, "", true},
        // Operands that name nothing still limit: they allow nothing.
        {{""}, "A", false},
        {{""}, "", false},
        {{",,", ","}, "A", false},
        {{"$"}, "A", false},
        {{"A,B", "C"}, "B", true},
        {{"A,B", "C"}, "C", true},
        {{"A,B", "C"}, "D", false},
        {{"A", "A"}, "A", true},
        {{"$$A"}, "$A", true},
        {{"$$A"}, "A", false},
        {{max_name + "y"}, max_name, true},
        {{max_name + "y"}, max_name + "y", false},
    };
    for (const ContainsCase &c : cases) {
        std::string label;
        for (const std::string &operand : c.operands)
            label += "[" + operand.substr(0, 40) + "]";
        SCOPED_TRACE("operands: " + label + " name: " + c.name.substr(0, 40));
        add_operands(c.operands);
        EXPECT_EQ(name_list_contains(c.name.c_str()), c.allowed);
        name_list_release();
    }
}

// A list that grows after it was consulted answers for the names added since.
TEST_F(NameListTest, ContainsAfterGrowth) {
    add_operands({"HOME"});
    EXPECT_FALSE(name_list_contains("USER"));
    add_operands({"USER"});
    EXPECT_TRUE(name_list_contains("USER"));
    EXPECT_TRUE(name_list_contains("HOME"));
    name_list_release();
    EXPECT_TRUE(name_list_contains("USER"));
    add_operands({"SHELL"});
    EXPECT_FALSE(name_list_contains("USER"));
    EXPECT_TRUE(name_list_contains("SHELL"));
}

struct PrefixCase {
    std::vector<std::string> prefixes;
    std::string name;
    bool allowed;
};

// Prefixes that begin one another, in either order, and bytes above 0x7f:
// the lookup keeps only the shortest of a run and compares bytes unsigned.
TEST_F(NameListTest, PrefixAllows) {
    const std::vector<PrefixCase> cases = {
        {{"HO"}, "HOST", true},
        {{"HO"}, "H", false},
        {{"HO"}, "HO", true},
        {{"HO"}, "", false},
        {{""}, "", true},
        {{"", "A"}, "B", true},
        {{"A", ""}, "B", true},
        {{"AB", "A"}, "AC", true},
        {{"A", "AB"}, "AC", true},
        {{"A", "AB"}, "B", false},
        {{"AB", "AC", "B"}, "AA", false},
        {{"AB", "AC", "B"}, "AD", false},
        {{"AB", "AC", "B"}, "ACE", true},
        {{"AB", "AC", "B"}, "BB", true},
        {{"AB", "AC", "B"}, "C", false},
        {{"APP_", "APP_X", "APP", "DB"}, "APPLE", true},
        {{"APP_X", "APP_Y"}, "APP_", false},
        {{"APP_X", "APP_Y"}, "APP_Z", false},
        {{"\x7f", "\xc3\xa9"}, "\xc3\xa9t\xc3\xa9", true},
        {{"\x7f", "\xc3\xa9"}, "\xc3", false},
        {{"\xc3\xa9", "z"}, "zz", true},
        {{"A", "A"}, "AA", true},
    };
    for (const PrefixCase &c : cases) {
        std::string label;
        for (const std::string &prefix : c.prefixes)
            label += "[" + prefix + "]";
        SCOPED_TRACE("prefixes: " + label + " name: " + c.name);
        for (const std::string &prefix : c.prefixes)
            name_list_add_prefix(prefix.c_str());
        EXPECT_EQ(name_prefix_allows(c.name.data(), c.name.size()), c.allowed);
        EXPECT_EQ(name_list_contains(c.name.c_str()), c.allowed);
        name_list_release();
    }
}

// A prefix added after a lookup is looked up too.
TEST_F(NameListTest, PrefixAddedAfterALookup) {
    name_list_add_prefix("B");
    EXPECT_FALSE(name_prefix_allows("AX", 2));
    name_list_add_prefix("A");
    EXPECT_TRUE(name_prefix_allows("AX", 2));
    EXPECT_TRUE(name_prefix_allows("BX", 2));
}

// A lookup compares a name with a few prefixes, not with each of them:
// 20,000 prefixes take at most 16 comparisons a name, counted here, not timed.
// With "A" and "Z" too the prefixes that begin with "P" are one run of 20,000
// to search; without them each prefix is a run of its own.
TEST_F(NameListTest, PrefixLookupIsBounded) {
    const int count = 20000;
    for (bool short_ones : {true, false}) {
        SCOPED_TRACE(short_ones ? "with A and Z" : "one length");
        char prefix[32];
        for (int i = 0; i < count; i++) {
            // Given out of order, and each also with a longer one that it begins.
            std::snprintf(prefix, sizeof prefix, "P%05d_", (i * 7919) % count);
            name_list_add_prefix(prefix);
            std::snprintf(prefix, sizeof prefix, "P%05d_X", (i * 7919) % count);
            name_list_add_prefix(prefix);
        }
        if (short_ones) {
            name_list_add_prefix("Z");
            name_list_add_prefix("A");
        }
        const std::vector<std::pair<std::string, bool>> names = {
            {"P00000_A", true},    {"P19999_", true},
            {"P12345_HOST", true}, {"P12345", false},
            {"P20000_", false},    {"P0", false},
            {"", false},           {"P12345_X", true},
            {"P1234_", false},     {"Q", false},
            {"P", false},          {"B12345_", false},
            {"P12345\xff", false}, {"A", short_ones},
            {"ZZ", short_ones},    {"AP00001_", short_ones},
        };
        for (const auto &[name, allowed] : names) {
            SCOPED_TRACE("name: " + name);
            uint64_t before = name_prefix_comparisons();
            EXPECT_EQ(name_prefix_allows(name.data(), name.size()), allowed);
            EXPECT_LE(name_prefix_comparisons() - before, 16u);
        }
        name_list_release();
    }
}

// Every key is found as itself and only as itself: keys of every length
// around the word size, which differ in one byte or only in length.
TEST(NameTable, FindsEachKeyAlone) {
    std::vector<std::string> keys;
    for (size_t length = 0; length <= 17; length++)
        for (char c : std::string("ab=$}")) {
            keys.push_back(std::string(length, 'k') + c);
            keys.push_back(c + std::string(length, 'k'));
            if (length > 1)
                keys.push_back(std::string(length / 2, 'k') + c +
                               std::string(length - length / 2, 'k'));
        }
    for (size_t i = 0; i < 2000; i++)
        keys.push_back("E" + std::to_string(i));
    NameTable table;
    name_table_build(&table, keys.size());
    std::vector<std::string> values;
    for (size_t i = 0; i < keys.size(); i++)
        values.push_back(std::to_string(i));
    for (size_t i = 0; i < keys.size(); i++)
        name_table_put(&table, keys[i].data(), keys[i].size(), values[i].c_str());
    for (size_t i = 0; i < keys.size(); i++) {
        const NameSlot *slot = name_table_find(&table, keys[i].data(), keys[i].size());
        ASSERT_NE(slot, nullptr) << keys[i];
        // A key put twice keeps its first value.
        size_t first =
            static_cast<size_t>(std::find(keys.begin(), keys.end(), keys[i]) - keys.begin());
        EXPECT_STREQ(slot->value, values[first].c_str()) << keys[i];
    }
    for (const std::string &missing :
         std::vector<std::string>{"E2000", "E-1", "", "kkkkkkkkc", "E19999"})
        EXPECT_EQ(name_table_find(&table, missing.data(), missing.size()), nullptr) << missing;
    name_table_free(&table);
}

// Each key alone in a table finds only itself, and with both keys put each
// finds its own value.
void expect_told_apart(const std::string &a, const std::string &b) {
    NameTable table;
    name_table_build(&table, 2);
    name_table_put(&table, a.data(), a.size(), "a");
    EXPECT_EQ(name_table_find(&table, b.data(), b.size()), nullptr);
    name_table_put(&table, b.data(), b.size(), "b");
    const NameSlot *found_a = name_table_find(&table, a.data(), a.size());
    const NameSlot *found_b = name_table_find(&table, b.data(), b.size());
    ASSERT_NE(found_a, nullptr);
    ASSERT_NE(found_b, nullptr);
    EXPECT_STREQ(found_a->value, "a");
    EXPECT_STREQ(found_b->value, "b");
    name_table_free(&table);
}

std::string shown(const std::string &key) {
    std::string out;
    for (unsigned char c : key) {
        char hex[5];
        std::snprintf(hex, sizeof hex, c >= 0x21 && c < 0x7f ? "%c" : "\\x%02x", c);
        out += hex;
    }
    return out;
}

// Short keys are compared as one number: keys that differ only before a last
// byte of 0x80 or above (where a sign-extended byte would cover the others)
// stay apart, for every first and middle byte.
TEST(NameTable, ShortKeysDifferingBeforeAHighLastByte) {
    for (int last : {0x80, 0xa9, 0xc3, 0xff}) {
        for (int other = 0; other < 256; other++) {
            if (other == 'a')
                continue;
            std::string tail(1, static_cast<char>(last));
            std::vector<std::pair<std::string, std::string>> pairs = {
                {"a" + tail, std::string(1, static_cast<char>(other)) + tail},
                {"am" + tail, std::string(1, static_cast<char>(other)) + "m" + tail},
                {"ma" + tail, "m" + std::string(1, static_cast<char>(other)) + tail},
            };
            for (const auto &pair : pairs) {
                SCOPED_TRACE("keys " + shown(pair.first) + " and " + shown(pair.second));
                expect_told_apart(pair.first, pair.second);
                if (HasFailure())
                    return;
            }
        }
    }
}

// The inverse of an odd number modulo 2^64 (Newton's iteration).
uint64_t inverse(uint64_t odd) {
    uint64_t x = odd;
    for (int i = 0; i < 6; i++)
        x *= 2 - odd * x;
    return x;
}

// Two different keys of length bytes with the same hash_name, found by
// undoing its last multiplies (odd, so invertible). A key of 9 to 16 bytes is
// hashed as two words that overlap in 16 - length bytes: the second key's
// first word is solved for from its last word, over every value of the bytes
// they share, until the solution holds those bytes (lengths 14 to 16 take at
// most 65,536 tries for each last byte). A longer key is hashed a word at a time and then its
// tail: the first word is solved for from the others.
std::pair<std::string, std::string> colliding_keys(size_t length) {
    const uint64_t odd = 0x9e3779b97f4a7c15ull, back = inverse(odd);
    std::string a = "NAME_ONE" + std::string(length - 8, 'x');
    uint64_t before = hash_name(a.data(), length).hash * back; // before the last multiply
    std::string b(length, 'y');
    uint64_t first;
    if (length > 16) {
        size_t tail = length - 16;
        uint64_t second;
        std::memcpy(&second, &b[8], 8);
        uint64_t state = (before ^ load_short(&b[16], tail)) * back;
        first = (state ^ second) * back ^ length;
        std::memcpy(&b[0], &first, 8);
        return {a, b};
    }
    size_t shared = 16 - length;
    // A few last bytes, in case no value of the shared ones works with one.
    for (char end = 'a'; end <= 'z'; end++) {
        b[length - 1] = end;
        for (uint64_t value = 0; value < (uint64_t{1} << (8 * shared)); value++) {
            for (size_t i = 0; i < shared; i++)
                b[length - 8 + i] = static_cast<char>(value >> (8 * i));
            uint64_t last;
            std::memcpy(&last, &b[length - 8], 8);
            first = ((before ^ last) * back) ^ length;
            char word[8];
            std::memcpy(word, &first, 8);
            if (std::memcmp(word + (length - 8), &b[length - 8], shared) == 0) {
                std::memcpy(&b[0], word, 8);
                return {a, b};
            }
        }
    }
    return {a, a};
}

// Two keys of length bytes (24 or more) with the same hash_name that differ
// only in two of their words: the one numbered changed (from 0), and the one
// numbered solved, a full word after it, which undoes the change to the hash.
// A compare that skips inner words takes them for the same key.
std::pair<std::string, std::string> inner_colliding_keys(size_t length, size_t changed,
                                                         size_t solved) {
    const uint64_t odd = 0x9e3779b97f4a7c15ull;
    std::string a;
    while (a.size() < length)
        a += "WORD_" + std::to_string(a.size() / 8 + 100);
    a.resize(length);
    std::string b = a;
    b.replace(8 * changed, 8, "CHANGED_");
    // The hash before the solved word: the length, then each word in turn.
    uint64_t before_a = length, before_b = length;
    for (size_t i = 0; i < solved; i++) {
        before_a = (before_a ^ load_8(&a[8 * i])) * odd;
        before_b = (before_b ^ load_8(&b[8 * i])) * odd;
    }
    uint64_t word = before_a ^ before_b ^ load_8(&a[8 * solved]);
    std::memcpy(&b[8 * solved], &word, 8);
    return {a, b};
}

// Keys of 8 to 16 bytes, and longer ones, are found by their 64-bit hash, so
// two that share it must still be told apart by their bytes.
TEST(NameTable, LongKeysWithTheSameHash) {
    std::vector<std::pair<std::string, std::string>> pairs;
    for (size_t length : {14, 15, 16, 17, 20, 23})
        pairs.push_back(colliding_keys(length));
    // Past 24 bytes keys are compared a word at a time, then by their last
    // word: pairs that differ only in two inner words, which a compare that
    // skips words takes for one key.
    struct Inner {
        size_t length, changed, solved;
    };
    for (Inner row : {Inner{25, 1, 2}, Inner{32, 1, 3}, Inner{40, 1, 3}, Inner{45, 1, 3},
                      Inner{48, 1, 3}, Inner{56, 1, 5}, Inner{64, 3, 5}, Inner{100, 1, 9}})
        pairs.push_back(inner_colliding_keys(row.length, row.changed, row.solved));
    for (const std::pair<std::string, std::string> &keys : pairs) {
        size_t length = keys.first.size();
        SCOPED_TRACE("keys " + shown(keys.first) + " and " + shown(keys.second));
        ASSERT_NE(keys.first, keys.second) << "no collision found for length " << length;
        NameHash a = hash_name(keys.first.data(), keys.first.size());
        NameHash b = hash_name(keys.second.data(), keys.second.size());
        // If this fails, hash_name has changed and colliding_keys must follow it.
        ASSERT_EQ(a.hash, b.hash) << "the keys computed to collide do not";
        ASSERT_EQ(a.check, b.check) << "the keys computed to collide do not";
        expect_told_apart(keys.first, keys.second);
    }
}

// A lookup in a table left with no empty slot would never end. Every count
// of keys (all small ones, and around each power of two) must leave the
// table able to answer for a key it lacks. Each runs in a child process that
// an alarm ends, so a hang fails in seconds and says at which count.
TEST(NameTable, LookupsEndAtEveryCount) {
    std::vector<size_t> counts;
    for (size_t count = 0; count <= 40; count++)
        counts.push_back(count);
    for (size_t power = 64; power <= 8192; power *= 2)
        for (size_t count : {power - 1, power, power + 1})
            counts.push_back(count);
    const unsigned limit = 10;
    for (size_t count : counts) {
        pid_t child = fork();
        ASSERT_GE(child, 0) << "fork failed";
        if (child == 0) {
            alarm(limit);
            std::vector<std::string> keys;
            for (size_t i = 0; i < count; i++)
                keys.push_back("K" + std::to_string(i));
            NameTable table;
            name_table_build(&table, count);
            for (const std::string &key : keys)
                name_table_put(&table, key.data(), key.size(), "");
            bool right = name_table_find(&table, "missing", 7) == nullptr;
            for (const std::string &key : keys)
                right = right && name_table_find(&table, key.data(), key.size()) != nullptr;
            _exit(right ? 0 : 1);
        }
        int status = 0;
        waitpid(child, &status, 0);
        if (WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM)
            ADD_FAILURE() << "a table of " << count << " keys: the lookups did not end within "
                          << limit << " s (is the table full?)";
        else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            ADD_FAILURE() << "a table of " << count << " keys: a lookup went wrong (status "
                          << status << ")";
        if (HasFailure())
            return;
    }
}

// -r notes each name once: the empty name, names alike but for their length
// or their last byte, keys that share a hash, the longest names; again after
// the table has grown many times, from bytes that are then overwritten.
TEST(NotedNames, EachNameOnce) {
    std::vector<std::string> names = {"",   "a",  "aa",     "aaa",
                                      "ab", "ba", max_name, max_name.substr(1) + "y"};
    for (size_t length = 1; length <= 40; length++)
        names.push_back(std::string(length - 1, 'n') + "\xff");
    for (size_t length : {14, 16, 17, 23}) {
        std::pair<std::string, std::string> keys = colliding_keys(length);
        names.push_back(keys.first);
        names.push_back(keys.second);
    }
    for (size_t i = 0; i < 100000; i++)
        names.push_back("K" + std::to_string(i));
    for (int round = 0; round < 2; round++) {
        for (const std::string &name : names) {
            std::string input = name;
            bool added = noted_names_add(input.data(), input.size());
            input.assign(input.size(), '?');
            ASSERT_EQ(added, round == 0) << "round " << round << ", name " << shown(name);
        }
    }
    noted_names_release();
    EXPECT_TRUE(noted_names_add("a", 1)) << "released names are noted again";
    noted_names_release();
}

// Ten million names must fit in memory: the most the names and their table
// hold at once, growth included, is their bytes and at most 100 bytes more a
// name (and a chunk of the arena that is not full yet).
TEST(NotedNames, MemoryPerName) {
    const size_t count = 1000000;
    size_t name_bytes = 0;
    for (size_t i = 0; i < count; i++) {
        std::string name = "N" + std::to_string(i * 7919);
        name_bytes += name.size();
        ASSERT_TRUE(noted_names_add(name.data(), name.size()));
    }
    size_t peak = noted_names_peak_bytes();
    noted_names_release();
    EXPECT_LE(peak, name_bytes + 100 * count + (1 << 20) + 64)
        << (peak - name_bytes) / count << " bytes a name beyond its own";
}

} // namespace
