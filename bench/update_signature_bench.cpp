// The signature check of an update archive against the raw baseline of hashing the same file
// with sha512sum in the same run. An Ed25519 check hashes the whole message once with SHA-512,
// so the check should cost little more than that pass (goal: at most 1.2x).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <fstream>
#include <random>

#include "BenchSupport.h"
#include "TempDir.h"
#include "process/Process.h"
#include "updater/Signature.h"

namespace {

using pellora::testing::TempDir;
using namespace platform::updater;

std::string gArchive;
std::string gSignature;
std::string gPublicKey;

void writeRandomFile(const std::string& path, size_t size) {
  std::mt19937_64 random(42);
  std::vector<uint64_t> block(1 << 16);
  std::ofstream out(path, std::ios::binary);
  for (size_t written = 0; written < size;) {
    for (auto& word : block) word = random();
    const size_t chunk = std::min(size - written, block.size() * sizeof(uint64_t));
    out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(chunk));
    written += chunk;
  }
}

void BM_Sha512sum(benchmark::State& state) {
  for (auto _ : state) {
    const auto result =
        platform::process::run({"sha512sum", gArchive}, {.captureOutput = true, .maxOutput = 4096});
    if (result.exitStatus != 0) state.SkipWithError("sha512sum failed");
    benchmark::DoNotOptimize(result.output.data());
  }
}

void BM_SignatureCheck(benchmark::State& state) {
  for (auto _ : state) {
    if (verifyFile(gArchive, gSignature, gPublicKey) != SignatureCheck::Valid) {
      state.SkipWithError("the signature check failed");
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const bool smoke = pellora::bench::smokeRun(argc, argv);
  const size_t mebibytes = smoke ? 1 : 50;
  TempDir dir;
  gArchive = dir / "archive.tar.gz";
  writeRandomFile(gArchive, mebibytes << 20);
  const KeyPair keys = generateKeyPair();
  gPublicKey = keys.publicKey;
  gSignature = signFile(gArchive, keys.privateKey).value_or("");

  benchmark::RegisterBenchmark("sha512sum", BM_Sha512sum)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("signature check", BM_SignatureCheck)->Unit(benchmark::kMillisecond);
  benchmark::Initialize(&argc, argv);
  pellora::bench::RecordingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double raw = reporter.nanosPerIteration["sha512sum"];
  const double ours = reporter.nanosPerIteration["signature check"];
  std::printf("\nsignature check of a %zu MiB archive: ratio %.2fx against sha512sum "
              "(goal: at most 1.2x)\n",
              mebibytes, ours / raw);
  return 0;
}
