#include "arg_scan.hpp"
#include "cli_common.hpp"
#include "command_result.hpp"
#include "commands.hpp"
#include "open_store.hpp"
#include "transfer_args.hpp"
#include "usage.hpp"

#include "storage/request_signing.hpp"
#include "storage/s3_config.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace vorn {
namespace {

int putObject(StorageProvider& store, const std::string& key, const std::string& file) {
  std::string bytes;
  if (!readFile(file, &bytes)) {
    std::fprintf(stderr, "cannot read %s\n", file.c_str());
    return 2;
  }
  std::string err;
  if (!store.put(key, bytes, &err)) {
    std::fprintf(stderr, "%s\n", err.c_str());
    return 1;
  }
  std::printf("put %s (%zu bytes)\n", key.c_str(), bytes.size());
  return 0;
}

int getObject(StorageProvider& store, const std::string& key, const std::string& file) {
  std::string bytes;
  std::string err;
  if (!store.get(key, &bytes, &err)) {
    std::fprintf(stderr, "%s\n", err.c_str());
    return 1;
  }
  if (!writeFile(file, bytes)) {
    std::fprintf(stderr, "cannot write %s\n", file.c_str());
    return 2;
  }
  std::printf("get %s -> %s (%zu bytes)\n", key.c_str(), file.c_str(), bytes.size());
  return 0;
}

int headObject(StorageProvider& store, const std::string& key) {
  std::string err;
  const HeadResult r = store.head(key, &err);
  if (r.status == 0) {
    std::fprintf(stderr, "%s\n", err.c_str());
    return 1;
  }
  // The sub-verbs scan no options: only VORN_JSON asks for the document.
  CommandResult out(jsonRequested(nullptr));
  out["key"] = key;
  out["exists"] = r.exists;
  out["status"] = r.status;
  out["size"] = r.size;
  out.text("head %s -> %s (status %d, size %lld)\n", key.c_str(), r.exists ? "EXISTS" : "MISSING",
           static_cast<int>(r.status), static_cast<long long>(r.size));
  return out.finish(r.exists ? 0 : 1);
}

int removeObject(StorageProvider& store, const std::string& key) {
  std::string err;
  if (!store.remove(key, &err)) {
    std::fprintf(stderr, "%s\n", err.c_str());
    return 1;
  }
  std::printf("removed %s\n", key.c_str());
  return 0;
}

}  // namespace

int storageCmd(int count, char** args) {
  if (count < 2) return printUsage();
  // The store is opened before the sub-verb is looked at, so a missing
  // configuration is reported even for an unknown sub-verb.
  TransferSettings transfer;
  if (!transferSettingsFrom(nullptr, &transfer)) return 2;
  int status = 0;
  std::unique_ptr<StorageProvider> store = openStore(transfer, &status);
  if (!store) return status;

  const std::string sub = args[1];
  if (sub == "put" && count >= 4) return putObject(*store, args[2], args[3]);
  if (sub == "get" && count >= 4) return getObject(*store, args[2], args[3]);
  if (sub == "head" && count >= 3) return headObject(*store, args[2]);
  if ((sub == "remove" || sub == "rm") && count >= 3) return removeObject(*store, args[2]);
  return printUsage();
}

int presignCmd(int count, char** args) {
  if (count < 2) return printUsage();
  const ScannedArgs scanned = scanArgs(count, args, {}, {"--ttl"}, 1);
  const int lifetime = std::atoi(scanned.value("--ttl", "300").c_str());
  if (scanned.positional.empty()) return printUsage();

  S3Config config;
  std::string err;
  if (!loadS3ConfigFromEnv(&config, &err)) {
    std::fprintf(stderr, "config: %s\n", err.c_str());
    return 2;
  }
  std::printf("%s\n", presignGet(config, scanned.positional[0], lifetime).c_str());
  return 0;
}

}  // namespace vorn
