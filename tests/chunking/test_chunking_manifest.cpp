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
#include <memory>

namespace fs = std::filesystem;
using vorn::ManifestFile;
using vorn::ManifestStats;
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

// Expects buildManifest to fail with exactly this message and to leave the
// statistics alone.
void expectBuildFailure(const std::string& path, const std::string& message) {
  ManifestStats stats;
  stats.build = "untouched";
  std::string err;
  EXPECT_EQ(vorn::buildManifest(path, &stats, &err), "");
  EXPECT_EQ(err, message);
  EXPECT_EQ(stats.build, "untouched");
}

}  // namespace

// ---- building ----

TEST(ManifestBuild, OrderIsComponentWiseByUtf16CodeUnits) {
  TempDir dir;
  const std::string root = dir / "tree";
  for (const char* name : {"abc", "a.txt", "b", "\xEF\xBC\xA1",     // U+FF21
                           "z", "ab/c", "a-b", "\xF0\x9F\x98\x80",  // U+1F600
                           "\xC3\xA9", "B", "a/b0", "a/b/x", "q\"uote\tand\x01control"}) {
    writeTextFile(root + "/" + name, name);
  }
  fs::create_directories(root + "/empty/dir");
  const std::string text = build(root);
  const Json::Value doc = parse(text);
  EXPECT_EQ(pathsOf(doc),
            (std::vector<std::string>{"B", "a/b/x", "a/b0", "a-b", "a.txt", "ab/c", "abc", "b",
                                      "q\"uote\tand\x01control", "z", "\xC3\xA9",
                                      "\xF0\x9F\x98\x80", "\xEF\xBC\xA1"}));
  // The text is the stream writer's text of the document; a trailing
  // separator on the root changes nothing.
  EXPECT_EQ(vorn::writeJsonText(doc), text);
  EXPECT_EQ(build(root + "/"), text);
}

TEST(ManifestBuild, EmptyDirectoryHasNoFilesAndTheEmptyBuildId) {
  TempDir dir;
  fs::create_directories(dir / "empty/sub");
  ManifestStats stats;
  const Json::Value doc = parse(build(dir / "empty", &stats));
  EXPECT_TRUE(doc["files"].isArray());
  EXPECT_EQ(doc["files"].size(), 0u);
  EXPECT_EQ(doc["build"].asString(), vorn::blake3Hex(std::string()));
  EXPECT_EQ(stats.build, vorn::blake3Hex(std::string()));
  EXPECT_EQ(stats.files + stats.chunks + stats.uniqueChunks, 0u);
  EXPECT_EQ(stats.totalBytes + stats.uniqueBytes, 0);
  for (const char* member : {"files", "chunks", "unique_chunks", "total_bytes", "unique_bytes"})
    EXPECT_EQ(doc["stats"][member].asUInt64(), 0u) << member;
  EXPECT_EQ(doc["schema"].asInt(), 1);
  EXPECT_EQ(doc["chunker"]["algo"].asString(), "fastcdc-gear");
  EXPECT_EQ(doc["chunker"]["min"].asUInt64(), 1048576u);
  EXPECT_EQ(doc["chunker"]["avg"].asUInt64(), 4194304u);
  EXPECT_EQ(doc["chunker"]["max"].asUInt64(), 16777216u);
}

TEST(ManifestBuild, EntriesStatsAndBuildIdAgree) {
  TempDir dir;
  writeSeededFile(dir / "t/one.bin", 3 * kMiB + 17, 1);
  writeSeededFile(dir / "t/sub/two.bin", 9 * kMiB + 5, 2);
  writeTextFile(dir / "t/empty.txt", "");
  ManifestStats stats;
  const std::string text = build(dir / "t", &stats);
  const Json::Value doc = parse(text);
  ASSERT_EQ(pathsOf(doc), (std::vector<std::string>{"empty.txt", "one.bin", "sub/two.bin"}));

  // Each file's chunks are its bytes, in order; the build id is the digest of
  // the build text made from the entries.
  std::string buildText;
  for (const Json::Value& f : doc["files"]) {
    const std::string content = vorn_test::slurp(dir / ("t/" + f["path"].asString()));
    EXPECT_EQ(f["size"].asUInt64(), content.size());
    EXPECT_TRUE(f["chunks"].isArray());
    buildText += f["path"].asString() + '\0' + std::to_string(content.size()) + '\n';
    uint64_t offset = 0;
    for (const Json::Value& c : f["chunks"]) {
      const uint64_t n = c["n"].asUInt64();
      EXPECT_EQ(c["h"].asString(), vorn::blake3Hex(content.substr(offset, n)));
      buildText += c["h"].asString() + ':' + std::to_string(n) + '\n';
      offset += n;
    }
    EXPECT_EQ(offset, content.size());
  }
  EXPECT_EQ(doc["build"].asString(), vorn::blake3Hex(buildText));
  EXPECT_EQ(stats.build, doc["build"].asString());
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

  EXPECT_EQ(build(dir / "t"), text) << "built twice: the same bytes";
  // An empty file still counts in the build id; a rename changes it but no chunk id.
  fs::remove(dir / "t/empty.txt");
  const Json::Value without = parse(build(dir / "t"));
  EXPECT_NE(without["build"], doc["build"]);
  fs::rename(dir / "t/one.bin", dir / "t/renamed.bin");
  const Json::Value renamed = parse(build(dir / "t"));
  EXPECT_NE(renamed["build"], without["build"]);
  EXPECT_EQ(renamed["files"][0]["chunks"], without["files"][0]["chunks"]);
}

