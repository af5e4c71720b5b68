#include "storage/storage_provider.hpp"

namespace vorn {

// Placeholder until the encrypted layer lands.
std::unique_ptr<StorageProvider> makeEncryptedProvider(std::unique_ptr<StorageProvider> inner,
                                                       const std::string&) {
  return inner;
}

}  // namespace vorn
