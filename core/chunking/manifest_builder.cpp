#include "chunking/manifest_builder.hpp"

#include "chunking/chunker.hpp"
#include "chunking/manifest.hpp"
#include "util/digest.hpp"
#include "util/path_text.hpp"

#include <json/value.h>
#include <json/writer.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <set>
#include <sstream>
#include <system_error>
#include <vector>

namespace vorn {

namespace fs = std::filesystem;

namespace {

// Only the part below the root is kept: a path object per file would cost
// several times more, for builds of many files.
struct FoundFile {
  std::string relative;  // native components below the root, joined with '/'
  bool viaLink = false;  // the entry itself is a symbolic link
};

// What a keep-tree walk records besides the regular files, with relative
// paths as FoundFile has them.
struct FoundTree {
  std::vector<std::pair<std::string, std::string>> links;  // path, target as read
  std::vector<std::string> directories;
};

// Byte rank that turns UTF-8 byte order into UTF-16 code unit order: lead
// bytes 0xEE and 0xEF (U+E000..U+FFFF) move above 0xF0..0xF4 (characters past
// U+FFFF, which UTF-16 writes with surrogates 0xD800..0xDFFF). Where two texts
// first differ both bytes start a character, or both continue characters with
// the same lead byte, so ranking bytes one by one is enough.
int byteRank(unsigned char b) {
  if (b < 0xEE) return b;
  if (b >= 0xF0) return b - 2;
  return b + 0x10;
}

// Manifest order of two relative paths: component by component, a run of
// separators below every character and the end below a separator.
bool manifestOrderLess(const std::string& a, const std::string& b) {
  constexpr int kEnd = -2, kSeparator = -1;
  size_t i = 0, j = 0;
  auto next = [](const std::string& s, size_t* pos) {
    if (*pos >= s.size()) return kEnd;
    if (s[*pos] == '/') {
      while (*pos < s.size() && s[*pos] == '/') ++*pos;
      return kSeparator;
    }
    return byteRank(static_cast<unsigned char>(s[(*pos)++]));
  };
  for (;;) {
    const int x = next(a, &i), y = next(b, &j);
    if (x != y) return x < y;
    if (x == kEnd) return false;
  }
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
// The JSON writer would replace anything else, and the manifest would then
// name a file that does not exist.
bool isValidUtf8(const std::string& text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  size_t i = 0;
  while (i < n) {
    const unsigned char b = s[i];
    size_t extra = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (b < 0x80) {
      ++i;
      continue;
    } else if (b >= 0xC2 && b <= 0xDF) {
      extra = 1;
    } else if (b >= 0xE0 && b <= 0xEF) {
      extra = 2;
      if (b == 0xE0) lo = 0xA0;
      if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      extra = 3;
      if (b == 0xF0) lo = 0x90;
      if (b == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (n - i <= extra || s[i + 1] < lo || s[i + 1] > hi) return false;
    for (size_t k = 2; k <= extra; ++k) {
      if (s[i + k] < 0x80 || s[i + k] > 0xBF) return false;
    }
    i += extra + 1;
  }
  return true;
}

// True when target lies strictly below base; both are canonical.
bool isInside(const fs::path& target, const fs::path& base) {
  auto t = target.begin();
  for (auto b = base.begin(); b != base.end(); ++b, ++t) {
    if (t == target.end() || *t != *b) return false;
  }
  return t != target.end();
}

bool fail(std::string* err, const std::string& message) {
  if (err) *err = message;
  return false;
}

// Collects the regular files below root, in walk order; with tree, also the
// links (never followed) and directories.
bool walkTree(const fs::path& root, const std::string& rootText, std::vector<FoundFile>* found,
              FoundTree* tree, std::string* err) {
  const std::string walkError = "walk error under " + rootText;
  std::error_code ec;
  fs::recursive_directory_iterator it(root, fs::directory_options::none, ec);
  if (ec) return fail(err, walkError);
  std::vector<std::string> components;
  auto relative = [&] {
    std::string text;
    for (const std::string& component : components) {
      if (!text.empty()) text += '/';
      text += component;
    }
    return text;
  };
  const fs::recursive_directory_iterator end;
  while (it != end) {
    const fs::directory_entry& entry = *it;
    components.resize(static_cast<size_t>(it.depth()));
    components.push_back(entry.path().filename().native());
    std::error_code typeEc;
    if (tree) {
      const fs::file_status status = entry.symlink_status(typeEc);
      if (fs::is_symlink(status)) {
        const fs::path target = fs::read_symlink(entry.path(), typeEc);
        if (typeEc) return fail(err, "cannot read link " + genericUtf8Path(entry.path()));
        tree->links.emplace_back(relative(), target.native());
      } else if (fs::is_directory(status)) {
        tree->directories.push_back(relative());
      } else if (fs::is_regular_file(status)) {
        found->push_back(FoundFile{relative(), false});
      }
    } else if (entry.is_regular_file(typeEc)) {
      // Follows links: a link to a file counts, dangling links and links to
      // directories do not (the walk does not descend into the latter).
      found->push_back(FoundFile{relative(), entry.is_symlink(typeEc)});
    }
    it.increment(ec);
    if (ec) return fail(err, walkError);
  }
  return true;
}

// Keeps the directories below which nothing is recorded: the others exist
// anyway once what lies below them does.
void keepEmptyDirectories(const std::vector<FoundFile>& files, FoundTree* tree) {
  std::set<std::string> holding;
  auto addParents = [&](const std::string& path) {
    for (size_t slash = path.rfind('/'); slash != std::string::npos && slash > 0;
         slash = path.rfind('/', slash - 1)) {
      if (!holding.insert(path.substr(0, slash)).second) break;
    }
  };
  for (const FoundFile& file : files) addParents(file.relative);
  for (const auto& link : tree->links) addParents(link.first);
  for (const std::string& dir : tree->directories) addParents(dir);
  std::vector<std::string>& dirs = tree->directories;
  dirs.erase(std::remove_if(dirs.begin(), dirs.end(),
                            [&](const std::string& dir) { return holding.count(dir) != 0; }),
             dirs.end());
}

// The JSON entries of the recorded links and directories, in manifest order,
// under the root members that carry them; nothing for an empty list.
bool addTreeMembers(FoundTree& tree, const fs::path& root, Json::Value* manifest,
                    std::string* err) {
  std::sort(tree.links.begin(), tree.links.end(),
            [](const auto& a, const auto& b) { return manifestOrderLess(a.first, b.first); });
  std::sort(tree.directories.begin(), tree.directories.end(), manifestOrderLess);
  auto checkedPath = [&](const std::string& relative, std::string* text) {
    *text = genericUtf8Path(fs::path(relative));
    if (isSafeRelativePath(*text) && isValidUtf8(*text)) return true;
    return fail(err, "bad relative path for " + genericUtf8Path(root / relative));
  };
  std::string text;
  for (const auto& [relative, target] : tree.links) {
    if (!checkedPath(relative, &text)) return false;
    // The target is kept byte for byte, so it must survive the JSON writer.
    if (target.size() > kMaxLinkTarget || !isValidUtf8(target)) {
      return fail(err, "bad link target for " + genericUtf8Path(root / relative));
    }
    Json::Value link(Json::objectValue);
    link["path"] = text;
    link["target"] = target;
    (*manifest)[kLinksMember].append(std::move(link));
  }
  for (const std::string& relative : tree.directories) {
    if (!checkedPath(relative, &text)) return false;
    Json::Value dir(Json::objectValue);
    dir["path"] = text;
    (*manifest)[kDirectoriesMember].append(std::move(dir));
  }
  return true;
}

// Writes one file entry as the stream writer writes it at its place in the
// root object ("files" element, two levels deep), so the entries can be kept
// as text instead of as a tree of JSON values: for a build of many small
// files the value tree is several times larger than its text.
class EntryWriter {
 public:
  EntryWriter() {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "  ";
    writer_.reset(builder.newStreamWriter());
  }

  std::string write(const Json::Value& entry) {
    out_.str(std::string());
    writer_->write(entry, &out_);
    const std::string flat = out_.str();
    std::string text;
    text.reserve(flat.size() + flat.size() / 8 + 8);
    text += kEntryIndent;
    for (char c : flat) {
      text += c;
      if (c == '\n') text += kEntryIndent + 1;
    }
    return text;
  }

 private:
  static constexpr const char* kEntryIndent = "\n    ";
  std::unique_ptr<Json::StreamWriter> writer_;
  std::ostringstream out_;
};

// The root object's text with the "files" member's placeholder replaced by
// the entries, exactly as the stream writer lays out an array of objects.
std::string spliceFiles(const std::string& rootText, const std::string& placeholder,
                        const std::vector<std::string>& entries) {
  // Found with its member name: a link or directory path may be the
  // placeholder's text too, but inside a value every quote is escaped.
  const std::string member = "\"files\" : ";
  const std::string quoted = "\"" + placeholder + "\"";
  const size_t at = rootText.find(member + quoted) + member.size();
  size_t size = rootText.size() + 8;
  for (const std::string& e : entries) size += e.size() + 1;
  std::string text;
  text.reserve(size);
  text.append(rootText, 0, at);
  if (entries.empty()) {
    text += "[]";
  } else {
    text += "\n  [";
    for (size_t i = 0; i < entries.size(); ++i) {
      if (i > 0) text += ',';
      text += entries[i];
    }
    text += "\n  ]";
  }
  text.append(rootText, at + quoted.size(), std::string::npos);
  return text;
}

}  // namespace

std::string buildManifest(const std::string& path, ManifestStats* stats, std::string* err,
                          const BuildOptions& options) {
  const fs::path root = pathFromNative(path);
  std::error_code ec;
  const fs::file_status rootStatus = fs::status(root, ec);
  if (ec || !fs::exists(rootStatus)) {
    fail(err, "path not found: " + path);
    return std::string();
  }
  const ChunkParams params = defaultChunkParams();

  std::vector<FoundFile> found;
  FoundTree tree;
  const bool keepMode = options.keepMode || options.keepTree;
  const bool directoryBuild = fs::is_directory(rootStatus);
  if (directoryBuild) {
    if (!walkTree(root, path, &found, options.keepTree ? &tree : nullptr, err)) {
      return std::string();
    }
    if (options.keepTree) keepEmptyDirectories(found, &tree);
  } else {
    FoundFile single;
    single.relative = root.filename().native();
    found.push_back(std::move(single));
  }
  std::sort(found.begin(), found.end(), [](const FoundFile& a, const FoundFile& b) {
    return manifestOrderLess(a.relative, b.relative);
  });
  // The path as the walk produced it: the root as given joined with the
  // components, or the root itself for a single file.
  auto pathOf = [&](const FoundFile& file) { return directoryBuild ? root / file.relative : root; };

  // Checked before any file is read, so a refused tree costs no chunking.
  // Without keepTree a link to a file is listed under its own name, but only
  // when what it reaches is part of the build: publishing a file from
  // elsewhere by accident is worse than refusing.
  std::vector<std::string> relativeTexts;
  relativeTexts.reserve(found.size());
  fs::path canonicalRoot;
  for (const FoundFile& file : found) {
    if (file.viaLink) {
      if (canonicalRoot.empty()) canonicalRoot = fs::canonical(root, ec);
      fs::path target = ec ? fs::path() : fs::canonical(pathOf(file), ec);
      if (ec || !isInside(target, canonicalRoot)) {
        fail(err, "link leaves the build: " + genericUtf8Path(pathOf(file)));
        return std::string();
      }
    }
    std::string text = genericUtf8Path(fs::path(file.relative));
    if (!isSafeRelativePath(text) || !isValidUtf8(text)) {
      fail(err, "bad relative path for " + genericUtf8Path(pathOf(file)));
      return std::string();
    }
    relativeTexts.push_back(std::move(text));
  }

  Json::Value manifest(Json::objectValue);
  manifest["schema"] = 1;
  Json::Value chunker(Json::objectValue);
  chunker["algo"] = "fastcdc-gear";
  chunker["min"] = Json::UInt64(params.min);
  chunker["avg"] = Json::UInt64(params.avg);
  chunker["max"] = Json::UInt64(params.max);
  manifest["chunker"] = std::move(chunker);
  // Like the file paths, before any file is read.
  if (!addTreeMembers(tree, root, &manifest, err)) return std::string();
  tree = FoundTree();

  EntryWriter entryWriter;
  std::vector<std::string> entryTexts;
  entryTexts.reserve(found.size());
  std::set<std::string> seenIds;
  // The build text is only ever hashed, so it is hashed as it grows.
  Blake3Stream buildText;
  std::string line;
  ChunkBuffer chunkBuffer;
  ManifestStats totals;

  for (size_t index = 0; index < found.size(); ++index) {
    const fs::path filePath = pathOf(found[index]);
    const std::string fileText = genericUtf8Path(filePath);
    const uintmax_t size = fs::file_size(filePath, ec);
    if (ec) {
      fail(err, "cannot stat " + fileText);
      return std::string();
    }
    const std::string& relative = relativeTexts[index];
    line = relative;
    line += '\0';
    line += std::to_string(size);
    line += '\n';
    buildText.update(line.data(), line.size());

    Json::Value chunks(Json::arrayValue);
    uint64_t offset = 0;
    bool gap = false;
    auto onChunk = [&](const Chunk& chunk) {
      if (chunk.offset != offset) gap = true;
      offset += chunk.size;
      Json::Value ref(Json::objectValue);
      ref["h"] = chunk.id;
      ref["n"] = Json::UInt64(chunk.size);
      chunks.append(std::move(ref));
      line = chunk.id;
      line += ':';
      line += std::to_string(chunk.size);
      line += '\n';
      buildText.update(line.data(), line.size());
      ++totals.chunks;
      totals.totalBytes += static_cast<int64_t>(chunk.size);
      if (seenIds.insert(chunk.id).second) totals.uniqueBytes += static_cast<int64_t>(chunk.size);
    };
    std::string chunkError;
    if (!chunkFile(filePath.string(), params, onChunk, &chunkError, &chunkBuffer)) {
      fail(err, chunkError);
      return std::string();
    }
    if (gap) {
      fail(err, "chunk gap in " + fileText);
      return std::string();
    }
    if (offset != size) {
      fail(err, "chunk coverage mismatch in " + fileText);
      return std::string();
    }
    Json::Value entry(Json::objectValue);
    entry["path"] = relative;
    entry["size"] = Json::UInt64(size);
    entry["chunks"] = std::move(chunks);
    if (keepMode) {
      // Of what a link reaches, as the content is.
      const fs::perms perms = fs::status(filePath, ec).permissions();
      if (ec) {
        fail(err, "cannot stat " + fileText);
        return std::string();
      }
      if ((perms & fs::perms::owner_exec) != fs::perms::none) entry[kExecutableMember] = true;
    }
    entryTexts.push_back(entryWriter.write(entry));
    ++totals.files;
  }

  // Released before the text is assembled, which is when memory peaks.
  chunkBuffer = ChunkBuffer();
  totals.uniqueChunks = seenIds.size();
  seenIds = std::set<std::string>();
  found = std::vector<FoundFile>();
  relativeTexts = std::vector<std::string>();
  totals.build = buildText.finalHex();
  const std::string placeholder = "files placeholder";
  manifest["files"] = placeholder;
  manifest["build"] = totals.build;
  Json::Value summary(Json::objectValue);
  summary["files"] = Json::UInt64(totals.files);
  summary["chunks"] = Json::UInt64(totals.chunks);
  summary["unique_chunks"] = Json::UInt64(totals.uniqueChunks);
  summary["total_bytes"] = Json::Int64(totals.totalBytes);
  summary["unique_bytes"] = Json::Int64(totals.uniqueBytes);
  manifest["stats"] = std::move(summary);

  std::string text = spliceFiles(writeJsonText(manifest), placeholder, entryTexts);
  if (stats) *stats = totals;
  return text;
}

}  // namespace vorn