TEST(ManifestBuild, RepeatedChunksCountOnceAsUnique) {
  TempDir dir;
  // Zero bytes have no boundary: 32 MiB of them is the same maximum chunk twice.
  writeTextFile(dir / "t/zeros", std::string(32 * kMiB, '\0'));
  ManifestStats stats;
  const Json::Value doc = parse(build(dir / "t", &stats));
  const Json::Value& chunks = doc["files"][0]["chunks"];
  ASSERT_EQ(chunks.size(), 2u);
  EXPECT_EQ(chunks[0]["h"], chunks[1]["h"]);
  EXPECT_EQ(stats.chunks, 2u);
  EXPECT_EQ(stats.uniqueChunks, 1u);
  EXPECT_EQ(stats.totalBytes, static_cast<int64_t>(32 * kMiB));
  EXPECT_EQ(stats.uniqueBytes, static_cast<int64_t>(16 * kMiB));

  // Two files with one content: identical chunk lists, counted once.
  writeSeededFile(dir / "u/a", 2 * kMiB + 3, 4);
  writeSeededFile(dir / "u/b", 2 * kMiB + 3, 4);
  const Json::Value two = parse(build(dir / "u", &stats));
  EXPECT_EQ(two["files"][0]["chunks"], two["files"][1]["chunks"]);
  EXPECT_EQ(stats.uniqueBytes * 2, stats.totalBytes);
  EXPECT_EQ(stats.uniqueChunks * 2, stats.chunks);
}

TEST(ManifestBuild, SingleFileAndSymlinkDecisions) {
  TempDir dir;
  writeSeededFile(dir / "t/real/data.bin", 5000, 5);
  ManifestStats stats;
  const Json::Value single = parse(build(dir / "t/real/data.bin", &stats));
  EXPECT_EQ(pathsOf(single), (std::vector<std::string>{"data.bin"}));
  EXPECT_EQ(single["files"][0]["size"].asUInt64(), 5000u);
  EXPECT_EQ(stats.files, 1u);

  // A link to a file inside is listed under its own name; a dangling link and
  // a link to a directory add nothing (the walk does not descend into it).
  fs::create_directories(dir / "t/links");
  fs::create_symlink("../real/data.bin", dir / "t/links/alias.bin");
  fs::create_symlink("missing", dir / "t/dangling");
  fs::create_directory_symlink("real", dir / "t/dirlink");
  const Json::Value doc = parse(build(dir / "t"));
  ASSERT_EQ(pathsOf(doc), (std::vector<std::string>{"links/alias.bin", "real/data.bin"}));
  EXPECT_EQ(doc["files"][0]["chunks"], doc["files"][1]["chunks"]);
  // The root itself may be given through a link.
  fs::create_directory_symlink("t", dir / "root-link");
  EXPECT_EQ(pathsOf(parse(build(dir / "root-link"))), pathsOf(doc));

  // A link leaving the root fails the build, also towards a sibling whose
  // name has the root's as a prefix.
  writeTextFile(dir / "outside.txt", "secret");
  fs::create_symlink(dir / "outside.txt", dir / "t/links/leak");
  expectBuildFailure(dir / "t", "link leaves the build: " + (dir / "t") + "/links/leak");
  fs::remove(dir / "t/links/leak");
  writeTextFile(dir / "t2/x", "x");
  fs::create_symlink("../../t2/x", dir / "t/links/prefix");
  expectBuildFailure(dir / "t", "link leaves the build: " + (dir / "t") + "/links/prefix");
}

