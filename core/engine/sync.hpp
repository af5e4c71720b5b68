#pragma once
// Sync: make a destination directory hold a channel's current build, reusing
// every chunk already present in local files and downloading only the rest.

#include "chunking/manifest.hpp"
#include "engine/channel_source.hpp"
#include "engine/chunk_codec.hpp"
#include "engine/receipt.hpp"
#include "storage/storage_provider.hpp"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <json/value.h>

namespace vorn {

// Chunk id -> first local location found for it.
using LocalIndex = std::map<std::string, ChunkRef>;

// (chunk entries done, chunk entries in total, bytes so far): downloaded
// object bytes for sync, checked chunk bytes for verify.
using ProgressFn = std::function<void(uint64_t done, uint64_t total, int64_t bytes)>;

// (manifest path of the file in use, retry attempt from 1, wait limit in
// seconds); called just before each one-second sleep.
using WaitFn = std::function<void(const std::string& path, int attempt, int limit)>;

// What a sync would do, counted without reading or writing any chunk.
struct SyncPlan {
  size_t files = 0;           // entries: files, links and directories
  size_t chunkSlots = 0;      // chunk entries, repeats included
  size_t uniqueChunks = 0;    // distinct ids
  size_t alreadyLocal = 0;    // distinct ids found in the destination's index
  size_t toDownload = 0;      // distinct ids not found there
  int64_t downloadBytes = 0;  // manifest sizes of those ids (uncompressed)
};

// What a sync did; written only on success.
struct SyncStats {
  size_t files = 0;           // files moved into place, links and directories in place
  size_t chunkSlots = 0;      // chunk entries written, repeats included
  size_t reused = 0;          // entries served from a local file
  size_t downloaded = 0;      // entries downloaded (cache hits count in chunkSlots only)
  int64_t unpackedBytes = 0;  // manifest sizes of the downloaded entries
  int64_t wireBytes = 0;      // lengths of the downloaded objects as received
};

// Reads the file list of a manifest that is about to be installed, and its
// links and directories into *tree when given. Besides the checks of
// readManifestFiles and readManifestTree it refuses, naming the offending
// path, a path that is not a safe relative path, a chunk id that is not 64
// lowercase hex characters, a chunk larger than the chunker's maximum, two
// entries for one path, a path below a listed file or link, and a listed
// directory with a listed path below it.
bool readInstallFiles(const Json::Value& manifest, std::vector<ManifestFile>* files,
                      std::string* err, ManifestTree* tree = nullptr);

// Adds the chunks of every regular file under directory (sorted path order,
// directory links not followed, links named like part files skipped, and
// what skip names) to *index; an id already there keeps its first location.
// Does nothing when directory is not an existing directory.
struct IndexExclusions {
  std::set<std::filesystem::path> links;  // relative to the directory: a manifest's links
  bool receiptFolder = false;             // the receipt folder at its top
};
void buildLocalIndex(const std::filesystem::path& directory, LocalIndex* index,
                     const IndexExclusions& skip = {});

// Dry run: fetches the manifest (as fetchChannelManifest), runs the receipt
// checks a sync would (admitManifest) and counts what the destination already
// holds. Writes nothing. Fails only on the manifest (or the receipt).
// listedPaths, when given, receives the manifest's paths in manifest order.
bool planSync(StorageProvider& store, const ChannelSource& source, const std::string& destination,
              SyncPlan* plan, std::string* err, std::vector<std::string>* listedPaths = nullptr,
              const ReceiptPolicy& receipts = ReceiptPolicy());

// How a sync runs, beyond where its manifest and chunks come from.
struct SyncOptions {
  ProgressFn progress;        // may be empty
  int waitSeconds = 0;        // how long to wait for a target in use
  WaitFn onWait;              // may be empty
  std::string baseDirectory;  // indexed before the destination; empty: none
  // On success, the manifest paths of the installed files, then links, then
  // directories, each in manifest order (what a mirror keeps); may be null.
  std::vector<std::string>* installedPaths = nullptr;
  // When the destination holds a receipt, or one is to be written, the
  // manifest passes admitManifest before anything is written and the receipt
  // folder is no chunk source; *admitted (may be null) then receives, on
  // success, the receipt the caller writes once the install is complete.
  ReceiptPolicy receipts;
  Receipt* admitted = nullptr;
};

// Rewrites every file of the channel's manifest under destination, chunk by
// chunk into a ".part" file beside the target that is then renamed over it
// (retrying once a second for up to waitSeconds while that fails). Chunks come
// from the download cache, then the local index (base directory first, then
// the destination), then the store, or the source's chunk URLs when it has
// any, with up to source.transfer.jobs downloads in flight; every chunk from a
// file or the network is checked against its id. Part files left by an
// interrupted sync are indexed too (see part_files.hpp). Then the listed
// directories are made and the listed links made, each under a temporary name
// beside its path that is renamed over it; a file or link in the way of
// either is replaced, never followed. A manifest that readInstallFiles refuses, a link or directory
// whose directory leads out of the destination through a link, and a
// non-empty directory where a link goes are refused before anything is
// written. Files the manifest does not list are left alone.
bool syncChannel(StorageProvider& store, const ChannelSource& source,
                 const std::string& destination, SyncStats* stats, std::string* err,
                 const SyncOptions& options = SyncOptions());

}  // namespace vorn
