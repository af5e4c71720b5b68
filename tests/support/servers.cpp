#include "support/servers.hpp"

#include <curl/curl.h>
#include <fcntl.h>
#include <json/reader.h>
#include <json/value.h>
#include <json/writer.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <thread>

namespace vorn_test {
namespace {

const std::string kTests = std::string(VORN_SOURCE_DIR) + "/tests/";

size_t appendBody(char* data, size_t size, size_t count, void* sink) {
  static_cast<std::string*>(sink)->append(data, size * count);
  return size * count;
}

// One control request to the proxy; its answer's body, or "" on failure.
std::string control(const std::string& url, const std::string* putBody) {
  std::string answer;
  CURL* curl = curl_easy_init();
  if (!curl) return answer;
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  if (putBody) {
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, "PUT");
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, putBody->c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(putBody->size()));
  }
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, appendBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 10L);
  long status = 0;
  if (curl_easy_perform(curl) != CURLE_OK ||
      curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK || status != 200)
    answer.clear();
  curl_easy_cleanup(curl);
  return answer;
}

Json::Value parsed(const std::string& text) {
  Json::Value doc;
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  reader->parse(text.data(), text.data() + text.size(), &doc, nullptr);
  return doc;
}

}  // namespace

NodeServer::NodeServer(const std::vector<std::string>& nodeOptions, const std::string& script,
                       const std::vector<std::string>& args, const std::string& outputPath) {
  std::vector<std::string> argv{"node"};
  argv.insert(argv.end(), nodeOptions.begin(), nodeOptions.end());
  argv.push_back(script);
  argv.insert(argv.end(), args.begin(), args.end());
  pid_ = fork();
  if (pid_ == 0) {
    const int fd = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 1);
    dup2(fd, 2);
    std::vector<char*> cargv;
    for (auto& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
    cargv.push_back(nullptr);
    execvp("node", cargv.data());
    _exit(127);
  }
  const std::regex ready("listening on 127\\.0\\.0\\.1:([0-9]+)");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (pid_ > 0 && std::chrono::steady_clock::now() < deadline) {
    std::smatch m;
    const std::string text = slurp(outputPath);
    if (std::regex_search(text, m, ready)) {
      port_ = std::stoi(m[1]);
      return;
    }
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      startError_ = script + " exited during start-up: " + text;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  startError_ = pid_ < 0 ? "fork failed" : script + " did not start within 30 s";
}

NodeServer::~NodeServer() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  for (int i = 0; i < 100; ++i) {
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
}

S3Server::S3Server() {
  std::filesystem::create_directories(dir_ / "data");
  // Without the legacy provider, Node 20 answers listings longer than a page with 500.
  server_ = std::make_unique<NodeServer>(
      std::vector<std::string>{"--openssl-legacy-provider"}, kTests + "s3/server.js",
      std::vector<std::string>{"--port", "0", "--dir", dir_ / "data", "--bucket", kBucket,
                               "--access-key", kAccessKey, "--secret", kSecret},
      dir_ / "server.log");
}

EnvChanges S3Server::env() const {
  return {{"VORN_S3_ENDPOINT", endpoint()},
          {"VORN_S3_REGION", std::string("us-east-1")},
          {"VORN_S3_BUCKET", std::string(kBucket)},
          {"VORN_S3_KEY", std::string(kAccessKey)},
          {"VORN_S3_SECRET", std::string(kSecret)}};
}

FaultProxy::FaultProxy(const S3Server& upstream) : upstream_(upstream) {
  const std::string port = upstream.endpoint().substr(upstream.endpoint().rfind(':') + 1);
  server_ = std::make_unique<NodeServer>(
      std::vector<std::string>{}, kTests + "faults/proxy.js",
      std::vector<std::string>{"--port", "0", "--upstream", port}, dir_ / "proxy.log");
}

EnvChanges FaultProxy::env() const {
  EnvChanges env = upstream_.env();
  env["VORN_S3_ENDPOINT"] = endpoint();
  return env;
}

bool FaultProxy::setRules(const std::vector<FaultRule>& rules) {
  Json::Value list(Json::arrayValue);
  for (const FaultRule& r : rules) {
    Json::Value& rule = list.append(Json::Value(Json::objectValue));
    rule["method"] = r.method;
    rule["path"] = r.path;
    rule["fault"] = r.kind;
    rule["skip"] = r.skip;
    rule["status"] = r.status;
    rule["delayMs"] = r.delayMs;
    if (r.times >= 0) rule["times"] = r.times;
    if (r.offset >= 0) rule["offset"] = Json::Int64(r.offset);
    if (!r.header.empty()) rule["header"] = r.header;
    if (!r.body.empty()) rule["body"] = r.body;
  }
  const std::string text = Json::writeString(Json::StreamWriterBuilder(), list);
  return !control(endpoint() + "/__proxy/rules", &text).empty();
}

std::string FaultProxy::stats() const { return control(endpoint() + "/__proxy/stats", nullptr); }

int FaultProxy::faults() const {
  int total = 0;
  const Json::Value doc = parsed(stats());
  for (const Json::Value& hits : doc["hits"]) total += hits.asInt();
  return total;
}

int FaultProxy::held() const { return parsed(stats())["held"].asInt(); }

std::string FaultProxy::requestLog() const {
  std::string lines;
  const Json::Value doc = parsed(stats());
  for (const Json::Value& line : doc["log"]) lines += line.asString() + "\n";
  return lines;
}

}  // namespace vorn_test
