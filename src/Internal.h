// Private declarations shared by the library's source files. Not installed;
// nothing here is exported from the shared library.

#ifndef VTY_CONFIG_SRC_INTERNAL_H_
#define VTY_CONFIG_SRC_INTERNAL_H_

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "config/INI.h"

namespace vty::config::ini::detail {

// The zero time point of a document: earlier than the last-write time of
// every existing file. (A default-constructed file_time_type would not do:
// libstdc++'s file clock counts from 2174.)
inline constexpr std::filesystem::file_time_type kZeroFileTime =
    std::filesystem::file_time_type::min();

// The text of `s` without its leading and trailing blanks (space, tab).
inline std::string_view StripBlanks(std::string_view s) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

// Replaces the file at `path` with `content` so that the file holds, at every
// moment, either its whole old content or its whole new content: the bytes go
// to a new file in the same directory, are synced, and the new file is renamed
// over the old. A symbolic link is followed and stays a link; an existing
// file's permissions (and, where allowed, owner) are kept. Falls back to
// rewriting the file in place when only the directory may not be written.
// Creates missing parent directories. Throws std::filesystem::filesystem_error
// naming the path; no temporary file is left behind.
void ReplaceFileContent(const std::filesystem::path& path,
                        std::string_view content);

// True while documents defer their writes. Set last by
// InitialiseAsyncWriting, cleared first by ShutdownAsyncWriting.
extern std::atomic<bool> g_async;

// Creates the registry now if it does not exist yet. Statics are destroyed in
// the reverse order of their construction, so a static that calls this in its
// constructor is destroyed while the registry still exists.
void CreateRegistry();

// The registered document of `file`, loaded on the first use of the path.
// Never null; throws what loading throws.
std::shared_ptr<File> GetFile(const std::string& file);

// The same document as GetFile, by reference: documents live until exit.
// Repeated calls from one thread take no lock.
File& Document(const std::string& file);

// Every registered document, taken under the registry's shared lock and
// returned without it, so the caller may flush them without stalling others.
std::vector<std::shared_ptr<File>> RegisteredFiles();

// Flushes every registered document once, swallowing each failure so that one
// failing document does not keep the others from being saved.
void FlushAllFiles() noexcept;

// Test seams, unreachable through the shared library (where the interval
// stays 60 seconds): the time from the end of one periodic cycle to the next,
// and a function the writer thread calls at the end of every cycle.
void SetFlushIntervalForTesting(std::chrono::milliseconds interval);
void SetCycleObserverForTesting(std::function<void()> observer);

}  // namespace vty::config::ini::detail

#endif  // VTY_CONFIG_SRC_INTERNAL_H_
