#include "engine/sync.hpp"

#include "chunking/chunker.hpp"
#include "engine/channel_manifest.hpp"
#include "engine/chunk_plan.hpp"
#include "engine/chunk_prefetch.hpp"
#include "engine/file_mode.hpp"
#include "engine/part_files.hpp"
#include "engine/tree_entries.hpp"
#include "util/digest.hpp"
#include "util/error_text.hpp"
#include "util/path_text.hpp"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <memory>
#include <set>
#include <system_error>
#include <thread>
#include <utility>

namespace vorn {
namespace {

namespace fs = std::filesystem;

// Orders paths with "/" below every other character, so that a path is
// directly followed by the paths below it ("a", "a/b", "a-b").
bool pathLess(const std::string* a, const std::string* b) {
  return std::lexicographical_compare(a->begin(), a->end(), b->begin(), b->end(),
                                      [](char x, char y) {
                                        return (x == '/' ? 0 : static_cast<unsigned char>(x)) <
                                               (y == '/' ? 0 : static_cast<unsigned char>(y));
                                      });
}

enum class EntryKind { kFile, kLink, kDirectory };

struct ListedEntry {
  const std::string* path;
  EntryKind kind;
};

// Two entries for one path, a file or link that another entry needs as a
// directory, or a listed (hence empty) directory with entries below it cannot
// all be installed; found before anything is written.
bool pathsInstallable(const std::vector<ManifestFile>& files, const ManifestTree& tree,
                      std::string* err) {
  std::vector<ListedEntry> entries;
  entries.reserve(files.size() + tree.links.size() + tree.directories.size());
  for (const ManifestFile& file : files) entries.push_back({&file.path, EntryKind::kFile});
  for (const ManifestLink& link : tree.links) entries.push_back({&link.path, EntryKind::kLink});
  for (const std::string& dir : tree.directories) entries.push_back({&dir, EntryKind::kDirectory});
  std::sort(entries.begin(), entries.end(),
            [](const ListedEntry& a, const ListedEntry& b) { return pathLess(a.path, b.path); });
  for (size_t i = 1; i < entries.size(); ++i) {
    const std::string& prev = *entries[i - 1].path;
    const std::string& next = *entries[i].path;
    if (next == prev) {
      setError(err, "duplicate path in manifest: '" + prev + "'");
      return false;
    }
    if (next.size() > prev.size() && next[prev.size()] == '/' &&
        next.compare(0, prev.size(), prev) == 0) {
      switch (entries[i - 1].kind) {
        case EntryKind::kFile:
          setError(err, "path in manifest is both a file and a directory: '" + prev + "'");
          break;
        case EntryKind::kLink:
          setError(err, "path in manifest passes through a listed link: '" + next + "'");
          break;
        case EntryKind::kDirectory:
          setError(err, "listed directory in manifest is not empty: '" + prev + "'");
          break;
      }
      return false;
    }
  }
  return true;
}

// Moves the manifest paths of files, links and directories, in that order,
// into *paths.
void takePaths(std::vector<ManifestFile>& files, ManifestTree& tree,
               std::vector<std::string>* paths) {
  paths->clear();
  paths->reserve(files.size() + tree.links.size() + tree.directories.size());
  for (ManifestFile& file : files) paths->push_back(std::move(file.path));
  for (ManifestLink& link : tree.links) paths->push_back(std::move(link.path));
  for (std::string& dir : tree.directories) paths->push_back(std::move(dir));
}

// The links a manifest lists, relative to the destination: they are the
// build's links, not its files, so the local index never reads through them.
std::set<fs::path> listedLinks(const ManifestTree& tree) {
  std::set<fs::path> links;
  for (const ManifestLink& link : tree.links) links.insert(pathFromUtf8(link.path));
  return links;
}

bool loadInstallManifest(StorageProvider& store, const ChannelSource& source,
                         const fs::path& destRoot, const ReceiptPolicy& receipts,
                         std::vector<ManifestFile>* files, ManifestTree* tree, Receipt* admitted,
                         std::string* err) {
  Json::Value doc;
  std::string text;
  if (!fetchChannelManifest(store, source, &doc, err, &text)) return false;
  if (!readInstallFiles(doc, files, err, tree)) return false;
  return admitManifest(destRoot, receipts, source.channel, doc, text, source.verifyKey, *files,
                       *tree, admitted, err);
}

// Hands out the bytes of one chunk entry at a time, from where the planner
// says: the download cache, a local file, or the network. The returned bytes
// are checked against the id and stay valid until the next call. With more
// than one job, downloads run ahead on their own threads, following the
// planner's forecast of the same decisions.
class ChunkSource {
 public:
  ChunkSource(StorageProvider& store, const ChannelSource& source, const LocalIndex& index,
              const std::vector<ManifestFile>& files, SyncStats& stats, const fs::path& destRoot)
      : store_(store), source_(source), planner_(files, index, destRoot), stats_(stats) {
    const int jobs = source.transfer.jobs;
    if (jobs > 1) {
      std::vector<const ManifestChunk*> plan = forecastDownloads(files, index, destRoot);
      if (!plan.empty()) {
        prefetcher_ = std::make_unique<ChunkPrefetcher>(store, source, std::move(plan), jobs);
      }
    }
  }

