#pragma once
// AWS Signature Version 4: the header-signed form used for every store
// request, and presigned GET URLs. The steps are pure functions of their
// inputs and an instant; only the public entry points read the clock.

#include "storage/s3_config.hpp"
#include "util/digest.hpp"

#include <cstdint>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

namespace vorn {

// Percent-encodes every byte except A-Z a-z 0-9 - . _ ~ (and "/" unless encodeSlash).
std::string uriEncode(const std::string& text, bool encodeSlash);

// Host (and port) of an endpoint URL: scheme dropped, cut at the first "/".
std::string hostFromEndpoint(const std::string& endpoint);

// ("%Y%m%dT%H%M%SZ", "%Y%m%d") of the instant, in UTC.
std::pair<std::string, std::string> amzTimestampsAt(std::time_t instant);
// The same for the current time.
std::pair<std::string, std::string> amzTimestamps();

// --- The signing steps, each a pure function. ---

// The region requests are signed for: region, or "auto" when it is empty.
std::string signingRegion(const std::string& region);

// dateStamp + "/" + region + "/s3/aws4_request".
std::string credentialScope(const std::string& dateStamp, const std::string& region);

// Path-style canonical URI: "/" + bucket (slash encoded), then "/" + key
// (slash kept) unless the key is empty.
std::string canonicalUri(const std::string& bucket, const std::string& key);

// method LF uri LF query LF headers LF signedHeaders LF payloadHash, where
// canonicalHeaders already ends with LF (so an empty line follows it).
std::string canonicalRequest(const std::string& method, const std::string& uri,
                             const std::string& query, const std::string& canonicalHeaders,
                             const std::string& signedHeaders, const std::string& payloadHash);

// "AWS4-HMAC-SHA256" LF amzDate LF scope LF hex SHA-256 of the canonical request.
std::string stringToSign(const std::string& amzDate, const std::string& scope,
                         const std::string& canonicalRequestText);

// The key chain HMAC("AWS4" + secret, date) -> region -> service -> "aws4_request".
Sha256Digest deriveSigningKey(const std::string& secret, const std::string& dateStamp,
                              const std::string& region, const std::string& service);
// The same for the service "s3", as every store request uses.
Sha256Digest signingKey(const std::string& secret, const std::string& dateStamp,
                        const std::string& region);

// Lowercase hex of HMAC(signing key, string to sign): 64 characters.
std::string signatureHex(const Sha256Digest& key, const std::string& stringToSignText);

// "AWS4-HMAC-SHA256 Credential=KEY/SCOPE, SignedHeaders=..., Signature=...".
std::string authorizationValue(const std::string& accessKey, const std::string& scope,
                               const std::string& signedHeaders, const std::string& signature);

// endpoint without one trailing "/", + uri, + "?" + query when query is not empty.
std::string requestUrl(const std::string& endpoint, const std::string& uri,
                       const std::string& query);

// Everything a header-signed request sends, plus the intermediate texts.
struct SignedRequest {
  std::string url;
  // Host, x-amz-date, x-amz-content-sha256, any extra ones, Authorization, Expect:
  std::vector<std::string> headers;
  std::string payloadHash;
  std::string canonicalRequest;
  std::string stringToSign;
  std::string signature;
  std::string authorization;
};

// One more header a request sends, its name in lower case ("x-amz-copy-source").
using AmzHeader = std::pair<std::string, std::string>;

// Signs method on key (empty key: the bucket itself) with the canonical query
// text exactly as given (already encoded and ordered) and the body's payload
// hash, at the instant. Extra headers are signed too (S3 refuses an x-amz-
// header it was not asked to check) and sent after x-amz-content-sha256;
// without them the request is the plain three-header form. Cannot fail.
SignedRequest signRequestAt(const S3Config& config, const std::string& method,
                            const std::string& key, const std::string& query,
                            const std::string& payloadHash, std::time_t instant,
                            const std::vector<AmzHeader>& extraHeaders = {});

// A presigned GET URL for key, valid for lifetimeSeconds from the instant.
std::string presignGetAt(const S3Config& config, const std::string& key, int32_t lifetimeSeconds,
                         std::time_t instant);
// The same for the current time. Cannot fail; needs no network.
std::string presignGet(const S3Config& config, const std::string& key, int32_t lifetimeSeconds);

}  // namespace vorn
