// What one APDU costs, end to end and on the bare transport, side by side in one run.
//
// Each way of carrying an APDU (T=0 case 2, T=0 case 4 with its GET RESPONSE, T=1 with
// chaining, an APDU-level reader) runs twice:
//  - Driver/<way>: the application's SCardTransmit through the user-mode side, the
//    smart-card library stand-in, the driver, the hosted USB stack and the simulated
//    reader and card;
//  - Bare/<way>: the very CCID messages the driver sent for it, recorded from the reader,
//    written straight to a second simulated reader through the hosted USB stack by the
//    cheapest possible client (bare_host.h), with no driver and no library.
// The ratio Driver/Bare is what the driver and the library add; the run prints it at the
// end. Likewise a slot change delivered to a waiting tracking request against a bare
// interrupt-in transfer; and, alone, a whole plug-to-unplug session and `ccidsim run` of
// a 1,000-APDU script as a process.
//
// Everything runs on the hosted kernel's virtual clock: nothing waits in real time, so
// the times are the CPU's work and the hand-offs between threads. CPU times are the whole
// process's (all threads). BENCHMARKS.md has the numbers and what limits them.

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>
#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_START_INSTRUMENTATION
#define CALLGRIND_STOP_INSTRUMENTATION
#endif

#include <hosted/kernel/hosted.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bare_host.h"
#include "bench.h"
#include "card/card.h"
#include "reader/ccid_reader.h"
#include "scard.h"

namespace {

using ccid_bench::BareHost;
using ccid_test::Bytes;
using ccid_test::ReaderBench;

const Bytes kSelectApp = {0x00, 0xA4, 0x04, 0x00, 0x08, 0xF0, 0x43, 0x43, 0x49, 0x44, 0x53, 0x49, 0x4D};

Bytes UpdateBinary(std::uint8_t length) {
  Bytes apdu = {0x00, 0xD6, 0x82, 0x00, length};
  for (std::uint8_t i = 0; i < length; ++i) apdu.push_back(i);
  return apdu;
}

// One way of carrying an APDU: the reader and card, the protocol, and the APDUs one
// application operation sends (T=0 case 4 is the command and its GET RESPONSE).
struct Way {
  const char* name;
  const char* reader;
  const char* card;
  ULONG protocol;
  std::vector<Bytes> operation;
};

const Way kWays[] = {
    // READ BINARY of 32 bytes from the free file.
    {"T0Case2", "tpdu-basic", "t0", SCARD_PROTOCOL_T0, {{0x00, 0xB0, 0x82, 0x00, 0x20}}},
    // SELECT by name asking for the FCI: 61xx, then GET RESPONSE.
    {"T0Case4", "tpdu-basic", "t0", SCARD_PROTOCOL_T0,
     {{0x00, 0xA4, 0x04, 0x00, 0x08, 0xF0, 0x43, 0x43, 0x49, 0x44, 0x53, 0x49, 0x4D, 0x00},
      {0x00, 0xC0, 0x00, 0x00, 0x00}}},
    // UPDATE BINARY of 128 bytes: five chained I-blocks at IFSC 32.
    {"T1Chained", "tpdu-basic", "t1-ifsc32", SCARD_PROTOCOL_T1, {UpdateBinary(128)}},
    // READ BINARY of 32 bytes through a short-APDU-level reader.
    {"ApduLevel", "apdu-short", "t1-ifsc32", SCARD_PROTOCOL_T1, {{0x00, 0xB0, 0x82, 0x00, 0x20}}},
};

// Under `scripts/bench --instructions` callgrind counts what runs, in every thread, while
// a benchmark loop runs, as the timed loop measures it: not the set-up before it nor the
// teardown after it (the driver's stack ends with the protocol referee's pass over the
// whole session's trace, which grows with the iterations, and the bare stack has none).
// Outside valgrind these do nothing.
class CountedLoop {
 public:
  CountedLoop() { CALLGRIND_START_INSTRUMENTATION; }
  ~CountedLoop() { CALLGRIND_STOP_INSTRUMENTATION; }
  CountedLoop(const CountedLoop&) = delete;
  CountedLoop& operator=(const CountedLoop&) = delete;
};

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "bench: %s\n", what.c_str());
  std::exit(1);
}

