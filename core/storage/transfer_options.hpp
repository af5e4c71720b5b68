#pragma once
// How every request of this process behaves on a slow or flaky network: a
// time limit and retries. Set once by the front end before the first request
// and only read afterwards, from any thread.

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

namespace vorn {

struct TransferOptions {
  // Connect limit and stall limit in seconds: a transfer that moves no byte
  // for this long fails. 0: wait for ever.
  int timeoutSeconds = 0;
  // Further tries of a request that failed in transport, with a 5xx or a 429.
  // 0: every request is made once.
  int retries = 0;
  // Told one line, e.g. "retry 2/5: GET chunks/ab/... -> HTTP 503", before
  // each further try. May be called from several threads at once.
  std::function<void(const std::string& line)> onRetry;
};

void setTransferOptions(const TransferOptions& options);
const TransferOptions& transferOptions();

// While one of these lives, the body bytes that requests made on this thread
// receive are added to *counter as they arrive (for progress that moves during
// a large download). Not nested.
class ScopedByteCounter {
 public:
  explicit ScopedByteCounter(std::atomic<int64_t>* counter);
  ~ScopedByteCounter();
  ScopedByteCounter(const ScopedByteCounter&) = delete;
  ScopedByteCounter& operator=(const ScopedByteCounter&) = delete;
};

// The counter of this thread's live ScopedByteCounter, or null.
std::atomic<int64_t>* currentByteCounter();

}  // namespace vorn
