// A push or a sync killed outright (SIGKILL, no chance to clean up) at a
// chosen request: the proxy holds that request unanswered, the test kills the
// program, and then checks that nothing was lost and that a plain re-run
// finishes the job despite whatever the dead process left behind.

#include "support/fault_fixtures.hpp"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

namespace fs = std::filesystem;
using vorn_test::CliProcess;
using vorn_test::FaultRule;
using vorn_test::kChunkPath;
using vorn_test::kManifestPath;

class Killed : public vorn_test::FaultFixture {
 protected:
  // Starts the program through the proxy, waits until the rule holds a
  // request, and kills it there.
  void killAt(const FaultRule& hold, const std::vector<std::string>& args) {
    ASSERT_TRUE(proxy_->setRules({hold}));
    CliProcess running(args, proxy_->env());
    ASSERT_TRUE(proxy_->waitForHeld(1)) << "never reached the request:\n" << proxy_->requestLog();
    const auto r = running.kill9();
    EXPECT_EQ(r.status, 128 + 9);
    ASSERT_TRUE(proxy_->clear());
  }

  static std::vector<fs::path> partFiles(const std::string& dir) {
    std::vector<fs::path> parts;
    for (const auto& e : fs::recursive_directory_iterator(dir))
      if (e.path().extension() == ".part") parts.push_back(e.path());
    return parts;
  }
};

TEST_F(Killed, PushKilledAtAnyRequestKeepsThePreviousBuild) {
  const FaultRule points[] = {
      {"HEAD", kManifestPath, "hold"},  // before anything is uploaded
      {"PUT", kChunkPath, "hold"},           // at the first upload
      {"PUT", kChunkPath, "hold", 2},        // with two chunks uploaded
      {"PUT", kManifestPath, "hold"},        // every chunk up, manifest not yet
  };
  for (const FaultRule& at : points) {
    const uint64_t salt = static_cast<uint64_t>(&at - points) + 1;
    SCOPED_TRACE(at.method + " " + at.path + " skip " + std::to_string(at.skip));
    channel = "killed-push-" + std::to_string(salt);
    writeBuild(2, salt);
    publish(1);
    killAt(at, {"push", srcOf(2), channel, "--force"});
    expectStoreHolds(1);

    const auto again = viaProxy({"push", srcOf(2), channel, "--force"});
    EXPECT_EQ(again.status, 0) << again.err;
    expectStoreHolds(2);
  }
}

TEST_F(Killed, SyncKilledAtAnyChunkLeavesWholeFilesAndReRunFinishes) {
  const std::string previous = channel + "-previous";
  ASSERT_EQ(direct({"push", srcOf(1), previous}).status, 0);
  publish(2);
  // From the first build, the second's four chunks are downloaded one file
  // after another: killed at the first, second and last download.
  for (int skip : {0, 1, 3}) {
    SCOPED_TRACE("killed at download " + std::to_string(skip + 1));
    fs::remove_all(dest());
    ASSERT_EQ(direct({"sync", previous, dest()}).status, 0);
    killAt({"GET", kChunkPath, "hold", skip}, {"sync", channel, dest()});
    EXPECT_EQ(expectOldOrNew(), skip) << "files finished before the kill stay in place";
    EXPECT_EQ(partFiles(dest()).size(), 1u) << "the file in progress leaves its part file";
  }

  // A stale part file with other content under a listed name must not matter.
  vorn_test::writeTextFile(dest() + "/sub/b.bin.part", "left over from some other run");
  const auto again = viaProxy({"sync", channel, dest()});
  EXPECT_EQ(again.status, 0) << again.err;
  expectInstalled(2);
  EXPECT_TRUE(partFiles(dest()).empty()) << "the re-run consumed every part file";
  EXPECT_EQ(direct({"verify", channel, dest()}).status, 0);
}

}  // namespace
