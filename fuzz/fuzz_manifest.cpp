// Manifest text from the store, as sync, verify, gc and the descriptor maker
// read it (push reads it only through parseJson, fuzzed here too). Input: the
// manifest text, optionally followed by a NUL and the text of its signature
// object; with a signature part the manifest is fetched with verification
// required.

#include "fuzz_support.hpp"

#include "chunking/manifest.hpp"
#include "engine/channel_manifest.hpp"
#include "engine/garbage_collection.hpp"
#include "engine/sync.hpp"
#include "engine/sync_descriptor.hpp"
#include "engine/verify.hpp"
#include "storage/s3_config.hpp"
#include "support/memory_store.hpp"
#include "util/digest.hpp"

#include <json/value.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace {

const vorn::S3Config kConfig{"http://127.0.0.1:9", "eu-test-1", "builds", "AKIDFUZZ", "secret"};

// Error texts are one line.
bool oneLine(const std::string& text) {
  return !text.empty() && text.find_first_of("\r\n") == std::string::npos;
}

bool sameFiles(const std::vector<vorn::ManifestFile>& a, const std::vector<vorn::ManifestFile>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].path != b[i].path || a[i].size != b[i].size ||
        a[i].chunks.size() != b[i].chunks.size())
      return false;
    for (size_t k = 0; k < a[i].chunks.size(); ++k) {
      if (a[i].chunks[k].id != b[i].chunks[k].id || a[i].chunks[k].size != b[i].chunks[k].size)
        return false;
    }
  }
  return true;
}

// Every "h" is a chunk id, the only ids a store key is made from.
bool allChunkIds(const std::vector<vorn::ManifestFile>& files) {
  for (const vorn::ManifestFile& file : files) {
    for (const vorn::ManifestChunk& chunk : file.chunks) {
      if (!vorn::isChunkId(chunk.id)) return false;
    }
  }
  return true;
}

std::set<std::string> distinctIds(const std::vector<vorn::ManifestFile>& files) {
  std::set<std::string> ids;
  for (const vorn::ManifestFile& file : files) {
    for (const vorn::ManifestChunk& chunk : file.chunks) ids.insert(chunk.id);
  }
  return ids;
}

// A safe path joined to a root stays below it.
bool staysInside(const std::string& path) {
  const std::filesystem::path joined = (std::filesystem::path("/root") / path).lexically_normal();
  const std::string text = joined.string();
  return text.size() > 6 && text.compare(0, 6, "/root/") == 0;
}

const std::string& destination() {
  static vorn_fuzz::ScratchDir scratch;
  static const std::string dest = [] {
    vorn_fuzz::writeSampleTree(scratch.path() / "dest");
    return (scratch.path() / "dest").string();
  }();
  return dest;
}

// The direct readers: parseJson, readManifestFiles and parseStoredManifest agree.
void checkReaders(const std::string& key, const std::string& text) {
  Json::Value doc;
  std::string err;
  const bool parsed = vorn::parseJson(text, &doc, &err);
  FUZZ_CHECK(parsed || (oneLine(err) && err.rfind("manifest parse error: ", 0) == 0));

  std::vector<vorn::ManifestFile> files;
  bool filesRead = false;
  if (parsed) {
    err.clear();
    filesRead = vorn::readManifestFiles(doc, &files, &err);
    FUZZ_CHECK(filesRead || (oneLine(err) && err.rfind("manifest: ", 0) == 0));
    for (const vorn::ManifestFile& file : files) {
      uint64_t sum = 0;
      for (const vorn::ManifestChunk& chunk : file.chunks) sum += chunk.size;
      FUZZ_CHECK(sum == file.size);
      if (vorn::isSafeRelativePath(file.path)) FUZZ_CHECK(staysInside(file.path));
    }
  }

  Json::Value stored;
  std::vector<vorn::ManifestFile> storedFiles;
  err.clear();
  const bool storedOk = vorn::parseStoredManifest(key, text, &stored, &storedFiles, &err);
  FUZZ_CHECK(storedOk == (parsed && doc.isObject() && filesRead && allChunkIds(files)));
  FUZZ_CHECK(storedOk ? sameFiles(files, storedFiles) : oneLine(err));
}

// The descriptor names each distinct chunk id of a readable manifest once.
void checkDescriptor(vorn_test::MemoryStore& store, const std::string& key,
                     const std::string& text) {
  std::string descriptor;
  std::string err;
  const bool made =
      vorn::makeSyncDescriptor(store, kConfig, vorn_fuzz::kChannel, 600, &descriptor, &err);
  Json::Value doc;
  std::vector<vorn::ManifestFile> files;
  const bool readable = vorn::parseStoredManifest(key, text, &doc, &files, nullptr);
  FUZZ_CHECK(made == readable);
  if (!made) {
    FUZZ_CHECK(oneLine(err));
    return;
  }
  const std::set<std::string> ids = distinctIds(files);
  vorn::ChannelSource source;
  FUZZ_CHECK(vorn::parseSyncDescriptor(descriptor, &source, &err));
  FUZZ_CHECK(!source.manifestUrl.empty() && !source.manifestSigUrl.empty());
  FUZZ_CHECK(source.chunkUrls.size() == ids.size());
  for (const auto& entry : source.chunkUrls) FUZZ_CHECK(ids.count(entry.first) == 1);
}

