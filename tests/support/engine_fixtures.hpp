// Helpers shared by the engine and verb tests: generated content, hand-made
// manifests and reading back what a store holds for a channel.
#pragma once

#include "chunking/manifest.hpp"
#include "engine/channel_manifest.hpp"
#include "storage/storage_provider.hpp"

#include "support/test_data.hpp"

#include <gtest/gtest.h>
#include <json/value.h>

#include <map>
#include <string>
#include <vector>

namespace vorn_test {

// Text-like bytes: compress well, but cut like any other content.
inline std::string compressibleBytes(size_t size, uint64_t seed) {
  const std::string noise = seededBytes(size / 4 + 16, seed);
  const char* words[] = {"load ", "store ", "call ", "ret\n", "push ", "pop ", "jmp ", "nop "};
  std::string out;
  for (size_t i = 0; out.size() < size; ++i) {
    out += words[static_cast<unsigned char>(noise[i % noise.size()]) % 8];
    out += static_cast<char>('a' + static_cast<unsigned char>(noise[(i * 7) % noise.size()]) % 26);
  }
  out.resize(size);
  return out;
}

struct ChunkRef {
  std::string id;
  uint64_t size = 0;
};

// A schema 1 manifest with one file "f<i>" per list of chunks, and a
// "channel" member when one is given.
inline Json::Value manifestDoc(const std::vector<std::vector<ChunkRef>>& files,
                               const std::string& channel = "") {
  Json::Value doc(Json::objectValue);
  doc["schema"] = 1;
  if (!channel.empty()) doc["channel"] = channel;
  doc["files"] = Json::Value(Json::arrayValue);
  for (size_t i = 0; i < files.size(); ++i) {
    Json::Value& file = doc["files"][Json::ArrayIndex(i)];
    file["path"] = "f" + std::to_string(i);
    file["chunks"] = Json::Value(Json::arrayValue);
    uint64_t size = 0;
    for (const ChunkRef& c : files[i]) {
      Json::Value ref(Json::objectValue);
      ref["h"] = c.id;
      ref["n"] = Json::UInt64(c.size);
      file["chunks"].append(ref);
      size += c.size;
    }
    file["size"] = Json::UInt64(size);
  }
  return doc;
}

inline std::string manifestText(const std::vector<std::vector<ChunkRef>>& files,
                                const std::string& channel = "") {
  return vorn::writeJsonText(manifestDoc(files, channel));
}

// The files of a channel's stored manifest; a test failure when unreadable.
inline std::vector<vorn::ManifestFile> storedFiles(vorn::StorageProvider& store,
                                                   const std::string& channel) {
  std::string text, err;
  Json::Value doc;
  std::vector<vorn::ManifestFile> files;
  EXPECT_TRUE(store.get(vorn::channelManifestKey(channel), &text, &err) &&
              vorn::parseJson(text, &doc, &err) && vorn::readManifestFiles(doc, &files, &err))
      << err;
  return files;
}

// Distinct chunk ids of the files, with their sizes.
inline std::map<std::string, uint64_t> uniqueChunks(const std::vector<vorn::ManifestFile>& files) {
  std::map<std::string, uint64_t> ids;
  for (const auto& file : files)
    for (const auto& chunk : file.chunks) ids[chunk.id] = chunk.size;
  return ids;
}

}  // namespace vorn_test
