#include "storage/storage_provider.hpp"

#include "storage/curl_handles.hpp"
#include "storage/http_exchange.hpp"
#include "storage/request_signing.hpp"
#include "storage/s3_config.hpp"
#include "storage/xml_scrape.hpp"
#include "util/digest.hpp"
#include "util/error_text.hpp"

#include <curl/curl.h>

#include <cstdint>
#include <ctime>
#include <memory>

namespace vorn {
namespace {

const size_t kSnippetBytes = 300;

bool is2xx(int32_t status) { return status / 100 == 2; }

// Talks to an S3-compatible service with header-signed requests, path-style.
class S3Provider : public StorageProvider {
 public:
  S3Provider(const S3Config& config, const TransferSettings& transfer)
      : endpoint_(config.endpoint),
        region_(config.region),
        bucket_(config.bucket),
        accessKey_(config.accessKey),
        secretKey_(config.secretKey),
        transfer_(transfer) {}

  using StorageProvider::get;

  bool put(const std::string& key, const std::string& data, std::string* err) override {
    return simpleRequest("PUT", key, &data, nullptr, err, nullptr);
  }

  bool get(const std::string& key, std::string* out, std::string* err,
           ByteCounter* received) override {
    // The body goes to out whatever the status, so the error text carries no excerpt.
    return simpleRequest("GET", key, nullptr, out, err, received);
  }

  HeadResult head(const std::string& key, std::string* err) override {
    HeadResult result;
    int32_t status = 0;
    std::string snippet;
    int64_t length = -1;
    if (signedRequest("HEAD", key, "", nullptr, nullptr, &status, &snippet, &length, err,
                      nullptr)) {
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
      if (!signedRequest("GET", "", query, nullptr, &body, &status, &snippet, nullptr, err,
                         nullptr)) {
        return false;
      }
      // The store's own words may span lines; setError keeps the text one line.
      if (!is2xx(status)) {
        setError(err,
                 "LIST -> HTTP " + std::to_string(status) + " " + body.substr(0, kSnippetBytes));
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
    return simpleRequest("DELETE", key, nullptr, nullptr, err, nullptr);
  }

  // CopyObject: a PUT of no body naming its source in x-amz-copy-source. S3
  // may answer 200 and still report a failure in the body, so the body counts.
  bool copy(const std::string& from, const std::string& to, bool* fromMissing,
            std::string* err) override {
    const std::vector<AmzHeader> source{
        {"x-amz-copy-source", "/" + uriEncode(bucket_, true) + "/" + uriEncode(from, false)}};
    std::string body;
    int32_t status = 0;
    std::string snippet;
    if (!signedRequest("PUT", to, "", nullptr, &body, &status, &snippet, nullptr, err, nullptr,
                       source)) {
      return false;
    }
    if (is2xx(status) && body.find("<Error>") == std::string::npos) return true;
    if (fromMissing) *fromMissing = status == 404;
    setError(err, "COPY " + from + " -> " + to + " -> HTTP " + std::to_string(status) + " " +
                      body.substr(0, kSnippetBytes));
    return false;
  }

  std::string chunkKey(const std::string& id) const override { return plainChunkKey(id); }

 private:
  // One request whose only judgement is 2xx or not; other answers become
  // method + " " + key + " -> HTTP " + status + " " + the body's first bytes.
  bool simpleRequest(const char* method, const std::string& key, const std::string* body,
                     std::string* out, std::string* err, ByteCounter* received) {
    int32_t status = 0;
    std::string snippet;
    if (!signedRequest(method, key, "", body, out, &status, &snippet, nullptr, err, received)) {
      return false;
    }
    if (is2xx(status)) return true;
    setError(err, std::string(method) + " " + key + " -> HTTP " + std::to_string(status) + " " +
                      snippet);
    return false;
  }

  // One signed request. True when an HTTP answer arrived, whatever its
  // status; false (err set) when none did. The answer's body goes to outBody
  // when given; otherwise its first bytes become *outSnippet. Extra headers
  // are sent and signed.
  bool signedRequest(const std::string& method, const std::string& key, const std::string& query,
                     const std::string* body, std::string* outBody, int32_t* outStatus,
                     std::string* outSnippet, int64_t* outContentLength, std::string* err,
                     ByteCounter* received, const std::vector<AmzHeader>& extraHeaders = {}) const {
    static const std::string kEmpty;
    const std::string& payload = body ? *body : kEmpty;
    const S3Config config{endpoint_, region_, bucket_, accessKey_, secretKey_};
    const SignedRequest signedReq = signRequestAt(config, method, key, query, sha256Hex(payload),
                                                  std::time(nullptr), extraHeaders);

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

    HttpExchange exchange;
    exchange.method = method.c_str();
    exchange.url = signedReq.url;
    exchange.headers = headers.get();
    exchange.upload = &payload;
    exchange.body = outBody;
    exchange.label = key.empty() ? "LIST " + query : method + " " + key;
    exchange.settings = &transfer_;
    exchange.received = received;
    HttpOutcome outcome;
    if (!performExchange(exchange, &outcome, err)) return false;
    if (outStatus) *outStatus = outcome.status;
    if (outContentLength) *outContentLength = outcome.contentLength;
    if (outSnippet) *outSnippet = std::move(outcome.snippet);
    return true;
  }

  std::string endpoint_;
  std::string region_;
  std::string bucket_;
  std::string accessKey_;
  std::string secretKey_;
  TransferSettings transfer_;
};

}  // namespace

std::unique_ptr<StorageProvider> makeS3Provider(const S3Config& config,
                                                const TransferSettings& transfer) {
  return std::make_unique<S3Provider>(config, transfer);
}

}  // namespace vorn
