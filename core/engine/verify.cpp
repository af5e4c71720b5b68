#include "engine/verify.hpp"

#include "engine/channel_manifest.hpp"
#include "engine/chunk_codec.hpp"
#include "engine/file_mode.hpp"
#include "engine/tree_entries.hpp"
#include "util/digest.hpp"
#include "util/path_text.hpp"

#include <filesystem>
#include <system_error>
#include <vector>

namespace vorn {

const char* const kReasonMissing = "missing";
const char* const kReasonSizeMismatch = "size mismatch";
const char* const kReasonTruncated = "truncated or unreadable";
const char* const kReasonChunkMismatch = "chunk hash mismatch";
const char* const kReasonMode = "mode";
const char* const kReasonLink = "link";

namespace {

namespace fs = std::filesystem;

// Empty when every chunk matched, else the reason for the first that did not.
const char* checkChunks(const fs::path& target, const ManifestFile& file, uint64_t totalEntries,
                        uint64_t* done, VerifyStats* counted, const ProgressFn& progress,
                        std::string* buffer) {
  uint64_t offset = 0;
  for (const ManifestChunk& chunk : file.chunks) {
    if (!readFileRange(target, offset, chunk.size, buffer)) return kReasonTruncated;
    if (blake3Hex(*buffer) != chunk.id) return kReasonChunkMismatch;
    counted->bytesChecked += static_cast<int64_t>(chunk.size);
    ++counted->chunksChecked;
    ++*done;
    if (progress) progress(*done, totalEntries, counted->bytesChecked);
    offset += chunk.size;
  }
  return nullptr;
}

}  // namespace

bool verifyFiles(const std::string& destination, const Json::Value& manifest,
                 const VerifyOptions& options, VerifyStats* stats, std::string* err) {
  const ProgressFn& progress = options.progress;
  std::vector<ManifestFile> files;
  ManifestTree tree;
  if (!readInstallFiles(manifest, &files, err, &tree)) return false;
  uint64_t totalEntries = 0;
  for (const ManifestFile& file : files) totalEntries += file.chunks.size();

  const bool checkModes = carriesExecutable(files);
  const fs::path destRoot = pathFromNative(destination);
  VerifyStats counted;
  uint64_t done = 0;
  std::string buffer;
  auto report = [&](const ManifestFile& file, const char* reason) {
    if (options.onBadFile) options.onBadFile(file.path, reason);
  };
  // Accounts for the file's chunk entries that are not read.
  auto skipRest = [&](uint64_t entriesLeft) {
    done += entriesLeft;
    if (progress) progress(done, totalEntries, counted.bytesChecked);
  };
  for (const ManifestFile& file : files) {
    ++counted.files;
    const fs::path target = destRoot / pathFromUtf8(file.path);
    std::error_code ec;
    fs::file_status status = fs::status(target, ec);
    if (ec || !fs::exists(status)) {
      report(file, kReasonMissing);
      skipRest(file.chunks.size());
      ++counted.missing;
      continue;
    }
    // A size that cannot be read is no mismatch; the chunk check decides.
    uint64_t size = fs::file_size(target, ec);
    if (!ec && size != file.size) {
      report(file, kReasonSizeMismatch);
      skipRest(file.chunks.size());
      ++counted.corrupt;
      continue;
    }
    const auto modeDiffers = [&] {
      return checkModes && ownerExecutable(target) != file.executable.value_or(false);
    };
    if (options.quick) {
      skipRest(file.chunks.size());
      if (modeDiffers()) {
        ++counted.corrupt;
        report(file, kReasonMode);
        continue;
      }
      ++counted.ok;
      continue;
    }
    const uint64_t doneBefore = done;
    const char* reason =
        checkChunks(target, file, totalEntries, &done, &counted, progress, &buffer);
    if (reason) {
      // The rest of the file is not read, but its entries count as accounted for.
      done = doneBefore + file.chunks.size();
      ++counted.corrupt;
      report(file, reason);
      continue;
    }
    if (modeDiffers()) {
      ++counted.corrupt;
      report(file, kReasonMode);
      continue;
    }
    ++counted.ok;
  }
  // Only metadata, so the quick check does the same.
  auto bad = [&](const std::string& path, const char* reason, size_t* counter) {
    if (options.onBadFile) options.onBadFile(path, reason);
    ++*counter;
  };
  for (const std::string& dir : tree.directories) {
    ++counted.files;
    std::error_code ec;
    if (fs::is_directory(fs::symlink_status(destRoot / pathFromUtf8(dir), ec))) {
      ++counted.ok;
    } else {
      bad(dir, kReasonMissing, &counted.missing);
    }
  }
  for (const ManifestLink& link : tree.links) {
    ++counted.files;
    const fs::path target = destRoot / pathFromUtf8(link.path);
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(target, ec);
    if (!fs::exists(status)) {
      bad(link.path, kReasonLink, &counted.missing);
    } else if (!fs::is_symlink(status) || !sameLinkTarget(target, link.target)) {
      bad(link.path, kReasonLink, &counted.corrupt);
    } else {
      ++counted.ok;
    }
  }
  if (stats) *stats = counted;
  return true;
}

bool verifyChannel(StorageProvider& store, const ChannelSource& source,
                   const std::string& destination, const VerifyOptions& options, VerifyStats* stats,
                   std::string* err) {
  Json::Value doc;
  std::string text;
  if (!fetchChannelManifest(store, source, &doc, err, &text)) return false;
  const fs::path destRoot = pathFromNative(destination);
  if (receiptsInUse(destRoot, options.receipts)) {
    std::vector<ManifestFile> files;
    ManifestTree tree;
    if (!readInstallFiles(doc, &files, err, &tree)) return false;
    if (!admitManifest(destRoot, options.receipts, source.channel, doc, text, source.verifyKey,
                       files, tree, options.admitted, err)) {
      return false;
    }
  }
  return verifyFiles(destination, doc, options, stats, err);
}

}  // namespace vorn
