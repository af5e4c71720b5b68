#pragma once
// Verify: check an installation against a channel's manifest without
// changing anything.

#include "engine/sync.hpp"
#include "storage/storage_provider.hpp"

#include <json/value.h>

#include <cstdint>
#include <functional>
#include <string>

namespace vorn {

// Reasons handed to the bad-file callback.
extern const char* const kReasonMissing;        // "missing"
extern const char* const kReasonSizeMismatch;   // "size mismatch"
extern const char* const kReasonTruncated;      // "truncated or unreadable"
extern const char* const kReasonChunkMismatch;  // "chunk hash mismatch"
extern const char* const kReasonMode;           // "mode": the owner-executable bit differs
extern const char* const kReasonLink;           // "link": a listed link is absent or differs

// (manifest path of the file, reason); called once per bad file.
using BadFileFn = std::function<void(const std::string& path, const std::string& reason)>;

// Outcome of one verification; files == ok + missing + corrupt. Each listed
// link and directory counts as one more file.
struct VerifyStats {
  size_t files = 0;
  size_t ok = 0;
  size_t missing = 0;        // absent or its status unreadable; a listed directory not one
  size_t corrupt = 0;        // wrong size, unreadable range, a chunk, the mode, a link that differs
  size_t chunksChecked = 0;  // chunks read and matched (full check only)
  int64_t bytesChecked = 0;  // their total size
};

// How a verification runs and whom it tells.
struct VerifyOptions {
  BadFileFn onBadFile;  // may be empty
  ProgressFn progress;  // may be empty
  bool quick = false;   // existence and sizes only
  // As for sync: with a receipt in the destination (or one to be written
  // after a repair) the manifest must pass admitManifest; *admitted (may be
  // null) receives the receipt it earns.
  ReceiptPolicy receipts;
  Receipt* admitted = nullptr;
};

// Fetches the manifest (as fetchChannelManifest), runs the receipt checks and
// then verifyFiles. False only when the manifest cannot be fetched or read, or
// is refused; bad files are results.
bool verifyChannel(StorageProvider& store, const ChannelSource& source,
                   const std::string& destination, const VerifyOptions& options, VerifyStats* stats,
                   std::string* err);

// Checks every listed file under destination for existence and size and, unless
// quick, reads it chunk by chunk against its ids, stopping at its first bad
// chunk. When the manifest carries the "executable" member anywhere, the
// owner-executable bit of each file must match it too (in a quick check as
// well, after the size and chunks). Then, in both checks, each listed
// directory must be a directory ("missing" otherwise) and each listed link a
// link with the listed target text ("link" otherwise); neither is followed.
// Progress gets (entries done, entries in total, bytes checked). Returns
// false (and writes nothing to stats) only for a manifest that
// readInstallFiles refuses.
bool verifyFiles(const std::string& destination, const Json::Value& manifest,
                 const VerifyOptions& options, VerifyStats* stats, std::string* err = nullptr);

}  // namespace vorn
