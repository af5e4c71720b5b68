#pragma once
// Install receipts: what a destination last installed, kept inside it in
// ".vorn/receipt.json", so that a later sync or repair can refuse a manifest
// published before it (a replayed, correctly signed old manifest).

#include "chunking/manifest.hpp"

#include <json/value.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vorn {

// The folder of the destination that holds the receipt; no build may list a
// path in it while receipts are in use.
extern const char* const kReceiptFolder;  // ".vorn"

// What a receipt records about the manifest an install followed.
struct Receipt {
  std::string channel;
  std::string build;
  int64_t created = 0;             // the manifest's "created"
  std::optional<int64_t> expires;  // its "expires", when it has one
  std::string manifestDigest;      // BLAKE3 hex of the exact manifest text
  std::string publicKey;           // the key that verified it (lowercase hex); empty: none
  bool downgrade = false;          // installed over a later build with --allow-downgrade
};

// How an operation treats receipts.
struct ReceiptPolicy {
  bool write = false;           // the caller writes a receipt after the install
  bool allowDowngrade = false;  // install a manifest older than the receipt's
};

// <destination>/.vorn/receipt.json
std::filesystem::path receiptPath(const std::filesystem::path& destRoot);

// Receipts are in use for this destination when one is there (whatever it
// holds) or one is going to be written. Only then is anything checked.
bool receiptsInUse(const std::filesystem::path& destRoot, const ReceiptPolicy& policy);

// The receipt's text: a JSON object with "channel", "build", "created",
// "manifest_blake3" and, when set, "expires", "public_key" and "downgrade".
std::string receiptText(const Receipt& receipt);

// Reads receipt text back. A document that is not JSON, not an object, lacks
// a member or has one of the wrong type fails with *problem saying which.
bool parseReceipt(const std::string& text, Receipt* out, std::string* problem);

// Reads the destination's receipt: true with *out empty when there is none.
// One that cannot be read, is larger than 64 KiB, is not JSON or has members
// of the wrong type fails with "unusable receipt " + path + ": " + the problem
// + " - remove it to start over".
bool readReceipt(const std::filesystem::path& destRoot, std::optional<Receipt>* out,
                 std::string* err);

// The checks an install (or a verification) of a fetched manifest passes
// before anything is written, when receipts are in use; otherwise it passes at
// once and *admitted is left alone. The manifest needs an integer "created";
// no listed path may lie in the receipt folder (which must be a directory, not
// a link, when it exists); and unless allowDowngrade, a manifest created
// before the receipt's, or in the same second with another build, is refused
// with one line naming both times in UTC. *admitted receives the receipt that
// installing this manifest earns.
bool admitManifest(const std::filesystem::path& destRoot, const ReceiptPolicy& policy,
                   const std::string& channel, const Json::Value& manifest,
                   const std::string& manifestText, const std::string& verifyKey,
                   const std::vector<ManifestFile>& files, const ManifestTree& tree,
                   Receipt* admitted, std::string* err);

// Writes the receipt atomically: a temporary file in the receipt folder
// (created when missing, never through a link), then a rename over the old.
// Error: "cannot write receipt " + path + " (" + reason + ")".
bool writeReceipt(const std::filesystem::path& destRoot, const Receipt& receipt, std::string* err);

}  // namespace vorn
