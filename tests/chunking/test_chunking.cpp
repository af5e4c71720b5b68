// The content-defined chunker and the manifest: cut points, the streaming
// file loop, building a manifest from a tree, and reading one back strictly.

#include "chunking/chunker.hpp"
#include "chunking/manifest.hpp"
#include "chunking/manifest_builder.hpp"
#include "util/digest.hpp"

#include "support/files.hpp"

#include <gtest/gtest.h>
#include <json/reader.h>
#include <json/value.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <vector>

namespace {

namespace fs = std::filesystem;
using vorn::ChunkParams;
using vorn_test::seededBytes;
using vorn_test::TempDir;
using vorn_test::writeTextFile;

constexpr size_t kMiB = 1048576;
const ChunkParams kSmall{4096, 16384, 65536};

struct Cut {
  uint64_t offset, size;
  std::string id;
  bool operator==(const Cut& o) const { return offset == o.offset && size == o.size && id == o.id; }
};

size_t cutAt(const std::string& bytes, size_t start, size_t end, const ChunkParams& p) {
  uint64_t maskS = 0, maskL = 0;
  vorn::chunkMasks(p.avg, &maskS, &maskL);
  return vorn::findCutPoint(reinterpret_cast<const unsigned char*>(bytes.data()), start, end, p,
                            maskS, maskL);
}

// The chunks of bytes held whole in memory, cut by findCutPoint alone.
std::vector<Cut> cutInMemory(const std::string& bytes, const ChunkParams& p) {
  std::vector<Cut> cuts;
  for (size_t start = 0, end; start < bytes.size(); start = end) {
    end = cutAt(bytes, start, bytes.size(), p);
    cuts.push_back({start, end - start, vorn::blake3Hex(bytes.substr(start, end - start))});
  }
  return cuts;
}

std::vector<uint64_t> sizes(const std::vector<Cut>& cuts) {
  std::vector<uint64_t> out;
  for (const Cut& c : cuts) out.push_back(c.size);
  return out;
}

// Golden cuts from an independent implementation of the cut rules: a change
// here would re-cut every published build.
TEST(Chunker, GoldenCutsLimitsAndStartOffsets) {
  EXPECT_EQ(sizes(cutInMemory(seededBytes(24 * kMiB + 333, 42), ChunkParams{})),
            (std::vector<uint64_t>{4456309, 2837466, 4823563, 6304238, 6723560, 21021}));
  EXPECT_EQ(sizes(cutInMemory(seededBytes(kMiB, 5), kSmall)),
            (std::vector<uint64_t>{
                16616, 17863, 17501, 8004,  24989, 19446, 18371, 5520,  42104, 19829, 18703,
                18619, 17861, 21882, 20651, 12713, 35862, 19086, 17400, 16992, 16389, 19534,
                22770, 19885, 20296, 19810, 17073, 30485, 16488, 26189, 17639, 16932, 25051,
                22696, 16639, 18582, 20509, 18179, 15601, 20985, 17518, 11874, 21799, 21742,
                18494, 16745, 9756,  5179,  20254, 22176, 21340, 22340, 20191, 13948, 13476}));
  const ChunkParams p;
  const std::string bytes = seededBytes(3 * kMiB, 9);
  EXPECT_EQ(cutAt(bytes, 0, 0, p), 0u);
  EXPECT_EQ(cutAt(bytes, 100, 100 + kMiB, p), 100 + kMiB) << "a rest up to min is one chunk";
  const std::string shifted = "xyz" + bytes;
  EXPECT_EQ(cutAt(shifted, 3, shifted.size(), p) - 3, cutAt(bytes, 0, bytes.size(), p))
      << "bytes before the start never influence the cut";
  // Constant input has no boundary: the maximum cuts.
  const std::string zeros(p.max + 5, '\0');
  EXPECT_EQ(cutAt(zeros, 0, zeros.size(), p), p.max);
  EXPECT_EQ(cutAt(zeros, 5, zeros.size(), p), zeros.size());
}

TEST(Chunker, StreamingCutsEqualCuttingTheWholeFileInMemory) {
  // Lengths off the 1 MiB read block, maximum cuts meeting block edges, many
  // chunks per block, and seeded islands across every block edge under tiny
  // masks, where a search that lost its fingerprint at a refill cuts differently.
  const ChunkParams def, tiny{1, 16, 4096};
  const std::string mixed =
      seededBytes(3 * kMiB + 4321, 11) + std::string(200000, 'a') + seededBytes(99999, 12);
  std::string islands(24 * kMiB + 100, '\0');
  for (size_t edge = kMiB; edge < islands.size(); edge += kMiB)
    islands.replace(edge - 32, 64, seededBytes(64, edge));
  const std::pair<std::string, ChunkParams> cases[] = {
      {"", def},
      {std::string(16 * kMiB + 1, '\0'), def},
      {seededBytes(5 * kMiB + 1, 1) + std::string(17 * kMiB + 12345, '\0') + seededBytes(99, 2),
       def},
      {mixed, kSmall},
      {islands, tiny}};
  TempDir dir;
  for (const auto& [bytes, p] : cases) {
    writeTextFile(dir / "in", bytes);
    std::vector<Cut> streamed;
    std::string err;
    EXPECT_TRUE(vorn::chunkFile(
        dir / "in", p,
        [&](const vorn::Chunk& c) {
          streamed.push_back({c.offset, c.size, c.id});
        },
        &err))
        << err;
    EXPECT_EQ(streamed, cutInMemory(bytes, p)) << bytes.size();
  }
  int calls = 0;
  std::string err;
  EXPECT_FALSE(vorn::chunkFile(
      dir / "no/such", def, [&](const vorn::Chunk&) { ++calls; }, &err));
  EXPECT_EQ(err, "cannot open " + (dir / "no/such"));
  // A directory opens for reading on POSIX systems, but every read fails.
  EXPECT_FALSE(vorn::chunkFile(
      dir.str(), def, [&](const vorn::Chunk&) { ++calls; }, &err));
  EXPECT_EQ(calls, 0);
}

std::string build(const std::string& path, vorn::ManifestStats* stats = nullptr,
                  bool keepMode = false, bool keepTree = false) {
  std::string err;
  vorn::BuildOptions options;
  options.keepMode = keepMode;
  options.keepTree = keepTree;
  const std::string text = vorn::buildManifest(path, stats, &err, options);
  EXPECT_FALSE(text.empty()) << err;
  return text;
}

std::vector<std::string> pathsOf(const std::string& text) {
  Json::Value doc;
  std::unique_ptr<Json::CharReader>(Json::CharReaderBuilder().newCharReader())
      ->parse(text.data(), text.data() + text.size(), &doc, nullptr);
  std::vector<std::string> paths;
  for (const Json::Value& f : doc["files"]) paths.push_back(f["path"].asString());
  return paths;
}

// "files; links; directories" of a manifest, a link as "path -> target".
std::string treeOf(const std::string& text) {
  Json::Value doc;
  std::unique_ptr<Json::CharReader>(Json::CharReaderBuilder().newCharReader())
      ->parse(text.data(), text.data() + text.size(), &doc, nullptr);
  std::string out;
  for (const char* member : {"files", "links", "directories"}) {
    for (const Json::Value& e : doc[member])
      out += e["path"].asString() + (e["target"] ? " -> " + e["target"].asString() : "") + ", ";
    out += "; ";
  }
  return out;
}

void expectBuildFailure(const std::string& path, const std::string& message,
                        const vorn::BuildOptions& options = {}) {
  vorn::ManifestStats stats;
  stats.build = "untouched";
  std::string err;
  EXPECT_EQ(vorn::buildManifest(path, &stats, &err, options), "");
  EXPECT_EQ(err, message);
  EXPECT_EQ(stats.build, "untouched");
}

// The exact text of a two-file build, and what keeping modes adds: one member
// on the executable file (the owner's bit) and nothing else, build id included;
// then the order of paths.
TEST(ManifestBuild, ExactTextBuildIdTheExecutableMemberAndOrder) {
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
           "      \"path\" : \"run\",\n      \"size\" : 3\n    },\n    {\n      \"chunks\" : [],\n"
           "      \"path\" : \"zz.txt\",\n      \"size\" : 0\n    }\n  ],\n  \"schema\" : 1,\n"
           "  \"stats\" : \n  {\n    \"chunks\" : 1,\n    \"files\" : 2,\n    \"total_bytes\" : "
           "3,\n"
           "    \"unique_bytes\" : 3,\n    \"unique_chunks\" : 1\n  }\n}";
  };
  vorn::ManifestStats stats;
  EXPECT_EQ(build(dir / "t", &stats), text(""));
  EXPECT_EQ(stats.build, buildId);
  EXPECT_EQ(build(dir / "t", &stats, true), text("      \"executable\" : true,\n"));
  EXPECT_EQ(stats.build, buildId);
  EXPECT_EQ(build(dir / "t", nullptr, false, true), text("      \"executable\" : true,\n"));
  fs::permissions(dir / "t/run", fs::perms(0655), fs::perm_options::replace);
  EXPECT_EQ(build(dir / "t", nullptr, true), text(""));
  EXPECT_EQ(build(dir / "t", nullptr, false, true), text("")) << "no link, empty directory or x";
  EXPECT_EQ(build(dir / "t/"), text("")) << "a trailing separator changes nothing";
  EXPECT_EQ(pathsOf(build(dir / "t/run")), std::vector<std::string>{"run"}) << "a single file";
  for (const char* name : {"abc", "a.txt", "b", "\xEF\xBC\xA1", "ab/c", "a-b", "\xF0\x9F\x98\x80",
                           "\xC3\xA9", "B", "a/b0", "a/b/x"})
    writeTextFile(dir / "o/" + name, name);
  fs::create_directories(dir / "o/empty/dir");
  // Component-wise by UTF-16 code units: U+FF21 sorts after U+1F600's surrogates.
  EXPECT_EQ(pathsOf(build(dir / "o")),
            (std::vector<std::string>{"B", "a/b/x", "a/b0", "a-b", "a.txt", "ab/c", "abc", "b",
                                      "\xC3\xA9", "\xF0\x9F\x98\x80", "\xEF\xBC\xA1"}));
}

