// What every copy of a Layers shares (Layers.cpp, LayersLive.cpp).

#ifndef VTY_CONFIG_SRC_API_LAYERSSTATE_H_
#define VTY_CONFIG_SRC_API_LAYERSSTATE_H_

#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <vector>

#include "config/Layers.h"

namespace vty::config::ini::detail {

struct LayersListener;

// One layer read from a document: a file, a drop-in file, the defaults.
struct DocumentLayer {
  std::string origin;  // as Inspect and Files name it
  Settings settings;
  bool defaults = false;
};

// One environment variable of the prefix.
struct Variable {
  std::string name;   // as the environment spells it
  std::string rest;   // after the prefix and "__", folded to lower case
  std::string value;  // whole
};

struct LayersState {
  Syntax syntax;
  std::vector<std::string> paths;  // as given, lowest first
  std::size_t written = 0;         // of paths; == paths.size(): none

  // Lock order: a listener's mutex, then this, then a document's lock.
  mutable std::shared_mutex mutex;
  std::optional<std::string> prefix;  // Guarded by mutex.
  std::vector<DocumentLayer> layers;  // lowest first; by mutex
  std::vector<Variable> environment;  // sorted by name; by mutex
  std::vector<std::weak_ptr<LayersListener>> listeners;  // by mutex
};

// Every file layer of `paths` now: files and listed drop-ins, lowest first.
std::vector<DocumentLayer> FileLayers(const LayersState& state);

// Lists the drop-in directories again and, when the files to read differ,
// puts the new list in place (keeping the defaults) and refreshes the
// listeners: an entry of a directory made, removed or renamed.
void Relist(LayersState& state);

// Subscribes each listener to the file layers it lacks, then tells each what
// the layers' effective values changed to. Takes the state's lock.
void RefreshListeners(LayersState& state);

}  // namespace vty::config::ini::detail

#endif  // VTY_CONFIG_SRC_API_LAYERSSTATE_H_