// A bare stack records messages as the bench records them on the driver's stack (the
// bench's record of the test and of the session, and the bus's own for pcap), so that
// both sides carry the same tracing and differ by the driver and the library alone.
class BareTrace {
 public:
  void Attach(sim::CcidReader& reader, hosted::usb::BusDevice& bus) {
    reader.SetMessageObserver([this, forward = bus.MessageObserver()](const hosted::usb::MessageEvent& event) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        trace_.push_back(event);
        session_.push_back(event);
      }
      forward(event);
    });
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    trace_.clear();
  }

 private:
  std::mutex mutex_;
  std::vector<hosted::usb::MessageEvent> trace_;
  std::vector<hosted::usb::MessageEvent> session_;
};

// The driver's stack for one way, with the application connected, and a bare stack with
// the same reader and card that has replayed the driver's session up to the operation.
class WayStacks {
 public:
  explicit WayStacks(const Way& way) : way_(way), driver_(way.reader) {
    if (driver_.Plug() != STATUS_SUCCESS) Fail(std::string(way.name) + ": plug failed");
    driver_.InsertCard(way.card);
    driver_.WaitInterruptIdle();
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    app_ = scard::Reader::Open(driver_.Bus().Pdo(), &status);
    if (status != STATUS_SUCCESS) Fail(std::string(way.name) + ": open failed");
    if (app_->Connect(scard::Share::Exclusive, way.protocol) != STATUS_SUCCESS) Fail("connect failed");
    if (app_->Transmit(kSelectApp).status != STATUS_SUCCESS) Fail("select failed");
    RunOperation();  // the library's own first-transmit set-up happens here
    const std::vector<Bytes> prefix = driver_.Commands();
    driver_.ClearMessages();
    RunOperation();
    RunOperation();
    pair_ = driver_.Commands();
    driver_.ClearMessages();
    if (pair_.empty() || pair_.size() % 2 != 0) Fail(std::string(way.name) + ": odd recording");

    bareReader_ = sim::CcidReader::FromCatalogue(way.reader);
    bareBus_ = std::make_unique<hosted::usb::BusDevice>(*bareReader_);
    bareTrace_.Attach(*bareReader_, *bareBus_);
    bareReader_->InsertCard(sim::MakeCard(way.card));
    bare_ = std::make_unique<BareHost>(bareBus_->Pdo(), bareBus_->ConfigurationDescriptor());
    if (!bare_->Ready()) Fail(std::string(way.name) + ": bare configuration failed");
    for (const Bytes& command : prefix) {
      if (!Replay(command)) Fail(std::string(way.name) + ": bare replay of the set-up failed");
    }
  }

  bool RunOperation() {
    for (const Bytes& apdu : way_.operation) {
      const scard::Response response = app_->Transmit(apdu);
      if (response.status != STATUS_SUCCESS) return false;
    }
    return true;
  }

  // The recorded commands of one operation, alternating halves of the pair so that the
  // card's T=1 send-sequence bits follow what they were.
  bool ReplayOperation() {
    const std::size_t half = pair_.size() / 2;
    for (std::size_t i = 0; i < half; ++i) {
      if (!Replay(pair_[next_ * half + i])) return false;
    }
    next_ ^= 1;
    return true;
  }

  // Bounded traces: the bench and the bus keep what they saw.
  void Trim() {
    driver_.ClearMessages();
    driver_.Bus().ClearTransfers();
    bareBus_->ClearTransfers();
    bareTrace_.Clear();
  }

  std::size_t MessagesPerOperation() const { return pair_.size() / 2; }
  const Way& Of() const { return way_; }

  ~WayStacks() {
    bare_.reset();
    bareBus_.reset();
    bareReader_->SetMessageObserver(nullptr);
    bareReader_.reset();
    app_->Close();
  }

