// The program run as a user would: usage, version, --crypt and the local verbs.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <regex>

#include "support/process.hpp"
#include "support/temp_dir.hpp"
#include "support/test_data.hpp"

using vorn_test::runCli;
using vorn_test::slurp;
using vorn_test::TempDir;

namespace {

const char* kUsageFirstLine = "corvane-vorn - Vorn build distribution\n";
const std::string kKeyHex = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";

size_t lineCount(const std::string& text) { return std::count(text.begin(), text.end(), '\n'); }

void expectUsage(const vorn_test::ProcessResult& r) {
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err.rfind(kUsageFirstLine, 0), 0u) << r.err;
  EXPECT_EQ(lineCount(r.err), 23u);
}

}  // namespace

TEST(CliUsage, ShowsTheExactTextForMissingOrUnknownVerbs) {
  auto none = runCli({});
  expectUsage(none);
  EXPECT_NE(none.err.find("\n\nstorage config from env: VORN_S3_ENDPOINT VORN_S3_REGION VORN_S3_BUCKET\n"),
            std::string::npos);
  EXPECT_NE(none.err.find("  presigned-URL modes (--manifest-url / --descriptor*).\n"), std::string::npos);
  expectUsage(runCli({"Version"}));
  expectUsage(runCli({"frobnicate"}));
  // A lone --crypt has no value: it stays and is an unknown verb.
  expectUsage(runCli({"--crypt"}));
  expectUsage(runCli({"chunk"}));
  expectUsage(runCli({"crypt-keygen"}));
  expectUsage(runCli({"keygen"}));
}

