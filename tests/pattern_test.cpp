// The pattern matcher read as characters (a UTF-8 locale) and as bytes, as
// tables of cases through the library's own functions.
#include <gtest/gtest.h>

#include <clocale>
#include <string>
#include <vector>

#include "pattern.hpp"

namespace {

// What the forms make of a match, spelled as the shell's forms.
enum class Form { shortest_prefix, longest_prefix, shortest_suffix, longest_suffix, each, whole };

std::string apply(Form form, const std::string &pattern, const std::string &value,
                  bool characters) {
    Pattern *p = pattern_read(pattern.data(), pattern.size(), characters);
    const char *s = value.data();
    size_t n = value.size();
    std::string out;
    switch (form) {
    case Form::shortest_prefix:
    case Form::longest_prefix: {
        long taken = pattern_prefix(p, s, n, form == Form::longest_prefix);
        out = taken < 0 ? "-" : value.substr(static_cast<size_t>(taken));
        break;
    }
    case Form::shortest_suffix:
    case Form::longest_suffix: {
        long taken = pattern_suffix(p, s, n, form == Form::longest_suffix);
        out = taken < 0 ? "-" : value.substr(0, n - static_cast<size_t>(taken));
        break;
    }
    case Form::each: {
        // As ${V//P/.} does it.
        size_t done = 0, length = 0;
        do {
            long at = pattern_find(p, s, n, done, &length);
            if (at < 0)
                break;
            out += value.substr(done, static_cast<size_t>(at) - done) + ".";
            done = static_cast<size_t>(at) + length;
        } while (done < n && length > 0);
        out += value.substr(done);
        break;
    }
    case Form::whole:
        out = pattern_whole(p, s, n) ? "yes" : "no";
        break;
    }
    pattern_free(p);
    return out;
}

struct Case {
    Form form;
    std::string pattern, value;
    std::string as_characters, as_bytes;
};

// Runs the cases under C.UTF-8, where the classes know characters past ASCII.
void check(const std::vector<Case> &cases) {
    std::string saved = std::setlocale(LC_CTYPE, nullptr);
    if (std::setlocale(LC_CTYPE, "C.UTF-8") == nullptr)
        GTEST_SKIP() << "no C.UTF-8 locale here";
    for (const Case &c : cases) {
        EXPECT_EQ(apply(c.form, c.pattern, c.value, true), c.as_characters)
            << "pattern " << c.pattern << " on " << c.value << ", as characters";
        EXPECT_EQ(apply(c.form, c.pattern, c.value, false), c.as_bytes)
            << "pattern " << c.pattern << " on " << c.value << ", as bytes";
    }
    std::setlocale(LC_CTYPE, saved.c_str());
}

TEST(PatternCharacters, AnyAndStarTakeCharacters) {
    check({
        {Form::each, "?", "Zoë-app", ".......", "........"},
        {Form::shortest_prefix, "?", "éa", "a",
         "\xa9"
         "a"},
        {Form::shortest_suffix, "?", "aé", "a", "a\xc3"},
        {Form::longest_prefix, "??", "ééé", "é", "éé"},
        {Form::shortest_prefix, "*ë", "Zoë-ë", "-ë", "-ë"},
        {Form::shortest_suffix, "ë*", "Zoë-ë", "Zoë-", "Zoë-"},
        {Form::longest_suffix, "?*", "€x", "", ""},
        {Form::each, "o?", "Zoë-Zoë", "Z.-Z.", "Z.\xab-Z.\xab"},
        {Form::each, "\\é", "éaé", ".a.", ".a."},
        {Form::each, "€", "a€b€", "a.b.", "a.b."},
    });
}

TEST(PatternCharacters, BracketTakesOneCharacter) {
    check({
        // Ranges by code point; a member or a complement is a whole character.
        {Form::each, "[é]", "éeè", ".eè", "..e.\xa8"},
        {Form::each, "[!a]", "aéb", "a..", "a..."},
        {Form::each, "[^a-z]", "a€b", "a.b", "a...b"},
        {Form::each, "[à-ë]", "âéìa", "..ìa", "......a"},
        {Form::each, "[€-₿]", "€₺$", "..$", "......$"},
        {Form::each, "[a\\€]", "€a", "..", "...."},
        {Form::each, "[!€]", "€€x", "€€.", "€€."},
        // Classes by the locale, past ASCII too; an unknown one takes nothing.
        {Form::each, "[[:alpha:]]", "Жé9", "..9", "Жé9"},
        {Form::each, "[[:upper:]]", "ЖжÉé", ".ж.é", "ЖжÉé"},
        {Form::each, "[![:digit:]]", "é9", ".9", "..9"},
        {Form::each, "[[:punct:][:space:]]", "a, b", "a..b", "a..b"},
        {Form::each, "[[:nope:]]", "aé", "aé", "aé"},
    });
}

TEST(PatternCharacters, BracketMembersPastLatin1) {
    check({
        // Ranges in any order, overlapping or inside one another.
        {Form::each, "[я-ёб-дж]", "бгеёжя", "..е...", "............"},
        {Form::each, "[а-жв-к]", "аиклм", "...лм", ".........."},
        {Form::each, "[а-яв-г]", "вяё", "..ё", ".....\x91"},
        {Form::each, "[!а-я]", "аЖz", "а..", "\xD0\xB0\xD0.."},
        {Form::each, "[[:upper:][:upper:]я]", "ЖжяЯ", ".ж..", "Жж..Я"},
        // Past the eighth distinct bracket, each is tested on its own.
        {Form::each, "[а][б][в][г][д][е][ж][з][!и]", "абвгдежзк", ".", "абвгдежзк"},
        {Form::each, "[а][б][в][г][д][е][ж][з][!и]", "абвгдежзи", "абвгдежзи", "абвгдежзи"},
        {Form::each, "[а][б][в][г][д][е][ж][з][[:lower:]]", "абвгдежзи", ".", "абвгдежзи"},
    });
}

TEST(PatternCharacters, AByteOfNoCharacterMakesTheWholeMatchBytes) {
    check({
        // In the value: every "?" takes a byte, the é's halves included.
        {Form::each, "?", "é\xff", "...", "..."},
        {Form::shortest_prefix, "?", "é\xff", "\xa9\xff", "\xa9\xff"},
        {Form::each, "[é]", "é\xff", "..\xff", "..\xff"},
        // In the pattern: the same.
        {Form::each, "?\xff", "é\xff", "\xc3.", "\xc3."},
        {Form::each, "[\xff]?",
         "\xff"
         "é",
         ".\xa9", ".\xa9"},
        // A character cut short is no character.
        {Form::each, "?", "a\xc3", "..", ".."},
    });
}

TEST(PatternCharacters, WholeCharacterForTheCaseForms) {
    check({
        {Form::whole, "?", "é", "yes", "no"},
        {Form::whole, "??", "é", "no", "yes"},
        {Form::whole, "[[:lower:]]", "é", "yes", "no"},
        {Form::whole, "[[:lower:]]", "É", "no", "no"},
        {Form::whole, "[a-f]", "é", "no", "no"},
        {Form::whole, "[!a-f]", "é", "yes", "no"},
        {Form::whole, "*", "é", "yes", "yes"},
        {Form::whole, "é", "é", "yes", "yes"},
        {Form::whole, "?", "\xff", "yes", "yes"},
        {Form::whole, "", "", "yes", "yes"},
    });
}

// Patterns longer than a word of 64 items, with stars and brackets on both
// sides of each word's edge, against bytes.
TEST(PatternBytes, LongPatternsAcrossWordEdges) {
    std::string a(200, 'a');
    for (size_t at : {62, 63, 64, 65, 127, 128, 129}) {
        std::string stars = std::string(at, '?') + "*b";
        std::string value = a + "b" + a + "b" + a;
        EXPECT_EQ(apply(Form::longest_prefix, stars, value, false), a) << at;
        EXPECT_EQ(apply(Form::shortest_prefix, stars, value, false), a + "b" + a) << at;
        std::string brackets = std::string(at, 'a') + "[b]";
        EXPECT_EQ(apply(Form::each, brackets, value, false),
                  std::string(200 - at, 'a') + "." + std::string(200 - at, 'a') + "." + a)
            << at;
        EXPECT_EQ(apply(Form::longest_suffix, "b*" + std::string(at, 'a'), value, false), a) << at;
        EXPECT_EQ(apply(Form::shortest_suffix, "b*" + std::string(at, 'a'), value, false),
                  a + "b" + a)
            << at;
    }
}

// The same as characters: two-byte literals and "?" across word edges.
TEST(PatternCharacters, LongPatternsAcrossWordEdges) {
    auto times = [](const std::string &text, size_t count) {
        std::string out;
        for (size_t i = 0; i < count; i++)
            out += text;
        return out;
    };
    std::string e = times("é", 150);
    std::string value = e + "ж" + e;
    for (size_t at : {63, 64, 65, 129}) {
        check({
            {Form::longest_prefix, times("é", at) + "*ж", value, e, e},
            {Form::shortest_prefix, times("?", at) + "ж", value, at == 150 ? e : "-",
             at * 2 + 2 == 302 ? e : "-"},
            {Form::each, times("?", at), e, times(".", 150 / at) + times("é", 150 % at),
             times(".", 300 / at) + e.substr(300 - 300 % at)},
        });
    }
}

} // namespace
