// The push verb end to end: the real program against the local S3 test
// server, with the registration requests received by a recording stand-in
// for the family server (tests/register/server.js).

#include "chunking/manifest.hpp"
#include "engine/channel_manifest.hpp"
#include "engine/chunk_codec.hpp"
#include "engine/signing.hpp"
#include "storage/s3_config.hpp"
#include "storage/storage_provider.hpp"

#include "support/node_server.hpp"
#include "support/process.hpp"
#include "support/s3_server.hpp"
#include "support/temp_dir.hpp"
#include "support/test_data.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

namespace {

using vorn_test::EnvChanges;
using vorn_test::ProcessResult;
using vorn_test::runCli;
using vorn_test::TempDir;

// The recording registration server on a free loopback port, stopped with
// the object.
class RegisterServer {
 public:
  RegisterServer()
      : server_({}, std::string(VORN_SOURCE_DIR) + "/tests/register/server.js",
                {"--port", "0", "--log", logPath()}, dir_ / "server.out") {}
  RegisterServer(const RegisterServer&) = delete;
  RegisterServer& operator=(const RegisterServer&) = delete;

  bool running() const { return server_.running(); }
  const std::string& startError() const { return server_.startError(); }
  std::string base() const { return server_.base(); }

  // Every request received so far, one JSON object each.
  std::vector<Json::Value> requests() const {
    std::vector<Json::Value> out;
    std::istringstream lines(vorn_test::slurp(logPath()));
    std::string line;
    while (std::getline(lines, line)) {
      Json::Value record;
      if (vorn::parseJson(line, &record, nullptr)) out.push_back(record);
    }
    return out;
  }

 private:
  std::string logPath() const { return dir_ / "requests.jsonl"; }

  TempDir dir_;
  vorn_test::NodeServer server_;
};

const std::string kSummary =
    "^pushed '([^']*)': ([0-9]+) unique chunk\\(s\\): ([0-9]+) already present, ([0-9]+) "
    "uploaded \\(([0-9]+) bytes -> ([0-9]+) stored, (-?[0-9]+\\.[0-9])% smaller\\)\n"
    "  build ([0-9a-f]{64})\n";

struct Summary {
  std::string channel;
  size_t unique = 0, present = 0, uploaded = 0;
  long long bytesIn = 0, bytesStored = 0;
  std::string percent, build;
  bool signedLine = false;
  std::string rest;  // what follows the summary lines
};

bool parseSummary(const std::string& out, Summary* s) {
  std::smatch m;
  if (!std::regex_search(out, m, std::regex(kSummary))) return false;
  s->channel = m[1];
  s->unique = std::stoul(m[2]);
  s->present = std::stoul(m[3]);
  s->uploaded = std::stoul(m[4]);
  s->bytesIn = std::stoll(m[5]);
  s->bytesStored = std::stoll(m[6]);
  s->percent = m[7];
  s->build = m[8];
  s->rest = m.suffix();
  const std::string signedText = "  manifest signed (ed25519)\n";
  s->signedLine = s->rest.rfind(signedText, 0) == 0;
  if (s->signedLine) s->rest = s->rest.substr(signedText.size());
  return true;
}

std::string percentText(long long before, long long after) {
  char text[32];
  std::snprintf(
      text, sizeof text, "%.1f",
      before ? (1.0 - static_cast<double>(after) / static_cast<double>(before)) * 100.0 : 0.0);
  return text;
}

class PushCli : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(s3.running()) << s3.startError();
    vorn::S3Config config{s3.endpoint(), "us-east-1", s3.bucket(), s3.accessKey(), s3.secret()};
    store = vorn::makeS3Provider(config);
    // A small build: text that compresses, random bytes that do not, a copy.
    std::string text;
    for (int i = 0; text.size() < 1300 * 1024; ++i)
      text += "symbol_" + std::to_string(i * 7919 % 100003) + "\n";
    vorn_test::writeTextFile(dir / "build/bin/app.map", text);
    vorn_test::writeSeededFile(dir / "build/data/pack.bin", 1100 * 1024, 1);
    vorn_test::writeSeededFile(dir / "build/data/pack-copy.bin", 1100 * 1024, 1);
    vorn_test::writeTextFile(dir / "build/readme.txt", "hello\n");
  }

  ProcessResult push(std::vector<std::string> args, EnvChanges extra = {}) {
    args.insert(args.begin(), "push");
    EnvChanges env = s3.env();
    for (auto& [name, value] : extra) env[name] = value;
    return runCli(args, env);
  }

  std::string object(const std::string& key) {
    std::string body, err;
    EXPECT_TRUE(store->get(key, &body, &err)) << err;
    return body;
  }
  bool exists(const std::string& key) { return store->head(key, nullptr).exists; }

  vorn_test::S3Server s3;
  std::unique_ptr<vorn::StorageProvider> store;
  TempDir dir;
};

