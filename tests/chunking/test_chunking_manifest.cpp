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
#include <optional>

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

// The five counts of the statistics, from the struct or the document.
std::vector<uint64_t> countsOf(const ManifestStats& s) {
  return {s.files, s.chunks, s.uniqueChunks, static_cast<uint64_t>(s.totalBytes),
          static_cast<uint64_t>(s.uniqueBytes)};
}
std::vector<uint64_t> countsOf(const Json::Value& doc) {
  std::vector<uint64_t> counts;
  for (const char* m : {"files", "chunks", "unique_chunks", "total_bytes", "unique_bytes"})
    counts.push_back(doc["stats"][m].asUInt64());
  return counts;
}

// Expects buildManifest to fail with exactly this message, statistics untouched.
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
  for (const char* name : {"abc", "a.txt", "b", "\xEF\xBC\xA1", "z", "ab/c", "a-b",
                           "\xF0\x9F\x98\x80", "\xC3\xA9", "B", "a/b0", "a/b/x", "q\"t\x01"})
    writeTextFile(root + "/" + name, name);
  fs::create_directories(root + "/empty/dir");
  const std::string text = build(root);
  const Json::Value doc = parse(text);
  // U+FF21 sorts after U+1F600: its UTF-16 unit is above the surrogates.
  EXPECT_EQ(pathsOf(doc), (std::vector<std::string>{"B", "a/b/x", "a/b0", "a-b", "a.txt", "ab/c",
                                                    "abc", "b", "q\"t\x01", "z", "\xC3\xA9",
                                                    "\xF0\x9F\x98\x80", "\xEF\xBC\xA1"}));
  EXPECT_EQ(vorn::writeJsonText(doc), text) << "the stream writer's text of the document";
  EXPECT_EQ(build(root + "/"), text) << "a trailing separator changes nothing";
}

TEST(ManifestBuild, EmptyDirectoryIsTheExactEmptyDocument) {
  TempDir dir;
  fs::create_directories(dir / "empty/sub");
  ManifestStats stats;
  const std::string emptyId = vorn::blake3Hex(std::string());
  EXPECT_EQ(build(dir / "empty", &stats),
            "{\n  \"build\" : \"" + emptyId +
                "\",\n  \"chunker\" : \n  {\n    \"algo\" : \"fastcdc-gear\",\n    \"avg\" : "
                "4194304,\n    \"max\" : 16777216,\n    \"min\" : 1048576\n  },\n  \"files\" : "
                "[],\n  \"schema\" : 1,\n  \"stats\" : \n  {\n    \"chunks\" : 0,\n    \"files\" "
                ": 0,\n    \"total_bytes\" : 0,\n    \"unique_bytes\" : 0,\n    "
                "\"unique_chunks\" : 0\n  }\n}");
  EXPECT_EQ(stats.build, emptyId);
  EXPECT_EQ(countsOf(stats), std::vector<uint64_t>(5, 0));
}

