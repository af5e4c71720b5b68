#include "storage/http_exchange.hpp"

#include "storage/connection_cache.hpp"
#include "util/huge_pages.hpp"
#include "util/startup.hpp"

#include <sodium.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

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

// Failures that end the same way however often they are tried: the request,
// the local settings or the server's certificate are wrong.
bool retryCanHelp(CURLcode code) {
  switch (code) {
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
    case CURLE_NOT_BUILT_IN:
    case CURLE_OUT_OF_MEMORY:
    case CURLE_BAD_FUNCTION_ARGUMENT:
    case CURLE_TOO_MANY_REDIRECTS:
    case CURLE_UNKNOWN_OPTION:
    case CURLE_LOGIN_DENIED:
    case CURLE_AUTH_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_CLIENTCERT:
    case CURLE_USE_SSL_FAILED:
      return false;
    default:
      return true;
  }
}

bool isTransient(CURLcode code, long status) {
  if (code != CURLE_OK) return retryCanHelp(code);
  return status >= 500 || status == 429;
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

// What libcurl says about a try beyond its result code: its first error
// message, and the proxy it took from the environment (it tells that only to
// a debug listener).
struct TransportTrace {
  char detail[CURL_ERROR_SIZE] = "";
  std::string proxy;  // as the variable gives it, credentials and all
};

int noteProxy(CURL*, curl_infotype type, char* text, size_t size, void* target) {
  static const std::string kUses = "Uses proxy env variable ";
  static const std::string kIs = " == '";
  if (type != CURLINFO_TEXT || size < kUses.size() || text[0] != 'U') return 0;
  const std::string line(text, size);
  const size_t value = line.find(kIs);
  const size_t end = line.rfind('\'');
  if (line.compare(0, kUses.size(), kUses) == 0 && value != std::string::npos &&
      end > value + kIs.size())
    static_cast<TransportTrace*>(target)->proxy =
        line.substr(value + kIs.size(), end - value - kIs.size());
  return 0;
}

// Whether libcurl may take a proxy from the environment (it reads no other
// proxy setting of ours); only then is it asked to tell which.
bool proxyVariableSet() {
  for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
    const char* value = std::getenv(name);
    if (value && *value) return true;
  }
  return false;
}

// "host" or "host:port" as the URL names them; for a proxy also the port
// libcurl assumes when none is given. Never the user, password, path or query.
std::string hostOf(const std::string& url, bool isProxy) {
  std::string out;
  CURLU* parsed = curl_url();
  if (!parsed) return out;
  const unsigned flags = CURLU_NON_SUPPORT_SCHEME | (isProxy ? CURLU_GUESS_SCHEME : 0);
  char* host = nullptr;
  char* port = nullptr;
  char* scheme = nullptr;
  if (curl_url_set(parsed, CURLUPART_URL, url.c_str(), flags) == CURLUE_OK &&
      curl_url_get(parsed, CURLUPART_HOST, &host, 0) == CURLUE_OK) {
    out = host;
    if (curl_url_get(parsed, CURLUPART_PORT, &port, 0) == CURLUE_OK) {
      out += std::string(":") + port;
    } else if (isProxy) {
      const bool https = curl_url_get(parsed, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
                         std::strcmp(scheme, "https") == 0;
      out += https ? ":443" : ":1080";
    }
  }
  curl_free(host);
  curl_free(port);
  curl_free(scheme);
  curl_url_cleanup(parsed);
  return out;
}

// What went wrong with a request that got no answer, without naming it:
// libcurl's text for the code, then in brackets its own reason, the server
// and the proxy, when it knows them.
std::string transportText(CURLcode code, int timeoutSeconds, const TransportTrace& trace,
                          const std::string& url) {
  if (isTimeLimit(code, timeoutSeconds)) {
    return "timed out (nothing moved for " + std::to_string(timeoutSeconds) + " s)";
  }
  std::string text = std::string("curl: ") + curl_easy_strerror(code);
  std::vector<std::string> parts;
  std::string detail = trace.detail;
  std::replace(detail.begin(), detail.end(), '\n', ' ');
  std::replace(detail.begin(), detail.end(), '\r', ' ');
  while (!detail.empty() && detail.back() == ' ') detail.pop_back();
  if (!detail.empty()) parts.push_back(detail);
  const std::string host = hostOf(url, false);
  if (!host.empty()) parts.push_back("host " + host);
  const std::string proxy = trace.proxy.empty() ? "" : hostOf(trace.proxy, true);
  if (!proxy.empty()) parts.push_back("proxy " + proxy);
  for (size_t i = 0; i < parts.size(); ++i) text += (i == 0 ? " (" : "; ") + parts[i];
  if (!parts.empty()) text += ")";
  return text;
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

  const bool traceProxy = proxyVariableSet();
  CURL* h = handle.get();
  CURLcode code = CURLE_OK;
  long status = 0;
  curl_off_t contentLength = -1;
  TransportTrace trace;
  std::string failedUrl;
  for (int attempt = 0;; ++attempt) {
    if (attempt > 0) curl_easy_reset(h);
    UploadSource upload{exchange.upload, 0};
    ResponseSink sink{body, h, false, counter, 0};
    long retryAfter = -1;
    trace = TransportTrace();
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
    // Unset, libcurl's own certificate locations stay and nothing is sent differently.
    if (!settings.caFile.empty()) curl_easy_setopt(h, CURLOPT_CAINFO, settings.caFile.c_str());
    if (!settings.caDirectory.empty())
      curl_easy_setopt(h, CURLOPT_CAPATH, settings.caDirectory.c_str());
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, trace.detail);
    if (traceProxy) {
      curl_easy_setopt(h, CURLOPT_DEBUGFUNCTION, noteProxy);
      curl_easy_setopt(h, CURLOPT_DEBUGDATA, &trace);
      curl_easy_setopt(h, CURLOPT_VERBOSE, 1L);
    }
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
    if (code != CURLE_OK) {
      // After redirects, the server that failed may not be the one first asked.
      char* effective = nullptr;
      curl_easy_getinfo(h, CURLINFO_EFFECTIVE_URL, &effective);
      failedUrl = effective ? effective : exchange.url;
    }

    if (!isTransient(code, status) || attempt >= settings.retries) break;
    if (settings.onRetry) {
      const std::string what = code != CURLE_OK
                                   ? transportText(code, settings.timeoutSeconds, trace, failedUrl)
                                   : "HTTP " + std::to_string(status);
      settings.onRetry("retry " + std::to_string(attempt + 1) + "/" +
                       std::to_string(settings.retries) + ": " + exchange.label + " -> " + what);
    }
    std::this_thread::sleep_for(
        std::chrono::duration<double>(backoffSeconds(attempt + 1, retryAfter)));
    body->resize(bodyStart);
    if (counter) counter->fetch_sub(sink.counted, std::memory_order_relaxed);
  }
  // The trace lives on this stack: an idle handle must not write to it when
  // it closes its connections later.
  curl_easy_setopt(h, CURLOPT_VERBOSE, 0L);
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, nullptr);
  releaseCurlHandle(std::move(handle));

  if (code != CURLE_OK) {
    const std::string text = transportText(code, settings.timeoutSeconds, trace, failedUrl);
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
