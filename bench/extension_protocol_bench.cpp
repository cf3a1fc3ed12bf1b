// The badge path against its raw baseline: one hand-over of N "getFileIconId" lines through
// the request dispatch, against a loop of the same getxattr calls; and the round-trip latency
// of single requests over a real connection.
#include <benchmark/benchmark.h>
#include <sys/xattr.h>

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <vector>

#include "BenchSupport.h"
#include "LineClient.h"
#include "TempDir.h"
#include "core/ExtensionHelper.h"
#include "core/TCPServer.h"
#include "xattr/Xattr.h"

namespace {

using pellora::testing::LineClient;
using pellora::testing::TempDir;

std::vector<std::string> gFiles;
std::string gRequest;

void makeFiles(const TempDir& dir, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    const std::string path = dir.write("f/" + std::to_string(i) + ".bin");
    if (i % 2 == 0) platform::xattr::set(path, "is.zavro.stub", "ZAVRO", 5, 0, 0);
    gFiles.push_back(path);
    gRequest += nlohmann::json({{"command", "getFileIconId"}, {"value", path}}).dump() + "\r\n";
  }
}

void BM_RawGetxattrLoop(benchmark::State& state) {
  char buffer[256];
  for (auto _ : state) {
    size_t stubs = 0;
    for (const auto& f : gFiles) {
      if (::getxattr(f.c_str(), "user.is.zavro.stub", buffer, sizeof buffer) == 5) ++stubs;
    }
    benchmark::DoNotOptimize(stubs);
  }
}

void BM_HandOver(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(commandQueryText(gRequest));
}

class Responder : public ResponseHelperInterface {
 public:
  void analyzeInputAndGenerateOutput(const std::string& input, std::string& output) override {
    output = commandQueryText(input);
  }
  void notifyOnReady() override {}
  bool verifyZavroSocket(const std::string& first) override { return first == "{k}\n"; }
  std::string getFilterPaths() override { return ""; }
  std::string getIcon() override { return ""; }
};

// Returns false when a sample reached 40 ms.
bool measureLatency(size_t samples) {
  platform::log::Log log("com.zavro.Pellora", "Shell");
  Responder responder;
  std::unique_ptr<TCPServer> server;
  int port = 20000;
  for (; port < 20100; ++port) {
    server = std::make_unique<TCPServer>(port, responder, log);
    if (server->bindListener() == 0) break;
  }
  server->startTCPServer();
  LineClient client(port);
  client.send("{k}\n");
  client.readFrame();
  client.readFrame();
  std::vector<double> micros;
  const std::string request =
      nlohmann::json({{"command", "getFileIconId"}, {"value", gFiles.at(0)}}).dump() + "\r\n";
  for (size_t i = 0; i < samples; ++i) {
    const auto start = std::chrono::steady_clock::now();
    client.send(request);
    if (!client.readFrame()) return false;
    micros.push_back(std::chrono::duration<double, std::micro>(
                         std::chrono::steady_clock::now() - start).count());
  }
  std::sort(micros.begin(), micros.end());
  const double p50 = micros[micros.size() / 2];
  const double p99 = micros[micros.size() * 99 / 100];
  const double max = micros.back();
  std::printf("round trip of one getFileIconId over %zu samples: p50 %.1f us, p99 %.1f us, max %.1f us\n",
              samples, p50, p99, max);
  const bool ok = max < 40000.0;
  std::printf("no sample reached 40 ms: %s\n", ok ? "yes" : "NO");
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  const bool smoke = pellora::bench::smokeRun(argc, argv);
  TempDir dir;
  makeFiles(dir, smoke ? 200 : 10000);
  benchmark::RegisterBenchmark("raw getxattr loop", BM_RawGetxattrLoop);
  benchmark::RegisterBenchmark("getFileIconId hand-over", BM_HandOver);
  benchmark::Initialize(&argc, argv);
  pellora::bench::RecordingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double raw = reporter.nanosPerIteration["raw getxattr loop"];
  const double ours = reporter.nanosPerIteration["getFileIconId hand-over"];
  const double n = static_cast<double>(gFiles.size());
  std::printf("\nper line: raw getxattr %.0f ns, hand-over %.0f ns, ratio %.2fx\n", raw / n,
              ours / n, ours / raw);
  return measureLatency(smoke ? 200 : 5000) ? 0 : 1;
}
