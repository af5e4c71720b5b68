#include "engine/set_aside.hpp"

#include "util/error_text.hpp"

namespace vorn {

const char* const kSetAsidePrefix = "gc/aside/";

std::string setAsideKey(const std::string& chunkObjectKey) {
  return kSetAsidePrefix + chunkObjectKey;
}

bool moveObject(StorageProvider& store, const std::string& from, const std::string& to,
                bool* vanished, std::string* err) {
  bool missing = false;
  std::string copyError;
  *vanished = false;
  if (!store.copy(from, to, &missing, &copyError)) {
    if (!missing) {
      setError(err, copyError);
      return false;
    }
    *vanished = true;
    return true;
  }
  return store.remove(from, err);
}

}  // namespace vorn
