#include "engine/mirror.hpp"

#include "engine/receipt.hpp"
#include "util/error_text.hpp"
#include "util/path_text.hpp"

#include <algorithm>
#include <filesystem>
#include <set>
#include <system_error>

namespace vorn {
namespace {

namespace fs = std::filesystem;

// What must stay: the listed paths, the directories they need, and the files
// that listed paths reach through a directory link inside the destination.
struct Keep {
  std::set<fs::path> files;
  std::set<fs::path> dirs;
};

Keep keepSet(const fs::path& root, const std::vector<std::string>& listed) {
  Keep keep;
  for (const std::string& text : listed) {
    fs::path path = pathFromUtf8(text);
    for (fs::path dir = path.parent_path(); !dir.empty(); dir = dir.parent_path()) {
      if (!keep.dirs.insert(dir).second) break;
    }
    keep.files.insert(std::move(path));
  }
  std::error_code ec;
  const fs::path realRoot = fs::canonical(root, ec);
  if (ec) return keep;
  // Links are rare: one status call per needed directory finds them.
  std::vector<fs::path> reached;
  for (const fs::path& dir : keep.dirs) {
    if (!fs::is_symlink(fs::symlink_status(root / dir, ec))) continue;
    for (auto it = keep.files.upper_bound(dir);
         it != keep.files.end() && *it != dir && isPathWithin(dir, *it); ++it) {
      const fs::path real = fs::weakly_canonical(root / *it, ec);
      if (ec || !isPathWithin(realRoot, real)) continue;
      reached.push_back(real.lexically_relative(realRoot));
    }
  }
  for (fs::path& path : reached) {
    for (fs::path dir = path.parent_path(); !dir.empty(); dir = dir.parent_path()) {
      keep.dirs.insert(dir);
    }
    keep.files.insert(std::move(path));
  }
  return keep;
}

// One directory being swept: its entries in sorted order and whether all of
// them have gone so far.
struct Frame {
  fs::path relative;
  std::vector<fs::directory_entry> entries;
  size_t next = 0;
  bool empty = true;
};

bool listDirectory(const fs::path& root, Frame* frame, std::string* err) {
  std::error_code ec;
  fs::directory_iterator it(root / frame->relative, ec);
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) frame->entries.push_back(*it);
  if (ec) {
    const fs::path named = frame->relative.empty() ? root : frame->relative;
    setError(err, "cannot list " + genericUtf8Path(named) + " (" + ec.message() + ")");
    return false;
  }
  std::sort(frame->entries.begin(), frame->entries.end(),
            [](const fs::directory_entry& a, const fs::directory_entry& b) {
              return a.path().filename() < b.path().filename();
            });
  return true;
}

}  // namespace

bool removeUnlisted(const std::string& destination, const std::vector<std::string>& listed,
                    bool dryRun, const RemovedFn& onRemoved, std::string* err,
                    bool keepReceiptFolder) {
  const fs::path root = pathFromNative(destination);
  std::error_code ec;
  if (!fs::is_directory(root, ec)) return true;
  const Keep keep = keepSet(root, listed);

  auto remove = [&](const fs::path& relative) {
    if (!dryRun) {
      std::error_code removeEc;
      fs::remove(root / relative, removeEc);
      if (removeEc) {
        setError(err,
                 "cannot remove " + genericUtf8Path(relative) + " (" + removeEc.message() + ")");
        return false;
      }
    }
    if (onRemoved) onRemoved(genericUtf8Path(relative));
    return true;
  };

  // Depth first with a stack of its own: a destination may be deeper than
  // the call stack allows.
  std::vector<Frame> stack(1);
  if (!listDirectory(root, &stack.back(), err)) return false;
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (frame.next == frame.entries.size()) {
      const fs::path relative = frame.relative;
      const bool empty = frame.empty;
      stack.pop_back();
      if (stack.empty()) break;  // the destination itself stays
      // A listed path that is a directory is a directory the build lists.
      if (empty && !keep.dirs.count(relative) && !keep.files.count(relative)) {
        if (!remove(relative)) return false;
      } else {
        stack.back().empty = false;
      }
      continue;
    }
    const fs::directory_entry& entry = frame.entries[frame.next++];
    const fs::path relative = frame.relative / entry.path().filename();
    if (keepReceiptFolder && relative == kReceiptFolder) {
      frame.empty = false;
      continue;
    }
    std::error_code typeEc;
    const fs::file_status status = entry.symlink_status(typeEc);
    if (!typeEc && fs::is_directory(status)) {
      Frame child;
      child.relative = relative;
      if (!listDirectory(root, &child, err)) return false;
      stack.push_back(std::move(child));
      continue;
    }
    const bool removable = !typeEc && (fs::is_regular_file(status) || fs::is_symlink(status));
    const bool kept =
        keep.files.count(relative) || (fs::is_symlink(status) && keep.dirs.count(relative));
    if (!removable || kept) {
      frame.empty = false;
      continue;
    }
    if (!remove(relative)) return false;
  }
  return true;
}

}  // namespace vorn
