// The maintenance verbs run as a user would: "channel delete", "gc" and
// "sign-sync" against the local S3 test server, which checks every signature.
// The test inspects and prepares the store through the real S3 provider.

#include "storage/http_client.hpp"
#include "util/digest.hpp"
#include "util/startup.hpp"

#include "support/cli_fixtures.hpp"
#include "support/engine_fixtures.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <tuple>

namespace {

using vorn_test::ProcessResult;
using vorn_test::runCli;

std::string manifestKey(const std::string& channel) {
  return "channels/" + channel + "/manifest.json";
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
    store = vorn_test::openServerStore(server);
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

  std::set<std::string> chunkIds(const std::string& channel) {
    std::set<std::string> ids;
    for (const auto& [id, size] : vorn_test::uniqueChunks(vorn_test::storedFiles(*store, channel)))
      ids.insert(id);
    return ids;
  }

  size_t chunkObjects() {
    std::vector<vorn::ObjectEntry> out;
    std::string err;
    EXPECT_TRUE(store->list("chunks/", &out, &err)) << err;
    return out.size();
  }

  bool exists(const std::string& key) { return store->head(key, nullptr).exists; }

  vorn_test::S3Server server;
  vorn_test::TempDir tmp;
  std::unique_ptr<vorn::StorageProvider> store;
};

TEST(CliMaintenanceUsage, UsageBeforeTheStoreThenConfigurationThenStoreErrors) {
  // An unreachable store and no store at all give the same usage answer.
  for (const vorn_test::EnvChanges& env : {vorn_test::EnvChanges{}, vorn_test::kUnreachableStore}) {
    // "--ttl" takes the channel as its value: no channel is left.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"channel"}, {"channel", "delete"}, {"channel", "remove", "x"},
          {"channel", "Delete", "x"}, {"sign-sync"}, {"sign-sync", "--ttl", "60"}})
      vorn_test::expectUsage(runCli(args, env));
  }
  for (const auto& [args, prefix] :
       {std::make_pair(std::vector<std::string>{"gc", "--delete"}, "gc: "),
        std::make_pair(std::vector<std::string>{"channel", "delete", "x"}, "channel delete: "),
        std::make_pair(std::vector<std::string>{"sign-sync", "x"}, "sign-sync: ")}) {
    ProcessResult r = runCli(args);
    EXPECT_EQ(r.status, 2) << prefix;
    EXPECT_EQ(r.err.rfind("config: missing env vars:", 0), 0u) << r.err;  // gc never shows usage
    r = runCli(args, vorn_test::kUnreachableStore);
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
  const std::set<std::string> alphaIds = chunkIds("alpha");
  std::map<std::string, size_t> onlyBeta;  // key -> stored size
  for (const std::string& id : chunkIds("beta"))
    if (!alphaIds.count(id)) onlyBeta[store->chunkKey(id)] = storedText(store->chunkKey(id)).size();
  ASSERT_EQ(onlyBeta.size(), 2u);
  const size_t objects = chunkObjects();
  long long bytes = 0;
  std::string dryLines, deleteLines;
  for (const auto& [key, size] : onlyBeta) {
    bytes += static_cast<long long>(size);
    dryLines += "  garbage " + key + " (" + std::to_string(size) + " bytes)\n";
    deleteLines += "  deleted " + key + " (" + std::to_string(size) + " bytes)\n";
  }
  ProcessResult r = run({"gc"});
  EXPECT_EQ(r.out, gcSummary(2, alphaIds.size() + 2, objects, 0, 0, false)) << r.err;

  // Signed and never pushed channels delete the same way.
  for (const std::string channel : {"beta", "never-pushed"}) {
    r = run({"channel", "delete", channel});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "deleted channel '" + channel +
                                 "' (manifest + signature). Run 'gc --delete' to sweep chunks no "
                                 "other channel references.\n");
    EXPECT_FALSE(exists(manifestKey(channel)) || exists(manifestKey(channel) + ".sig"));
  }
  // Other words are ignored: this is still a dry run.
  r = run({"gc", "--dry-run", "now"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out + r.err, dryLines + gcSummary(1, alphaIds.size(), objects, 2, bytes, false));
  EXPECT_EQ(chunkObjects(), objects);

  r = run({"gc", "--sweep"});
  EXPECT_EQ(r.out, deleteLines + gcSummary(1, alphaIds.size(), objects, 2, bytes, true)) << r.err;
  for (const auto& [key, size] : onlyBeta) EXPECT_FALSE(exists(key)) << key;
  r = run({"gc", "--delete"});
  EXPECT_EQ(r.out, gcSummary(1, alphaIds.size(), alphaIds.size(), 0, 0, true));

  // The remaining channel still syncs in full; an unsigned one deletes too.
  const std::string dest = tmp / "dest";
  EXPECT_EQ(run({"sync", "alpha", dest}).status, 0);
  EXPECT_EQ(vorn_test::slurp(dest + "/shared.bin"), vorn_test::seededBytes(300000, 7));
  EXPECT_EQ(vorn_test::slurp(dest + "/alpha.bin"), vorn_test::seededBytes(200000, 8));
  EXPECT_EQ(run({"channel", "delete", "alpha"}).status, 0);
  EXPECT_FALSE(exists(manifestKey("alpha")));
}

