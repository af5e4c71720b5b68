#include "engine/tree_entries.hpp"

#include "util/error_text.hpp"
#include "util/path_text.hpp"

#include <system_error>

namespace vorn {

namespace fs = std::filesystem;

bool treeInstallable(const fs::path& destRoot, const fs::path& realRoot, const ManifestTree& tree,
                     std::string* err) {
  auto staysInside = [&](const std::string& path) {
    if (realRoot.empty()) return true;
    std::error_code ec;
    const fs::path realDir =
        fs::weakly_canonical((destRoot / pathFromUtf8(path)).parent_path(), ec);
    if (ec || isPathWithin(realRoot, realDir)) return true;
    setError(err, "path leads out of the destination through a link: " + path);
    return false;
  };
  for (const std::string& dir : tree.directories) {
    if (!staysInside(dir)) return false;
  }
  for (const ManifestLink& link : tree.links) {
    if (!staysInside(link.path)) return false;
    const fs::path target = destRoot / pathFromUtf8(link.path);
    std::error_code ec;
    if (fs::is_directory(fs::symlink_status(target, ec)) && !fs::is_empty(target, ec)) {
      setError(err, "non-empty directory in the way of link: " + link.path);
      return false;
    }
  }
  return true;
}

bool installDirectory(const fs::path& destRoot, const std::string& path, std::string* err) {
  const fs::path target = destRoot / pathFromUtf8(path);
  std::error_code ec;
  const fs::file_status status = fs::symlink_status(target, ec);
  if (fs::is_directory(status)) return true;
  ec.clear();  // nothing there is no error
  // remove() takes a link itself away, never what it points to.
  if (fs::exists(status)) fs::remove(target, ec);
  if (!ec) fs::create_directories(target, ec);
  if (ec) {
    setError(err, "cannot create directory " + path + " (" + ec.message() + ")");
    return false;
  }
  return true;
}

bool installLink(const fs::path& destRoot, const ManifestLink& link,
                 const std::set<std::string>& listed, std::string* err) {
  const fs::path target = destRoot / pathFromUtf8(link.path);
  std::error_code ec;
  const fs::file_status status = fs::symlink_status(target, ec);
  if (fs::is_symlink(status) && sameLinkTarget(target, link.target)) return true;
  const size_t slash = link.path.rfind('/');
  const size_t nameAt = slash == std::string::npos ? 0 : slash + 1;
  std::string temporary = link.path.substr(0, nameAt) + "." + link.path.substr(nameAt);
  // A listed name would be lost to the temporary link.
  do {
    temporary += ".vorn-link";
  } while (listed.count(temporary));
  const fs::path made = destRoot / pathFromUtf8(temporary);
  std::error_code ignored;
  fs::create_directories(target.parent_path(), ignored);
  fs::remove(made, ignored);  // left by an interrupted sync
  ec.clear();
  fs::create_symlink(pathFromUtf8(link.target), made, ec);
  // rename() replaces a file or link but not a directory; a non-empty one
  // fails the removal.
  if (!ec && fs::is_directory(status)) fs::remove(target, ec);
  if (!ec) fs::rename(made, target, ec);
  if (ec) {
    fs::remove(made, ignored);
    setError(err, "cannot create link " + link.path + " (" + ec.message() + ")");
    return false;
  }
  return true;
}

bool sameLinkTarget(const fs::path& path, const std::string& target) {
  std::error_code ec;
  // Byte for byte: path comparison would take "a//b" for "a/b".
  const fs::path text = fs::read_symlink(path, ec);
  return !ec && text.native() == pathFromUtf8(target).native();
}

}  // namespace vorn
