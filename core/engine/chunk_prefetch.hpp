#pragma once
// Downloading chunk objects ahead of a sync's assembly: a few at once, each
// decoded and checked on the thread that fetched it, while the files are
// still written one after the other in manifest order.

#include "chunking/manifest.hpp"
#include "engine/channel_source.hpp"
#include "storage/storage_provider.hpp"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vorn {

// Downloads the object of chunk (from the store, or from its URL when the
// source has chunk URLs) into *object, then decodes and checks it into
// *decoded. Both buffers are replaced. Errors name the key or the chunk.
// *received, when given, grows by the object's bytes as they arrive.
bool fetchChunk(StorageProvider& store, const ChannelSource& source, const ManifestChunk& chunk,
                std::string* object, std::string* decoded, std::string* err,
                ByteCounter* received = nullptr);

// Fetches a planned list of chunk downloads on `jobs` threads, in plan order
// and never more than a window ahead of what was taken. The plan is a
// forecast: taking a chunk it does not list (soon enough) simply reports so,
// and planned downloads that are passed over are dropped unused.
class ChunkPrefetcher {
 public:
  enum class Take { kTaken, kFailed, kNotPlanned };

  ChunkPrefetcher(StorageProvider& store, const ChannelSource& source,
                  std::vector<const ManifestChunk*> plan, int jobs);
  ~ChunkPrefetcher();
  ChunkPrefetcher(const ChunkPrefetcher&) = delete;
  ChunkPrefetcher& operator=(const ChunkPrefetcher&) = delete;

  // The next planned download of chunk's id: waits for it (calling
  // whileWaiting about ten times a second), then swaps the decoded bytes into
  // *decoded and sets *wireBytes to the object's length. kFailed: err holds
  // the download's error. kNotPlanned: the caller fetches the chunk itself.
  Take take(const ManifestChunk& chunk, std::string* decoded, int64_t* wireBytes, std::string* err,
            const std::function<void()>& whileWaiting);

  // Body bytes the workers have received so far, the unused ones included.
  int64_t bytesReceived() const { return received_.load(std::memory_order_relaxed); }
  // Of those, the bytes of the objects handed out by take.
  int64_t bytesTaken() const { return taken_bytes_; }

 private:
  enum class State { kFree, kRunning, kDone, kFailed };
  struct Slot {
    State state = State::kFree;
    std::string decoded;
    int64_t wire = 0;
    std::string error;
  };

  void work();
  Slot& slotOf(size_t planned) { return slots_[planned % slots_.size()]; }
  // Waits (holding lock) until the slot of `planned` is no longer running.
  void waitSettled(std::unique_lock<std::mutex>& lock, size_t planned,
                   const std::function<void()>& whileWaiting);

  StorageProvider& store_;
  const ChannelSource& source_;
  const std::vector<const ManifestChunk*> plan_;
  std::vector<Slot> slots_;  // a ring: planned download k lives in slot k % size
  std::mutex lock_;
  std::condition_variable changed_;
  size_t next_ = 0;       // next planned download to start
  size_t consumed_ = 0;   // every planned download before this one is taken or dropped
  bool stopped_ = false;  // a download failed, or the prefetcher is going away
  ByteCounter received_{0};
  int64_t taken_bytes_ = 0;
  std::vector<std::thread> workers_;
};

}  // namespace vorn
