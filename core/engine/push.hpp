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
  bool renewed = false;       // it held this build and got it again with new times and expiry
  int64_t expires = 0;        // the pushed manifest's "expires"; 0: it has none
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
  // Records links and empty directories too (BuildOptions::keepTree, which
  // implies keepMode); a stored build then counts as the same only when its
  // links and directories match as well.
  bool keepTree = false;
  // Seconds the manifest stays valid: above 0, "expires" = "created" + this is
  // stamped into it (and so signed), and a channel that holds the same build
  // gets it republished with the new times (renewed) instead of unchanged.
  int expiresIn = 0;
  // zstd level of the chunk objects this push uploads (kMinLevel to
  // kMaxLevel, checked by the caller). Readers accept any level, so it
  // changes only those objects and bytesStored; the manifest, the build id
  // and the other counters are the same at every level.
  int level = kDefaultLevel;
  // jobs: requests in flight and compression threads (1: one at a time, in
  // order). With retries, an error answer to the probe of the channel's
  // manifest that persists fails the push instead of reading as "not there".
  TransferSettings transfer;
  // The store is collected in two phases: a chunk the probe finds missing is
  // first sought at its set-aside key and moved back from there (one more
  // request per new chunk); only when it is not there either is it uploaded.
  bool putBackSetAside = false;
};

// Builds the manifest of the source, stamps it with the channel and the time,
// uploads the chunks the store lacks (ascending id order), then the manifest,
// then (with a signing key) its signature. A channel holding a different
// build is replaced only with force; one holding the same build is left as it
// is, unless expiresIn renews it (its chunks are checked as for any push).
// result is written only on success; on failure err receives one line and
// the previous manifest stays current unless the failure came after the
// manifest was written (signing).
bool pushChannel(StorageProvider& store, const PushRequest& request, PushStats* result,
                 std::string* err);

}  // namespace vorn
