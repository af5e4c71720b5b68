// The manifest document: building it from a tree, reading it back strictly,
// and the path rule that keeps readers inside their destination.

#include <gtest/gtest.h>

#include "chunking/manifest.hpp"
#include "chunking/manifest_builder.hpp"
#include "support/temp_dir.hpp"
#include "support/test_data.hpp"
#include "util/digest.hpp"

#include <json/reader.h>
#include <json/value.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <limits>
#include <memory>

namespace fs = std::filesystem;
using vorn::ManifestFile;
using vorn::ManifestStats;
using vorn_test::seededBytes;
using vorn_test::TempDir;
using vorn_test::writeSeededFile;
using vorn_test::writeTextFile;

namespace {

constexpr size_t kMiB = 1048576;

Json::Value parse(const std::string& text) {
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value doc;
  std::string errors;
  EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &doc, &errors)) << errors;
  return doc;
}

std::string build(const std::string& path, ManifestStats* stats = nullptr) {
  std::string err;
  std::string text = vorn::buildManifest(path, stats, &err);
  EXPECT_FALSE(text.empty()) << err;
  return text;
}

std::vector<std::string> pathsOf(const Json::Value& doc) {
  std::vector<std::string> paths;
  for (const Json::Value& f : doc["files"]) paths.push_back(f["path"].asString());
  return paths;
}

// The build text rebuilt from a manifest's own members.
std::string buildTextOf(const Json::Value& doc) {
  std::string text;
  for (const Json::Value& f : doc["files"]) {
    text += f["path"].asString() + '\0' + std::to_string(f["size"].asUInt64()) + '\n';
    for (const Json::Value& c : f["chunks"])
      text += c["h"].asString() + ':' + std::to_string(c["n"].asUInt64()) + '\n';
  }
  return text;
}

// Expects buildManifest to fail with exactly this message and to leave the
// statistics alone.
void expectBuildFailure(const std::string& path, const std::string& message) {
  ManifestStats stats;
  stats.files = 77;
  stats.build = "untouched";
  std::string err;
  EXPECT_EQ(vorn::buildManifest(path, &stats, &err), "");
  EXPECT_EQ(err, message);
  EXPECT_EQ(stats.files, 77u);
  EXPECT_EQ(stats.build, "untouched");
}

Json::Value fileEntry(const std::string& path, uint64_t size, const std::vector<uint64_t>& sizes) {
  Json::Value f(Json::objectValue);
  f["path"] = path;
  f["size"] = Json::UInt64(size);
  f["chunks"] = Json::Value(Json::arrayValue);
  for (uint64_t n : sizes) {
    Json::Value c(Json::objectValue);
    c["h"] = std::string(64, 'a');
    c["n"] = Json::UInt64(n);
    f["chunks"].append(c);
  }
  return f;
}

std::string readError(const Json::Value& doc) {
  std::vector<ManifestFile> files(1);
  files[0].path = "kept";
  std::string err;
  EXPECT_FALSE(vorn::readManifestFiles(doc, &files, &err));
  EXPECT_EQ(files.size(), 1u) << "output replaced on failure";
  return err;
}

}  // namespace

// ---- building ----

TEST(ManifestBuild, OrderIsComponentWiseByUtf16CodeUnits) {
  TempDir dir;
  const std::string root = dir / "tree";
  for (const char* name : {"abc", "a.txt", "b", "\xEF\xBC\xA1",     // U+FF21
                           "z", "ab/c", "a-b", "\xF0\x9F\x98\x80",  // U+1F600
                           "\xC3\xA9", "B", "a/b0", "a/b/x"}) {
    writeTextFile(root + "/" + name, name);
  }
  Json::Value doc = parse(build(root));
  EXPECT_EQ(pathsOf(doc),
            (std::vector<std::string>{"B", "a/b/x", "a/b0", "a-b", "a.txt", "ab/c", "abc", "b", "z",
                                      "\xC3\xA9", "\xF0\x9F\x98\x80", "\xEF\xBC\xA1"}));
}

TEST(ManifestBuild, SlashSortsBeforeEveryOtherCharacter) {
  TempDir dir;
  writeTextFile(dir / "t/a-b", "1");
  writeTextFile(dir / "t/a/b", "2");
  writeTextFile(dir / "t/a.txt", "3");
  writeTextFile(dir / "t/sub/dir/file.bin", "4");
  fs::create_directories(dir / "t/empty/dir");
  // A trailing separator on the root changes nothing.
  Json::Value doc = parse(build(dir / "t/"));
  EXPECT_EQ(pathsOf(doc), (std::vector<std::string>{"a/b", "a-b", "a.txt", "sub/dir/file.bin"}));
  EXPECT_EQ(build(dir / "t/"), build(dir / "t"));
}

