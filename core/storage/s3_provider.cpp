#include "storage/storage_provider.hpp"

#include "storage/curl_handles.hpp"
#include "storage/request_signing.hpp"
#include "storage/s3_config.hpp"
#include "storage/xml_scrape.hpp"
#include "util/digest.hpp"
#include "util/error_text.hpp"
#include "util/huge_pages.hpp"
#include "util/startup.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <memory>

namespace vorn {
namespace {

const size_t kSnippetBytes = 300;


struct UploadSource {
  const std::string* data;
  size_t position;
};

// Where a response body goes. The first block reserves room for the announced
// length (capped: the announcement comes from the store and is not trusted),
// so a chunk-sized body is not regrown and copied as it arrives.
struct ResponseSink {
  std::string* body;
  CURL* handle;
  bool reserved;
};

const curl_off_t kMaxReserveBytes = 64 * 1024 * 1024;

size_t appendToSink(char* bytes, size_t size, size_t count, void* target) {
  auto* sink = static_cast<ResponseSink*>(target);
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
  sink->body->append(bytes, size * count);
  return size * count;
}

size_t readFromString(char* buffer, size_t size, size_t count, void* source) {
  auto* upload = static_cast<UploadSource*>(source);
  const size_t n = std::min(size * count, upload->data->size() - upload->position);
  std::memcpy(buffer, upload->data->data() + upload->position, n);
  upload->position += n;
  return n;
}

bool is2xx(int32_t status) { return status / 100 == 2; }

// Talks to an S3-compatible service with header-signed requests, path-style.
class S3Provider : public StorageProvider {
 public:
  explicit S3Provider(const S3Config& config)
      : endpoint_(config.endpoint),
        region_(config.region),
        bucket_(config.bucket),
        accessKey_(config.accessKey),
        secretKey_(config.secretKey) {}

  bool put(const std::string& key, const std::string& data, std::string* err) override {
    return simpleRequest("PUT", key, &data, nullptr, err);
  }

  bool get(const std::string& key, std::string* out, std::string* err) override {
    // The body goes to out whatever the status, so the error text carries no excerpt.
    return simpleRequest("GET", key, nullptr, out, err);
  }

  HeadResult head(const std::string& key, std::string* err) override {
    HeadResult result;
    int32_t status = 0;
    std::string snippet;
    int64_t length = -1;
    if (signedRequest("HEAD", key, "", nullptr, nullptr, &status, &snippet, &length, err)) {
      result.status = status;
      result.exists = is2xx(status);
      result.size = length;
    }
    return result;
  }

  bool list(const std::string& prefix, std::vector<ObjectEntry>* out, std::string* err) override {
    std::string token;
    for (;;) {
      std::string query;
      if (!token.empty()) query = "continuation-token=" + uriEncode(token, true) + "&";
      query += "list-type=2";
      if (!prefix.empty()) query += "&prefix=" + uriEncode(prefix, true);

      std::string body;
      int32_t status = 0;
      std::string snippet;
      if (!signedRequest("GET", "", query, nullptr, &body, &status, &snippet, nullptr, err)) {
        return false;
      }
      // The store's own words may span lines; setError keeps the text one line.
      if (!is2xx(status)) {
        setError(err, "LIST -> HTTP " + std::to_string(status) + " " + body.substr(0, kSnippetBytes));
        return false;
      }
      // A 2xx answer that is no listing at all (a proxy's page, garbage) must
      // not pass for an empty listing.
      if (body.find("<ListBucketResult") == std::string::npos) {
        setError(err, "LIST -> not a listing: " + body.substr(0, kSnippetBytes));
        return false;
      }
      const size_t added = scanListPage(body, out);
      std::string next = nextContinuationToken(body);
      if (next.empty()) return true;
      // A store that hands back the same token, or truncated pages without
      // keys, would otherwise keep this loop going forever.
      if (next == token || added == 0) {
        setError(err, "LIST -> truncated page without progress (token " + next + ")");
        return false;
      }
      token = std::move(next);
    }
  }

