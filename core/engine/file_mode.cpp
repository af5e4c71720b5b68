#include "engine/file_mode.hpp"

#include "util/error_text.hpp"
#include "util/path_text.hpp"

#include <system_error>

namespace vorn {

namespace fs = std::filesystem;

bool setExecutableBits(const fs::path& path, bool executable, std::string* err) {
  std::error_code ec;
  fs::perms perms = fs::status(path, ec).permissions();
  if (!ec) {
    constexpr fs::perms kExec =
        fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec;
    perms &= ~kExec;
    if (executable) {
      // Whoever may read the file may run it, as a build tool would leave it.
      if ((perms & fs::perms::owner_read) != fs::perms::none) perms |= fs::perms::owner_exec;
      if ((perms & fs::perms::group_read) != fs::perms::none) perms |= fs::perms::group_exec;
      if ((perms & fs::perms::others_read) != fs::perms::none) perms |= fs::perms::others_exec;
    }
    fs::permissions(path, perms, fs::perm_options::replace, ec);
  }
  if (ec) {
    setError(err, "cannot set the mode of " + genericUtf8Path(path));
    return false;
  }
  return true;
}

bool ownerExecutable(const fs::path& path) {
  std::error_code ec;
  const fs::perms perms = fs::status(path, ec).permissions();
  return !ec && (perms & fs::perms::owner_exec) != fs::perms::none;
}

}  // namespace vorn
