#pragma once
// An in-memory StorageProvider for in-process tests: objects in an ordered
// map, every call recorded, a hook that makes chosen calls fail, a test clock.

#include "storage/storage_provider.hpp"

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace vorn_test {

class MemoryStore : public vorn::StorageProvider {
 public:
  // True makes the call (op "put", "get", "head", "list", "remove" or "copy",
  // whose key is the target) fail as if the store could not be reached.
  std::function<bool(const std::string& op, const std::string& key)> failWhen;
  std::map<std::string, std::string> objects;
  std::map<std::string, int64_t> written;  // key -> clock at its last write
  int64_t clock = 1700000000;
  std::vector<std::string> calls;  // "op key", in order

  bool put(const std::string& key, const std::string& data, std::string* err) override {
    return !fails("put", key, err) && (objects[key] = data, written[key] = clock, true);
  }
  bool copy(const std::string& from, const std::string& to, bool* fromMissing,
            std::string* err) override {
    if (fails("copy", to, err)) return false;
    const bool found = objects.count(from) != 0;
    if (fromMissing) *fromMissing = !found;
    if (!found && err) *err = "COPY " + from + " -> " + to + " -> HTTP 404 ";
    return found && (objects[to] = objects[from], written[to] = clock, true);
  }
  using vorn::StorageProvider::get;
  bool get(const std::string& key, std::string* out, std::string* err,
           vorn::ByteCounter*) override {
    if (fails("get", key, err)) return false;
    const auto it = objects.find(key);
    if (it == objects.end()) {
      if (err) *err = "GET " + key + " -> HTTP 404 ";
      return false;
    }
    out->append(it->second);
    return true;
  }
  vorn::HeadResult head(const std::string& key, std::string* err) override {
    vorn::HeadResult r;
    if (fails("head", key, err)) return r;
    const auto it = objects.find(key);
    r.exists = it != objects.end();
    r.status = r.exists ? 200 : 404;
    r.size = r.exists ? static_cast<int64_t>(it->second.size()) : 0;
    return r;
  }
  bool list(const std::string& prefix, std::vector<vorn::ObjectEntry>* out,
            std::string* err) override {
    if (fails("list", prefix, err)) return false;
    for (auto it = objects.lower_bound(prefix);
         it != objects.end() && it->first.compare(0, prefix.size(), prefix) == 0; ++it)
      out->push_back({it->first, static_cast<int64_t>(it->second.size()),
                      written.count(it->first) ? written[it->first] : -1});
    return true;
  }
  bool remove(const std::string& key, std::string* err) override {
    return !fails("remove", key, err) && (objects.erase(key), true);
  }
  std::string chunkKey(const std::string& id) const override { return vorn::plainChunkKey(id); }

 private:
  bool fails(const std::string& op, const std::string& key, std::string* err) {
    calls.push_back(op + " " + key);
    if (!failWhen || !failWhen(op, key)) return false;
    if (err) *err = "curl: Couldn't connect to server";
    return true;
  }
};

}  // namespace vorn_test
