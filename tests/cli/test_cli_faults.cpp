// Every store-using verb through the fault proxy: a request fails in one of
// the ways a network or a store fails, and the program must say so in one
// clear line with status 1, lose nothing, and finish the job when run again.

#include "support/fault_fixtures.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <sstream>

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

// With retries a transient failure is tried again, one line each, and the
// job completes when a try succeeds; a time limit turns a stalled request
// into one clear line. Options and environment variables alike.
TEST_F(Faults, RetriesAndTimeLimit) {
  publish(1);
  using vorn_test::EnvChanges;
  struct RetryCase {
    const char* name;
    std::vector<std::string> options;
    EnvChanges env;
    FaultRule rule;
    int status;
    int retryLines;
    const char* errorPart;  // in the failure's last line
  };
  FaultRule afterTwo{"GET", kChunkPath, "status", 0, 1, 503};
  afterTwo.retryAfter = 2;
  const RetryCase cases[] = {
      {"three 503s, --retries 3",
       {"--retries", "3"},
       {},
       {"GET", kChunkPath, "status", 0, 3, 503},
       0,
       3,
       ""},
      {"cut off twice, VORN_RETRIES=2",
       {},
       {{"VORN_RETRIES", std::string("2")}},
       {"GET", kChunkPath, "close-mid", 0, 2},
       0,
       2,
       ""},
      {"four 503s, --retries 3",
       {"--retries", "3"},
       {},
       {"GET", kChunkPath, "status", 0, 4, 503},
       1,
       3,
       "-> HTTP 503"},
      {"the option replaces the variable",
       {"--retries", "0"},
       {{"VORN_RETRIES", std::string("5")}},
       {"GET", kChunkPath, "status", 0, 1, 503},
       1,
       0,
       "-> HTTP 503"},
      {"a 403 is final",
       {"--retries", "3"},
       {},
       {"GET", kChunkPath, "status", 0, 1, 403},
       1,
       0,
       "-> HTTP 403"},
      {"a stall past --timeout 1",
       {"--timeout", "1"},
       {},
       {"GET", kChunkPath, "stall", 0, 1, 500, 4000},
       1,
       0,
       "timed out"},
      {"a stall past VORN_TIMEOUT, then a retry",
       {"--retries", "1"},
       {{"VORN_TIMEOUT", std::string("1")}},
       {"GET", kChunkPath, "stall", 0, 1, 500, 4000},
       0,
       1,
       ""},
      {"Retry-After is honoured", {"--retries", "1"}, {}, afterTwo, 0, 1, ""},
  };
  for (const RetryCase& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dest());
    ASSERT_TRUE(proxy_->setRules({c.rule}));
    std::vector<std::string> args{"sync", channel, dest()};
    args.insert(args.end(), c.options.begin(), c.options.end());
    vorn_test::EnvChanges env = proxy_->env();
    for (const auto& [name, value] : c.env) env[name] = value;
    const auto started = std::chrono::steady_clock::now();
    const auto r = vorn_test::runCli(args, env);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_GT(proxy_->faults(), 0);
    int retries = 0;
    std::regex retryLine(
        R"(\r?retry [0-9]+/[0-9]+: GET chunks/[0-9a-f]{2}/[0-9a-f]{64} -> (HTTP 503|curl: .*|timed out .*) *)");
    std::istringstream lines(r.err);
    for (std::string line; std::getline(lines, line);) {
      if (line.find("retry ") == std::string::npos) continue;
      EXPECT_TRUE(std::regex_match(line, retryLine)) << line;
      ++retries;
    }
    EXPECT_EQ(retries, c.retryLines) << r.err;
    if (c.status == 0) {
      EXPECT_EQ(r.status, 0) << r.err;
      expectInstalled(1);
    } else {
      expectCleanFailure(r, "sync: ");
      EXPECT_NE(r.err.find(c.errorPart), std::string::npos) << r.err;
    }
    if (c.rule.kind == "stall") {
      EXPECT_LT(seconds, 4.0) << "the time limit cut the stall short";
    }
    if (c.rule.retryAfter > 0) {
      EXPECT_GE(seconds, 1.9) << "waited as the store asked";
    }
  }

  // A 5xx on push's manifest probe reads as "not published" without retries,
  // and fails the push once retries are on and exhausted.
  ASSERT_TRUE(proxy_->setRules({{"HEAD", kManifestPath, "status", 0, -1, 503}}));
  const auto noRetry = viaProxy({"push", srcOf(2), channel, "--force"});
  EXPECT_EQ(noRetry.status, 0) << noRetry.err;
  const auto retried = viaProxy({"push", srcOf(1), channel, "--force", "--retries", "1"});
  expectCleanFailure(retried, "push: cannot reach store: ");
  EXPECT_EQ(retried.err.substr(retried.err.find("push: ")),
            "push: cannot reach store: HEAD channels/" + channel + "/manifest.json -> HTTP 503\n");
  expectStoreHolds(2);

  // The storage verbs take the variables only.
  const std::string object = tmp / "object.bin";
  writeSeededFile(object, 5000, 8);
  ASSERT_TRUE(proxy_->setRules({{"PUT", "/faulty/loose/", "status", 0, 1, 500}}));
  EnvChanges env = proxy_->env();
  env["VORN_RETRIES"] = std::string("1");
  const auto put = vorn_test::runCli({"storage", "put", "loose/o", object}, env);
  EXPECT_EQ(put.status, 0) << put.err;
  EXPECT_NE(put.err.find("retry 1/1: PUT loose/o -> HTTP 500"), std::string::npos) << put.err;
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
