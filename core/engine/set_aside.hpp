#pragma once
// Where a two-phase collection keeps the chunk objects it has set aside, and
// how an object moves there and back. Set-aside objects keep their bytes (and,
// on the encrypted store, their seal); only the key changes.

#include "storage/storage_provider.hpp"

#include <string>

namespace vorn {

// Everything a two-phase collection writes lives under "gc/", never under
// "channels/" or "chunks/".
extern const char* const kSetAsidePrefix;  // "gc/aside/"

// "gc/aside/" + the chunk's object key.
std::string setAsideKey(const std::string& chunkObjectKey);

// Copies from to to on the store, then removes from. When nothing is at from
// (moved already, or removed), *vanished is set and nothing changes. Any
// step may be repeated after an interruption: the bytes are the same.
bool moveObject(StorageProvider& store, const std::string& from, const std::string& to,
                bool* vanished, std::string* err);

}  // namespace vorn
