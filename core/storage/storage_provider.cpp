#include "storage/storage_provider.hpp"

namespace vorn {

std::string plainChunkKey(const std::string& id) { return "chunks/" + id.substr(0, 2) + "/" + id; }

bool isMissingObjectError(const std::string& key, const std::string& err) {
  return err == "GET " + key + " -> HTTP 404 ";
}

}  // namespace vorn
