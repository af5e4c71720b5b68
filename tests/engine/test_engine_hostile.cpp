// Hostile manifests fed to every engine consumer of a stored manifest (plan,
// sync, verify, gc, sign-sync): each is refused with one line or handled
// correctly, nothing is written outside the destination, and neither a size
// claim nor an entry count drives the work before it is checked.

#include "engine/garbage_collection.hpp"
#include "engine/sync.hpp"
#include "engine/sync_descriptor.hpp"
#include "engine/verify.hpp"
#include "util/digest.hpp"

#include "support/engine_fixtures.hpp"
#include "support/memory_store.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>
#include <json/writer.h>

#include <filesystem>
#include <functional>
#include <map>

namespace {

namespace fs = std::filesystem;
using vorn_test::slurp;
using vorn_test::writeTextFile;

const std::string kChannel = "hostile";
const std::string kContent = "payload";
const std::string kId = vorn::blake3Hex(kContent);
const vorn::S3Config kConfig{"http://127.0.0.1:9/", "us-east-1", "b", "k", "s"};

// The manifest text without indentation: large documents stay small.
std::string compactText(const Json::Value& doc) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  return Json::writeString(builder, doc);
}

Json::Value chunkRef(const std::string& id, uint64_t n) {
  Json::Value ref(Json::objectValue);
  ref["h"] = id;
  ref["n"] = Json::UInt64(n);
  return ref;
}

Json::Value fileEntry(const std::string& path) {
  Json::Value file(Json::objectValue);
  file["path"] = path;
  file["size"] = Json::UInt64(kContent.size());
  file["chunks"].append(chunkRef(kId, kContent.size()));
  return file;
}

// A valid manifest of the given paths, each holding kContent.
Json::Value manifestOf(const std::vector<std::string>& paths) {
  Json::Value doc(Json::objectValue);
  doc["schema"] = 1;
  doc["channel"] = kChannel;
  doc["build"] = std::string(64, '0');
  doc["files"] = Json::Value(Json::arrayValue);
  for (const std::string& path : paths) doc["files"].append(fileEntry(path));
  return doc;
}

struct Outcome {
  bool ok = false;
  std::string err;
};

class Hostile : public ::testing::Test {
 protected:
  vorn_test::MemoryStore store;
  vorn_test::TempDir tmp;

  // The destination sits beside a sibling directory; neither the sibling nor
  // anything else outside the destination may change.
  std::string dest() const { return tmp / "root/dest"; }

  void SetUp() override {
    writeTextFile(tmp / "root/sibling/keep.txt", "keep");
    store.objects[store.chunkKey(kId)] = kContent;
  }

  void put(const std::string& text) { store.objects[vorn::channelManifestKey(kChannel)] = text; }
  void put(const Json::Value& doc) { put(compactText(doc)); }

  // Every entry under the temporary directory outside the destination.
  std::map<std::string, std::string> outside() const {
    std::map<std::string, std::string> seen;
    for (auto it = fs::recursive_directory_iterator(tmp.path());
         it != fs::recursive_directory_iterator(); ++it) {
      const std::string path = it->path().string();
      if (path.rfind(dest(), 0) == 0) continue;
      seen[path] = it->is_regular_file() ? slurp(path) : "<dir>";
    }
    return seen;
  }

  // Runs each consumer on the stored manifest. Verify's bad files count as a
  // failure named by their reasons.
  std::map<std::string, Outcome> runAll() {
    std::map<std::string, Outcome> out;
    vorn::SyncPlan plan;
    out["plan"].ok = vorn::planSync(store, kChannel, dest(), "", "", "", &plan, &out["plan"].err);
    out["sync"].ok = vorn::syncChannel(store, kChannel, dest(), "", "", "", {}, nullptr,
                                       &out["sync"].err, {}, 0, {}, "");
    for (const bool quick : {false, true}) {
      Outcome& o = out[quick ? "quick" : "verify"];
      vorn::VerifyStats stats;
      auto bad = [&](const std::string&, const std::string& reason) { o.err += reason + ";"; };
      o.ok = vorn::verifyChannel(store, kChannel, dest(), "", "", "", bad, &stats, &o.err, {},
                                 quick) &&
             o.err.empty();
    }
    std::string descriptor;
    out["sign-sync"].ok =
        vorn::makeSyncDescriptor(store, kConfig, kChannel, 60, &descriptor, &out["sign-sync"].err);
    if (out["sign-sync"].ok) {
      EXPECT_EQ(descriptor.find(".."), std::string::npos) << descriptor;
    }
    out["gc"].ok = vorn::collectGarbage(store, true, {}, nullptr, &out["gc"].err);
    return out;
  }

