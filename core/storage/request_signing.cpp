#include "storage/request_signing.hpp"

#include "util/hex.hpp"

#include <algorithm>
#include <ctime>

namespace vorn {
namespace {

const char* const kAlgorithm = "AWS4-HMAC-SHA256";

bool isUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

std::string formatUtc(std::time_t instant, const char* format) {
  std::tm parts{};
  gmtime_r(&instant, &parts);
  char text[32];
  size_t n = std::strftime(text, sizeof text, format, &parts);
  return std::string(text, n);
}

}  // namespace

std::string uriEncode(const std::string& text, bool encodeSlash) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size() * 3);
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (isUnreserved(c) || (c == '/' && !encodeSlash)) {
      out.push_back(ch);
    } else {
      out.push_back('%');
      out.push_back(kDigits[c >> 4]);
      out.push_back(kDigits[c & 0x0f]);
    }
  }
  return out;
}

std::string hostFromEndpoint(const std::string& endpoint) {
  std::string rest = endpoint;
  if (rest.size() >= 3) {
    size_t scheme = rest.find("://");
    if (scheme != std::string::npos) rest = rest.substr(scheme + 3);
  }
  size_t slash = rest.find('/');
  if (slash != std::string::npos) rest.resize(slash);
  return rest;
}

std::pair<std::string, std::string> amzTimestampsAt(std::time_t instant) {
  return {formatUtc(instant, "%Y%m%dT%H%M%SZ"), formatUtc(instant, "%Y%m%d")};
}

std::pair<std::string, std::string> amzTimestamps() { return amzTimestampsAt(std::time(nullptr)); }

std::string signingRegion(const std::string& region) { return region.empty() ? "auto" : region; }

std::string credentialScope(const std::string& dateStamp, const std::string& region) {
  return dateStamp + "/" + region + "/s3/aws4_request";
}

std::string canonicalUri(const std::string& bucket, const std::string& key) {
  std::string uri = "/" + uriEncode(bucket, true);
  if (!key.empty()) uri += "/" + uriEncode(key, false);
  return uri;
}

std::string canonicalRequest(const std::string& method, const std::string& uri,
                             const std::string& query, const std::string& canonicalHeaders,
                             const std::string& signedHeaders, const std::string& payloadHash) {
  return method + "\n" + uri + "\n" + query + "\n" + canonicalHeaders + "\n" + signedHeaders +
         "\n" + payloadHash;
}

std::string stringToSign(const std::string& amzDate, const std::string& scope,
                         const std::string& canonicalRequestText) {
  return std::string(kAlgorithm) + "\n" + amzDate + "\n" + scope + "\n" +
         sha256Hex(canonicalRequestText);
}

Sha256Digest deriveSigningKey(const std::string& secret, const std::string& dateStamp,
                              const std::string& region, const std::string& service) {
  const std::string first = "AWS4" + secret;
  Sha256Digest key = hmacSha256(first.data(), first.size(), dateStamp);
  key = hmacSha256(key, region);
  key = hmacSha256(key, service);
  return hmacSha256(key, "aws4_request");
}

Sha256Digest signingKey(const std::string& secret, const std::string& dateStamp,
                        const std::string& region) {
  return deriveSigningKey(secret, dateStamp, region, "s3");
}

std::string signatureHex(const Sha256Digest& key, const std::string& stringToSignText) {
  const Sha256Digest mac = hmacSha256(key, stringToSignText);
  return toHex(mac.data(), mac.size());
}

std::string authorizationValue(const std::string& accessKey, const std::string& scope,
                               const std::string& signedHeaders, const std::string& signature) {
  return std::string(kAlgorithm) + " Credential=" + accessKey + "/" + scope +
         ", SignedHeaders=" + signedHeaders + ", Signature=" + signature;
}

std::string requestUrl(const std::string& endpoint, const std::string& uri,
                       const std::string& query) {
  std::string url = endpoint;
  if (!url.empty() && url.back() == '/') url.pop_back();
  url += uri;
  if (!query.empty()) url += "?" + query;
  return url;
}

SignedRequest signRequestAt(const S3Config& config, const std::string& method,
                            const std::string& key, const std::string& query,
                            const std::string& payloadHash, std::time_t instant,
                            const std::vector<AmzHeader>& extraHeaders) {
  const std::string host = hostFromEndpoint(config.endpoint);
  const std::string region = signingRegion(config.region);
  const auto stamps = amzTimestampsAt(instant);
  const std::string scope = credentialScope(stamps.second, region);
  const std::string uri = canonicalUri(config.bucket, key);
  std::vector<AmzHeader> signedOnes{
      {"host", host}, {"x-amz-content-sha256", payloadHash}, {"x-amz-date", stamps.first}};
  signedOnes.insert(signedOnes.end(), extraHeaders.begin(), extraHeaders.end());
  std::sort(signedOnes.begin(), signedOnes.end());
  std::string headers;
  std::string signedHeaders;
  for (const AmzHeader& header : signedOnes) {
    headers += header.first + ":" + header.second + "\n";
    signedHeaders += (signedHeaders.empty() ? "" : ";") + header.first;
  }

  SignedRequest r;
  r.payloadHash = payloadHash;
  r.canonicalRequest = canonicalRequest(method, uri, query, headers, signedHeaders, payloadHash);
  r.stringToSign = stringToSign(stamps.first, scope, r.canonicalRequest);
  r.signature = signatureHex(signingKey(config.secretKey, stamps.second, region), r.stringToSign);
  r.authorization = authorizationValue(config.accessKey, scope, signedHeaders, r.signature);
  r.url = requestUrl(config.endpoint, uri, query);
  r.headers = {"Host: " + host, "x-amz-date: " + stamps.first,
               "x-amz-content-sha256: " + payloadHash};
  for (const AmzHeader& header : extraHeaders)
    r.headers.push_back(header.first + ": " + header.second);
  r.headers.push_back("Authorization: " + r.authorization);
  r.headers.push_back("Expect:");
  return r;
}

std::string presignGetAt(const S3Config& config, const std::string& key, int32_t lifetimeSeconds,
                         std::time_t instant) {
  const std::string host = hostFromEndpoint(config.endpoint);
  const std::string region = signingRegion(config.region);
  const auto stamps = amzTimestampsAt(instant);
  const std::string scope = credentialScope(stamps.second, region);
  const std::string uri = "/" + uriEncode(config.bucket, true) + "/" + uriEncode(key, false);

  const std::string query = "X-Amz-Algorithm=" + uriEncode(kAlgorithm, true) +
                            "&X-Amz-Credential=" + uriEncode(config.accessKey + "/" + scope, true) +
                            "&X-Amz-Date=" + uriEncode(stamps.first, true) +
                            "&X-Amz-Expires=" + std::to_string(lifetimeSeconds) +
                            "&X-Amz-SignedHeaders=" + uriEncode("host", true);
  const std::string request =
      canonicalRequest("GET", uri, query, "host:" + host + "\n", "host", "UNSIGNED-PAYLOAD");
  const std::string signature = signatureHex(signingKey(config.secretKey, stamps.second, region),
                                             stringToSign(stamps.first, scope, request));
  return requestUrl(config.endpoint, uri, query) + "&X-Amz-Signature=" + signature;
}

std::string presignGet(const S3Config& config, const std::string& key, int32_t lifetimeSeconds) {
  return presignGetAt(config, key, lifetimeSeconds, std::time(nullptr));
}

}  // namespace vorn
