#pragma once
// Publishing a local build as the current content of a channel.

#include "storage/storage_provider.hpp"
#include "storage/transfer_settings.hpp"

#include <cstddef>
#include <cstdint>
#include <string>

namespace vorn {

// Compression levels of chunk objects: the default, and the range a push accepts.
constexpr int kDefaultLevel = 12;
constexpr int kMinLevel = 1;
constexpr int kMaxLevel = 19;

// What a successful push did.
struct PushStats {
  size_t uniqueChunks = 0;    // distinct chunk ids in the manifest
  size_t alreadyPresent = 0;  // of those, objects the store already held
  size_t uploaded = 0;        // of those, objects written by this push
  int64_t bytesIn = 0;        // chunk bytes of the uploaded chunks
  int64_t bytesStored = 0;    // stored object bytes of the uploaded chunks
  std::string build;          // build id of the pushed manifest
  bool unchanged = false;     // the channel already held this build; nothing republished
};

// What to publish where, and how.
struct PushRequest {
  std::string source;   // the build: a directory or one file
  std::string channel;  // where it is published
  std::string signKey;  // Ed25519 secret key text; empty: no signature
  bool force = false;   // replace a channel that holds another build
  // Records executable bits (BuildOptions::keepMode); a stored build then
  // counts as the same only when its executable members match too.
  bool keepMode = false;
  // zstd level of the chunk objects this push uploads (kMinLevel to
  // kMaxLevel, checked by the caller). Readers accept any level, so it
  // changes only those objects and bytesStored; the manifest, the build id
  // and the other counters are the same at every level.
  int level = kDefaultLevel;
  // jobs: requests in flight and compression threads (1: one at a time, in
  // order). With retries, an error answer to the probe of the channel's
  // manifest that persists fails the push instead of reading as "not there".
  TransferSettings transfer;
};

// Builds the manifest of the source, stamps it with the channel and the time,
// uploads the chunks the store lacks (ascending id order), then the manifest,
// then (with a signing key) its signature. A channel holding a different
// build is replaced only with force; one holding the same build is left as it
// is. result is written only on success; on failure err receives one line and
// the previous manifest stays current unless the failure came after the
// manifest was written (signing).
bool pushChannel(StorageProvider& store, const PushRequest& request, PushStats* result,
                 std::string* err);

}  // namespace vorn
