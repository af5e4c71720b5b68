// The program run as a user would: usage, version, --crypt and the local verbs.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <regex>

#include "chunking/manifest_builder.hpp"
#include "support/process.hpp"
#include "support/temp_dir.hpp"
#include "support/test_data.hpp"

using vorn_test::runCli;
using vorn_test::slurp;
using vorn_test::TempDir;

namespace {

const std::string kKeyHex = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";
const std::string kBadKey =
    "--crypt: encryption key must be 64 hex chars (or a file containing them)\n";

bool matches(const std::string& text, const std::string& pattern) {
  return std::regex_match(text, std::regex(pattern));
}

unsigned modeOf(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 ? info.st_mode & 0777u : 0u;
}

}  // namespace

TEST(CliUsage, ShowsTheExactTextForMissingOrUnknownVerbsAndArguments) {
  const auto none = runCli({});
  EXPECT_EQ(none.err.rfind("corvane-vorn - Vorn build distribution\n", 0), 0u) << none.err;
  EXPECT_NE(none.err.find(
                "\n\nstorage config from env: VORN_S3_ENDPOINT VORN_S3_REGION VORN_S3_BUCKET\n"),
            std::string::npos);
  EXPECT_NE(none.err.find("  presigned-URL modes (--manifest-url / --descriptor*).\n"),
            std::string::npos);
  EXPECT_EQ(std::count(none.err.begin(), none.err.end(), '\n'), 23);
  // A lone --crypt has no value: it stays and is an unknown verb.
  for (const char* verb : {"Version", "frobnicate", "--crypt", "chunk", "crypt-keygen", "keygen"}) {
    const auto r = runCli({verb});
    EXPECT_EQ(r.status, 2) << verb;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, none.err);
  }
  EXPECT_EQ(none.status, 2);
  EXPECT_EQ(none.out, "");
}

TEST(CliVersion, PrintsTheBannerAndIgnoresExtraArguments) {
  const auto r = runCli({"version", "x", "--y"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(
      matches(r.out, "vorn-core 0\\.1  \\|  libcurl libcurl/[0-9.]+.*  \\|  libsodium [0-9.]+\n"))
      << r.out;
}

TEST(CliCrypt, KeyIsCheckedBeforeDispatchAndTheCommandLineWins) {
  const vorn_test::EnvChanges badEnv = {{"VORN_CRYPT_KEY", std::string("bad")}};
  // clang-format off
  const struct { std::vector<std::string> args; vorn_test::EnvChanges env; int status; } cases[] = {
      {{"--crypt", "nothex", "version"}, {}, 2}, {{"version"}, badEnv, 2},
      {{"version", "--crypt", kKeyHex}, badEnv, 0},                // may stand anywhere
      {{"--crypt", "", "version"}, badEnv, 0},                     // empty: the env's is off
      {{"--crypt", kKeyHex, "version", "--crypt", "bad"}, {}, 2}};  // the last one wins
  // clang-format on
  for (const auto& c : cases) {
    const auto r = runCli(c.args, c.env);
    EXPECT_EQ(r.status, c.status) << r.err;
    if (c.status == 2) {
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(r.err, kBadKey);
    }
  }
  // --crypt is removed before the handler sees its arguments.
  TempDir dir;
  const auto k = runCli({"crypt-keygen", "--crypt", kKeyHex, dir / "k.hex"});
  EXPECT_EQ(k.status, 0) << k.err;
  EXPECT_EQ(slurp(dir / "k.hex").size(), 65u);
}

TEST(CliKeygen, KeyFilesAreWrittenOwnerOnlyAndPrinted) {
  TempDir dir;
  const auto c = runCli({"crypt-keygen", dir / "store.key"});
  ASSERT_EQ(c.status, 0) << c.err;
  const std::string key = slurp(dir / "store.key");
  ASSERT_TRUE(matches(key, "[0-9a-f]{64}\n")) << key;
  EXPECT_EQ(c.out, "wrote encryption key to " + (dir / "store.key") + "\n  " + key.substr(0, 64) +
                       "\nKeep it outside the data you back up. A lost key = a lost backup; there "
                       "is no recovery.\n");
  EXPECT_EQ(modeOf(dir / "store.key"), 0600u);
  EXPECT_EQ(runCli({"--crypt", dir / "store.key", "version"}).status, 0) << "usable as --crypt";

  const std::string name = dir / "release";
  const auto r = runCli({"keygen", name});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string secret = slurp(name + ".key"), pub = slurp(name + ".pub");
  ASSERT_TRUE(matches(secret, "[0-9a-f]{128}\n")) << secret;
  ASSERT_TRUE(matches(pub, "[0-9a-f]{64}\n")) << pub;
  EXPECT_EQ(secret.substr(64, 64), pub.substr(0, 64)) << "the secret key ends with the public";
  EXPECT_EQ(r.out, "wrote " + name + ".key (private key - keep secret, out of the repo) and " +
                       name + ".pub\npublic key: " + pub.substr(0, 64) + "\n");
  EXPECT_EQ(modeOf(name + ".key"), 0600u);
  // Overwriting an existing, more open key file narrows it too.
  chmod((name + ".key").c_str(), 0644);
  ASSERT_EQ(runCli({"keygen", name}).status, 0);
  EXPECT_NE(slurp(name + ".key"), secret);
  EXPECT_EQ(modeOf(name + ".key"), 0600u);
}

TEST(CliLocal, UnwritableOutputsMissingPathsAndLeavingLinks) {
  TempDir dir;
  std::filesystem::create_directories(dir / "empty");
  vorn_test::writeTextFile(dir / "tree/a.txt", "a");
  vorn_test::writeTextFile(dir / "secret.txt", "not for publishing");
  std::filesystem::create_symlink(dir / "secret.txt", dir / "tree/leak.txt");
  const std::string noDir = dir / "no/dir";
  const struct {
    std::vector<std::string> args;
    int status;
    std::string err;
  } cases[] = {
      {{"crypt-keygen", noDir + "/k"}, 2, "cannot write " + noDir + "/k\n"},
      {{"keygen", noDir + "/k"}, 2, "cannot write " + noDir + "/k.key\n"},
      {{"chunk", dir / "empty", noDir + "/m.json"}, 2, "cannot write " + noDir + "/m.json\n"},
      {{"chunk", dir / "nope", dir / "m.json"},
       1,
       "chunk: path not found: " + (dir / "nope") + "\n"},
      {{"chunk", dir / "tree", dir / "m.json"},
       1,
       "chunk: link leaves the build: " + (dir / "tree") + "/leak.txt\n"},
  };
  for (const auto& c : cases) {
    const auto r = runCli(c.args);
    EXPECT_EQ(r.status, c.status) << c.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.err);
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "m.json"));
}