TEST(ManifestBuild, EmptyDirectoryHasNoFilesAndTheEmptyBuildId) {
  TempDir dir;
  fs::create_directories(dir / "empty/sub");
  ManifestStats stats;
  std::string text = build(dir / "empty", &stats);
  Json::Value doc = parse(text);
  EXPECT_TRUE(doc["files"].isArray());
  EXPECT_EQ(doc["files"].size(), 0u);
  EXPECT_EQ(doc["build"].asString(), vorn::blake3Hex(std::string()));
  EXPECT_EQ(stats.build, vorn::blake3Hex(std::string()));
  EXPECT_EQ(stats.files + stats.chunks + stats.uniqueChunks, 0u);
  EXPECT_EQ(stats.totalBytes + stats.uniqueBytes, 0);
  for (const char* member : {"files", "chunks", "unique_chunks", "total_bytes", "unique_bytes"}) {
    EXPECT_EQ(doc["stats"][member].asUInt64(), 0u) << member;
  }
  EXPECT_EQ(doc["schema"].asInt(), 1);
  EXPECT_EQ(doc["chunker"]["algo"].asString(), "fastcdc-gear");
  EXPECT_EQ(doc["chunker"]["min"].asUInt64(), 1048576u);
  EXPECT_EQ(doc["chunker"]["avg"].asUInt64(), 4194304u);
  EXPECT_EQ(doc["chunker"]["max"].asUInt64(), 16777216u);
  // Two-space indentation, members in byte order of their names, no final newline.
  EXPECT_EQ(text.rfind("{\n  \"build\" : \"", 0), 0u) << text;
  size_t chunker = text.find("\n  \"chunker\""), files = text.find("\n  \"files\" : []"),
         schema = text.find("\n  \"schema\" : 1"), statsAt = text.find("\n  \"stats\"");
  EXPECT_LT(chunker, files);
  EXPECT_LT(files, schema);
  EXPECT_LT(schema, statsAt);
  EXPECT_NE(statsAt, std::string::npos);
  EXPECT_EQ(text.back(), '}');
}

TEST(ManifestBuild, EntriesStatsAndBuildIdAgree) {
  TempDir dir;
  writeSeededFile(dir / "t/one.bin", 3 * kMiB + 17, 1);
  writeSeededFile(dir / "t/sub/two.bin", 9 * kMiB + 5, 2);
  writeTextFile(dir / "t/empty.txt", "");
  ManifestStats stats;
  std::string text = build(dir / "t", &stats);
  Json::Value doc = parse(text);
  ASSERT_EQ(doc["files"].size(), 3u);

  EXPECT_EQ(doc["build"].asString(), vorn::blake3Hex(buildTextOf(doc)));
  EXPECT_EQ(stats.build, doc["build"].asString());
  const Json::Value& empty = doc["files"][0];
  EXPECT_EQ(empty["path"].asString(), "empty.txt");
  EXPECT_EQ(empty["size"].asUInt64(), 0u);
  EXPECT_TRUE(empty["chunks"].isArray());
  EXPECT_EQ(empty["chunks"].size(), 0u);

  // Each file's chunks are its bytes, in order.
  for (const Json::Value& f : doc["files"]) {
    std::string content = vorn_test::slurp(dir / ("t/" + f["path"].asString()));
    uint64_t offset = 0;
    for (const Json::Value& c : f["chunks"]) {
      EXPECT_EQ(c["h"].asString(), vorn::blake3Hex(content.substr(offset, c["n"].asUInt64())));
      offset += c["n"].asUInt64();
    }
    EXPECT_EQ(offset, content.size());
    EXPECT_EQ(f["size"].asUInt64(), content.size());
  }
  EXPECT_EQ(stats.files, 3u);
  EXPECT_GE(stats.chunks, 3u);
  EXPECT_EQ(stats.uniqueChunks, stats.chunks);
  EXPECT_EQ(stats.totalBytes, static_cast<int64_t>(12 * kMiB + 22));
  EXPECT_EQ(stats.uniqueBytes, stats.totalBytes);
  EXPECT_EQ(doc["stats"]["chunks"].asUInt64(), stats.chunks);
  EXPECT_EQ(doc["stats"]["files"].asUInt64(), stats.files);
  EXPECT_EQ(doc["stats"]["unique_chunks"].asUInt64(), stats.uniqueChunks);
  EXPECT_EQ(doc["stats"]["total_bytes"].asInt64(), stats.totalBytes);
  EXPECT_EQ(doc["stats"]["unique_bytes"].asInt64(), stats.uniqueBytes);

  // Built twice: the same bytes.
  EXPECT_EQ(build(dir / "t"), text);

  // An empty file still counts in the build id.
  fs::remove(dir / "t/empty.txt");
  Json::Value without = parse(build(dir / "t"));
  EXPECT_NE(without["build"], doc["build"]);
}

