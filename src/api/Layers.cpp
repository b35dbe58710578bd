// Layers: reading merged key by key from the top layer down, each layer read
// by its own handle, so that a layer reads exactly as a Settings does. The
// layer list is built when the Layers is made and on Reload (directories are
// listed then, never on a read); a read takes the list's lock shared and
// allocates nothing of its own.

#include "config/Layers.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <unordered_set>

#include "api/LayersState.h"
#include "disk/DropIns.h"
#include "text/Hash.h"
#include "text/Names.h"
#include "text/UniquePairs.h"

extern char** environ;  // NOLINT(readability-redundant-declaration)

namespace vty::config::ini {

namespace {

using detail::DocumentLayer;
using detail::LayersState;
using detail::Variable;

constexpr std::string_view kDefaultsOrigin = "<defaults>";

// How a character of a section or key name stands in a variable's name.
constexpr char InVariable(char c) {
  const char folded = detail::FoldAscii(c);
  const bool plain =
      (folded >= 'a' && folded <= 'z') || (folded >= '0' && folded <= '9');
  return plain ? folded : '_';
}

// Whether `rest` (folded) names `name` from `at` on; moves `at` past it.
bool Eat(std::string_view rest, std::size_t& at, std::string_view name) {
  if (rest.size() - at < name.size()) return false;
  for (const char c : name) {
    if (rest[at++] != InVariable(c)) return false;
  }
  return true;
}

// Whether a variable named `rest` after its prefix names the key.
bool Names(std::string_view rest, const SectionName& section,
           std::string_view key) {
  std::size_t at = 0;
  if (section) {
    if (!Eat(rest, at, *section) || rest.compare(at, 2, "__") != 0) {
      return false;
    }
    at += 2;
  }
  return Eat(rest, at, key) && at == rest.size();
}

const Variable* FindVariable(const LayersState& state,
                             const SectionName& section, std::string_view key) {
  for (const Variable& variable : state.environment) {
    if (Names(variable.rest, section, key)) return &variable;
  }
  return nullptr;
}

// The variables of `prefix`, sorted by name so that of two spelled in other
// letter cases the same one always wins.
std::vector<Variable> ReadEnvironment(const std::string& prefix) {
  std::vector<Variable> variables;
  const std::string lead = detail::Folded(prefix) + "__";
  for (char** each = environ; each != nullptr && *each != nullptr; ++each) {
    const std::string_view entry(*each);
    const std::size_t equals = entry.find('=');
    if (equals == std::string_view::npos || equals <= lead.size()) continue;
    const std::string_view name = entry.substr(0, equals);
    if (detail::Folded(name.substr(0, lead.size())) != lead) continue;
    variables.push_back({std::string(name),
                         detail::Folded(name.substr(lead.size())),
                         std::string(entry.substr(equals + 1))});
  }
  std::sort(
      variables.begin(), variables.end(),
      [](const Variable& a, const Variable& b) { return a.name < b.name; });
  return variables;
}

bool SameSection(const SectionName& a, const SectionName& b) {
  return a.has_value() == b.has_value() && (!a || detail::FoldedEqual(*a, *b));
}

}  // namespace

namespace detail {

std::vector<DocumentLayer> FileLayers(const LayersState& state) {
  std::vector<std::string> directories;
  for (std::size_t i = 0; i < state.paths.size(); ++i) {
    if (i != state.written && IsDropInDirectory(state.paths[i])) {
      directories.push_back(state.paths[i]);
    }
  }
  const std::vector<std::vector<std::string>> listed = ListDropIns(directories);
  std::vector<DocumentLayer> layers;
  std::size_t directory = 0;
  for (std::size_t i = 0; i < state.paths.size(); ++i) {
    const std::string& path = state.paths[i];
    if (directory < directories.size() && directories[directory] == path &&
        i != state.written) {
      for (const std::string& file : listed[directory]) {
        layers.push_back({file, Settings(file, state.syntax)});
      }
      ++directory;
    } else {
      layers.push_back({path, Settings(path, state.syntax)});
    }
  }
  return layers;
}

namespace {

// Puts `layers` (file layers, lowest first) in place of the file layers,
// keeping the defaults below them; with `unlessSame`, only when some origin
// differs. Whether it did.
bool Install(LayersState& state, std::vector<DocumentLayer> layers,
             bool unlessSame) {
  const std::unique_lock lock(state.mutex);
  const bool defaults = !state.layers.empty() && state.layers.front().defaults;
  const auto first = state.layers.begin() + (defaults ? 1 : 0);
  const bool same =
      std::equal(first, state.layers.end(), layers.begin(), layers.end(),
                 [](const DocumentLayer& a, const DocumentLayer& b) {
                   return a.origin == b.origin;
                 });
  if (unlessSame && same) return false;
  if (defaults) layers.insert(layers.begin(), std::move(state.layers.front()));
  state.layers = std::move(layers);
  return true;
}

}  // namespace

void Relist(LayersState& state) {
  if (Install(state, FileLayers(state), true)) RefreshListeners(state);
}

}  // namespace detail

Layers::Layers(std::vector<std::string> paths, Syntax syntax)
    : state_(std::make_shared<LayersState>()) {
  LayersState& state = *state_;
  state.syntax = std::move(syntax);
  // Writes go into the last path, which must be a file: a drop-in directory
  // above it could hide a Set at once.
  if (!paths.empty() && detail::IsDropInDirectory(paths.back())) {
    throw std::invalid_argument(
        "vty::config::ini: Layers: the last path, " + paths.back() +
        ", is a drop-in directory, but the last path is the file written "
        "into; give the administrator's file after its directories");
  }
  state.written = paths.empty() ? 0 : paths.size() - 1;
  state.paths = std::move(paths);
  state.layers = detail::FileLayers(state);
}

Layers::~Layers() = default;

Layers& Layers::Defaults(std::string_view text) {
  Settings settings = Settings::FromText(text, state_->syntax);
  {
    const std::unique_lock lock(state_->mutex);
    std::vector<DocumentLayer>& layers = state_->layers;
    if (!layers.empty() && layers.front().defaults) {
      layers.erase(layers.begin());
    }
    layers.insert(layers.begin(),
                  DocumentLayer{std::string(kDefaultsOrigin), settings, true});
  }
  detail::RefreshListeners(*state_);
  return *this;
}

Layers& Layers::Environment(std::string prefix) {
  std::vector<Variable> variables = ReadEnvironment(prefix);
  {
    const std::unique_lock lock(state_->mutex);
    state_->prefix = std::move(prefix);
    state_->environment = std::move(variables);
  }
  detail::RefreshListeners(*state_);
  return *this;
}

// ---- Reading ----

Lookup::State Layers::Walk(const SectionName& section, std::string_view key,
                           LayerFetch fetch, void* value,
                           Lookup* inspect) const {
  const LayersState& state = *state_;
  const std::shared_lock lock(state.mutex);
  if (!state.environment.empty()) {
    if (const Variable* variable = FindVariable(state, section, key)) {
      const Lookup::State found =
          fetch(nullptr, variable->value, state.syntax.listSeparator, section,
                key, value, inspect);
      if (inspect != nullptr) {
        inspect->file = "env:" + variable->name;
        inspect->line = 0;
      }
      return found;
    }
  }
  for (auto layer = state.layers.rbegin(); layer != state.layers.rend();
       ++layer) {
    const Lookup::State found =
        fetch(&layer->settings, {}, '\0', section, key, value, inspect);
    if (found == Lookup::State::Missing) continue;
    if (inspect != nullptr) inspect->file = layer->origin;
    return found;
  }
  return Lookup::State::Missing;
}

bool Layers::HasSection(const SectionName& section) const {
  const LayersState& state = *state_;
  const std::shared_lock lock(state.mutex);
  for (const DocumentLayer& layer : state.layers) {
    if (layer.settings.HasSection(section)) return true;
  }
  if (!section) {
    return !state.environment.empty() &&
           std::any_of(state.environment.begin(), state.environment.end(),
                       [](const Variable& v) {
                         return v.rest.find("__") == std::string::npos;
                       });
  }
  for (const Variable& variable : state.environment) {
    std::size_t at = 0;
    if (Eat(variable.rest, at, *section) &&
        variable.rest.compare(at, 2, "__") == 0 &&
        variable.rest.size() > at + 2) {
      return true;
    }
  }
  return false;
}

bool Layers::HasKey(const SectionName& section, std::string_view key) const {
  const LayersState& state = *state_;
  const std::shared_lock lock(state.mutex);
  if (FindVariable(state, section, key) != nullptr) return true;
  return std::any_of(
      state.layers.begin(), state.layers.end(),
      [&](const DocumentLayer& l) { return l.settings.HasKey(section, key); });
}

std::vector<SectionName> Layers::Sections() const {
  const LayersState& state = *state_;
  const std::shared_lock lock(state.mutex);
  std::vector<SectionName> sections;
  for (const DocumentLayer& layer : state.layers) {
    for (SectionName& section : layer.settings.Sections()) {
      const bool seen = std::any_of(
          sections.begin(), sections.end(),
          [&](const SectionName& s) { return SameSection(s, section); });
      if (!seen) sections.push_back(std::move(section));
    }
  }
  return sections;
}

std::vector<std::string> Layers::Keys(const SectionName& section) const {
  std::vector<std::string> keys;
  for (auto& pair : Pairs(section)) keys.push_back(std::move(pair.first));
  return keys;
}

std::vector<std::pair<std::string, std::string>> Layers::Pairs(
    const SectionName& section) const {
  const LayersState& state = *state_;
  const std::shared_lock lock(state.mutex);
  detail::UniquePairs unique;
  for (const DocumentLayer& layer : state.layers) {
    for (auto& [key, value] : layer.settings.Pairs(section)) {
      unique.Add(key, value, true);  // a higher layer overrides
    }
  }
  std::vector<std::pair<std::string, std::string>> pairs = unique.Take();
  for (auto& [key, value] : pairs) {
    if (const Variable* variable = FindVariable(state, section, key)) {
      value = variable->value;
    }
  }
  return pairs;
}

// ---- Changing ----

Settings Layers::Written() const {
  const LayersState& state = *state_;
  if (state.written == state.paths.size()) {
    throw std::logic_error(
        "vty::config::ini: Layers made without a file path have no file to "
        "write into");
  }
  return Layer(state.paths[state.written]);
}

bool Layers::Erase(const SectionName& section, std::string_view key) {
  return Written().Erase(section, key);
}

Settings Layers::Layer(const std::string& path) const {
  const LayersState& state = *state_;
  const std::shared_lock lock(state.mutex);
  for (const DocumentLayer& layer : state.layers) {
    if (!layer.defaults && layer.origin == path) return layer.settings;
  }
  throw std::invalid_argument("vty::config::ini: Layers::Layer: " + path +
                              " is no file layer of these layers");
}

std::vector<std::string> Layers::Files() const {
  const LayersState& state = *state_;
  const std::shared_lock lock(state.mutex);
  std::vector<std::string> files;
  for (const DocumentLayer& layer : state.layers) {
    std::error_code error;
    if (!layer.defaults &&
        std::filesystem::is_regular_file(layer.origin, error)) {
      files.push_back(layer.origin);
    }
  }
  return files;
}

std::vector<Finding> Layers::Check() const {
  const LayersState& state = *state_;
  const std::shared_lock lock(state.mutex);
  std::vector<Finding> findings;
  for (const DocumentLayer& layer : state.layers) {
    for (Finding& finding : layer.settings.Check()) {
      finding.file = layer.origin;
      findings.push_back(std::move(finding));
    }
  }
  return findings;
}

void Layers::Reload() {
  LayersState& state = *state_;
  std::vector<DocumentLayer> layers = detail::FileLayers(state);
  for (DocumentLayer& layer : layers) layer.settings.Reload();
  std::optional<std::string> prefix;
  {
    const std::shared_lock lock(state.mutex);
    prefix = state.prefix;
  }
  std::vector<Variable> variables;
  if (prefix) variables = ReadEnvironment(*prefix);
  detail::Install(state, std::move(layers), false);
  {
    const std::unique_lock lock(state.mutex);
    state.environment = std::move(variables);
  }
  detail::RefreshListeners(state);
}

void Layers::Flush() {
  std::vector<Settings> files;
  {
    const std::shared_lock lock(state_->mutex);
    for (const DocumentLayer& layer : state_->layers) {
      if (!layer.defaults) files.push_back(layer.settings);
    }
  }
  for (Settings& file : files) file.Flush();
}

}  // namespace vty::config::ini
