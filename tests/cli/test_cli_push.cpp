// The push verb end to end: the real program against the local S3 test
// server, with the registration requests received by a recording stand-in
// for the family server (tests/register/server.js).

#include "engine/channel_manifest.hpp"
#include "engine/signing.hpp"

#include "support/cli_fixtures.hpp"
#include "support/node_server.hpp"
#include "support/temp_dir.hpp"
#include "support/test_data.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <sstream>
#include <vector>

namespace {

using vorn_test::EnvChanges;
using vorn_test::ProcessResult;
using vorn_test::runCli;

// The figures of a "pushed ..." summary.
struct Summary {
  size_t unique = 0, present = 0, uploaded = 0;
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
  s->build = m[8];
  const double in = std::stod(m[5]), stored = std::stod(m[6]);
  char percent[32];
  std::snprintf(percent, sizeof percent, "%.1f", in > 0 ? (1.0 - stored / in) * 100.0 : 0.0);
  EXPECT_EQ(m[7], percent);
  return m.suffix();
}

class PushCli : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(s3.running()) << s3.startError();
    store = vorn_test::openServerStore(s3);
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
    return vorn_test::runWithStore(s3, args, extra);
  }

  std::string object(const std::string& key) {
    std::string body, err;
    EXPECT_TRUE(store->get(key, &body, &err)) << err;
    return body;
  }
  bool exists(const std::string& key) { return store->head(key, nullptr).exists; }

  vorn_test::S3Server s3;
  std::unique_ptr<vorn::StorageProvider> store;
  vorn_test::TempDir dir;
};

TEST_F(PushCli, UsageConfigurationAndStoreErrors) {
  vorn_test::expectUsage(runCli({"push", dir / "build"}));
  // A value option in the last position is positional, not enough to push.
  EXPECT_EQ(runCli({"push", dir / "build", "--sign"}).status, 2);
  ProcessResult r = runCli({"push", dir / "build", "stable"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, vorn_test::kMissingStoreEnv);
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
  EXPECT_EQ(first.unique, 3u);  // the copy shares its chunk
  Json::Value doc;
  std::string err;
  ASSERT_TRUE(vorn::fetchChannelManifest(*store, "stable", "", "", "", &doc, &err)) << err;
  EXPECT_EQ(doc["build"].asString(), first.build);

  const std::string manifestText = object("channels/stable/manifest.json");
  r = push({dir / "build", "stable"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "'stable' unchanged (build " + first.build.substr(0, 16) +
                       "): nothing republished; 3 chunk(s) checked, 0 re-uploaded\n");
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
  EXPECT_EQ(forced.present, 3u);
  EXPECT_EQ(forced.uploaded, 1u);
}

TEST_F(PushCli, SigningKeyFromOptionOrEnvironment) {
  ASSERT_EQ(runCli({"keygen", dir / "pub"}).status, 0);
  const std::string publicKey = vorn_test::slurp(dir / "pub.pub").substr(0, 64);
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
  vorn_test::TempDir logDir;
  vorn_test::NodeServer reg({}, std::string(VORN_SOURCE_DIR) + "/tests/register/server.js",
                            {"--port", "0", "--log", logDir / "requests.jsonl"},
                            logDir / "server.out");
  ASSERT_TRUE(reg.running()) << reg.startError();
  // Every request received so far, one JSON object each.
  const auto requests = [&] {
    std::vector<Json::Value> out;
    std::istringstream lines(vorn_test::slurp(logDir / "requests.jsonl"));
    Json::Value record;
    for (std::string line; std::getline(lines, line);)
      if (vorn::parseJson(line, &record, nullptr)) out.push_back(record);
    return out;
  };
  // No URL, no request; a failed push registers nothing either.
  ASSERT_EQ(push({dir / "build", "stable"}, {{"VORN_REGISTER_URL", ""}}).status, 0);
  vorn_test::writeTextFile(dir / "build/new.txt", "changed\n");
  EXPECT_EQ(push({dir / "build", "stable", "--register", reg.base()}).status, 1);
  EXPECT_TRUE(requests().empty());

  // One trailing slash removed, the channel unencoded, the token as a bearer.
  const std::string url = reg.base() + "/";
  ProcessResult r =
      push({dir / "build", "team/stable", "--register", url, "--register-token", "t0k en"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_NE(r.out.find("\n  registered Vorn channel with " + url + "\n"), std::string::npos)
      << r.out;
  auto got = requests();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0]["method"].asString() + " " + got[0]["path"].asString() + "?" +
                got[0]["query"].asString() + " " + got[0]["authorization"].asString(),
            "POST /api/channels/team/stable?engine=vorn Bearer t0k en");
  EXPECT_EQ(got[0]["bodyLength"].asInt(), 0);

  // From the environment, without a token, on an unchanged push: only one of
  // two trailing slashes goes. Then the options replace the environment's
  // URL and token.
  r = push({dir / "build", "team/stable"}, {{"VORN_REGISTER_URL", reg.base() + "//"}});
  EXPECT_EQ(r.out.rfind("'team/stable' unchanged", 0), 0u) << r.out;
  r = push({dir / "build", "team/stable", "--register", reg.base() + "/status/201",
            "--register-token", "opt"},
           {{"VORN_REGISTER_URL", reg.base() + "/status/500"}, {"VORN_REGISTER_TOKEN", "env"}});
  ASSERT_EQ(r.status, 0) << r.err;
  got = requests();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[1]["path"].asString(), "//api/channels/team/stable");
  EXPECT_TRUE(got[1]["authorization"].isNull());
  EXPECT_EQ(got[2]["path"].asString(), "/status/201/api/channels/team/stable");
  EXPECT_EQ(got[2]["authorization"].asString(), "Bearer opt");

  // Other answers are reported and the push still succeeds; redirects are
  // not followed.
  const std::string conflict = reg.base() + "/status/409";
  r = push({dir / "build", "team/stable", "--register", conflict});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("\n  channel already registered at " + conflict + "\n"), std::string::npos)
      << r.out;
  for (const auto& [path, answer] : {std::make_pair("/status/500", "500"),
                                     std::make_pair("/redirect", "302")}) {
    r = push({dir / "build", "team/stable", "--register", reg.base() + path});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, std::string("  register -> HTTP ") + answer +
                         " (channel published, but not registered)\n");
    EXPECT_EQ(r.out.find("register"), std::string::npos);
  }
  r = push({dir / "build", "team/stable", "--register", "http://127.0.0.1:1"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(std::regex_match(
      r.err, std::regex("  register: curl: [^\n]+ \\(channel published, but not registered\\)\n")))
      << r.err;
}

}  // namespace