  // Called while a download is awaited, so progress can move meanwhile.
  void setWaiting(std::function<void()> whileWaiting) { whileWaiting_ = std::move(whileWaiting); }

  // Object bytes received so far: those of the entries handed out, and those
  // still on their way.
  int64_t wireProgress() const {
    if (!prefetcher_) return stats_.wireBytes;
    return stats_.wireBytes + prefetcher_->bytesReceived() - prefetcher_->bytesTaken();
  }

  // Entries of files[file] must be asked for in manifest order, each exactly once.
  bool obtain(size_t file, const ManifestChunk& chunk, const std::string** bytes,
              std::string* err) {
    const ChunkRef* copy = nullptr;
    switch (planner_.next(file, chunk, &copy)) {
      case ChunkOrigin::kCache:
        *bytes = &cache_.at(chunk.id);
        return true;
      case ChunkOrigin::kLocal:
        if (readLocal(*copy, chunk)) {
          ++stats_.reused;
          *bytes = &local_;
          return true;
        }
        break;
      case ChunkOrigin::kDownload:
        break;
    }
    return download(chunk, bytes, err);
  }

 private:
  // Any local problem (gone, shorter, changed since indexing) just means the
  // chunk has to be downloaded.
  bool readLocal(const ChunkRef& copy, const ManifestChunk& chunk) {
    return readFileRange(copy.file, copy.offset, copy.size, &local_) &&
           blake3Hex(local_) == chunk.id;
  }

  bool download(const ManifestChunk& chunk, const std::string** bytes, std::string* err) {
    int64_t wire = 0;
    ChunkPrefetcher::Take taken = ChunkPrefetcher::Take::kNotPlanned;
    if (prefetcher_) taken = prefetcher_->take(chunk, &decoded_, &wire, err, whileWaiting_);
    if (taken == ChunkPrefetcher::Take::kFailed) return false;
    if (taken == ChunkPrefetcher::Take::kNotPlanned) {
      if (!fetchChunk(store_, source_, chunk, &object_, &decoded_, err)) return false;
      wire = static_cast<int64_t>(object_.size());
    }
    ++stats_.downloaded;
    stats_.unpackedBytes += static_cast<int64_t>(chunk.size);
    stats_.wireBytes += wire;
    *bytes = &decoded_;
    if (planner_.downloaded(chunk)) {
      auto slot = cache_.emplace(chunk.id, std::move(decoded_)).first;
      decoded_ = std::string();
      *bytes = &slot->second;
    }
    return true;
  }