TEST(CliChunk, SummarisesAndWritesTheManifestExactlyAsBuilt) {
  TempDir dir;
  const std::string content = vorn_test::seededBytes(300000, 7);
  vorn_test::writeTextFile(dir / "tree/a.bin", content);
  vorn_test::writeTextFile(dir / "tree/sub/b.bin", content);
  const auto r = runCli({"chunk", dir / "tree", dir / "m.json"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::smatch m;
  ASSERT_TRUE(std::regex_match(
      r.out, m,
      std::regex("chunked 2 file\\(s\\): 2 chunks \\(1 unique\\), 600000 bytes \\(300000 unique, "
                 "50\\.0% dedup\\)\n  build ([0-9a-f]{64})\n")))
      << r.out;
  const std::string manifest = slurp(dir / "m.json");
  EXPECT_EQ(manifest, vorn::buildManifest(dir / "tree", nullptr, nullptr)) << "exactly as built";
  EXPECT_NE(manifest.find("\"build\" : \"" + m[1].str() + "\""), std::string::npos);

  // A single file with distinct chunks shows no dedup; without an output
  // path only the summary is printed.
  vorn_test::writeSeededFile(dir / "dist/app.bin", 3 * 1048576 + 5, 11);
  const auto one = runCli({"chunk", dir / "dist/app.bin"});
  EXPECT_EQ(one.status, 0) << one.err;
  EXPECT_TRUE(matches(one.out,
                      "chunked 1 file\\(s\\): ([0-9]+) chunks \\(\\1 unique\\), 3145733 "
                      "bytes \\(3145733 unique, 0\\.0% dedup\\)\n  build [0-9a-f]{64}\n"))
      << one.out;
  std::filesystem::create_directories(dir / "empty");
  EXPECT_EQ(runCli({"chunk", dir / "empty"}).out,
            "chunked 0 file(s): 0 chunks (0 unique), 0 bytes (0 unique, 0.0% dedup)\n  build "
            "af1349b9f5f9a1a6a0404dea36dcc9499bcb25c9adc112b7cc9a93cae41f3262\n");
}
