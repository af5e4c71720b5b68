// Benchmark of the "chunk" verb against the raw limits of the same machine.
//
//   bench_chunk gen <dir> <seed>          deterministic data: <dir>/random.bin
//                                         (1 GiB) and <dir>/tree (about 1 GiB)
//   bench_chunk measure <program> <path> [repeats]
//                                         read, gear scan and BLAKE3 limits of
//                                         the bytes under <path>, then
//                                         "<program> chunk <path>": best
//                                         throughput and peak resident memory
//   bench_chunk compress <path> <threads,...> [repeats]
//                                         the compression stage of push alone:
//                                         the distinct chunks of the files
//                                         under <path>, each read and
//                                         compressed at zstd level 12, on T
//                                         threads taking the next chunk in
//                                         turn; MB/s for each T and its ratio
//                                         to the first T given
//
// Throughput is in MB/s (10^6 bytes per second), the best of the repeats.

#include "chunking/chunker.hpp"
#include "engine/chunk_codec.hpp"

#include <blake3.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr size_t kBlock = 1048576;
constexpr uint64_t kGiB = 1073741824;

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// ---- deterministic data ----

struct Rng {
  uint64_t state;
  uint64_t next() {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint64_t below(uint64_t n) { return n ? next() % n : 0; }
  // Roughly log-uniform in [lo, hi].
  uint64_t logUniform(uint64_t lo, uint64_t hi) {
    double f = static_cast<double>(next() >> 11) / 9007199254740992.0;
    double v =
        static_cast<double>(lo) * std::pow(static_cast<double>(hi) / static_cast<double>(lo), f);
    return static_cast<uint64_t>(v);
  }
};

enum class Kind { Random, Text, Sparse };

// Writes size bytes of the given kind to path, one block at a time.
bool writeData(const fs::path& path, uint64_t size, Kind kind, uint64_t seed) {
  fs::create_directories(path.parent_path());
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    return false;
  }
  static const char* const kWords[] = {
      "build",     "chunk",  "vector",  "string", "return", "const", "static", "include",
      "namespace", "void",   "int",     "for",    "while",  "if",    "else",   "struct",
      "class",     "public", "private", "size_t", "0x1f",   "error", "value",  "result",
      "buffer",    "offset", "length",  "path",   "file",   "data",  "assets", "shader",
      "mesh",      "level",  "sound",   "=",      "{",      "}",     "(",      ");"};
  constexpr size_t kWordCount = sizeof kWords / sizeof kWords[0];
  Rng rng{seed};
  std::vector<unsigned char> block(kBlock);
  uint64_t left = size;
  while (left > 0) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(left, kBlock));
    size_t i = 0;
    switch (kind) {
      case Kind::Random:
        for (; i + 8 <= n; i += 8) {
          uint64_t v = rng.next();
          std::memcpy(&block[i], &v, 8);
        }
        for (; i < n; ++i) block[i] = static_cast<unsigned char>(rng.next());
        break;
      case Kind::Text:
        while (i < n) {
          uint64_t r = rng.next();
          const char* word = kWords[r % kWordCount];
          for (const char* c = word; *c && i < n; ++c) block[i++] = static_cast<unsigned char>(*c);
          if (i < n) block[i++] = (r >> 32) % 9 == 0 ? '\n' : ' ';
        }
        break;
      case Kind::Sparse:
        // Runs of zeros between random stretches, like padded binaries.
        while (i < n) {
          uint64_t r = rng.next();
          size_t run = std::min<size_t>(n - i, 512 + (r >> 40) % 65536);
          if (r & 1) {
            std::memset(&block[i], 0, run);
          } else {
            for (size_t k = 0; k < run; ++k)
              block[i + k] = static_cast<unsigned char>(rng.next() >> 56);
          }
          i += run;
        }
        break;
    }
    if (std::fwrite(block.data(), 1, n, file) != n) {
      std::fclose(file);
      std::fprintf(stderr, "cannot write %s\n", path.c_str());
      return false;
    }
    left -= n;
  }
  return std::fclose(file) == 0;
}

