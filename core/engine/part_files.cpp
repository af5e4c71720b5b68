#include "engine/part_files.hpp"

#include "util/path_text.hpp"

#include <map>
#include <set>
#include <string>
#include <system_error>

namespace vorn {

namespace fs = std::filesystem;

namespace {

const char kPartSuffix[] = ".part";
const char kSetAsideSuffix[] = ".part.old";

bool endsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

fs::path partFileOf(const fs::path& target) {
  fs::path part = target;
  part += kPartSuffix;
  return part;
}

bool isPartFileName(const fs::path& path) {
  const std::string name = path.filename().string();
  return endsWith(name, kPartSuffix) || endsWith(name, kSetAsideSuffix);
}

SetAsideParts::SetAsideParts(const fs::path& destRoot, const std::vector<ManifestFile>& files)
    : files_(files), aside_(files.size()) {
  std::error_code rootEc;
  const fs::path realRoot = fs::canonical(destRoot, rootEc);
  if (rootEc) return;
  // Built only once a part file turns up: most syncs find none.
  std::set<std::string> listed;
  for (size_t i = 0; i < files.size(); ++i) {
    const fs::path target = destRoot / pathFromUtf8(files[i].path);
    const fs::path part = partFileOf(target);
    fs::path old = target;
    old += kSetAsideSuffix;
    std::error_code partEc, oldEc;
    const fs::file_status partStatus = fs::symlink_status(part, partEc);
    const fs::file_status oldStatus = fs::symlink_status(old, oldEc);
    const bool partIsFile = !partEc && fs::is_regular_file(partStatus);
    const bool oldExists = !oldEc && fs::exists(oldStatus);
    const bool oldIsFile = oldExists && fs::is_regular_file(oldStatus);
    if (!(partIsFile || oldIsFile) || (oldExists && !oldIsFile)) continue;
    if (listed.empty()) {
      for (const ManifestFile& file : files) listed.insert(file.path);
    }
    if (listed.count(files[i].path + kPartSuffix) ||
        listed.count(files[i].path + kSetAsideSuffix)) {
      continue;
    }
    std::error_code ec;
    const fs::path realDir = fs::weakly_canonical(target.parent_path(), ec);
    if (ec || !isPathWithin(realRoot, realDir)) continue;
    bool haveOld = oldIsFile;
    if (partIsFile) {
      // Both are beginnings of the file, so the longer one holds more of it;
      // a part file that stays is still indexed until the sync truncates it.
      const uintmax_t partSize = fs::file_size(part, ec);
      const uintmax_t oldSize = haveOld && !ec ? fs::file_size(old, ec) : 0;
      if (!ec && (!haveOld || partSize > oldSize)) {
        fs::rename(part, old, ec);
        if (!ec) haveOld = true;
      }
    }
    if (haveOld) aside_[i] = old;
  }
}

void SetAsideParts::plan(const LocalIndex& index) {
  dropAfter_.assign(files_.size(), {});
  std::map<fs::path, size_t> owners;
  for (size_t i = 0; i < aside_.size(); ++i) {
    if (!aside_[i].empty()) owners.emplace(aside_[i], i);
  }
  if (owners.empty()) return;
  // A chunk of a set-aside file may be read by any later file that lists it,
  // not only by the file it was the beginning of.
  std::map<std::string, size_t> ownerOf;
  for (const auto& [id, ref] : index) {
    auto owner = owners.find(ref.file);
    if (owner != owners.end()) ownerOf.emplace(id, owner->second);
  }
  std::vector<size_t> lastUse(aside_.size());
  for (size_t i = 0; i < lastUse.size(); ++i) lastUse[i] = i;
  for (size_t j = 0; j < files_.size(); ++j) {
    for (const ManifestChunk& chunk : files_[j].chunks) {
      auto owner = ownerOf.find(chunk.id);
      if (owner != ownerOf.end() && lastUse[owner->second] < j) lastUse[owner->second] = j;
    }
  }
  for (const auto& [path, owner] : owners) dropAfter_[lastUse[owner]].push_back(owner);
}

void SetAsideParts::installed(size_t i) {
  if (i >= dropAfter_.size()) return;
  for (size_t owner : dropAfter_[i]) {
    std::error_code ignored;
    fs::remove(aside_[owner], ignored);
  }
}

}  // namespace vorn
