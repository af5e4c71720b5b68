#pragma once
// The object store as the rest of the program sees it: a flat namespace of
// string keys, each naming one byte object.
//
// Contract shared by every operation: failure is reported by the result and,
// when err is not null, by one line of text (no trailing newline). Nothing
// throws for a store or network failure. An operation is tried again only as
// the transfer settings the provider was made with allow.

#include "storage/transfer_settings.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vorn {

struct S3Config;

struct HeadResult {
  bool exists = false;  // the store answered 2xx
  int64_t size = -1;    // Content-Length of the answer; -1 when unknown or no answer
  int32_t status = 0;   // HTTP status; 0 when no answer was received
};

struct ObjectEntry {
  std::string key;        // full key as the store returned it
  int64_t size = 0;       // stored length; 0 when the store gave none
  int64_t modified = -1;  // last written, in seconds since 1970 by the store's
                          // own clock; -1 when the listing gave no readable time
};

class StorageProvider {
 public:
  virtual ~StorageProvider() = default;

  // Stores data under key, replacing any object there. True only on 2xx.
  virtual bool put(const std::string& key, const std::string& data, std::string* err) = 0;

  // Appends the object's bytes to *out. True only on 2xx (and, for the
  // encrypted store, when the envelope opened). A missing object is a failure.
  bool get(const std::string& key, std::string* out, std::string* err) {
    return get(key, out, err, nullptr);
  }
  // The same, and *received (when not null) grows by the stored bytes as they
  // arrive, for progress during a large download.
  virtual bool get(const std::string& key, std::string* out, std::string* err,
                   ByteCounter* received) = 0;

  // Probes key. A missing object is not a failure: exists is false and status
  // holds the store's answer (typically 404); err is untouched. err is set
  // only when no answer was received, and then status is 0.
  virtual HeadResult head(const std::string& key, std::string* err) = 0;

  // Appends every object whose key begins with prefix, across all pages, in
  // the store's order. *out is not cleared first. Empty prefix: whole bucket.
  virtual bool list(const std::string& prefix, std::vector<ObjectEntry>* out, std::string* err) = 0;

  // Deletes key. True on 2xx, which S3 stores also answer for a missing key.
  virtual bool remove(const std::string& key, std::string* err) = 0;

  // Copies the object at from to to inside the store (nothing passes through
  // this program), replacing any object at to; the copy is a new object with
  // the store's current time. True on success. A missing source is a failure
  // that sets *fromMissing (when not null) to true; err gets one line as for
  // any other failure.
  virtual bool copy(const std::string& from, const std::string& to, bool* fromMissing,
                    std::string* err) = 0;

  // Object key of the chunk with this id. Pure; no I/O; cannot fail.
  virtual std::string chunkKey(const std::string& id) const = 0;
};

// "chunks/" + first two characters of id + "/" + id: the plain store's naming.
std::string plainChunkKey(const std::string& id);

// True when err is what get reports for a key the store does not hold:
// "GET " + key + " -> HTTP 404 ", whichever provider said it.
bool isMissingObjectError(const std::string& key, const std::string& err);

// The plain S3 provider, holding copies of the five settings and of how its
// requests behave.
std::unique_ptr<StorageProvider> makeS3Provider(const S3Config& config,
                                                const TransferSettings& transfer = {});

// Seals everything written to inner and opens everything read; names chunks by
// a keyed digest of their id. Takes ownership of inner; copies the 32-byte key.
std::unique_ptr<StorageProvider> makeEncryptedProvider(std::unique_ptr<StorageProvider> inner,
                                                       const std::string& storeKey);

}  // namespace vorn
