// Every store-using verb through the test server's fault layer: a request
// fails the way a network or a store fails, or the program is killed outright
// at a chosen request. It must say so in one clear line with status 1, lose
// nothing, and finish the job when run again.

#include "engine/set_aside.hpp"

#include "support/fixtures.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <sstream>
#include <thread>

namespace {

namespace fs = std::filesystem;
using vorn_test::FaultRule;
using vorn_test::kChunkPath;
using vorn_test::kListPath;
using vorn_test::kManifestPath;
using vorn_test::slurp;
using vorn_test::writeTextFile;

class Faults : public vorn_test::StoreTest {
 protected:
  static FaultRule rule(const std::string& method, const std::string& path, const std::string& kind,
                        int skip = 0, int times = -1, int status = 500, long offset = -1) {
    FaultRule r{method, path, kind, skip, times, status};
    r.offset = offset;
    return r;
  }
  // Runs the program through the fault layer and kills it once the rule holds a
  // request (and ready says so, or 20 s have passed).
  void killAt(const FaultRule& hold, const std::vector<std::string>& args,
              const std::function<bool()>& ready = {}) {
    ASSERT_TRUE(server_->setRules({hold}));
    const auto start = std::chrono::steady_clock::now();
    const auto r = vorn_test::runCli(args, server_->faultEnv(), [&] {
      return server_->held() > 0 &&
             (!ready || ready() ||
              std::chrono::steady_clock::now() - start > std::chrono::seconds(20));
    });
    EXPECT_EQ(r.status, 128 + 9) << "never held:\n" << server_->requestLog();
    EXPECT_TRUE(!ready || ready()) << "the program never got there";
    ASSERT_TRUE(server_->clear());
    // Requests the killed program had in flight still land: the store settles first.
    for (int polls = 0; server_->forwarding() > 0 && polls < 200; ++polls)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  // Until what was written before is more than 1 s old by the store's whole seconds.
  static void pastGrace() {
    const std::time_t start = std::time(nullptr);
    while (std::time(nullptr) < start + 2)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
};

// A push of the second build over the first fails part-way: the store keeps
// the first build, complete, until a clean re-run publishes the second. An
// error answer to a chunk probe only means "not there". Some cases push
// builds of some thirty objects with four requests in flight.
TEST_F(Faults, PushKeepsThePreviousBuildAndCompletesOnReRun) {
  const struct {
    FaultRule rule;
    bool fails, concurrent;
  } cases[] = {
      {rule("PUT", kChunkPath, "status", 1, -1, 503), true, false},
      {rule("PUT", kChunkPath, "close", 2), true, false},
      {rule("PUT", kChunkPath, "flip-request"), true, false},
      {rule("HEAD", kChunkPath, "close", 1), true, false},
      {rule("HEAD", kManifestPath, "close"), true, false},
      {rule("PUT", kManifestPath, "status"), true, false},
      {rule("HEAD", kChunkPath, "status", 1, -1, 503), false, false},
      {rule("PUT", kChunkPath, "status", 8, 1), true, true},
      {rule("PUT", kChunkPath, "close", 8), true, true},
      // Killed before anything is uploaded, at the first and third upload, and before the manifest.
      {rule("HEAD", kManifestPath, "hold"), true, false},
      {rule("PUT", kChunkPath, "hold"), true, false},
      {rule("PUT", kChunkPath, "hold", 2), true, false},
      {rule("PUT", kManifestPath, "hold"), true, false}};
  for (const auto& c : cases) {
    const uint64_t salt = static_cast<uint64_t>(&c - cases) + 1;
    channel = "push-" + std::to_string(salt);
    SCOPED_TRACE(channel);
    writeBuild(1, 0, c.concurrent ? 24 : 0);
    writeBuild(2, salt, c.concurrent ? 24 : 0);  // chunks no earlier case uploaded
    publish(1);
    std::vector<std::string> args{"push", srcOf(2), channel, "--force"};
    if (c.concurrent) args.insert(args.end(), {"--jobs", "4"});
    if (c.rule.kind == "hold") {
      killAt(c.rule, args);
      expectStoreHolds(1);
    } else {
      ASSERT_TRUE(server_->setRules({c.rule}));
      const auto r = viaProxy(args);
      if (c.fails) {
        expectCleanFailure(r, "push: ");
        expectStoreHolds(1);
        ASSERT_TRUE(server_->clear());
      } else {
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_GT(server_->faults(), 0);
      }
    }
    const auto again = viaProxy(args);
    EXPECT_EQ(again.status, 0) << again.err;
    expectStoreHolds(2);
  }
}

// A sync from the first build to the second fails part-way: each file is
// whole, of one build or the other, and a clean re-run installs the second.
// So does a repair, and with --jobs 4 one failure among many requests.
TEST_F(Faults, SyncAndRepairLeaveWholeFilesAndCompleteOnReRun) {
  const struct {
    FaultRule rule;
    std::string verb;
    int extra;
  } cases[] = {{rule("GET", kChunkPath, "status", 1, -1, 503), "sync", 0},
               {rule("GET", kChunkPath, "close"), "sync", 0},
               {rule("GET", kChunkPath, "close-mid", 1), "sync", 0},
               {rule("GET", kChunkPath, "truncate", 2), "sync", 0},
               {rule("GET", kChunkPath, "flip"), "sync", 0},
               {rule("GET", kChunkPath, "flip", 0, -1, 500, 0), "sync", 0},
               {rule("GET", kManifestPath, "status", 0, -1, 503), "sync", 0},
               {rule("GET", kManifestPath, "truncate"), "sync", 0},
               {rule("GET", kManifestPath, "flip", 0, -1, 500, 0), "sync", 0},
               {rule("GET", kChunkPath, "status", 8, 1, 503), "sync", 24},
               {rule("GET", kChunkPath, "close-mid", 8), "sync", 24},
               {rule("GET", kChunkPath, "status"), "repair", 0},
               {rule("GET", kChunkPath, "flip"), "repair", 0},
               {rule("GET", kManifestPath, "close", 1), "repair", 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rule.method + " " + c.rule.path + " " + c.rule.kind + " " + c.verb);
    channel = "sync-" + std::to_string(&c - cases);
    fs::remove_all(dest());
    writeBuild(1, 0, c.extra);
    writeBuild(2, 0, c.extra);
    publish(c.verb == "repair" ? 2 : 1);
    ASSERT_EQ(run({"sync", channel, dest()}).status, 0);
    std::vector<std::string> args{"sync", channel, dest()};
    if (c.extra) args.insert(args.end(), {"--jobs", "4"});
    if (c.verb == "repair") {
      writeTextFile(dest() + "/sub/b.bin", "damaged");
      fs::remove(dest() + "/a.bin");
      args = {"verify", channel, dest(), "--repair"};
    } else {
      publish(2);
    }
    ASSERT_TRUE(server_->setRules({c.rule}));
    const auto failed = viaProxy(args);
    expectCleanFailure(failed, c.verb == "repair" ? "" : "sync: ");
    if (c.verb == "repair") {
      EXPECT_NE(failed.err.find("repair: "), std::string::npos) << failed.err;
      const std::string now = slurp(dest() + "/sub/b.bin");
      EXPECT_TRUE(now == "damaged" || now == slurp(srcOf(2) + "/sub/b.bin"));
    } else {
      expectOldOrNew();
    }
    ASSERT_TRUE(server_->clear());
    const auto again = viaProxy(args);
    EXPECT_EQ(again.status, 0) << again.err;
    expectInstalled(2);
  }
}

// With retries a transient failure is tried again, one line each, and the
// job completes when a try succeeds; a time limit turns a stalled request
// into one clear line. Options and environment variables alike.
TEST_F(Faults, RetriesAndTimeLimit) {
  publish(1);
  // The faults hit one chunk, so each case counts the tries of one request
  // whatever the number of jobs.
  const std::string id = vorn_test::storedFiles(*store, channel).at(0).chunks.at(0).id;
  const std::string one = kChunkPath + id.substr(0, 2) + "/" + id;
  FaultRule stall = rule("GET", one, "stall", 0, 1);
  stall.delayMs = 4000;
  FaultRule afterTwo = rule("GET", one, "status", 0, 1, 503);
  afterTwo.header = "Retry-After: 2";
  const struct {
    std::vector<std::string> options;
    vorn_test::EnvChanges env;
    FaultRule rule;
    int status, retryLines;
    const char* error;
  } cases[] = {{{"--retries", "3"}, {}, rule("GET", one, "status", 0, 3, 503), 0, 3, ""},
               {{}, {{"VORN_RETRIES", "2"}}, rule("GET", one, "close-mid", 0, 2), 0, 2, ""},
               {{"--retries", "3"}, {}, rule("GET", one, "status", 0, 4, 503), 1, 3, "-> HTTP 503"},
               {{"--retries", "0"},
                {{"VORN_RETRIES", "5"}},
                rule("GET", one, "status", 0, 1, 503),
                1,
                0,
                "-> HTTP 503"},
               {{"--retries", "3"}, {}, rule("GET", one, "status", 0, 1, 403), 1, 0, "-> HTTP 403"},
               {{"--timeout", "1"}, {}, stall, 1, 0, "timed out"},
               {{"--retries", "1"}, {{"VORN_TIMEOUT", "1"}}, stall, 0, 1, ""},
               {{"--retries", "1"}, {}, afterTwo, 0, 1, ""}};
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    fs::remove_all(dest());
    ASSERT_TRUE(server_->setRules({c.rule}));
    std::vector<std::string> args{"sync", channel, dest()};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const auto started = std::chrono::steady_clock::now();
    const auto r = viaProxy(args, c.env);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    int retries = 0;
    const std::regex retryLine(
        R"(\r?retry [0-9]+/[0-9]+: GET chunks/[0-9a-f]{2}/[0-9a-f]{64} -> (HTTP 503|curl: .*|timed out .*) *)");
    std::istringstream lines(r.err);
    for (std::string line; std::getline(lines, line);) {
      if (line.find("retry ") == std::string::npos) continue;
      // A progress line may stand before it, ended by the carriage return.
      line = line.substr(line.rfind("\rretry ") == std::string::npos ? 0 : line.rfind("\rretry "));
      EXPECT_TRUE(std::regex_match(line, retryLine)) << line;
      ++retries;
    }
    EXPECT_EQ(retries, c.retryLines) << r.err;
    if (c.status == 0) {
      EXPECT_EQ(r.status, 0) << r.err;
      expectInstalled(1);
    } else {
      expectCleanFailure(r, "sync: ");
      EXPECT_NE(r.err.find(c.error), std::string::npos) << r.err;
    }
    if (c.rule.kind == "stall") {
      EXPECT_LT(seconds, 4.0) << "the time limit cut the stall short";
    }
    if (!c.rule.header.empty()) {
      EXPECT_GE(seconds, 1.9) << "waited as the store asked";
    }
  }
  // A 5xx or a 429 on push's manifest probe reads as "not published" without
  // retries, and fails the push once retries are on and exhausted.
  for (const int status : {500, 429}) {
    ASSERT_TRUE(server_->setRules({rule("HEAD", kManifestPath, "status", 0, -1, status)}));
    EXPECT_EQ(viaProxy({"push", srcOf(2), channel, "--force"}).status, 0);
    const auto retried = viaProxy({"push", srcOf(1), channel, "--force", "--retries", "1"});
    expectCleanFailure(retried, "push: cannot reach store: ");
    EXPECT_EQ(retried.err.substr(retried.err.find("push: ")),
              "push: cannot reach store: HEAD channels/" + channel + "/manifest.json -> HTTP " +
                  std::to_string(status) + "\n");
    expectStoreHolds(2);
  }
  // The storage verbs take the variable only.
  writeTextFile(tmp / "object.bin", "some object");
  ASSERT_TRUE(server_->setRules({rule("PUT", "/vorn-test/loose/", "status", 0, 1)}));
  const auto put =
      viaProxy({"storage", "put", "loose/o", tmp / "object.bin"}, {{"VORN_RETRIES", "1"}});
  EXPECT_EQ(put.status, 0) << put.err;
  EXPECT_NE(put.err.find("retry 1/1: PUT loose/o -> HTTP 500"), std::string::npos) << put.err;
}

// gc --delete meets a failing store: nothing a channel names is removed, and
// a clean re-run removes all the garbage. The storage verbs write no partial file.
TEST_F(Faults, GcAndStorageVerbsFailCleanlyAndSucceedOnReRun) {
  for (const FaultRule& fault :
       {rule("DELETE", kChunkPath, "status", 1), rule("DELETE", kChunkPath, "close"),
        rule("GET", kListPath, "truncate"), rule("GET", kListPath, "status", 0, -1, 503),
        rule("GET", kManifestPath, "flip", 0, -1, 500, 0),
        rule("GET", kManifestPath, "close-mid")}) {
    SCOPED_TRACE(fault.method + " " + fault.path + " " + fault.kind);
    ASSERT_EQ(run({"push", srcOf(1), "doomed"}).status, 0);
    ASSERT_EQ(run({"channel", "delete", "doomed"}).status, 0);
    publish(2);
    ASSERT_TRUE(server_->setRules({fault}));
    expectCleanFailure(viaProxy({"gc", "--delete"}), "gc: ");
    expectStoreHolds(2);
    ASSERT_TRUE(server_->clear());
    EXPECT_EQ(viaProxy({"gc", "--delete"}).status, 0);
    expectStoreHolds(2);
    EXPECT_NE(run({"gc"}).out.find("; 0 garbage"), std::string::npos);
  }
  const std::string object = tmp / "object.bin", fetched = tmp / "fetched.bin",
                    key = "loose/object.bin";
  vorn_test::writeSeededFile(object, 300000, 5);
  ASSERT_EQ(run({"storage", "put", key, object}).status, 0);
  const std::string path = "/vorn-test/loose/object\\.bin";
  const std::pair<std::vector<std::string>, FaultRule> cases[] = {
      {{"storage", "put", key, object}, rule("PUT", path, "close")},
      {{"storage", "get", key, fetched}, rule("GET", path, "status", 0, -1, 503)},
      {{"storage", "get", key, fetched}, rule("GET", path, "truncate")},
      {{"storage", "head", key}, rule("HEAD", path, "status")},
      {{"storage", "remove", key}, rule("DELETE", path, "status")},
      {{"--crypt", std::string(64, 'c'), "storage", "get", "sealed", fetched},
       rule("GET", "/vorn-test/sealed", "flip")}};
  ASSERT_EQ(viaProxy({"--crypt", std::string(64, 'c'), "storage", "put", "sealed", object}).status,
            0);
  for (const auto& [args, fault] : cases) {
    SCOPED_TRACE(fault.method + " " + fault.kind);
    fs::remove(fetched);
    ASSERT_TRUE(server_->setRules({fault}));
    expectCleanFailure(viaProxy(args), "");
    EXPECT_FALSE(fs::exists(fetched)) << "no partial download";
    EXPECT_TRUE(exists(key)) << "the object is still there";
    ASSERT_TRUE(server_->clear());
    EXPECT_EQ(viaProxy(args).status, 0);
    if (args.back() == fetched) {
      EXPECT_EQ(slurp(fetched), slurp(object));
    }
    if (args[1] == "remove") {
      ASSERT_EQ(run({"storage", "put", key, object}).status, 0);
    }
  }
}

// A sync killed part way through a large file leaves its part file, and the
// re-run downloads only the chunks the part file does not hold whole.
TEST_F(Faults, SyncKilledInAFileResumesFromItsPartFile) {
  vorn_test::writeSeededFile(tmp / "big/big.bin", 40 * 1048576, 4040);
  ASSERT_EQ(run({"push", tmp / "big", "big"}).status, 0);
  const auto chunks = vorn_test::storedFiles(*store, "big").at(0).chunks;
  ASSERT_GE(chunks.size(), 8u);
  const size_t held = 5;
  uint64_t before = 0;
  for (size_t k = 0; k < held; ++k) before += chunks[k].size;
  const auto partSize = [&] {
    std::error_code ec;
    const uintmax_t size = fs::file_size(dest() + "/big.bin.part", ec);
    return ec ? uintmax_t(0) : size;
  };
  killAt({"GET", kChunkPath, "hold", int(held)}, {"sync", "big", dest()},
         [&] { return partSize() >= before; });
  size_t whole = 0;  // whole chunks at the front of the part file are what can be reused
  for (uint64_t end = 0; whole < chunks.size() && end + chunks[whole].size <= partSize(); ++whole)
    end += chunks[whole].size;
  EXPECT_GE(whole, held);
  EXPECT_LT(whole, chunks.size());
  const auto again = viaProxy({"sync", "big", dest()});
  ASSERT_EQ(again.status, 0) << again.err;
  EXPECT_NE(again.out.find(": 1 file(s), " + std::to_string(whole) + " chunk(s) reused locally, " +
                           std::to_string(chunks.size() - whole) + " downloaded ("),
            std::string::npos)
      << again.out;
  const std::string log = server_->requestLog();
  const std::regex chunkGet("GET [^\n]*" + kChunkPath);
  EXPECT_EQ(
      std::distance(std::sregex_iterator(log.begin(), log.end(), chunkGet), std::sregex_iterator()),
      long(chunks.size() - whole))
      << log;
  EXPECT_EQ(slurp(dest() + "/big.bin"), slurp(tmp / "big/big.bin"));
}

// gc beside a push held before its manifest that uploaded chunks and found one present (a
// deleted channel's): both races at once. The one-pass gc --delete loses the build; with
// --grace every channel syncs throughout, and a chunk no manifest names goes in two runs.
TEST_F(Faults, GcGraceNeverBreaksAPublishedBuild) {
  const std::vector<std::string> sealed{"--crypt", std::string(64, '5')};
  for (const char* dir : {"part/a.bin", "again/a.bin"})
    writeTextFile(tmp / dir, slurp(srcOf(2) + "/a.bin"));
  writeTextFile(tmp / "again/new.txt", "new");
  const std::pair<bool, bool> rows[] = {{false, false}, {true, false}, {true, true}};
  for (const auto& [grace, crypt] : rows) {
    emptyStore();
    const auto args = [&, crypt = crypt](std::vector<std::string> list) {
      if (crypt) list.insert(list.end(), sealed.begin(), sealed.end());
      return list;
    };
    const auto syncs = [&](const std::string& name, const std::string& descriptor = "") {
      fs::remove_all(dest());
      if (descriptor.empty()) return run(args({"sync", name, dest()}));
      return run({"sync", name, dest(), "--descriptor", descriptor});
    };
    const auto syncEveryChannel = [&] {
      for (const int build : {1, 2}) {
        EXPECT_EQ(syncs(build == 1 ? "keep" : "raced").status, 0);
        expectInstalled(build);
      }
    };
    for (const auto& step : {std::vector<std::string>{"push", srcOf(1), "keep"},
                             {"push", tmp / "part", "gone"},
                             {"channel", "delete", "gone"}})
      ASSERT_EQ(run(args(step)).status, 0);
    ASSERT_TRUE(store->put("chunks/00/loose", "", nullptr));
    pastGrace();
    const auto gc = args(vorn_test::words(grace ? "gc --delete --grace 1" : "gc --delete"));
    ASSERT_TRUE(server_->setRules({rule("PUT", kManifestPath, "hold")}));
    bool collected = false;
    const auto pushed =
        vorn_test::runCli(args({"push", srcOf(2), "raced"}), server_->faultEnv(), [&] {
          if (!collected && server_->held() > 0) {
            EXPECT_NE(run(gc).out.find(" chunk object(s); 5 garbage ("), std::string::npos);
            collected = true;
            EXPECT_TRUE(server_->release());
          }
          return false;
        });
    EXPECT_NE(pushed.out.find(": 1 already present, 3 uploaded"), std::string::npos) << pushed.out;
    ASSERT_TRUE(server_->clear());
    if (!grace) {
      EXPECT_EQ(stored("chunks/").size(), 4u) << "only the chunks of keep are left";
      EXPECT_TRUE(std::regex_search(
          syncs("raced").err, std::regex("\nsync: GET chunks/[0-9a-f/]{67} -> HTTP 404 \n$")));
      continue;
    }
    syncEveryChannel();
    const auto sealedView =
        vorn::makeEncryptedProvider(vorn::makeS3Provider(config), std::string(32, 'U'));
    vorn::StorageProvider& view = crypt ? *sealedView : *store;
    const std::string found = view.chunkKey(vorn_test::storedFiles(view, "raced")[0].chunks[0].id);
    EXPECT_TRUE(exists(vorn::setAsideKey(found)) && !exists(found)) << "a.bin's: found present";
    if (crypt) {
      EXPECT_EQ(object(vorn::setAsideKey(found)).substr(0, 8), "VORNENC1");
    } else {
      writeTextFile(tmp / "raced.json", run({"sign-sync", "raced", "--grace"}).out);
      EXPECT_EQ(syncs("raced", tmp / "raced.json").status, 0);
    }
    // A push of that chunk puts it back when it knows of the mode; a new one is uploaded.
    const auto again =
        run(args({"push", tmp / "again", "again"}),
            crypt ? vorn_test::EnvChanges{} : vorn_test::EnvChanges{{"VORN_GC_GRACE", "1"}});
    EXPECT_NE(again.out.find(crypt ? ": 0 already present, 2" : ": 1 already present, 1"),
              std::string::npos)
        << again.out;
    EXPECT_EQ(exists(vorn::setAsideKey(found)), crypt);
    pastGrace();
    const auto finished = run(gc);
    EXPECT_NE(finished.out.find("  deleted gc/aside/chunks/00/loose (0 bytes)\n"),
              std::string::npos)
        << finished.out << finished.err;
    EXPECT_EQ(stored("gc/"), (std::map<std::string, int64_t>{}));
    EXPECT_FALSE(exists("chunks/00/loose"));
    syncEveryChannel();
  }
}

// gc killed between a copy and its delete, or between two objects, keeps the next run away with
// its lock; without it the next run completes it, losing nothing. A dry run changes nothing.
TEST_F(Faults, AnInterruptedGcGraceIsCompletedByTheNextRun) {
  for (const FaultRule& hold :
       {rule("DELETE", kChunkPath, "hold"), rule("PUT", "/vorn-test/gc/aside/", "hold", 1)}) {
    SCOPED_TRACE(hold.method);
    emptyStore();
    publish(1);
    ASSERT_EQ(run({"push", srcOf(2), "gone"}).status, 0);
    ASSERT_EQ(run({"channel", "delete", "gone"}).status, 0);
    pastGrace();
    killAt(hold, {"gc", "--delete", "--grace", "1"});
    const auto before = stored("");
    const auto refused = run({"gc", "--delete", "--grace", "1"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err.rfind("gc: another collection holds the lock gc/state/lock.", 0), 0u)
        << refused.err;
    EXPECT_EQ(stored(""), before);
    for (const auto& [lock, size] : stored("gc/state/lock."))
      ASSERT_TRUE(store->remove(lock, nullptr));
    const auto unlocked = stored("");
    for (const char* args : {"gc --grace 1", "gc --delete --grace 1"}) {
      const auto r = run(vorn_test::words(args));
      EXPECT_NE(r.out.find("interrupted collection of 4 object(s): 0 put back, 4 set aside"),
                std::string::npos)
          << r.out;
      EXPECT_EQ(r.out.find("would set aside") != std::string::npos, stored("") == unlocked) << args;
    }
    pastGrace();
    EXPECT_NE(run({"gc", "--delete", "--grace", "1"}).out.find(": 0 put back, 4 deleted"),
              std::string::npos);
    EXPECT_EQ(stored("gc/"), (std::map<std::string, int64_t>{}));
    EXPECT_EQ(stored("chunks/").size(),
              vorn_test::uniqueChunks(vorn_test::storedFiles(*store, channel)).size());
    expectStoreHolds(1);
  }
}

}  // namespace
