#pragma once
// Idle libcurl handles of this process, kept so that the next request reuses
// the connection (and TLS session) of an earlier one instead of opening a new
// one. The storage layer's own; safe to use from several threads.

#include "storage/curl_handles.hpp"

namespace vorn {

// A handle ready for a new request: reset to libcurl's defaults, its live
// connections kept. Null only when libcurl cannot allocate one.
CurlHandle acquireCurlHandle();

// Gives a handle back for reuse after its transfer has ended.
void releaseCurlHandle(CurlHandle handle);

}  // namespace vorn
