// Loading a file into a document (Load.cpp).

#ifndef VTY_CONFIG_SRC_DOCUMENT_LOAD_H_
#define VTY_CONFIG_SRC_DOCUMENT_LOAD_H_

#include "disk/Disk.h"
#include "document/Document.h"

namespace vty::config::ini::detail {

// Replaces the document's lines and sections with those of `content`, and
// its snapshot with content's. A missing file gives no sections at all, an
// empty one the unnamed section. Gives the strong guarantee: on bad_alloc
// the document is unchanged.
void Parse(File& file, const DiskContent& content);

}  // namespace vty::config::ini::detail

#endif  // VTY_CONFIG_SRC_DOCUMENT_LOAD_H_