 private:
  bool Replay(const Bytes& command) {
    if (bare_->Write(command) != STATUS_SUCCESS) return false;
    ULONG length = 0;
    if (bare_->ReadAnswer(&length) != STATUS_SUCCESS || length < 10) return false;
    return (bare_->Answer()[7] & 0xC0) == 0;  // processed
  }

  const Way& way_;
  ReaderBench driver_;
  std::unique_ptr<scard::Reader> app_;
  std::vector<Bytes> pair_;
  std::size_t next_ = 0;
  std::unique_ptr<sim::CcidReader> bareReader_;
  std::unique_ptr<hosted::usb::BusDevice> bareBus_;
  std::unique_ptr<BareHost> bare_;
  BareTrace bareTrace_;
};

// One way's stacks at a time (a driver's unload checks the pool it leaves, which another
// loaded copy of it would confuse); Driver/<way> and Bare/<way> run one after the other.
std::unique_ptr<WayStacks>& CurrentStacks() {
  static auto* stacks = new std::unique_ptr<WayStacks>();
  return *stacks;
}

WayStacks& StacksFor(const Way& way) {
  std::unique_ptr<WayStacks>& current = CurrentStacks();
  if (!current || &current->Of() != &way) {
    current.reset();
    current = std::make_unique<WayStacks>(way);
  }
  return *current;
}

// Runs one way's operation per iteration: through the driver, or replayed on the bare
// transport. The stacks drop their records every 256 operations.
void RunWay(benchmark::State& state, const Way& way, bool (WayStacks::*operation)(), const char* failure) {
  WayStacks& stacks = StacksFor(way);
  std::size_t n = 0;
  {
    const CountedLoop counted;
    for (auto _ : state) {
      if (!(stacks.*operation)()) {
        state.SkipWithError(failure);
        break;
      }
      if ((++n & 255) == 0) stacks.Trim();
    }
  }
  state.counters["messages"] = static_cast<double>(stacks.MessagesPerOperation());
}

void DriverApdu(benchmark::State& state, const Way& way) {
  RunWay(state, way, &WayStacks::RunOperation, "transmit failed");
}

void BareApdu(benchmark::State& state, const Way& way) {
  RunWay(state, way, &WayStacks::ReplayOperation, "bare exchange failed");
}

// ---- slot change to a waiting tracking request ----------------------------------------

// The card the next slot change inserts (none when it removes one), made outside the
// timed part.
std::unique_ptr<sim::Icc> CardToInsert(benchmark::State& state, bool present) {
  if (present) return nullptr;
  state.PauseTiming();
  std::unique_ptr<sim::Icc> card = sim::MakeCard("t0");
  state.ResumeTiming();
  return card;
}

// The driver's stack with an application waiting for the card to come or go.
void DriverSlotChange(benchmark::State& state) {
  CurrentStacks().reset();
  ReaderBench bench("tpdu-basic");
  if (bench.Plug() != STATUS_SUCCESS) Fail("slot change: plug failed");
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  auto app = scard::Reader::Open(bench.Bus().Pdo(), &status);
  if (status != STATUS_SUCCESS) Fail("slot change: open failed");
  bool present = false;
  std::size_t n = 0;
  {
    const CountedLoop counted;
    for (auto _ : state) {
      std::unique_ptr<sim::Icc> card = CardToInsert(state, present);
      auto wait = app->WaitForCard(!present);
      if (present) {
        bench.Reader().RemoveCard();
      } else {
        bench.Reader().InsertCard(std::move(card));
      }
      if (!wait->Wait() || wait->Result().status != STATUS_SUCCESS) {
        state.SkipWithError("tracking request failed");
        break;
      }
      present = !present;
      if ((++n & 255) == 0) {
        bench.ClearMessages();
        bench.Bus().ClearTransfers();
      }
    }
  }
  bench.WaitInterruptIdle();
  app->Close();
}

