#include "engine/set_aside.hpp"

#include "util/error_text.hpp"

namespace vorn {

const char* const kSetAsidePrefix = "gc/aside/";

std::string setAsideKey(const std::string& chunkObjectKey) {
  return kSetAsidePrefix + chunkObjectKey;
}

bool moveObject(StorageProvider& store, const std::string& from, const std::string& to,
                bool* vanished, std::string* err) {
  std::string copyError;
  *vanished = false;
  if (store.copy(from, to, vanished, &copyError)) return store.remove(from, err);
  if (!*vanished) setError(err, copyError);
  return *vanished;
}

}  // namespace vorn
