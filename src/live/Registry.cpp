// The registry of documents: one per path, loaded on its first use and
// shared by every thread until the process ends. Its lock is held only to
// find or add a document, never with another lock (Hold.h).

#include "live/Registry.h"

#include <array>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <unordered_map>

#include "base/Immortal.h"
#include "live/Fork.h"

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
State& GetState() { return detail::Immortal<State>(); }

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
    // Shared from here on: the exported functions take its DocumentLock.
    DocumentState::Of(*loaded).registered = true;
  }
  std::unique_lock lock(state.mutex);
  const auto found =
      state.files.emplace(std::move(path), std::move(loaded)).first;
  return *state.spellings.emplace(file, found->second).first;
}

}  // namespace

File& RegisteredDocument(const std::string& file) {
  // The last few paths this thread named: documents stay registered until
  // exit, so a hit needs no lock and touches no cache line that other
  // threads write. Trivially destructible, so that a call from a static
  // destructor after this thread's objects are gone still finds it intact;
  // initial-exec, so that it is found at a fixed offset from the thread
  // pointer, without a call to __tls_get_addr (it is small enough for the
  // static TLS the C library keeps for libraries loaded later).
  struct Recent {
    const std::string* name = nullptr;  // the registry's spelling
    File* document = nullptr;
  };
  constexpr std::size_t kRecent = 4;
  struct ThreadCache {
    std::array<Recent, kRecent> recent;
    std::size_t victim = 0;
  };
  [[gnu::tls_model("initial-exec")]] thread_local ThreadCache cache{{}, 0};
  for (const Recent& entry : cache.recent) {
    if (entry.document != nullptr && *entry.name == file) {
      return *entry.document;
    }
  }
  const Registered& registered = Register(file);
  cache.recent[cache.victim] =
      Recent{&registered.first, registered.second.get()};
  cache.victim = (cache.victim + 1) % kRecent;
  return *registered.second;
}

std::vector<File*> RegisteredFiles() {
  State& state = GetState();
  std::shared_lock lock(state.mutex);
  std::vector<File*> documents;
  documents.reserve(state.files.size());
  for (const auto& entry : state.files) documents.push_back(entry.second.get());
  return documents;
}

void PrepareRegistryForFork() {
  State& state = GetState();
  state.mutex.lock();
  for (const auto& entry : state.files) {
    DocumentState::Of(*entry.second).lock.LockChange();
  }
}

void RegistryAfterFork(bool child) {
  State& state = GetState();
  for (const auto& entry : state.files) {
    DocumentLock& lock = DocumentState::Of(*entry.second).lock;
    child ? lock.ResetAfterFork() : lock.UnlockWriter();
  }
  if (child) {
    // A read-write lock knows its writer by thread, which the child is not:
    // made anew in place, it is free.
    ::new (static_cast<void*>(&state.mutex)) std::shared_mutex();
  } else {
    state.mutex.unlock();
  }
}

void SetLoadObserverForTesting(
    std::function<void(const std::string&)> observer) {
  std::lock_guard lock(GetLoadObserver().mutex);
  GetLoadObserver().observer = std::move(observer);
}

}  // namespace detail

}  // namespace vty::config::ini
