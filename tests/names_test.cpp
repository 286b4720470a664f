// Name syntax, operand intake and membership, as tables of cases.
#include <gtest/gtest.h>

#include <algorithm>

#include <string>
#include <vector>

#include "names.hpp"

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

} // namespace
