// The sync and verify verbs end to end: the real program against the local S3
// test server (signatures checked), in every source mode.

#include "chunking/manifest.hpp"
#include "engine/channel_manifest.hpp"
#include "engine/push.hpp"
#include "engine/signing.hpp"
#include "engine/sync_descriptor.hpp"
#include "storage/request_signing.hpp"
#include "storage/s3_config.hpp"
#include "storage/storage_provider.hpp"
#include "util/digest.hpp"

#include "support/http_stub.hpp"
#include "support/process.hpp"
#include "support/s3_server.hpp"
#include "support/temp_dir.hpp"
#include "support/test_data.hpp"

#include <gtest/gtest.h>
#include <json/value.h>

#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <memory>
#include <mutex>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using vorn_test::EnvChanges;
using vorn_test::ProcessResult;
using vorn_test::S3Server;
using vorn_test::slurp;
using vorn_test::writeSeededFile;
using vorn_test::writeTextFile;

const size_t kMiB = 1048576;

// The figures of one "synced ..." summary line.
struct SyncSummary {
  size_t files = 0, reused = 0, downloaded = 0;
  long long wire = -1;
};

bool parseSyncSummary(const std::string& out, SyncSummary* s) {
  static const std::regex line(
      R"(synced '[^']*' -> [^:]*: (\d+) file\(s\), (\d+) chunk\(s\) reused locally, (\d+) downloaded \((\d+) bytes on the wire for \d+ unpacked, -?\d+\.\d% smaller\)\n)");
  std::smatch m;
  if (!std::regex_search(out, m, line)) return false;
  s->files = std::stoul(m[1]);
  s->reused = std::stoul(m[2]);
  s->downloaded = std::stoul(m[3]);
  s->wire = std::stoll(m[4]);
  return true;
}

// A loopback HTTP server that answers every request with one fixed response.
class FixedHttpServer {
 public:
  FixedHttpServer(int status, const std::string& body)
      : response_(vorn_test::httpResponse(status, body)),
        stub_([this](const std::string&) { return response_; }) {}
  std::string url() const { return stub_.base() + "/d.json"; }
  std::string requests() const { return stub_.allRequests(); }

 private:
  const std::string response_;
  vorn_test::HttpStub stub_;
};

class CliSync : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new S3Server("vornkey", "vornsecret", "builds"); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }

  // Each test publishes its own channel, named after the test: a file repeated
  // under two names, a unique file and a small one.
  void SetUp() override {
    ASSERT_TRUE(server_->running()) << server_->startError();
    config = {server_->endpoint(), "us-east-1", server_->bucket(), server_->accessKey(),
              server_->secret()};
    store = vorn::makeS3Provider(config);
    channel = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    writeTextFile(tmp / "src/app.cfg", "mode=release\n");
    const std::string shared = vorn_test::seededBytes(3 * kMiB, 31);
    writeTextFile(tmp / "src/data/one.pak", shared);
    writeTextFile(tmp / "src/data/two.pak", shared);
    writeSeededFile(tmp / "src/c.bin", 2 * kMiB, 32);
  }

  std::string src() const { return tmp / "src"; }
  std::string dest() const { return tmp / "dest"; }

  ProcessResult run(const std::vector<std::string>& args, const EnvChanges& extra = {},
                    bool withStoreEnv = true) {
    EnvChanges env = withStoreEnv ? server_->env() : EnvChanges();
    for (const auto& [k, v] : extra) env[k] = v;
    return vorn_test::runCli(args, env);
  }
  // Without any VORN_S3_* setting.
  ProcessResult runBare(const std::vector<std::string>& args) { return run(args, {}, false); }

  void push(const std::string& signKey = "") {
    std::string err;
    ASSERT_TRUE(vorn::pushChannel(*store, src(), channel, true, signKey, nullptr, &err)) << err;
  }

  // Pushes a new c.bin; returns the ids the new build added.
  std::set<std::string> pushChangedBuild(uint64_t seed) {
    const auto old = manifestIds();
    writeSeededFile(tmp / "src/c.bin", 2 * kMiB, seed);
    push();
    std::set<std::string> fresh;
    for (const auto& id : manifestIds())
      if (!old.count(id)) fresh.insert(id);
    return fresh;
  }

  std::vector<vorn::ManifestFile> manifestFiles() {
    std::string text, err;
    Json::Value doc;
    std::vector<vorn::ManifestFile> files;
    EXPECT_TRUE(store->get(vorn::channelManifestKey(channel), &text, &err)) << err;
    EXPECT_TRUE(vorn::parseJson(text, &doc, &err)) << err;
    EXPECT_TRUE(vorn::readManifestFiles(doc, &files, &err)) << err;
    return files;
  }

  std::set<std::string> manifestIds() {
    std::set<std::string> ids;
    for (const auto& f : manifestFiles())
      for (const auto& c : f.chunks) ids.insert(c.id);
    return ids;
  }

  void expectInstalled() {
    for (const auto& f : manifestFiles())
      EXPECT_EQ(slurp(src() + "/" + f.path), slurp(dest() + "/" + f.path)) << f.path;
  }

  std::string manifestUrl() {
    return vorn::presignGet(config, vorn::channelManifestKey(channel), 300);
  }

  std::string makeDescriptor() {
    std::string text, err;
    EXPECT_TRUE(vorn::makeSyncDescriptor(*store, config, channel, 300, &text, &err)) << err;
    writeTextFile(tmp / "descriptor.json", text);
    return tmp / "descriptor.json";
  }

  static S3Server* server_;
  vorn_test::TempDir tmp;
  vorn::S3Config config;
  std::unique_ptr<vorn::StorageProvider> store;
  std::string channel;
};

