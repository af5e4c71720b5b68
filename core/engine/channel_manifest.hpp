#pragma once
// A channel's manifest (and its detached signature) in the store.

#include "chunking/manifest.hpp"
#include "engine/channel_source.hpp"
#include "storage/storage_provider.hpp"

#include <json/value.h>

#include <string>
#include <vector>

namespace vorn {

// "channels/" + channel + "/manifest.json"; the signature lives at this + ".sig".
std::string channelManifestKey(const std::string& channel);

// Parses any JSON document the engine reads. Error: "manifest parse error: " + report.
bool parseJson(const std::string& text, Json::Value* out, std::string* err);

// Parses a manifest read from the store under manifestKey and reads its files.
// Any other shape, or an "h" that is not a chunk id, fails with a message naming
// the key, so that no caller acts on a manifest it could read only in part.
bool parseStoredManifest(const std::string& manifestKey, const std::string& text, Json::Value* doc,
                         std::vector<ManifestFile>* files, std::string* err);

// Fetches the channel's manifest from the store, or from the source's manifest
// URL when that is set; with a verification key requires and checks the
// signature (from the signature URL, or the store when no manifest URL is
// used); then checks the schema and the channel member. On failure *out is
// left as it was.
bool fetchChannelManifest(StorageProvider& store, const ChannelSource& source, Json::Value* out,
                          std::string* err);

// Removes the manifest, then the signature (whose result is ignored).
bool deleteChannel(StorageProvider& store, const std::string& channel, std::string* err);

}  // namespace vorn