  // Install consumers expect `install`, store consumers `stored`; "" means
  // success, anything else a failure whose one-line message contains it.
  void expectOutcomes(const std::string& install, const std::string& stored) {
    const auto before = outside();
    const auto outcomes = runAll();
    for (const auto& [name, o] : outcomes) {
      SCOPED_TRACE(name);
      const std::string& expected = (name == "gc" || name == "sign-sync") ? stored : install;
      EXPECT_EQ(o.ok, expected.empty()) << o.err;
      if (!expected.empty()) {
        EXPECT_NE(o.err.find(expected), std::string::npos) << o.err;
      }
      EXPECT_EQ(o.err.find('\n'), std::string::npos) << o.err;
    }
    EXPECT_EQ(before, outside());
    EXPECT_EQ(store.objects.count(store.chunkKey(kId)), 1u) << "gc removed a chunk still named";
    if (!install.empty()) {
      EXPECT_FALSE(fs::exists(dest() + "/f")) << "written despite refusal";
    }
    fs::remove_all(dest());
  }
};

TEST_F(Hostile, WrongMemberTypesAreRefusedByEveryConsumer) {
  const Json::Value values[] = {Json::Value("s"),
                                Json::Value(5),
                                Json::Value(Json::objectValue),
                                Json::Value(Json::arrayValue),
                                Json::Value(),
                                Json::Value(true)};
  struct Place {
    Json::ValueType right;  // the member's own type: not a wrong value here
    std::function<void(Json::Value&, const Json::Value&)> set;
    std::string install, stored;
  };
  const Place places[] = {
      {Json::objectValue, [](Json::Value& d, const Json::Value& v) { d = v; },
       "unsupported manifest schema", "the document is not a JSON object"},
      {Json::arrayValue, [](Json::Value& d, const Json::Value& v) { d["files"] = v; },
       "files is not an array", "files is not an array"},
      {Json::intValue, [](Json::Value& d, const Json::Value& v) { d["schema"] = v; },
       "unsupported manifest schema", ""},
      {Json::stringValue, [](Json::Value& d, const Json::Value& v) { d["channel"] = v; },
       "its channel member is not a string", ""},
      {Json::objectValue, [](Json::Value& d, const Json::Value& v) { d["files"][0] = v; },
       "files[0] is not an object", "files[0] is not an object"},
      {Json::stringValue, [](Json::Value& d, const Json::Value& v) { d["files"][0]["path"] = v; },
       "files[0].path is not a string", "files[0].path is not a string"},
      {Json::intValue, [](Json::Value& d, const Json::Value& v) { d["files"][0]["size"] = v; },
       "files[0].size is not an unsigned integer", "files[0].size is not an unsigned integer"},
      {Json::arrayValue, [](Json::Value& d, const Json::Value& v) { d["files"][0]["chunks"] = v; },
       "files[0].chunks is not an array", "files[0].chunks is not an array"},
      {Json::objectValue,
       [](Json::Value& d, const Json::Value& v) { d["files"][0]["chunks"][0] = v; },
       "files[0].chunks[0] is not an object", "files[0].chunks[0] is not an object"},
      {Json::stringValue,
       [](Json::Value& d, const Json::Value& v) { d["files"][0]["chunks"][0]["h"] = v; },
       "files[0].chunks[0].h is not a string", "files[0].chunks[0].h is not a string"},
      {Json::intValue,
       [](Json::Value& d, const Json::Value& v) { d["files"][0]["chunks"][0]["n"] = v; },
       "files[0].chunks[0].n is not an unsigned integer",
       "files[0].chunks[0].n is not an unsigned integer"},
  };
  for (const Place& place : places) {
    for (const Json::Value& value : values) {
      if (value.type() == place.right) continue;
      Json::Value doc = manifestOf({"f"});
      place.set(doc, value);
      SCOPED_TRACE(compactText(doc));
      put(doc);
      expectOutcomes(place.install, place.stored);
    }
  }
  // Informational members of any type are ignored by every reader.
  Json::Value doc = manifestOf({"f"});
  doc["build"] = Json::Value(Json::arrayValue);
  doc["created"] = "yesterday";
  doc["chunker"] = 7;
  doc["stats"] = Json::Value();
  put(doc);
  expectOutcomes("", "");
}

