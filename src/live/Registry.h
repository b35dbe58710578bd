// One shared document per path, for the exported functions (Registry.cpp).

#ifndef VTY_CONFIG_SRC_LIVE_REGISTRY_H_
#define VTY_CONFIG_SRC_LIVE_REGISTRY_H_

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "save/Hold.h"

namespace vty::config::ini::detail {

// True while documents defer their writes. Set last by
// InitialiseAsyncWriting, cleared first by ShutdownAsyncWriting.
extern std::atomic<bool> g_async;

// Creates the registry now if it does not exist yet. Statics are destroyed in
// the reverse order of their construction, so a static that calls this in its
// constructor is destroyed while the registry still exists.
void CreateRegistry();

// The registered document of `file`, loaded on the first use of the path; it
// lives until the process ends. Repeated calls from one thread take no lock.
// Throws what loading throws, and then registers nothing.
File& RegisteredDocument(const std::string& file);

// Runs `read(const File&)` on the registered document of `file` under its
// hold in read mode, and returns what it returns.
template <class Read>
auto Reading(const std::string& file, Read read) {
  const File& document = RegisteredDocument(file);
  const Hold hold(document, Hold::Mode::kRead);
  return read(document);
}

// Every registered document, listed under the registry's lock and returned
// without it, so the caller may flush them without stalling others.
std::vector<File*> RegisteredFiles();

// A function called with the caller's spelling before each first load of a
// path, outside every lock: a seam for tests.
void SetLoadObserverForTesting(
    std::function<void(const std::string&)> observer);

}  // namespace vty::config::ini::detail

#endif  // VTY_CONFIG_SRC_LIVE_REGISTRY_H_
