#pragma once
// A channel's manifest (and its detached signature) in the store.

#include "chunking/manifest.hpp"
#include "engine/channel_source.hpp"
#include "storage/storage_provider.hpp"

#include <json/value.h>

#include <cstdint>
#include <optional>
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
// used); then checks the schema, the channel member and, when the manifest has
// one, its expiry against the clock. On failure *out is left as it was; on
// success *text, when given, receives the exact manifest text.
bool fetchChannelManifest(StorageProvider& store, const ChannelSource& source, Json::Value* out,
                          std::string* err, std::string* text = nullptr);

// Reads an optional instant member ("created", "expires") of a document:
// true with *out empty when absent, true with the value when it is an integer
// that fits 64 bits, false for anything else.
bool readInstantMember(const Json::Value& doc, const char* name, std::optional<int64_t>* out);

// The manifest's "expires" member, written by push --expires, against now
// (seconds since the epoch): a manifest without it passes; one whose expiry is
// not after now fails with "manifest for channel '" + channel + "' expired at "
// + the UTC time, and one whose member is not an integer is refused too.
bool checkManifestExpiry(const Json::Value& doc, const std::string& channel, int64_t now,
                         std::string* err);

// Removes the manifest, then the signature (whose result is ignored).
bool deleteChannel(StorageProvider& store, const std::string& channel, std::string* err);

}  // namespace vorn
