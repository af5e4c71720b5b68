#pragma once
// Store settings, read from the environment (there is no configuration file).

#include <string>

namespace vorn {

struct S3Config {
  std::string endpoint;   // VORN_S3_ENDPOINT: scheme, host and optional port
  std::string region;     // VORN_S3_REGION: "auto" when empty
  std::string bucket;     // VORN_S3_BUCKET: addressed path-style
  std::string accessKey;  // VORN_S3_KEY
  std::string secretKey;  // VORN_S3_SECRET: only ever used to derive signing keys
};

// Fills *out from the five variables. False when any required one is unset or
// empty; err then names all of them: "missing env vars: VORN_S3_ENDPOINT ...".
bool loadS3ConfigFromEnv(S3Config* out, std::string* err);

}  // namespace vorn
