// The sync and verify verbs end to end: the real program against the local S3
// test server (signatures checked), in every source mode. What the engine
// decides (chunk sources, tampering, hostile manifests) is tested in process.

#include "engine/push.hpp"
#include "engine/signing.hpp"
#include "engine/sync_descriptor.hpp"
#include "storage/request_signing.hpp"

#include "support/cli_fixtures.hpp"
#include "support/engine_fixtures.hpp"
#include "support/http_stub.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <regex>
#include <set>

namespace {

namespace fs = std::filesystem;
using vorn_test::ProcessResult;
using vorn_test::S3Server;
using vorn_test::slurp;
using vorn_test::writeTextFile;

const size_t kMiB = 1048576;

// The "N downloaded" figure of a "synced ..." summary line, -1 if absent.
long downloaded(const std::string& out) {
  static const std::regex line(
      R"(synced '[^']*' -> [^:]*: \d+ file\(s\), \d+ chunk\(s\) reused locally, (\d+) downloaded \(\d+ bytes on the wire for \d+ unpacked, -?\d+\.\d% smaller\)\n)");
  std::smatch m;
  return std::regex_search(out, m, line) ? std::stol(m[1]) : -1;
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
    vorn_test::writeSeededFile(tmp / "src/c.bin", 2 * kMiB, 32);
  }

  std::string src() const { return tmp / "src"; }
  std::string dest() const { return tmp / "dest"; }

  ProcessResult run(const std::vector<std::string>& args, const vorn_test::EnvChanges& extra = {}) {
    return vorn_test::runWithStore(*server_, args, extra);
  }
  // Without any VORN_S3_* setting.
  ProcessResult runBare(const std::vector<std::string>& args) { return vorn_test::runCli(args); }

  void push(const std::string& signKey = "") {
    std::string err;
    ASSERT_TRUE(vorn::pushChannel(*store, src(), channel, true, signKey, nullptr, &err)) << err;
  }

  std::map<std::string, uint64_t> chunks() {
    return vorn_test::uniqueChunks(vorn_test::storedFiles(*store, channel));
  }

  // Pushes a new c.bin; returns how many chunks the new build added.
  size_t pushChangedBuild(uint64_t seed) {
    const auto old = chunks();
    vorn_test::writeSeededFile(tmp / "src/c.bin", 2 * kMiB, seed);
    push();
    size_t fresh = 0;
    for (const auto& [id, size] : chunks()) fresh += old.count(id) == 0;
    return fresh;
  }

  void expectInstalled() {
    for (const auto& f : vorn_test::storedFiles(*store, channel))
      EXPECT_EQ(slurp(src() + "/" + f.path), slurp(dest() + "/" + f.path)) << f.path;
  }

