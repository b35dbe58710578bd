// Typed values: how integers, flags and floating-point numbers are read from
// a stored value and written as text, the same in every locale. A typed read
// parses the stored value in place; a typed write is WriteString of the text.
// The std::string forms of ReadValue and WriteValue are ReadString and
// WriteString.

#include <charconv>
#include <iterator>
#include <limits>
#include <system_error>
#include <type_traits>

#include "live/Registry.h"
#include "text/LineRules.h"
#include "text/ValueSyntax.h"

namespace vty::config::ini {

namespace {

// `text` (already stripped) as an integer: an optional sign ('-' for signed
// types only), then decimal digits, or "0x"/"0X" and hex digits.
template <class T>
bool ParseInteger(std::string_view text, T& value) {
  const bool negative = !text.empty() && text.front() == '-';
  if (negative && std::is_unsigned_v<T>) return false;
  if (!text.empty() && (negative || text.front() == '+')) text.remove_prefix(1);
  int base = 10;
  if (text.size() > 1 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  // An unsigned from_chars takes no sign, so "+-1" and "0x+1" fail here.
  unsigned long long magnitude = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, magnitude, base);
  if (error != std::errc() || stop != end) return false;
  const auto largest =
      static_cast<unsigned long long>(std::numeric_limits<T>::max());
  if (magnitude > (negative ? largest + 1 : largest)) return false;
  // -(magnitude - 1) - 1 stays in T's range, the lowest value included.
  value = negative ? static_cast<T>(-static_cast<T>(magnitude - 1) - 1)
                   : static_cast<T>(magnitude);
  return true;
}

bool ParseBool(std::string_view text, bool& value) {
  for (const detail::FlagWords& words : detail::kFlagWords) {
    if (IsEqual(text, words.yes) || IsEqual(text, words.no)) {
      value = IsEqual(text, words.yes);
      return true;
    }
  }
  return false;
}

template <class T>
bool ParseFloat(std::string_view text, T& value) {
  T parsed;  // from_chars writes even when text follows the number ("1e")
  const char* end = text.data() + text.size();
  const auto [stop, error] =
      std::from_chars(text.data(), end, parsed, std::chars_format::general);
  if (error != std::errc() || stop != end) return false;
  value = parsed;
  return true;
}

template <class T>
bool Parse(std::string_view text, T& value) {
  text = detail::StripBlanks(text);
  if constexpr (std::is_same_v<T, bool>) {
    return ParseBool(text, value);
  } else if constexpr (std::is_floating_point_v<T>) {
    return ParseFloat(text, value);
  } else {
    return ParseInteger(text, value);
  }
}

template <class T>
std::string Format(T value) {
  if constexpr (std::is_same_v<T, bool>) {
    return value ? "true" : "false";
  } else {
    // The shortest text of a double is at most 24 characters, an integer's 20.
    char buffer[32];
    const auto result = std::to_chars(buffer, std::end(buffer), value);
    return std::string(buffer, result.ptr);
  }
}

template <class T>
bool Read(const std::optional<std::string>& section,
          const std::string_view& key, const T& defaultValue, T& value,
          const std::string& file) {
  // Parsed where it is stored, under the document's lock: no copy of the
  // text is made.
  T parsed{};
  const bool found = detail::Reading(file, [&](const File& document) {
    const KeyValuePair* pair = detail::FindPair(document, section, key);
    return pair != nullptr && Parse(pair->value, parsed);
  });
  value = found ? parsed : defaultValue;
  return found;
}

}  // namespace

template <>
std::string ReadValue<std::string>(const std::optional<std::string>& section,
                                   const std::string_view& key,
                                   const std::string& defaultValue,
                                   const std::string& file) {
  return ReadString(section, key, std::string_view(defaultValue), file);
}

template <>
bool ReadValue<std::string>(const std::optional<std::string>& section,
                            const std::string_view& key,
                            const std::string& defaultValue, std::string& value,
                            const std::string& file) {
  return ReadString(section, key, std::string_view(defaultValue), value, file);
}

template <>
void WriteValue<std::string>(const std::optional<std::string>& section,
                             const std::string& key, const std::string& value,
                             const std::string& file) {
  WriteString(section, key, value, file);
}

// Every typed form of one T; the header declares the same list. T is a
// type, which parentheses would not leave one.
// NOLINTBEGIN(bugprone-macro-parentheses)
#define VTY_CONFIG_TYPED_VALUE_(T)                                      \
  template <>                                                           \
  bool ParseValue<T>(const std::string_view& text, T& value) {          \
    return Parse(text, value);                                          \
  }                                                                     \
  template <>                                                           \
  std::string FormatValue<T>(const T& value) {                          \
    return Format(value);                                               \
  }                                                                     \
  template <>                                                           \
  T ReadValue<T>(const std::optional<std::string>& section,             \
                 const std::string_view& key, const T& defaultValue,    \
                 const std::string& file) {                             \
    T value{};                                                          \
    Read(section, key, defaultValue, value, file);                      \
    return value;                                                       \
  }                                                                     \
  template <>                                                           \
  bool ReadValue<T>(const std::optional<std::string>& section,          \
                    const std::string_view& key, const T& defaultValue, \
                    T& value, const std::string& file) {                \
    return Read(section, key, defaultValue, value, file);               \
  }                                                                     \
  template <>                                                           \
  void WriteValue<T>(const std::optional<std::string>& section,         \
                     const std::string& key, const T& value,            \
                     const std::string& file) {                         \
    WriteString(section, key, Format(value), file);                     \
  }
VTY_CONFIG_VALUE_TYPES_(VTY_CONFIG_TYPED_VALUE_)
#undef VTY_CONFIG_TYPED_VALUE_
// NOLINTEND(bugprone-macro-parentheses)

}  // namespace vty::config::ini