  StorageProvider& store_;
  const ChannelSource& source_;
  ChunkPlanner planner_;
  SyncStats& stats_;
  std::map<std::string, std::string> cache_;
  // Reused across chunks so the steady state does not allocate.
  std::string local_;
  std::string object_;
  std::string decoded_;
  std::unique_ptr<ChunkPrefetcher> prefetcher_;
  std::function<void()> whileWaiting_;
};

// Moves the part file over the target, retrying once a second while the
// target cannot be replaced.
bool replaceTarget(const fs::path& part, const fs::path& target, const std::string& manifestPath,
                   int waitSeconds, const WaitFn& onWait, std::string* err) {
  std::error_code ignored;
  fs::remove(target, ignored);
  std::error_code ec;
  fs::rename(part, target, ec);
  for (int attempt = 1; ec && attempt <= waitSeconds; ++attempt) {
    if (onWait) onWait(manifestPath, attempt, waitSeconds);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    fs::remove(target, ignored);
    ec.clear();
    fs::rename(part, target, ec);
  }
  if (ec) {
    setError(err, "'" + manifestPath + "' is in use - could not replace it (" + ec.message() + ")");
    return false;
  }
  return true;
}

}  // namespace

bool readInstallFiles(const Json::Value& manifest, std::vector<ManifestFile>* files,
                      std::string* err, ManifestTree* tree) {
  std::vector<ManifestFile> read;
  ManifestTree readTree;
  if (!readManifestFiles(manifest, &read, err) || !readManifestTree(manifest, &readTree, err)) {
    return false;
  }
  auto safe = [&](const std::string& path) {
    if (isSafeRelativePath(path)) return true;
    setError(err, "unsafe path in manifest: '" + path + "'");
    return false;
  };
  for (const ManifestLink& link : readTree.links) {
    if (!safe(link.path)) return false;
  }
  for (const std::string& dir : readTree.directories) {
    if (!safe(dir)) return false;
  }
  const uint64_t maxChunk = defaultChunkParams().max;
  for (const ManifestFile& file : read) {
    if (!safe(file.path)) return false;
    for (const ManifestChunk& chunk : file.chunks) {
      if (!isChunkId(chunk.id)) {
        setError(err, "bad chunk id in manifest for " + file.path);
        return false;
      }
      // The chunker never cuts larger pieces; a bigger "n" would only make a
      // reader allocate whatever the document asks for.
      if (chunk.size > maxChunk) {
        setError(err, "chunk too large in manifest for " + file.path);
        return false;
      }
    }
  }
  if (!pathsInstallable(read, readTree, err)) return false;
  *files = std::move(read);
  if (tree) *tree = std::move(readTree);
  return true;
}

void buildLocalIndex(const fs::path& directory, LocalIndex* index, const IndexExclusions& skip) {
  std::error_code ec;
  if (!fs::is_directory(directory, ec)) return;
  // Collected first and sorted, so which location of an id wins does not
  // depend on the order the file system lists entries in.
  std::vector<fs::path> files;
  fs::recursive_directory_iterator it(directory, fs::directory_options::none, ec);
  for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    std::error_code typeEc;
    if (skip.receiptFolder && it.depth() == 0 && it->path().filename() == kReceiptFolder) {
      it.disable_recursion_pending();
      continue;
    }
    if (!it->is_regular_file(typeEc)) continue;
    // A link named like a part file is not something a sync wrote.
    if (it->is_symlink(typeEc) &&
        (isPartFileName(it->path()) ||
         (!skip.links.empty() && skip.links.count(it->path().lexically_relative(directory))))) {
      continue;
    }
    files.push_back(it->path());
  }
  std::sort(files.begin(), files.end());
  const ChunkParams params = defaultChunkParams();
  // One read buffer for all files rather than a fresh one (and fresh page
  // faults) per file.
  ChunkBuffer buffer;
  for (const fs::path& file : files) {
    chunkFile(
        file.string(), params,
        [&](const Chunk& chunk) {
          index->emplace(chunk.id, ChunkRef{file, chunk.offset, chunk.size});
        },
        nullptr, &buffer);
  }
}

bool planSync(StorageProvider& store, const ChannelSource& source, const std::string& destination,
              SyncPlan* plan, std::string* err, std::vector<std::string>* listedPaths,
              const ReceiptPolicy& receipts) {
  const fs::path destRoot = pathFromNative(destination);
  std::vector<ManifestFile> files;
  ManifestTree tree;
  if (!loadInstallManifest(store, source, destRoot, receipts, &files, &tree, nullptr, err)) {
    return false;
  }
  LocalIndex index;
  buildLocalIndex(destRoot, &index, {listedLinks(tree), receiptsInUse(destRoot, receipts)});
  SyncPlan counted;
  std::set<std::string> seen;
  for (const ManifestFile& file : files) {
    for (const ManifestChunk& chunk : file.chunks) {
      ++counted.chunkSlots;
      if (!seen.insert(chunk.id).second) continue;
      ++counted.uniqueChunks;
      if (index.count(chunk.id)) {
        ++counted.alreadyLocal;
      } else {
        ++counted.toDownload;
        counted.downloadBytes += static_cast<int64_t>(chunk.size);
      }
    }
    ++counted.files;
  }
  counted.files += tree.links.size() + tree.directories.size();
  if (plan) *plan = counted;
  if (listedPaths) takePaths(files, tree, listedPaths);
  return true;
}

