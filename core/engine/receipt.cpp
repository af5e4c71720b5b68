#include "engine/receipt.hpp"

#include "engine/channel_manifest.hpp"
#include "engine/chunk_codec.hpp"
#include "util/digest.hpp"
#include "util/error_text.hpp"
#include "util/path_text.hpp"
#include "util/utc_time.hpp"

#include <json/writer.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <system_error>

namespace vorn {

const char* const kReceiptFolder = ".vorn";

namespace {

namespace fs = std::filesystem;

// A receipt is a few hundred bytes; anything much larger is not one of ours.
constexpr uintmax_t kMaxReceiptBytes = 65536;

const char kReceiptFile[] = "receipt.json";
const char kTemporaryFile[] = "receipt.json.tmp";

const Json::Value* memberOf(const Json::Value& doc, const char* name) {
  return doc.find(name, name + std::char_traits<char>::length(name));
}

bool readString(const Json::Value& doc, const char* name, bool required, std::string* out,
                std::string* problem) {
  const Json::Value* value = memberOf(doc, name);
  if (!value && !required) return true;
  if (!value || !value->isString()) {
    *problem = std::string("its ") + name + " member is " + (value ? "not a string" : "missing");
    return false;
  }
  *out = value->asString();
  return true;
}

// The members a receipt must have, with their types; *problem says what is wrong.
bool receiptFromJson(const Json::Value& doc, Receipt* out, std::string* problem) {
  if (!doc.isObject()) {
    *problem = "it is not a JSON object";
    return false;
  }
  Receipt read;
  if (!readString(doc, "channel", true, &read.channel, problem) ||
      !readString(doc, "build", true, &read.build, problem) ||
      !readString(doc, "manifest_blake3", true, &read.manifestDigest, problem) ||
      !readString(doc, "public_key", false, &read.publicKey, problem)) {
    return false;
  }
  std::optional<int64_t> created;
  if (!readInstantMember(doc, "created", &created) || !created) {
    *problem = "its created member is missing or not a 64-bit integer";
    return false;
  }
  read.created = *created;
  if (!readInstantMember(doc, "expires", &read.expires)) {
    *problem = "its expires member is not a 64-bit integer";
    return false;
  }
  if (!isChunkId(read.manifestDigest)) {
    *problem = "its manifest_blake3 member is not 64 lowercase hex characters";
    return false;
  }
  const Json::Value* downgrade = memberOf(doc, "downgrade");
  if (downgrade && !downgrade->isBool()) {
    *problem = "its downgrade member is not a boolean";
    return false;
  }
  read.downgrade = downgrade && downgrade->asBool();
  *out = std::move(read);
  return true;
}

// A listed path that would land in the receipt folder: its name itself, or
// anything below it, in any letter case (some file systems ignore it).
bool inReceiptFolder(const std::string& path) {
  const std::string folder = kReceiptFolder;
  if (path.size() < folder.size() || (path.size() > folder.size() && path[folder.size()] != '/')) {
    return false;
  }
  return std::equal(folder.begin(), folder.end(), path.begin(), [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) ==
           std::tolower(static_cast<unsigned char>(b));
  });
}

std::string lowercase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

std::string receiptText(const Receipt& receipt) {
  Json::Value doc(Json::objectValue);
  doc["channel"] = receipt.channel;
  doc["build"] = receipt.build;
  doc["created"] = Json::Int64(receipt.created);
  if (receipt.expires) doc["expires"] = Json::Int64(*receipt.expires);
  doc["manifest_blake3"] = receipt.manifestDigest;
  if (!receipt.publicKey.empty()) doc["public_key"] = receipt.publicKey;
  if (receipt.downgrade) doc["downgrade"] = true;
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "  ";
  // Bytes as they are: escaping would turn a name that is not valid UTF-8
  // into another name.
  builder["emitUTF8"] = true;
  return Json::writeString(builder, doc) + "\n";
}

bool parseReceipt(const std::string& text, Receipt* out, std::string* problem) {
  Json::Value doc;
  if (!parseJson(text, &doc, nullptr)) {
    *problem = "it is not JSON";
    return false;
  }
  return receiptFromJson(doc, out, problem);
}

fs::path receiptPath(const fs::path& destRoot) { return destRoot / kReceiptFolder / kReceiptFile; }

bool receiptsInUse(const fs::path& destRoot, const ReceiptPolicy& policy) {
  if (policy.write) return true;
  std::error_code ec;
  return fs::exists(fs::symlink_status(receiptPath(destRoot), ec));
}

bool readReceipt(const fs::path& destRoot, std::optional<Receipt>* out, std::string* err) {
  out->reset();
  const fs::path path = receiptPath(destRoot);
  const auto unusable = [&](const std::string& problem) {
    setError(err, "unusable receipt " + genericUtf8Path(path) + ": " + problem +
                      " - remove it to start over");
    return false;
  };
  std::error_code ec;
  const fs::file_status status = fs::symlink_status(path, ec);
  if (status.type() == fs::file_type::not_found) return true;
  if (ec) return unusable("cannot read it (" + ec.message() + ")");
  if (!fs::is_regular_file(status)) return unusable("it is a link or not a regular file");
  const uintmax_t size = fs::file_size(path, ec);
  if (ec) return unusable("cannot read it (" + ec.message() + ")");
  if (size > kMaxReceiptBytes) {
    return unusable("it is larger than " + std::to_string(kMaxReceiptBytes) + " bytes");
  }
  std::string text;
  if (!readFileRange(path, 0, size, &text)) return unusable("cannot read it");
  Receipt receipt;
  std::string problem;
  if (!parseReceipt(text, &receipt, &problem)) return unusable(problem);
  *out = std::move(receipt);
  return true;
}

bool admitManifest(const fs::path& destRoot, const ReceiptPolicy& policy,
                   const std::string& channel, const Json::Value& manifest,
                   const std::string& manifestText, const std::string& verifyKey,
                   const std::vector<ManifestFile>& files, const ManifestTree& tree,
                   Receipt* admitted, std::string* err) {
  if (!receiptsInUse(destRoot, policy)) return true;
  const fs::path folder = destRoot / kReceiptFolder;
  std::error_code ec;
  const fs::file_status folderStatus = fs::symlink_status(folder, ec);
  // Through a link the receipt would be read from, and written to, elsewhere.
  if (fs::exists(folderStatus) && !fs::is_directory(folderStatus)) {
    setError(err, "cannot keep a receipt in " + genericUtf8Path(folder) +
                      ": it is a link or not a directory");
    return false;
  }
  std::optional<Receipt> installed;
  if (!readReceipt(destRoot, &installed, err)) return false;

  const std::string named = "manifest for channel '" + channel + "'";
  std::optional<int64_t> created;
  if (!manifest.isObject() || !readInstantMember(manifest, "created", &created) || !created) {
    setError(err, named + " has no created member of 64-bit integer type to order it by");
    return false;
  }
  std::vector<const std::string*> listed;
  for (const ManifestFile& file : files) listed.push_back(&file.path);
  for (const ManifestLink& link : tree.links) listed.push_back(&link.path);
  for (const std::string& dir : tree.directories) listed.push_back(&dir);
  for (const std::string* path : listed) {
    if (inReceiptFolder(*path)) {
      setError(err, named + " lists a path in the receipt folder: '" + *path + "'");
      return false;
    }
  }
  const Json::Value& build = manifest["build"];
  Receipt earned;
  earned.channel = channel;
  earned.build = build.isString() ? build.asString() : std::string();
  earned.created = *created;
  // The fetch has refused any other type already.
  readInstantMember(manifest, "expires", &earned.expires);
  earned.manifestDigest = blake3Hex(manifestText);
  earned.publicKey = lowercase(verifyKey);

  if (installed) {
    const bool older = earned.created < installed->created;
    const bool sameSecond =
        earned.created == installed->created && earned.build != installed->build;
    if (older || sameSecond) {
      if (!policy.allowDowngrade) {
        setError(err, named + " was created " + utcText(earned.created) +
                          (older ? ", before" : ", the same second as, but another build than") +
                          " the installed build of " + utcText(installed->created) +
                          " (use --allow-downgrade to install it anyway)");
        return false;
      }
      earned.downgrade = true;
    }
  }
  if (admitted) *admitted = std::move(earned);
  return true;
}

bool writeReceipt(const fs::path& destRoot, const Receipt& receipt, std::string* err) {
  const fs::path folder = destRoot / kReceiptFolder;
  const fs::path path = folder / kReceiptFile;
  const fs::path temporary = folder / kTemporaryFile;
  const auto fail = [&](const std::string& reason) {
    setError(err, "cannot write receipt " + genericUtf8Path(path) + " (" + reason + ")");
    return false;
  };
  std::error_code ec;
  const fs::file_status folderStatus = fs::symlink_status(folder, ec);
  if (!fs::exists(folderStatus)) {
    fs::create_directory(folder, ec);
    if (ec) return fail(ec.message());
  } else if (!fs::is_directory(folderStatus)) {
    return fail("its folder is a link or not a directory");
  }
  // A leftover may be a link; opening it would write where it points.
  fs::remove(temporary, ec);
  const std::string text = receiptText(receipt);
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.close();
    if (out.fail()) {
      fs::remove(temporary, ec);
      return fail("write failed");
    }
  }
  fs::rename(temporary, path, ec);
  if (ec) {
    const std::string reason = ec.message();
    fs::remove(temporary, ec);
    return fail(reason);
  }
  return true;
}

}  // namespace vorn
