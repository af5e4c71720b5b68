#pragma once
// Presigned sync descriptors: a JSON document of presigned GET URLs for a
// channel's manifest, its signature and every chunk, so a consumer without
// store credentials can sync or verify.

#include "engine/channel_source.hpp"
#include "storage/s3_config.hpp"
#include "storage/storage_provider.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace vorn {

// Reads the channel's manifest from the store and writes the descriptor text.
// With findSetAside the store is collected in two phases: one listing of the
// set-aside objects tells which chunks are set aside now, and their URLs name
// the set-aside keys. manifestExpires, when given, receives the manifest's
// "expires" (left empty when it has none, or none of integer type).
bool makeSyncDescriptor(StorageProvider& store, const S3Config& config, const std::string& channel,
                        int lifetimeSeconds, std::string* out, std::string* err,
                        bool findSetAside = false,
                        std::optional<int64_t>* manifestExpires = nullptr);

// Reads a descriptor into the source's manifest URL, signature URL and chunk
// URLs; chunk URLs already there stay unless overwritten. A refused
// descriptor leaves *source as it was.
bool parseSyncDescriptor(const std::string& text, ChannelSource* source, std::string* err);

}  // namespace vorn
