// The maintenance verbs run as a user would: "channel delete", "gc" and
// "sign-sync" against the local S3 test server, which checks every signature.
// The test inspects and prepares the store through the real S3 provider.

#include <gtest/gtest.h>

#include <json/reader.h>
#include <json/value.h>
#include <json/writer.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <tuple>

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
using vorn_test::S3Server;
using vorn_test::TempDir;

namespace {

const char kUsageFirstLine[] = "corvane-vorn - Vorn build distribution\n";
const std::string kStoreKeyHex = "6b1f0e2d3c4a59687766554433221100ffeeddccbbaa99887766554433221100";
const std::string kOtherKeyHex = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";

void expectUsage(const ProcessResult& r) {
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err.rfind(kUsageFirstLine, 0), 0u) << r.err;
}

std::string manifestKey(const std::string& channel) {
  return "channels/" + channel + "/manifest.json";
}

std::string rawKey(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

Json::Value parseJsonText(const std::string& text) {
  Json::CharReaderBuilder builder;
  Json::Value doc;
  std::string errs;
  std::istringstream in(text);
  EXPECT_TRUE(Json::parseFromStream(builder, in, &doc, &errs)) << errs << "\n" << text;
  return doc;
}

// Distinct chunk ids a stored manifest names.
std::set<std::string> chunkIdsOf(const std::string& manifestText) {
  std::set<std::string> ids;
  const Json::Value doc = parseJsonText(manifestText);
  for (const Json::Value& file : doc["files"]) {
    for (const Json::Value& chunk : file["chunks"]) ids.insert(chunk["h"].asString());
  }
  return ids;
}

// A hand-made manifest naming the given ids, each as one 1-byte-chunk file.
std::string manifestNaming(const std::vector<std::string>& ids) {
  Json::Value doc(Json::objectValue);
  doc["schema"] = 1;
  doc["files"] = Json::Value(Json::arrayValue);
  for (size_t i = 0; i < ids.size(); ++i) {
    Json::Value file(Json::objectValue);
    file["path"] = "f" + std::to_string(i);
    file["size"] = 1;
    file["chunks"].append(Json::Value(Json::objectValue));
    file["chunks"][0]["h"] = ids[i];
    file["chunks"][0]["n"] = 1;
    doc["files"].append(file);
  }
  return Json::writeString(Json::StreamWriterBuilder(), doc);
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

class MaintenanceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { vorn::initLibraries(); }

  void SetUp() override {
    ASSERT_TRUE(server.running()) << server.startError();
    config.endpoint = server.endpoint();
    config.region = "us-east-1";
    config.bucket = server.bucket();
    config.accessKey = server.accessKey();
    config.secretKey = server.secret();
    store = vorn::makeS3Provider(config);
  }

  ProcessResult run(const std::vector<std::string>& args) { return runCli(args, server.env()); }

  // Pushes a directory of files, each (name, size, seed).
  void push(const std::string& channel,
            const std::vector<std::tuple<std::string, size_t, uint64_t>>& files,
            const std::vector<std::string>& extra = {}) {
    const std::string dir = tmp / ("build-" + channel);
    for (const auto& [name, size, seed] : files) {
      vorn_test::writeSeededFile(dir + "/" + name, size, seed);
    }
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

  S3Server server;
  TempDir tmp;
  vorn::S3Config config;
  std::unique_ptr<vorn::StorageProvider> store;
};

}  // namespace

TEST(CliMaintenanceUsage, ChannelArgumentsAreJudgedBeforeTheStoreIsOpened) {
  // An unreachable store and no store at all give the same answer.
  const EnvChanges unreachable{{"VORN_S3_ENDPOINT", std::string("http://127.0.0.1:1")},
                               {"VORN_S3_BUCKET", std::string("b")},
                               {"VORN_S3_KEY", std::string("k")},
                               {"VORN_S3_SECRET", std::string("s")}};
  for (const EnvChanges& env : {EnvChanges{}, unreachable}) {
    expectUsage(runCli({"channel"}, env));
    expectUsage(runCli({"channel", "delete"}, env));
    expectUsage(runCli({"channel", "remove", "x"}, env));
    expectUsage(runCli({"channel", "Delete", "x"}, env));
    expectUsage(runCli({"sign-sync"}, env));
    // "--ttl" takes the channel as its value: no channel is left.
    expectUsage(runCli({"sign-sync", "--ttl", "60"}, env));
  }
}

TEST(CliMaintenanceUsage, MissingConfigurationIsStatusTwo) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"channel", "delete", "x"}, {"gc"}, {"gc", "--delete"}, {"sign-sync", "x"}}) {
    ProcessResult r = runCli(args);
    EXPECT_EQ(r.status, 2) << args[0];
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("config: missing env vars:", 0), 0u) << r.err;
    EXPECT_EQ(r.err.find("corvane-vorn - Vorn"), std::string::npos) << "gc never shows usage";
  }
}

