// Typed values: what text parses as, in any locale, and every value written
// reading back as itself.

#include <clocale>
#include <cmath>
#include <cstring>
#include <random>

#include "TestUtil.h"
#include "config/INI.h"

namespace vty::config::ini {
namespace {

using Rows = std::vector<std::pair<std::string, std::string>>;
using TypedValuesTest = testing::TempDirTest;

// The value as FormatValue writes it, or "-" when `text` does not parse (and
// the value is left alone).
template <class T>
std::string Parsed(const std::string& text) {
  T value = T(1);
  if (ParseValue<T>(text, value)) return FormatValue(value);
  return value == T(1) ? "-" : "?";
}

// Each row: a text, then what each of Ts makes of it, a word per type.
template <class... Ts>
void Check(const Rows& rows) {
  for (const auto& [text, want] : rows) {
    EXPECT_EQ(((" " + Parsed<Ts>(text)) + ...), " " + want) << '"' << text;
  }
}

// Both ends of T's range and one past each (past the top in hex too).
template <class T>
void CheckLimits() {
  using L = std::numeric_limits<T>;
  const unsigned long long max = L::max();
  const std::string top = std::to_string(max), min = std::to_string(L::min());
  const std::string hex = "0x" + std::to_string(1 << (L::digits % 4)) +
                          std::string(L::digits / 4, '0');
  // clang-format off
  Check<T>({{top, top}, {max == ~0ull ? "18446744073709551616" : std::to_string(max + 1), "-"},
            {hex, "-"}, {"-" + hex, L::is_signed ? min : "-"}, {min, min},
            {L::is_signed ? "-" + std::to_string(max + 2) : "-1", "-"}});
  // clang-format on
}

void CheckTables() {
  // clang-format off
  const Rows integers = {  // as a signed type, as an unsigned one
      {"42", "42 42"}, {" \t42\t ", "42 42"}, {"+8", "8 8"}, {"010", "10 10"},
      {"0x1F", "31 31"}, {"0X1f", "31 31"}, {"-7", "-7 -"}, {"-0", "0 -"},
      {"-0x10", "-16 -"}, {"", "- -"}, {"+", "- -"}, {"-", "- -"},
      {"0x", "- -"}, {"0x-1", "- -"}, {"+-1", "- -"}, {"- 1", "- -"},
      {"1.0", "- -"}, {"1e3", "- -"}, {"1,5", "- -"}, {"80 ; x", "- -"},
      {"\v1", "- -"}, {"1\r", "- -"}, {"0x1g", "- -"}};
  Check<double, float>({{"1e3", "1000 1000"}, {" -0.5\t", "-0.5 -0.5"},
      {".5", "0.5 0.5"}, {"5.", "5 5"}, {"-0", "-0 -0"}, {"inf", "inf inf"},
      {"-Infinity", "-inf -inf"}, {"nan", "nan nan"}, {"-NaN", "-nan -nan"},
      {"3.4028235e38", "3.4028235e+38 3.4028235e+38"}, {"3.5e38", "3.5e+38 -"},
      {"1e-45", "1e-45 1e-45"}, {"1e-46", "1e-46 -"}, {"5e-324", "5e-324 -"},
      {"1.7976931348623157e308", "1.7976931348623157e+308 -"},
      {"1.8e308", "- -"}, {"-1.8e308", "- -"}, {"2e-324", "- -"}, {"", "- -"},
      {"+1", "- -"}, {"1e", "- -"}, {"1,5", "- -"}, {"0x1p3", "- -"}});
  Check<bool>({{"true", "true"}, {"FALSE", "false"}, {" Yes\t", "true"},
      {"nO", "false"}, {"On", "true"}, {"oFF", "false"}, {"1", "true"},
      {"0", "false"}, {"", "-"}, {"2", "-"}, {"01", "-"}, {"y", "-"},
      {"+1", "-"}, {"truee", "-"}, {"on ;", "-"}, {"\vno", "-"}});
  // clang-format on
  Check<int, unsigned>(integers);
  Check<long, unsigned long>(integers);
  Check<long long, unsigned long long>(integers);
  [](auto... types) { (CheckLimits<decltype(types)>(), ...); }(0, 0l, 0ll, 0u,
                                                               0ul, 0ull);
}

TEST(TypedValues, EveryFamilyByTable) { CheckTables(); }

TEST(TypedValues, TheLocaleChangesNothing) {
  if (!std::setlocale(LC_ALL, "de_DE.UTF-8")) GTEST_SKIP() << "no de_DE.UTF-8";
  CheckTables();
  std::setlocale(LC_ALL, "C");
}

// Beside a value with blanks and one that does not parse, the limits and
// random bits (for floating point NaNs, infinities and denormals too) each
// parse back from the text written for them as themselves; the last one also
// through a save and a fresh load.
template <class T>
void RoundTrip(const std::string& file, std::mt19937_64& random) {
  using L = std::numeric_limits<T>;
  testing::WriteAll(file, "[s]\n one = 1 \nbad = 1 ; x\n");
  T value = T();
  EXPECT_TRUE(ReadValue<T>("s", "one", T(), value, file) && value == T(1));
  EXPECT_FALSE(ReadValue<T>("s", "bad", T(), value, file) || value != T());
  EXPECT_EQ(ReadValue<T>("S", "missing", T(1), file), T(1));
  EXPECT_THROW(WriteValue<T>("s", "a=b", T(), file), std::invalid_argument);
  std::vector<T> values = {L::lowest(),   L::max(),       L::denorm_min(),
                           L::infinity(), L::quiet_NaN(), T(-0.0)};
  while (values.size() < 300) {
    const std::uint64_t bits = random() & (std::is_same_v<T, bool> ? 1 : ~0ull);
    std::memcpy(&value, &bits, sizeof value);  // a bool holds 0 or 1 only
    values.push_back(value);
  }
  const auto same = [](T a, T b) {
    return std::memcmp(&a, &b, sizeof a) == 0 ||
           (std::isnan(a) && std::isnan(b));
  };
  for (const T written : values) {
    EXPECT_TRUE(ParseValue<T>(FormatValue(written), value) &&
                same(value, written))
        << file << ": " << FormatValue(written);
  }
  WriteValue<T>("s", "last", values.back(), file);
  const File saved(file, [] { return false; });
  EXPECT_TRUE(ParseValue<T>(saved.ReadValue("s", "last").value_or(""), value) &&
              same(value, values.back()))
      << file;
}

TEST_F(TypedValuesTest, EveryValueReadsBackAsWritten) {
  std::mt19937_64 random(12);
  const auto roundTrip = [&](auto... types) {
    (RoundTrip<decltype(types)>(Path(typeid(types).name()), random), ...);
  };
  roundTrip(false, 0, 0l, 0ll, 0u, 0ul, 0ull, 0.f, 0.0);
}

}  // namespace
}  // namespace vty::config::ini