  std::string manifestUrl() {
    return vorn::presignGet(config, vorn::channelManifestKey(channel), 300);
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
  EXPECT_EQ(0u, r.out.find("synced '" + channel + "' -> " + dest() +
                           ": 4 file(s), 0 chunk(s) reused locally, "))
      << r.out;
  EXPECT_EQ(static_cast<long>(chunks().size()), downloaded(r.out));
  EXPECT_NE(std::string::npos, r.err.find("\r  100% (")) << r.err;
  const std::string erase = "\r" + std::string(64, ' ') + "\r";
  EXPECT_EQ(erase, r.err.substr(r.err.size() - erase.size())) << r.err;
  expectInstalled();
  writeTextFile(dest() + "/user.sav", "my save");

  r = run({"sync", channel, dest()});
  EXPECT_NE(std::string::npos,
            r.out.find("0 downloaded (0 bytes on the wire for 0 unpacked, 0.0% smaller)"))
      << r.out;

  const size_t fresh = pushChangedBuild(33);
  r = run({"sync", channel, dest()});
  EXPECT_EQ(static_cast<long>(fresh), downloaded(r.out)) << r.out << r.err;
  expectInstalled();
  EXPECT_EQ("my save", slurp(dest() + "/user.sav"));
}

TEST_F(CliSync, BaseDirectorySuppliesTheOldBuildAndDryRunCounts) {
  push();
  fs::copy(src(), tmp / "previous", fs::copy_options::recursive);
  const size_t fresh = pushChangedBuild(34);
  long long bytes = 0;
  size_t slots = 0;
  for (const auto& [id, size] : chunks()) bytes += static_cast<long long>(size);
  for (const auto& f : vorn_test::storedFiles(*store, channel)) slots += f.chunks.size();
  const std::string unique = std::to_string(chunks().size());
  ProcessResult r = run({"sync", channel, dest(), "--dry-run"});
  EXPECT_EQ("dry-run '" + channel + "' -> " + dest() + ": 4 file(s), " + std::to_string(slots) +
                " chunk slot(s), " + unique + " unique; 0 already local, " + unique +
                " to download (" + std::to_string(bytes) +
                " bytes uncompressed - the wire transfer is smaller after compression). Nothing "
                "was written.\n",
            r.out)
      << r.err;
  EXPECT_FALSE(fs::exists(dest()));

  r = run({"sync", channel, dest(), "--base", tmp / "previous"});
  EXPECT_EQ(static_cast<long>(fresh), downloaded(r.out)) << r.out << r.err;
  EXPECT_NE(std::string::npos,
            r.out.find(": 4 file(s), " + std::to_string(slots - fresh) + " chunk(s) reused"));
  expectInstalled();
}

// Any number of jobs makes the same sync: the same files, counters and
// summaries, also when chunks move from file to file in either direction (a
// file's old chunks are gone once it is replaced), and in repair.
TEST_F(CliSync, SameOutcomeWhateverTheNumberOfJobs) {
  const int kFiles = 12;
  auto writeBuild = [&](int shift) {
    fs::remove_all(src());
    for (int i = 0; i < kFiles; ++i) {
      const int from = ((i + shift) % kFiles + kFiles) % kFiles;
      vorn_test::writeSeededFile(src() + "/f" + std::to_string(i),
                                 40000 + 9000 * static_cast<size_t>(from), 70 + from % 9);
    }
  };
  const std::string one = tmp / "one", many = tmp / "many";
  auto syncBoth = [&](const std::vector<std::string>& verb) {
    std::vector<std::string> a = verb, b = verb;
    a.insert(a.begin() + 2, one);
    b.insert(b.begin() + 2, many);
    b.insert(b.end(), {"--jobs", "8"});
    const ProcessResult first = run(a), second = run(b);
    EXPECT_EQ(first.status, second.status) << first.err << second.err;
    std::string out = second.out;
    for (size_t at; (at = out.find(many)) != std::string::npos;) out.replace(at, many.size(), one);
    EXPECT_EQ(first.out, out);
    for (const auto& f : vorn_test::storedFiles(*store, channel)) {
      EXPECT_EQ(slurp(src() + "/" + f.path), slurp(one + "/" + f.path)) << f.path;
      EXPECT_EQ(slurp(src() + "/" + f.path), slurp(many + "/" + f.path)) << f.path;
    }
    return first.out;
  };
  for (int shift : {0, 1, -1, 5}) {
    SCOPED_TRACE(shift);
    writeBuild(shift);
    push();
    const std::string out = syncBoth({"sync", channel});
    if (shift != 0) {
      EXPECT_GT(downloaded(out), 0) << out;
    }
  }
  for (const std::string& dir : {one, many}) {
    fs::remove(dir + "/f3");
    writeTextFile(dir + "/f7", "damaged");
  }
  EXPECT_NE(syncBoth({"verify", channel, "--repair"}).find("repaired: "), std::string::npos);
}

TEST_F(CliSync, SignedManifestIsCheckedAndSaidSo) {
  vorn::SigningKeyPair keys, other;
  ASSERT_TRUE(vorn::generateSigningKeyPair(&keys, nullptr));
  ASSERT_TRUE(vorn::generateSigningKeyPair(&other, nullptr));
  writeTextFile(tmp / "release.pub", keys.publicHex + "\r\n");
  push(keys.secretHex);
  ProcessResult r = run({"sync", channel, dest(), "--verify", tmp / "release.pub"});
  EXPECT_EQ(0u, r.out.find("  manifest signature verified (ed25519)\nsynced '")) << r.out << r.err;
  r = run({"verify", channel, dest()}, {{"VORN_VERIFY_KEY", keys.publicHex}});
  EXPECT_EQ(0u, r.out.find("  manifest signature verified (ed25519)\nverified '"))
      << r.out << r.err;

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
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_TRUE(std::regex_match(
      r.out,
      std::regex("verified .*: 4 file\\(s\\), 4 ok, 0 missing, 0 corrupt \\([0-9]+ chunk\\(s\\), " +
                 std::to_string(8 * kMiB + 13) +
                 " bytes checked\\)\n  OK - install matches the manifest\n")))
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
  EXPECT_EQ(std::string::npos, run({"verify", channel, dest()}).out.find("BAD"))
      << "no BAD lines without --verbose";

  r = run({"verify", channel, dest(), "--repair"});
  EXPECT_EQ(0, r.status) << r.out << r.err;
  EXPECT_NE(std::string::npos, r.out.find("repairing 3 file(s) ...\n")) << r.out;
  EXPECT_EQ(std::string::npos, r.out.find("STILL BAD")) << r.out;
  const std::string done = "repaired: " + dest() + " now matches the manifest\n";
  EXPECT_EQ(done, r.out.substr(r.out.size() - std::min(r.out.size(), done.size()))) << r.out;
  expectInstalled();
  r = run({"verify", channel, dest(), "--repair", "--quick"});
  EXPECT_EQ(0, r.status) << r.err;
  EXPECT_EQ(std::string::npos, r.out.find("repairing")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("  OK - install matches the manifest\n")) << r.out;
}

// --delete mirrors the build: what the build dropped, stray links and emptied
// directories go, one line each; nothing outside the destination does.
TEST_F(CliSync, DeleteMirrorsTheBuildAndDryRunOnlyLists) {
  push();
  ASSERT_EQ(0, run({"sync", channel, dest()}).status);
  fs::remove(tmp / "src/data/two.pak");
  push();
  writeTextFile(tmp / "outside/keep.txt", "outside");
  writeTextFile(tmp / "dest-sibling/keep.txt", "sibling");
  fs::create_directory_symlink(tmp / "outside", dest() + "/extra-link");
  writeTextFile(dest() + "/old/notes.txt", "left from long ago");

  ProcessResult r = run({"sync", channel, dest()});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ(std::string::npos, r.out.find("removed")) << r.out;
  EXPECT_TRUE(fs::exists(dest() + "/data/two.pak")) << "without --delete extra files stay";

  const std::string lines = "  %s data/two.pak\n  %s extra-link\n  %s old/notes.txt\n  %s old\n";
  const auto listing = [&](const std::string& verb) {
    std::string text = lines;
    for (size_t at; (at = text.find("%s")) != std::string::npos;) text.replace(at, 2, verb);
    return text;
  };
  r = run({"sync", channel, dest(), "--dry-run", "--delete"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ(0u, r.out.find("dry-run '" + channel + "'")) << r.out;
  EXPECT_NE(std::string::npos, r.out.find("Nothing was written.\n" + listing("would remove")))
      << r.out;
  EXPECT_TRUE(fs::exists(dest() + "/data/two.pak"));
  EXPECT_TRUE(fs::exists(fs::symlink_status(dest() + "/extra-link")));

  r = run({"sync", channel, dest(), "--delete"});
  ASSERT_EQ(0, r.status) << r.err;
  EXPECT_EQ(0u, r.out.find("synced '" + channel + "'")) << r.out;
  EXPECT_EQ(r.out.size() - listing("removed").size(), r.out.find("\n" + listing("removed")) + 1)
      << r.out;
  std::set<std::string> left;
  for (const auto& e : fs::recursive_directory_iterator(dest()))
    left.insert(fs::relative(e.path(), dest()).generic_string());
  EXPECT_EQ((std::set<std::string>{"app.cfg", "c.bin", "data", "data/one.pak"}), left);
  expectInstalled();
  EXPECT_EQ("outside", slurp(tmp / "outside/keep.txt"));
  EXPECT_EQ("sibling", slurp(tmp / "dest-sibling/keep.txt"));

  // Mirrored already: nothing to say. The environment may switch it on.
  writeTextFile(dest() + "/stray.txt", "x");
  r = run({"sync", channel, dest()}, {{"VORN_SYNC_DELETE", std::string("1")}});
  const std::string stray = "\n  removed stray.txt\n";
  EXPECT_EQ(r.out.size() - stray.size(), r.out.find(stray)) << r.out;
  r = run({"sync", channel, dest(), "--delete"});
  EXPECT_EQ(std::string::npos, r.out.find("removed")) << r.out;
}

// Executable bits travel with --keep-mode (or VORN_KEEP_MODE), and only then.
TEST_F(CliSync, KeepModeCarriesExecutableBitsThroughSyncVerifyAndRepair) {
  writeTextFile(tmp / "src/bin/run.sh", "#!/bin/sh\necho hi\n");
  fs::permissions(tmp / "src/bin/run.sh", fs::perms(0755), fs::perm_options::replace);
  const auto exec = [](const std::string& path) {
    return static_cast<unsigned>(fs::status(path).permissions()) & 0111u;
  };
  const auto manifest = [&](const std::vector<std::string>& extra,
                            const vorn_test::EnvChanges& env) {
    std::vector<std::string> args{"chunk", src(), tmp / "m.json"};
    args.insert(args.end(), extra.begin(), extra.end());
    EXPECT_EQ(0, run(args, env).status);
    return slurp(tmp / "m.json");
  };
  const std::string plain = manifest({}, {});
  EXPECT_EQ(plain, manifest({}, {{"VORN_KEEP_MODE", std::string("0")}}));
  EXPECT_EQ(std::string::npos, plain.find("executable"));
  const std::string kept = manifest({"--keep-mode"}, {});
  EXPECT_EQ(kept, manifest({}, {{"VORN_KEEP_MODE", std::string("1")}}));
  std::string stripped = kept;
  const std::string member = "      \"executable\" : true,\n";
  ASSERT_NE(std::string::npos, stripped.find(member)) << kept;
  stripped.erase(stripped.find(member), member.size());
  EXPECT_EQ(plain, stripped) << "one member more, on the one executable file";

  ProcessResult r = run({"push", src(), channel, "--keep-mode"});
  ASSERT_EQ(0, r.status) << r.err;
  ASSERT_EQ(0, run({"sync", channel, dest()}).status);
  const unsigned mode = static_cast<unsigned>(fs::status(dest() + "/bin/run.sh").permissions());
  EXPECT_EQ(mode & 0111u, (mode & 0444u) >> 2) << std::oct << mode;
  EXPECT_NE(0u, mode & 0100u);
  EXPECT_EQ(0u, exec(dest() + "/app.cfg"));
  EXPECT_EQ(0, run({"verify", channel, dest()}).status);

  fs::permissions(dest() + "/bin/run.sh", fs::perms(0111), fs::perm_options::remove);
  fs::permissions(dest() + "/app.cfg", fs::perms::owner_exec, fs::perm_options::add);
  for (const char* quick : {"--verbose", "--quick"}) {
    r = run({"verify", channel, dest(), "--verbose", quick});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.out.find("  BAD   bin/run.sh (mode)\n")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("  BAD   app.cfg (mode)\n")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find(" 3 ok, 0 missing, 2 corrupt ")) << r.out;
  }
  r = run({"verify", channel, dest(), "--repair"});
  EXPECT_EQ(0, r.status) << r.out << r.err;
  EXPECT_NE(0u, exec(dest() + "/bin/run.sh"));
  EXPECT_EQ(0u, exec(dest() + "/app.cfg"));

  // The build id leaves modes out: the same tree is unchanged with and without
  // the option, but other executable bits are another build.
  r = run({"push", src(), channel});
  EXPECT_NE(std::string::npos, r.out.find("unchanged")) << r.out << r.err;
  r = run({"push", src(), channel, "--keep-mode"});
  EXPECT_NE(std::string::npos, r.out.find("unchanged")) << r.out << r.err;
  fs::permissions(tmp / "src/bin/run.sh", fs::perms(0644), fs::perm_options::replace);
  r = run({"push", src(), channel, "--keep-mode"});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("push: channel '" + channel + "' already published (use --force to overwrite)\n",
            r.err);

  // With no executable file left the manifest has no member at all, and modes
  // are not checked.
  r = run({"push", src(), channel, "--keep-mode", "--force"});
  EXPECT_NE(std::string::npos, r.out.find("pushed '")) << r.out << r.err;
  fs::permissions(dest() + "/app.cfg", fs::perms::owner_exec, fs::perm_options::add);
  EXPECT_EQ(0, run({"verify", channel, dest()}).status);
}

TEST_F(CliSync, WhichModesNeedTheStoreConfiguration) {
  push();
  const std::string url = manifestUrl();
  EXPECT_EQ(vorn_test::kMissingStoreEnv, runBare({"sync", channel, dest()}).err);
  // Syncing by manifest URL still fetches chunks from the store.
  EXPECT_EQ(vorn_test::kMissingStoreEnv,
            runBare({"sync", channel, dest(), "--manifest-url", url}).err);
  ProcessResult r = runBare({"sync", channel, dest(), "--manifest-url", url, "--dry-run"});
  EXPECT_EQ(0u, r.out.find("dry-run '" + channel + "'")) << r.out << r.err;

  ASSERT_EQ(0, run({"sync", channel, dest()}).status);
  r = runBare({"verify", channel, dest(), "--manifest-url", url});
  EXPECT_EQ(0, r.status) << r.err;
  r = runBare({"verify", channel, dest(), "--manifest-url", url, "--repair"});
  EXPECT_EQ(2, r.status);
  EXPECT_EQ(vorn_test::kMissingStoreEnv, r.err);
  r = runBare({"verify", channel, dest(), "--manifest-url", url + "x"});
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("verify: manifest URL -> HTTP 403\n", r.err);
}

TEST_F(CliSync, DescriptorLetsAConsumerWithoutCredentialsSyncVerifyAndRepair) {
  push();
  std::string text, err;
  ASSERT_TRUE(vorn::makeSyncDescriptor(*store, config, channel, 300, &text, &err)) << err;
  const std::string descriptor = tmp / "descriptor.json";
  writeTextFile(descriptor, text);
  ProcessResult r = runBare({"sync", channel, dest(), "--descriptor", descriptor});
  EXPECT_EQ(static_cast<long>(chunks().size()), downloaded(r.out)) << r.out << r.err;
  expectInstalled();

  fs::remove(dest() + "/data/one.pak");
  r = runBare({"verify", channel, dest(), "--descriptor", descriptor, "--repair"});
  EXPECT_NE(std::string::npos, r.out.find("repaired: ")) << r.out << r.err;
  expectInstalled();

  // The file wins over a URL, which is then never fetched.
  r = runBare({"verify", channel, dest(), "--descriptor", descriptor, "--descriptor-url",
               "http://127.0.0.1:1/never"});
  EXPECT_EQ(0, r.status) << r.err;

  // Fetched from a URL without a token: no Authorization header.
  fs::remove_all(dest());
  FixedHttpServer http(200, text);
  r = runBare({"sync", channel, dest(), "--descriptor-url", http.url()});
  ASSERT_EQ(0, r.status) << r.err;
  expectInstalled();
  EXPECT_EQ(std::string::npos, http.requests().find("Authorization:")) << http.requests();

  // Chunk URLs that expired fail on the first chunk.
  Json::Value doc(Json::objectValue);
  doc["manifest_url"] = manifestUrl();
  for (const auto& [id, size] : chunks())
    doc["chunks"][id] =
        vorn::presignGetAt(config, store->chunkKey(id), 60, std::time(nullptr) - 7200);
  writeTextFile(tmp / "expired.json", vorn::writeJsonText(doc));
  r = runBare({"sync", channel, tmp / "fresh", "--descriptor", tmp / "expired.json"});
  EXPECT_EQ(1, r.status);
  EXPECT_TRUE(std::regex_search(r.err, std::regex("\nsync: chunk URL [0-9a-f]{64} -> HTTP 403\n")))
      << r.err;
}

TEST_F(CliSync, DescriptorProblemsAndUsage) {
  vorn_test::expectUsage(run({"sync", channel}));
  EXPECT_EQ(2, run({"verify"}).status);
  ProcessResult r = run({"sync", channel, dest(), "--descriptor", tmp / "nope.json"});
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
  const vorn_test::EnvChanges envToken{{"CORVANE_TOKEN", std::string("from-env")}};
  r = run({"sync", channel, dest(), "--descriptor-url", http.url(), "--token", "tok-123"},
          envToken);
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("descriptor-url -> HTTP 403 " + body.substr(0, 200) + "\n", r.err);
  EXPECT_NE(std::string::npos, http.requests().find("Authorization: Bearer tok-123\r\n"));
  r = run({"verify", channel, dest(), "--descriptor-url", http.url()}, envToken);
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, http.requests().find("Authorization: Bearer from-env\r\n"))
      << http.requests();
}

}  // namespace
