#include "storage/http_exchange.hpp"

#include "storage/connection_cache.hpp"
#include "util/huge_pages.hpp"
#include "util/startup.hpp"

#include <sodium.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

namespace vorn {
namespace {

const size_t kSnippetBytes = 300;
// The announcement comes from the other side and is not trusted this far.
const curl_off_t kMaxReserveBytes = 64 * 1024 * 1024;
const double kFirstBackoffSeconds = 0.5;
const double kMaxBackoffSeconds = 30.0;

struct UploadSource {
  const std::string* data = nullptr;
  size_t position = 0;
};

// Where an answer's body goes. The first block reserves room for the announced
// length, so a chunk-sized body is not regrown and copied as it arrives.
struct ResponseSink {
  std::string* body = nullptr;
  CURL* handle = nullptr;
  bool reserved = false;
  ByteCounter* counter = nullptr;
  int64_t counted = 0;  // added to counter by this try
};

size_t appendToSink(char* bytes, size_t size, size_t count, void* target) {
  auto* sink = static_cast<ResponseSink*>(target);
  const size_t n = size * count;
  if (!sink->reserved) {
    sink->reserved = true;
    curl_off_t announced = -1;
    if (curl_easy_getinfo(sink->handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) ==
            CURLE_OK &&
        announced > 0 && announced <= kMaxReserveBytes) {
      sink->body->reserve(sink->body->size() + static_cast<size_t>(announced));
      adviseHugePages(sink->body->data(), sink->body->capacity());
    }
  }
  sink->body->append(bytes, n);
  if (sink->counter) {
    sink->counter->fetch_add(static_cast<int64_t>(n), std::memory_order_relaxed);
    sink->counted += static_cast<int64_t>(n);
  }
  return n;
}

size_t readFromSource(char* buffer, size_t size, size_t count, void* source) {
  auto* upload = static_cast<UploadSource*>(source);
  const size_t n = std::min(size * count, upload->data->size() - upload->position);
  std::memcpy(buffer, upload->data->data() + upload->position, n);
  upload->position += n;
  return n;
}

// libcurl rewinds the body when it must send the request again on a fresh
// connection (a reused one that the other side had closed).
int seekSource(void* source, curl_off_t offset, int origin) {
  auto* upload = static_cast<UploadSource*>(source);
  if (origin != SEEK_SET || offset < 0 || static_cast<size_t>(offset) > upload->data->size()) {
    return CURL_SEEKFUNC_CANTSEEK;
  }
  upload->position = static_cast<size_t>(offset);
  return CURL_SEEKFUNC_OK;
}

// Seconds of a "Retry-After: N" header; other forms are ignored.
size_t readRetryAfter(char* bytes, size_t size, size_t count, void* target) {
  const size_t n = size * count;
  static const char kName[] = "retry-after:";
  const size_t nameLength = sizeof kName - 1;
  if (n > nameLength && strncasecmp(bytes, kName, nameLength) == 0) {
    long seconds = 0;
    bool digits = false;
    for (size_t i = nameLength; i < n; ++i) {
      const char c = bytes[i];
      if (c == ' ' || c == '\t') {
        if (digits) break;
        continue;
      }
      if (c < '0' || c > '9') break;
      digits = true;
      seconds = std::min<long>(seconds * 10 + (c - '0'), 1000000);
    }
    if (digits) *static_cast<long*>(target) = seconds;
  }
  return n;
}

bool isTransient(CURLcode code, long status) {
  return code != CURLE_OK || status >= 500 || status == 429;
}

// Exponential from about half a second, capped, with jitter so that many
// clients (or many of our own requests) do not come back in step.
double backoffSeconds(int attempt, long retryAfter) {
  if (retryAfter >= 0) return std::min<double>(static_cast<double>(retryAfter), kMaxBackoffSeconds);
  double delay = kFirstBackoffSeconds;
  for (int i = 1; i < attempt && delay < kMaxBackoffSeconds; ++i) delay *= 2;
  delay = std::min(delay, kMaxBackoffSeconds);
  const double jitter = 0.5 + static_cast<double>(randombytes_uniform(1001)) / 2000.0;
  return delay * jitter;
}

bool isTimeLimit(CURLcode code, int timeoutSeconds) {
  return code == CURLE_OPERATION_TIMEDOUT && timeoutSeconds > 0;
}

// What went wrong with a request that got no answer, without naming it.
std::string transportText(CURLcode code, int timeoutSeconds) {
  if (isTimeLimit(code, timeoutSeconds)) {
    return "timed out (nothing moved for " + std::to_string(timeoutSeconds) + " s)";
  }
  return std::string("curl: ") + curl_easy_strerror(code);
}

}  // namespace

std::string urlForMessages(const std::string& url) { return url.substr(0, url.find('?')); }

bool performExchange(const HttpExchange& exchange, HttpOutcome* outcome, std::string* err) {
  CurlHandle handle = acquireCurlHandle();
  if (!handle) {
    if (err) *err = "curl init failed";
    return false;
  }
  static const TransferSettings kOneTry;
  const TransferSettings& settings = exchange.settings ? *exchange.settings : kOneTry;
  std::string localBody;
  std::string* body = exchange.body ? exchange.body : &localBody;
  const size_t bodyStart = body->size();
  ByteCounter* counter = exchange.received;
  const std::string method = exchange.method;

  CURLcode code = CURLE_OK;
  long status = 0;
  curl_off_t contentLength = -1;
  for (int attempt = 0;; ++attempt) {
    CURL* h = handle.get();
    if (attempt > 0) curl_easy_reset(h);
    UploadSource upload{exchange.upload, 0};
    ResponseSink sink{body, h, false, counter, 0};
    long retryAfter = -1;
    curl_easy_setopt(h, CURLOPT_URL, exchange.url.c_str());
    if (exchange.headers) curl_easy_setopt(h, CURLOPT_HTTPHEADER, exchange.headers);
    curl_easy_setopt(h, CURLOPT_USERAGENT, kUserAgent);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 1L);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, appendToSink);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, readRetryAfter);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &retryAfter);
    curl_easy_setopt(h, CURLOPT_BUFFERSIZE, kTransferBufferBytes);
    if (exchange.followRedirects) curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    if (settings.timeoutSeconds > 0) {
      curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, static_cast<long>(settings.timeoutSeconds));
      curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
      curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, static_cast<long>(settings.timeoutSeconds));
    }
    if (method == "PUT") {
      curl_easy_setopt(h, CURLOPT_UPLOAD, 1L);
      curl_easy_setopt(h, CURLOPT_READFUNCTION, readFromSource);
      curl_easy_setopt(h, CURLOPT_READDATA, &upload);
      curl_easy_setopt(h, CURLOPT_SEEKFUNCTION, seekSource);
      curl_easy_setopt(h, CURLOPT_SEEKDATA, &upload);
      curl_easy_setopt(h, CURLOPT_INFILESIZE_LARGE,
                       static_cast<curl_off_t>(exchange.upload->size()));
      curl_easy_setopt(h, CURLOPT_UPLOAD_BUFFERSIZE, kTransferBufferBytes);
    } else if (method == "HEAD") {
      curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
    } else if (method == "DELETE") {
      curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, "DELETE");
    } else if (method == "POST") {
      curl_easy_setopt(h, CURLOPT_POST, 1L);
      curl_easy_setopt(h, CURLOPT_POSTFIELDS, "");
      curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, 0L);
    }

    code = curl_easy_perform(h);
    status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    contentLength = -1;
    curl_easy_getinfo(h, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &contentLength);

    if (!isTransient(code, status) || attempt >= settings.retries) break;
    if (settings.onRetry) {
      const std::string what = code != CURLE_OK ? transportText(code, settings.timeoutSeconds)
                                                : "HTTP " + std::to_string(status);
      settings.onRetry("retry " + std::to_string(attempt + 1) + "/" +
                      std::to_string(settings.retries) + ": " + exchange.label + " -> " + what);
    }
    std::this_thread::sleep_for(
        std::chrono::duration<double>(backoffSeconds(attempt + 1, retryAfter)));
    body->resize(bodyStart);
    if (counter) counter->fetch_sub(sink.counted, std::memory_order_relaxed);
  }
  releaseCurlHandle(std::move(handle));

  if (code != CURLE_OK) {
    // Without a time limit the text stays libcurl's own, as it always was.
    const std::string text = transportText(code, settings.timeoutSeconds);
    if (err)
      *err = isTimeLimit(code, settings.timeoutSeconds) ? exchange.label + " -> " + text : text;
    return false;
  }
  if (outcome) {
    outcome->status = static_cast<int32_t>(status);
    outcome->contentLength = static_cast<int64_t>(contentLength);
    if (!exchange.body) outcome->snippet = localBody.substr(0, kSnippetBytes);
  }
  return true;
}

}  // namespace vorn