S3Server* CliSync::server_ = nullptr;

TEST_F(CliSync, FreshSyncThenResyncThenChangedBuild) {
  push();
  ProcessResult r = run({"sync", channel, dest()});
  ASSERT_EQ(0, r.status) << r.err;
  SyncSummary s;
  ASSERT_TRUE(parseSyncSummary(r.out, &s)) << r.out;
  EXPECT_EQ(0u, r.out.find("synced '" + channel + "' -> " + dest() + ": 4 file(s), ")) << r.out;
  EXPECT_EQ(0u, s.reused);
  EXPECT_EQ(manifestIds().size(), s.downloaded);
  EXPECT_NE(std::string::npos, r.err.find("\r  100% (")) << r.err;
  const std::string erase = "\r" + std::string(64, ' ') + "\r";
  EXPECT_EQ(erase, r.err.substr(r.err.size() - erase.size())) << r.err;
  expectInstalled();
  writeTextFile(dest() + "/user.sav", "my save");

  r = run({"sync", channel, dest()});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos,
            r.out.find("0 downloaded (0 bytes on the wire for 0 unpacked, 0.0% smaller)"))
      << r.out;

  const size_t fresh = pushChangedBuild(33).size();
  r = run({"sync", channel, dest()});
  ASSERT_EQ(0, r.status) << r.err;
  ASSERT_TRUE(parseSyncSummary(r.out, &s)) << r.out;
  EXPECT_EQ(fresh, s.downloaded);
  expectInstalled();
  EXPECT_EQ("my save", slurp(dest() + "/user.sav"));
}

