// Vantry.Config: a handle on one settings file, with values as a person
// means them.
//
// File: config/Settings.h
// -----------------------------------------------------------------------------
//
// A `Settings` names its file once and then reads and edits it by section and
// key. It is a handle on the same shared document the free functions of
// config/INI.h use for that path: threads, the background writer, merging
// with other processes and `Reload` work exactly as they do there, and a
// value written through either is seen at once by both.
//
// Example:
//
//   vty::config::ini::Settings settings("conf/app.ini");
//   int port = settings.Get<int>("Net", "Port", 80);   // "Port = 8080 ; x"
//   std::string host = settings.Get("Net", "Host", "localhost");
//   auto peers = settings.Get<std::vector<std::string>>("Net", "Peers", {});
//   settings.Set("Net", "Port", 9090);   // "Port = 9090 ; x"
//   if (auto found = settings.Inspect<int>("Net", "Port");
//       found.state == vty::config::ini::Lookup::State::Invalid) {
//     log("bad value for Net.Port on line ", found.line);
//   }
//
// How a handle reads a value, by its `Syntax` (the defaults shown):
//   line                        value                   the free functions
//   "Port = 8080   ; the port"  "8080"                  " 8080   ; the port"
//   "url = http://a;b"          "http://a;b" (no blank before the ';')
//   "color = #fff"              "#fff" ('#' is not a marker unless named)
//   "Name ="                    ""
//   "Peers = a , b,,c"          as a list: "a", "b", "", "c"
// and with quotes (lines and values as written, without C escapes):
//   Motd = "hello ; world"  ; hi   hello ; world (one quoted string: inside)
//   Path = "C:\dir with space"     C:\dir with space ('\' escapes '"' and '\'
//                                  only)
//   Name = "a" b                   "a" b (not one quoted string: as written)
//   Peers = "a, b", c              as a list: the items a, b and c
// `Syntax{false, "", ',', false}` (no trimming, comments or quotes) reads
// exactly what `ReadString` reads.
//
// How a handle edits: `Set` on an existing key replaces only the value, so
// the indentation, the key's spelling, the blanks around '=' and a trailing
// inline comment stay, and a bool keeps the words of the flag it replaces
// ("yes" -> "no"). A new key is spelled with the blanks around '=' of the
// section's last key line (or the file's first; "key=value" in a file
// without one) and goes right after the last key line of its section (after
// its header when it has none); a new section
// goes at the end of the file, after one blank line unless the last line is
// blank already. Every line keeps its ending; a new line ends as the line
// above it, a new section's as the file's first line. Once a handle is made
// on a document, the saves of the free functions keep the endings too. A
// value that would read back differently under the handle's syntax is
// written in double quotes where the syntax reads quotes, '"' and '\\'
// escaped where they must be (Motd = "hello ; world"  ; hi); a value that
// reads back bare is written bare. One that quotes cannot hold either, or
// any that needs them without `quotes`, is refused with
// `std::invalid_argument`, and nothing changes.
//
// Types: `T` is std::string, bool, int, long, long long, unsigned, unsigned
// long, unsigned long long, float, double (parsed and formatted as
// `ParseValue` and `FormatValue` do), or a std::vector of one of them; any
// other `T` does not compile.
//
// Thread safety: every member may be called from any thread at any time, on
// one handle or on several; copies of a handle share its document.

#ifndef VTY_CONFIG_SETTINGS_H_
#define VTY_CONFIG_SETTINGS_H_

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "config/LineRules.h"
#include "config/Live.h"
#include "config/Syntax.h"
#include "config/Values.h"

