// A push or a sync killed outright (SIGKILL, no chance to clean up) at a
// chosen request: the proxy holds that request unanswered, the test kills the
// program, and then checks that nothing was lost and that a plain re-run
// finishes the job despite whatever the dead process left behind.

#include "support/fault_fixtures.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <regex>
#include <thread>

namespace {

namespace fs = std::filesystem;
using vorn_test::CliProcess;
using vorn_test::FaultRule;
using vorn_test::kChunkPath;
using vorn_test::kManifestPath;

class Killed : public vorn_test::FaultFixture {
 protected:
  // Starts the program through the proxy, waits until the rule holds a
  // request (and, when given, until ready says so), and kills it there.
  void killAt(const FaultRule& hold, const std::vector<std::string>& args,
              const std::function<bool()>& ready = {}) {
    ASSERT_TRUE(proxy_->setRules({hold}));
    CliProcess running(args, proxy_->env());
    ASSERT_TRUE(proxy_->waitForHeld(1)) << "never reached the request:\n" << proxy_->requestLog();
    for (int wait = 0; ready && !ready() && wait < 200; ++wait)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (ready) {
      EXPECT_TRUE(ready()) << "the program never got there";
    }
    const auto r = running.kill9();
    EXPECT_EQ(r.status, 128 + 9);
    ASSERT_TRUE(proxy_->clear());
  }

  // Part files and part files set aside by a rerun.
  static std::vector<fs::path> partFiles(const std::string& dir) {
    std::vector<fs::path> parts;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
      const std::string name = e.path().filename().string();
      if (e.path().extension() == ".part" || name.find(".part.old") != std::string::npos)
        parts.push_back(e.path());
    }
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

// One large file killed part way: the rerun reads what the part file already
// holds and downloads only the rest.
TEST_F(Killed, SyncKilledInsideALargeFileResumesFromItsPartFile) {
  const std::string big = tmp / "big";
  vorn_test::writeSeededFile(big + "/big.bin", 40 * 1048576, 4040);
  ASSERT_EQ(direct({"push", big, channel}).status, 0);
  const auto files = vorn_test::storedFiles(*store, channel);
  ASSERT_EQ(files.size(), 1u);
  const auto& chunks = files[0].chunks;
  ASSERT_GE(chunks.size(), 8u);
  const size_t held = 5;  // the chunks before it are in the part file
  uint64_t before = 0;
  for (size_t k = 0; k < held; ++k) before += chunks[k].size;
  const std::string part = dest() + "/big.bin.part";
  const auto partSize = [&] {
    std::error_code ec;
    const uintmax_t size = fs::file_size(part, ec);
    return ec ? uintmax_t(0) : size;
  };
  killAt({"GET", kChunkPath, "hold", static_cast<int>(held)}, {"sync", channel, dest()},
         [&] { return partSize() >= before; });
  EXPECT_FALSE(fs::exists(dest() + "/big.bin"));
  ASSERT_EQ(partFiles(dest()).size(), 1u);
  // Whole chunks at the front of the part file are what can be reused.
  size_t whole = 0;
  for (uint64_t end = 0; whole < chunks.size() && end + chunks[whole].size <= partSize(); ++whole)
    end += chunks[whole].size;
  EXPECT_GE(whole, held);
  EXPECT_LT(whole, chunks.size());

  const auto again = viaProxy({"sync", channel, dest()});
  ASSERT_EQ(again.status, 0) << again.err;
  const std::string summary = ": 1 file(s), " + std::to_string(whole) +
                              " chunk(s) reused locally, " + std::to_string(chunks.size() - whole) +
                              " downloaded (";
  EXPECT_NE(again.out.find(summary), std::string::npos) << again.out;
  const std::string log = proxy_->requestLog();
  const std::regex chunkGet("GET [^\n]*" + kChunkPath);
  EXPECT_EQ(
      std::distance(std::sregex_iterator(log.begin(), log.end(), chunkGet), std::sregex_iterator()),
      static_cast<long>(chunks.size() - whole))
      << log;
  EXPECT_EQ(vorn_test::slurp(dest() + "/big.bin"), vorn_test::slurp(big + "/big.bin"));
  EXPECT_TRUE(partFiles(dest()).empty());
  EXPECT_EQ(direct({"verify", channel, dest()}).status, 0);
}

}  // namespace