// A build-like tree of about 1 GiB: many small files, some medium, a few
// large; text, random and padded binary content; some duplicated files.
bool generateTree(const fs::path& root, uint64_t seed) {
  Rng rng{seed ^ 0x7265655472656554ull};
  uint64_t total = 0;
  std::vector<fs::path> written;
  auto place = [&](const std::string& stem, uint64_t index) {
    char name[128];
    std::snprintf(name, sizeof name, "d%02u/s%u/%s%05u", static_cast<unsigned>(rng.below(24)),
                  static_cast<unsigned>(rng.below(8)), stem.c_str(), static_cast<unsigned>(index));
    return root / name;
  };
  auto kindFor = [&](uint64_t r) {
    return r % 10 < 5 ? Kind::Text : (r % 10 < 8 ? Kind::Random : Kind::Sparse);
  };

  // Large: four files of 80 to 150 MiB, one of them a copy of another with an edit.
  uint64_t index = 0;
  for (int k = 0; k < 3; ++k) {
    uint64_t size = (80 + rng.below(70)) * kBlock + rng.below(kBlock);
    fs::path path = root / ("large/pack" + std::to_string(k) + ".bin");
    Kind kind = k == 0 ? Kind::Random : (k == 1 ? Kind::Text : Kind::Sparse);
    if (!writeData(path, size, kind, rng.next())) return false;
    total += size;
    written.push_back(path);
  }
  {
    // A patched copy of pack0: the same bytes with a block overwritten in the middle.
    fs::path copy = root / "large/pack0-patched.bin";
    fs::copy_file(written[0], copy, fs::copy_options::overwrite_existing);
    std::fstream f(copy, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(fs::file_size(copy) / 2));
    std::string patch(4096, 'P');
    f.write(patch.data(), static_cast<std::streamsize>(patch.size()));
    total += fs::file_size(copy);
  }
  // Medium: 256 KiB to 8 MiB, about 300 MiB in all.
  const uint64_t mediumBudget = total + 300 * kBlock;
  while (total < mediumBudget) {
    uint64_t size = rng.logUniform(256 * 1024, 8 * kBlock);
    uint64_t r = rng.next();
    fs::path path = place("lib", index++);
    if (r % 8 == 0 && !written.empty()) {
      fs::path from = written[rng.below(written.size())];
      if (fs::file_size(from) <= 8 * kBlock) {
        fs::create_directories(path.parent_path());
        fs::copy_file(from, path, fs::copy_options::overwrite_existing);
        total += fs::file_size(path);
        continue;
      }
    }
    if (!writeData(path, size, kindFor(r >> 8), rng.next())) return false;
    total += size;
    written.push_back(path);
  }
  // Small: 100 bytes to 64 KiB until the tree holds about 1 GiB.
  const size_t firstSmall = written.size();
  while (total < kGiB) {
    uint64_t size = rng.logUniform(100, 64 * 1024);
    uint64_t r = rng.next();
    fs::path path = place("obj", index++);
    if (r % 10 == 0 && written.size() > firstSmall) {
      fs::path from = written[firstSmall + rng.below(written.size() - firstSmall)];
      fs::create_directories(path.parent_path());
      fs::copy_file(from, path, fs::copy_options::overwrite_existing);
      total += fs::file_size(path);
      continue;
    }
    if (!writeData(path, size, kindFor(r >> 8), rng.next())) return false;
    total += size;
    written.push_back(path);
  }
  return true;
}