namespace vty::config::ini {

/// What is known about one key.
struct Lookup {
  /// Invalid: present, but its value does not parse as the type asked for.
  enum class State { Missing, Present, Invalid };
  State state = State::Missing;
  /// The value as `Get<std::string>` gives it ("" when missing).
  std::string text;
  /// The 1-based line of the key in the file as a save would write it (0
  /// when missing).
  std::size_t line = 0;
  /// The file the value came from, as its handle was given it ("" when
  /// missing); see config/Layers.h for the layers' other origins.
  std::string file;
};

namespace detail {
struct Handle;

template <class T>
inline constexpr bool kIsItem =
    std::is_same_v<T, std::string> || IsTypedValue<T>::value;
template <class T>
struct IsList : std::false_type {};
template <class T>
struct IsList<std::vector<T>> : std::bool_constant<kIsItem<T>> {};
template <class T>
inline constexpr bool kIsSetting = kIsItem<T> || IsList<T>::value;
}  // namespace detail

#define VTY_CONFIG_SETTING_TYPES_                                              \
  "vty::config::ini::Settings: T must be std::string, " VTY_CONFIG_TYPE_NAMES_ \
  "or a std::vector of one of them"

/// A handle on the document of one file, or on one built from a text.
class VTY_CONFIG_API Settings {
 public:
  /// A handle on the shared document of `file` (a path as the free functions
  /// take it), loaded now if no call has loaded it yet. Throws what the
  /// first load of a path throws (`std::filesystem::filesystem_error` for a
  /// file that exists but cannot be read) and `std::bad_alloc`.
  explicit Settings(const std::string& file, Syntax syntax = {});
  /// A handle on a new document in memory, parsed from `text` as a file is
  /// loaded. It is never saved: `Flush` and `Reload` throw
  /// `std::logic_error`. Throws `std::bad_alloc`.
  static Settings FromText(std::string_view text, Syntax syntax = {});
  /// Copies are handles on the same document, with the same syntax.
  Settings(const Settings&) = default;
  Settings& operator=(const Settings&) = default;
  ~Settings();

  /// The document's bytes as a save would write them: every line with its
  /// own ending (LF, CR LF, a lone CR, or none for a last line loaded
  /// without one), after a byte-order mark when the file began with one.
  std::string Text() const;
  /// The syntax this handle reads and edits with.
  const Syntax& GetSyntax() const;

  // ---- Reading ----
  //
  // A missing section or key is never an error. These throw only
  // `std::bad_alloc` and `std::system_error` for a lock that would deadlock.

  /// The value of `key` in `section` as a `T`, or `fallback` when the key is
  /// missing or its value does not parse as a `T`.
  template <class T>
  T Get(const SectionName& section, std::string_view key,
        const T& fallback) const {
    static_assert(detail::kIsSetting<T>, VTY_CONFIG_SETTING_TYPES_);
    T value{};
    if (Fetch(section, key, value, nullptr) != Lookup::State::Present) {
      value = fallback;
    }
    return value;
  }
  /// The value as text, or `fallback` (a string literal, a string view).
  std::string Get(const SectionName& section, std::string_view key,
                  const char* fallback) const {
    return Get(section, key, std::string_view(fallback));
  }
  std::string Get(const SectionName& section, std::string_view key,
                  std::string_view fallback) const {
    std::string value;
    if (FetchText(section, key, value, nullptr) != Lookup::State::Present) {
      value = fallback;
    }
    return value;
  }
  /// The value as a `T`, or nothing when missing or not a `T`.
  template <class T>
  std::optional<T> Find(const SectionName& section,
                        std::string_view key) const {
    static_assert(detail::kIsSetting<T>, VTY_CONFIG_SETTING_TYPES_);
    std::optional<T> value(std::in_place);
    if (Fetch(section, key, *value, nullptr) != Lookup::State::Present) {
      value.reset();
    }
    return value;
  }
  /// The value as text into `value`, reusing its storage: for a binding or a
  /// loop that reads many values, allocating only when one outgrows it. False,
  /// with `value` as it was, when the key is missing.
  bool FindInto(const SectionName& section, std::string_view key,
                std::string& value) const {
    return FetchText(section, key, value, nullptr) == Lookup::State::Present;
  }
  /// Whether the key is missing, present as a `T`, or present but not a `T`,
  /// with its text and line: what a service logs about a bad setting.
  template <class T = std::string>
  Lookup Inspect(const SectionName& section, std::string_view key) const {
    static_assert(detail::kIsSetting<T>, VTY_CONFIG_SETTING_TYPES_);
    Lookup found;
    T value{};
    found.state = Fetch(section, key, value, &found);
    return found;
  }

