// The conflicts a merge meets: see Conflicts.h.

#include "save/Conflicts.h"

#include <atomic>
#include <utility>

#include "text/Refusal.h"

namespace vty::config::ini {

namespace {

std::string Side(const std::optional<std::string>& value) {
  return value ? "to \"" + *value + "\"" : std::string("erased");
}

}  // namespace

Conflict::Conflict(const std::string& file, SectionName section,
                   std::string key, std::optional<std::string> ours,
                   std::optional<std::string> theirs, bool oursStands)
    : std::runtime_error(
          "vty::config::ini: " + detail::KeySubject(section, key, file) +
          " was changed here (" + Side(ours) + ") and by another writer (" +
          Side(theirs) +
          ") since the file was last read; the later "
          "change, " +
          (oursStands ? "ours" : "theirs") + ", stands"),
      section_(std::move(section)),
      key_(std::move(key)),
      ours_(std::move(ours)),
      theirs_(std::move(theirs)),
      oursStands_(oursStands) {}

namespace detail {

namespace {

std::atomic<ConflictReport>& Report() {
  static std::atomic<ConflictReport> report{nullptr};
  return report;
}

}  // namespace

void SetConflictReport(ConflictReport report) noexcept {
  Report().store(report, std::memory_order_release);
}

void HeardConflicts::Add(const std::string& file, Conflict notice) noexcept {
  try {
    if (file_.empty()) file_ = file;
    notices_.push_back(std::make_exception_ptr(std::move(notice)));
  } catch (...) {
    // Out of memory: the merge stands, only its notice is lost.
  }
}

HeardConflicts::~HeardConflicts() {
  const ConflictReport report = Report().load(std::memory_order_acquire);
  if (report == nullptr) return;
  for (const std::exception_ptr& notice : notices_) report(file_, notice);
}

}  // namespace detail

}  // namespace vty::config::ini