TEST(CliMaintenanceUsage, AnUnreachableStoreFailsWithTheVerbPrefix) {
  const EnvChanges unreachable{{"VORN_S3_ENDPOINT", std::string("http://127.0.0.1:1")},
                               {"VORN_S3_BUCKET", std::string("b")},
                               {"VORN_S3_KEY", std::string("k")},
                               {"VORN_S3_SECRET", std::string("s")}};
  struct Case {
    std::vector<std::string> args;
    const char* prefix;
  };
  for (const Case& c :
       {Case{{"gc", "--delete"}, "gc: "}, Case{{"channel", "delete", "x"}, "channel delete: "},
        Case{{"sign-sync", "x"}, "sign-sync: "}}) {
    ProcessResult r = runCli(c.args, unreachable);
    EXPECT_EQ(r.status, 1) << c.prefix;
    EXPECT_EQ(r.out, "") << c.prefix;
    EXPECT_EQ(r.err.rfind(c.prefix, 0), 0u) << r.err;
  }
}

TEST_F(MaintenanceTest, ChannelDeleteRemovesManifestAndSignatureButNoChunks) {
  ASSERT_EQ(run({"keygen", tmp / "pub"}).status, 0);
  push("signed", {{"a.bin", 50000, 1}}, {"--sign", tmp / "pub.key"});
  push("plain", {{"b.bin", 60000, 2}});
  ASSERT_TRUE(exists(manifestKey("signed") + ".sig"));
  ASSERT_FALSE(exists(manifestKey("plain") + ".sig"));
  const size_t chunksBefore = chunkObjects().size();

  for (const std::string channel : {"signed", "plain", "never-pushed"}) {
    ProcessResult r = run({"channel", "delete", channel});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "deleted channel '" + channel +
                         "' (manifest + signature). Run 'gc --delete' to sweep chunks no other "
                         "channel references.\n");
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(exists(manifestKey(channel)));
    EXPECT_FALSE(exists(manifestKey(channel) + ".sig"));
  }
  EXPECT_EQ(chunkObjects().size(), chunksBefore);
}