  /// Whether the section exists: a named one when one of its headers is in
  /// the document, the unnamed one when it has a key line.
  bool HasSection(const SectionName& section) const;
  bool HasKey(const SectionName& section, std::string_view key) const;
  /// Every section in file order (by its first header), each once, spelled
  /// as first written; the unnamed one first when it has a key line.
  std::vector<SectionName> Sections() const;
  /// The keys of a section in file order, each once (spelled as its first
  /// occurrence), then the keys of the syntax's default section it does not
  /// set; empty for a missing section.
  std::vector<std::string> Keys(const SectionName& section) const;
  /// The keys of a section with their values as `Get<std::string>` gives
  /// them, as `Keys` lists them.
  std::vector<std::pair<std::string, std::string>> Pairs(
      const SectionName& section) const;
  /// Every value of a key the section repeats, in file order, as
  /// `Get<std::string>` reads each (from the default section when the
  /// section lacks the key); empty when missing.
  std::vector<std::string> GetAll(const SectionName& section,
                                  std::string_view key) const;

  // ---- Changing ----
  //
  // Saved as the free functions save (before the call returns, or by the
  // background writer while it runs). Besides what the reads throw: the
  // `std::invalid_argument` of `WriteString` for a section name or key that
  // could not be stored, and for a value that would read back differently
  // under this handle's syntax even in quotes (a line break; without
  // `quotes`, blanks at its ends when values are trimmed, a comment marker
  // after a blank; for a list, an item holding a marker after a blank among
  // several, or, without `quotes`, the separator or blanks at its ends; a
  // list of one empty item), each naming the rule, the key and the file,
  // with nothing changed; `std::filesystem::filesystem_error` when a save fails
  // (the change then stays in memory for the next flush).

  /// Sets `key` in `section` to `value` (see the top of this file for where
  /// the text goes). A bool replacing a flag keeps its words and letter
  /// case: `yes` becomes `no`, `On` `Off`, `1` `0`, `TRUE` `FALSE`.
  template <class T>
  void Set(const SectionName& section, std::string_view key, const T& value) {
    static_assert(detail::kIsSetting<T>, VTY_CONFIG_SETTING_TYPES_);
    if constexpr (std::is_same_v<T, std::string>) {
      StoreText(section, key, value);
    } else if constexpr (detail::IsList<T>::value) {
      using Item = typename T::value_type;
      std::vector<std::string> items;
      items.reserve(value.size());
      for (const auto& item : value) {
        if constexpr (std::is_same_v<Item, std::string>) {
          items.push_back(item);
        } else {
          items.push_back(FormatValue<Item>(static_cast<Item>(item)));
        }
      }
      StoreItems(section, key, items);
    } else if constexpr (std::is_same_v<T, bool>) {
      StoreFlag(section, key, value);
    } else {
      StoreText(section, key, FormatValue<T>(value));
    }
  }
  void Set(const SectionName& section, std::string_view key,
           const char* value) {
    StoreText(section, key, value);
  }
  void Set(const SectionName& section, std::string_view key,
           std::string_view value) {
    StoreText(section, key, value);
  }
  /// A list written in place: `Set("Net", "Peers", {"a", "b"})` sets what
  /// `Get<std::vector<std::string>>` reads back, `{1, 2}` a list of int.
  template <class Item>
  void Set(const SectionName& section, std::string_view key,
           std::initializer_list<Item> items) {
    if constexpr (std::is_convertible_v<const Item&, std::string_view> &&
                  !detail::kIsItem<Item>) {
      Set(section, key, std::vector<std::string>(items.begin(), items.end()));
    } else {
      Set(section, key, std::vector<Item>(items));
    }
  }
  /// One more line for `key`, right after its last line (and the lines that
  /// continue it), spelled as that line; as `Set` when the key is missing.
  /// `GetAll` then lists the value last. Refuses as `Set` does.
  void Add(const SectionName& section, std::string_view key,
           std::string_view value);
  /// Removes every line of `key` in `section`, with the lines that continue
  /// it; true when there was one.
  bool Erase(const SectionName& section, std::string_view key);
  /// Removes every line of the section; true when it existed.
  bool EraseSection(const SectionName& section);
  /// Renames the named section `from` to `to`: in every header of it only
  /// the name changes, and every other byte of the document stays. True
  /// when it changed; false when `from` is missing or already spelled `to`.
  /// A save merges the rename with another process's edits; where that
  /// process has made a section `to` meanwhile, both keep their names.
  /// Throws `std::invalid_argument`, naming the rule, the section and the
  /// file, with nothing changed: for the unnamed section (it has no header),
  /// for a `to` that `Set` refuses as a section name or that would not load
  /// back from its header ("a] ; b" in "[Old] ; note" reads back as "a"),
  /// and for a `to` naming another section (compared as names match, in any
  /// letter case).
  bool RenameSection(const SectionName& from, const std::string& to);

