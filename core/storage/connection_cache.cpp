#include "storage/connection_cache.hpp"

#include <mutex>
#include <vector>

namespace vorn {
namespace {

// More idle handles than requests ever in flight at once are never needed;
// the cap only bounds what a long command keeps open.
constexpr size_t kMaxIdleHandles = 32;

struct Cache {
  std::mutex lock;
  std::vector<CurlHandle> idle;
};

// Built on first use, after libcurl's global start-up, so it is destroyed
// before any clean-up registered at start-up runs.
Cache& cache() {
  static Cache instance;
  return instance;
}

}  // namespace

CurlHandle acquireCurlHandle() {
  Cache& c = cache();
  {
    std::lock_guard<std::mutex> guard(c.lock);
    if (!c.idle.empty()) {
      CurlHandle handle = std::move(c.idle.back());
      c.idle.pop_back();
      curl_easy_reset(handle.get());
      return handle;
    }
  }
  return CurlHandle(curl_easy_init());
}

void releaseCurlHandle(CurlHandle handle) {
  if (!handle) return;
  Cache& c = cache();
  std::lock_guard<std::mutex> guard(c.lock);
  if (c.idle.size() < kMaxIdleHandles) c.idle.push_back(std::move(handle));
}

}  // namespace vorn
