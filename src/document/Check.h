// Checking a document for lines a person probably did not mean.

#ifndef VTY_CONFIG_SRC_DOCUMENT_CHECK_H_
#define VTY_CONFIG_SRC_DOCUMENT_CHECK_H_

#include <string>
#include <vector>

#include "config/INI.h"
#include "config/Live.h"

namespace vty::config::ini::detail {

// The findings of Check on the lines of `file`, numbered from 1 in the
// order the document keeps them, each naming `origin`. The caller holds the
// document's lock.
std::vector<Finding> CheckLines(const File& file, const std::string& origin);

}  // namespace vty::config::ini::detail

#endif  // VTY_CONFIG_SRC_DOCUMENT_CHECK_H_