TEST(ManifestBuild, NameThatIsNotUtf8FailsTheBuild) {
  // The JSON writer would replace the bad bytes, and the manifest would name
  // a file that does not exist.
  TempDir dir;
  writeTextFile(dir / "t/good", "g");
  for (const char* name : {"bad\xFF", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82"}) {
    writeTextFile(dir / "t/sub/" + name, "b");
    expectBuildFailure(dir / "t", "bad relative path for " + (dir / "t") + "/sub/" + name);
    fs::remove(dir / "t/sub/" + std::string(name));
  }
  EXPECT_EQ(pathsOf(parse(build(dir / "t"))), (std::vector<std::string>{"good"}));
}

TEST(ManifestBuild, MissingPathAndUnstatableFile) {
  TempDir dir;
  expectBuildFailure(dir / "nope", "path not found: " + (dir / "nope"));
  expectBuildFailure(dir / "nope/", "path not found: " + (dir / "nope/"));
  // A named pipe given as the build: its size cannot be read as a file's, and
  // nothing opens it (which would block). Inside a tree it contributes nothing.
  ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
  expectBuildFailure(dir / "pipe", "cannot stat " + (dir / "pipe"));
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
  if (geteuid() != 0) return expectBuildFailure(dir / "t", expected);
  // Root reads any directory, so the build runs in a child that has given up
  // root; the tree above the locked directory must be open to it.
  ASSERT_EQ(chmod(dir.str().c_str(), 0755), 0);
  ASSERT_EQ(chmod((dir / "t").c_str(), 0755), 0);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(fds[0]);
    std::string message = "SKIP";
    if (setgid(65534) == 0 && setuid(65534) == 0 &&
        !vorn::buildManifest(dir / "t", nullptr, &message).empty())
      message = "BUILT";
    _exit(write(fds[1], message.data(), message.size()) == static_cast<ssize_t>(message.size())
              ? 0
              : 1);
  }
  close(fds[1]);
  std::string message;
  char buffer[512];
  for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;)
    message.append(buffer, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (message == "SKIP") GTEST_SKIP() << "cannot drop root privileges here";
  EXPECT_EQ(message, expected);
}

// ---- reading ----

TEST(ManifestRead, BuiltManifestReadsBackAndUnknownMembersAreIgnored) {
  TempDir dir;
  writeSeededFile(dir / "t/x/y.bin", 2 * kMiB + 9, 1);
  writeTextFile(dir / "t/\xC3\xA9t\xC3\xA9.txt", "");
  Json::Value doc = parse(build(dir / "t"));
  doc["unknown"] = Json::Value(Json::arrayValue);
  doc["files"][0]["extra"] = "ignored";
  doc["files"][0]["chunks"][0]["x"] = 5;
  std::vector<ManifestFile> files(3);
  std::string err;
  ASSERT_TRUE(vorn::readManifestFiles(doc, &files, &err)) << err;
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[0].path, "x/y.bin");
  EXPECT_EQ(files[0].size, 2 * kMiB + 9);
  ASSERT_EQ(files[0].chunks.size(), doc["files"][0]["chunks"].size());
  EXPECT_EQ(files[0].chunks[0].id, doc["files"][0]["chunks"][0]["h"].asString());
  EXPECT_EQ(files[0].chunks[0].size, doc["files"][0]["chunks"][0]["n"].asUInt64());
  EXPECT_EQ(files[1].path, "\xC3\xA9t\xC3\xA9.txt");
  EXPECT_TRUE(files[1].chunks.empty());

  ASSERT_TRUE(vorn::readManifestFiles(parse(R"({"files":[{"path":"p","size":18446744073709551615,
      "chunks":[{"h":"a","n":18446744073709551615}]}]})"),
                                      &files, &err))
      << err;
  EXPECT_EQ(files[0].chunks[0].size, 18446744073709551615u) << "a huge consistent size is a number";
  ASSERT_TRUE(vorn::readManifestFiles(Json::Value(Json::objectValue), &files, &err));
  EXPECT_TRUE(files.empty()) << "a document without files reads as no files";
}

