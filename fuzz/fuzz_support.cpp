#include "fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string_view>

#include <hosted/kernel/hosted.h>

#include "bench.h"

namespace ccid_fuzz {

void InitKernel() {
  static const bool done = [] {
    hosted::Scheduler::NameCurrentThread("fuzzer");
    hosted::Clock::SetVirtual(hosted::Clock::TimeAdvance::Automatic);
    hosted::DebugOutput::SetEcho(false);
    hosted::Verifier::SetHandler([](const hosted::Violation& violation) {
      std::fprintf(stderr, "%s\n", violation.ToString().c_str());
      std::fflush(stderr);
      std::abort();
    });
    ccid_test::SetBenchFailureHandler([](const std::string&) {});
    return true;
  }();
  (void)done;
}

InputSession::InputSession() : snapshot_(hosted::TakeSnapshot()), registry_(hosted::Registry::Snapshot()) {
  // Virtual time starts afresh for each input, as for each test: the scheduler's live-lock
  // check counts from here, and the inputs of a long run together pass a day of it.
  hosted::Clock::SetVirtual(hosted::Clock::TimeAdvance::Automatic);
  hosted::DebugOutput::Clear();
}

InputSession::~InputSession() {
  hosted::CheckNoSpinLocksHeld("after the input");
  hosted::ResetCurrentThread("after the input");
  hosted::CheckForLeaks(snapshot_, "after the input");
  hosted::Registry::Restore(registry_);
  hosted::DebugOutput::Clear();
}

Bytes ByteStream::Take(std::size_t count) {
  Bytes out;
  while (count-- > 0 && at_ < bytes_.size()) out.push_back(bytes_[at_++]);
  return out;
}

bool WriteSeedsRequested(int argc, char** argv, std::filesystem::path* directory) {
  constexpr std::string_view kFlag = "--write-seeds=";
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg.substr(0, kFlag.size()) == kFlag) {
      *directory = std::filesystem::path(arg.substr(kFlag.size()));
      std::filesystem::create_directories(*directory);
      return true;
    }
  }
  return false;
}

int InitializeDriverFuzzer(int* argc, char*** argv, void (*writeSeeds)(const std::filesystem::path& directory)) {
  std::filesystem::path seeds;
  if (WriteSeedsRequested(*argc, *argv, &seeds)) {
    writeSeeds(seeds);
    std::exit(0);
  }
  InitKernel();
  return 0;
}

void WriteSeed(const std::filesystem::path& directory, const std::string& name, const Bytes& bytes) {
  std::ofstream out(directory / name, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace ccid_fuzz