// The exact text of a one-file build, and what --keep-mode adds to it: one
// member on the executable file and nothing else, build id included.
TEST(ManifestBuild, KeepModeAddsOnlyTheExecutableMember) {
  TempDir dir;
  writeTextFile(dir / "t/run", "hi\n");
  writeTextFile(dir / "t/zz.txt", "");
  fs::permissions(dir / "t/run", fs::perms(0755), fs::perm_options::replace);
  fs::permissions(dir / "t/zz.txt", fs::perms(0644), fs::perm_options::replace);
  const std::string id = vorn::blake3Hex("hi\n");
  const std::string buildId = vorn::blake3Hex("run" + std::string(1, '\0') + "3\n" + id +
                                              ":3\nzz.txt" + std::string(1, '\0') + "0\n");
  const auto text = [&](const std::string& member) {
    return "{\n  \"build\" : \"" + buildId +
           "\",\n  \"chunker\" : \n  {\n    \"algo\" : \"fastcdc-gear\",\n    \"avg\" : "
           "4194304,\n    \"max\" : 16777216,\n    \"min\" : 1048576\n  },\n  \"files\" : \n  [\n"
           "    {\n      \"chunks\" : \n      [\n        {\n          \"h\" : \"" +
           id + "\",\n          \"n\" : 3\n        }\n      ],\n" + member +
           "      \"path\" : \"run\",\n      \"size\" : 3\n    },\n"
           "    {\n      \"chunks\" : [],\n      \"path\" : \"zz.txt\",\n      \"size\" : 0\n    "
           "}\n"
           "  ],\n  \"schema\" : 1,\n  \"stats\" : \n  {\n    \"chunks\" : 1,\n    \"files\" "
           ": 2,\n    \"total_bytes\" : 3,\n    \"unique_bytes\" : 3,\n    "
           "\"unique_chunks\" : 1\n  }\n}";
  };
  EXPECT_EQ(build(dir / "t"), text(""));
  std::string err;
  vorn::BuildOptions keep;
  keep.keepMode = true;
  ManifestStats stats;
  EXPECT_EQ(vorn::buildManifest(dir / "t", &stats, &err, keep),
            text("      \"executable\" : true,\n"))
      << err;
  EXPECT_EQ(stats.build, buildId);
  // Only the owner's bit counts.
  fs::permissions(dir / "t/run", fs::perms(0655), fs::perm_options::replace);
  EXPECT_EQ(vorn::buildManifest(dir / "t", nullptr, &err, keep), text(""));
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
  const uint64_t chunks = stats.chunks, bytes = 12 * kMiB + 22;
  EXPECT_GE(chunks, 3u);
  EXPECT_EQ(countsOf(stats), (std::vector<uint64_t>{3, chunks, chunks, bytes, bytes}));
  EXPECT_EQ(countsOf(doc), countsOf(stats));

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

TEST(ManifestBuild, RepeatedChunkCountsOnceAsUnique) {
  TempDir dir;
  // Zero bytes have no boundary: 32 MiB of them is the same maximum chunk twice.
  writeTextFile(dir / "t/zeros", std::string(32 * kMiB, '\0'));
  ManifestStats stats;
  const Json::Value doc = parse(build(dir / "t", &stats));
  const Json::Value& chunks = doc["files"][0]["chunks"];
  ASSERT_EQ(chunks.size(), 2u);
  EXPECT_EQ(chunks[0]["h"], chunks[1]["h"]);
  EXPECT_EQ(countsOf(stats), (std::vector<uint64_t>{1, 2, 1, 32 * kMiB, 16 * kMiB}));
}

TEST(ManifestBuild, SingleFileAndSymlinkDecisions) {
  TempDir dir;
  writeSeededFile(dir / "t/real/data.bin", 5000, 5);
  const Json::Value single = parse(build(dir / "t/real/data.bin"));
  EXPECT_EQ(pathsOf(single), (std::vector<std::string>{"data.bin"}));
  EXPECT_EQ(single["files"][0]["size"].asUInt64(), 5000u);

  // A link to a file inside is listed under its own name; a dangling link and
  // a link to a directory add nothing (the walk does not descend into it).
  fs::create_directories(dir / "t/links");
  fs::create_symlink("../real/data.bin", dir / "t/links/alias.bin");
  fs::create_symlink("missing", dir / "t/dangling");
  fs::create_directory_symlink("real", dir / "t/dirlink");
  const Json::Value doc = parse(build(dir / "t"));
  ASSERT_EQ(pathsOf(doc), (std::vector<std::string>{"links/alias.bin", "real/data.bin"}));
  EXPECT_EQ(doc["files"][0]["chunks"], doc["files"][1]["chunks"]);
  fs::create_directory_symlink("t", dir / "root-link");
  EXPECT_EQ(pathsOf(parse(build(dir / "root-link"))), pathsOf(doc)) << "the root may be a link";

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

TEST(ManifestBuild, BadNamesMissingPathsAndPipes) {
  // A name that is not UTF-8: the JSON writer would replace the bad bytes and
  // the manifest would name a file that does not exist.
  TempDir dir;
  writeTextFile(dir / "t/good", "g");
  for (const char* name : {"bad\xFF", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82"}) {
    writeTextFile(dir / "t/sub/" + name, "b");
    expectBuildFailure(dir / "t", "bad relative path for " + (dir / "t") + "/sub/" + name);
    fs::remove(dir / "t/sub/" + std::string(name));
  }
  expectBuildFailure(dir / "nope", "path not found: " + (dir / "nope"));
  expectBuildFailure(dir / "nope/", "path not found: " + (dir / "nope/"));
  // A named pipe given as the build cannot be sized and is never opened
  // (which would block); inside a tree it contributes nothing.
  ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
  expectBuildFailure(dir / "pipe", "cannot stat " + (dir / "pipe"));
  ASSERT_EQ(mkfifo((dir / "t/pipe").c_str(), 0600), 0);
  EXPECT_EQ(pathsOf(parse(build(dir / "t"))), (std::vector<std::string>{"good"}));
}

TEST(ManifestBuild, UnreadableSubdirectoryFailsTheWholeBuild) {
  TempDir dir;
  writeTextFile(dir / "t/a.txt", "a");
  writeTextFile(dir / "t/locked/b.txt", "b");
  ASSERT_EQ(chmod((dir / "t/locked").c_str(), 0), 0);
  const std::string expected = "walk error under " + (dir / "t");
  if (geteuid() != 0) return expectBuildFailure(dir / "t", expected);
  // Root reads any directory: build in a child turned "nobody", which
  // reports its error (or SKIP, or BUILT) through a pipe.
  ASSERT_EQ(chmod(dir.str().c_str(), 0755) | chmod((dir / "t").c_str(), 0755), 0);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    std::string m = "SKIP";
    if (setgid(65534) == 0 && setuid(65534) == 0)
      m = vorn::buildManifest(dir / "t", nullptr, &m).empty() ? m : "BUILT";
    _exit(write(fds[1], m.data(), m.size()) > 0 ? 0 : 1);
  }
  close(fds[1]);
  char buffer[512];
  const ssize_t n = read(fds[0], buffer, sizeof buffer);
  close(fds[0]);
  waitpid(pid, nullptr, 0);
  const std::string message(buffer, n > 0 ? static_cast<size_t>(n) : 0);
  if (message == "SKIP") GTEST_SKIP() << "cannot drop root privileges here";
  EXPECT_EQ(message, expected);
}

// ---- reading ----

TEST(ManifestRead, BuiltManifestReadsBackAndUnknownMembersAreIgnored) {
  TempDir dir;
  writeSeededFile(dir / "t/x/y.bin", 2 * kMiB + 9, 1);
  writeTextFile(dir / "t/\xC3\xA9t\xC3\xA9.txt", "");
  Json::Value doc = parse(build(dir / "t"));
  const Json::Value chunk = doc["files"][0]["chunks"][0];
  doc["unknown"] = Json::Value(Json::arrayValue);
  doc["files"][0]["extra"] = "ignored";
  doc["files"][0]["chunks"][0]["x"] = 5;
  std::vector<ManifestFile> files(3);
  std::string err;
  ASSERT_TRUE(vorn::readManifestFiles(doc, &files, &err)) << err;
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[0].path + " " + std::to_string(files[0].size), "x/y.bin 2097161");
  ASSERT_EQ(files[0].chunks.size(), doc["files"][0]["chunks"].size());
  EXPECT_EQ(files[0].chunks[0].id + " " + std::to_string(files[0].chunks[0].size),
            chunk["h"].asString() + " " + std::to_string(chunk["n"].asUInt64()));
  EXPECT_EQ(files[1].path, "\xC3\xA9t\xC3\xA9.txt");
  EXPECT_TRUE(files[1].chunks.empty());
  EXPECT_FALSE(files[0].executable.has_value());
  EXPECT_FALSE(vorn::carriesExecutable(files));
  doc["files"][0]["executable"] = true;
  doc["files"][1]["executable"] = false;
  ASSERT_TRUE(vorn::readManifestFiles(doc, &files, &err)) << err;
  EXPECT_EQ(files[0].executable, std::optional<bool>(true));
  EXPECT_EQ(files[1].executable, std::optional<bool>(false));
  EXPECT_TRUE(vorn::carriesExecutable(files));
  const std::string huge = "18446744073709551615";
  ASSERT_TRUE(vorn::readManifestFiles(parse(R"({"files":[{"path":"p","size":)" + huge +
                                            R"(,"chunks":[{"h":"a","n":)" + huge + "}]}]}"),
                                      &files, &err))
      << err;
  EXPECT_EQ(files[0].chunks[0].size, UINT64_MAX) << "a huge consistent size is a number";
  ASSERT_TRUE(vorn::readManifestFiles(Json::Value(Json::objectValue), &files, &err));
  EXPECT_TRUE(files.empty()) << "a document without files reads as no files";
}

TEST(ManifestRead, RefusalsNameTheMemberAndKeepTheOutput) {
  // Entry cases (those whose error names files[1]) stand second in the list.
  std::vector<std::pair<std::string, std::string>> cases = {
      {R"("text")", "the document is not a JSON object"},
      {R"({"files":{}})", "files is not an array"},
      {"null", "files[1] is not an object"},
      {R"({"path":5,"size":0,"chunks":[]})", "files[1].path is not a string"},
      {R"({"size":0,"chunks":[]})", "files[1].path is not a string"},
      {R"({"path":"p","size":1,"chunks":{}})", "files[1].chunks is not an array"},
      {R"({"path":"p","size":1,"chunks":["abc"]})", "files[1].chunks[0] is not an object"},
      {R"({"path":"p","size":3,"chunks":[{"h":"a","n":1},{"h":[],"n":2}]})",
       "files[1].chunks[1].h is not a string"},
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
  for (const std::string v :
       {"\"1\"", "-1", "1.0", "1.5", "1e30", "true", "null", "99999999999999999999999"}) {
    cases.push_back({R"({"path":"p","size":)" + v + R"(,"chunks":[]})",
                     "files[1].size is not an unsigned integer"});
    cases.push_back({R"({"path":"p","size":1,"chunks":[{"h":"a","n":)" + v + "}]}",
                     "files[1].chunks[0].n is not an unsigned integer"});
  }
  for (const std::string v : {"\"true\"", "1", "null", "[]", "{}"}) {
    cases.push_back({R"({"path":"p","size":0,"chunks":[],"executable":)" + v + "}",
                     "files[1].executable is not a boolean"});
  }
  const std::string good = R"({"path":"ok","size":1,"chunks":[{"h":"a","n":1}]})";
  for (const auto& [entry, error] : cases) {
    const std::string doc =
        error.rfind("files[", 0) == 0 ? R"({"files":[)" + good + "," + entry + "]}" : entry;
    std::vector<ManifestFile> files(1);
    files[0].path = "kept";
    std::string err;
    EXPECT_FALSE(vorn::readManifestFiles(parse(doc), &files, &err)) << doc;
    EXPECT_EQ(err, "manifest: " + error) << doc;
    ASSERT_EQ(files.size(), 1u) << "output replaced on failure: " << doc;
    EXPECT_EQ(files[0].path, "kept");
  }
}

// ---- paths ----

TEST(ManifestPath, SafeRelativePaths) {
  for (const char* ok :
       {"a", "a/b", "a/b.c", "..a", "a..", "a/...", ".hidden", "a b/c", "\xC3\xA9"})
    EXPECT_TRUE(vorn::isSafeRelativePath(ok)) << ok;
  for (const std::string& bad :
       std::vector<std::string>{"", "/", "/etc/passwd", "..", "../x", "a/..", "a/../b", ".", "./a",
                                "a/.", "a//b", "a/", "a\\b", "..\\x", std::string("a\0b", 3)})
    EXPECT_FALSE(vorn::isSafeRelativePath(bad)) << bad;
}
