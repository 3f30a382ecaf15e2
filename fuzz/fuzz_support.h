// What the fuzzers that run the driver share: one hosted kernel per process on virtual
// time, whose verifier ends the run at the first violation (a guard byte overwritten, a
// leak, a double completion, a deadlock ... is a finding), and per input a session that
// checks at its end that the input left nothing behind. The bench's own reports (a
// protocol rule a hostile reader made the driver break, a pipe that did not settle) are
// no findings: a hostile reader may well cause them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <hosted/kernel/kernel_state.h>
#include <hosted/kernel/registry.h>

namespace ccid_fuzz {

using Bytes = std::vector<std::uint8_t>;

// Sets the kernel up once (virtual clock, verifier handler that aborts, quiet bench).
void InitKernel();

// The kernel state before one input; the destructor checks the guard bytes, reports what
// the input leaked (a violation: the run aborts) and puts the registry back, so that each
// input starts from the same machine.
class InputSession {
 public:
  InputSession();
  ~InputSession();
  InputSession(const InputSession&) = delete;
  InputSession& operator=(const InputSession&) = delete;

 private:
  hosted::KernelSnapshot snapshot_;
  hosted::RegistrySnapshot registry_;
};

// Bytes of an input, read front to back; past the end, nothing.
class ByteStream {
 public:
  ByteStream() = default;
  explicit ByteStream(std::span<const std::uint8_t> bytes) : bytes_(bytes.begin(), bytes.end()) {}
  std::optional<std::uint8_t> Next() {
    if (at_ >= bytes_.size()) return std::nullopt;
    return bytes_[at_++];
  }
  std::uint8_t NextOr(std::uint8_t fallback) { return Next().value_or(fallback); }
  Bytes Take(std::size_t count);
  bool Done() const { return at_ >= bytes_.size(); }
  std::size_t Position() const { return at_; }

 private:
  Bytes bytes_;
  std::size_t at_ = 0;
};

// `--write-seeds=DIR` among the arguments: writes each seed as DIR/<name> and returns
// true (the fuzzer then exits).
bool WriteSeedsRequested(int argc, char** argv, std::filesystem::path* directory);

// LLVMFuzzerInitialize of a fuzzer that runs the driver: with `--write-seeds=DIR`,
// writeSeeds(DIR) and exit; otherwise the kernel set up once for the process.
int InitializeDriverFuzzer(int* argc, char*** argv, void (*writeSeeds)(const std::filesystem::path& directory));
void WriteSeed(const std::filesystem::path& directory, const std::string& name, const Bytes& bytes);

}  // namespace ccid_fuzz
