// The maintenance verbs run as a user would: "channel delete", "gc" and
// "sign-sync" against the local S3 test server, which checks every signature.
// The test inspects and prepares the store through the real S3 provider.

#include <gtest/gtest.h>

#include <json/value.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <thread>
#include <tuple>

#include "chunking/manifest.hpp"
#include "engine/channel_manifest.hpp"
#include "storage/http_client.hpp"
#include "storage/s3_config.hpp"
#include "storage/storage_provider.hpp"
#include "support/process.hpp"
#include "support/s3_server.hpp"
#include "support/temp_dir.hpp"
#include "support/test_data.hpp"
#include "util/digest.hpp"
#include "util/startup.hpp"

using vorn_test::EnvChanges;
using vorn_test::ProcessResult;
using vorn_test::runCli;

namespace {

const std::string kStoreKeyHex = "6b1f0e2d3c4a59687766554433221100ffeeddccbbaa99887766554433221100";
const std::string kOtherKeyHex = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";

std::string manifestKey(const std::string& channel) {
  return "channels/" + channel + "/manifest.json";
}

std::string rawKey(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

Json::Value parsed(const std::string& text) {
  Json::Value doc;
  std::string err;
  EXPECT_TRUE(vorn::parseJson(text, &doc, &err)) << err << "\n" << text;
  return doc;
}

// Distinct chunk ids a stored manifest names.
std::set<std::string> chunkIdsOf(const std::string& manifestText) {
  std::set<std::string> ids;
  const Json::Value doc = parsed(manifestText);
  for (const Json::Value& file : doc["files"])
    for (const Json::Value& chunk : file["chunks"]) ids.insert(chunk["h"].asString());
  return ids;
}

// A hand-made manifest naming the given ids, each as one 1-byte-chunk file.
std::string manifestNaming(const std::vector<std::string>& ids) {
  Json::Value doc(Json::objectValue);
  doc["schema"] = 1;
  doc["files"] = Json::Value(Json::arrayValue);
  for (size_t i = 0; i < ids.size(); ++i) {
    Json::Value& file = doc["files"][Json::ArrayIndex(i)];
    file["path"] = "f" + std::to_string(i);
    file["size"] = 1;
    file["chunks"][0]["h"] = ids[i];
    file["chunks"][0]["n"] = 1;
  }
  return vorn::writeJsonText(doc);
}

std::string gcSummary(size_t manifests, size_t referenced, size_t objects, size_t garbage,
                      long long bytes, bool deleted) {
  char line[256];
  std::snprintf(line, sizeof line,
                "gc: %zu manifest(s), %zu referenced chunk(s), %zu chunk object(s); %zu garbage "
                "(%lld bytes)%s\n",
                manifests, referenced, objects, garbage, bytes,
                deleted ? " -> deleted" : " (dry run; pass --delete to remove)");
  return line;
}

class Maintenance : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { vorn::initLibraries(); }

  void SetUp() override {
    ASSERT_TRUE(server.running()) << server.startError();
    config = {server.endpoint(), "us-east-1", server.bucket(), server.accessKey(), server.secret()};
    store = vorn::makeS3Provider(config);
  }

  ProcessResult run(const std::vector<std::string>& args) { return runCli(args, server.env()); }

  // Pushes a directory of files, each (name, size, seed).
  void push(const std::string& channel,
            const std::vector<std::tuple<std::string, size_t, uint64_t>>& files,
            const std::vector<std::string>& extra = {}) {
    const std::string dir = tmp / ("build-" + channel);
    for (const auto& [name, size, seed] : files)
      vorn_test::writeSeededFile(dir + "/" + name, size, seed);
    std::vector<std::string> args{"push", dir, channel};
    args.insert(args.end(), extra.begin(), extra.end());
    ProcessResult r = run(args);
    ASSERT_EQ(r.status, 0) << r.err;
  }

  std::string storedText(const std::string& key) {
    std::string text, err;
    EXPECT_TRUE(store->get(key, &text, &err)) << err;
    return text;
  }

  std::vector<vorn::ObjectEntry> chunkObjects() {
    std::vector<vorn::ObjectEntry> out;
    std::string err;
    EXPECT_TRUE(store->list("chunks/", &out, &err)) << err;
    return out;
  }

  bool exists(const std::string& key) { return store->head(key, nullptr).exists; }

  vorn_test::S3Server server;
  vorn_test::TempDir tmp;
  vorn::S3Config config;
  std::unique_ptr<vorn::StorageProvider> store;
};

}  // namespace

