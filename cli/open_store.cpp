#include "open_store.hpp"

#include "cli_common.hpp"

#include <cstdio>

namespace vorn {

std::unique_ptr<StorageProvider> providerFor(const S3Config& config,
                                             const TransferSettings& transfer) {
  std::unique_ptr<StorageProvider> store = makeS3Provider(config, transfer);
  if (!storeKey.empty()) store = makeEncryptedProvider(std::move(store), storeKey);
  return store;
}

std::unique_ptr<StorageProvider> openStore(const TransferSettings& transfer, int* status,
                                           S3Config* configOut) {
  S3Config config;
  std::string err;
  if (!loadS3ConfigFromEnv(&config, &err)) {
    std::fprintf(stderr, "config: %s\n", err.c_str());
    *status = 2;
    return nullptr;
  }
  auto store = providerFor(config, transfer);
  if (configOut) *configOut = config;
  return store;
}

}  // namespace vorn
