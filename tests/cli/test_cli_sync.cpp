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

#include "support/process.hpp"
#include "support/s3_server.hpp"
#include "support/temp_dir.hpp"
#include "support/test_data.hpp"

#include <gtest/gtest.h>
#include <json/value.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
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
using vorn_test::runCli;
using vorn_test::S3Server;
using vorn_test::seededBytes;
using vorn_test::slurp;
using vorn_test::TempDir;
using vorn_test::writeSeededFile;
using vorn_test::writeTextFile;

const size_t kMiB = 1048576;

// Figures of one "synced ..." summary line.
struct SyncSummary {
  size_t files = 0, reused = 0, downloaded = 0;
  long long wire = -1, unpacked = -1;
};

bool parseSyncSummary(const std::string& out, SyncSummary* s) {
  static const std::regex line(
      R"(synced '[^']*' -> [^:]*: (\d+) file\(s\), (\d+) chunk\(s\) reused locally, (\d+) downloaded \((\d+) bytes on the wire for (\d+) unpacked, -?\d+\.\d% smaller\)\n)");
  std::smatch m;
  if (!std::regex_search(out, m, line)) return false;
  s->files = std::stoul(m[1]);
  s->reused = std::stoul(m[2]);
  s->downloaded = std::stoul(m[3]);
  s->wire = std::stoll(m[4]);
  s->unpacked = std::stoll(m[5]);
  return true;
}

// A one-connection-at-a-time HTTP server on loopback that answers every
// request with one fixed response and keeps the request heads it saw.
class FixedHttpServer {
 public:
  FixedHttpServer(int status, const std::string& body) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    listen(fd_, 4);
    socklen_t len = sizeof addr;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    response_ = "HTTP/1.1 " + std::to_string(status) +
                " Whatever\r\nContent-Length: " + std::to_string(body.size()) +
                "\r\nConnection: close\r\n\r\n" + body;
    thread_ = std::thread([this] { serve(); });
  }
  ~FixedHttpServer() {
    stop_ = true;
    shutdown(fd_, SHUT_RDWR);
    close(fd_);
    thread_.join();
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/d.json"; }
  std::string requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

 private:
  void serve() {
    while (!stop_) {
      int client = accept(fd_, nullptr, nullptr);
      if (client < 0) return;
      std::string head;
      char buf[4096];
      while (head.find("\r\n\r\n") == std::string::npos) {
        ssize_t n = recv(client, buf, sizeof buf, 0);
        if (n <= 0) break;
        head.append(buf, static_cast<size_t>(n));
      }
      {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_ += head;
      }
      send(client, response_.data(), response_.size(), MSG_NOSIGNAL);
      close(client);
    }
  }

  int fd_ = -1;
  int port_ = 0;
  std::string response_;
  mutable std::mutex mutex_;
  std::string requests_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class CliSync : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new S3Server("vornkey", "vornsecret", "builds"); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }

  void SetUp() override {
    ASSERT_TRUE(server_->running()) << server_->startError();
    config.endpoint = server_->endpoint();
    config.region = "us-east-1";
    config.bucket = server_->bucket();
    config.accessKey = server_->accessKey();
    config.secretKey = server_->secret();
    store = vorn::makeS3Provider(config);
    channel = ::testing::UnitTest::GetInstance()->current_test_info()->name();
  }

  std::string src() const { return tmp / "src"; }
  std::string dest() const { return tmp / "dest"; }

  ProcessResult run(const std::vector<std::string>& args, const EnvChanges& extra = {},
                    bool withStoreEnv = true) {
    EnvChanges env = withStoreEnv ? server_->env() : EnvChanges();
    for (const auto& [k, v] : extra) env[k] = v;
    return runCli(args, env);
  }

  void writeBuild() {
    writeTextFile(tmp / "src/app.cfg", "mode=release\n");
    const std::string shared = seededBytes(3 * kMiB, 31);
    writeTextFile(tmp / "src/data/one.pak", shared);
    writeTextFile(tmp / "src/data/two.pak", shared);
    writeSeededFile(tmp / "src/c.bin", 2 * kMiB, 32);
  }

  void push(const std::string& signKey = "") {
    std::string err;
    ASSERT_TRUE(vorn::pushChannel(*store, src(), channel, true, signKey, nullptr, &err)) << err;
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

  std::string manifestUrl(int lifetime = 300) {
    return vorn::presignGet(config, vorn::channelManifestKey(channel), lifetime);
  }

  std::string makeDescriptor() {
    std::string text, err;
    EXPECT_TRUE(vorn::makeSyncDescriptor(*store, config, channel, 300, &text, &err)) << err;
    const std::string path = tmp / "descriptor.json";
    writeTextFile(path, text);
    return path;
  }

  static S3Server* server_;
  TempDir tmp;
  vorn::S3Config config;
  std::unique_ptr<vorn::StorageProvider> store;
  std::string channel;
};

