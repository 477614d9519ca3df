#include "accessibility/lower_case.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "accessibility/lower_case_tables.h"
#include "text/utf8.h"

namespace velmuro::accessibility {
namespace {

using Cases = std::vector<std::pair<std::string, std::string>>;

void expectLowerCased(const Cases& cases) {
  for (const auto& [input, expected] : cases) EXPECT_EQ(lowerCased(input), expected) << input;
}

TEST(LowerCaseTest, MapsCapitalsOfEveryBicameralScriptInTheBasicPlane) {
  expectLowerCased({
      {"Copy INVITE Link", "copy invite link"},
      // Latin-1, Latin Extended-A, -B, Additional, -C and -D, fullwidth Latin.
      {"ÀÉÖØÞ ĀāŁŸ ǄǅǇ ȺȾ ẞỲ", "àéöøþ āāłÿ ǆǆǉ ⱥⱦ ßỳ"},
      {"ⱠⱢⱤⱭ ꜢꞫꞮꟀꟵ ＡＺ", "ⱡɫɽɑ ꜣɜɪꟁꟶ ａｚ"},
      // Greek and Greek Extended; U+03F4 lower-cases to theta.
      {"ΆΩϴϷϹ ἈᾈῺ", "άωθϸϲ ἀᾀὼ"},
      // Cyrillic, its Supplement and Extended-B; Armenian.
      {"ЖЁѠӀ ԀԮ ꙀꙬꚚ ԱՖ", "жёѡӏ ԁԯ ꙁꙭꚛ աֆ"},
      // Georgian Asomtavruli and Mtavruli.
      {"ႠჅ ᲐᲿ", "ⴀⴥ აჿ"},
      // Cherokee, into both blocks of its small letters.
      {"ᎠᏯᏰᏵ", "ꭰꮿᏸᏽ"},
      // Glagolitic, Coptic.
      {"ⰀⰯ ⲀⳲ", "ⰰⱟ ⲁⳳ"},
  });
}

TEST(LowerCaseTest, MapsCapitalsWrittenInFourBytes) {
  expectLowerCased({
      {"𐐀𐐧 Deseret", "𐐨𐑏 deseret"},
      {"𐒰𐓓 𐕰𐖕", "𐓘𐓻 𐖗𐖼"},  // Osage, Vithkuqi
      {"𐲀𐲲 𑢠𑢿", "𐳀𐳲 𑣀𑣟"},  // Old Hungarian, Warang Citi
      {"𖹀𖹟 𞤀𞤡", "𖹠𖹿 𞤢𞥃"},  // Medefaidrin, Adlam
  });
}

TEST(LowerCaseTest, MapsLetterlikeSymbolsToTheLettersTheyStandFor) {
  expectLowerCased({
      {"\u212A\u212B", "kå"},  // KELVIN SIGN, ANGSTROM SIGN
      {"\u2126", "ω"},         // OHM SIGN
      {"ⅠⅫ ⒶⓏ Ↄ", "ⅰⅻ ⓐⓩ ↄ"},  // Roman numerals, circled letters, reversed C
  });
}

TEST(LowerCaseTest, AppliesNoLanguageSpecificRule) {
  expectLowerCased({
      {"İstanbul", "i\u0307stanbul"},    // full mapping, two code points
      {"DIŞ", "diş"},                    // I stays dotted: no Turkish rule
      {"I\u0307 Ì Ĩ", "i\u0307 ì ĩ"},    // no Lithuanian rule
      {"ß ǆ ﬀ ŉ ſ ı", "ß ǆ ﬀ ŉ ſ ı"},    // small letters without a capital kept
      {"中文 😀 ١٢٣ ‽", "中文 😀 ١٢٣ ‽"},  // caseless characters kept
  });
}

TEST(LowerCaseTest, CapitalSigmaEndingAWordBecomesFinalSigma) {
  expectLowerCased({
      {"ΟΔΟΣ", "οδος"},
      {"ΟΔΟΣ ΣΟΦΙΑΣ, ΣΣ", "οδος σοφιας, σς"},
      {"ΟΔΟΣ.", "οδος."},                    // a full stop is case-ignorable
      {"ΑΣ\u0301", "ας\u0301"},              // so is a combining mark
      {"ΑΣ1 ΑΣ_", "ας1 ας_"},                // a digit or an underscore ends the word
      {"ΑΣ𐐀", "ασ𐐨"},                        // a cased letter of any script follows
      {"Σ", "σ"},                            // alone, sigma is no word ending
      {" Σ. 1Σ", " σ. 1σ"},                  // nor after a space, a stop or a digit
      {"ΑΣ\u0301Α ΑΣ'Α", "ασ\u0301α ασ'α"},  // ignorables skipped on the way to a letter
      {"Α'Σ Α\u2019Σ Α\u00ADΣ", "α'ς α\u2019ς α\u00ADς"},  // and back to one
  });
}

TEST(LowerCaseTest, IllFormedBytesAreKeptAsTheyAreAndEndAWord) {
  expectLowerCased({
      {"A\x80Z \xFF", "a\x80z \xFF"},                      // stray continuation, invalid byte
      {"\xC3Z \xE2\x82Z", "\xC3z \xE2\x82z"},              // truncated sequences keep what follows
      {"\xF0\x90\x90Z", "\xF0\x90\x90z"},                  // a truncated Deseret capital
      {"\xC0\x81 \xE0\x81\x81", "\xC0\x81 \xE0\x81\x81"},  // overlong forms
      {"\xED\xA0\x80 \xF4\x90\x80\x80 \xF5\x80", "\xED\xA0\x80 \xF4\x90\x80\x80 \xF5\x80"},
      {"ΑΣ\xFF Α\xFFΣ", "ας\xFF α\xFFσ"},
  });
}

// The character database as Debian's unicode-data package installs it.
constexpr const char* kDataDir = "/usr/share/unicode/";

// One line's fields, trimmed, without its comment; empty for a line without data.
std::vector<std::string_view> dataFields(std::string_view line) {
  std::vector<std::string_view> fields;
  std::string_view rest = line.substr(0, line.find('#'));
  if (rest.find_first_not_of(" \t") == std::string_view::npos) return fields;
  while (true) {
    std::size_t end = rest.find(';');
    std::string_view field = rest.substr(0, end);
    std::size_t first = field.find_first_not_of(' ');
    std::size_t last = field.find_last_not_of(' ');
    fields.push_back(first == std::string_view::npos ? std::string_view()
                                                     : field.substr(first, last - first + 1));
    if (end == std::string_view::npos) return fields;
    rest.remove_prefix(end + 1);
  }
}

char32_t hexCodePoint(std::string_view hex) {
  std::uint32_t value = 0;
  std::from_chars(hex.data(), hex.data() + hex.size(), value, 16);
  return value;
}

// The UTF-8 form of code points written in hexadecimal, separated by spaces.
std::string utf8Of(std::string_view hexCodePoints) {
  std::string out;
  while (!hexCodePoints.empty()) {
    std::size_t end = hexCodePoints.find(' ');
    text::appendUTF8(out, hexCodePoint(hexCodePoints.substr(0, end)));
    hexCodePoints.remove_prefix(end == std::string_view::npos ? hexCodePoints.size() : end + 1);
  }
  return out;
}

// Skips the test for what this machine lacks; in continuous integration, fails it.
void missing(const std::string& what) {
  const char* ci = std::getenv("CI");
  if (ci != nullptr && std::string_view(ci) == "true") {
    FAIL() << what;
  } else {
    GTEST_SKIP() << what;
  }
}

// What the character database says, read with this test's own parser.
struct CharacterDatabase {
  std::string version;
  std::map<char32_t, std::string> lower;  // the unconditional lower case, where there is one
  std::vector<bool> cased = std::vector<bool>(0x110000);
  std::vector<bool> caseIgnorable = std::vector<bool>(0x110000);
};

class LowerCaseDataTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::ifstream unicodeData(std::string(kDataDir) + "UnicodeData.txt");
    std::ifstream specialCasing(std::string(kDataDir) + "SpecialCasing.txt");
    std::ifstream properties(std::string(kDataDir) + "DerivedCoreProperties.txt");
    if (!unicodeData || !specialCasing || !properties) return;
    data_ = new CharacterDatabase;
    std::string line;
    std::getline(properties, line);  // "# DerivedCoreProperties-15.0.0.txt"
    std::size_t dash = line.rfind('-'), suffix = line.rfind(".txt");
    if (dash != std::string::npos && suffix != std::string::npos && dash < suffix) {
      data_->version = line.substr(dash + 1, suffix - dash - 1);
    }
    while (std::getline(unicodeData, line)) {
      std::vector<std::string_view> f = dataFields(line);
      if (f.size() > 13 && !f[13].empty()) data_->lower[hexCodePoint(f[0])] = utf8Of(f[13]);
    }
    while (std::getline(specialCasing, line)) {
      std::vector<std::string_view> f = dataFields(line);
      if (f.size() < 4 || (f.size() > 4 && !f[4].empty())) continue;  // a conditional mapping
      data_->lower[hexCodePoint(f[0])] = utf8Of(f[1]);
    }
    while (std::getline(properties, line)) {
      std::vector<std::string_view> f = dataFields(line);
      if (f.size() < 2 || (f[1] != "Cased" && f[1] != "Case_Ignorable")) continue;
      std::vector<bool>& set = f[1] == "Cased" ? data_->cased : data_->caseIgnorable;
      std::size_t dots = f[0].find("..");
      char32_t first = hexCodePoint(f[0].substr(0, dots));
      char32_t last = dots == std::string_view::npos ? first : hexCodePoint(f[0].substr(dots + 2));
      for (char32_t c = first; c <= last; ++c) set[c] = true;
    }
  }

