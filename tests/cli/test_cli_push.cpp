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

#include <cstdio>
#include <regex>
#include <set>
#include <sstream>
#include <vector>

namespace {

using vorn_test::EnvChanges;
using vorn_test::ProcessResult;
using vorn_test::runCli;
using vorn_test::TempDir;

// The recording registration server on a free loopback port.
class RegisterServer {
 public:
  RegisterServer()
      : server_({}, std::string(VORN_SOURCE_DIR) + "/tests/register/server.js",
                {"--port", "0", "--log", dir_ / "requests.jsonl"}, dir_ / "server.out") {}

  bool running() const { return server_.running(); }
  const std::string& startError() const { return server_.startError(); }
  std::string base() const { return server_.base(); }

  // Every request received so far, one JSON object each.
  std::vector<Json::Value> requests() const {
    std::vector<Json::Value> out;
    std::istringstream lines(vorn_test::slurp(dir_ / "requests.jsonl"));
    std::string line;
    Json::Value record;
    while (std::getline(lines, line))
      if (vorn::parseJson(line, &record, nullptr)) out.push_back(record);
    return out;
  }

 private:
  TempDir dir_;
  vorn_test::NodeServer server_;
};

// The figures of a "pushed ..." summary.
struct Summary {
  size_t unique = 0, present = 0, uploaded = 0;
  long long bytesIn = 0, bytesStored = 0;
  std::string build;
};

// Parses the summary lines; returns what follows them ("?" when they are absent).
std::string parseSummary(const std::string& out, const std::string& channel, Summary* s) {
  static const std::regex summary(
      "^pushed '([^']*)': ([0-9]+) unique chunk\\(s\\): ([0-9]+) already present, ([0-9]+) "
      "uploaded \\(([0-9]+) bytes -> ([0-9]+) stored, (-?[0-9]+\\.[0-9])% smaller\\)\n"
      "  build ([0-9a-f]{64})\n");
  std::smatch m;
  if (!std::regex_search(out, m, summary) || m[1] != channel) return "?";
  s->unique = std::stoul(m[2]);
  s->present = std::stoul(m[3]);
  s->uploaded = std::stoul(m[4]);
  s->bytesIn = std::stoll(m[5]);
  s->bytesStored = std::stoll(m[6]);
  s->build = m[8];
  char percent[32];
  std::snprintf(percent, sizeof percent, "%.1f",
                s->bytesIn ? (1.0 - double(s->bytesStored) / double(s->bytesIn)) * 100.0 : 0.0);
  EXPECT_EQ(m[7], percent);
  return m.suffix();
}

class PushCli : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(s3.running()) << s3.startError();
    store = vorn::makeS3Provider(
        vorn::S3Config{s3.endpoint(), "us-east-1", s3.bucket(), s3.accessKey(), s3.secret()});
    // A small build: text that compresses, random bytes that do not, a copy.
    std::string text;
    for (int i = 0; text.size() < 1300 * 1024; ++i)
      text += "symbol_" + std::to_string(i * 7919 % 100003) + "\n";
    vorn_test::writeTextFile(dir / "build/bin/app.map", text);
    vorn_test::writeSeededFile(dir / "build/data/pack.bin", 1100 * 1024, 1);
    vorn_test::writeSeededFile(dir / "build/data/pack-copy.bin", 1100 * 1024, 1);
    vorn_test::writeTextFile(dir / "build/readme.txt", "hello\n");
  }

  ProcessResult push(std::vector<std::string> args, const EnvChanges& extra = {}) {
    args.insert(args.begin(), "push");
    EnvChanges env = s3.env();
    for (const auto& [name, value] : extra) env[name] = value;
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

TEST_F(PushCli, UsageConfigurationAndStoreErrors) {
  ProcessResult r = runCli({"push", dir / "build"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err.rfind("corvane-vorn - Vorn build distribution\nusage:\n", 0), 0u) << r.err;
  // A value option in the last position is positional, not enough to push.
  EXPECT_EQ(runCli({"push", dir / "build", "--sign"}).status, 2);
  r = runCli({"push", dir / "build", "stable"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(
      r.err,
      "config: missing env vars: VORN_S3_ENDPOINT VORN_S3_BUCKET VORN_S3_KEY VORN_S3_SECRET\n");

  r = push({dir / "build", "stable"}, {{"VORN_S3_ENDPOINT", std::string("http://127.0.0.1:1")}});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "push: cannot reach store: curl: Couldn't connect to server\n");
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
  EXPECT_EQ(parseSummary(r.out, "stable", &first), "") << r.out;
  EXPECT_EQ(first.present, 0u);
  EXPECT_EQ(first.uploaded, first.unique);

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
  // The same build on another channel uploads nothing: a 0.0% saving.
  r = push({dir / "build", "copy"});
  EXPECT_NE(r.out.find(" 0 uploaded (0 bytes -> 0 stored, 0.0% smaller)\n"), std::string::npos)
      << r.out;

  vorn_test::writeSeededFile(dir / "build/data/extra.bin", 1050 * 1024, 2);
  r = push({dir / "build", "stable"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "push: channel 'stable' already published (use --force to overwrite)\n");
  EXPECT_EQ(object("channels/stable/manifest.json"), manifestText);

  r = push({"--force", dir / "build", "stable"});
  ASSERT_EQ(r.status, 0) << r.err;
  Summary forced;
  EXPECT_EQ(parseSummary(r.out, "stable", &forced), "") << r.out;
  EXPECT_EQ(forced.present, first.unique);
  EXPECT_EQ(forced.uploaded, 1u);
  EXPECT_NE(forced.build, first.build);
}

TEST_F(PushCli, SigningKeyFromOptionOrEnvironment) {
  ProcessResult k = runCli({"keygen", dir / "pub"});
  ASSERT_EQ(k.status, 0) << k.err;
  std::string publicKey = vorn_test::slurp(dir / "pub.pub");
  publicKey.pop_back();

  ProcessResult r = push({dir / "build", "signed", "--sign", dir / "pub.key"});
  ASSERT_EQ(r.status, 0) << r.err;
  Summary s;
  EXPECT_EQ(parseSummary(r.out, "signed", &s), "  manifest signed (ed25519)\n") << r.out;
  std::string err;
  EXPECT_TRUE(vorn::verifyManifestSignature(publicKey, object("channels/signed/manifest.json"),
                                            object("channels/signed/manifest.json.sig"), &err))
      << err;

  // From the environment too, and "--sign" with an empty value turns it off.
  const EnvChanges envKey{{"VORN_SIGN_KEY", dir / "pub.key"}};
  ASSERT_EQ(push({dir / "build", "env-signed"}, envKey).status, 0);
  EXPECT_TRUE(exists("channels/env-signed/manifest.json.sig"));
  r = push({dir / "build", "unsigned", "--sign", ""}, envKey);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(parseSummary(r.out, "unsigned", &s), "") << r.out;
  EXPECT_FALSE(exists("channels/unsigned/manifest.json.sig"));

  // A bad key: chunks and manifest are written, the signature is not.
  r = push({dir / "build", "badkey", "--sign", dir / "no-such.key"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "push: bad secret key (need 64-byte hex)\n");
  EXPECT_TRUE(exists("channels/badkey/manifest.json"));
  EXPECT_FALSE(exists("channels/badkey/manifest.json.sig"));
}

TEST_F(PushCli, RegistrationUrlTokenAndAnswers) {
  RegisterServer reg;
  ASSERT_TRUE(reg.running()) << reg.startError();
  // No URL, no request; a failed push registers nothing either.
  ASSERT_EQ(push({dir / "build", "stable"}, {{"VORN_REGISTER_URL", ""}}).status, 0);
  vorn_test::writeTextFile(dir / "build/new.txt", "changed\n");
  EXPECT_EQ(push({dir / "build", "stable", "--register", reg.base()}).status, 1);
  EXPECT_TRUE(reg.requests().empty());

  // One trailing slash removed, the channel unencoded, the token as a bearer.
  const std::string url = reg.base() + "/";
  ProcessResult r =
      push({dir / "build", "team/stable", "--register", url, "--register-token", "t0k en"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_NE(r.out.find("\n  registered Vorn channel with " + url + "\n"), std::string::npos)
      << r.out;
  auto requests = reg.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0]["method"].asString(), "POST");
  EXPECT_EQ(requests[0]["path"].asString(), "/api/channels/team/stable");
  EXPECT_EQ(requests[0]["query"].asString(), "engine=vorn");
  EXPECT_EQ(requests[0]["authorization"].asString(), "Bearer t0k en");
  EXPECT_EQ(requests[0]["bodyLength"].asInt(), 0);

  // From the environment, without a token, on an unchanged push: only one of
  // two trailing slashes goes.
  r = push({dir / "build", "team/stable"}, {{"VORN_REGISTER_URL", reg.base() + "//"}});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind("'team/stable' unchanged", 0), 0u) << r.out;
  requests = reg.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1]["path"].asString(), "//api/channels/team/stable");
  EXPECT_TRUE(requests[1]["authorization"].isNull());

  // The options replace the environment's URL and token.
  r = push({dir / "build", "team/stable", "--register", reg.base() + "/status/201",
            "--register-token", "opt"},
           {{"VORN_REGISTER_URL", reg.base() + "/status/500"}, {"VORN_REGISTER_TOKEN", "env"}});
  ASSERT_EQ(r.status, 0) << r.err;
  requests = reg.requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[2]["path"].asString(), "/status/201/api/channels/team/stable");
  EXPECT_EQ(requests[2]["authorization"].asString(), "Bearer opt");

  // Other answers are reported, and the push still succeeds; redirects are
  // not followed.
  const std::string conflict = reg.base() + "/status/409";
  r = push({dir / "build", "team/stable", "--register", conflict});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("\n  channel already registered at " + conflict + "\n"), std::string::npos)
      << r.out;
  EXPECT_EQ(r.err, "");
  for (const auto& [path, answer] :
       {std::make_pair("/status/500", "500"), std::make_pair("/redirect", "302")}) {
    r = push({dir / "build", "team/stable", "--register", reg.base() + path});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, std::string("  register -> HTTP ") + answer +
                         " (channel published, but not registered)\n");
    EXPECT_EQ(r.out.find("register"), std::string::npos);
  }
  r = push({dir / "build", "team/stable", "--register", "http://127.0.0.1:1"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(std::regex_match(
      r.err, std::regex("^  register: curl: [^\n]+ \\(channel published, but not registered\\)\n$")))
      << r.err;
}

}  // namespace
