#pragma once
// Presigned sync descriptors: a JSON document of presigned GET URLs for a
// channel's manifest, its signature and every chunk, so a consumer without
// store credentials can sync or verify.

#include "storage/s3_config.hpp"
#include "storage/storage_provider.hpp"

#include <map>
#include <string>

namespace vorn {

// Chunk id -> presigned URL. Empty means chunks come from the store.
using ChunkUrlMap = std::map<std::string, std::string>;

// Reads the channel's manifest from the store and writes the descriptor text.
bool makeSyncDescriptor(StorageProvider& store, const S3Config& config, const std::string& channel,
                        int lifetimeSeconds, std::string* out, std::string* err);

// Reads a descriptor. Entries already in *chunkUrls stay unless overwritten.
bool parseSyncDescriptor(const std::string& text, std::string* manifestUrl,
                         std::string* manifestSigUrl, ChunkUrlMap* chunkUrls, std::string* err);

}  // namespace vorn
