#include "engine/channel_manifest.hpp"

#include "engine/signing.hpp"
#include "storage/http_client.hpp"
#include "util/error_text.hpp"
#include "util/utc_time.hpp"

#include <json/reader.h>

#include <ctime>
#include <memory>

namespace vorn {
namespace {

// The JSON reader throws once nesting exceeds its stack limit (1000 by
// default); refusing deep documents up front keeps parsing exception-free.
constexpr size_t kMaxJsonDepth = 512;

bool nestingWithinLimit(const std::string& text) {
  size_t depth = 0;
  bool inString = false;
  bool escaped = false;
  for (char c : text) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxJsonDepth) return false;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return true;
}

// The reader's report spans several lines; error texts are one line.
std::string oneLine(const std::string& report) {
  std::string out;
  bool pendingSpace = false;
  for (char c : report) {
    if (c == '\n' || c == '\r') {
      pendingSpace = !out.empty();
      continue;
    }
    if (pendingSpace) {
      if (c == ' ' || c == '\t') continue;
      out += ' ';
      pendingSpace = false;
    }
    out += c;
  }
  return out;
}

bool is2xx(int32_t status) { return status / 100 == 2; }

// The reader's messages start "manifest: "; stored manifests name their key instead.
std::string withoutReaderPrefix(const std::string& detail) {
  const std::string prefix = "manifest: ";
  return detail.compare(0, prefix.size(), prefix) == 0 ? detail.substr(prefix.size()) : detail;
}

}  // namespace

bool parseStoredManifest(const std::string& manifestKey, const std::string& text, Json::Value* doc,
                         std::vector<ManifestFile>* files, std::string* err) {
  if (!parseJson(text, doc, err)) return false;
  if (!doc->isObject()) {
    setError(err, "manifest " + manifestKey + ": the document is not a JSON object");
    return false;
  }
  std::string detail;
  if (!readManifestFiles(*doc, files, &detail)) {
    setError(err, "manifest " + manifestKey + ": " + withoutReaderPrefix(detail));
    return false;
  }
  // Ids become store keys (and presigned URLs); only real ids may.
  for (size_t i = 0; i < files->size(); ++i) {
    const std::vector<ManifestChunk>& chunks = (*files)[i].chunks;
    for (size_t k = 0; k < chunks.size(); ++k) {
      if (!isChunkId(chunks[k].id)) {
        setError(err, "manifest " + manifestKey + ": files[" + std::to_string(i) + "].chunks[" +
                          std::to_string(k) + "].h is not a chunk id");
        return false;
      }
    }
  }
  return true;
}

std::string channelManifestKey(const std::string& channel) {
  return "channels/" + channel + "/manifest.json";
}

bool parseJson(const std::string& text, Json::Value* out, std::string* err) {
  if (!nestingWithinLimit(text)) {
    setError(err, "manifest parse error: nesting deeper than " + std::to_string(kMaxJsonDepth) +
                      " levels");
    return false;
  }
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value doc;
  std::string report;
  if (!reader->parse(text.data(), text.data() + text.size(), &doc, &report)) {
    setError(err, "manifest parse error: " + oneLine(report));
    return false;
  }
  if (out) *out = std::move(doc);
  return true;
}

bool readInstantMember(const Json::Value& doc, const char* name, std::optional<int64_t>* out) {
  out->reset();
  const Json::Value* value = doc.find(name, name + std::char_traits<char>::length(name));
  if (!value) return true;
  // A real number (even 5.0) is no instant: the writers only write integers.
  const bool integral = value->type() == Json::intValue || value->type() == Json::uintValue;
  if (!integral || !value->isInt64()) return false;
  *out = value->asInt64();
  return true;
}

bool checkManifestExpiry(const Json::Value& doc, const std::string& channel, int64_t now,
                         std::string* err) {
  std::optional<int64_t> expires;
  if (!readInstantMember(doc, "expires", &expires)) {
    setError(err, "manifest for channel '" + channel +
                      "' has an expires member that is not a 64-bit integer");
    return false;
  }
  if (expires && now >= *expires) {
    setError(err, "manifest for channel '" + channel + "' expired at " + utcText(*expires));
    return false;
  }
  return true;
}

bool fetchChannelManifest(StorageProvider& store, const ChannelSource& source, Json::Value* out,
                          std::string* err, std::string* manifestText) {
  const std::string& channel = source.channel;
  const std::string key = channelManifestKey(channel);
  // Presigned URLs carry their own signature: no token.
  const auto fetchUrl = [&source](const std::string& url, std::string* body, int32_t* status,
                                  std::string* message) {
    HttpRequest request;
    request.url = url;
    return httpGet(source.transfer, request, body, status, message);
  };
  std::string text;
  if (!source.manifestUrl.empty()) {
    int32_t status = 0;
    std::string message;
    if (!fetchUrl(source.manifestUrl, &text, &status, &message)) {
      setError(err, message);
      return false;
    }
    if (!is2xx(status)) {
      setError(err, "manifest URL -> HTTP " + std::to_string(status));
      return false;
    }
  } else {
    std::string message;
    if (!store.get(key, &text, &message)) {
      setError(err, message);
      return false;
    }
  }

  if (!source.verifyKey.empty()) {
    std::string signature;
    bool available = false;
    if (!source.manifestSigUrl.empty()) {
      int32_t status = 0;
      available = fetchUrl(source.manifestSigUrl, &signature, &status, nullptr) && is2xx(status);
    } else if (source.manifestUrl.empty()) {
      // A manifest fetched by URL is never paired with a signature from the store.
      available = store.get(key + ".sig", &signature, nullptr);
    }
    if (!available) {
      setError(err, "channel '" + channel + "' has no signature but verification is required");
      return false;
    }
    // Verified before parsing, so an unverified manifest is never interpreted.
    if (!verifyManifestSignature(source.verifyKey, text, signature, err)) return false;
  }

  Json::Value doc;
  if (!parseJson(text, &doc, err)) return false;
  if (!doc.isObject()) {
    setError(err, "unsupported manifest schema");
    return false;
  }
  const Json::Value& schema = doc["schema"];
  const bool integral = schema.type() == Json::intValue || schema.type() == Json::uintValue;
  if (!integral || schema.asLargestInt() != 1) {
    setError(err, "unsupported manifest schema");
    return false;
  }
  if (doc.isMember("channel")) {
    const Json::Value& found = doc["channel"];
    if (!found.isString()) {
      setError(err, "manifest is not for channel '" + channel +
                        "' (its channel member is not a string)");
      return false;
    }
    if (found.asString() != channel) {
      setError(err, "manifest is for channel '" + found.asString() + "', not '" + channel + "'");
      return false;
    }
  }
  if (!checkManifestExpiry(doc, channel, static_cast<int64_t>(std::time(nullptr)), err)) {
    return false;
  }
  if (out) *out = std::move(doc);
  if (manifestText) *manifestText = std::move(text);
  return true;
}

bool deleteChannel(StorageProvider& store, const std::string& channel, std::string* err) {
  const std::string key = channelManifestKey(channel);
  if (!store.remove(key, err)) return false;
  // An unsigned channel has no signature object; its absence is no failure.
  store.remove(key + ".sig", nullptr);
  return true;
}

}  // namespace vorn