S3Server* CliSync::server_ = nullptr;

// --- sync with store credentials --------------------------------------------

TEST_F(CliSync, FreshSyncThenResyncDownloadsNothing) {
  writeBuild();
  push();
  const size_t unique = manifestIds().size();

  ProcessResult r = run({"sync", channel, dest()});
  ASSERT_EQ(0, r.status) << r.err;
  SyncSummary s;
  ASSERT_TRUE(parseSyncSummary(r.out, &s)) << r.out;
  EXPECT_EQ(0u, r.out.find("synced '" + channel + "' -> " + dest() + ": 4 file(s), ")) << r.out;
  EXPECT_EQ(4u, s.files);
  EXPECT_EQ(0u, s.reused);
  EXPECT_EQ(unique, s.downloaded);
  EXPECT_GT(s.wire, 0);
  EXPECT_NE(std::string::npos, r.err.find("\r  100% (")) << r.err;
  const std::string erase = "\r" + std::string(64, ' ') + "\r";
  EXPECT_EQ(erase, r.err.substr(r.err.size() - erase.size())) << r.err;
  expectInstalled();

  r = run({"sync", channel, dest()});
  ASSERT_EQ(0, r.status) << r.err;
  ASSERT_TRUE(parseSyncSummary(r.out, &s)) << r.out;
  EXPECT_EQ(0u, s.downloaded);
  EXPECT_EQ(0, s.wire);
  EXPECT_NE(std::string::npos,
            r.out.find("0 downloaded (0 bytes on the wire for 0 unpacked, 0.0% smaller)"))
      << r.out;
  expectInstalled();
}

TEST_F(CliSync, ChangedBuildDownloadsOnlyChangedChunksAndKeepsOtherFiles) {
  writeBuild();
  push();
  const auto oldIds = manifestIds();
  ASSERT_EQ(0, run({"sync", channel, dest()}).status);
  writeTextFile(dest() + "/user.sav", "my save");

  writeSeededFile(tmp / "src/c.bin", 2 * kMiB, 33);
  push();
  size_t fresh = 0;
  for (const auto& id : manifestIds()) fresh += oldIds.count(id) == 0;

  ProcessResult r = run({"sync", channel, dest()});
  ASSERT_EQ(0, r.status) << r.err;
  SyncSummary s;
  ASSERT_TRUE(parseSyncSummary(r.out, &s)) << r.out;
  EXPECT_EQ(fresh, s.downloaded);
  expectInstalled();
  EXPECT_EQ("my save", slurp(dest() + "/user.sav"));
}

TEST_F(CliSync, BaseDirectorySuppliesTheOldBuild) {
  writeBuild();
  push();
  const auto oldIds = manifestIds();
  fs::copy(src(), tmp / "previous", fs::copy_options::recursive);
  writeSeededFile(tmp / "src/c.bin", 2 * kMiB, 34);
  push();
  size_t fresh = 0;
  for (const auto& id : manifestIds()) fresh += oldIds.count(id) == 0;

  ProcessResult r = run({"sync", channel, dest(), "--base", tmp / "previous"});
  ASSERT_EQ(0, r.status) << r.err;
  SyncSummary s;
  ASSERT_TRUE(parseSyncSummary(r.out, &s)) << r.out;
  EXPECT_EQ(fresh, s.downloaded);
  EXPECT_GT(s.reused, 0u);
  expectInstalled();
}