  // ---- Comments ----
  //
  // A comment block is the comment lines right above a section's header or
  // a key line, with no blank line between: "; about the port\nPort=80" is
  // the block "about the port" of Port. A block belongs to the one line
  // right under it: the block above a header is the section's, not its
  // first key's, and a key right under its header has none (the header
  // stands between).

  /// The block above the section's first header, each line without its
  /// indentation, its marker (';' or '#') and the one blank after that,
  /// joined by "\n"; "" when there is none, the section is missing, or it
  /// is the unnamed one (which has no header).
  std::string Comment(const SectionName& section) const;
  /// The block above the key line `Get` reads (the first or last of a
  /// repeated key, by the syntax's `duplicates`, and the default section's
  /// when the section lacks the key); "" when none or missing.
  std::string Comment(const SectionName& section, std::string_view key) const;
  /// Replaces the block above the section's first header (or the key line
  /// `Set` writes: the section's own, never the default section's) with one
  /// comment line per line of `text` ("\n" between them): the indentation
  /// of the line it goes above, the file's first comment marker (';' in a
  /// file without one), a blank and the text (the marker alone for an empty
  /// line), so that `Comment` gives `text` back. Each new line ends as an
  /// added line does (as the line above it). "" removes the block. Saved
  /// and merged like `Set`; another process's edits of other lines
  /// survive, and where it erased the line the comment goes with it. A
  /// `text` equal to the block changes nothing. Throws
  /// `std::invalid_argument`, naming the rule, the section or key and the
  /// file, with nothing changed: for a `text` holding "\r", for a missing
  /// section or key (a key only the default section has included), and for
  /// the unnamed section's header; and what `Set` throws for a failed save.
  void SetComment(const SectionName& section, std::string_view text);
  void SetComment(const SectionName& section, std::string_view key,
                  std::string_view text);

  /// `Flush(file)` and `Reload(file)` of the free functions; for a document
  /// made by `FromText`, `std::logic_error`.
  void Flush();
  void Reload();
  /// With `inPlace`, every later save of this file's document (through any
  /// handle or free function of this process) rewrites the file itself,
  /// keeping its inode: for a single file bind-mounted into a container, or
  /// hard links that must all see the change. The cost: a crash or a full
  /// disk in the middle of the rewrite can leave the file torn (truncated
  /// or half old), where the default, a new file renamed over the old one,
  /// never can. For a document made by `FromText`, `std::logic_error`.
  void SaveInPlace(bool inPlace);