// planSync and verifyFiles against the small sample installation.
void checkInstall(vorn_test::MemoryStore& store, const vorn::ChannelSource& source, bool fetched,
                  const Json::Value& manifest) {
  std::vector<vorn::ManifestFile> files;
  vorn::ManifestTree tree;
  const bool installable = fetched && vorn::readInstallFiles(manifest, &files, nullptr, &tree);
  // Links and directories count as entries beside the files.
  const size_t entries = files.size() + tree.links.size() + tree.directories.size();

  vorn::SyncPlan plan;
  std::string err;
  const bool planned = vorn::planSync(store, source, destination(), &plan, &err);
  FUZZ_CHECK(planned == installable);
  if (planned) {
    FUZZ_CHECK(plan.files == entries);
    FUZZ_CHECK(plan.uniqueChunks <= plan.chunkSlots);
    FUZZ_CHECK(plan.alreadyLocal + plan.toDownload == plan.uniqueChunks);
    FUZZ_CHECK(plan.downloadBytes >= 0);
  } else {
    FUZZ_CHECK(oneLine(err));
  }
  if (!fetched) return;

  vorn::VerifyStats full;
  vorn::VerifyStats quick;
  size_t badReports = 0;
  uint64_t lastDone = 0;
  vorn::VerifyOptions options;
  options.onBadFile = [&](const std::string&, const std::string&) { ++badReports; };
  options.progress = [&](uint64_t done, uint64_t total, int64_t) {
    FUZZ_CHECK(done <= total && done >= lastDone);
    lastDone = done;
  };
  const bool verified = vorn::verifyFiles(destination(), manifest, options, &full, nullptr);
  FUZZ_CHECK(verified == installable);
  if (!verified) return;
  FUZZ_CHECK(full.files == entries);
  FUZZ_CHECK(full.files == full.ok + full.missing + full.corrupt);
  FUZZ_CHECK(badReports == full.missing + full.corrupt);
  vorn::VerifyOptions quickOnly;
  quickOnly.quick = true;
  FUZZ_CHECK(vorn::verifyFiles(destination(), manifest, quickOnly, &quick, nullptr));
  // The quick check only drops the chunk reading, so it passes at least as much.
  FUZZ_CHECK(quick.files == full.files && quick.missing == full.missing && quick.ok >= full.ok);
  FUZZ_CHECK(quick.chunksChecked == 0);
}

// A dry-run collection reads the manifest as the other readers do and
// removes nothing.
void checkGarbageCollection(const std::string& key, const std::string& text) {
  vorn_test::MemoryStore store;
  store.objects[key] = text;
  const std::string sampleId = vorn::blake3Hex(std::string(vorn_fuzz::kSampleReadme));
  store.objects[vorn::plainChunkKey(sampleId)] = "chunk";
  store.objects["chunks/zz/not-a-chunk"] = "other";
  vorn::GcStats stats;
  std::string err;
  size_t reports = 0;
  vorn::GcOptions dryRun;
  dryRun.report = [&](const std::string&, int64_t, bool deleted) {
    FUZZ_CHECK(!deleted);
    ++reports;
  };
  const bool collected = vorn::collectGarbage(store, dryRun, &stats, &err);
  Json::Value doc;
  std::vector<vorn::ManifestFile> files;
  FUZZ_CHECK(collected == vorn::parseStoredManifest(key, text, &doc, &files, nullptr));
  FUZZ_CHECK(store.objects.size() == 3 &&
             std::none_of(store.calls.begin(), store.calls.end(),
                          [](const std::string& call) { return call.rfind("remove ", 0) == 0; }));
  if (!collected) {
    FUZZ_CHECK(oneLine(err));
    return;
  }
  const std::set<std::string> ids = distinctIds(files);
  FUZZ_CHECK(stats.manifests == 1 && stats.referenced == ids.size());
  FUZZ_CHECK(stats.chunkObjects == 2 && stats.deleted == 0 && stats.garbage == reports);
  FUZZ_CHECK(stats.garbage == 2 - ids.count(sampleId));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t split = input.find('\0');
  const bool signedInput = split != std::string::npos;
  const std::string text = signedInput ? input.substr(0, split) : input;
  const std::string verifyKey = signedInput ? vorn_fuzz::kPublicKeyHex : "";
  const std::string key = vorn::channelManifestKey(vorn_fuzz::kChannel);

  checkReaders(key, text);

  vorn_test::MemoryStore store;
  store.objects[key] = text;
  if (signedInput) store.objects[key + ".sig"] = input.substr(split + 1);

  vorn::ChannelSource source;
  source.channel = vorn_fuzz::kChannel;
  source.verifyKey = verifyKey;
  Json::Value manifest;
  std::string err;
  const bool fetched = vorn::fetchChannelManifest(store, source, &manifest, &err);
  if (fetched) {
    const Json::Value& read = manifest;  // const lookups add no members
    FUZZ_CHECK(read.isObject());
    FUZZ_CHECK(read["schema"].isIntegral() && read["schema"].asLargestInt() == 1);
    const Json::Value& channel = read["channel"];
    FUZZ_CHECK(channel.isNull() ||
               (channel.isString() && channel.asString() == vorn_fuzz::kChannel));
  } else {
    FUZZ_CHECK(oneLine(err));
  }

  checkDescriptor(store, key, text);
  checkInstall(store, source, fetched, manifest);
  checkGarbageCollection(key, text);
  return 0;
}