TEST(CliMaintenanceUsage, UsageBeforeTheStoreThenConfigurationThenStoreErrors) {
  // An unreachable store and no store at all give the same usage answer.
  const EnvChanges unreachable{{"VORN_S3_ENDPOINT", std::string("http://127.0.0.1:1")},
                               {"VORN_S3_BUCKET", std::string("b")},
                               {"VORN_S3_KEY", std::string("k")},
                               {"VORN_S3_SECRET", std::string("s")}};
  for (const EnvChanges& env : {EnvChanges{}, unreachable}) {
    // "--ttl" takes the channel as its value: no channel is left.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"channel"}, {"channel", "delete"}, {"channel", "remove", "x"},
          {"channel", "Delete", "x"}, {"sign-sync"}, {"sign-sync", "--ttl", "60"}}) {
      ProcessResult r = runCli(args, env);
      EXPECT_EQ(r.status, 2);
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(r.err.rfind("corvane-vorn - Vorn build distribution\n", 0), 0u) << r.err;
    }
  }
  for (const auto& [args, prefix] :
       {std::make_pair(std::vector<std::string>{"gc", "--delete"}, "gc: "),
        std::make_pair(std::vector<std::string>{"channel", "delete", "x"}, "channel delete: "),
        std::make_pair(std::vector<std::string>{"sign-sync", "x"}, "sign-sync: ")}) {
    ProcessResult r = runCli(args);
    EXPECT_EQ(r.status, 2) << prefix;
    EXPECT_EQ(r.err.rfind("config: missing env vars:", 0), 0u) << r.err;  // gc never shows usage
    r = runCli(args, unreachable);
    EXPECT_EQ(r.status, 1) << prefix;
    EXPECT_EQ(r.out, "") << prefix;
    EXPECT_EQ(r.err.rfind(prefix, 0), 0u) << r.err;
  }
}

