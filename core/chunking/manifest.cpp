#include "chunking/manifest.hpp"

#include <json/writer.h>

#include <cstring>
#include <limits>

namespace vorn {

const char* const kExecutableMember = "executable";
const char* const kLinksMember = "links";
const char* const kDirectoriesMember = "directories";

namespace {

bool fail(std::string* err, const std::string& message) {
  if (err) *err = "manifest: " + message;
  return false;
}

// Only integer JSON numbers count: JsonCpp would also let 5.0 through.
bool isUnsignedInteger(const Json::Value& value) {
  return (value.type() == Json::uintValue || value.type() == Json::intValue) && value.isUInt64();
}

std::string entryName(Json::ArrayIndex index) { return "files[" + std::to_string(index) + "]"; }

// The member name when it is there: null when absent, else it must be an array.
bool findArray(const Json::Value& doc, const char* name, const Json::Value** list,
               std::string* err) {
  *list = doc.find(name, name + std::strlen(name));
  if (*list && !(*list)->isArray()) return fail(err, std::string(name) + " is not an array");
  return true;
}

// An entry of "links" or "directories": an object with a string "path".
bool readEntryPath(const Json::Value& entry, const std::string& label, std::string* path,
                   std::string* err) {
  if (!entry.isObject()) return fail(err, label + " is not an object");
  const Json::Value& value = entry["path"];
  if (!value.isString()) return fail(err, label + ".path is not a string");
  *path = value.asString();
  return true;
}

}  // namespace

bool readManifestFiles(const Json::Value& doc, std::vector<ManifestFile>* out, std::string* err) {
  if (!doc.isObject()) return fail(err, "the document is not a JSON object");
  std::vector<ManifestFile> files;
  const char filesName[] = "files";
  const Json::Value* list = doc.find(filesName, filesName + sizeof filesName - 1);
  if (list) {
    if (!list->isArray()) return fail(err, "files is not an array");
    files.reserve(list->size());
    for (Json::ArrayIndex i = 0; i < list->size(); ++i) {
      const Json::Value& entry = (*list)[i];
      const std::string name = entryName(i);
      if (!entry.isObject()) return fail(err, name + " is not an object");
      const Json::Value& path = entry["path"];
      if (!path.isString()) return fail(err, name + ".path is not a string");
      const Json::Value& size = entry["size"];
      if (!isUnsignedInteger(size)) return fail(err, name + ".size is not an unsigned integer");
      const Json::Value& chunks = entry["chunks"];
      if (!chunks.isArray()) return fail(err, name + ".chunks is not an array");

      ManifestFile file;
      const Json::Value* executable =
          entry.find(kExecutableMember, kExecutableMember + std::strlen(kExecutableMember));
      if (executable) {
        if (!executable->isBool()) return fail(err, name + ".executable is not a boolean");
        file.executable = executable->asBool();
      }
      file.path = path.asString();
      file.size = size.asUInt64();
      file.chunks.reserve(chunks.size());
      uint64_t sum = 0;
      for (Json::ArrayIndex k = 0; k < chunks.size(); ++k) {
        const Json::Value& ref = chunks[k];
        // Named only on failure: this loop runs once per chunk entry.
        auto refName = [&] { return name + ".chunks[" + std::to_string(k) + "]"; };
        if (!ref.isObject()) return fail(err, refName() + " is not an object");
        const Json::Value& id = ref["h"];
        if (!id.isString()) return fail(err, refName() + ".h is not a string");
        const Json::Value& n = ref["n"];
        if (!isUnsignedInteger(n)) return fail(err, refName() + ".n is not an unsigned integer");
        const uint64_t chunkSize = n.asUInt64();
        if (chunkSize > std::numeric_limits<uint64_t>::max() - sum) {
          return fail(err, name + ".chunks add up to more than 2^64 bytes");
        }
        sum += chunkSize;
        file.chunks.push_back(ManifestChunk{id.asString(), chunkSize});
      }
      if (sum != file.size) {
        return fail(err, name + ".chunks add up to " + std::to_string(sum) +
                             " bytes, not its size " + std::to_string(file.size));
      }
      files.push_back(std::move(file));
    }
  }
  *out = std::move(files);
  return true;
}

bool readManifestTree(const Json::Value& doc, ManifestTree* out, std::string* err) {
  if (!doc.isObject()) return fail(err, "the document is not a JSON object");
  ManifestTree tree;
  const Json::Value* links = nullptr;
  const Json::Value* directories = nullptr;
  if (!findArray(doc, kLinksMember, &links, err) ||
      !findArray(doc, kDirectoriesMember, &directories, err)) {
    return false;
  }
  for (Json::ArrayIndex i = 0; links && i < links->size(); ++i) {
    const Json::Value& entry = (*links)[i];
    const std::string label = "links[" + std::to_string(i) + "]";
    ManifestLink link;
    if (!readEntryPath(entry, label, &link.path, err)) return false;
    const Json::Value& target = entry["target"];
    if (!target.isString()) return fail(err, label + ".target is not a string");
    link.target = target.asString();
    // The target becomes a symlink(2) argument: a C string of bounded length.
    if (link.target.empty() || link.target.size() > kMaxLinkTarget ||
        link.target.find('\0') != std::string::npos) {
      return fail(err, label + ".target is empty, holds a NUL or is longer than " +
                           std::to_string(kMaxLinkTarget) + " bytes");
    }
    tree.links.push_back(std::move(link));
  }
  for (Json::ArrayIndex i = 0; directories && i < directories->size(); ++i) {
    std::string path;
    const std::string label = "directories[" + std::to_string(i) + "]";
    if (!readEntryPath((*directories)[i], label, &path, err)) return false;
    tree.directories.push_back(std::move(path));
  }
  *out = std::move(tree);
  return true;
}

bool carriesExecutable(const std::vector<ManifestFile>& files) {
  for (const ManifestFile& file : files) {
    if (file.executable) return true;
  }
  return false;
}

bool isSafeRelativePath(const std::string& path) {
  if (path.empty() || path.front() == '/') return false;
  // "C:x" names another drive where drive letters exist.
  const char first = static_cast<char>(path[0] | 0x20);
  if (path.size() >= 2 && path[1] == ':' && first >= 'a' && first <= 'z') return false;
  size_t start = 0;
  for (;;) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const size_t length = end - start;
    if (length == 0) return false;
    if (length == 1 && path[start] == '.') return false;
    if (length == 2 && path[start] == '.' && path[start + 1] == '.') return false;
    if (end == path.size()) break;
    start = end + 1;
  }
  for (char c : path) {
    if (c == '\\' || c == '\0') return false;
  }
  return true;
}

bool isChunkId(const std::string& id) {
  if (id.size() != 64) return false;
  for (char c : id) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

std::string writeJsonText(const Json::Value& doc) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "  ";
  return Json::writeString(builder, doc);
}

}  // namespace vorn