bool syncChannel(StorageProvider& store, const ChannelSource& source,
                 const std::string& destination, SyncStats* stats, std::string* err,
                 const SyncOptions& options) {
  const ProgressFn& progress = options.progress;
  const std::string& baseDirectory = options.baseDirectory;
  const fs::path destRoot = pathFromNative(destination);
  std::vector<ManifestFile> files;
  ManifestTree tree;
  Receipt admitted;
  if (!loadInstallManifest(store, source, destRoot, options.receipts, &files, &tree, &admitted,
                           err)) {
    return false;
  }
  std::error_code ignored;
  // An error here surfaces as the first part file that cannot be opened.
  fs::create_directories(destRoot, ignored);
  // Compared against each target's directory below: a link already in the
  // destination must not carry a write outside it.
  std::error_code rootEc;
  const fs::path realRoot = fs::canonical(destRoot, rootEc);
  if (!treeInstallable(destRoot, rootEc ? fs::path() : realRoot, tree, err)) return false;

  // Before indexing, so that what an interrupted run wrote is reused.
  SetAsideParts setAside(destRoot, files);

  // The base directory is indexed first so that it wins for ids found in both.
  LocalIndex index;
  const IndexExclusions skip{listedLinks(tree), receiptsInUse(destRoot, options.receipts)};
  if (!baseDirectory.empty()) buildLocalIndex(pathFromNative(baseDirectory), &index, skip);
  buildLocalIndex(destRoot, &index, skip);
  setAside.plan(index);

  uint64_t totalEntries = 0;
  for (const ManifestFile& file : files) totalEntries += file.chunks.size();
  const bool setModes = carriesExecutable(files);

  SyncStats counted;
  ChunkSource chunks(store, source, index, files, counted, destRoot);
  if (progress && source.transfer.jobs > 1) {
    chunks.setWaiting([&] { progress(counted.chunkSlots, totalEntries, chunks.wireProgress()); });
  }
  for (size_t i = 0; i < files.size(); ++i) {
    const ManifestFile& file = files[i];
    const fs::path target = destRoot / pathFromUtf8(file.path);
    const fs::path part = partFileOf(target);
    if (!rootEc) {
      std::error_code ec;
      const fs::path realDir = fs::weakly_canonical(target.parent_path(), ec);
      // A directory that cannot be resolved cannot be opened either; that
      // failure is reported below as such.
      if (!ec && !isPathWithin(realRoot, realDir)) {
        setError(err, "path leads out of the destination through a link: " + file.path);
        return false;
      }
    }
    fs::create_directories(target.parent_path(), ignored);
    // A leftover part file may be a link; opening it would write where it points.
    fs::remove(part, ignored);

    std::ofstream out(part, std::ios::binary | std::ios::trunc);
    if (!out) {
      setError(err, "cannot open " + genericUtf8Path(part));
      return false;
    }
    uint64_t written = 0;
    for (const ManifestChunk& chunk : file.chunks) {
      const std::string* bytes = nullptr;
      if (!chunks.obtain(i, chunk, &bytes, err)) return false;
      out.write(bytes->data(), static_cast<std::streamsize>(bytes->size()));
      if (!out) {
        setError(err, "write failed for " + genericUtf8Path(part));
        return false;
      }
      written += bytes->size();
      ++counted.chunkSlots;
      if (progress) progress(counted.chunkSlots, totalEntries, chunks.wireProgress());
    }
    out.close();
    if (out.fail()) {
      setError(err, "write failed for " + genericUtf8Path(part));
      return false;
    }
    if (written != file.size) {
      setError(err, "size mismatch for " + file.path);
      return false;
    }
    // On the part file, so that the target appears with its mode.
    if (setModes && !setExecutableBits(part, file.executable.value_or(false), err)) return false;
    if (!replaceTarget(part, target, file.path, options.waitSeconds, options.onWait, err)) {
      return false;
    }
    setAside.installed(i);
    ++counted.files;
  }
  // After the files: no listed path lies below a listed link or directory,
  // but a file's part file may have the name of one, which must end up as
  // listed rather than removed by the file's install.
  for (const std::string& dir : tree.directories) {
    if (!installDirectory(destRoot, dir, err)) return false;
    ++counted.files;
  }
  if (!tree.links.empty()) {
    std::set<std::string> listed;
    for (const ManifestFile& file : files) listed.insert(file.path);
    for (const ManifestLink& link : tree.links) listed.insert(link.path);
    for (const std::string& dir : tree.directories) listed.insert(dir);
    for (const ManifestLink& link : tree.links) {
      if (!installLink(destRoot, link, listed, err)) return false;
      ++counted.files;
    }
  }
  if (stats) *stats = counted;
  if (options.installedPaths) takePaths(files, tree, options.installedPaths);
  if (options.admitted) *options.admitted = std::move(admitted);
  return true;
}

}  // namespace vorn