// The same slot changes read by a bare interrupt-in transfer.
void BareSlotChange(benchmark::State& state) {
  auto reader = sim::CcidReader::FromCatalogue("tpdu-basic");
  hosted::usb::BusDevice bus(*reader);
  BareTrace trace;
  trace.Attach(*reader, bus);
  BareHost host(bus.Pdo(), bus.ConfigurationDescriptor());
  if (!host.Ready()) Fail("bare slot change: configuration failed");
  host.ReadInterrupt([] {});  // the slot state the reader sends after configuration
  bool present = false;
  std::size_t n = 0;
  {
    const CountedLoop counted;
    for (auto _ : state) {
      std::unique_ptr<sim::Icc> card = CardToInsert(state, present);
      const NTSTATUS status = host.ReadInterrupt([&] {
        if (present) {
          reader->RemoveCard();
        } else {
          reader->InsertCard(std::move(card));
        }
      });
      if (status != STATUS_SUCCESS) {
        state.SkipWithError("interrupt transfer failed");
        break;
      }
      present = !present;
      if ((++n & 255) == 0) {
        bus.ClearTransfers();
        trace.Clear();
      }
    }
  }
  reader->SetMessageObserver(nullptr);
}

// ---- a whole session ------------------------------------------------------------------

// Driver loaded, reader plugged and started, card inserted, application connected, one
// APDU, disconnect, close, reader unplugged and removed, driver unloaded.
void PlugToUnplug(benchmark::State& state) {
  CurrentStacks().reset();
  for (auto _ : state) {
    ReaderBench bench("tpdu-basic");
    if (bench.Plug() != STATUS_SUCCESS) {
      state.SkipWithError("plug failed");
      break;
    }
    bench.InsertCard("t0");
    bench.WaitInterruptIdle();
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    auto app = scard::Reader::Open(bench.Bus().Pdo(), &status);
    if (status != STATUS_SUCCESS || app->Connect(scard::Share::Exclusive, SCARD_PROTOCOL_T0) != STATUS_SUCCESS ||
        app->Transmit(kSelectApp).status != STATUS_SUCCESS) {
      state.SkipWithError("session failed");
      break;
    }
    app->Disconnect(scard::Disposition::Unpower);
    app->Close();
    bench.Reader().Unplug();
    if (!ccid_test::WaitUntil([&] { return bench.Node().State() == hosted::PnpState::Deleted; })) {
      state.SkipWithError("removal did not come");
      break;
    }
  }
}

// ---- ccidsim run of a 1,000-APDU script, as a whole process ---------------------------

// Writes the script once: a TPDU reader with a T=0 card, the protocol chosen, then 1,000
// GET CHALLENGE commands each checked against its pattern.
std::string ThousandApduScript() {
  const std::string path = "/tmp/ccid_bench_1000_apdus." + std::to_string(getpid()) + ".script";
  std::FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) Fail("cannot write " + path);
  std::fprintf(file, "reader tpdu-basic\ncard t0\nprotocol T0\n");
  for (int i = 0; i < 1000; ++i) std::fprintf(file, "00 84 00 00 08 => XX XX XX XX XX XX XX XX 90 00\n");
  std::fclose(file);
  return path;
}

// Each iteration starts `ccidsim run` on the script and waits for it; the counter
// child_cpu_ms is the CPU the process used (user and system).
void CcidsimRun(benchmark::State& state) {
  CurrentStacks().reset();
  const std::string script = ThousandApduScript();
  const std::string command = std::string(CCID_BENCH_CCIDSIM) + " run " + script + " >/dev/null";
  double childCpu = 0;
  for (auto _ : state) {
    rusage before{};
    getrusage(RUSAGE_CHILDREN, &before);
    const int status = std::system(command.c_str());
    rusage after{};
    getrusage(RUSAGE_CHILDREN, &after);
    if (status != 0) {
      state.SkipWithError("ccidsim run failed");
      break;
    }
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    childCpu += seconds(after.ru_utime) - seconds(before.ru_utime) + seconds(after.ru_stime) - seconds(before.ru_stime);
  }
  std::remove(script.c_str());
  state.counters["child_cpu_ms"] =
      benchmark::Counter(childCpu * 1000.0, benchmark::Counter::kAvgIterations);
}