TEST(ManifestRead, RefusalsNameTheMemberAndKeepTheOutput) {
  // Entry cases stand second in the file list, after a good one.
  const std::string good = R"({"path":"ok","size":1,"chunks":[{"h":"a","n":1}]})";
  const std::string notUnsigned = " is not an unsigned integer";
  const struct {
    std::string doc, error;
  } cases[] = {
      {R"("text")", "the document is not a JSON object"},
      {"[]", "the document is not a JSON object"},
      {R"({"files":{}})", "files is not an array"},
      {R"({"files":"none"})", "files is not an array"},
      {"3", "files[1] is not an object"},
      {"null", "files[1] is not an object"},
      {R"({"path":5,"size":0,"chunks":[]})", "files[1].path is not a string"},
      {R"({"size":0,"chunks":[]})", "files[1].path is not a string"},
      {R"({"path":"p","size":"1","chunks":[]})", "files[1].size" + notUnsigned},
      {R"({"path":"p","size":-1,"chunks":[]})", "files[1].size" + notUnsigned},
      {R"({"path":"p","size":1.0,"chunks":[]})", "files[1].size" + notUnsigned},
      {R"({"path":"p","size":1e30,"chunks":[]})", "files[1].size" + notUnsigned},
      {R"({"path":"p","size":true,"chunks":[]})", "files[1].size" + notUnsigned},
      {R"({"path":"p","size":1,"chunks":{}})", "files[1].chunks is not an array"},
      {R"({"path":"p","size":1,"chunks":["abc"]})", "files[1].chunks[0] is not an object"},
      {R"({"path":"p","size":3,"chunks":[{"h":"a","n":1},{"h":[],"n":2}]})",
       "files[1].chunks[1].h is not a string"},
      {R"({"path":"p","size":3,"chunks":[{"h":"a","n":1},{"h":"a","n":"2"}]})",
       "files[1].chunks[1].n" + notUnsigned},
      {R"({"path":"p","size":1,"chunks":[{"h":"a","n":null}]})",
       "files[1].chunks[0].n" + notUnsigned},
      {R"({"path":"p","size":1,"chunks":[{"h":"a","n":-1}]})",
       "files[1].chunks[0].n" + notUnsigned},
      {R"({"path":"p","size":1,"chunks":[{"h":"a","n":1.5}]})",
       "files[1].chunks[0].n" + notUnsigned},
      {R"({"path":"p","size":1,"chunks":[{"h":"a","n":99999999999999999999999}]})",
       "files[1].chunks[0].n" + notUnsigned},
      {R"({"path":"p","size":31,"chunks":[{"h":"a","n":10},{"h":"a","n":20}]})",
       "files[1].chunks add up to 30 bytes, not its size 31"},
      {R"({"path":"p","size":0,"chunks":[{"h":"a","n":9223372036854775808},
          {"h":"a","n":9223372036854775808}]})",
       "files[1].chunks add up to more than 2^64 bytes"},
      {R"({"path":"p","size":5,"chunks":[{"h":"a","n":18446744073709551615},{"h":"a","n":6}]})",
       "files[1].chunks add up to more than 2^64 bytes"},
      {R"({"path":"p","size":18446744073709551615,"chunks":[]})",
       "files[1].chunks add up to 0 bytes, not its size 18446744073709551615"},
  };
  for (const auto& c : cases) {
    const std::string doc =
        c.error.rfind("files[", 0) == 0 ? R"({"files":[)" + good + "," + c.doc + "]}" : c.doc;
    std::vector<ManifestFile> files(1);
    files[0].path = "kept";
    std::string err;
    EXPECT_FALSE(vorn::readManifestFiles(parse(doc), &files, &err)) << doc;
    EXPECT_EQ(err, "manifest: " + c.error) << doc;
    ASSERT_EQ(files.size(), 1u) << "output replaced on failure: " << doc;
    EXPECT_EQ(files[0].path, "kept");
  }
}

// ---- paths and text ----

TEST(ManifestPath, SafeRelativePaths) {
  for (const char* ok :
       {"a", "a/b", "a/b.c", "..a", "a..", "a/...", ".hidden", "a b/c", "\xC3\xA9"})
    EXPECT_TRUE(vorn::isSafeRelativePath(ok)) << ok;
  for (const char* bad : {"", "/", "/etc/passwd", "..", "../x", "a/..", "a/../b", ".", "./a", "a/.",
                          "a//b", "a/", "a\\b", "..\\x"})
    EXPECT_FALSE(vorn::isSafeRelativePath(bad)) << bad;
  EXPECT_FALSE(vorn::isSafeRelativePath(std::string("a\0b", 3)));
}

TEST(ManifestText, TwoSpaceIndentationOtherwiseDefaults) {
  Json::Value doc(Json::objectValue);
  doc["z"] = 1;
  doc["a"] = "x";
  EXPECT_EQ(vorn::writeJsonText(doc), "{\n  \"a\" : \"x\",\n  \"z\" : 1\n}");
}