TEST(ManifestBuild, TextIsTheStreamWritersTextOfTheDocument) {
  TempDir dir;
  writeSeededFile(dir / "t/big.bin", 6 * kMiB + 1, 12);
  writeTextFile(dir / "t/empty", "");
  writeTextFile(dir / "t/q\"uote\tand\x01control", "x");
  writeTextFile(dir / "t/\xC3\xA9/\xE2\x82\xAC", "euro");
  const std::string text = build(dir / "t");
  Json::Value doc = parse(text);
  EXPECT_EQ(vorn::writeJsonText(doc), text);
  EXPECT_EQ(pathsOf(doc), (std::vector<std::string>{"big.bin", "empty", "q\"uote\tand\x01control",
                                                    "\xC3\xA9/\xE2\x82\xAC"}));
  TempDir one;
  writeTextFile(one / "t/only", "1");
  const std::string single = build(one / "t");
  EXPECT_EQ(vorn::writeJsonText(parse(single)), single);
}

TEST(ManifestBuild, RepeatedChunksCountOnceAsUnique) {
  TempDir dir;
  // Zero bytes have no boundary: 32 MiB of them is the same maximum chunk twice.
  writeTextFile(dir / "t/zeros", std::string(32 * kMiB, '\0'));
  ManifestStats stats;
  Json::Value doc = parse(build(dir / "t", &stats));
  const Json::Value& chunks = doc["files"][0]["chunks"];
  ASSERT_EQ(chunks.size(), 2u);
  EXPECT_EQ(chunks[0]["h"], chunks[1]["h"]);
  EXPECT_EQ(stats.chunks, 2u);
  EXPECT_EQ(stats.uniqueChunks, 1u);
  EXPECT_EQ(stats.totalBytes, static_cast<int64_t>(32 * kMiB));
  EXPECT_EQ(stats.uniqueBytes, static_cast<int64_t>(16 * kMiB));

  // Two files with one content: identical chunk lists, counted once.
  TempDir other;
  const std::string content = seededBytes(2 * kMiB + 3, 4);
  writeTextFile(other / "t/a", content);
  writeTextFile(other / "t/b", content);
  Json::Value two = parse(build(other / "t", &stats));
  EXPECT_EQ(two["files"][0]["chunks"], two["files"][1]["chunks"]);
  EXPECT_EQ(stats.uniqueBytes * 2, stats.totalBytes);
  EXPECT_EQ(stats.uniqueChunks * 2, stats.chunks);
}

TEST(ManifestBuild, RenameChangesTheBuildIdButNoChunkId) {
  TempDir dir;
  writeSeededFile(dir / "t/name1", 1500000, 6);
  Json::Value first = parse(build(dir / "t"));
  fs::rename(dir / "t/name1", dir / "t/name2");
  Json::Value second = parse(build(dir / "t"));
  EXPECT_NE(first["build"], second["build"]);
  EXPECT_EQ(first["files"][0]["chunks"], second["files"][0]["chunks"]);
}

TEST(ManifestBuild, SingleFileIsListedByItsName) {
  TempDir dir;
  writeSeededFile(dir / "some/dir/file.bin", 1000, 3);
  ManifestStats stats;
  Json::Value doc = parse(build(dir / "some/dir/file.bin", &stats));
  ASSERT_EQ(doc["files"].size(), 1u);
  EXPECT_EQ(doc["files"][0]["path"].asString(), "file.bin");
  EXPECT_EQ(doc["files"][0]["size"].asUInt64(), 1000u);
  EXPECT_EQ(stats.files, 1u);
}

