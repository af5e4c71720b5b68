#pragma once
// How every store-using handler opens the store.

#include "storage/s3_config.hpp"
#include "storage/storage_provider.hpp"
#include "storage/transfer_settings.hpp"

#include <memory>

namespace vorn {

// Loads the configuration from the environment and makes the provider, its
// requests shaped by transfer and wrapped in the encrypted layer when storeKey
// is set. On a missing setting writes "config: ..." to standard error, sets
// *status to 2 and returns null.
std::unique_ptr<StorageProvider> openStore(const TransferSettings& transfer, int* status,
                                           S3Config* configOut = nullptr);

// The provider stack for an already loaded (or deliberately empty) configuration.
std::unique_ptr<StorageProvider> providerFor(const S3Config& config,
                                             const TransferSettings& transfer);

}  // namespace vorn
