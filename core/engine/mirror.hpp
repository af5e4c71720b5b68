#pragma once
// Mirror: after a sync, make the destination hold nothing but what the
// manifest lists, by removing every other file, link and emptied directory.

#include <functional>
#include <string>
#include <vector>

namespace vorn {

// (path below the destination, "/" between components); called once per
// removed path, or per path that would be removed in a dry run.
using RemovedFn = std::function<void(const std::string& path)>;

// Removes under destination every regular file and symbolic link whose path
// is not in listed (manifest paths), then every directory left empty that is
// not listed itself, in sorted order, each directory after what it held. Links are removed, never
// followed: a directory link is kept only when a listed path goes through it,
// and then so are the files it reaches. Other kinds of file stay; so does the
// destination itself, and a directory that a listed path needs. With dryRun
// nothing is removed. With keepReceiptFolder the receipt folder at the top of
// the destination is neither looked into nor removed. Fails on the first entry
// that cannot be read or removed: "cannot list " or "cannot remove " + path +
// " (" + reason + ")".
bool removeUnlisted(const std::string& destination, const std::vector<std::string>& listed,
                    bool dryRun, const RemovedFn& onRemoved, std::string* err,
                    bool keepReceiptFolder = false);

}  // namespace vorn