  static void TearDownTestSuite() {
    delete data_;
    data_ = nullptr;
  }

  void SetUp() override {
    if (data_ == nullptr) {
      missing(std::string("the Unicode data files are not in ") + kDataDir);
    } else if (data_->version != lower_case_tables::kUnicodeVersion) {
      missing("the Unicode data files are of version " + data_->version + ", the tables of " +
              std::string(lower_case_tables::kUnicodeVersion));
    }
  }

  // Appends the lower case the database gives c, without context.
  static void appendLowerOf(std::string& out, char32_t c) {
    auto mapped = data_->lower.find(c);
    if (mapped == data_->lower.end()) {
      text::appendUTF8(out, c);
    } else {
      out += mapped->second;
    }
  }

  // The code points checked: all of the planes that hold characters (0 to 3 and 14) and every
  // 256th of the others (unassigned planes 4 to 13, private-use planes 15 and 16), up to the
  // last code point; surrogates are no characters.
  static bool checked(char32_t c) {
    if (c >= 0xD800 && c <= 0xDFFF) return false;
    return c < 0x40000 || (c >= 0xE0000 && c < 0xF0000) || c % 0x100 == 0xFF;
  }

  // Lower-cases, in one call, a text made of one line per checked code point c, written by
  // line(c, input, expected), and expects the result to be the expected lines; names the first
  // character whose line differs. Each line ends in a line feed, which is neither cased nor
  // case-ignorable, so no line is context of another.
  template <typename Line>
  static void expectForEveryCharacter(Line line) {
    std::string input, expected;
    std::vector<std::size_t> lineStarts;  // in expected
    std::vector<char32_t> characters;
    for (char32_t c = 0; c <= 0x10FFFF; ++c) {
      if (!checked(c)) continue;
      lineStarts.push_back(expected.size());
      characters.push_back(c);
      line(c, input, expected);
      input += '\n';
      expected += '\n';
    }
    std::string actual = lowerCased(input);
    if (actual == expected) return;
    std::size_t differ = 0;
    while (differ < actual.size() && differ < expected.size() &&
           actual[differ] == expected[differ]) {
      ++differ;
    }
    std::size_t index =
        std::upper_bound(lineStarts.begin(), lineStarts.end(), differ) - lineStarts.begin() - 1;
    std::size_t start = lineStarts[index];
    std::size_t end = expected.find('\n', start);
    char name[16];
    std::snprintf(name, sizeof name, "U+%04X", static_cast<unsigned>(characters[index]));
    ADD_FAILURE() << "first differing line is that of " << name << ": expected \""
                  << expected.substr(start, end - start) << "\", got \""
                  << actual.substr(start, actual.find('\n', start) - start) << "\"";
  }

