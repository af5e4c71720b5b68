#pragma once
// AWS Signature Version 4: the header-signed form used for every store
// request, and presigned GET URLs. The steps are pure functions of their
// inputs and an instant; only the public entry points read the clock.

#include "storage/s3_config.hpp"

#include <cstdint>
#include <ctime>
#include <string>
#include <utility>

namespace vorn {

// Percent-encodes every byte except A-Z a-z 0-9 - . _ ~ (and "/" unless encodeSlash).
std::string uriEncode(const std::string& text, bool encodeSlash);

// Host (and port) of an endpoint URL: scheme dropped, cut at the first "/".
std::string hostFromEndpoint(const std::string& endpoint);

// ("%Y%m%dT%H%M%SZ", "%Y%m%d") of the instant, in UTC.
std::pair<std::string, std::string> amzTimestampsAt(std::time_t instant);
// The same for the current time.
std::pair<std::string, std::string> amzTimestamps();

// A presigned GET URL for key, valid for lifetimeSeconds from the instant.
std::string presignGetAt(const S3Config& config, const std::string& key, int32_t lifetimeSeconds,
                         std::time_t instant);
// The same for the current time. Cannot fail; needs no network.
std::string presignGet(const S3Config& config, const std::string& key, int32_t lifetimeSeconds);

}  // namespace vorn
