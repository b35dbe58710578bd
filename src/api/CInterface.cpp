// The C interface (config/vty_ini.h): each function calls the handle,
// ini::Settings, or the layers, ini::Layers, and turns what it throws into a
// status and this thread's message. Nothing here reads or edits a document
// itself.

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "config/INI.h"
#include "config/Layers.h"
#include "config/Live.h"
#include "config/Settings.h"
#include "config/vty_ini.h"

namespace ini = vty::config::ini;

// A handle on one file or text, or on layers of them: one of the two.
struct vty_ini_settings {
  std::optional<ini::Settings> settings;
  std::optional<ini::Layers> layers;
  std::string file;  // as the caller named it; "" for a text or layers
};

struct vty_ini_subscription {
  ini::Subscription subscription;
};

namespace {

// This thread's last message. Should storing it fail, the pointer names the
// failure instead, so that vty_ini_last_error never dangles.
thread_local std::string lastError;
thread_local const char* lastMessage = "";

vty_ini_status Record(vty_ini_status status, const char* message,
                      int number) noexcept {
  try {
    lastError = message;
    lastMessage = lastError.c_str();
  } catch (...) {
    lastMessage = "out of memory";
  }
  errno = number;
  return status;
}

// The errno of a failed system call, where the code is one.
int ErrnoOf(const std::error_code& code) {
  return code.category() == std::generic_category() ||
                 code.category() == std::system_category()
             ? code.value()
             : 0;
}

// Called inside a catch block: records what was thrown.
vty_ini_status Failed() noexcept {
  try {
    throw;
  } catch (const std::invalid_argument& e) {
    return Record(VTY_INI_INVALID, e.what(), 0);
  } catch (const std::system_error& e) {  // filesystem_error among them
    return Record(VTY_INI_ERROR, e.what(), ErrnoOf(e.code()));
  } catch (const std::bad_alloc&) {
    return Record(VTY_INI_ERROR, "out of memory", ENOMEM);
  } catch (const std::exception& e) {
    return Record(VTY_INI_ERROR, e.what(), 0);
  } catch (...) {
    return Record(VTY_INI_ERROR, "vty_ini: an unknown failure", 0);
  }
}

// Runs `body`, which returns a status; what it throws becomes one.
template <class Body>
vty_ini_status Guarded(Body&& body) noexcept {
  try {
    return std::forward<Body>(body)();
  } catch (...) {
    return Failed();
  }
}

vty_ini_status Refuse(const char* message) {
  return Record(VTY_INI_INVALID, message, 0);
}

// Calls `body` with the face `handle` has, ini::Settings or ini::Layers,
// which read and write by the same names.
template <class Handle, class Body>
decltype(auto) OnFace(Handle& handle, Body&& body) {
  if (handle.layers) return body(*handle.layers);
  return body(*handle.settings);
}

constexpr const char* kNotForLayers =
    "vty_ini: layers have no such call; ask it of one layer's file";

ini::SectionName SectionOf(const char* section) {
  return section == nullptr ? ini::SectionName() : ini::SectionName(section);
}

// A copy the caller frees with vty_ini_free.
char* Copied(std::string_view text) {
  auto* copy = static_cast<char*>(std::malloc(text.size() + 1));
  if (copy == nullptr) throw std::bad_alloc();
  if (!text.empty()) std::memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  return copy;
}

// What a text read is fetched into before it is copied for the caller,
// kept per thread so that a hot read allocates only the caller's copy. No
// code of the caller's runs while it is in use.
struct Scratch {
  ini::SectionName section;
  std::string value;
};

// This thread's scratch. Not inlined: each use of a shared library's
// thread_local calls into the dynamic linker, so a read takes its address
// once, here.
[[gnu::noinline]] Scratch& ThisThreadsScratch() {
  thread_local Scratch scratch;
  return scratch;
}

// A value this long is not kept for the next read.
constexpr std::size_t kKeptScratch = std::size_t{64} << 10;

// `scratch`'s section named `section`, its storage reused.
const ini::SectionName& SectionIn(Scratch& scratch, const char* section) {
  if (section == nullptr) {
    scratch.section.reset();
  } else if (scratch.section) {
    // Reads in a row mostly name one section: then nothing is copied.
    if (scratch.section->compare(section) != 0) *scratch.section = section;
  } else {
    scratch.section.emplace(section);
  }
  return scratch.section;
}

// The value as text into `value`: a handle fills its storage, the layers
// give a new string.
bool FindText(const ini::Settings& settings, const ini::SectionName& section,
              const char* key, std::string& value) {
  return settings.FindInto(section, key, value);
}
bool FindText(const ini::Layers& layers, const ini::SectionName& section,
              const char* key, std::string& value) {
  std::optional<std::string> found = layers.Find<std::string>(section, key);
  if (found) value = std::move(*found);
  return found.has_value();
}

// Reads into this thread's scratch value, then hands it to `use`, and gives
// the storage back when a long value grew it.
template <class Use>
vty_ini_status WithText(const vty_ini_settings& settings, const char* section,
                        const char* key, Use&& use) {
  Scratch& mine = ThisThreadsScratch();
  const bool found = OnFace(settings, [&](const auto& face) {
    return FindText(face, SectionIn(mine, section), key, mine.value);
  });
  if (!found) return VTY_INI_MISSING;
  use(std::string_view(mine.value));
  if (mine.value.capacity() > kKeptScratch) std::string().swap(mine.value);
  return VTY_INI_OK;
}

ini::Syntax SyntaxOf(const vty_ini_syntax* syntax) {
  ini::Syntax rules;
  if (syntax == nullptr) return rules;
  rules.trimValues = syntax->trim_values != 0;
  rules.inlineComments =
      syntax->inline_comments == nullptr ? "" : syntax->inline_comments;
  rules.listSeparator = syntax->list_separator;
  rules.quotes = syntax->quotes != 0;
  rules.continuationLines = syntax->continuation_lines != 0;
  rules.duplicates = syntax->duplicates_last != 0
                         ? ini::Syntax::Duplicates::Last
                         : ini::Syntax::Duplicates::First;
  if (syntax->default_section != nullptr) {
    rules.defaultSection = syntax->default_section;
  }
  return rules;
}

// Hands a new object to the caller, or records why not and gives null.
template <class Make>
vty_ini_settings* Made(Make&& make) noexcept {
  try {
    return std::forward<Make>(make)().release();
  } catch (...) {
    Failed();
    return nullptr;
  }
}

constexpr const char* kNoHandle = "vty_ini: no settings handle (NULL)";
constexpr const char* kNoKey = "vty_ini: no key (NULL)";

// A typed read: the handle's Find, told apart from a missing key by HasKey
// only when it finds nothing, so that the hot path is one lookup.
template <class T, class Out>
vty_ini_status GetTyped(const vty_ini_settings* settings, const char* section,
                        const char* key, Out* value) {
  if (settings == nullptr) return Refuse(kNoHandle);
  if (key == nullptr || value == nullptr) return Refuse(kNoKey);
  return Guarded([&] {
    const ini::SectionName name = SectionOf(section);
    return OnFace(*settings, [&](const auto& face) {
      if (std::optional<T> found = face.template Find<T>(name, key)) {
        *value = static_cast<Out>(std::move(*found));
        return VTY_INI_OK;
      }
      return face.HasKey(name, key) ? VTY_INI_INVALID : VTY_INI_MISSING;
    });
  });
}

template <class T>
vty_ini_status SetTyped(vty_ini_settings* settings, const char* section,
                        const char* key, const T& value) {
  if (settings == nullptr) return Refuse(kNoHandle);
  if (key == nullptr) return Refuse(kNoKey);
  return Guarded([&] {
    OnFace(*settings,
           [&](auto& face) { face.Set(SectionOf(section), key, value); });
    return VTY_INI_OK;
  });
}

vty_ini_status StatusOf(ini::Lookup::State state) {
  switch (state) {
    case ini::Lookup::State::Present:
      return VTY_INI_OK;
    case ini::Lookup::State::Invalid:
      return VTY_INI_INVALID;
    case ini::Lookup::State::Missing:
      break;
  }
  return VTY_INI_MISSING;
}

template <class Face>
ini::Lookup InspectAs(const Face& settings, const ini::SectionName& section,
                      const char* key, vty_ini_type type) {
  switch (type) {
    case VTY_INI_INT64:
      return settings.template Inspect<int64_t>(section, key);
    case VTY_INI_DOUBLE:
      return settings.template Inspect<double>(section, key);
    case VTY_INI_BOOL:
      return settings.template Inspect<bool>(section, key);
    case VTY_INI_TEXT:
      break;
  }
  return settings.template Inspect<std::string>(section, key);
}

// The message of a failure the error handler hears.
std::string MessageOf(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "vty_ini: an unknown failure";
  }
}

}  // namespace