TEST_F(Maintenance, ChunkListingSpanningSeveralPagesIsCollectedWhole) {
  // More objects than one listing page holds (1000).
  const size_t total = 1003, kept = 1000;
  std::vector<std::vector<vorn_test::ChunkRef>> files;
  std::vector<std::string> ids;
  for (size_t i = 0; i < total; ++i) ids.push_back(vorn::blake3Hex(std::to_string(i)));
  for (size_t i = 0; i < kept; ++i) files.push_back({{ids[i], 1}});
  // Filled from a few threads, each with a provider of its own, to keep the
  // test short; the program under test stays single-threaded.
  std::vector<std::thread> fillers;
  std::atomic<size_t> failures{0};
  for (size_t t = 0; t < 4; ++t) {
    fillers.emplace_back([&, t] {
      auto own = vorn_test::openServerStore(server);
      for (size_t i = t; i < total; i += 4)
        if (!own->put(own->chunkKey(ids[i]), "c", nullptr)) ++failures;
    });
  }
  for (std::thread& f : fillers) f.join();
  ASSERT_EQ(failures.load(), 0u);
  ASSERT_TRUE(store->put(manifestKey("many"), vorn_test::manifestText(files), nullptr));
  std::multiset<std::string> expected{
      gcSummary(1, kept, total, total - kept, total - kept, true)};
  for (size_t i = kept; i < total; ++i)
    expected.insert("  deleted " + store->chunkKey(ids[i]) + " (1 bytes)\n");
  ProcessResult r = run({"gc", "--delete"});
  ASSERT_EQ(r.status, 0) << r.err;
  // Reports come in key order; compare as a sorted set of lines.
  std::multiset<std::string> lines;
  for (size_t at = 0, end; (end = r.out.find('\n', at)) != std::string::npos; at = end + 1)
    lines.insert(r.out.substr(at, end - at + 1));
  EXPECT_EQ(lines, expected);
  EXPECT_EQ(chunkObjects(), kept);
}

TEST_F(Maintenance, WithoutManifestsEverythingIsGarbageAndACorruptManifestStopsTheRun) {
  const std::string stray = store->chunkKey(vorn::blake3Hex("x"));
  ASSERT_TRUE(store->put(stray, "abc", nullptr));
  ProcessResult r = run({"gc"});
  EXPECT_EQ(r.out, "  garbage " + stray + " (3 bytes)\n" + gcSummary(0, 0, 1, 1, 3, false)) << r.err;

  ASSERT_TRUE(store->put(manifestKey("broken"), "{\"files\": {\"a\": 1}}", nullptr));
  r = run({"gc", "--delete"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "gc: manifest " + manifestKey("broken") + ": files is not an array\n");
  EXPECT_TRUE(exists(stray));
}

TEST_F(Maintenance, EncryptedStoreIsCollectedThroughTheLayer) {
  const std::string keyHex = "6b1f0e2d3c4a59687766554433221100ffeeddccbbaa99887766554433221100";
  push("vault", {{"secret.bin", 120000, 21}}, {"--crypt", keyHex});
  ASSERT_TRUE(store->put("chunks/00/foreign", std::string(100, 'z'), nullptr));
  ProcessResult r = runCli({"gc", "--crypt", keyHex}, server.env());
  EXPECT_EQ(r.out, "  garbage chunks/00/foreign (100 bytes)\n" + gcSummary(1, 1, 2, 1, 100, false))
      << r.err;
  // Without the key the sealed manifest cannot be read: the run fails whole.
  r = run({"gc", "--delete"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("gc: ", 0), 0u) << r.err;
  EXPECT_TRUE(exists("chunks/00/foreign"));
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
  EXPECT_EQ(r.out.back(), '\n');
  Json::Value doc;
  ASSERT_TRUE(vorn::parseJson(r.out, &doc, nullptr)) << r.out;
  const std::string manifest = storedText(manifestKey("rel"));
  const std::set<std::string> ids = chunkIds("rel");
  EXPECT_EQ(doc["channel"].asString(), "rel");
  EXPECT_NE(manifest.find(doc["build"].asString()), std::string::npos);
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
    EXPECT_TRUE(status == 200 && fetched == body) << url << "\n" << fetched;
  }

  // Unsigned: the signature URL is there, with the default five minutes, but
  // finds nothing.
  r = run({"sign-sync", "bare"});
  ASSERT_TRUE(vorn::parseJson(r.out, &doc, nullptr)) << r.out << r.err;
  const std::string sigUrl = doc["manifest_sig_url"].asString();
  EXPECT_NE(sigUrl.find("&X-Amz-Expires=300&"), std::string::npos) << sigUrl;
  std::string body, storeMessage;
  int32_t status = 0;
  ASSERT_TRUE(vorn::httpGet(sigUrl, &body, &status, &storeMessage, "")) << storeMessage;
  EXPECT_NE(status / 100, 2);

  ASSERT_FALSE(store->get(manifestKey("nope"), &body, &storeMessage));
  r = run({"sign-sync", "nope"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out + r.err, "sign-sync: " + storeMessage + "\n");
}

}  // namespace