TEST(ManifestBuild, LinksBadNamesPipesAndUnreadableDirectories) {
  TempDir dir;
  vorn_test::writeSeededFile(dir / "t/real/data.bin", 5000, 5);
  // A link to a file inside is listed under its own name; dangling links and
  // links to directories add nothing; the root may be a link.
  fs::create_directories(dir / "t/links");
  fs::create_symlink("../real/data.bin", dir / "t/links/alias.bin");
  fs::create_symlink("missing", dir / "t/dangling");
  fs::create_directory_symlink("real", dir / "t/dirlink");
  fs::create_directory_symlink("t", dir / "root-link");
  EXPECT_EQ(pathsOf(build(dir / "root-link")),
            (std::vector<std::string>{"links/alias.bin", "real/data.bin"}));
  // A link leaving the root fails, also towards a sibling named like the root.
  writeTextFile(dir / "t2/x", "x");
  fs::create_symlink("../../t2/x", dir / "t/links/prefix");
  expectBuildFailure(dir / "t", "link leaves the build: " + (dir / "t") + "/links/prefix");
  // Kept as a tree, every link is data, never followed; of the directories
  // only those with nothing below them are listed; a placeholder-like name is
  // just a name.
  fs::create_directories(dir / "t/e/m/pty");
  fs::create_directories(dir / "t/files placeholder");
  EXPECT_EQ(treeOf(build(dir / "t", nullptr, false, true)),
            "real/data.bin, ; dangling -> missing, dirlink -> real, links/alias.bin -> "
            "../real/data.bin, links/prefix -> ../../t2/x, ; e/m/pty, files placeholder, ; ");
  fs::create_symlink("bad\xFF", dir / "t/links/bad");
  expectBuildFailure(dir / "t", "bad link target for " + (dir / "t") + "/links/bad", {false, true});
  fs::remove(dir / "t/links/prefix");
  // Names that are not UTF-8 would be rewritten by the JSON writer.
  for (const char* name : {"bad\xFF", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82"}) {
    writeTextFile(dir / "t/sub/" + name, "b");
    expectBuildFailure(dir / "t", "bad relative path for " + (dir / "t") + "/sub/" + name);
    fs::remove(dir / "t/sub/" + std::string(name));
  }
  expectBuildFailure(dir / "nope", "path not found: " + (dir / "nope"));
  // A pipe given as the build is never opened (which would block); inside a tree it adds nothing.
  ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600) | mkfifo((dir / "t/pipe").c_str(), 0600), 0);
  expectBuildFailure(dir / "pipe", "cannot stat " + (dir / "pipe"));
  EXPECT_EQ(pathsOf(build(dir / "t")).size(), 2u);
  // An unreadable directory fails the whole build. Root reads anything, so
  // the build runs in a child turned "nobody" that reports through a pipe.
  ASSERT_EQ(chmod((dir / "t/real").c_str(), 0) | chmod(dir.str().c_str(), 0755), 0);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  if (fork() == 0) {
    std::string m = "SKIP";
    if (geteuid() != 0 || (setgid(65534) == 0 && setuid(65534) == 0))
      m = vorn::buildManifest(dir / "t", nullptr, &m).empty() ? m : "BUILT";
    _exit(write(fds[1], m.data(), m.size()) > 0 ? 0 : 1);
  }
  close(fds[1]);
  char buffer[512];
  const ssize_t n = read(fds[0], buffer, sizeof buffer);
  close(fds[0]);
  wait(nullptr);
  const std::string message(buffer, n > 0 ? static_cast<size_t>(n) : 0);
  if (message == "SKIP") GTEST_SKIP() << "cannot drop root privileges here";
  EXPECT_EQ(message, "walk error under " + (dir / "t"));
}

TEST(ManifestPath, SafeRelativePaths) {
  for (const char* ok :
       {"a", "a/b", "a/b.c", "..a", "a..", "a/...", ".hidden", "a b/c", "\xC3\xA9"})
    EXPECT_TRUE(vorn::isSafeRelativePath(ok)) << ok;
  for (const std::string& bad : std::vector<std::string>{
           "", "/", "/etc/passwd", "..", "../x", "a/..", "a/../b", ".", "./a", "a/.", "a//b", "a/",
           "a\\b", "..\\x", "c:x", std::string("a\0b", 3)})
    EXPECT_FALSE(vorn::isSafeRelativePath(bad)) << bad;
}

}  // namespace