TEST(ManifestBuild, LinkToAFileInsideIsListedUnderItsOwnName) {
  TempDir dir;
  writeSeededFile(dir / "t/real/data.bin", 5000, 5);
  fs::create_directories(dir / "t/links");
  fs::create_symlink("../real/data.bin", dir / "t/links/alias.bin");
  fs::create_symlink("missing", dir / "t/dangling");
  fs::create_directory_symlink("real", dir / "t/dirlink");
  Json::Value doc = parse(build(dir / "t"));
  // The dangling link and the link to a directory add nothing; the walk does
  // not descend into the latter.
  ASSERT_EQ(pathsOf(doc), (std::vector<std::string>{"links/alias.bin", "real/data.bin"}));
  EXPECT_EQ(doc["files"][0]["chunks"], doc["files"][1]["chunks"]);
}

TEST(ManifestBuild, LinkLeavingTheRootFailsTheBuild) {
  TempDir dir;
  writeTextFile(dir / "outside.txt", "secret");
  writeTextFile(dir / "t/a.txt", "a");
  fs::create_directories(dir / "t/sub");
  fs::create_symlink(dir / "outside.txt", dir / "t/sub/leak");
  expectBuildFailure(dir / "t", "link leaves the build: " + (dir / "t") + "/sub/leak");
  // A link to a sibling of the root that shares its name as a prefix is outside too.
  fs::remove(dir / "t/sub/leak");
  writeTextFile(dir / "t2/x", "x");
  fs::create_symlink("../../t2/x", dir / "t/sub/prefix");
  expectBuildFailure(dir / "t", "link leaves the build: " + (dir / "t") + "/sub/prefix");
}

TEST(ManifestBuild, NameThatIsNotUtf8FailsTheBuild) {
  // The JSON writer would replace the bad bytes, and the manifest would name
  // a file that does not exist.
  TempDir dir;
  writeTextFile(dir / "t/good", "g");
  writeTextFile(dir / "t/sub/bad\xFF", "b");
  expectBuildFailure(dir / "t", "bad relative path for " + (dir / "t") + "/sub/bad\xFF");
  fs::remove(dir / "t/sub/bad\xFF");
  for (const char* name : {"\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82"}) {
    writeTextFile(dir / "t/sub/" + name, "b");
    expectBuildFailure(dir / "t", "bad relative path for " + (dir / "t") + "/sub/" + name);
    fs::remove(dir / "t/sub/" + std::string(name));
  }
  EXPECT_EQ(pathsOf(parse(build(dir / "t"))), (std::vector<std::string>{"good"}));
}

TEST(ManifestBuild, RootGivenThroughALinkStillWorks) {
  TempDir dir;
  writeTextFile(dir / "real/f", "f");
  fs::create_symlink("f", dir / "real/g");
  fs::create_directory_symlink("real", dir / "root-link");
  Json::Value doc = parse(build(dir / "root-link"));
  EXPECT_EQ(pathsOf(doc), (std::vector<std::string>{"f", "g"}));
}

TEST(ManifestBuild, MissingPathAndUnstatableFile) {
  TempDir dir;
  expectBuildFailure(dir / "nope", "path not found: " + (dir / "nope"));
  expectBuildFailure(dir / "nope/", "path not found: " + (dir / "nope/"));
  // A named pipe given as the build: its size cannot be read as a file's, and
  // nothing opens it (which would block).
  ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
  expectBuildFailure(dir / "pipe", "cannot stat " + (dir / "pipe"));
  // Inside a tree it is a special file and contributes nothing.
  fs::create_directories(dir / "t");
  ASSERT_EQ(mkfifo((dir / "t/pipe").c_str(), 0600), 0);
  writeTextFile(dir / "t/f", "f");
  EXPECT_EQ(pathsOf(parse(build(dir / "t"))), (std::vector<std::string>{"f"}));
}

TEST(ManifestBuild, UnreadableSubdirectoryFailsTheWholeBuild) {
  TempDir dir;
  writeTextFile(dir / "t/a.txt", "a");
  writeTextFile(dir / "t/locked/b.txt", "b");
  ASSERT_EQ(chmod((dir / "t/locked").c_str(), 0), 0);
  const std::string expected = "walk error under " + (dir / "t");
  if (geteuid() != 0) {
    expectBuildFailure(dir / "t", expected);
    return;
  }
  // Root reads any directory, so the build runs in a child that has given up
  // root; the tree above the locked directory must be open to it.
  ASSERT_EQ(chmod(dir.str().c_str(), 0755), 0);
  ASSERT_EQ(chmod((dir / "t").c_str(), 0755), 0);
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(pipeFds[0]);
    std::string message;
    if (setgid(65534) != 0 || setuid(65534) != 0) {
      message = "SKIP";
    } else {
      ManifestStats stats;
      std::string text = vorn::buildManifest(dir / "t", &stats, &message);
      if (!text.empty()) message = "BUILT";
    }
    ssize_t written = write(pipeFds[1], message.data(), message.size());
    _exit(written == static_cast<ssize_t>(message.size()) ? 0 : 1);
  }
  close(pipeFds[1]);
  std::string message;
  char buffer[512];
  ssize_t n;
  while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0)
    message.append(buffer, static_cast<size_t>(n));
  close(pipeFds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (message == "SKIP") GTEST_SKIP() << "cannot drop root privileges here";
  EXPECT_EQ(message, expected);
}