TEST_F(CliSync, DryRunCountsAndWritesNothing) {
  writeBuild();
  push();
  const size_t unique = manifestIds().size();
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
                " chunk slot(s), " + std::to_string(unique) + " unique; 0 already local, " +
                std::to_string(unique) + " to download (" + std::to_string(bytes) +
                " bytes uncompressed - the wire transfer is smaller after compression). Nothing "
                "was written.\n",
            r.out);
  EXPECT_FALSE(fs::exists(dest()));
}

TEST_F(CliSync, TamperedStoreObjectFailsAndLeavesOnlyAPartFile) {
  writeBuild();
  push();
  const auto oldIds = manifestIds();
  ASSERT_EQ(0, run({"sync", channel, dest()}).status);
  const std::string before = slurp(dest() + "/c.bin");
  writeSeededFile(tmp / "src/c.bin", 2 * kMiB, 35);
  push();
  std::string id;
  for (const auto& candidate : manifestIds())
    if (!oldIds.count(candidate)) id = candidate;
  ASSERT_FALSE(id.empty());
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
  vorn::SigningKeyPair keys;
  ASSERT_TRUE(vorn::generateSigningKeyPair(&keys, nullptr));
  writeTextFile(tmp / "release.pub", keys.publicHex + "\r\n");
  writeBuild();
  push(keys.secretHex);
  ProcessResult r = run({"sync", channel, dest(), "--verify", tmp / "release.pub"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ(0u, r.out.find("  manifest signature verified (ed25519)\nsynced '")) << r.out;

  r = run({"verify", channel, dest()}, {{"VORN_VERIFY_KEY", keys.publicHex}});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ(0u, r.out.find("  manifest signature verified (ed25519)\nverified '")) << r.out;

  vorn::SigningKeyPair other;
  ASSERT_TRUE(vorn::generateSigningKeyPair(&other, nullptr));
  r = run({"sync", channel, tmp / "elsewhere", "--verify", other.publicHex});
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("\nsync: signature does not verify\n")) << r.err;
  EXPECT_FALSE(fs::exists(tmp / "elsewhere"));
}

// --- replacing files in use ------------------------------------------------------

// A rename over a non-empty directory fails on Linux the way a replace of an
// open file fails elsewhere.
TEST_F(CliSync, WaitLinesThenInUseFailure) {
  writeBuild();
  push();
  writeTextFile(dest() + "/c.bin/blocker", "x");
  ProcessResult r = run({"sync", channel, dest(), "--wait", "2"});
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("\r  waiting for 'c.bin' to close (1/2s) ...        "))
      << r.err;
  EXPECT_NE(std::string::npos, r.err.find("\r  waiting for 'c.bin' to close (2/2s) ...        "))
      << r.err;
  EXPECT_EQ(std::string::npos, r.err.find("(3/2s)"));
  EXPECT_NE(std::string::npos, r.err.find("\nsync: 'c.bin' is in use - could not replace it ("))
      << r.err;

  r = run({"sync", channel, dest()});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ(std::string::npos, r.err.find("waiting for")) << "no --wait, no waiting";
}