  // ---- Live settings (config/Live.h) ----

  /// `OnChange(file, callback)` of the free functions, with the values as
  /// this handle reads them: a key is reported only when its value as
  /// `Get<std::string>` gives it changed (an edit of its inline comment
  /// alone is not). For a document made by `FromText`, `std::logic_error`.
  [[nodiscard]] Subscription OnChange(
      std::function<void(const std::vector<Change>&)> callback) const;
  /// `Check(file)` of the document as this handle sees it, unsaved changes
  /// included; for a document made by `FromText`, of its text.
  std::vector<Finding> Check() const;

 private:
  Settings() = default;

  // Reads the value into `value`; with `inspect`, also its text and line.
  Lookup::State FetchText(const SectionName& section, std::string_view key,
                          std::string& value, Lookup* inspect) const;
  Lookup::State FetchItems(const SectionName& section, std::string_view key,
                           std::vector<std::string>& items,
                           Lookup* inspect) const;
  // Parses the value in place with `parse(text, value)`: Invalid when it
  // returns false.
  using Parser = bool (*)(std::string_view text, void* value);
  Lookup::State FetchParsed(const SectionName& section, std::string_view key,
                            Parser parse, void* value, Lookup* inspect) const;
  void StoreText(const SectionName& section, std::string_view key,
                 std::string_view value);
  void StoreItems(const SectionName& section, std::string_view key,
                  const std::vector<std::string>& items);
  // A flag that keeps the words of the one it replaces ("yes" -> "no").
  void StoreFlag(const SectionName& section, std::string_view key, bool value);

  template <class T>
  Lookup::State Fetch(const SectionName& section, std::string_view key,
                      T& value, Lookup* inspect) const {
    if constexpr (std::is_same_v<T, std::string>) {
      return FetchText(section, key, value, inspect);
    } else if constexpr (detail::IsList<T>::value) {
      std::vector<std::string> items;
      const Lookup::State state = FetchItems(section, key, items, inspect);
      if (state != Lookup::State::Present) return state;
      return FromItems(items, value);
    } else {
      return FetchParsed(
          section, key,
          [](std::string_view text, void* parsed) {
            return ParseValue<T>(text, *static_cast<T*>(parsed));
          },
          &value, inspect);
    }
  }
  template <class Item>
  static Lookup::State FromItems(std::vector<std::string>& items,
                                 std::vector<Item>& value) {
    value.clear();
    value.reserve(items.size());
    for (std::string& item : items) {
      if constexpr (std::is_same_v<Item, std::string>) {
        value.push_back(std::move(item));
      } else {
        Item parsed{};
        if (!ParseValue<Item>(item, parsed)) return Lookup::State::Invalid;
        value.push_back(parsed);
      }
    }
    return Lookup::State::Present;
  }

  // A value given as text outside any document (a layer of variables, see
  // config/Layers.h), read as a `T` with its list items split at
  // `separator`; the text is taken whole, neither trimmed nor uncommented.
  static std::vector<std::string> SplitItems(std::string_view text,
                                             char separator);
  template <class T>
  static Lookup::State ParseText(std::string_view text, char separator,
                                 T& value) {
    if constexpr (std::is_same_v<T, std::string>) {
      value.assign(text);
      return Lookup::State::Present;
    } else if constexpr (detail::IsList<T>::value) {
      std::vector<std::string> items = SplitItems(text, separator);
      return FromItems(items, value);
    } else {
      return ParseValue<T>(text, value) ? Lookup::State::Present
                                        : Lookup::State::Invalid;
    }
  }
  friend class Layers;

  std::shared_ptr<const detail::Handle> handle_;
};

#undef VTY_CONFIG_SETTING_TYPES_

}  // namespace vty::config::ini

#endif  // VTY_CONFIG_SETTINGS_H_
