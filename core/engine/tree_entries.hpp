#pragma once
// The links and directories a manifest lists (push --keep-tree), at the
// destination: checked before a sync writes anything, then put in place after
// its files. A link is data here: it is never followed.

#include "chunking/manifest.hpp"

#include <filesystem>
#include <set>
#include <string>

namespace vorn {

// Fails, before anything is written, when the directory a listed link or
// directory goes into leads out of realRoot through a link already there
// ("path leads out of the destination through a link: " + path), or when a
// non-empty directory stands where a link goes ("non-empty directory in the
// way of link: " + path). An empty realRoot (the destination cannot be
// resolved) skips the first check; the install then fails on its own.
bool treeInstallable(const std::filesystem::path& destRoot, const std::filesystem::path& realRoot,
                     const ManifestTree& tree, std::string* err);

// Makes destRoot/path a directory (with its parents), first removing a file or
// link that stands there. Fails with "cannot create directory " + path + " (" +
// reason + ")".
bool installDirectory(const std::filesystem::path& destRoot, const std::string& path,
                      std::string* err);

// Puts the link at destRoot/link.path: made under a temporary name beside it
// ("." + name + ".vorn-link", lengthened until listed does not hold it) and
// renamed over it, so a file or link there is replaced in one step; an empty
// directory there is removed first. A link already as listed is left alone.
// Fails with "cannot create link " + path + " (" + reason + ")".
bool installLink(const std::filesystem::path& destRoot, const ManifestLink& link,
                 const std::set<std::string>& listed, std::string* err);

// True when path is a symbolic link whose target text is exactly target.
bool sameLinkTarget(const std::filesystem::path& path, const std::string& target);

}  // namespace vorn
