#include "storage/s3_config.hpp"
#include "storage/storage_provider.hpp"

namespace vorn {

// Placeholder until the S3 provider lands.
std::unique_ptr<StorageProvider> makeS3Provider(const S3Config&) { return nullptr; }

}  // namespace vorn