  bool remove(const std::string& key, std::string* err) override {
    return simpleRequest("DELETE", key, nullptr, nullptr, err);
  }

  std::string chunkKey(const std::string& id) const override { return plainChunkKey(id); }

 private:
  // One request whose only judgement is 2xx or not; other answers become
  // method + " " + key + " -> HTTP " + status + " " + the body's first bytes.
  bool simpleRequest(const char* method, const std::string& key, const std::string* body,
                     std::string* out, std::string* err) {
    int32_t status = 0;
    std::string snippet;
    if (!signedRequest(method, key, "", body, out, &status, &snippet, nullptr, err)) return false;
    if (is2xx(status)) return true;
    setError(err, std::string(method) + " " + key + " -> HTTP " + std::to_string(status) + " " +
                      snippet);
    return false;
  }

  // One signed request. True when an HTTP answer arrived, whatever its
  // status; false (err set) when none did. The answer's body goes to outBody
  // when given; otherwise its first bytes become *outSnippet.
  bool signedRequest(const std::string& method, const std::string& key, const std::string& query,
                     const std::string* body, std::string* outBody, int32_t* outStatus,
                     std::string* outSnippet, int64_t* outContentLength, std::string* err) const {
    static const std::string kEmpty;
    const std::string& payload = body ? *body : kEmpty;
    const S3Config config{endpoint_, region_, bucket_, accessKey_, secretKey_};
    const SignedRequest signedReq =
        signRequestAt(config, method, key, query, sha256Hex(payload), std::time(nullptr));

    CurlHandle handle(curl_easy_init());
    if (!handle) {
      if (err) *err = "curl init failed";
      return false;
    }
    HeaderList headers;
    for (const std::string& line : signedReq.headers) {
      curl_slist* grown = curl_slist_append(headers.get(), line.c_str());
      if (!grown) {
        if (err) *err = "curl init failed";
        return false;
      }
      headers.release();
      headers.reset(grown);
    }

    std::string localBody;
    std::string* response = outBody ? outBody : &localBody;
    UploadSource upload{&payload, 0};

    CURL* h = handle.get();
    ResponseSink sink{response, h, false};
    curl_easy_setopt(h, CURLOPT_URL, signedReq.url.c_str());
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(h, CURLOPT_USERAGENT, kUserAgent);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 1L);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, appendToSink);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(h, CURLOPT_BUFFERSIZE, kTransferBufferBytes);
    if (method == "PUT") {
      curl_easy_setopt(h, CURLOPT_UPLOAD, 1L);
      curl_easy_setopt(h, CURLOPT_READFUNCTION, readFromString);
      curl_easy_setopt(h, CURLOPT_READDATA, &upload);
      curl_easy_setopt(h, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(payload.size()));
      curl_easy_setopt(h, CURLOPT_UPLOAD_BUFFERSIZE, kTransferBufferBytes);
    } else if (method == "HEAD") {
      curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
    } else if (method == "DELETE") {
      curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, "DELETE");
    }

    const CURLcode code = curl_easy_perform(h);
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    curl_off_t contentLength = -1;
    if (outContentLength) {
      curl_easy_getinfo(h, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &contentLength);
    }
    headers.reset();
    handle.reset();

    if (code != CURLE_OK) {
      if (err) *err = std::string("curl: ") + curl_easy_strerror(code);
      return false;
    }
    if (outStatus) *outStatus = static_cast<int32_t>(status);
    if (outContentLength) *outContentLength = static_cast<int64_t>(contentLength);
    if (outSnippet) *outSnippet = outBody ? std::string() : localBody.substr(0, kSnippetBytes);
    return true;
  }

  std::string endpoint_;
  std::string region_;
  std::string bucket_;
  std::string accessKey_;
  std::string secretKey_;
};

}  // namespace

std::unique_ptr<StorageProvider> makeS3Provider(const S3Config& config) {
  return std::make_unique<S3Provider>(config);
}

}  // namespace vorn
