#include "engine/chunk_prefetch.hpp"

#include "engine/chunk_codec.hpp"
#include "engine/set_aside.hpp"
#include "storage/http_client.hpp"
#include "util/error_text.hpp"

#include <chrono>

namespace vorn {
namespace {

// How far past the next planned download a take looks for its chunk. Past
// that the forecast has drifted too far to be worth following.
constexpr size_t kSearchAhead = 4096;

}  // namespace

bool fetchChunk(StorageProvider& store, const ChannelSource& source, const ManifestChunk& chunk,
                std::string* object, std::string* decoded, std::string* err,
                ByteCounter* received) {
  object->clear();
  if (source.chunkUrls.empty()) {
    const std::string key = store.chunkKey(chunk.id);
    std::string missing;
    if (!store.get(key, object, &missing, received)) {
      // A two-phase collection may have set the chunk aside; when it is not
      // there either, the failure is the one a sync has always reported.
      object->clear();
      if (!isMissingObjectError(key, missing) ||
          !store.get(setAsideKey(key), object, nullptr, received)) {
        setError(err, missing);
        return false;
      }
    }
  } else {
    auto url = source.chunkUrls.find(chunk.id);
    if (url == source.chunkUrls.end()) {
      setError(err, "no presigned URL for chunk " + chunk.id);
      return false;
    }
    int32_t status = 0;
    HttpRequest request;
    request.url = url->second;
    request.received = received;
    if (!httpGet(source.transfer, request, object, &status, err)) return false;
    if (status / 100 != 2) {
      setError(err, "chunk URL " + chunk.id + " -> HTTP " + std::to_string(status));
      return false;
    }
  }
  if (!decodeChunk(*object, chunk.id, decoded, err)) return false;
  if (decoded->size() != chunk.size) {
    setError(err, "chunk size mismatch for " + chunk.id);
    return false;
  }
  return true;
}

ChunkPrefetcher::ChunkPrefetcher(StorageProvider& store, const ChannelSource& source,
                                 std::vector<const ManifestChunk*> plan, int jobs)
    : store_(store), source_(source), plan_(std::move(plan)) {
  // Two slots per worker: one being fetched, one waiting to be written.
  slots_.resize(static_cast<size_t>(jobs) * 2);
  for (int i = 0; i < jobs; ++i) workers_.emplace_back([this] { work(); });
}

ChunkPrefetcher::~ChunkPrefetcher() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    stopped_ = true;
  }
  changed_.notify_all();
  for (std::thread& t : workers_) t.join();
}

void ChunkPrefetcher::work() {
  std::string object;
  std::string decoded;
  std::unique_lock<std::mutex> lock(lock_);
  for (;;) {
    changed_.wait(lock, [this] {
      return stopped_ || next_ >= plan_.size() || next_ < consumed_ + slots_.size();
    });
    if (stopped_ || next_ >= plan_.size()) return;
    const size_t k = next_++;
    Slot& slot = slotOf(k);
    slot.state = State::kRunning;
    decoded.swap(slot.decoded);
    lock.unlock();

    std::string error;
    const bool ok = fetchChunk(store_, source_, *plan_[k], &object, &decoded, &error, &received_);

    lock.lock();
    slot.decoded.swap(decoded);
    slot.wire = static_cast<int64_t>(object.size());
    slot.error = std::move(error);
    slot.state = ok ? State::kDone : State::kFailed;
    // A failure stops new downloads; those in flight finish.
    if (!ok) stopped_ = true;
    changed_.notify_all();
  }
}

void ChunkPrefetcher::waitSettled(std::unique_lock<std::mutex>& lock, size_t planned,
                                  const std::function<void()>& whileWaiting) {
  Slot& slot = slotOf(planned);
  while (slot.state == State::kRunning ||
         (slot.state == State::kFree && planned >= next_ && !stopped_)) {
    if (changed_.wait_for(lock, std::chrono::milliseconds(100)) == std::cv_status::timeout &&
        whileWaiting) {
      lock.unlock();
      whileWaiting();
      lock.lock();
    }
  }
}

ChunkPrefetcher::Take ChunkPrefetcher::take(const ManifestChunk& chunk, std::string* decoded,
                                            int64_t* wireBytes, std::string* err,
                                            const std::function<void()>& whileWaiting) {
  std::unique_lock<std::mutex> lock(lock_);
  const size_t end = std::min(plan_.size(), consumed_ + kSearchAhead);
  size_t k = consumed_;
  while (k < end && plan_[k]->id != chunk.id) ++k;
  if (k == end) return Take::kNotPlanned;
  // Planned downloads before k are behind the assembly now: dropped, once
  // any still running has finished with its slot.
  for (size_t j = consumed_; j < k && j < next_; ++j) {
    waitSettled(lock, j, whileWaiting);
    slotOf(j).state = State::kFree;
  }
  next_ = std::max(next_, k);  // what was never started is not started now
  consumed_ = k;
  changed_.notify_all();
  waitSettled(lock, k, whileWaiting);
  Slot& slot = slotOf(k);
  Take result = Take::kNotPlanned;  // never started: the prefetcher stopped first
  if (slot.state == State::kDone) {
    decoded->swap(slot.decoded);
    *wireBytes = slot.wire;
    taken_bytes_ += slot.wire;
    result = Take::kTaken;
  } else if (slot.state == State::kFailed) {
    setError(err, slot.error);
    result = Take::kFailed;
  }
  slot.state = State::kFree;
  consumed_ = k + 1;
  changed_.notify_all();
  return result;
}

}  // namespace vorn