// ---- reading ----

TEST(ManifestRead, ReadsEntriesAndIgnoresUnknownMembers) {
  Json::Value doc(Json::objectValue);
  doc["files"] = Json::Value(Json::arrayValue);
  doc["files"].append(fileEntry("a/b.bin", 30, {10, 20}));
  doc["files"].append(fileEntry("empty", 0, {}));
  doc["files"][0]["extra"] = "ignored";
  doc["files"][0]["chunks"][1]["x"] = 5;
  doc["unknown"] = Json::Value(Json::arrayValue);
  std::vector<ManifestFile> files(3);
  std::string err;
  ASSERT_TRUE(vorn::readManifestFiles(doc, &files, &err)) << err;
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[0].path, "a/b.bin");
  EXPECT_EQ(files[0].size, 30u);
  ASSERT_EQ(files[0].chunks.size(), 2u);
  EXPECT_EQ(files[0].chunks[0].id, std::string(64, 'a'));
  EXPECT_EQ(files[0].chunks[1].size, 20u);
  EXPECT_TRUE(files[1].chunks.empty());

  ASSERT_TRUE(vorn::readManifestFiles(Json::Value(Json::objectValue), &files, &err));
  EXPECT_TRUE(files.empty()) << "a document without files reads as no files";
}

TEST(ManifestRead, BuiltManifestReadsBack) {
  TempDir dir;
  writeSeededFile(dir / "t/x/y.bin", 2 * kMiB + 9, 1);
  writeTextFile(dir / "t/\xC3\xA9t\xC3\xA9.txt", "summer");
  Json::Value doc = parse(build(dir / "t"));
  std::vector<ManifestFile> files;
  std::string err;
  ASSERT_TRUE(vorn::readManifestFiles(doc, &files, &err)) << err;
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[0].path, "x/y.bin");
  EXPECT_EQ(files[1].path, "\xC3\xA9t\xC3\xA9.txt");
  for (const ManifestFile& f : files) EXPECT_TRUE(vorn::isSafeRelativePath(f.path)) << f.path;
}

TEST(ManifestRead, WrongTypesAreNamedNotFatal) {
  auto withFile = [](const Json::Value& entry) {
    Json::Value doc(Json::objectValue);
    doc["files"] = Json::Value(Json::arrayValue);
    doc["files"].append(fileEntry("ok", 1, {1}));
    doc["files"].append(entry);
    return doc;
  };
  EXPECT_EQ(readError(Json::Value("text")), "manifest: the document is not a JSON object");
  EXPECT_EQ(readError(Json::Value(Json::arrayValue)),
            "manifest: the document is not a JSON object");
  Json::Value notArray(Json::objectValue);
  notArray["files"] = Json::Value(Json::objectValue);
  EXPECT_EQ(readError(notArray), "manifest: files is not an array");
  EXPECT_EQ(readError(withFile(Json::Value(3))), "manifest: files[1] is not an object");

  Json::Value e = fileEntry("p", 1, {1});
  e["path"] = 5;
  EXPECT_EQ(readError(withFile(e)), "manifest: files[1].path is not a string");
  e = fileEntry("p", 1, {1});
  e.removeMember("path");
  EXPECT_EQ(readError(withFile(e)), "manifest: files[1].path is not a string");
  e = fileEntry("p", 1, {1});
  e["size"] = "1";
  EXPECT_EQ(readError(withFile(e)), "manifest: files[1].size is not an unsigned integer");
  e["size"] = -1;
  EXPECT_EQ(readError(withFile(e)), "manifest: files[1].size is not an unsigned integer");
  e["size"] = 1.0;
  EXPECT_EQ(readError(withFile(e)), "manifest: files[1].size is not an unsigned integer");
  e["size"] = 1e30;
  EXPECT_EQ(readError(withFile(e)), "manifest: files[1].size is not an unsigned integer");
  e["size"] = true;
  EXPECT_EQ(readError(withFile(e)), "manifest: files[1].size is not an unsigned integer");
  e = fileEntry("p", 1, {1});
  e["chunks"] = Json::Value(Json::objectValue);
  EXPECT_EQ(readError(withFile(e)), "manifest: files[1].chunks is not an array");
  e = fileEntry("p", 1, {1});
  e["chunks"][0] = "abc";
  EXPECT_EQ(readError(withFile(e)), "manifest: files[1].chunks[0] is not an object");
  e = fileEntry("p", 3, {1, 2});
  e["chunks"][1]["h"] = Json::Value(Json::arrayValue);
  EXPECT_EQ(readError(withFile(e)), "manifest: files[1].chunks[1].h is not a string");
  e = fileEntry("p", 3, {1, 2});
  e["chunks"][1]["n"] = "2";
  EXPECT_EQ(readError(withFile(e)), "manifest: files[1].chunks[1].n is not an unsigned integer");
  e["chunks"][1]["n"] = Json::Value();
  EXPECT_EQ(readError(withFile(e)), "manifest: files[1].chunks[1].n is not an unsigned integer");
}

