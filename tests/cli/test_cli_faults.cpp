// Every store-using verb through the fault proxy: a request fails in one of
// the ways a network or a store fails, and the program must say so in one
// clear line with status 1, lose nothing, and finish the job when run again.

#include "support/fault_fixtures.hpp"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

namespace fs = std::filesystem;
using vorn_test::FaultRule;
using vorn_test::kChunkPath;
using vorn_test::kListPath;
using vorn_test::kManifestPath;
using vorn_test::slurp;
using vorn_test::writeSeededFile;
using vorn_test::writeTextFile;

class Faults : public vorn_test::FaultFixture {};

struct Case {
  const char* name;
  FaultRule rule;
};

// A push of the second build over the first fails part-way: the store keeps
// the first build, complete, until a clean re-run publishes the second. An
// error answer to a probe only means "not there": the push uploads and ends well.
TEST_F(Faults, PushKeepsThePreviousBuildAndCompletesOnReRun) {
  struct PushCase {
    const char* name;
    FaultRule rule;
    bool fails;
  };
  const PushCase cases[] = {
      {"chunk PUT 500", {"PUT", kChunkPath, "status"}, true},
      {"second chunk PUT 503", {"PUT", kChunkPath, "status", 1, -1, 503}, true},
      {"chunk PUT connection closed", {"PUT", kChunkPath, "close", 2}, true},
      {"chunk PUT body changed on the way", {"PUT", kChunkPath, "flip-request"}, true},
      {"chunk probe without an answer", {"HEAD", kChunkPath, "close", 1}, true},
      {"manifest probe without an answer", {"HEAD", kManifestPath, "close"}, true},
      {"manifest PUT 500", {"PUT", kManifestPath, "status"}, true},
      {"manifest PUT connection closed", {"PUT", kManifestPath, "close"}, true},
      {"chunk probe 503", {"HEAD", kChunkPath, "status", 1, -1, 503}, false},
  };
  for (const PushCase& c : cases) {
    SCOPED_TRACE(c.name);
    const uint64_t salt = static_cast<uint64_t>(&c - cases) + 1;
    channel = "push-" + std::to_string(salt);
    writeBuild(2, salt);  // chunks no earlier case uploaded
    publish(1);
    ASSERT_TRUE(proxy_->setRules({c.rule}));
    const auto r = viaProxy({"push", srcOf(2), channel, "--force"});
    if (c.fails) {
      expectCleanFailure(r, "push: ");
      expectStoreHolds(1);
      ASSERT_TRUE(proxy_->clear());
      const auto again = viaProxy({"push", srcOf(2), channel, "--force"});
      EXPECT_EQ(again.status, 0) << again.err;
    } else {
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_GT(proxy_->faults(), 0);
    }
    expectStoreHolds(2);
  }
}

