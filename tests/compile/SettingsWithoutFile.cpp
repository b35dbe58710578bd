// Must not compile: a handle user is not given the document classes.
#include "config/Settings.h"

std::size_t Lines(const vty::config::ini::File& file) {
  return file.lines.size();
}
