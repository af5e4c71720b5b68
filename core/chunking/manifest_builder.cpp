#include "chunking/manifest_builder.hpp"

namespace vorn {

// Placeholder: the builder is being written.
std::string buildManifest(const std::string&, ManifestStats*, std::string* err) {
  if (err) *err = "not built yet";
  return std::string();
}

}  // namespace vorn