TEST_F(Hostile, SizeClaimsMustAddUpAndStayWithinTheChunkerLimit) {
  const uint64_t kHalf = 1ull << 63;
  const uint64_t kMax = ~0ull;
  struct Row {
    std::vector<uint64_t> n;
    uint64_t size;
    std::string install, stored;
  };
  const Row rows[] = {
      {{kHalf}, kHalf, "chunk too large in manifest for f", ""},
      {{kMax}, kMax, "chunk too large in manifest for f", ""},
      {{7},
       kHalf,
       "add up to 7 bytes, not its size 9223372036854775808",
       "add up to 7 bytes, not its size 9223372036854775808"},
      {{kHalf, kHalf}, 0, "add up to more than 2^64 bytes", "add up to more than 2^64 bytes"},
      {{kMax, 8}, 7, "add up to more than 2^64 bytes", "add up to more than 2^64 bytes"},
      {{3, 3}, 7, "add up to 6 bytes, not its size 7", "add up to 6 bytes, not its size 7"},
  };
  for (const Row& row : rows) {
    Json::Value doc = manifestOf({"f"});
    Json::Value& file = doc["files"][0];
    file["size"] = Json::UInt64(row.size);
    file["chunks"] = Json::Value(Json::arrayValue);
    for (uint64_t n : row.n) file["chunks"].append(chunkRef(kId, n));
    SCOPED_TRACE(compactText(doc));
    put(doc);
    expectOutcomes(row.install, row.stored);
  }
}

TEST_F(Hostile, PathsThatLeaveOrNameTheDestinationAreRefused) {
  const std::string absolute = tmp / "root/sibling/abs";
  for (const std::string& path :
       {std::string("../x"), std::string("a/../../x"), absolute, std::string("C:/x"),
        std::string("c:x"), std::string("C:\\x"), std::string("a\\..\\x"), std::string("a//b"),
        std::string("./a"), std::string("a/."), std::string(""), std::string("a\0b", 3),
        std::string("a/"), std::string("."), std::string(".."), std::string("a/..")}) {
    SCOPED_TRACE(path);
    put(manifestOf({"f", path}));
    expectOutcomes("unsafe path in manifest: '" + path + "'", "");
  }
}

TEST_F(Hostile, DuplicateAndFileDirectoryClashingPathsAreRefusedBeforeWriting) {
  const std::pair<std::vector<std::string>, std::string> rows[] = {
      {{"f", "f"}, "duplicate path in manifest: 'f'"},
      {{"f", "a/b", "f"}, "duplicate path in manifest: 'f'"},
      {{"f", "f/b"}, "path in manifest is both a file and a directory: 'f'"},
      {{"a/b/c", "f", "a-b", "a/b"}, "path in manifest is both a file and a directory: 'a/b'"},
  };
  for (const auto& [paths, message] : rows) {
    put(manifestOf(paths));
    expectOutcomes(message, "");
  }
  // Near misses install fine.
  put(manifestOf({"f", "f.part", "fa/b", "f-b/c"}));
  expectOutcomes("", "");
}

TEST_F(Hostile, ChunkIdsThatAreNotIdsNeverBecomeKeysOrNames) {
  for (const std::string& id : {std::string(63, 'a'), std::string(65, 'a'), std::string(64, 'A'),
                                std::string(63, 'a') + "g", "../../" + std::string(58, 'a'),
                                std::string("../../x"), std::string("")}) {
    SCOPED_TRACE(id);
    Json::Value doc = manifestOf({"f"});
    doc["files"][0]["chunks"][0]["h"] = id;
    put(doc);
    store.calls.clear();
    expectOutcomes("bad chunk id in manifest for f", "files[0].chunks[0].h is not a chunk id");
    // No chunk object is asked for or removed, and gc stops before listing chunks.
    for (const std::string& call : store.calls)
      EXPECT_EQ(call.find("chunks/"), std::string::npos) << call;
  }
}

