// Vantry.Config: the types a setting may have, and how their text reads.
//
// File: config/Values.h
// -----------------------------------------------------------------------------
//
// `ParseValue` and `FormatValue` are the one rule both faces read and write
// typed values by: the typed free functions of config/INI.h and the handle
// of config/Settings.h. This header holds nothing else, so that a handle
// user does not take in the document classes.
//
// Example:
//
//   int port = 0;
//   if (vty::config::ini::ParseValue<int>(" 0x1F", port)) { /* 31 */ }
//   std::string text = vty::config::ini::FormatValue(0.1);   // "0.1"

#ifndef VTY_CONFIG_VALUES_H_
#define VTY_CONFIG_VALUES_H_

#include <string>
#include <string_view>
#include <type_traits>

// Marks what the shared library exports; everything else is hidden. In the
// standard attribute syntax, so that it sits beside [[nodiscard]].
#define VTY_CONFIG_API [[gnu::visibility("default")]]

namespace vty::config::ini {

// The types of the typed values, listed once: VTY_CONFIG_VALUE_TYPES_(X)
// expands X(T) for each. Any other T given to the typed functions
// stops the compilation with a message naming these.
// clang-format off
#define VTY_CONFIG_VALUE_TYPES_(X) \
  X(bool) X(int) X(long) X(long long) X(unsigned) X(unsigned long) \
  X(unsigned long long) X(float) X(double)
// clang-format on
namespace detail {
template <class T>
struct IsTypedValue : std::false_type {};
#define VTY_CONFIG_TYPED_VALUE_TYPE_(T) \
  template <>                           \
  struct IsTypedValue<T> : std::true_type {};
VTY_CONFIG_VALUE_TYPES_(VTY_CONFIG_TYPED_VALUE_TYPE_)
#undef VTY_CONFIG_TYPED_VALUE_TYPE_
}  // namespace detail
// "bool, int, ..., double, ", for the messages.
#define VTY_CONFIG_TYPE_NAME_(T) #T ", "
#define VTY_CONFIG_TYPE_NAMES_ VTY_CONFIG_VALUE_TYPES_(VTY_CONFIG_TYPE_NAME_)
#define VTY_CONFIG_PARSE_TYPES_ \
  "vty::config::ini: T must be " VTY_CONFIG_TYPE_NAMES_ "and no other type"

/// Parses `text` as a `T` by the rules of the typed reads, whatever the
/// locale. Blanks (space, tab) at both ends are ignored; nothing else is.
/// Returns true and sets `value`, or returns false and leaves it untouched.
/// Never throws.
///
///   T              parses                   does not parse
///   integers       "42"  " -7\t"  "+8"      ""  "+"  "-"  "0x"  "0x-1"  "1.0"
///                  "0x1F"  "0X1f"  "-0x10"  "1e3"  "1,5"  "80 ; note"  "\v1"
///                  "010" (ten: no octal)    out of range; "-1" for unsigned
///   bool           true false yes no on     ""  "2"  "01"  "y"  "+1"
///                  off 1 0, in any case
///   float, double  "1e3"  "-0.5"  ".5"      ""  "+1"  "1e"  "1,5"  "0x1p3"
///                  "inf"  "nan"  "1e-320"   out of range: "1e400"  "1e-400"
template <class T>
bool ParseValue(const std::string_view& /*text*/, T& /*value*/) {
  static_assert(detail::IsTypedValue<T>::value, VTY_CONFIG_PARSE_TYPES_);
  return false;
}

/// The text `WriteValue` stores for `value`: integers in decimal, `bool` as
/// "true" or "false", `float` and `double` as the shortest text that parses
/// back as the same number ("0.1", "1e+300", "-0", "inf"; NaN as "nan" or
/// "-nan", which parse back as NaN). Throws only `std::bad_alloc`.
template <class T>
std::string FormatValue(const T& /*value*/) {
  static_assert(detail::IsTypedValue<T>::value, VTY_CONFIG_PARSE_TYPES_);
  return {};
}

#define VTY_CONFIG_TYPED_TEXT_(T)                                            \
  template <>                                                                \
  VTY_CONFIG_API bool ParseValue<T>(const std::string_view& text, T& value); \
  template <>                                                                \
  VTY_CONFIG_API std::string FormatValue<T>(const T& value);
VTY_CONFIG_VALUE_TYPES_(VTY_CONFIG_TYPED_TEXT_)
#undef VTY_CONFIG_TYPED_TEXT_

}  // namespace vty::config::ini

#undef VTY_CONFIG_PARSE_TYPES_

#endif  // VTY_CONFIG_VALUES_H_
