// Vantry.Config: settings read through layers — the program's defaults, a
// vendor's file, the administrator's, drop-in directories and the
// environment — with the file and line every value came from.
//
// File: config/Layers.h
// -----------------------------------------------------------------------------
//
// A `Layers` reads a key from the highest layer that has it, and writes into
// the administrator's file (the last path given) through its handle, so
// that a write keeps every rule of config/Settings.h: line-exact, keeping
// the layout, atomic, merged with other writers.
//
// Example:
//
//   vty::config::ini::Layers layers({"/usr/lib/app/app.conf",
//                                    "/usr/lib/app/app.conf.d",
//                                    "/etc/app/app.conf.d",
//                                    "/etc/app/app.conf"});
//   layers.Defaults("[Net]\nPort = 80\n").Environment("APP");
//   int port = layers.Get<int>("Net", "Port", 0);   // APP__NET__PORT wins
//   auto found = layers.Inspect("Net", "Port");     // found.file, found.line
//   layers.Set("Net", "Port", 9090);                // into /etc/app/app.conf
//
// Layers, lowest first: `Defaults`, the paths in the order given (a drop-in
// directory's files in byte order of their names), then `Environment`.
//
// A path names a drop-in directory when it is a directory, or when it ends
// in "/" or ".d" (so that one not made yet is not taken for a file). Its
// regular files ending in ".ini" or ".conf" are read; a file of the same name
// in a later directory replaces the earlier one whole, and one that is empty
// or a symbolic link to /dev/null masks it. Directories are listed when the
// Layers is made, on `Reload`, and while an `OnChange` subscription lives,
// whenever a file in them is added, removed or renamed; a read never lists.
//
// Thread safety: every member may be called from any thread at any time.
// Copies share their layers.

#ifndef VTY_CONFIG_LAYERS_H_
#define VTY_CONFIG_LAYERS_H_

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "config/Live.h"
#include "config/Settings.h"
#include "config/Syntax.h"

namespace vty::config::ini {

namespace detail {
struct LayersState;
}  // namespace detail

/// Settings merged key by key from several layers.
class VTY_CONFIG_API Layers {
 public:
  /// The layers of `paths`, lowest precedence first, each read with `syntax`
  /// (see the top of this file for drop-in directories). A missing file or
  /// directory is an empty layer, read when it appears. Each file is the
  /// shared document of its path, as a `Settings` handle on it has. The last
  /// path is the file written into, so it must not name a drop-in directory
  /// (whose files would hide a write at once): that throws
  /// `std::invalid_argument`, as do what `Settings` throws.
  explicit Layers(std::vector<std::string> paths, Syntax syntax = {});
  Layers(const Layers&) = default;
  Layers& operator=(const Layers&) = default;
  ~Layers();

  /// A bottom layer parsed from the program's own `text`, never saved; its
  /// origin is "<defaults>". Calling it again replaces it.
  Layers& Defaults(std::string_view text);
  /// A top layer of the environment variables named `prefix`__SECTION__KEY
  /// (the unnamed section's keys: `prefix`__KEY), read now and on `Reload`.
  /// Names match in any ASCII letter case, and a character of a section or
  /// key name that cannot stand in a variable name (anything but a letter, a
  /// digit or '_') matches '_'. A value is taken whole, as the variable
  /// holds it. Its origin is "env:" and the variable's name, on line 0. The
  /// environment adds no names to `Sections`, `Keys` and `Pairs` (a name in
  /// it cannot tell where a section's name ends); it gives the values of the
  /// keys they list.
  Layers& Environment(std::string prefix);

  // ---- Reading ----
  //
  // As `Settings` reads, from the highest layer that has the key; a value
  // there that is no `T` gives `fallback` (a lower layer does not stand in
  // for a mistyped higher one). Throws what `Settings` reads throw.

  template <class T>
  T Get(const SectionName& section, std::string_view key,
        const T& fallback) const {
    T value{};
    if (Fetch(section, key, value, nullptr) != Lookup::State::Present) {
      value = fallback;
    }
    return value;
  }
  std::string Get(const SectionName& section, std::string_view key,
                  const char* fallback) const {
    return Get(section, key, std::string_view(fallback));
  }
  std::string Get(const SectionName& section, std::string_view key,
                  std::string_view fallback) const {
    std::string value;
    if (Fetch(section, key, value, nullptr) != Lookup::State::Present) {
      value = fallback;
    }
    return value;
  }
  template <class T>
  std::optional<T> Find(const SectionName& section,
                        std::string_view key) const {
    std::optional<T> value(std::in_place);
    if (Fetch(section, key, *value, nullptr) != Lookup::State::Present) {
      value.reset();
    }
    return value;
  }
  /// As `Settings::Inspect`, with the layer the value came from: its file as
  /// `Files` lists it, "<defaults>" or "env:NAME" (line 0).
  template <class T = std::string>
  Lookup Inspect(const SectionName& section, std::string_view key) const {
    Lookup found;
    T value{};
    found.state = Fetch(section, key, value, &found);
    return found;
  }