extern "C" {

vty_ini_syntax vty_ini_default_syntax(void) {
  const ini::Syntax rules;
  vty_ini_syntax syntax{};
  syntax.trim_values = rules.trimValues ? 1 : 0;
  syntax.inline_comments = ";";
  syntax.list_separator = rules.listSeparator;
  syntax.quotes = rules.quotes ? 1 : 0;
  syntax.continuation_lines = rules.continuationLines ? 1 : 0;
  syntax.duplicates_last =
      rules.duplicates == ini::Syntax::Duplicates::Last ? 1 : 0;
  syntax.default_section = nullptr;
  return syntax;
}

// ---- Opening ----

vty_ini_settings* vty_ini_open(const char* file) {
  return vty_ini_open_with(file, nullptr);
}

vty_ini_settings* vty_ini_open_with(const char* file,
                                    const vty_ini_syntax* syntax) {
  if (file == nullptr) {
    Refuse("vty_ini_open: no file (NULL)");
    return nullptr;
  }
  return Made([&] {
    auto made = std::make_unique<vty_ini_settings>();
    made->settings.emplace(file, SyntaxOf(syntax));
    made->file = file;
    return made;
  });
}

vty_ini_settings* vty_ini_from_text(const char* text, size_t size) {
  return vty_ini_from_text_with(text, size, nullptr);
}

vty_ini_settings* vty_ini_from_text_with(const char* text, size_t size,
                                         const vty_ini_syntax* syntax) {
  if (text == nullptr && size != 0) {
    Refuse("vty_ini_from_text: no text (NULL) of a size above 0");
    return nullptr;
  }
  return Made([&] {
    const std::string_view bytes =
        size == 0 ? std::string_view() : std::string_view(text, size);
    auto made = std::make_unique<vty_ini_settings>();
    made->settings.emplace(ini::Settings::FromText(bytes, SyntaxOf(syntax)));
    return made;
  });
}

vty_ini_settings* vty_ini_open_layers(const char* const* paths, size_t count) {
  return vty_ini_open_layers_with(paths, count, nullptr, nullptr, nullptr);
}

vty_ini_settings* vty_ini_open_layers_with(const char* const* paths,
                                           size_t count,
                                           const vty_ini_syntax* syntax,
                                           const char* defaults,
                                           const char* environment) {
  if (paths == nullptr && count != 0) {
    Refuse("vty_ini_open_layers: no paths (NULL)");
    return nullptr;
  }
  for (size_t i = 0; i < count; ++i) {
    if (paths[i] == nullptr) {
      Refuse("vty_ini_open_layers: a path is NULL");
      return nullptr;
    }
  }
  return Made([&] {
    auto made = std::make_unique<vty_ini_settings>();
    ini::Layers& layers = made->layers.emplace(
        std::vector<std::string>(paths, paths + count), SyntaxOf(syntax));
    if (defaults != nullptr) layers.Defaults(defaults);
    if (environment != nullptr) layers.Environment(environment);
    return made;
  });
}

void vty_ini_close(vty_ini_settings* settings) {
  const std::unique_ptr<vty_ini_settings> owned(settings);
}

// ---- Reading ----

vty_ini_status vty_ini_get(const vty_ini_settings* settings,
                           const char* section, const char* key, char** value,
                           size_t* line) {
  if (settings == nullptr) return Refuse(kNoHandle);
  if (key == nullptr) return Refuse(kNoKey);
  return Guarded([&] {
    if (value != nullptr && line == nullptr) {  // the hot path: one copy
      return WithText(*settings, section, key,
                      [&](std::string_view text) { *value = Copied(text); });
    }
    return OnFace(*settings, [&](const auto& face) {
      const ini::SectionName name = SectionOf(section);
      if (line != nullptr) {
        const ini::Lookup found = face.Inspect(name, key);
        if (found.state != ini::Lookup::State::Present) return VTY_INI_MISSING;
        if (value != nullptr) *value = Copied(found.text);
        *line = found.line;
        return VTY_INI_OK;
      }
      return face.HasKey(name, key) ? VTY_INI_OK : VTY_INI_MISSING;
    });
  });
}

vty_ini_status vty_ini_get_buffer(const vty_ini_settings* settings,
                                  const char* section, const char* key,
                                  char* buffer, size_t capacity, size_t* size) {
  if (settings == nullptr) return Refuse(kNoHandle);
  if (key == nullptr) return Refuse(kNoKey);
  if (size == nullptr || (buffer == nullptr && capacity != 0)) {
    return Refuse("vty_ini_get_buffer: no buffer or size (NULL)");
  }
  return Guarded([&] {
    return WithText(*settings, section, key, [&](std::string_view text) {
      *size = text.size();
      if (text.size() < capacity) {
        if (!text.empty()) std::memcpy(buffer, text.data(), text.size());
        buffer[text.size()] = '\0';
      }
    });
  });
}

vty_ini_status vty_ini_get_int64(const vty_ini_settings* settings,
                                 const char* section, const char* key,
                                 int64_t* value) {
  return GetTyped<int64_t>(settings, section, key, value);
}

vty_ini_status vty_ini_get_double(const vty_ini_settings* settings,
                                  const char* section, const char* key,
                                  double* value) {
  return GetTyped<double>(settings, section, key, value);
}

vty_ini_status vty_ini_get_bool(const vty_ini_settings* settings,
                                const char* section, const char* key,
                                int* value) {
  return GetTyped<bool>(settings, section, key, value);
}

vty_ini_status vty_ini_get_list(
    const vty_ini_settings* settings, const char* section, const char* key,
    void (*each)(void* user, const char* item, size_t size), void* user) {
  if (each == nullptr) return Refuse("vty_ini_get_list: no callback (NULL)");
  std::vector<std::string> items;
  const vty_ini_status status =
      GetTyped<std::vector<std::string>>(settings, section, key, &items);
  if (status != VTY_INI_OK) return status;
  // Called after the read: no lock is held while the caller's code runs.
  for (const std::string& item : items) each(user, item.c_str(), item.size());
  return VTY_INI_OK;
}

vty_ini_status vty_ini_inspect(const vty_ini_settings* settings,
                               const char* section, const char* key,
                               vty_ini_type type, char** text, size_t* line,
                               char** file) {
  if (settings == nullptr) return Refuse(kNoHandle);
  if (key == nullptr) return Refuse(kNoKey);
  return Guarded([&] {
    const ini::Lookup found = OnFace(*settings, [&](const auto& face) {
      return InspectAs(face, SectionOf(section), key, type);
    });
    if (found.state != ini::Lookup::State::Missing) {
      // Every copy is made before any is handed over: nothing leaks.
      std::unique_ptr<char, decltype(&std::free)> copy(
          text == nullptr ? nullptr : Copied(found.text), &std::free);
      // Through layers, the file the value came from.
      if (file != nullptr) {
        *file = Copied(settings->layers ? found.file : settings->file);
      }
      if (text != nullptr) *text = copy.release();
      if (line != nullptr) *line = found.line;
    }
    return StatusOf(found.state);
  });
}

vty_ini_status vty_ini_has_section(const vty_ini_settings* settings,
                                   const char* section) {
  if (settings == nullptr) return Refuse(kNoHandle);
  return Guarded([&] {
    return OnFace(*settings,
                  [&](const auto& face) {
                    return face.HasSection(SectionOf(section));
                  })
               ? VTY_INI_OK
               : VTY_INI_MISSING;
  });
}

vty_ini_status vty_ini_has_key(const vty_ini_settings* settings,
                               const char* section, const char* key) {
  return vty_ini_get(settings, section, key, nullptr, nullptr);
}

vty_ini_status vty_ini_sections(const vty_ini_settings* settings,
                                void (*each)(void* user, const char* section),
                                void* user) {
  if (settings == nullptr) return Refuse(kNoHandle);
  if (each == nullptr) return Refuse("vty_ini_sections: no callback (NULL)");
  return Guarded([&] {
    const auto sections =
        OnFace(*settings, [](const auto& face) { return face.Sections(); });
    for (const ini::SectionName& name : sections) {
      each(user, name ? name->c_str() : nullptr);
    }
    return VTY_INI_OK;
  });
}

vty_ini_status vty_ini_keys(
    const vty_ini_settings* settings, const char* section,
    void (*each)(void* user, const char* key, const char* value), void* user) {
  if (settings == nullptr) return Refuse(kNoHandle);
  if (each == nullptr) return Refuse("vty_ini_keys: no callback (NULL)");
  return Guarded([&] {
    const ini::SectionName name = SectionOf(section);
    const auto pairs =
        OnFace(*settings, [&](const auto& face) { return face.Pairs(name); });
    if (pairs.empty() && !OnFace(*settings, [&](const auto& face) {
          return face.HasSection(name);
        })) {
      return VTY_INI_MISSING;
    }
    for (const auto& [key, value] : pairs)
      each(user, key.c_str(), value.c_str());
    return VTY_INI_OK;
  });
}

vty_ini_status vty_ini_text(const vty_ini_settings* settings, char** text,
                            size_t* size) {
  if (settings == nullptr) return Refuse(kNoHandle);
  if (text == nullptr) return Refuse("vty_ini_text: no place for the text");
  return Guarded([&] {
    if (settings->layers) return Refuse(kNotForLayers);
    const std::string bytes = settings->settings->Text();
    *text = Copied(bytes);
    if (size != nullptr) *size = bytes.size();
    return VTY_INI_OK;
  });
}

vty_ini_status vty_ini_check(const vty_ini_settings* settings,
                             void (*each)(void* user, const char* file,
                                          size_t line, const char* message),
                             void* user) {
  if (settings == nullptr) return Refuse(kNoHandle);
  if (each == nullptr) return Refuse("vty_ini_check: no callback (NULL)");
  return Guarded([&] {
    const auto findings =
        OnFace(*settings, [](const auto& face) { return face.Check(); });
    for (const ini::Finding& finding : findings) {
      // Each layer's finding names its file.
      const std::string& file =
          finding.file.empty() ? settings->file : finding.file;
      each(user, file.c_str(), finding.line, finding.message.c_str());
    }
    return VTY_INI_OK;
  });
}

// ---- Changing ----

vty_ini_status vty_ini_set(vty_ini_settings* settings, const char* section,
                           const char* key, const char* value) {
  if (value == nullptr) return Refuse("vty_ini_set: no value (NULL)");
  return SetTyped(settings, section, key, std::string_view(value));
}

vty_ini_status vty_ini_set_int64(vty_ini_settings* settings,
                                 const char* section, const char* key,
                                 int64_t value) {
  return SetTyped(settings, section, key, value);
}

vty_ini_status vty_ini_set_double(vty_ini_settings* settings,
                                  const char* section, const char* key,
                                  double value) {
  return SetTyped(settings, section, key, value);
}

vty_ini_status vty_ini_set_bool(vty_ini_settings* settings, const char* section,
                                const char* key, int value) {
  return SetTyped(settings, section, key, value != 0);
}

vty_ini_status vty_ini_set_list(vty_ini_settings* settings, const char* section,
                                const char* key, const char* const* items,
                                size_t count) {
  if (items == nullptr && count != 0) {
    return Refuse("vty_ini_set_list: no items (NULL) of a count above 0");
  }
  for (size_t i = 0; i < count; ++i) {
    if (items[i] == nullptr) return Refuse("vty_ini_set_list: an item is NULL");
  }
  return Guarded([&] {
    return SetTyped(settings, section, key,
                    std::vector<std::string>(items, items + count));
  });
}

vty_ini_status vty_ini_erase(vty_ini_settings* settings, const char* section,
                             const char* key) {
  if (settings == nullptr) return Refuse(kNoHandle);
  if (key == nullptr) return Refuse(kNoKey);
  return Guarded([&] {
    return OnFace(
               *settings,
               [&](auto& face) { return face.Erase(SectionOf(section), key); })
               ? VTY_INI_OK
               : VTY_INI_MISSING;
  });
}

vty_ini_status vty_ini_erase_section(vty_ini_settings* settings,
                                     const char* section) {
  if (settings == nullptr) return Refuse(kNoHandle);
  return Guarded([&] {
    if (settings->layers) return Refuse(kNotForLayers);
    return settings->settings->EraseSection(SectionOf(section))
               ? VTY_INI_OK
               : VTY_INI_MISSING;
  });
}

vty_ini_status vty_ini_flush(vty_ini_settings* settings) {
  if (settings == nullptr) return Refuse(kNoHandle);
  return Guarded([&] {
    OnFace(*settings, [](auto& face) { face.Flush(); });
    return VTY_INI_OK;
  });
}

vty_ini_status vty_ini_reload(vty_ini_settings* settings) {
  if (settings == nullptr) return Refuse(kNoHandle);
  return Guarded([&] {
    OnFace(*settings, [](auto& face) { face.Reload(); });
    return VTY_INI_OK;
  });
}

// ---- Live settings ----

vty_ini_subscription* vty_ini_on_change(
    const vty_ini_settings* settings,
    const char* (*each)(void* user, const vty_ini_change* changes,
                        size_t count),
    void* user) {
  if (settings == nullptr) {
    Refuse(kNoHandle);
    return nullptr;
  }
  if (each == nullptr) {
    Refuse("vty_ini_on_change: no callback (NULL)");
    return nullptr;
  }
  try {
    auto subscription = std::make_unique<vty_ini_subscription>();
    const auto callback = [each,
                           user](const std::vector<ini::Change>& changes) {
      std::vector<vty_ini_change> borrowed;
      borrowed.reserve(changes.size());
      for (const ini::Change& change : changes) {
        borrowed.push_back(
            vty_ini_change{change.section ? change.section->c_str() : nullptr,
                           change.key.c_str(),
                           change.before ? change.before->c_str() : nullptr,
                           change.after ? change.after->c_str() : nullptr});
      }
      // Thrown here, the failure reaches the error handler with the file.
      if (const char* failure = each(user, borrowed.data(), borrowed.size())) {
        throw std::runtime_error(failure);
      }
    };
    subscription->subscription = OnFace(
        *settings, [&](const auto& face) { return face.OnChange(callback); });
    return subscription.release();
  } catch (...) {
    Failed();
    return nullptr;
  }
}

void vty_ini_cancel(vty_ini_subscription* subscription) {
  const std::unique_ptr<vty_ini_subscription> owned(subscription);
}

void vty_ini_set_error_handler(void (*handler)(void* user, const char* file,
                                               const char* message),
                               void* user) {
  try {
    if (handler == nullptr) {
      ini::SetErrorHandler(nullptr);
      return;
    }
    ini::SetErrorHandler([handler, user](const std::string& file,
                                         const std::exception_ptr& error) {
      handler(user, file.c_str(), MessageOf(error).c_str());
    });
  } catch (...) {
    Failed();  // only the handler's storage can fail: the old one stays
  }
}

vty_ini_status vty_ini_start_writer(unsigned interval_ms) {
  return Guarded([&] {
    if (interval_ms == 0) {
      ini::InitialiseAsyncWriting();
    } else {
      ini::InitialiseAsyncWriting(std::chrono::milliseconds(interval_ms));
    }
    return VTY_INI_OK;
  });
}

void vty_ini_stop_writer(void) { ini::ShutdownAsyncWriting(); }

// ---- Errors and memory ----

const char* vty_ini_last_error(void) { return lastMessage; }

void vty_ini_free(void* memory) { std::free(memory); }

}  // extern "C"
