#include "storage/storage_provider.hpp"

namespace vorn {

std::string plainChunkKey(const std::string& id) { return "chunks/" + id.substr(0, 2) + "/" + id; }

}  // namespace vorn
