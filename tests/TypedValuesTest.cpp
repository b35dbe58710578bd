// Typed values: which text parses as which value, in any locale, and that
// every value written reads back as itself.

#include <cfloat>
#include <clocale>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <random>

#include "TestUtil.h"
#include "config/INI.h"

namespace vty::config::ini {
namespace {

using TypedValuesTest = testing::TempDirTest;

// Equality, with every NaN equal to every other and -0.0 unlike 0.0.
template <class T>
bool Same(T a, T b) {
  if constexpr (std::is_floating_point_v<T>) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return a == b && std::signbit(a) == std::signbit(b);
  }
  return a == b;
}

// ParseValue of `text` gives `expected`, or fails and leaves the value alone.
template <class T>
void ExpectParse(const std::string& text, std::optional<T> expected) {
  T value = T(1);
  EXPECT_EQ(ParseValue<T>(text, value), expected.has_value())
      << '"' << text << "\" as " << typeid(T).name();
  EXPECT_TRUE(Same(value, expected.value_or(T(1)))) << '"' << text << '"';
}

// `text` with its magnitude one greater: "127" gives "128", "-99" "-100".
std::string PlusOne(std::string text) {
  std::size_t i = text.size();
  while (i > 0 && text[i - 1] == '9') text[--i] = '0';
  if (i > 0 && text[i - 1] != '-') return ++text[i - 1], text;
  return text.insert(i, "1");
}

template <class T>
void CheckIntegers() {
  using L = std::numeric_limits<T>;
  // The same text for every type; a '-' parses for signed types only.
  static const struct {
    const char* text;
    std::optional<int> value;
  } kCases[] = {
      // clang-format off
      {"42", 42}, {" \t42\t ", 42}, {"+8", 8}, {"-7", -7}, {"-0", 0},
      {"010", 10}, {"0x1F", 31}, {"0X1f", 31}, {"-0x10", -16}, {"+0x0", 0},
      {"", {}}, {" ", {}}, {"+", {}}, {"-", {}}, {"0x", {}}, {"0x-1", {}},
      {"+-1", {}}, {"--1", {}}, {"- 1", {}}, {"1 2", {}}, {"1.0", {}},
      {"1e3", {}}, {"1,5", {}}, {"80 ; note", {}}, {"\v1", {}}, {"1\r", {}},
      {"0b1", {}}, {"0x1g", {}}, {"\xEF\xBC\x91", {}},  // a fullwidth 1
      // clang-format on
  };
  for (const auto& c : kCases) {
    const bool fits = c.value && (L::is_signed || !std::strchr(c.text, '-'));
    ExpectParse<T>(c.text, fits ? std::optional<T>(T(*c.value)) : std::nullopt);
  }
  // Both ends of the range and one past each, in decimal and in hex.
  const std::string max = std::to_string(L::max());
  const std::string pastMax = "0x" + std::to_string(1 << (L::digits % 4)) +
                              std::string(L::digits / 4, '0');
  const std::optional<T> min =
      L::is_signed ? std::optional<T>(L::min()) : std::nullopt;
  ExpectParse<T>(max, L::max());
  ExpectParse<T>(PlusOne(max), std::nullopt);
  ExpectParse<T>(pastMax, std::nullopt);
  ExpectParse<T>(std::to_string(L::min()), L::min());
  ExpectParse<T>(L::is_signed ? PlusOne(std::to_string(L::min())) : "-1",
                 std::nullopt);
  ExpectParse<T>("-" + pastMax, min);
  ExpectParse<T>("-" + PlusOne(pastMax), std::nullopt);
}

void CheckFloats() {
  constexpr double kInf = HUGE_VAL,
                   kNaN = std::numeric_limits<double>::quiet_NaN();
  static const struct {
    const char* text;
    std::optional<double> asDouble;
    std::optional<float> asFloat;
  } kCases[] = {
      // clang-format off
      {"1e3", 1e3, 1e3f}, {" -0.5\t", -0.5, -0.5f}, {".5", .5, .5f},
      {"5.", 5, 5}, {"1E+3", 1e3, 1e3f}, {"-0", -0.0, -0.0f},
      {"inf", kInf, kInf}, {"-Infinity", -kInf, -kInf}, {"nan", kNaN, kNaN},
      {"-NaN", kNaN, kNaN}, {"1.7976931348623157e308", DBL_MAX, {}},
      {"1.8e308", {}, {}}, {"-1.8e308", {}, {}}, {"3.4028235e38", 3.4028235e38, FLT_MAX},
      {"3.5e38", 3.5e38, {}}, {"-3.5e38", -3.5e38, {}}, {"5e-324", 5e-324, {}},
      {"1e-40", 1e-40, 1e-40f}, {"1e-400", {}, {}}, {"", {}, {}}, {"+1", {}, {}},
      {"1e", {}, {}}, {"1,5", {}, {}}, {"0x1p3", {}, {}}, {"e5", {}, {}},
      {"1.5.", {}, {}}, {"\v1", {}, {}},
      // clang-format on
  };
  for (const auto& c : kCases) {
    ExpectParse<double>(c.text, c.asDouble);
    ExpectParse<float>(c.text, c.asFloat);
  }
}

void CheckBools() {
  static const struct {
    const char* text;
    std::optional<bool> value;
  } kCases[] = {
      // clang-format off
      {"true", true}, {"FALSE", false}, {" Yes\t", true}, {"nO", false},
      {"On", true}, {"oFF", false}, {"1", true}, {"0", false}, {"", {}},
      {"2", {}}, {"01", {}}, {"y", {}}, {"t", {}}, {"+1", {}}, {"truee", {}},
      {"on ;", {}}, {"\vtrue", {}}, {"n\xC3\xB6", {}},
      // clang-format on
  };
  for (const auto& c : kCases) ExpectParse<bool>(c.text, c.value);
}

void CheckFormats() {
  EXPECT_EQ(FormatValue(true) + FormatValue(false), "truefalse");
  EXPECT_EQ(FormatValue(-5) + FormatValue(~0ull), "-518446744073709551615");
  EXPECT_EQ(FormatValue(0.1) + " " + FormatValue(0.1f) + " " +
                FormatValue(1e300) + " " + FormatValue(-0.0) + " " +
                FormatValue(1.5),
            "0.1 0.1 1e+300 -0 1.5");
}

TEST(TypedValuesText, Integers) {
  CheckIntegers<int>();
  CheckIntegers<long>();
  CheckIntegers<long long>();
  CheckIntegers<unsigned>();
  CheckIntegers<unsigned long>();
  CheckIntegers<unsigned long long>();
}
TEST(TypedValuesText, FloatingPoint) { CheckFloats(); }
TEST(TypedValuesText, Bools) { CheckBools(); }
TEST(TypedValuesText, Formats) { CheckFormats(); }

TEST(TypedValuesText, TheLocaleChangesNothing) {
  const char* set = nullptr;
  for (const char* name :
       {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "fr_FR.UTF-8"}) {
    if ((set = std::setlocale(LC_ALL, name)) != nullptr) break;
  }
  if (set == nullptr ||
      std::strcmp(std::localeconv()->decimal_point, ",") != 0) {
    std::setlocale(LC_ALL, "C");
    GTEST_SKIP() << "no locale with a decimal comma is installed";
  }
  CheckIntegers<int>();
  CheckIntegers<unsigned long long>();
  CheckFloats();
  CheckBools();
  CheckFormats();
  std::setlocale(LC_ALL, "C");
}

TEST_F(TypedValuesTest, ReadsTrimOrDefaultAndWritesAsWriteString) {
  const std::string file = Path("app.ini");
  testing::WriteAll(file, "[Net]\nPort = 8080\nFlag = Yes\nBad = 80 ; x\n");
  EXPECT_EQ(ReadValue<int>("net", "PORT", 80, file), 8080);
  EXPECT_TRUE(ReadValue<bool>("Net", "Flag", false, file));
  int value = 1;
  EXPECT_FALSE(ReadValue<int>("Net", "Bad", 80, value, file));
  EXPECT_EQ(value, 80);
  EXPECT_FALSE(ReadValue<int>("Net", "Missing", 81, value, file));
  EXPECT_EQ(value, 81);
  WriteValue<int>("Net", "port", -9, file);
  WriteValue<double>("Net", "Ratio", 0.1, file);
  EXPECT_THROW(WriteValue<bool>("Net", "a=b", true, file),
               std::invalid_argument);
  EXPECT_EQ(testing::ReadAll(file),
            "[Net]\nPort=-9\nFlag = Yes\nBad = 80 ; x\nRatio=0.1\n");
}

// Writes limits and random values (random bits, for floating point: NaNs,
// infinities and denormals too) and reads them back from memory and from the
// saved file, which "./" before the name loads as another document.
template <class T>
void RoundTrip(const std::string& dir, std::mt19937_64& random) {
  using L = std::numeric_limits<T>;
  std::vector<T> values = {L::lowest(), L::min(), L::max(), T(0)};
  if constexpr (std::is_floating_point_v<T>) {
    values.insert(values.end(),
                  {T(-0.0), L::denorm_min(), -L::min() / 2, L::infinity(),
                   -L::infinity(), L::quiet_NaN()});
  }
  while (values.size() < 300) {
    const std::uint64_t bits = random();
    T value = bits & 1;
    if constexpr (!std::is_same_v<T, bool>)
      std::memcpy(&value, &bits, sizeof value);
    values.push_back(value);
  }
  const std::string file = dir + "/" + typeid(T).name() + ".ini";
  const std::string again = dir + "/./" + typeid(T).name() + ".ini";
  for (std::size_t i = 0; i < values.size(); ++i) {
    WriteValue<T>("s", std::to_string(i), values[i], file);
  }
  Flush(file);
  for (std::size_t i = 0; i < values.size(); ++i) {
    const T written = values[i];  // not a vector<bool> reference
    T read{}, reloaded{};
    EXPECT_TRUE(ReadValue<T>("s", std::to_string(i), T(), read, file));
    EXPECT_TRUE(ReadValue<T>("s", std::to_string(i), T(), reloaded, again));
    EXPECT_TRUE(Same(read, written) && Same(reloaded, written))
        << file << ": " << FormatValue(written);
  }
}

TEST_F(TypedValuesTest, EveryValueReadsBackAsWritten) {
  std::mt19937_64 random(12);
  InitialiseAsyncWriting();  // one save at the end, not one per value
  RoundTrip<bool>(dir_, random);
  RoundTrip<int>(dir_, random);
  RoundTrip<long>(dir_, random);
  RoundTrip<long long>(dir_, random);
  RoundTrip<unsigned>(dir_, random);
  RoundTrip<unsigned long>(dir_, random);
  RoundTrip<unsigned long long>(dir_, random);
  RoundTrip<float>(dir_, random);
  RoundTrip<double>(dir_, random);
  ShutdownAsyncWriting();
}

}  // namespace
}  // namespace vty::config::ini
