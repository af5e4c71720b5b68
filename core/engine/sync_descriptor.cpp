#include "engine/sync_descriptor.hpp"

#include "chunking/manifest.hpp"
#include "engine/channel_manifest.hpp"
#include "engine/set_aside.hpp"
#include "storage/request_signing.hpp"
#include "util/error_text.hpp"

#include <json/value.h>

#include <set>
#include <vector>

namespace vorn {
namespace {

const char kBadDescriptor[] = "bad sync descriptor: ";

// Reads an optional URL member: absent gives "", anything but a string fails.
bool readUrlMember(const Json::Value& doc, const char* name, std::string* out, std::string* err) {
  const Json::Value* value = doc.find(name, name + std::char_traits<char>::length(name));
  if (!value) {
    out->clear();
    return true;
  }
  if (!value->isString()) {
    if (err) *err = std::string(kBadDescriptor) + "\"" + name + "\" is not a string";
    return false;
  }
  *out = value->asString();
  return true;
}

}  // namespace

bool makeSyncDescriptor(StorageProvider& store, const S3Config& config, const std::string& channel,
                        int lifetimeSeconds, std::string* out, std::string* err, bool findSetAside,
                        std::optional<int64_t>* manifestExpires) {
  const std::string manifestKey = channelManifestKey(channel);
  std::string text;
  if (!store.get(manifestKey, &text, err)) return false;
  Json::Value manifest;
  std::vector<ManifestFile> files;
  if (!parseStoredManifest(manifestKey, text, &manifest, &files, err)) return false;
  std::set<std::string> ids;
  for (const ManifestFile& file : files) {
    for (const ManifestChunk& chunk : file.chunks) ids.insert(chunk.id);
  }
  files.clear();
  std::set<std::string> setAside;
  if (findSetAside) {
    std::vector<ObjectEntry> listed;
    if (!store.list(kSetAsidePrefix, &listed, err)) return false;
    for (ObjectEntry& entry : listed) setAside.insert(std::move(entry.key));
  }

  Json::Value descriptor(Json::objectValue);
  descriptor["manifest_url"] = presignGet(config, manifestKey, lifetimeSeconds);
  // Presigned whether or not the channel is signed: a consumer that asks for
  // verification then fails on fetching it rather than on a missing member.
  descriptor["manifest_sig_url"] = presignGet(config, manifestKey + ".sig", lifetimeSeconds);

  // The informational members are copied only when they have the manifest
  // format's type; anything else falls back to the default.
  const Json::Value& build = manifest["build"];
  descriptor["build"] = build.isString() ? build : Json::Value("");
  const Json::Value& created = manifest["created"];
  const bool integer = created.type() == Json::intValue || created.type() == Json::uintValue;
  descriptor["created"] = integer ? created : Json::Value(Json::Int64(0));
  const Json::Value& stampedChannel = manifest["channel"];
  descriptor["channel"] = stampedChannel.isString() ? stampedChannel : Json::Value(channel);

  Json::Value& chunks = descriptor["chunks"] = Json::Value(Json::objectValue);
  for (const std::string& id : ids) {
    const std::string key = store.chunkKey(id);
    const bool aside = setAside.count(setAsideKey(key)) != 0;
    chunks[id] = presignGet(config, aside ? setAsideKey(key) : key, lifetimeSeconds);
  }
  *out = writeJsonText(descriptor);
  if (manifestExpires && !readInstantMember(manifest, "expires", manifestExpires)) {
    manifestExpires->reset();
  }
  return true;
}

bool parseSyncDescriptor(const std::string& text, ChannelSource* source, std::string* err) {
  Json::Value doc;
  if (!parseJson(text, &doc, err)) return false;
  if (!doc.isObject()) {
    if (err) *err = std::string(kBadDescriptor) + "not a JSON object";
    return false;
  }
  // Everything is checked before any output changes, so a refused descriptor
  // leaves the caller's values as they were.
  std::string url;
  std::string sigUrl;
  if (!readUrlMember(doc, "manifest_url", &url, err)) return false;
  if (!readUrlMember(doc, "manifest_sig_url", &sigUrl, err)) return false;

  const char chunksName[] = "chunks";
  const Json::Value* chunks = doc.find(chunksName, chunksName + sizeof chunksName - 1);
  if (chunks && !chunks->isObject()) {
    if (err) *err = std::string(kBadDescriptor) + "\"chunks\" is not an object";
    return false;
  }
  if (chunks) {
    for (auto it = chunks->begin(); it != chunks->end(); ++it) {
      if (!it->isString()) {
        setError(err,
                 std::string(kBadDescriptor) + "URL of chunk " + it.name() + " is not a string");
        return false;
      }
    }
  }

  source->manifestUrl = url;
  source->manifestSigUrl = sigUrl;
  if (chunks) {
    for (auto it = chunks->begin(); it != chunks->end(); ++it)
      source->chunkUrls[it.name()] = it->asString();
  }
  return true;
}

}  // namespace vorn
