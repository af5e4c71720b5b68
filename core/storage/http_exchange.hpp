#pragma once
// One HTTP request as the storage layer makes every request: on a reused
// connection, within the command's time limit, and tried again after a
// transient failure as many times as its transfer settings allow (the storage
// layer's own; not exported).

#include "storage/transfer_settings.hpp"

#include <curl/curl.h>

#include <cstdint>
#include <string>

namespace vorn {

struct HttpExchange {
  const char* method = "GET";  // GET, PUT, HEAD, DELETE or POST (an empty POST)
  std::string url;
  const curl_slist* headers = nullptr;  // extra request headers; may be null
  const std::string* upload = nullptr;  // the PUT body
  std::string* body = nullptr;          // the answer's body is appended here; null: kept as snippet
  bool followRedirects = false;
  std::string label;  // "GET chunks/ab/..." as retry and time-out lines name it
  const TransferSettings* settings = nullptr;  // null: one try, no time limit
  ByteCounter* received = nullptr;  // grows by the body bytes as they arrive; may be null
};

struct HttpOutcome {
  int32_t status = 0;          // the last answer's HTTP status
  int64_t contentLength = -1;  // its announced length; -1 when none
  std::string snippet;         // its body's first bytes, when exchange.body is null
};

// True when an HTTP answer arrived, whatever its status: *outcome then holds
// the last one. False when none did, err set to label + " -> timed out (...)"
// or to "curl: " + libcurl's text for the code, followed by
// " (reason; host H[:port]; proxy P:port)" with what is known of these.
// Failures no further try can mend (certificates, bad URLs, refused logins)
// are not tried again. On a further try, *body is first cut back to the
// length it had on entry.
bool performExchange(const HttpExchange& exchange, HttpOutcome* outcome, std::string* err);

// url without its query: presigned signatures stay out of messages.
std::string urlForMessages(const std::string& url);

}  // namespace vorn