// Prints the Driver/Bare ratio of each pair after the usual console report.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  using ConsoleReporter::ConsoleReporter;
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
      std::string name = run.benchmark_name();
      name = name.substr(0, name.find('/', name.find('/') + 1));  // "Driver/T0Case2"
      // With repetitions, the fastest: what the work costs with the least interference.
      const Times now{run.GetAdjustedCPUTime(), run.GetAdjustedRealTime()};
      const auto [entry, fresh] = times_.emplace(name, now);
      if (!fresh) entry->second = {std::min(entry->second.cpu, now.cpu), std::min(entry->second.real, now.real)};
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\nDriver and library against the bare transport, per operation (CPU of all threads; real;\n"
                "fastest repetition):\n");
    for (const auto& [name, driver] : times_) {
      if (name.rfind("Driver/", 0) != 0) continue;
      const auto bare = times_.find("Bare/" + name.substr(7));
      if (bare == times_.end() || bare->second.cpu <= 0 || bare->second.real <= 0) continue;
      std::printf("  %-12s CPU %8.1f us / %8.1f us = %.2fx   real %8.1f us / %8.1f us = %.2fx\n",
                  name.substr(7).c_str(), driver.cpu, bare->second.cpu,
                  driver.cpu / bare->second.cpu, driver.real, bare->second.real,
                  driver.real / bare->second.real);
    }
  }

 private:
  struct Times {
    double cpu;
    double real;
  };
  std::map<std::string, Times> times_;
};

}  // namespace

int main(int argc, char** argv) {
  hosted::Clock::SetVirtual(hosted::Clock::TimeAdvance::Automatic);
  hosted::Scheduler::NameCurrentThread("benchmark thread");
  // A verifier violation or a bench failure ends the run: the numbers would mean nothing.
  hosted::Verifier::SetHandler([](const hosted::Violation& violation) {
    std::fprintf(stderr, "bench: %s\n", violation.ToString().c_str());
    std::abort();
  });
  ccid_test::SetBenchFailureHandler([](const std::string& message) {
    std::fprintf(stderr, "bench: %s\n", message.c_str());
    std::abort();
  });
  // CCID_BENCH_ITERATIONS=n runs every benchmark exactly n times: two runs under callgrind
  // with different counts give the instructions of one operation by difference
  // (scripts/bench --instructions).
  const char* fixed = std::getenv("CCID_BENCH_ITERATIONS");
  const auto shape = [fixed](benchmark::internal::Benchmark* b, benchmark::TimeUnit unit, bool processCpu) {
    b->Unit(unit)->UseRealTime();
    if (processCpu) b->MeasureProcessCPUTime();
    if (fixed != nullptr) b->Iterations(std::atoll(fixed));
  };
  for (const Way& way : kWays) {
    shape(benchmark::RegisterBenchmark((std::string("Driver/") + way.name).c_str(), DriverApdu, way),
          benchmark::kMicrosecond, true);
    shape(benchmark::RegisterBenchmark((std::string("Bare/") + way.name).c_str(), BareApdu, way),
          benchmark::kMicrosecond, true);
  }
  shape(benchmark::RegisterBenchmark("Driver/SlotChange", DriverSlotChange), benchmark::kMicrosecond, true);
  shape(benchmark::RegisterBenchmark("Bare/SlotChange", BareSlotChange), benchmark::kMicrosecond, true);
  shape(benchmark::RegisterBenchmark("Session/PlugToUnplug", PlugToUnplug), benchmark::kMicrosecond, true);
  shape(benchmark::RegisterBenchmark("Session/CcidsimRun1000Apdus", CcidsimRun), benchmark::kMillisecond, false);

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter(isatty(STDOUT_FILENO) ? benchmark::ConsoleReporter::OO_ColorTabular
                                                : benchmark::ConsoleReporter::OO_Tabular);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  CurrentStacks().reset();
  return 0;
}
