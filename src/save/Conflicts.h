// The conflicts a merge meets: a key that this document and another writer
// both changed since the last load or save, and the notices that tell the
// error handler of them (Conflicts.cpp).

#ifndef VTY_CONFIG_SRC_SAVE_CONFLICTS_H_
#define VTY_CONFIG_SRC_SAVE_CONFLICTS_H_

#include <exception>
#include <string>
#include <vector>

#include "config/Live.h"

namespace vty::config::ini::detail {

// The notices of the merges of one save or reload, handed to the error
// handler as it goes. It is made before the locks it must outlive, so that
// the handler runs with none of them held, and it hands over what it holds
// on the way out of a failed save too: the merge did happen.
class HeardConflicts {
 public:
  HeardConflicts() = default;
  HeardConflicts(const HeardConflicts&) = delete;
  HeardConflicts& operator=(const HeardConflicts&) = delete;
  ~HeardConflicts();

  // Keeps `notice` about `file`. Never throws: out of memory, only the
  // notice is lost.
  void Add(const std::string& file, Conflict notice) noexcept;

 private:
  std::string file_;
  std::vector<std::exception_ptr> notices_;
};

// Where notices go: the error handler installs its report as it is first
// set (Failures.cpp), so that saving need not know of it. Before that, no
// one listens and notices are dropped.
using ConflictReport = void (*)(const std::string& file,
                                std::exception_ptr notice) noexcept;
void SetConflictReport(ConflictReport report) noexcept;

}  // namespace vty::config::ini::detail

#endif  // VTY_CONFIG_SRC_SAVE_CONFLICTS_H_