TEST_F(CliSync, BaseDirectorySuppliesTheOldBuildAndDryRunCounts) {
  push();
  fs::copy(src(), tmp / "previous", fs::copy_options::recursive);
  const size_t fresh = pushChangedBuild(34).size();

  long long bytes = 0;
  std::set<std::string> seen;
  size_t slots = 0;
  for (const auto& f : manifestFiles())
    for (const auto& c : f.chunks) {
      ++slots;
      if (seen.insert(c.id).second) bytes += static_cast<long long>(c.size);
    }
  ProcessResult r = run({"sync", channel, dest(), "--dry-run"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ("dry-run '" + channel + "' -> " + dest() + ": 4 file(s), " + std::to_string(slots) +
                " chunk slot(s), " + std::to_string(seen.size()) + " unique; 0 already local, " +
                std::to_string(seen.size()) + " to download (" + std::to_string(bytes) +
                " bytes uncompressed - the wire transfer is smaller after compression). Nothing "
                "was written.\n",
            r.out);
  EXPECT_FALSE(fs::exists(dest()));

  r = run({"sync", channel, dest(), "--base", tmp / "previous"});
  ASSERT_EQ(0, r.status) << r.err;
  SyncSummary s;
  ASSERT_TRUE(parseSyncSummary(r.out, &s)) << r.out;
  EXPECT_EQ(fresh, s.downloaded);
  EXPECT_EQ(slots - fresh, s.reused);
  expectInstalled();
}

TEST_F(CliSync, TamperedStoreObjectFailsAndLeavesOnlyAPartFile) {
  push();
  ASSERT_EQ(0, run({"sync", channel, dest()}).status);
  const std::string before = slurp(dest() + "/c.bin");
  const std::string id = *pushChangedBuild(35).begin();
  std::string object, err;
  ASSERT_TRUE(store->get(store->chunkKey(id), &object, &err)) << err;
  object[object.size() / 3] ^= 0x20;
  ASSERT_TRUE(store->put(store->chunkKey(id), object, &err)) << err;

  ProcessResult r = run({"sync", channel, dest()});
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos,
            r.err.find("\nsync: chunk " + id + " failed to decode/verify (corrupt or tampered)\n"))
      << r.err;
  EXPECT_EQ(before, slurp(dest() + "/c.bin"));
  EXPECT_TRUE(fs::exists(dest() + "/c.bin.part"));
}

TEST_F(CliSync, SignedManifestIsCheckedAndSaidSo) {
  vorn::SigningKeyPair keys, other;
  ASSERT_TRUE(vorn::generateSigningKeyPair(&keys, nullptr));
  ASSERT_TRUE(vorn::generateSigningKeyPair(&other, nullptr));
  writeTextFile(tmp / "release.pub", keys.publicHex + "\r\n");
  push(keys.secretHex);
  ProcessResult r = run({"sync", channel, dest(), "--verify", tmp / "release.pub"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ(0u, r.out.find("  manifest signature verified (ed25519)\nsynced '")) << r.out;
  r = run({"verify", channel, dest()}, {{"VORN_VERIFY_KEY", keys.publicHex}});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ(0u, r.out.find("  manifest signature verified (ed25519)\nverified '")) << r.out;

  r = run({"sync", channel, tmp / "elsewhere", "--verify", other.publicHex});
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("\nsync: signature does not verify\n")) << r.err;
  EXPECT_FALSE(fs::exists(tmp / "elsewhere"));
}

// A rename over a non-empty directory fails on Linux the way a replace of an
// open file fails elsewhere. (That the sync succeeds once the obstacle goes
// away is checked in process.)
TEST_F(CliSync, WaitLinesThenInUseFailure) {
  push();
  writeTextFile(dest() + "/c.bin/blocker", "x");
  ProcessResult r = run({"sync", channel, dest(), "--wait", "2"});
  EXPECT_EQ(1, r.status);
  for (const char* attempt : {"1/2s", "2/2s"})
    EXPECT_NE(std::string::npos, r.err.find(std::string("\r  waiting for 'c.bin' to close (") +
                                            attempt + ") ...        "))
        << r.err;
  EXPECT_EQ(std::string::npos, r.err.find("(3/2s)"));
  EXPECT_NE(std::string::npos, r.err.find("\nsync: 'c.bin' is in use - could not replace it ("))
      << r.err;
}

TEST_F(CliSync, VerifyQuickFullVerboseAndRepair) {
  push();
  ASSERT_EQ(0, run({"sync", channel, dest()}).status);
  const std::string head = "'" + channel + "' in " + dest() + ": ";
  ProcessResult r = run({"verify", channel, dest()});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ(0u, r.out.find("verified " + head + "4 file(s), 4 ok, 0 missing, 0 corrupt (")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find(std::to_string(8 * kMiB + 13) +
                                          " bytes checked)\n  OK - install matches the manifest\n"))
      << r.out;

  // Damage: one file gone, one a byte longer, one altered in place (same size).
  fs::remove(dest() + "/app.cfg");
  writeTextFile(dest() + "/c.bin", slurp(src() + "/c.bin") + "!");
  std::string two = slurp(dest() + "/data/two.pak");
  two[two.size() / 2] ^= 1;
  writeTextFile(dest() + "/data/two.pak", two);

  r = run({"verify", channel, dest(), "--quick"});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("quick-checked " + head +
                "4 file(s), 2 ok, 1 missing, 1 corrupt (0 chunk(s), 0 bytes checked)\n"
                "  2 file(s) need repair - re-run with --repair to fix\n",
            r.out);
  r = run({"verify", channel, dest(), "--verbose"});
  EXPECT_EQ(1, r.status);
  for (const char* line : {"  BAD   app.cfg (missing)\n", "  BAD   c.bin (size mismatch)\n",
                           "  BAD   data/two.pak (chunk hash mismatch)\n",
                           "1 ok, 1 missing, 2 corrupt", "  3 file(s) need repair"})
    EXPECT_NE(std::string::npos, r.out.find(line)) << r.out;
  r = run({"verify", channel, dest()});
  EXPECT_EQ(std::string::npos, r.out.find("BAD")) << "no BAD lines without --verbose";

  r = run({"verify", channel, dest(), "--repair"});
  ASSERT_EQ(0, r.status) << r.out << r.err;
  EXPECT_NE(std::string::npos, r.out.find("repairing 3 file(s) ...\n")) << r.out;
  EXPECT_EQ(std::string::npos, r.out.find("STILL BAD")) << r.out;
  const std::string done = "repaired: " + dest() + " now matches the manifest\n";
  ASSERT_GE(r.out.size(), done.size());
  EXPECT_EQ(done, r.out.substr(r.out.size() - done.size())) << r.out;
  expectInstalled();
  r = run({"verify", channel, dest(), "--repair", "--quick"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ(std::string::npos, r.out.find("repairing")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("  OK - install matches the manifest\n")) << r.out;
}

TEST_F(CliSync, WhichModesNeedTheStoreConfiguration) {
  push();
  const std::string url = manifestUrl();
  const std::string missing =
      "config: missing env vars: VORN_S3_ENDPOINT VORN_S3_BUCKET VORN_S3_KEY VORN_S3_SECRET\n";
  EXPECT_EQ(missing, runBare({"sync", channel, dest()}).err);
  // Syncing by manifest URL still fetches chunks from the store.
  EXPECT_EQ(missing, runBare({"sync", channel, dest(), "--manifest-url", url}).err);
  ProcessResult r = runBare({"sync", channel, dest(), "--manifest-url", url, "--dry-run"});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ(0u, r.out.find("dry-run '" + channel + "'")) << r.out;

  ASSERT_EQ(0, run({"sync", channel, dest()}).status);
  r = runBare({"verify", channel, dest(), "--manifest-url", url});
  EXPECT_EQ(0, r.status) << r.err;
  r = runBare({"verify", channel, dest(), "--manifest-url", url, "--repair"});
  EXPECT_EQ(2, r.status);
  EXPECT_EQ(missing, r.err);
  r = runBare({"verify", channel, dest(), "--manifest-url", url + "x"});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("verify: manifest URL -> HTTP 403\n", r.err);
}

TEST_F(CliSync, DescriptorLetsAConsumerWithoutCredentialsSyncVerifyAndRepair) {
  push();
  const std::string descriptor = makeDescriptor();
  ProcessResult r = runBare({"sync", channel, dest(), "--descriptor", descriptor});
  ASSERT_EQ(0, r.status) << r.err;
  SyncSummary s;
  ASSERT_TRUE(parseSyncSummary(r.out, &s)) << r.out;
  EXPECT_EQ(manifestIds().size(), s.downloaded);
  expectInstalled();

  fs::remove(dest() + "/data/one.pak");
  r = runBare({"verify", channel, dest(), "--descriptor", descriptor, "--repair"});
  ASSERT_EQ(0, r.status) << r.out << r.err;
  EXPECT_NE(std::string::npos, r.out.find("repaired: ")) << r.out;
  expectInstalled();

  // The file wins over a URL, which is then never fetched.
  r = runBare({"verify", channel, dest(), "--descriptor", descriptor, "--descriptor-url",
               "http://127.0.0.1:1/never"});
  EXPECT_EQ(0, r.status) << r.err;

  // Fetched from a URL without a token: no Authorization header.
  fs::remove_all(dest());
  FixedHttpServer http(200, slurp(descriptor));
  r = runBare({"sync", channel, dest(), "--descriptor-url", http.url()});
  ASSERT_EQ(0, r.status) << r.err;
  expectInstalled();
  EXPECT_EQ(std::string::npos, http.requests().find("Authorization:")) << http.requests();
}

TEST_F(CliSync, ExpiredChunkUrlsFailOnTheFirstChunk) {
  push();
  Json::Value doc(Json::objectValue);
  doc["manifest_url"] = manifestUrl();
  const std::time_t past = std::time(nullptr) - 7200;
  for (const auto& id : manifestIds())
    doc["chunks"][id] = vorn::presignGetAt(config, store->chunkKey(id), 60, past);
  writeTextFile(tmp / "expired.json", vorn::writeJsonText(doc));
  ProcessResult r = runBare({"sync", channel, dest(), "--descriptor", tmp / "expired.json"});
  EXPECT_EQ(1, r.status);
  EXPECT_TRUE(std::regex_search(r.err, std::regex("\nsync: chunk URL [0-9a-f]{64} -> HTTP 403\n")))
      << r.err;
}

TEST_F(CliSync, DescriptorProblemsAndUsage) {
  ProcessResult r = run({"sync", channel});
  EXPECT_EQ(2, r.status);
  EXPECT_EQ(0u, r.err.find("corvane-vorn - Vorn build distribution\n")) << r.err;
  EXPECT_EQ(2, run({"verify"}).status);

  r = run({"sync", channel, dest(), "--descriptor", tmp / "nope.json"});
  EXPECT_EQ(2, r.status);
  EXPECT_EQ("cannot read " + (tmp / "nope.json") + "\n", r.err);
  writeTextFile(tmp / "bad.json", "{ not json");
  r = run({"verify", channel, dest(), "--descriptor", tmp / "bad.json"});
  EXPECT_EQ(2, r.status);
  EXPECT_EQ(0u, r.err.find("descriptor: manifest parse error: ")) << r.err;
  r = run({"sync", channel, dest(), "--descriptor-url", "http://127.0.0.1:1/d.json"});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ(0u, r.err.find("descriptor-url: ")) << r.err;

  // A refusal shows the status and only the first 200 bytes of the body; the
  // token goes along, from the option or else the environment.
  std::string body = "<html>";
  while (body.size() < 600) body += "access denied, go away; ";
  FixedHttpServer http(403, body);
  const EnvChanges envToken{{"CORVANE_TOKEN", std::string("from-env")}};
  r = run({"sync", channel, dest(), "--descriptor-url", http.url(), "--token", "tok-123"}, envToken);
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("descriptor-url -> HTTP 403 " + body.substr(0, 200) + "\n", r.err);
  EXPECT_NE(std::string::npos, http.requests().find("Authorization: Bearer tok-123\r\n"));
  r = run({"verify", channel, dest(), "--descriptor-url", http.url()}, envToken);
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, http.requests().find("Authorization: Bearer from-env\r\n"))
      << http.requests();
}

TEST_F(CliSync, ManifestPathLeavingTheDestinationIsRefused) {
  const std::string content = "evil", id = vorn::blake3Hex(content);
  Json::Value doc;
  std::string err;
  ASSERT_TRUE(vorn::parseJson("{\"schema\":1,\"files\":[{\"path\":\"../escaped.txt\",\"size\":4,"
                              "\"chunks\":[{\"h\":\"" + id + "\",\"n\":4}]}]}",
                              &doc, &err))
      << err;
  ASSERT_TRUE(store->put(store->chunkKey(id), content, &err)) << err;
  ASSERT_TRUE(store->put(vorn::channelManifestKey(channel), vorn::writeJsonText(doc), &err)) << err;

  ProcessResult r = run({"sync", channel, dest()});
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("sync: unsafe path in manifest: '../escaped.txt'\n"))
      << r.err;
  r = run({"verify", channel, dest(), "--repair"});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("verify: unsafe path in manifest: '../escaped.txt'\n", r.err);
  EXPECT_FALSE(fs::exists(dest()));
  EXPECT_FALSE(fs::exists(tmp / "escaped.txt"));
}

}  // namespace