  /// Whether some layer has the section (the environment: a variable of it).
  bool HasSection(const SectionName& section) const;
  bool HasKey(const SectionName& section, std::string_view key) const;
  /// The union of every layer's sections, in the order of first appearance
  /// from the lowest layer up, each spelled as first written.
  std::vector<SectionName> Sections() const;
  /// The union of the section's keys in every layer, ordered as `Sections`.
  std::vector<std::string> Keys(const SectionName& section) const;
  /// `Keys` with the values `Get<std::string>` gives.
  std::vector<std::pair<std::string, std::string>> Pairs(
      const SectionName& section) const;

  // ---- Changing ----
  //
  // Into the administrator's file (the last path given),
  // through its handle, with what `Settings` throws; and `std::logic_error`
  // for a Layers made without a file path. A higher layer's value (a drop-in,
  // the environment) still wins the reads.

  template <class T>
  void Set(const SectionName& section, std::string_view key, const T& value) {
    Written().Set(section, key, value);
  }
  void Set(const SectionName& section, std::string_view key,
           const char* value) {
    Written().Set(section, key, value);
  }
  /// Erases the key from the administrator's file only: a lower layer's
  /// value then shows through. True when the file had it.
  bool Erase(const SectionName& section, std::string_view key);
  /// The handle of the file layer `path` (spelled as `Files` lists it, or as
  /// given for a missing file), to read or write that layer alone. Throws
  /// `std::invalid_argument` for a path that is no file layer.
  Settings Layer(const std::string& path) const;
  /// Every file read now, lowest first: each existing file path as given,
  /// each drop-in file as its directory, '/' and its name (masking files and
  /// masked ones left out).
  std::vector<std::string> Files() const;

  // ---- Live ----

  /// Calls `callback` with every key whose effective value (as
  /// `Get<std::string>` gives it) another writer changed in any layer, a
  /// drop-in file added, removed or renamed included; a change hidden by a
  /// higher layer is not reported, and `Reload` reports what it brings in.
  /// Calls never overlap; the rest is as `Settings::OnChange`.
  Subscription OnChange(
      std::function<void(const std::vector<Change>&)> callback) const;
  /// Every layer's `Check`, lowest first, each finding naming its file.
  std::vector<Finding> Check() const;
  /// Reads every layer again: each file as `Settings::Reload` does, each
  /// drop-in directory listed anew, the environment read again.
  void Reload();
  /// Flushes every file layer's unsaved changes.
  void Flush();

 private:
  // Reads a value from one layer: from `layer`, or (null) from a variable's
  // text `raw`, its list items split at `separator`.
  using LayerFetch = Lookup::State (*)(const Settings* layer,
                                       std::string_view raw, char separator,
                                       const SectionName& section,
                                       std::string_view key, void* value,
                                       Lookup* inspect);

  template <class T>
  static Lookup::State FetchFrom(const Settings* layer, std::string_view raw,
                                 char separator, const SectionName& section,
                                 std::string_view key, void* value,
                                 Lookup* inspect) {
    T& typed = *static_cast<T*>(value);
    if (layer != nullptr) return layer->Fetch(section, key, typed, inspect);
    if (inspect != nullptr) inspect->text = raw;
    return Settings::ParseText(raw, separator, typed);
  }
  template <class T>
  Lookup::State Fetch(const SectionName& section, std::string_view key,
                      T& value, Lookup* inspect) const {
    static_assert(detail::kIsSetting<T>,
                  "vty::config::ini::Layers: T must be a type Settings reads");
    return Walk(section, key, &FetchFrom<T>, &value, inspect);
  }
  // Runs `fetch` on each layer from the top until one has the key.
  Lookup::State Walk(const SectionName& section, std::string_view key,
                     LayerFetch fetch, void* value, Lookup* inspect) const;
  Settings Written() const;

  std::shared_ptr<detail::LayersState> state_;
};

}  // namespace vty::config::ini

#endif  // VTY_CONFIG_LAYERS_H_
