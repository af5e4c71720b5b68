#pragma once
// How the requests of one command behave: how many may be in flight, how long
// a stalled one may take, how often a transient failure is tried again, and
// which certificates vouch for HTTPS servers.
// A handler builds one record and hands it to the store and the plain HTTP
// client; nothing here is process-wide.

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

namespace vorn {

struct TransferSettings {
  // Requests in flight at once for operations that make many (push, sync,
  // repair, gc); 1: one at a time, in order.
  int jobs = 1;
  // Connect limit and stall limit in seconds: a transfer that moves no byte
  // for this long fails. 0: wait for ever.
  int timeoutSeconds = 0;
  // Further tries of a request that failed in transport, with a 5xx or a 429.
  // 0: every request is made once.
  int retries = 0;
  // Told one line, e.g. "retry 2/5: GET chunks/ab/... -> HTTP 503", before
  // each further try. May be called from several threads at once.
  std::function<void(const std::string& line)> onRetry;
  // Certificate authorities for HTTPS, in place of libcurl's built-in
  // locations: a PEM file, and/or a directory of certificates named by their
  // subject hash ("1a2b3c4d.0"). Empty: libcurl's default.
  std::string caFile;
  std::string caDirectory;
};

// Body bytes received so far, shared between the thread that downloads and
// one that shows progress.
using ByteCounter = std::atomic<int64_t>;

}  // namespace vorn
