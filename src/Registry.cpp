// The registry of documents (one per path, shared by every thread) and the
// exported functions through which callers read and change files.

#include <array>
#include <cstring>
#include <mutex>

#include "Internal.h"

namespace vty::config::ini {

namespace detail {
std::atomic<bool> g_async{false};
}  // namespace detail

namespace {

namespace fs = std::filesystem;

struct PathHasher {
  std::size_t operator()(const fs::path& path) const noexcept {
    return fs::hash_value(path);
  }
};

// Lock order: the registry's mutex before any document's mutex.
struct State {
  std::shared_mutex mutex;
  // One document per path; paths compare element by element, so "dir//a.ini"
  // and "dir/a.ini" share one. Guarded by mutex.
  std::unordered_map<fs::path, std::shared_ptr<File>, PathHasher> files;
  // The same documents by the caller's spelling of the path, so that a
  // repeated call needs neither a path object nor the exclusive lock. Never
  // erased from, so its keys stay where they are. Guarded by mutex.
  using Spellings = std::unordered_map<std::string, std::shared_ptr<File>>;
  Spellings spellings;
};

// Created on first use and never destroyed, so that the destructor of any
// static object, and the background writer's flush at exit, may still use
// the library. Its documents stay reachable: nothing leaks.
State& GetState() {
  union Immortal {
    Immortal() : state() {}
    ~Immortal() {}
    State state;
  };
  static Immortal registry;
  return registry.state;
}

bool IsAsyncWriting() { return detail::g_async.load(); }

struct LoadObserver {
  std::mutex mutex;
  std::function<void(const std::string&)> observer;  // Guarded by mutex.
};

LoadObserver& GetLoadObserver() {
  static LoadObserver observer;
  return observer;
}

}  // namespace

namespace detail {

void CreateRegistry() { GetState(); }

// Each section's first line is its header, so the first line met of a
// section is that header; the set is consulted only where one block gives
// way to the next.
std::vector<std::string> NamesInFileOrder(const File& document) {
  std::vector<std::string> names;
  std::unordered_set<const Section*> seen;
  seen.reserve(document.sections.size());
  const Section* previous = nullptr;
  for (const auto& line : document.lines) {
    const Section* section = line->section.get();
    if (section == previous) continue;
    previous = section;
    if (section->name && seen.insert(section).second) {
      names.push_back(*section->name);
    }
  }
  return names;
}

namespace {

// The registered document of the spelling `file` and that spelling as the
// registry keeps it, loading the file on the first use of its path. The
// file loads without the registry's lock, so that one slow load stalls no
// other path; when two threads load one path at once, the first to
// register wins and the other's document is dropped.
using Registered = State::Spellings::value_type;

const Registered& Register(const std::string& file) {
  State& state = GetState();
  {
    std::shared_lock lock(state.mutex);
    const auto known = state.spellings.find(file);
    if (known != state.spellings.end()) return *known;
  }
  fs::path path(file);
  std::shared_ptr<File> loaded;
  {
    std::shared_lock lock(state.mutex);
    const auto found = state.files.find(path);
    if (found != state.files.end()) loaded = found->second;
  }
  if (!loaded) {
    std::function<void(const std::string&)> observer;
    {
      std::lock_guard lock(GetLoadObserver().mutex);
      observer = GetLoadObserver().observer;
    }
    if (observer) observer(file);
    loaded =
        std::make_shared<File>(path, std::function<bool()>(&IsAsyncWriting));
  }
  std::unique_lock lock(state.mutex);
  const auto found =
      state.files.emplace(std::move(path), std::move(loaded)).first;
  return *state.spellings.emplace(file, found->second).first;
}

}  // namespace

std::shared_ptr<File> GetFile(const std::string& file) {
  return Register(file).second;
}

namespace {

// The last few paths this thread named, and its slot in every document's
// ReaderLock: one thread-local block, so a call looks up one. Documents
// stay registered until exit, so a hit needs no lock and touches no cache
// line that other threads write. Trivially destructible, so that a call
// from a static destructor after this thread's objects are gone still
// finds it intact.
struct Recent {
  const std::string* name = nullptr;  // the registry's spelling
  File* document = nullptr;
};
constexpr std::size_t kRecent = 4;
constexpr std::size_t kNoSlot = ~std::size_t{0};
struct ThreadCache {
  std::array<Recent, kRecent> recent;
  std::size_t victim;
  std::size_t slot;
};
inline ThreadCache& ThisThread() {
  // Initial-exec: found at a fixed offset from the thread pointer, without
  // a call to __tls_get_addr; the block is small enough for the static TLS
  // that the C library keeps for libraries loaded later.
  [[gnu::tls_model("initial-exec")]] thread_local ThreadCache cache{
      {}, 0, kNoSlot};
  return cache;
}

}  // namespace

std::size_t ThreadSlot() {
  ThreadCache& cache = ThisThread();
  if (cache.slot == kNoSlot) cache.slot = ReaderLock::NewThreadSlot();
  return cache.slot;
}

Named Lookup(const std::string& file) {
  ThreadCache& cache = ThisThread();
  for (const Recent& entry : cache.recent) {
    if (entry.document != nullptr && *entry.name == file) {
      return Named{*entry.document, cache.slot};
    }
  }
  const Registered& registered = Register(file);
  if (cache.slot == kNoSlot) cache.slot = ReaderLock::NewThreadSlot();
  cache.recent[cache.victim] =
      Recent{&registered.first, registered.second.get()};
  cache.victim = (cache.victim + 1) % kRecent;
  return Named{*registered.second, cache.slot};
}

File& Document(const std::string& file) { return Lookup(file).document; }

std::vector<std::shared_ptr<File>> RegisteredFiles() {
  State& state = GetState();
  std::shared_lock lock(state.mutex);
  std::vector<std::shared_ptr<File>> documents;
  documents.reserve(state.files.size());
  for (const auto& entry : state.files) documents.push_back(entry.second);
  return documents;
}

void SetLoadObserverForTesting(
    std::function<void(const std::string&)> observer) {
  std::lock_guard lock(GetLoadObserver().mutex);
  GetLoadObserver().observer = std::move(observer);
}

void FlushRegistered(File& document) {
  WriterHold hold(DocumentState::Of(document).lock, WriterHold::Mode::kSave);
  SaveChanges(document, &hold);
}

void FlushAllFiles() noexcept {
  try {
    for (const auto& document : RegisteredFiles()) {
      try {
        FlushRegistered(*document);
      } catch (...) {
        // This document stays changed and is tried again next time.
      }
    }
  } catch (...) {
    // Out of memory for the list: nothing was flushed, nothing was lost.
  }
}

}  // namespace detail

// ---- Reading ----

std::string ReadString(const std::optional<std::string>& section,
                       const std::string_view& key,
                       const std::string_view& defaultValue,
                       const std::string& file) {
  return detail::Reading(file, [&](const File& document) {
    const KeyValuePair* pair = detail::FindPair(document, section, key);
    return pair ? pair->value : std::string(defaultValue);
  });
}

bool ReadString(const std::optional<std::string>& section,
                const std::string_view& key,
                const std::string_view& defaultValue, std::string& value,
                const std::string& file) {
  return detail::Reading(file, [&](const File& document) {
    const KeyValuePair* pair = detail::FindPair(document, section, key);
    value.assign(pair ? std::string_view(pair->value) : defaultValue);
    return pair != nullptr;
  });
}

unsigned long ReadString(const std::optional<std::string>& section,
                         const std::string_view& key,
                         const std::string_view& defaultValue, char* buffer,
                         unsigned long size, const std::string& file) {
  const std::string value = ReadString(section, key, defaultValue, file);
  if (size == 0) return 0;  // no room even for the terminator
  std::strncpy(buffer, value.c_str(), size - 1);
  buffer[size - 1] = '\0';
  return std::strlen(buffer);
}

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

// ---- Sections ----

std::unordered_set<std::string> ReadSectionNames(const std::string& file) {
  return detail::Reading(file, detail::SectionNames);
}

std::vector<std::string> ReadSection(const std::optional<std::string>& section,
                                     const std::string& file) {
  return detail::Reading(file, [&](const File& document) {
    return detail::SectionTexts(document, section);
  });
}

bool IterateAllSections(
    const std::string& file,
    const std::function<void(
        const std::string&, const std::vector<SectionKeyValuePair>&)>& callback,
    const std::function<void(const std::exception&)>& errorCallback) {
  // A snapshot in file order: sections created during the walk are not
  // visited, and no lock is held while a callback runs.
  for (const std::string& name :
       detail::Reading(file, detail::NamesInFileOrder)) {
    const auto pairs = detail::Reading(file, [&](const File& document) {
      return detail::SectionPairs(document, name);
    });
    std::vector<SectionKeyValuePair> visited;
    visited.reserve(pairs.size());
    for (const auto& [key, value] : pairs) visited.emplace_back(key, value);
    try {
      callback(name, visited);
    } catch (const std::exception& error) {
      errorCallback(error);
    }
  }
  return true;
}

// ---- Changing ----

namespace {

// Runs `change(File&)` on the registered document of `file` under its lock in
// change mode, then saves it (or, deferred, marks it changed) when `change`
// returns true.
template <class Change>
void Changing(const std::string& file, Change change) {
  File& document = detail::Document(file);
  detail::WriterHold hold(detail::DocumentState::Of(document).lock,
                          detail::WriterHold::Mode::kChange);
  const bool changedBefore =
      !detail::DocumentState::Of(document).changes.Empty();
  if (change(document)) {
    detail::ApplyWriteRule(document, &hold, changedBefore);
  }
}

}  // namespace

void WriteString(const std::optional<std::string>& section,
                 const std::string& key, const std::string& value,
                 const std::string& file) {
  detail::CheckStorable(section, key, value, file);
  Changing(file, [&](File& document) {
    detail::LoggedWrite(document, section, key, value);
    return true;
  });
}

template <>
void WriteValue<std::string>(const std::optional<std::string>& section,
                             const std::string& key, const std::string& value,
                             const std::string& file) {
  WriteString(section, key, value, file);
}

void EraseKey(const std::optional<std::string>& section,
              const std::string_view& key, const std::string& file) {
  Changing(file, [&](File& document) {
    return detail::LoggedEraseKey(document, section, key);
  });
}

void EraseSection(const std::optional<std::string>& section,
                  const std::string& file) {
  Changing(file, [&](File& document) {
    return detail::LoggedEraseSection(document, section);
  });
}

void Flush(const std::string& file) {
  detail::FlushRegistered(detail::Document(file));
}

void Reload(const std::string& file) {
  File& document = detail::Document(file);
  detail::WriterHold hold(detail::DocumentState::Of(document).lock,
                          detail::WriterHold::Mode::kSave);
  detail::Refresh(document, &hold);
}

}  // namespace vty::config::ini