// A sync from the first build to the second fails part-way: each file is
// whole, of one build or the other, and a clean re-run installs the second.
TEST_F(Faults, SyncLeavesWholeFilesAndCompletesOnReRun) {
  const Case cases[] = {
      {"chunk GET 500", {"GET", kChunkPath, "status"}},
      {"chunk GET 503 on the second", {"GET", kChunkPath, "status", 1, -1, 503}},
      {"chunk GET closed before the answer", {"GET", kChunkPath, "close"}},
      {"chunk GET closed mid-body", {"GET", kChunkPath, "close-mid", 1}},
      {"chunk GET truncated", {"GET", kChunkPath, "truncate", 2}},
      {"chunk GET one byte changed", {"GET", kChunkPath, "flip"}},
      {"chunk GET first byte changed", {"GET", kChunkPath, "flip", 1, -1, 500, 1500, 0}},
      {"manifest GET 503", {"GET", kManifestPath, "status", 0, -1, 503}},
      {"manifest GET truncated", {"GET", kManifestPath, "truncate"}},
      {"manifest GET closed mid-body", {"GET", kManifestPath, "close-mid"}},
      {"manifest GET first byte changed", {"GET", kManifestPath, "flip", 0, -1, 500, 1500, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    channel = std::string("sync-") + std::to_string(&c - cases);
    fs::remove_all(dest());
    publish(1);
    ASSERT_EQ(direct({"sync", channel, dest()}).status, 0);
    publish(2);
    ASSERT_TRUE(proxy_->setRules({c.rule}));
    const auto failed = viaProxy({"sync", channel, dest()});
    expectCleanFailure(failed, "sync: ");
    expectOldOrNew();

    ASSERT_TRUE(proxy_->clear());
    const auto again = viaProxy({"sync", channel, dest()});
    EXPECT_EQ(again.status, 0) << again.err;
    expectInstalled(2);
  }
}

// A slow answer is only slow: nothing times out and the job completes.
TEST_F(Faults, StalledAnswersOnlyDelay) {
  publish(1);
  ASSERT_TRUE(proxy_->setRules({{"GET", kChunkPath, "stall", 0, 2, 500, 1500},
                                {"PUT", kChunkPath, "stall", 0, 1, 500, 1500}}));
  const auto sync = viaProxy({"sync", channel, dest()});
  EXPECT_EQ(sync.status, 0) << sync.err;
  expectInstalled(1);
  const auto push = viaProxy({"push", srcOf(2), channel, "--force"});
  EXPECT_EQ(push.status, 0) << push.err;
  expectStoreHolds(2);
  EXPECT_NE(proxy_->requestLog().find("-> stall"), std::string::npos);
}

// One request fails among many in flight (--jobs 4, builds of some thirty
// objects): the same guarantees as one request at a time.
TEST_F(Faults, AFailureAmongConcurrentRequestsLosesNothing) {
  struct ConcurrentCase {
    const char* name;
    bool push;
    FaultRule rule;
  };
  const ConcurrentCase cases[] = {
      {"ninth chunk PUT 500", true, {"PUT", kChunkPath, "status", 8, 1}},
      {"chunk PUTs closed from the ninth on", true, {"PUT", kChunkPath, "close", 8}},
      {"ninth chunk GET 503", false, {"GET", kChunkPath, "status", 8, 1, 503}},
      {"chunk GETs closed mid-body from the ninth on", false, {"GET", kChunkPath, "close-mid", 8}},
  };
  for (const ConcurrentCase& c : cases) {
    SCOPED_TRACE(c.name);
    const uint64_t salt = static_cast<uint64_t>(&c - cases) + 20;
    channel = std::string("concurrent-") + std::to_string(salt);
    fs::remove_all(dest());
    writeBuild(1, salt, 24);
    writeBuild(2, salt + 1, 24);
    publish(1);
    ASSERT_EQ(direct({"sync", channel, dest()}).status, 0);
    if (!c.push) publish(2);
    ASSERT_TRUE(proxy_->setRules({c.rule}));
    const std::vector<std::string> args =
        c.push ? std::vector<std::string>{"push", srcOf(2), channel, "--force", "--jobs", "4"}
               : std::vector<std::string>{"sync", channel, dest(), "--jobs", "4"};
    expectCleanFailure(viaProxy(args), c.push ? "push: " : "sync: ");
    if (c.push) expectStoreHolds(1);
    expectOldOrNew();

    ASSERT_TRUE(proxy_->clear());
    const auto again = viaProxy(args);
    EXPECT_EQ(again.status, 0) << again.err;
    if (c.push) {
      expectStoreHolds(2);
      ASSERT_EQ(direct({"sync", channel, dest()}).status, 0);
    }
    expectInstalled(2);
  }
}

// Repair of a damaged install fails part-way: the damaged file is either
// still the damaged one or whole, and a clean re-run repairs everything.
TEST_F(Faults, RepairFailsCleanlyAndCompletesOnReRun) {
  const Case cases[] = {
      {"chunk GET 500", {"GET", kChunkPath, "status"}},
      {"chunk GET truncated", {"GET", kChunkPath, "truncate"}},
      {"chunk GET one byte changed", {"GET", kChunkPath, "flip"}},
      {"manifest GET closed", {"GET", kManifestPath, "close", 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    channel = std::string("repair-") + std::to_string(&c - cases);
    fs::remove_all(dest());
    publish(2);
    ASSERT_EQ(direct({"sync", channel, dest()}).status, 0);
    const std::string damaged = dest() + "/sub/b.bin";
    writeTextFile(damaged, "damaged");
    fs::remove(dest() + "/a.bin");

    ASSERT_TRUE(proxy_->setRules({c.rule}));
    const auto failed = viaProxy({"verify", channel, dest(), "--repair"});
    EXPECT_EQ(failed.status, 1) << failed.err;
    EXPECT_NE(failed.err.find("repair: "), std::string::npos) << failed.err;
    const std::string now = slurp(damaged);
    EXPECT_TRUE(now == "damaged" || now == slurp(srcOf(2) + "/sub/b.bin"));

    ASSERT_TRUE(proxy_->clear());
    const auto again = viaProxy({"verify", channel, dest(), "--repair"});
    EXPECT_EQ(again.status, 0) << again.err;
    expectInstalled(2);
    EXPECT_EQ(direct({"verify", channel, dest()}).status, 0);
  }
}

// gc --delete meets a failing store: nothing a channel names is ever removed,
// and a clean re-run removes all the garbage.
TEST_F(Faults, GcNeverRemovesWhatAChannelNamesAndCompletesOnReRun) {
  const Case cases[] = {
      {"second DELETE 500", {"DELETE", kChunkPath, "status", 1}},
      {"DELETE closed", {"DELETE", kChunkPath, "close"}},
      {"listing truncated", {"GET", kListPath, "truncate"}},
      {"listing 503", {"GET", kListPath, "status", 0, -1, 503}},
      {"manifest GET first byte changed", {"GET", kManifestPath, "flip", 0, -1, 500, 1500, 0}},
      {"manifest GET closed mid-body", {"GET", kManifestPath, "close-mid"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Garbage: the chunks of a build no channel names any more.
    ASSERT_EQ(direct({"push", srcOf(1), "doomed"}).status, 0);
    ASSERT_EQ(direct({"channel", "delete", "doomed"}).status, 0);
    publish(2);

    ASSERT_TRUE(proxy_->setRules({c.rule}));
    expectCleanFailure(viaProxy({"gc", "--delete"}), "gc: ");
    expectStoreHolds(2);

    ASSERT_TRUE(proxy_->clear());
    const auto again = viaProxy({"gc", "--delete"});
    EXPECT_EQ(again.status, 0) << again.err;
    expectStoreHolds(2);
    const auto after = direct({"gc"});
    EXPECT_NE(after.out.find("; 0 garbage"), std::string::npos) << after.out;
  }
}

// The storage verbs report a failed request and write no partial file.
TEST_F(Faults, StorageVerbsFailCleanlyAndSucceedOnReRun) {
  const std::string object = tmp / "object.bin", fetched = tmp / "fetched.bin";
  writeSeededFile(object, 300000, 5);
  const std::string key = "loose/object.bin";
  ASSERT_EQ(direct({"storage", "put", key, object}).status, 0);
  const std::string keyPath = "/faulty/loose/object\\.bin";
  struct StorageCase {
    const char* name;
    std::vector<std::string> args;
    FaultRule rule;
  };
  const StorageCase cases[] = {
      {"put 500", {"storage", "put", key, object}, {"PUT", keyPath, "status"}},
      {"put closed", {"storage", "put", key, object}, {"PUT", keyPath, "close"}},
      {"get 503", {"storage", "get", key, fetched}, {"GET", keyPath, "status", 0, -1, 503}},
      {"get truncated", {"storage", "get", key, fetched}, {"GET", keyPath, "truncate"}},
      {"get closed mid-body", {"storage", "get", key, fetched}, {"GET", keyPath, "close-mid"}},
      {"head 500", {"storage", "head", key}, {"HEAD", keyPath, "status"}},
      {"head closed", {"storage", "head", key}, {"HEAD", keyPath, "close"}},
      {"remove 500", {"storage", "remove", key}, {"DELETE", keyPath, "status"}},
  };
  for (const StorageCase& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(fetched);
    ASSERT_TRUE(proxy_->setRules({c.rule}));
    expectCleanFailure(viaProxy(c.args), "");
    EXPECT_FALSE(fs::exists(fetched)) << "no partial download";
    std::string err;
    EXPECT_TRUE(store->head(key, &err).exists) << "the object is still there";

    ASSERT_TRUE(proxy_->clear());
    const auto again = viaProxy(c.args);
    EXPECT_EQ(again.status, 0) << again.err;
    if (c.args[1] == "get") {
      EXPECT_EQ(slurp(fetched), slurp(object));
    }
    if (c.args[1] == "remove") {
      ASSERT_EQ(direct({"storage", "put", key, object}).status, 0);
    }
  }
}

// Through the encrypted layer a changed byte cannot pass as the object.
TEST_F(Faults, EncryptedStoreRefusesAChangedObject) {
  const std::string keyHex(64, 'c');
  const std::string object = tmp / "object.bin", fetched = tmp / "fetched.bin";
  writeSeededFile(object, 70000, 6);
  ASSERT_EQ(viaProxy({"--crypt", keyHex, "storage", "put", "sealed", object}).status, 0);
  ASSERT_TRUE(proxy_->setRules({{"GET", "/faulty/sealed", "flip"}}));
  expectCleanFailure(viaProxy({"--crypt", keyHex, "storage", "get", "sealed", fetched}), "");
  EXPECT_FALSE(fs::exists(fetched));
  ASSERT_TRUE(proxy_->clear());
  EXPECT_EQ(viaProxy({"--crypt", keyHex, "storage", "get", "sealed", fetched}).status, 0);
  EXPECT_EQ(slurp(fetched), slurp(object));
}

}  // namespace
