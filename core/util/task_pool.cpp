#include "util/task_pool.hpp"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace vorn {

size_t runTasks(size_t count, int workers, const TaskFn& task, const TaskDoneFn& done) {
  if (workers <= 1 || count <= 1) {
    for (size_t i = 0; i < count; ++i) {
      if (!task(i, 0)) return i;
      if (done) done(i);
    }
    return count;
  }
  std::atomic<size_t> next{0};
  std::atomic<bool> stopped{false};
  std::mutex lock;
  size_t firstFailed = count;
  // 0: not finished, 1: succeeded, 2: failed. Tasks finish out of order; done
  // follows the order of indices, released by whoever finishes the lowest one.
  std::vector<char> finished(count, 0);
  size_t released = 0;
  auto work = [&](int worker) {
    while (!stopped.load()) {
      const size_t i = next.fetch_add(1);
      if (i >= count) return;
      const bool ok = task(i, worker);
      std::lock_guard<std::mutex> guard(lock);
      finished[i] = ok ? 1 : 2;
      if (!ok) {
        stopped.store(true);
        firstFailed = std::min(firstFailed, i);
      }
      for (; released < count && finished[released] != 0; ++released) {
        if (done && finished[released] == 1) done(released);
      }
    }
  };
  const int threads = static_cast<int>(std::min<size_t>(static_cast<size_t>(workers), count));
  std::vector<std::thread> helpers;
  helpers.reserve(static_cast<size_t>(threads - 1));
  for (int w = 1; w < threads; ++w) helpers.emplace_back(work, w);
  work(0);
  for (std::thread& t : helpers) t.join();
  // What finished after a gap that will never close (indices never started).
  for (; released < count; ++released) {
    if (done && finished[released] == 1) done(released);
  }
  return firstFailed;
}

}  // namespace vorn