TEST(CliVersion, PrintsTheBannerAndIgnoresExtraArguments) {
  for (auto args : {std::vector<std::string>{"version"}, std::vector<std::string>{"version", "x", "--y"}}) {
    auto r = runCli(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    std::regex banner("^vorn-core 0\\.1  \\|  libcurl libcurl/[0-9.]+.*  \\|  libsodium [0-9.]+\n$");
    EXPECT_TRUE(std::regex_match(r.out, banner)) << r.out;
  }
}

TEST(CliCrypt, BadKeyFailsEveryVerbBeforeDispatch) {
  auto r = runCli({"--crypt", "nothex", "version"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "--crypt: encryption key must be 64 hex chars (or a file containing them)\n");

  auto env = runCli({"version"}, {{"VORN_CRYPT_KEY", std::string("abc")}});
  EXPECT_EQ(env.status, 2);
  EXPECT_EQ(env.err, "--crypt: encryption key must be 64 hex chars (or a file containing them)\n");
}

TEST(CliCrypt, CommandLineWinsAndMayStandAnywhere) {
  // A bad key in the environment is overridden by a good one on the command line...
  auto good = runCli({"version", "--crypt", kKeyHex}, {{"VORN_CRYPT_KEY", std::string("bad")}});
  EXPECT_EQ(good.status, 0) << good.err;
  // ...and an empty --crypt switches the environment's key off.
  auto off = runCli({"--crypt", "", "version"}, {{"VORN_CRYPT_KEY", std::string("bad")}});
  EXPECT_EQ(off.status, 0) << off.err;
  // The last --crypt wins.
  auto last = runCli({"--crypt", kKeyHex, "version", "--crypt", "bad"});
  EXPECT_EQ(last.status, 2);
  // --crypt is removed before the handler sees its arguments.
  TempDir dir;
  auto k = runCli({"crypt-keygen", "--crypt", kKeyHex, dir / "k.hex"});
  EXPECT_EQ(k.status, 0) << k.err;
  EXPECT_EQ(slurp(dir / "k.hex").size(), 65u);
}

TEST(CliCryptKeygen, WritesTheKeyFileAndPrintsIt) {
  TempDir dir;
  auto r = runCli({"crypt-keygen", dir / "store.key"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string file = slurp(dir / "store.key");
  ASSERT_EQ(file.size(), 65u);
  EXPECT_EQ(file.back(), '\n');
  std::string hex = file.substr(0, 64);
  EXPECT_TRUE(std::regex_match(hex, std::regex("[0-9a-f]{64}")));
  EXPECT_EQ(r.out, "wrote encryption key to " + (dir / "store.key") + "\n  " + hex +
                       "\nKeep it outside the data you back up. A lost key = a lost backup; there "
                       "is no recovery.\n");
  // The file is usable as --crypt.
  EXPECT_EQ(runCli({"--crypt", dir / "store.key", "version"}).status, 0);

  auto bad = runCli({"crypt-keygen", dir / "no/such/dir/k"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_EQ(bad.err, "cannot write " + (dir / "no/such/dir/k") + "\n");
  EXPECT_EQ(bad.out, "");
}

TEST(CliKeygen, WritesBothKeyFilesAndOverwritesOnSecondRun) {
  TempDir dir;
  const std::string name = dir / "release";
  auto r = runCli({"keygen", name});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string secret = slurp(name + ".key"), pub = slurp(name + ".pub");
  ASSERT_EQ(secret.size(), 129u);
  ASSERT_EQ(pub.size(), 65u);
  EXPECT_TRUE(std::regex_match(secret, std::regex("[0-9a-f]{128}\n")));
  EXPECT_TRUE(std::regex_match(pub, std::regex("[0-9a-f]{64}\n")));
  // libsodium's secret key ends with the public key.
  EXPECT_EQ(secret.substr(64, 64), pub.substr(0, 64));
  EXPECT_EQ(r.out, "wrote " + name + ".key (private key - keep secret, out of the repo) and " + name +
                       ".pub\npublic key: " + pub.substr(0, 64) + "\n");

  ASSERT_EQ(runCli({"keygen", name}).status, 0);
  EXPECT_NE(slurp(name + ".key"), secret);

  auto bad = runCli({"keygen", dir / "missing/dir/k"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_EQ(bad.err, "cannot write " + (dir / "missing/dir/k") + ".key\n");
}

TEST(CliChunk, SummarisesADirectoryAndWritesTheManifest) {
  TempDir dir;
  const std::string content = vorn_test::seededBytes(300000, 7);
  vorn_test::writeTextFile(dir / "tree/a.bin", content);
  vorn_test::writeTextFile(dir / "tree/sub/b.bin", content);
  auto r = runCli({"chunk", dir / "tree", dir / "m.json"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::smatch m;
  ASSERT_TRUE(std::regex_match(
      r.out, m,
      std::regex("chunked 2 file\\(s\\): 2 chunks \\(1 unique\\), 600000 bytes \\(300000 unique, "
                 "50\\.0% dedup\\)\n  build ([0-9a-f]{64})\n")))
      << r.out;
  std::string manifest = slurp(dir / "m.json");
  EXPECT_NE(manifest.find("\"build\" : \"" + m[1].str() + "\""), std::string::npos);
  EXPECT_NE(manifest.find("\"path\" : \"sub/b.bin\""), std::string::npos);
  EXPECT_NE(manifest.back(), '\n') << "the manifest is written exactly as built";

  auto again = runCli({"chunk", dir / "tree", dir / "m2.json"});
  EXPECT_EQ(slurp(dir / "m2.json"), manifest);
}

TEST(CliChunk, EmptyDirectoryAndErrorPaths) {
  TempDir dir;
  std::filesystem::create_directories(dir / "empty");
  auto empty = runCli({"chunk", dir / "empty"});
  EXPECT_EQ(empty.status, 0) << empty.err;
  EXPECT_EQ(empty.out.substr(0, empty.out.find('\n') + 1),
            "chunked 0 file(s): 0 chunks (0 unique), 0 bytes (0 unique, 0.0% dedup)\n");

  auto missing = runCli({"chunk", dir / "nope", dir / "out.json"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err, "chunk: path not found: " + (dir / "nope") + "\n");
  EXPECT_FALSE(std::filesystem::exists(dir / "out.json"));

  auto unwritable = runCli({"chunk", dir / "empty", dir / "no/dir/m.json"});
  EXPECT_EQ(unwritable.status, 2);
  EXPECT_EQ(unwritable.err, "cannot write " + (dir / "no/dir/m.json") + "\n");
  EXPECT_EQ(unwritable.out, "");
}

TEST(CliChunk, SingleFileWithDistinctChunksShowsNoDedup) {
  TempDir dir;
  vorn_test::writeSeededFile(dir / "dist/app.bin", 3 * 1048576 + 5, 11);
  auto r = runCli({"chunk", dir / "dist/app.bin", dir / "m.json"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(std::regex_match(r.out, std::regex("chunked 1 file\\(s\\): ([0-9]+) chunks \\(\\1 unique\\), 3145733 "
                                                 "bytes \\(3145733 unique, 0\\.0% dedup\\)\n  build [0-9a-f]{64}\n")))
      << r.out;
  EXPECT_NE(slurp(dir / "m.json").find("\"path\" : \"app.bin\""), std::string::npos);
  // Without an output path nothing is printed but the summary.
  auto quiet = runCli({"chunk", dir / "dist/app.bin"});
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.out, r.out);
}

TEST(CliChunk, LinkLeavingTheTreeFailsTheBuild) {
  TempDir dir;
  vorn_test::writeTextFile(dir / "secret.txt", "not for publishing");
  vorn_test::writeTextFile(dir / "tree/a.txt", "a");
  std::filesystem::create_symlink(dir / "secret.txt", dir / "tree/leak.txt");
  auto r = runCli({"chunk", dir / "tree", dir / "m.json"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "chunk: link leaves the build: " + (dir / "tree") + "/leak.txt\n");
  EXPECT_FALSE(std::filesystem::exists(dir / "m.json"));
}