int generate(const fs::path& dir, uint64_t seed) {
  const fs::path stamp = dir / ".generated";
  const std::string want = "v1 seed " + std::to_string(seed) + "\n";
  {
    std::ifstream in(stamp);
    std::string have((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (have == want) {
      std::printf("data in %s is current (seed %llu)\n", dir.c_str(),
                  static_cast<unsigned long long>(seed));
      return 0;
    }
  }
  std::error_code ec;
  fs::remove(stamp, ec);
  fs::remove_all(dir / "random.bin", ec);
  fs::remove_all(dir / "tree", ec);
  std::printf("generating %s/random.bin (1 GiB) and %s/tree (about 1 GiB), seed %llu\n",
              dir.c_str(), dir.c_str(), static_cast<unsigned long long>(seed));
  std::fflush(stdout);
  if (!writeData(dir / "random.bin", kGiB, Kind::Random, seed)) return 1;
  if (!generateTree(dir / "tree", seed)) return 1;
  std::ofstream(stamp) << want;
  return 0;
}

// ---- measurement ----

std::vector<fs::path> filesUnder(const fs::path& path) {
  std::vector<fs::path> files;
  if (fs::is_directory(path)) {
    for (const auto& entry : fs::recursive_directory_iterator(path)) {
      if (entry.is_regular_file()) files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
  } else {
    files.push_back(path);
  }
  return files;
}

struct Limits {
  uint64_t bytes = 0;
  double read = 0, scan = 0, hash = 0;  // seconds
};

// Reads every file in 1 MiB blocks; op (if set) runs over each block and only
// its time is counted. Without op the reading itself is timed.
template <typename Op>
double passOver(const std::vector<fs::path>& files, unsigned char* block, uint64_t* bytes, Op& op,
                bool timeReads) {
  double seconds = 0;
  *bytes = 0;
  auto readStart = Clock::now();
  for (const fs::path& path : files) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    op.begin();
    for (;;) {
      ssize_t n = ::read(fd, block, kBlock);
      if (n <= 0) break;
      *bytes += static_cast<uint64_t>(n);
      if (!timeReads) {
        auto t = Clock::now();
        op.run(block, static_cast<size_t>(n));
        seconds += secondsSince(t);
      }
    }
    if (!timeReads) {
      auto t = Clock::now();
      op.end();
      seconds += secondsSince(t);
    }
    ::close(fd);
  }
  return timeReads ? secondsSince(readStart) : seconds;
}

struct NoOp {
  void begin() {}
  void run(const unsigned char*, size_t) {}
  void end() {}
};

// The bare gear loop: lookup, shift, add and the strict mask test per byte.
struct GearScan {
  const uint64_t* gear = vorn::gearTable();
  uint64_t h = 0, hits = 0;
  void begin() { h = 0; }
  void run(const unsigned char* data, size_t n) {
    uint64_t x = h, found = 0;
    for (size_t i = 0; i < n; ++i) {
      x = (x << 1) + gear[data[i]];
      if ((x & 0xFFFFFF) == 0) ++found;
    }
    h = x;
    hits += found;
  }
  void end() {}
};

struct Blake3All {
  blake3_hasher hasher;
  uint8_t out[BLAKE3_OUT_LEN];
  void begin() { blake3_hasher_init(&hasher); }
  void run(const unsigned char* data, size_t n) { blake3_hasher_update(&hasher, data, n); }
  void end() { blake3_hasher_finalize(&hasher, out, sizeof out); }
};

struct ChildRun {
  bool ok = false;
  double seconds = 0;
  long maxRssKiB = 0;
};

ChildRun runChild(const std::vector<std::string>& argv) {
  ChildRun result;
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  auto start = Clock::now();
  pid_t pid = fork();
  if (pid < 0) return result;
  if (pid == 0) {
    int devNull = ::open("/dev/null", O_WRONLY);
    if (devNull >= 0) dup2(devNull, STDOUT_FILENO);
    execv(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  struct rusage usage;
  std::memset(&usage, 0, sizeof usage);
  if (wait4(pid, &status, 0, &usage) != pid) return result;
  result.seconds = secondsSince(start);
  result.maxRssKiB = usage.ru_maxrss;
  result.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return result;
}

double mbps(uint64_t bytes, double seconds) {
  return seconds > 0 ? static_cast<double>(bytes) / seconds / 1e6 : 0;
}

int measure(const std::string& program, const fs::path& path, int repeats) {
  std::vector<fs::path> files = filesUnder(path);
  std::vector<unsigned char> block(kBlock);
  uint64_t bytes = 0;
  NoOp none;
  // One untimed pass brings everything into the page cache.
  passOver(files, block.data(), &bytes, none, true);

  double bestRead = 1e30, bestScan = 1e30, bestHash = 1e30, bestChunk = 1e30;
  long peakRss = 0;
  uint64_t hits = 0;
  for (int r = 0; r < repeats; ++r) {
    bestRead = std::min(bestRead, passOver(files, block.data(), &bytes, none, true));
    GearScan scan;
    bestScan = std::min(bestScan, passOver(files, block.data(), &bytes, scan, false));
    hits = scan.hits;
    Blake3All hash;
    bestHash = std::min(bestHash, passOver(files, block.data(), &bytes, hash, false));
    ChildRun run = runChild({program, "chunk", path.string()});
    if (!run.ok) {
      std::fprintf(stderr, "%s chunk %s failed\n", program.c_str(), path.c_str());
      return 1;
    }
    bestChunk = std::min(bestChunk, run.seconds);
    peakRss = std::max(peakRss, run.maxRssKiB);
  }
  const double read = mbps(bytes, bestRead), scan = mbps(bytes, bestScan),
               hash = mbps(bytes, bestHash);
  const double combined = 1.0 / (1.0 / read + 1.0 / scan + 1.0 / hash);
  const double chunk = mbps(bytes, bestChunk);
  std::printf("%s: %zu file(s), %llu bytes, best of %d\n", path.c_str(), files.size(),
              static_cast<unsigned long long>(bytes), repeats);
  std::printf("  read 1 MiB blocks   %8.0f MB/s\n", read);
  std::printf("  gear scan           %8.0f MB/s   (%llu mask hits)\n", scan,
              static_cast<unsigned long long>(hits));
  std::printf("  BLAKE3              %8.0f MB/s\n", hash);
  std::printf("  combined limit      %8.0f MB/s\n", combined);
  std::printf("  chunk               %8.0f MB/s   %.0f%% of the combined limit (target >= 75%%)\n",
              chunk, 100.0 * chunk / combined);
  std::printf("  chunk peak RSS      %8.1f MiB\n", static_cast<double>(peakRss) / 1024.0);
  return 0;
}

// ---- the compression stage alone ----

struct ChunkAt {
  size_t file;
  uint64_t offset, size;
};

double processCpuSeconds() {
  struct timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

struct StageRun {
  bool ok = true;
  double seconds = 0, cpu = 0;
  uint64_t stored = 0;
};

// Every chunk read and compressed once, spread over threads workers that each
// keep one compressor and one pair of buffers, as push's workers do.
StageRun compressStage(const std::vector<fs::path>& files, const std::vector<ChunkAt>& chunks,
                       unsigned threads) {
  std::atomic<size_t> next{0};
  std::atomic<uint64_t> stored{0};
  std::atomic<bool> ok{true};
  auto worker = [&] {
    vorn::ChunkCompressor compressor(12);
    std::string in, out;
    uint64_t mine = 0;
    for (size_t i = next++; i < chunks.size(); i = next++) {
      const ChunkAt& c = chunks[i];
      if (!vorn::readFileRange(files[c.file], c.offset, c.size, &in)) {
        ok = false;
        break;
      }
      compressor.compress(in, &out);
      mine += std::min(out.size(), in.size());
    }
    stored += mine;
  };
  StageRun run;
  const double cpu0 = processCpuSeconds();
  auto start = Clock::now();
  std::vector<std::thread> pool;
  for (unsigned t = 1; t < threads; ++t) pool.emplace_back(worker);
  worker();
  for (std::thread& t : pool) t.join();
  run.seconds = secondsSince(start);
  run.cpu = processCpuSeconds() - cpu0;
  run.stored = stored;
  run.ok = ok;
  return run;
}

int compress(const fs::path& path, const std::string& threadList, int repeats) {
  std::vector<unsigned> counts;
  for (size_t at = 0; at < threadList.size();) {
    size_t comma = threadList.find(',', at);
    if (comma == std::string::npos) comma = threadList.size();
    int n = std::atoi(threadList.substr(at, comma - at).c_str());
    if (n < 1 || n > 256) {
      std::fprintf(stderr, "bad thread count in '%s'\n", threadList.c_str());
      return 2;
    }
    counts.push_back(static_cast<unsigned>(n));
    at = comma + 1;
  }
  if (counts.empty()) {
    std::fprintf(stderr, "no thread count given\n");
    return 2;
  }
  std::vector<fs::path> files = filesUnder(path);
  std::vector<ChunkAt> chunks;
  std::set<std::string> seen;
  uint64_t bytes = 0;
  vorn::ChunkBuffer buffer;
  for (size_t f = 0; f < files.size(); ++f) {
    std::string err;
    auto onChunk = [&](const vorn::Chunk& c) {
      if (seen.insert(c.id).second) {
        chunks.push_back({f, c.offset, c.size});
        bytes += c.size;
      }
    };
    if (!vorn::chunkFile(files[f].string(), vorn::defaultChunkParams(), onChunk, &err, &buffer)) {
      std::fprintf(stderr, "%s\n", err.c_str());
      return 1;
    }
  }
  std::printf("%s: %zu file(s), %zu distinct chunk(s), %llu bytes; zstd level 12, best of %d\n",
              path.c_str(), files.size(), chunks.size(), static_cast<unsigned long long>(bytes),
              repeats);
  double first = 0;
  for (unsigned threads : counts) {
    StageRun best;
    best.seconds = 1e30;
    for (int r = 0; r < repeats; ++r) {
      StageRun run = compressStage(files, chunks, threads);
      if (!run.ok) {
        std::fprintf(stderr, "cannot read a chunk back under %s\n", path.c_str());
        return 1;
      }
      if (run.seconds < best.seconds) best = run;
    }
    const double rate = mbps(bytes, best.seconds);
    if (first == 0) first = rate;
    // cpu / wall shows how many cores the run really had: on a shared
    // machine fewer than its threads, and then the ratio cannot scale.
    std::printf(
        "  %3u thread(s)   %8.1f s %8.1f MB/s   cpu %6.1f s (%.2f cores)   stored %5.1f%%   x%.2f "
        "of %u\n",
        threads, best.seconds, rate, best.cpu, best.seconds > 0 ? best.cpu / best.seconds : 0.0,
        bytes ? 100.0 * static_cast<double>(best.stored) / static_cast<double>(bytes) : 0.0,
        first > 0 ? rate / first : 0.0, counts[0]);
  }
  std::printf("  cores online: %u\n", std::thread::hardware_concurrency());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "gen" && argc == 4) return generate(argv[2], std::strtoull(argv[3], nullptr, 10));
  if (mode == "measure" && (argc == 4 || argc == 5)) {
    int repeats = argc == 5 ? std::atoi(argv[4]) : 3;
    return measure(argv[2], argv[3], repeats > 0 ? repeats : 1);
  }
  if (mode == "compress" && (argc == 4 || argc == 5)) {
    int repeats = argc == 5 ? std::atoi(argv[4]) : 1;
    return compress(argv[2], argv[3], repeats > 0 ? repeats : 1);
  }
  std::fprintf(stderr,
               "usage: bench_chunk gen <dir> <seed>\n"
               "       bench_chunk measure <corvane-vorn> <path> [repeats]\n"
               "       bench_chunk compress <path> <threads,...> [repeats]\n");
  return 2;
}