TEST(ManifestRead, ChunkSizesMustAddUpWithoutOverflow) {
  Json::Value doc(Json::objectValue);
  doc["files"] = Json::Value(Json::arrayValue);
  doc["files"].append(fileEntry("p", 31, {10, 20}));
  EXPECT_EQ(readError(doc), "manifest: files[0].chunks add up to 30 bytes, not its size 31");

  const uint64_t half = uint64_t{1} << 63;
  doc["files"][0] = fileEntry("p", 0, {half, half});
  EXPECT_EQ(readError(doc), "manifest: files[0].chunks add up to more than 2^64 bytes");
  doc["files"][0] = fileEntry("p", 5, {std::numeric_limits<uint64_t>::max(), 6});
  EXPECT_EQ(readError(doc), "manifest: files[0].chunks add up to more than 2^64 bytes");
  doc["files"][0] = fileEntry("p", 0, {});
  doc["files"][0]["size"] = Json::UInt64(std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(readError(doc),
            "manifest: files[0].chunks add up to 0 bytes, not its size 18446744073709551615");

  // A huge but consistent size is read as a number; nothing is allocated for it.
  std::vector<ManifestFile> files;
  doc["files"][0] =
      fileEntry("p", std::numeric_limits<uint64_t>::max(), {std::numeric_limits<uint64_t>::max()});
  std::string err;
  ASSERT_TRUE(vorn::readManifestFiles(doc, &files, &err)) << err;
  EXPECT_EQ(files[0].chunks[0].size, std::numeric_limits<uint64_t>::max());
}

TEST(ManifestRead, ParsedTextWithWrongTypesFailsCleanly) {
  const char* texts[] = {
      R"({"files":[{"path":"a","size":"10","chunks":[]}]})",
      R"({"files":[{"path":"a","size":1,"chunks":[{"h":"x","n":-1}]}]})",
      R"({"files":[{"path":"a","size":1,"chunks":[{"h":"x","n":1.5}]}]})",
      R"({"files":[{"path":"a","size":1,"chunks":[{"h":"x","n":99999999999999999999999}]}]})",
      R"({"files":"none"})",
      R"({"files":[null]})",
  };
  for (const char* text : texts) {
    std::string err = readError(parse(text));
    EXPECT_EQ(err.rfind("manifest: ", 0), 0u) << text << " -> " << err;
  }
}

// ---- paths and text ----

TEST(ManifestPath, SafeRelativePaths) {
  for (const char* ok :
       {"a", "a/b", "a/b.c", "..a", "a..", "a/...", ".hidden", "a b/c", "\xC3\xA9"}) {
    EXPECT_TRUE(vorn::isSafeRelativePath(ok)) << ok;
  }
  for (const char* bad : {"", "/", "/etc/passwd", "..", "../x", "a/..", "a/../b", ".", "./a", "a/.",
                          "a//b", "a/", "a\\b", "..\\x"}) {
    EXPECT_FALSE(vorn::isSafeRelativePath(bad)) << bad;
  }
  EXPECT_FALSE(vorn::isSafeRelativePath(std::string("a\0b", 3)));
}

TEST(ManifestText, TwoSpaceIndentationOtherwiseDefaults) {
  Json::Value doc(Json::objectValue);
  doc["z"] = 1;
  doc["a"] = "x";
  EXPECT_EQ(vorn::writeJsonText(doc), "{\n  \"a\" : \"x\",\n  \"z\" : 1\n}");
}
