#pragma once
// Where a channel's manifest and chunks come from, and who vouches for them:
// the store, or presigned URLs (a manifest URL, or a whole sync descriptor).

#include "storage/transfer_settings.hpp"

#include <map>
#include <string>

namespace vorn {

// Chunk id -> presigned URL. Empty means chunks come from the store.
using ChunkUrlMap = std::map<std::string, std::string>;

struct ChannelSource {
  std::string channel;
  // Resolved verification key text; empty: no signature is required (or read).
  std::string verifyKey;
  // Empty: the manifest is the store's object.
  std::string manifestUrl;
  // Empty: the signature is the store's object, unless the manifest comes
  // from a URL (then there is none).
  std::string manifestSigUrl;
  ChunkUrlMap chunkUrls;
  // How requests to those URLs behave, and how many downloads may be in flight.
  TransferSettings transfer;
};

}  // namespace vorn