TEST_F(CliSync, WaitSucceedsOnceTheObstacleGoesAway) {
  writeBuild();
  push();
  writeTextFile(dest() + "/c.bin/blocker", "x");
  const std::string part = dest() + "/c.bin.part";
  const uintmax_t fullSize = fs::file_size(src() + "/c.bin");
  // Clears the obstacle once the part file is complete, i.e. while the sync waits.
  std::thread release([&] {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    std::error_code ec;
    while (std::chrono::steady_clock::now() < deadline) {
      if (fs::file_size(part, ec) == fullSize && !ec) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    fs::remove_all(dest() + "/c.bin", ec);
  });
  ProcessResult r = run({"sync", channel, dest(), "--wait", "5"});
  release.join();
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_NE(std::string::npos, r.err.find("waiting for 'c.bin' to close (1/5s)")) << r.err;
  EXPECT_EQ(slurp(src() + "/c.bin"), slurp(dest() + "/c.bin"));
}

// --- verify and repair -------------------------------------------------------------

TEST_F(CliSync, VerifyQuickFullVerboseAndRepair) {
  writeBuild();
  push();
  ASSERT_EQ(0, run({"sync", channel, dest()}).status);
  const std::string head = "'" + channel + "' in " + dest() + ": ";

  ProcessResult r = run({"verify", channel, dest()});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ(0u, r.out.find("verified " + head + "4 file(s), 4 ok, 0 missing, 0 corrupt ("))
      << r.out;
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
  EXPECT_NE(std::string::npos, r.out.find("  BAD   app.cfg (missing)\n")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("  BAD   c.bin (size mismatch)\n")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("  BAD   data/two.pak (chunk hash mismatch)\n")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("1 ok, 1 missing, 2 corrupt")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("  3 file(s) need repair")) << r.out;

  r = run({"verify", channel, dest()});
  EXPECT_EQ(std::string::npos, r.out.find("BAD")) << "no BAD lines without --verbose";
  EXPECT_NE(std::string::npos, r.out.find("  3 file(s) need repair")) << r.out;

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

// --- sources and configuration -----------------------------------------------------

TEST_F(CliSync, ManifestUrlModesAndWhichNeedTheStore) {
  writeBuild();
  push();
  const std::string url = manifestUrl();

  ProcessResult r = run({"sync", channel, dest(), "--manifest-url", url}, {}, false);
  EXPECT_EQ(2, r.status);
  EXPECT_EQ(0u, r.err.find("config: missing env vars:")) << r.err;

  r = run({"sync", channel, dest(), "--manifest-url", url, "--dry-run"}, {}, false);
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ(0u, r.out.find("dry-run '" + channel + "'")) << r.out;

  ASSERT_EQ(0, run({"sync", channel, dest()}).status);
  r = run({"verify", channel, dest(), "--manifest-url", url}, {}, false);
  EXPECT_EQ(0, r.status) << r.err;
  r = run({"verify", channel, dest(), "--manifest-url", url, "--repair"}, {}, false);
  EXPECT_EQ(2, r.status);
  EXPECT_EQ(0u, r.err.find("config: ")) << r.err;

  r = run({"sync", channel, dest()}, {}, false);
  EXPECT_EQ(2, r.status);
  EXPECT_EQ(
      "config: missing env vars: VORN_S3_ENDPOINT VORN_S3_BUCKET VORN_S3_KEY VORN_S3_SECRET\n",
      r.err);
}

TEST_F(CliSync, DescriptorFileLetsAConsumerWithoutCredentialsSyncVerifyAndRepair) {
  writeBuild();
  push();
  const std::string descriptor = makeDescriptor();
  ProcessResult r = run({"sync", channel, dest(), "--descriptor", descriptor}, {}, false);
  ASSERT_EQ(0, r.status) << r.err;
  SyncSummary s;
  ASSERT_TRUE(parseSyncSummary(r.out, &s)) << r.out;
  EXPECT_EQ(manifestIds().size(), s.downloaded);
  expectInstalled();

  fs::remove(dest() + "/data/one.pak");
  r = run({"verify", channel, dest(), "--descriptor", descriptor, "--repair"}, {}, false);
  ASSERT_EQ(0, r.status) << r.out << r.err;
  EXPECT_NE(std::string::npos, r.out.find("repaired: ")) << r.out;
  expectInstalled();

  // The file wins over a URL, which is then never fetched.
  r = run({"verify", channel, dest(), "--descriptor", descriptor, "--descriptor-url",
           "http://127.0.0.1:1/never"},
          {}, false);
  EXPECT_EQ(0, r.status) << r.err;
}

TEST_F(CliSync, ExpiredChunkUrlsFailOnTheFirstChunk) {
  writeBuild();
  push();
  Json::Value doc(Json::objectValue);
  doc["manifest_url"] = manifestUrl();
  doc["manifest_sig_url"] = "";
  doc["chunks"] = Json::Value(Json::objectValue);
  const std::time_t past = std::time(nullptr) - 7200;
  for (const auto& id : manifestIds())
    doc["chunks"][id] = vorn::presignGetAt(config, store->chunkKey(id), 60, past);
  writeTextFile(tmp / "expired.json", vorn::writeJsonText(doc));
  ProcessResult r = run({"sync", channel, dest(), "--descriptor", tmp / "expired.json"}, {}, false);
  EXPECT_EQ(1, r.status);
  EXPECT_TRUE(std::regex_search(r.err, std::regex("\nsync: chunk URL [0-9a-f]{64} -> HTTP 403\n")))
      << r.err;
}

TEST_F(CliSync, DescriptorProblemsAndUsage) {
  ProcessResult r = run({"sync", channel});
  EXPECT_EQ(2, r.status);
  EXPECT_EQ(0u, r.err.find("corvane-vorn - Vorn build distribution\n")) << r.err;
  r = run({"verify"});
  EXPECT_EQ(2, r.status);

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
}

TEST_F(CliSync, DescriptorUrlSendsTheTokenAndShowsTheStartOfAnErrorBody) {
  std::string body = "<html>";
  while (body.size() < 600) body += "access denied, go away; ";
  FixedHttpServer http(403, body);
  ProcessResult r =
      run({"sync", channel, dest(), "--descriptor-url", http.url(), "--token", "tok-123"},
          {{"CORVANE_TOKEN", std::string("from-env")}});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("descriptor-url -> HTTP 403 " + body.substr(0, 200) + "\n", r.err);
  EXPECT_NE(std::string::npos, http.requests().find("Authorization: Bearer tok-123\r\n"))
      << http.requests();

  r = run({"verify", channel, dest(), "--descriptor-url", http.url()},
          {{"CORVANE_TOKEN", std::string("from-env")}});
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, http.requests().find("Authorization: Bearer from-env\r\n"))
      << http.requests();
}

TEST_F(CliSync, DescriptorFetchedFromUrlDrivesTheSync) {
  writeBuild();
  push();
  FixedHttpServer http(200, slurp(makeDescriptor()));
  ProcessResult r = run({"sync", channel, dest(), "--descriptor-url", http.url()}, {}, false);
  ASSERT_EQ(0, r.status) << r.err;
  expectInstalled();
  // The token goes with the descriptor request only; there was none here.
  EXPECT_EQ(std::string::npos, http.requests().find("Authorization:")) << http.requests();
}

// --- hostile manifests ----------------------------------------------------------------

TEST_F(CliSync, ManifestPathsLeavingTheDestinationAreRefused) {
  for (const std::string bad : {"../escaped.txt", "/tmp/vorn-abs-escape.txt", "a//b"}) {
    const std::string content = "evil";
    Json::Value file(Json::objectValue);
    file["path"] = bad;
    file["size"] = static_cast<Json::UInt64>(content.size());
    Json::Value chunk(Json::objectValue);
    chunk["h"] = vorn::blake3Hex(content);
    chunk["n"] = static_cast<Json::UInt64>(content.size());
    file["chunks"] = Json::Value(Json::arrayValue);
    file["chunks"].append(chunk);
    Json::Value doc(Json::objectValue);
    doc["schema"] = 1;
    doc["channel"] = channel;
    doc["files"] = Json::Value(Json::arrayValue);
    doc["files"].append(file);
    std::string err;
    ASSERT_TRUE(store->put(store->chunkKey(chunk["h"].asString()), content, &err)) << err;
    ASSERT_TRUE(store->put(vorn::channelManifestKey(channel), vorn::writeJsonText(doc), &err))
        << err;

    ProcessResult r = run({"sync", channel, dest()});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("sync: unsafe path in manifest: '" + bad + "'\n"))
        << r.err;
    r = run({"verify", channel, dest(), "--repair"});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("verify: unsafe path in manifest: '" + bad + "'\n", r.err);
    EXPECT_FALSE(fs::exists(dest()));
    EXPECT_FALSE(fs::exists(tmp / "escaped.txt"));
    EXPECT_FALSE(fs::exists("/tmp/vorn-abs-escape.txt"));
  }
}

}  // namespace