TEST_F(Hostile, SyncDoesNotWriteThroughLinksThatLeaveTheDestination) {
  const std::string outsideDir = tmp / "root/sibling";
  fs::create_directories(dest() + "/inner");
  fs::create_directory_symlink(outsideDir, dest() + "/sub");
  fs::create_directory_symlink(dest() + "/inner", dest() + "/in");
  // A leftover part file that points outside.
  fs::create_symlink(outsideDir + "/keep.txt", dest() + "/f.part");
  fs::create_directory_symlink(dest(), tmp / "root/alias");
  const auto before = outside();

  put(manifestOf({"f", "sub/f"}));
  std::string err;
  EXPECT_FALSE(
      vorn::syncChannel(store, kChannel, dest(), "", "", "", {}, nullptr, &err, {}, 0, {}, ""));
  EXPECT_EQ(err, "path leads out of the destination through a link: sub/f");
  EXPECT_EQ(slurp(dest() + "/f"), kContent);
  EXPECT_EQ(before, outside());

  // A link that stays inside is followed; so is a destination that is a link.
  put(manifestOf({"f", "in/g"}));
  ASSERT_TRUE(vorn::syncChannel(store, kChannel, tmp / "root/alias", "", "", "", {}, nullptr, &err,
                                {}, 0, {}, ""))
      << err;
  EXPECT_EQ(slurp(dest() + "/inner/g"), kContent);
  EXPECT_EQ(before, outside());
}

TEST_F(Hostile, LongPathsFailAsFilesThatCannotBeOpened) {
  std::string deep;
  while (deep.size() < 100000) deep += "d/";
  for (const std::string& path : {std::string(100000, 'a'), deep + "f"}) {
    put(manifestOf({path}));
    std::string err;
    EXPECT_FALSE(
        vorn::syncChannel(store, kChannel, dest(), "", "", "", {}, nullptr, &err, {}, 0, {}, ""));
    EXPECT_EQ(err.rfind("cannot open " + dest(), 0), 0u) << err.substr(0, 200);
    vorn::VerifyStats stats;
    EXPECT_TRUE(
        vorn::verifyChannel(store, kChannel, dest(), "", "", "", {}, &stats, &err, {}, false));
    EXPECT_EQ(stats.missing, 1u);
  }
}

// A million one-byte entries of one chunk, in one file and over a thousand
// files: parsed, checked and installed with one download.
TEST_F(Hostile, AMillionTinyEntriesInstallWithOneDownload) {
  const std::string byte = "x";
  const std::string id = vorn::blake3Hex(byte);
  store.objects[store.chunkKey(id)] = byte;
  const std::string ref = R"({"h":")" + id + R"(","n":1},)";
  for (const size_t files : {size_t(1), size_t(1000)}) {
    const size_t perFile = 1000000 / files;
    std::string chunks;
    for (size_t k = 0; k < perFile; ++k) chunks += ref;
    chunks.pop_back();
    std::string text = R"({"schema":1,"files":[)";
    for (size_t i = 0; i < files; ++i) {
      text += R"({"path":"d)" + std::to_string(i % 10) + "/f" + std::to_string(i) + R"(","size":)" +
              std::to_string(perFile) + R"(,"chunks":[)" + chunks + "]},";
    }
    text.back() = ']';
    put(text + "}");
    vorn::SyncStats stats;
    std::string err;
    ASSERT_TRUE(
        vorn::syncChannel(store, kChannel, dest(), "", "", "", {}, &stats, &err, {}, 0, {}, ""))
        << err;
    EXPECT_EQ(stats.chunkSlots, 1000000u);
    EXPECT_EQ(stats.downloaded, 1u);
    EXPECT_EQ(stats.files, files);
    EXPECT_EQ(
        slurp(dest() + "/d" + std::to_string((files - 1) % 10) + "/f" + std::to_string(files - 1)),
        std::string(perFile, 'x'));
    fs::remove_all(dest());
  }
}

}  // namespace
