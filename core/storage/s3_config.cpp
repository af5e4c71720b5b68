#include "storage/s3_config.hpp"

#include <cstdlib>

namespace vorn {
namespace {

std::string envOrEmpty(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
}

}  // namespace

bool loadS3ConfigFromEnv(S3Config* out, std::string* err) {
  out->endpoint = envOrEmpty("VORN_S3_ENDPOINT");
  out->region = envOrEmpty("VORN_S3_REGION");
  out->bucket = envOrEmpty("VORN_S3_BUCKET");
  out->accessKey = envOrEmpty("VORN_S3_KEY");
  out->secretKey = envOrEmpty("VORN_S3_SECRET");

  std::string missing;
  if (out->endpoint.empty()) missing += " VORN_S3_ENDPOINT";
  if (out->bucket.empty()) missing += " VORN_S3_BUCKET";
  if (out->accessKey.empty()) missing += " VORN_S3_KEY";
  if (out->secretKey.empty()) missing += " VORN_S3_SECRET";
  if (!missing.empty()) {
    if (err) *err = "missing env vars:" + missing;
    return false;
  }
  if (out->region.empty()) out->region = "auto";
  return true;
}

}  // namespace vorn