TEST_F(MaintenanceTest, GcReclaimsExactlyWhatOnlyTheDeletedChannelNamed) {
  // alpha and beta share shared.bin; beta alone has beta.bin.
  push("alpha", {{"shared.bin", 300000, 7}, {"alpha.bin", 200000, 8}});
  push("beta", {{"shared.bin", 300000, 7}, {"beta.bin", 250000, 9}, {"tiny.txt", 10, 10}});
  const std::set<std::string> alphaIds = chunkIdsOf(storedText(manifestKey("alpha")));
  const std::set<std::string> betaIds = chunkIdsOf(storedText(manifestKey("beta")));
  std::map<std::string, int64_t> onlyBeta;  // key -> stored size
  for (const vorn::ObjectEntry& e : chunkObjects()) {
    for (const std::string& id : betaIds) {
      if (!alphaIds.count(id) && e.key == store->chunkKey(id)) onlyBeta[e.key] = e.size;
    }
  }
  ASSERT_EQ(onlyBeta.size(), 2u);
  const size_t objectsBefore = chunkObjects().size();
  long long garbageBytes = 0;
  std::string dryLines, deleteLines;
  for (const auto& [key, size] : onlyBeta) {
    garbageBytes += size;
    dryLines += "  garbage " + key + " (" + std::to_string(size) + " bytes)\n";
    deleteLines += "  deleted " + key + " (" + std::to_string(size) + " bytes)\n";
  }

  ProcessResult r = run({"gc"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, gcSummary(2, alphaIds.size() + 2, objectsBefore, 0, 0, false));

  ASSERT_EQ(run({"channel", "delete", "beta"}).status, 0);
  // Other words are ignored: this is still a dry run.
  r = run({"gc", "--dry-run", "now"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, dryLines + gcSummary(1, alphaIds.size(), objectsBefore, 2, garbageBytes, false));
  EXPECT_EQ(chunkObjects().size(), objectsBefore);

  r = run({"gc", "--sweep"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            deleteLines + gcSummary(1, alphaIds.size(), objectsBefore, 2, garbageBytes, true));
  for (const auto& [key, size] : onlyBeta) EXPECT_FALSE(exists(key)) << key;
  for (const std::string& id : alphaIds) EXPECT_TRUE(exists(store->chunkKey(id))) << id;

  r = run({"gc", "--delete"});
  EXPECT_EQ(r.out, gcSummary(1, alphaIds.size(), alphaIds.size(), 0, 0, true));

  // The remaining channel still syncs in full.
  const std::string dest = tmp / "dest";
  r = run({"sync", "alpha", dest});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(vorn_test::slurp(dest + "/shared.bin"), vorn_test::seededBytes(300000, 7));
  EXPECT_EQ(vorn_test::slurp(dest + "/alpha.bin"), vorn_test::seededBytes(200000, 8));
}

TEST_F(MaintenanceTest, ChunkListingSpanningSeveralPagesIsCollectedWhole) {
  // More objects than one listing page holds (1000).
  const size_t total = 1003, kept = 1000;
  std::vector<std::string> ids;
  for (size_t i = 0; i < total; ++i) ids.push_back(vorn::blake3Hex(std::to_string(i)));
  // Filled from a few threads, each with a provider of its own, to keep the
  // test short; the program under test stays single-threaded.
  std::vector<std::thread> fillers;
  std::atomic<size_t> failures{0};
  const size_t threads = 4;
  for (size_t t = 0; t < threads; ++t) {
    fillers.emplace_back([&, t] {
      auto own = vorn::makeS3Provider(config);
      for (size_t i = t; i < total; i += threads) {
        if (!own->put(own->chunkKey(ids[i]), "c", nullptr)) ++failures;
      }
    });
  }
  for (std::thread& f : fillers) f.join();
  ASSERT_EQ(failures.load(), 0u);
  ASSERT_TRUE(store->put(manifestKey("many"),
                         manifestNaming(std::vector<std::string>(ids.begin(), ids.begin() + kept)),
                         nullptr));
  std::set<std::string> garbage;
  for (size_t i = kept; i < total; ++i) garbage.insert(store->chunkKey(ids[i]));

  ProcessResult r = run({"gc", "--delete"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::set<std::string> reported;
  std::regex line("  deleted (chunks/[0-9a-f]{2}/[0-9a-f]{64}) \\(1 bytes\\)");
  for (std::sregex_iterator it(r.out.begin(), r.out.end(), line), end; it != end; ++it) {
    reported.insert((*it)[1]);
  }
  EXPECT_EQ(reported, garbage);
  EXPECT_NE(r.out.find(gcSummary(1, kept, total, total - kept, total - kept, true)),
            std::string::npos)
      << r.out.substr(r.out.size() > 300 ? r.out.size() - 300 : 0);
  EXPECT_EQ(chunkObjects().size(), kept);
}

TEST_F(MaintenanceTest, WithoutManifestsEverythingIsGarbageAndACorruptManifestStopsTheRun) {
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

  ASSERT_TRUE(store->put(manifestKey("broken"), "{\"files\": [", nullptr));
  r = run({"gc", "--delete"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err.rfind("gc: manifest parse error: ", 0), 0u) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  for (const auto& [key, body] : objects) EXPECT_TRUE(exists(key)) << key;

  // Valid JSON of another shape is refused the same way, naming the manifest.
  ASSERT_TRUE(store->put(manifestKey("broken"), "{\"files\": {\"a\": 1}}", nullptr));
  r = run({"gc", "--delete"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err.rfind("gc: ", 0), 0u) << r.err;
  EXPECT_NE(r.err.find(manifestKey("broken")), std::string::npos) << r.err;
  for (const auto& [key, body] : objects) EXPECT_TRUE(exists(key)) << key;
}

TEST_F(MaintenanceTest, EncryptedStoreIsCollectedThroughTheLayer) {
  push("vault", {{"secret.bin", 120000, 21}}, {"--crypt", kStoreKeyHex});
  auto sealed = vorn::makeEncryptedProvider(vorn::makeS3Provider(config), rawKey(kStoreKeyHex));
  auto otherNames = vorn::makeEncryptedProvider(vorn::makeS3Provider(config), rawKey(kOtherKeyHex));
  std::string manifest, err;
  ASSERT_TRUE(sealed->get(manifestKey("vault"), &manifest, &err)) << err;
  const std::set<std::string> ids = chunkIdsOf(manifest);
  ASSERT_FALSE(ids.empty());
  for (const vorn::ObjectEntry& e : chunkObjects()) {
    for (const std::string& id : ids) EXPECT_EQ(e.key.find(id), std::string::npos) << e.key;
  }
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

TEST_F(MaintenanceTest, SignSyncUrlsFetchEveryObjectWithoutCredentials) {
  ASSERT_EQ(run({"keygen", tmp / "rel"}).status, 0);
  // A file repeated under two names shares its chunks.
  push("rel", {{"a.bin", 80000, 31}, {"b.bin", 90000, 32}, {"copy-of-a.bin", 80000, 31}},
       {"--sign", tmp / "rel.key"});

  ProcessResult r = run({"sign-sync", "rel", "--ttl", "3600"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  ASSERT_FALSE(r.out.empty());
  EXPECT_EQ(r.out.back(), '\n');
  const Json::Value doc = parseJsonText(r.out);
  const std::string manifest = storedText(manifestKey("rel"));
  const std::set<std::string> ids = chunkIdsOf(manifest);
  EXPECT_EQ(doc["channel"].asString(), "rel");
  EXPECT_EQ(doc["build"].asString(), parseJsonText(manifest)["build"].asString());
  ASSERT_TRUE(doc["chunks"].isObject());
  ASSERT_EQ(doc["chunks"].size(), ids.size());

  // Every URL is fetched by plain HTTP: no store settings are involved.
  std::vector<std::pair<std::string, std::string>> expected{
      {doc["manifest_url"].asString(), manifest},
      {doc["manifest_sig_url"].asString(), storedText(manifestKey("rel") + ".sig")}};
  for (const std::string& id : ids) {
    expected.emplace_back(doc["chunks"][id].asString(), storedText(store->chunkKey(id)));
  }
  for (const auto& [url, body] : expected) {
    EXPECT_NE(url.find("&X-Amz-Expires=3600&"), std::string::npos) << url;
    std::string fetched, err;
    int32_t status = 0;
    ASSERT_TRUE(vorn::httpGet(url, &fetched, &status, &err, "")) << err;
    EXPECT_EQ(status, 200) << url << "\n" << fetched;
    EXPECT_TRUE(fetched == body) << url;
  }

  // The default lifetime is five minutes.
  r = run({"sign-sync", "rel"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(parseJsonText(r.out)["manifest_url"].asString().find("&X-Amz-Expires=300&"),
            std::string::npos);
}

TEST_F(MaintenanceTest, SignSyncOfAnUnsignedOrMissingChannel) {
  push("bare", {{"only.bin", 40000, 41}});
  ProcessResult r = run({"sign-sync", "bare"});
  ASSERT_EQ(r.status, 0) << r.err;
  const Json::Value doc = parseJsonText(r.out);
  std::string body, err;
  int32_t status = 0;
  // The signature URL is there, but answers that there is nothing to fetch.
  ASSERT_TRUE(vorn::httpGet(doc["manifest_sig_url"].asString(), &body, &status, &err, "")) << err;
  EXPECT_NE(status / 100, 2);
  status = 0;
  body.clear();
  ASSERT_TRUE(vorn::httpGet(doc["manifest_url"].asString(), &body, &status, &err, "")) << err;
  EXPECT_EQ(status, 200);

  std::string storeMessage;
  std::string ignored;
  ASSERT_FALSE(store->get(manifestKey("nope"), &ignored, &storeMessage));
  r = run({"sign-sync", "nope"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "sign-sync: " + storeMessage + "\n");
}