TEST_F(Maintenance, ChannelDeleteThenGcReclaimsExactlyWhatOnlyTheDeletedChannelNamed) {
  ASSERT_EQ(run({"keygen", tmp / "pub"}).status, 0);
  // alpha and beta share shared.bin; beta alone has beta.bin; beta is signed.
  push("alpha", {{"shared.bin", 300000, 7}, {"alpha.bin", 200000, 8}});
  push("beta", {{"shared.bin", 300000, 7}, {"beta.bin", 250000, 9}, {"tiny.txt", 10, 10}},
       {"--sign", tmp / "pub.key"});
  ASSERT_TRUE(exists(manifestKey("beta") + ".sig"));
  const std::set<std::string> alphaIds = chunkIdsOf(storedText(manifestKey("alpha")));
  const std::set<std::string> betaIds = chunkIdsOf(storedText(manifestKey("beta")));
  std::map<std::string, int64_t> onlyBeta;  // key -> stored size
  for (const vorn::ObjectEntry& e : chunkObjects())
    for (const std::string& id : betaIds)
      if (!alphaIds.count(id) && e.key == store->chunkKey(id)) onlyBeta[e.key] = e.size;
  ASSERT_EQ(onlyBeta.size(), 2u);
  const size_t objects = chunkObjects().size();
  long long bytes = 0;
  std::string dryLines, deleteLines;
  for (const auto& [key, size] : onlyBeta) {
    bytes += size;
    dryLines += "  garbage " + key + " (" + std::to_string(size) + " bytes)\n";
    deleteLines += "  deleted " + key + " (" + std::to_string(size) + " bytes)\n";
  }
  ProcessResult r = run({"gc"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, gcSummary(2, alphaIds.size() + 2, objects, 0, 0, false));

  // Signed, unsigned and never pushed channels all delete the same way.
  for (const std::string channel : {"beta", "never-pushed"}) {
    r = run({"channel", "delete", channel});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "deleted channel '" + channel +
                         "' (manifest + signature). Run 'gc --delete' to sweep chunks no other "
                         "channel references.\n");
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(exists(manifestKey(channel)));
    EXPECT_FALSE(exists(manifestKey(channel) + ".sig"));
  }
  EXPECT_EQ(chunkObjects().size(), objects);
  // Other words are ignored: this is still a dry run.
  r = run({"gc", "--dry-run", "now"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, dryLines + gcSummary(1, alphaIds.size(), objects, 2, bytes, false));
  EXPECT_EQ(chunkObjects().size(), objects);

  r = run({"gc", "--sweep"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, deleteLines + gcSummary(1, alphaIds.size(), objects, 2, bytes, true));
  for (const auto& [key, size] : onlyBeta) EXPECT_FALSE(exists(key)) << key;
  r = run({"gc", "--delete"});
  EXPECT_EQ(r.out, gcSummary(1, alphaIds.size(), alphaIds.size(), 0, 0, true));

  // The remaining channel still syncs in full; an unsigned one deletes too.
  const std::string dest = tmp / "dest";
  r = run({"sync", "alpha", dest});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(vorn_test::slurp(dest + "/shared.bin"), vorn_test::seededBytes(300000, 7));
  EXPECT_EQ(vorn_test::slurp(dest + "/alpha.bin"), vorn_test::seededBytes(200000, 8));
  EXPECT_EQ(run({"channel", "delete", "alpha"}).status, 0);
  EXPECT_FALSE(exists(manifestKey("alpha")));
}

TEST_F(Maintenance, ChunkListingSpanningSeveralPagesIsCollectedWhole) {
  // More objects than one listing page holds (1000).
  const size_t total = 1003, kept = 1000;
  std::vector<std::string> ids;
  for (size_t i = 0; i < total; ++i) ids.push_back(vorn::blake3Hex(std::to_string(i)));
  // Filled from a few threads, each with a provider of its own, to keep the
  // test short; the program under test stays single-threaded.
  std::vector<std::thread> fillers;
  std::atomic<size_t> failures{0};
  for (size_t t = 0; t < 4; ++t) {
    fillers.emplace_back([&, t] {
      auto own = vorn::makeS3Provider(config);
      for (size_t i = t; i < total; i += 4)
        if (!own->put(own->chunkKey(ids[i]), "c", nullptr)) ++failures;
    });
  }
  for (std::thread& f : fillers) f.join();
  ASSERT_EQ(failures.load(), 0u);
  ASSERT_TRUE(store->put(manifestKey("many"),
                         manifestNaming(std::vector<std::string>(ids.begin(), ids.begin() + kept)),
                         nullptr));
  std::string expected;
  for (size_t i = kept; i < total; ++i) expected += "  deleted " + store->chunkKey(ids[i]) + " (1 bytes)\n";
  ProcessResult r = run({"gc", "--delete"});
  ASSERT_EQ(r.status, 0) << r.err;
  // Reports come in key order; compare as a sorted set of lines.
  auto sortedLines = [](const std::string& text) {
    std::multiset<std::string> out;
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
      out.insert(text.substr(at, end - at));
    return out;
  };
  auto summary = gcSummary(1, kept, total, total - kept, total - kept, true);
  EXPECT_EQ(sortedLines(r.out), sortedLines(expected + summary));
  EXPECT_EQ(chunkObjects().size(), kept);
}

TEST_F(Maintenance, WithoutManifestsEverythingIsGarbageAndACorruptManifestStopsTheRun) {
  std::map<std::string, std::string> objects{{"chunks/00/stray", "12345"},
                                             {store->chunkKey(vorn::blake3Hex("x")), "abc"}};
  std::string lines;
  for (const auto& [key, body] : objects) {
    ASSERT_TRUE(store->put(key, body, nullptr));
    lines += "  garbage " + key + " (" + std::to_string(body.size()) + " bytes)\n";
  }
  ProcessResult r = run({"gc"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, lines + gcSummary(0, 0, 2, 2, 8, false));

  // Bad JSON, or valid JSON of another shape (named in the message).
  for (const auto& [text, start] : {std::make_pair("{\"files\": [", "gc: manifest parse error: "),
                                    std::make_pair("{\"files\": {\"a\": 1}}", "gc: ")}) {
    ASSERT_TRUE(store->put(manifestKey("broken"), text, nullptr));
    r = run({"gc", "--delete"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind(start, 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    for (const auto& [key, body] : objects) EXPECT_TRUE(exists(key)) << key;
  }
  EXPECT_NE(r.err.find(manifestKey("broken")), std::string::npos) << r.err;
}

TEST_F(Maintenance, EncryptedStoreIsCollectedThroughTheLayer) {
  push("vault", {{"secret.bin", 120000, 21}}, {"--crypt", kStoreKeyHex});
  auto sealed = vorn::makeEncryptedProvider(vorn::makeS3Provider(config), rawKey(kStoreKeyHex));
  auto otherNames = vorn::makeEncryptedProvider(vorn::makeS3Provider(config), rawKey(kOtherKeyHex));
  std::string manifest, err;
  ASSERT_TRUE(sealed->get(manifestKey("vault"), &manifest, &err)) << err;
  const std::set<std::string> ids = chunkIdsOf(manifest);
  ASSERT_FALSE(ids.empty());
  for (const vorn::ObjectEntry& e : chunkObjects())
    for (const std::string& id : ids) EXPECT_EQ(e.key.find(id), std::string::npos) << e.key;
  // A chunk of the same build written under another store key is garbage here.
  const std::string foreign = otherNames->chunkKey(*ids.begin());
  ASSERT_TRUE(store->put(foreign, std::string(100, 'z'), nullptr));

  ProcessResult r = runCli({"gc", "--crypt", kStoreKeyHex}, server.env());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "  garbage " + foreign + " (100 bytes)\n" +
                       gcSummary(1, ids.size(), ids.size() + 1, 1, 100, false));

  // A manifest written without the key cannot be opened: the run fails whole.
  ASSERT_TRUE(store->put(manifestKey("plain"), manifestNaming({}), nullptr));
  EnvChanges env = server.env();
  env["VORN_CRYPT_KEY"] = kStoreKeyHex;
  r = runCli({"gc", "--delete"}, env);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "gc: " + manifestKey("plain") +
                       ": not an encrypted object (wrong store, or written without a key)\n");
  EXPECT_TRUE(exists(foreign));
}

TEST_F(Maintenance, SignSyncUrlsFetchEveryObjectWithoutCredentials) {
  ASSERT_EQ(run({"keygen", tmp / "rel"}).status, 0);
  // A file repeated under two names shares its chunks.
  push("rel", {{"a.bin", 80000, 31}, {"b.bin", 90000, 32}, {"copy-of-a.bin", 80000, 31}},
       {"--sign", tmp / "rel.key"});
  push("bare", {{"only.bin", 40000, 41}});

  ProcessResult r = run({"sign-sync", "rel", "--ttl", "3600"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  ASSERT_FALSE(r.out.empty());
  EXPECT_EQ(r.out.back(), '\n');
  const Json::Value doc = parsed(r.out);
  const std::string manifest = storedText(manifestKey("rel"));
  const std::set<std::string> ids = chunkIdsOf(manifest);
  EXPECT_EQ(doc["channel"].asString(), "rel");
  EXPECT_EQ(doc["build"].asString(), parsed(manifest)["build"].asString());
  ASSERT_EQ(doc["chunks"].size(), ids.size());

  // Every URL is fetched by plain HTTP: no store settings are involved.
  std::vector<std::pair<std::string, std::string>> expected{
      {doc["manifest_url"].asString(), manifest},
      {doc["manifest_sig_url"].asString(), storedText(manifestKey("rel") + ".sig")}};
  for (const std::string& id : ids)
    expected.emplace_back(doc["chunks"][id].asString(), storedText(store->chunkKey(id)));
  for (const auto& [url, body] : expected) {
    EXPECT_NE(url.find("&X-Amz-Expires=3600&"), std::string::npos) << url;
    std::string fetched, err;
    int32_t status = 0;
    ASSERT_TRUE(vorn::httpGet(url, &fetched, &status, &err, "")) << err;
    EXPECT_EQ(status, 200) << url << "\n" << fetched;
    EXPECT_TRUE(fetched == body) << url;
  }

  // Unsigned: the signature URL is there, with the default five minutes, but
  // finds nothing.
  r = run({"sign-sync", "bare"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string sigUrl = parsed(r.out)["manifest_sig_url"].asString();
  EXPECT_NE(sigUrl.find("&X-Amz-Expires=300&"), std::string::npos) << sigUrl;
  std::string body, err;
  int32_t status = 0;
  ASSERT_TRUE(vorn::httpGet(sigUrl, &body, &status, &err, "")) << err;
  EXPECT_NE(status / 100, 2);

  std::string storeMessage;
  ASSERT_FALSE(store->get(manifestKey("nope"), &body, &storeMessage));
  r = run({"sign-sync", "nope"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "sign-sync: " + storeMessage + "\n");
}