TEST_F(PushCli, UsageAndConfigurationErrors) {
  ProcessResult r = runCli({"push", dir / "build"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err.rfind("corvane-vorn - Vorn build distribution\nusage:\n", 0), 0u) << r.err;
  EXPECT_EQ(r.out, "");
  // A value option in the last position is positional, not enough to push.
  r = runCli({"push", dir / "build", "--sign"});
  EXPECT_EQ(r.status, 2);

  r = runCli({"push", dir / "build", "stable"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(
      r.err,
      "config: missing env vars: VORN_S3_ENDPOINT VORN_S3_BUCKET VORN_S3_KEY VORN_S3_SECRET\n");

  r = push({dir / "build", "stable"}, {{"VORN_S3_ENDPOINT", std::string("http://127.0.0.1:1")}});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("push: cannot reach store: ", 0), 0u) << r.err;

  r = push({dir / "missing", "stable"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("push: ", 0), 0u) << r.err;
  EXPECT_FALSE(exists("channels/stable/manifest.json"));
}

TEST_F(PushCli, PublishesThenReportsUnchangedThenNeedsForce) {
  ProcessResult r = push({dir / "build", "stable"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  Summary first;
  ASSERT_TRUE(parseSummary(r.out, &first)) << r.out;
  EXPECT_EQ(first.channel, "stable");
  EXPECT_EQ(first.present, 0u);
  EXPECT_EQ(first.uploaded, first.unique);
  EXPECT_EQ(first.percent, percentText(first.bytesIn, first.bytesStored));
  EXPECT_FALSE(first.signedLine);
  EXPECT_EQ(first.rest, "");

  // What the store holds: the stamped manifest and every chunk, decodable.
  Json::Value doc;
  std::string err;
  ASSERT_TRUE(vorn::fetchChannelManifest(*store, "stable", "", "", "", &doc, &err)) << err;
  EXPECT_EQ(doc["build"].asString(), first.build);
  std::vector<vorn::ManifestFile> files;
  ASSERT_TRUE(vorn::readManifestFiles(doc, &files, &err)) << err;
  std::set<std::string> ids;
  long long stored = 0, bytesIn = 0;
  for (const auto& file : files) {
    for (const auto& chunk : file.chunks) {
      if (!ids.insert(chunk.id).second) continue;
      const std::string body = object(vorn::plainChunkKey(chunk.id));
      std::string bytes;
      EXPECT_TRUE(vorn::decodeChunk(body, chunk.id, &bytes, &err)) << err;
      EXPECT_EQ(bytes.size(), chunk.size);
      stored += static_cast<long long>(body.size());
      bytesIn += static_cast<long long>(chunk.size);
    }
  }
  EXPECT_EQ(ids.size(), first.unique);
  EXPECT_LT(ids.size(), 5u);  // the copy shares its chunk
  EXPECT_EQ(first.bytesIn, bytesIn);
  EXPECT_EQ(first.bytesStored, stored);

  const std::string manifestText = object("channels/stable/manifest.json");
  r = push({dir / "build", "stable"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "'stable' unchanged (build " + first.build.substr(0, 16) +
                       "): nothing republished; " + std::to_string(first.unique) +
                       " chunk(s) checked, 0 re-uploaded\n");
  EXPECT_EQ(object("channels/stable/manifest.json"), manifestText);

  vorn_test::writeSeededFile(dir / "build/data/extra.bin", 1050 * 1024, 2);
  r = push({dir / "build", "stable"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "push: channel 'stable' already published (use --force to overwrite)\n");
  EXPECT_EQ(object("channels/stable/manifest.json"), manifestText);

  r = push({"--force", dir / "build", "stable"});
  ASSERT_EQ(r.status, 0) << r.err;
  Summary forced;
  ASSERT_TRUE(parseSummary(r.out, &forced)) << r.out;
  EXPECT_EQ(forced.unique, first.unique + 1);
  EXPECT_EQ(forced.present, first.unique);
  EXPECT_EQ(forced.uploaded, 1u);
  EXPECT_NE(forced.build, first.build);
}

TEST_F(PushCli, NothingToUploadPrintsZeroSaving) {
  ASSERT_EQ(push({dir / "build", "a"}).status, 0);
  ProcessResult r = push({dir / "build", "b"});
  ASSERT_EQ(r.status, 0) << r.err;
  Summary s;
  ASSERT_TRUE(parseSummary(r.out, &s)) << r.out;
  EXPECT_EQ(s.uploaded, 0u);
  EXPECT_EQ(s.present, s.unique);
  EXPECT_EQ(s.percent, "0.0");
  EXPECT_NE(r.out.find(" 0 uploaded (0 bytes -> 0 stored, 0.0% smaller)\n"), std::string::npos);
}

TEST_F(PushCli, SignsWithAKeyFileFromKeygen) {
  ProcessResult k = runCli({"keygen", dir / "pub"});
  ASSERT_EQ(k.status, 0) << k.err;
  std::string publicKey = vorn_test::slurp(dir / "pub.pub");
  publicKey.pop_back();

  ProcessResult r = push({dir / "build", "signed", "--sign", dir / "pub.key"});
  ASSERT_EQ(r.status, 0) << r.err;
  Summary s;
  ASSERT_TRUE(parseSummary(r.out, &s)) << r.out;
  EXPECT_TRUE(s.signedLine) << r.out;
  const std::string text = object("channels/signed/manifest.json");
  const std::string signature = object("channels/signed/manifest.json.sig");
  std::string err;
  EXPECT_TRUE(vorn::verifyManifestSignature(publicKey, text, signature, &err)) << err;

  // From the environment too, and "--sign" with an empty value turns it off.
  const EnvChanges envKey{{"VORN_SIGN_KEY", dir / "pub.key"}};
  r = push({dir / "build", "env-signed"}, envKey);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("  manifest signed (ed25519)\n"), std::string::npos);
  EXPECT_TRUE(exists("channels/env-signed/manifest.json.sig"));
  r = push({dir / "build", "unsigned", "--sign", ""}, envKey);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.find("manifest signed"), std::string::npos);
  EXPECT_FALSE(exists("channels/unsigned/manifest.json.sig"));
}

TEST_F(PushCli, BadSigningKeyLeavesTheManifestWithoutSignature) {
  ProcessResult r = push({dir / "build", "stable", "--sign", dir / "no-such.key"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "push: bad secret key (need 64-byte hex)\n");
  EXPECT_TRUE(exists("channels/stable/manifest.json"));
  EXPECT_FALSE(exists("channels/stable/manifest.json.sig"));
}

class RegisterCli : public PushCli {
 protected:
  void SetUp() override {
    PushCli::SetUp();
    ASSERT_TRUE(reg.running()) << reg.startError();
  }
  RegisterServer reg;
};

TEST_F(RegisterCli, CreatedWithTokenAndTrailingSlash) {
  const std::string url = reg.base() + "/";
  ProcessResult r =
      push({dir / "build", "team/stable", "--register", url, "--register-token", "t0k en"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_NE(r.out.find("\n  registered Vorn channel with " + url + "\n"), std::string::npos)
      << r.out;
  const auto requests = reg.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0]["method"].asString(), "POST");
  EXPECT_EQ(requests[0]["path"].asString(), "/api/channels/team/stable");
  EXPECT_EQ(requests[0]["query"].asString(), "engine=vorn");
  EXPECT_EQ(requests[0]["authorization"].asString(), "Bearer t0k en");
  EXPECT_EQ(requests[0]["bodyLength"].asInt(), 0);
}

TEST_F(RegisterCli, FromTheEnvironmentWithoutTokenAndOnUnchangedPushes) {
  const EnvChanges env{{"VORN_REGISTER_URL", reg.base() + "//"}};
  ASSERT_EQ(push({dir / "build", "stable"}, env).status, 0);
  ProcessResult r = push({dir / "build", "stable"}, env);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind("'stable' unchanged", 0), 0u);
  EXPECT_NE(r.out.find("  registered Vorn channel with " + reg.base() + "//\n"), std::string::npos);
  const auto requests = reg.requests();
  ASSERT_EQ(requests.size(), 2u);
  for (const auto& request : requests) {
    // Only one of the two trailing slashes is removed.
    EXPECT_EQ(request["path"].asString(), "//api/channels/stable");
    EXPECT_EQ(request["query"].asString(), "engine=vorn");
    EXPECT_TRUE(request["authorization"].isNull());
  }
  // The option replaces the environment's token and URL.
  r = push({dir / "build", "stable", "--register", reg.base() + "/status/201", "--register-token",
            "opt"},
           {{"VORN_REGISTER_URL", reg.base() + "/status/500"}, {"VORN_REGISTER_TOKEN", "env"}});
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(reg.requests().size(), 3u);
  EXPECT_EQ(reg.requests()[2]["path"].asString(), "/status/201/api/channels/stable");
  EXPECT_EQ(reg.requests()[2]["authorization"].asString(), "Bearer opt");
}

TEST_F(RegisterCli, ConflictServerErrorRedirectAndNoAnswer) {
  ASSERT_EQ(push({dir / "build", "stable"}).status, 0);

  const std::string conflict = reg.base() + "/status/409";
  ProcessResult r = push({dir / "build", "stable", "--register", conflict});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("\n  channel already registered at " + conflict + "\n"), std::string::npos)
      << r.out;
  EXPECT_EQ(r.err, "");

  r = push({dir / "build", "stable", "--register", reg.base() + "/status/500"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "  register -> HTTP 500 (channel published, but not registered)\n");
  EXPECT_EQ(r.out.find("register"), std::string::npos);

  // Redirects are not followed: the 3xx itself is the answer.
  r = push({dir / "build", "stable", "--register", reg.base() + "/redirect"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "  register -> HTTP 302 (channel published, but not registered)\n");
  EXPECT_EQ(reg.requests().size(), 3u);

  r = push({dir / "build", "stable", "--register", "http://127.0.0.1:1"});
  EXPECT_EQ(r.status, 0);
  const std::regex failed(
      "^  register: curl: [^\n]+ \\(channel published, but not registered\\)\n$");
  EXPECT_TRUE(std::regex_match(r.err, failed)) << r.err;
}

TEST_F(RegisterCli, NoRegistrationWithoutAUrlOrAfterAFailedPush) {
  ASSERT_EQ(push({dir / "build", "stable"}, {{"VORN_REGISTER_URL", ""}}).status, 0);
  vorn_test::writeTextFile(dir / "build/new.txt", "changed\n");
  ProcessResult r = push({dir / "build", "stable", "--register", reg.base()});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(reg.requests().empty());
}

}  // namespace
