#include "util/task_pool.hpp"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace vorn {

size_t runTasks(size_t count, int workers, const TaskFn& task) {
  if (workers <= 1 || count <= 1) {
    for (size_t i = 0; i < count; ++i) {
      if (!task(i, 0)) return i;
    }
    return count;
  }
  std::atomic<size_t> next{0};
  std::atomic<bool> stopped{false};
  std::mutex lock;
  size_t firstFailed = count;
  auto work = [&](int worker) {
    while (!stopped.load()) {
      const size_t i = next.fetch_add(1);
      if (i >= count) return;
      if (!task(i, worker)) {
        stopped.store(true);
        std::lock_guard<std::mutex> guard(lock);
        firstFailed = std::min(firstFailed, i);
      }
    }
  };
  const int threads = static_cast<int>(std::min<size_t>(static_cast<size_t>(workers), count));
  std::vector<std::thread> helpers;
  helpers.reserve(static_cast<size_t>(threads - 1));
  for (int w = 1; w < threads; ++w) helpers.emplace_back(work, w);
  work(0);
  for (std::thread& t : helpers) t.join();
  return firstFailed;
}

}  // namespace vorn