  static inline CharacterDatabase* data_ = nullptr;
};

TEST_F(LowerCaseDataTest, EveryCharacterLowerCasesAsTheDatabaseSays) {
  // A capital sigma alone on its line ends no word, so it takes its unconditional mapping too.
  expectForEveryCharacter([](char32_t c, std::string& input, std::string& expected) {
    text::appendUTF8(input, c);
    appendLowerOf(expected, c);
  });
}

TEST_F(LowerCaseDataTest, SigmaIsFinalAfterACasedLetterPastCaseIgnorableCharacters) {
  expectForEveryCharacter([](char32_t c, std::string& input, std::string& expected) {
    input += "Α";
    text::appendUTF8(input, c);
    input += "Σ";
    expected += "α";
    appendLowerOf(expected, c);
    expected += data_->cased[c] || data_->caseIgnorable[c] ? "ς" : "σ";
  });
}

TEST_F(LowerCaseDataTest, SigmaIsNotFinalBeforeACasedLetterPastCaseIgnorableCharacters) {
  expectForEveryCharacter([](char32_t c, std::string& input, std::string& expected) {
    input += "ΑΣ";
    text::appendUTF8(input, c);
    input += "Α ΑΣ";
    text::appendUTF8(input, c);
    expected += data_->cased[c] || data_->caseIgnorable[c] ? "ασ" : "ας";
    appendLowerOf(expected, c);
    expected += data_->cased[c] ? "α ασ" : "α ας";
    // With nothing after it, a sigma in c's place ends the word itself.
    if (c == U'\u03A3') {
      expected += "ς";
    } else {
      appendLowerOf(expected, c);
    }
  });
}

TEST(LowerCaseTablesTest, AreWhatTheirGeneratorWrites) {
  std::string problem;
  if (std::system("command -v python3 >/dev/null 2>&1") != 0) {
    problem = "python3 is not installed";
  } else if (!std::ifstream(std::string(kDataDir) + "UnicodeData.txt")) {
    problem = std::string("the Unicode data files are not in ") + kDataDir;
  }
  if (!problem.empty()) return missing(problem);
  std::string check = std::string("python3 '") + VELMURO_SOURCE_DIR +
                      "/scripts/gen-lower-case' --check " + kDataDir;
  EXPECT_EQ(std::system(check.c_str()), 0) << check;
}

}  // namespace
}  // namespace velmuro::accessibility
