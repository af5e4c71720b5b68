// The push verb: publish a build to a channel, then optionally register the
// channel with the family server.

#include "arg_scan.hpp"
#include "cli_common.hpp"
#include "command_result.hpp"
#include "commands.hpp"
#include "open_store.hpp"
#include "transfer_args.hpp"
#include "usage.hpp"

#include "engine/push.hpp"
#include "storage/http_client.hpp"
#include "util/utc_time.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace vorn {
namespace {

// Announces the channel with one empty POST. Registration is a courtesy: it
// only reports what happened and never changes the command's outcome. The
// "registration" member: the URL as given, the outcome ("registered",
// "already_registered" or "failed") and the HTTP status or the transfer error.
void registerChannel(const TransferSettings& transfer, const std::string& baseUrl,
                     const std::string& channel, const std::string& token, CommandResult& out) {
  HttpRequest request;
  request.url = baseUrl;
  if (!request.url.empty() && request.url.back() == '/') request.url.pop_back();
  request.url += "/api/channels/" + channel + "?engine=vorn";
  request.token = token;
  int32_t status = 0;
  std::string err;
  Json::Value& registration = out["registration"];
  registration["url"] = baseUrl;
  if (!httpPost(transfer, request, &status, &err)) {
    registration["outcome"] = "failed";
    registration["error"] = err;
    std::fprintf(stderr, "  register: %s (channel published, but not registered)\n", err.c_str());
    return;
  }
  registration["http_status"] = status;
  if (status / 100 == 2) {
    registration["outcome"] = "registered";
    out.text("  registered Vorn channel with %s\n", baseUrl.c_str());
  } else if (status == 409) {
    registration["outcome"] = "already_registered";
    out.text("  channel already registered at %s\n", baseUrl.c_str());
  } else {
    registration["outcome"] = "failed";
    std::fprintf(stderr, "  register -> HTTP %ld (channel published, but not registered)\n",
                 static_cast<long>(status));
  }
}

// The --level value (else VORN_LEVEL; neither: the default) into *level.
// False, with one line in *err, for anything but a whole number in range.
bool levelFrom(const ScannedArgs& args, int* level, std::string* err) {
  const std::string text = args.value("--level", envText("VORN_LEVEL"));
  if (text.empty()) return true;
  // Two digits hold every level; anything longer is out of range.
  int64_t value = -1;
  if (!parseWholeNumber(text, 2, &value) || value < kMinLevel || value > kMaxLevel) {
    const char* source = args.values.count("--level") ? "--level" : "VORN_LEVEL";
    *err = std::string(source) + ": compression level must be a whole number from " +
           std::to_string(kMinLevel) + " to " + std::to_string(kMaxLevel) + ", not '" + text + "'";
    return false;
  }
  *level = static_cast<int>(value);
  return true;
}

}  // namespace

int pushCmd(int count, char** args) {
  std::string signArg = envText("VORN_SIGN_KEY");
  std::string registerUrl = envText("VORN_REGISTER_URL");
  std::string registerToken = envText("VORN_REGISTER_TOKEN");
  ScannedArgs scanned = scanArgs(
      count, args, {"--force", "--keep-mode", "--keep-tree", "--json"},
      withTransferOptions({"--sign", "--register", "--register-token", "--expires", "--level"}), 2);
  PushRequest request;
  std::string err;
  if (!levelFrom(scanned, &request.level, &err)) {
    std::fprintf(stderr, "%s\n", err.c_str());
    return 2;
  }
  if (scanned.positional.size() < 2) return printUsage();
  signArg = scanned.value("--sign", signArg);
  registerUrl = scanned.value("--register", registerUrl);
  registerToken = scanned.value("--register-token", registerToken);
  request.source = scanned.positional[0];
  request.channel = scanned.positional[1];
  if (!signArg.empty()) request.signKey = keyTextFromArg(signArg);
  request.force = scanned.has("--force");
  request.keepMode = scanned.has("--keep-mode") || envSwitch("VORN_KEEP_MODE");
  request.keepTree = scanned.has("--keep-tree") || envSwitch("VORN_KEEP_TREE");
  // 0, negative or not a number: no expiry, as without the option.
  request.expiresIn =
      std::max(0, std::atoi(scanned.value("--expires", envText("VORN_EXPIRES")).c_str()));
  if (!transferSettingsFrom(&scanned, &request.transfer)) return 2;
  // Set by a team whose nightly gc runs in two phases; without it a chunk set
  // aside is uploaded again, which is just as safe.
  request.putBackSetAside = !envText("VORN_GC_GRACE").empty();

  int status = 0;
  std::unique_ptr<StorageProvider> store = openStore(request.transfer, &status);
  if (!store) return status;

  const std::string& channel = request.channel;
  PushStats stats;
  if (!pushChannel(*store, request, &stats, &err)) {
    std::fprintf(stderr, "push: %s\n", err.c_str());
    return 1;
  }
  CommandResult out(jsonRequested(&scanned));
  const double saved =
      savedPercent(static_cast<double>(stats.bytesIn), static_cast<double>(stats.bytesStored));
  const bool signedNow = !stats.unchanged && !request.signKey.empty();
  out["channel"] = channel;
  out["unchanged"] = stats.unchanged;
  out["renewed"] = stats.renewed;
  out["unique_chunks"] = stats.uniqueChunks;
  out["already_present"] = stats.alreadyPresent;
  out["uploaded"] = stats.uploaded;
  out["bytes_in"] = stats.bytesIn;
  out["bytes_stored"] = stats.bytesStored;
  out["saved_percent"] = percentValue(saved);
  out["build"] = stats.build;
  if (stats.expires != 0) {
    out["expires"] = stats.expires;
    out["expires_utc"] = utcText(stats.expires);
  }
  out["signed"] = signedNow;
  if (stats.renewed) {
    out.text("renewed '%s' (build %.16s) until %s: %zu chunk(s) checked, %zu re-uploaded\n",
             channel.c_str(), stats.build.c_str(), utcText(stats.expires).c_str(),
             stats.uniqueChunks, stats.uploaded);
    if (signedNow) out.text("  manifest signed (ed25519)\n");
  } else if (stats.unchanged) {
    out.text(
        "'%s' unchanged (build %.16s): nothing republished; %zu chunk(s) checked, %zu "
        "re-uploaded\n",
        channel.c_str(), stats.build.c_str(), stats.uniqueChunks, stats.uploaded);
  } else {
    out.text(
        "pushed '%s': %zu unique chunk(s): %zu already present, %zu uploaded (%lld bytes -> %lld "
        "stored, %.1f%% smaller)\n",
        channel.c_str(), stats.uniqueChunks, stats.alreadyPresent, stats.uploaded,
        static_cast<long long>(stats.bytesIn), static_cast<long long>(stats.bytesStored), saved);
    out.text("  build %s\n", stats.build.c_str());
    if (stats.expires != 0) out.text("  expires %s\n", utcText(stats.expires).c_str());
    if (signedNow) out.text("  manifest signed (ed25519)\n");
  }
  out.flush();
  if (!registerUrl.empty()) {
    registerChannel(request.transfer, registerUrl, channel, registerToken, out);
  }
  return out.finish(0);
}

}  // namespace vorn
