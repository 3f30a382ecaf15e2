// A hostile reader under the real driver: an application session (start, connect, power,
// transmit, set protocol, PIN, escape, raw transfer, event reads, card changes, sleep and
// wake, abort, surprise removal) on a simulated reader whose bulk-in and interrupt-in
// messages a script rewrites (scripted_reader.h). Whatever the reader sends, every request must come back
// and the kernel's checks (guard bytes, leaks, completions, deadlocks) must stay quiet.
//
// Input: byte 0 = the bench (profile, card, completion mode: driver_session.h); byte 1 % 24
// = number of operation bytes that follow (driver_session.h); the rest is the reader's
// script.
// `--write-seeds=DIR` writes the seed corpus.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "driver_session.h"
#include "scripted_reader.h"

namespace {

using ccid_fuzz::Bytes;
using ccid_fuzz::Op;

constexpr std::size_t kMaxOperations = 24;

void RunInput(std::span<const std::uint8_t> input) {
  if (input.size() < 2) return;
  const std::size_t count = std::min<std::size_t>(input[1] % kMaxOperations, input.size() - 2);
  const std::span<const std::uint8_t> operations = input.subspan(2, count);
  const std::span<const std::uint8_t> script = input.subspan(2 + count);
  ccid_fuzz::InputSession session;
  ccid_test::BenchOptions options = ccid_fuzz::OptionsFor(input[0]);
  options.front = [script](sim::CcidReader& reader) {
    return std::make_unique<ccid_fuzz::ScriptedReader>(reader, script);
  };
  ccid_test::ReaderBench bench(options);
  ccid_fuzz::PlaySession(bench, ccid_fuzz::CardFor(input[0]), operations);
  bench.Finish();
}

Bytes Seed(std::uint8_t profile, std::uint8_t card, const Bytes& operations, const Bytes& script = {}) {
  Bytes seed{static_cast<std::uint8_t>(profile | card << 4), static_cast<std::uint8_t>(operations.size())};
  seed.insert(seed.end(), operations.begin(), operations.end());
  seed.insert(seed.end(), script.begin(), script.end());
  return seed;
}

void WriteSeeds(const std::filesystem::path& directory) {
  using namespace ccid_fuzz;
  // Profiles (ProfileFor): 0 tpdu-basic, 1 apdu-short, 2 apdu-extended, 3 pinpad-lcd,
  // 4 pinpad-tpdu, 5 multi-slot, 6 t1-only, 7 small-messages, 8 composite, 9 wakeup,
  // 10 pinpad-verify-modify, 11 five-volt-only. Cards (CardFor): 0 t0, 1 t1-ifsc32,
  // 2 t1-crc, 3 t1-ifsc254, 4 t0-bytewise, 5 none.
  const std::uint8_t connect = Op(kConnect);
  const struct {
    const char* name;
    std::uint8_t profile, card;
    Bytes operations;
  } sessions[] = {
      {"start-only", 0, 0, {}},
      {"transmit-t0-tpdu", 0, 0, {connect, Op(kTransmit, 0), Op(kTransmit, 1), Op(kTransmit, 2)}},
      {"transmit-t1-tpdu", 0, 1, {connect, Op(kTransmit, 0), Op(kTransmit, 4), Op(kTransmit, 5)}},
      {"transmit-t1-crc", 0, 2, {connect, Op(kTransmit, 2), Op(kTransmit, 4)}},
      {"transmit-short-apdu", 1, 0, {connect, Op(kTransmit, 4), Op(kTransmit, 5)}},
      {"transmit-extended-apdu", 2, 3, {connect, Op(kTransmit, 6), Op(kTransmit, 7 | 8)}},
      {"transmit-small-messages", 7, 1, {connect, Op(kTransmit, 4), Op(kTransmit, 5)}},
      {"transmit-composite", 8, 0, {connect, Op(kTransmit, 1), Op(kTransmit, 5)}},
      {"transmit-t1-only", 6, 1, {connect, Op(kTransmit, 0)}},
      {"power-cycle", 0, 0, {Op(kConnect, 8), Op(kPower, 0), Op(kPower, 1), Op(kPower, 2), Op(kStatus)}},
      {"set-protocol", 0, 1, {Op(kConnect, 8), Op(kPower, 0), Op(kSetProtocol, 2), Op(kTransmit, 0)}},
      {"verify-pin", 3, 0, {connect, Op(kVerifyPin, 0), Op(kVerifyPin, 1)}},
      {"verify-pin-tpdu", 4, 0, {connect, Op(kVerifyPin, 0)}},
      {"modify-pin", 3, 0, {connect, Op(kModifyPin, 3), Op(kModifyPin, 1)}},
      {"escape", 3, 0, {Op(kEscape, 0), Op(kEscape, 1)}},
      {"raw-transfer", 0, 0, {Op(kRawTransfer, 0), Op(kRawTransfer, 1), Op(kRawTransfer, 2)}},
      {"read-event", 0, 0, {Op(kReadEvent, 2), Op(kReadEvent, 0)}},
      {"card-toggle", 0, 0, {connect, Op(kCardToggle), Op(kCardToggle), connect, Op(kTransmit, 0)}},
      {"unplug", 0, 0, {connect, Op(kReadEvent, 0), Op(kCardToggle, 8), Op(kTransmit, 0), Op(kReadEvent, 0)}},
      {"sleep-wake", 0, 0, {connect, Op(kSleepWake, 0), Op(kTransmit, 0), Op(kSleepWake, 3)}},
      {"abort", 0, 0, {connect, Op(kAbort), Op(kTransmit, 0)}},
      {"wait-for-card", 0, 0, {Op(kWaitForCard, 0), Op(kWaitForCard, 2), Op(kWaitForCard, 3)}},
      {"class-requests", 0, 0, {Op(kClassRequests, 0), Op(kClassRequests, 1), Op(kClassRequests, 2)}},
      {"reconnect", 0, 1, {connect, Op(kReconnect, 1), Op(kTransmit, 0), Op(kReconnect, 8 | 2)}},
      {"multi-slot", 5, 0, {connect, Op(kTransmit, 0), Op(kReadEvent, 2)}},
      {"wake-by-card", 9, 0, {connect, Op(kSleepWake, 2), Op(kTransmit, 0), Op(kWaitForCard, 2)}},
      {"verify-modify", 10, 0, {connect, Op(kVerifyPin, 0), Op(kModifyPin, 3), Op(kEscape, 1)}},
  };
  for (const auto& s : sessions) WriteSeed(directory, s.name, Seed(s.profile, s.card, s.operations));

  // The same sessions with the reader's answers rewritten early on: pass a few answers,
  // then one fault of each kind.
  const Bytes transmit = {connect, Op(kTransmit, 0), Op(kTransmit, 4), Op(kTransmit, 1)};
  const struct {
    const char* name;
    Bytes script;
  } faults[] = {
      {"answer-bseq", {0, 0, 0, 0, 1 | 6 << 3, 0x33}},
      {"answer-bstatus", {0, 0, 0, 0, 0, 1 | 7 << 3, 0x41}},
      {"answer-berror", {0, 0, 0, 0, 0, 1 | 8 << 3, 0xFE}},
      {"answer-chain", {0, 0, 0, 0, 0, 1 | 9 << 3, 0x01}},
      {"answer-dwlength", {0, 0, 0, 0, 0, 2, 0x10}},
      {"answer-payload-cut", {0, 0, 0, 0, 0, 3, 0x01}},
      {"answer-replaced", {0, 0, 0, 0, 4, 12, 0x80, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0x90, 0x00}},
      {"answer-dropped", {0, 0, 0, 0, 0, 5}},
      {"answer-time-extension", {0, 0, 0, 0, 0, 6, 0x05}},
      {"answer-stale", {0, 0, 0, 0, 0, 6 | 1 << 3}},
      {"answer-packet-cut", {0, 0, 0, 0, 0, 7, 5}},
      {"answer-no-zlp", {0, 0, 0, 0, 0, 7 | 1 << 3}},
      {"answer-zlp-first", {0, 0, 0, 0, 0, 7 | 2 << 3}},
      {"answer-stall", {0, 0, 0, 0, 0, 7 | 3 << 3}},
  };
  for (const auto& f : faults) WriteSeed(directory, f.name, Seed(0, 1, transmit, f.script));
  // A T=1 card on a TPDU reader: its answers are the power-on answer (message 2, after the
  // start's slot status and slot change), the parameters, the S(IFS) response and the
  // answer to the first command. The power-on answer replaced by other cards' ATRs, and
  // the first answer by other T=1 blocks, reach the smart-card library stand-in through
  // the driver.
  const auto replaced = [](std::size_t passed, std::uint8_t type, std::uint8_t seq, const Bytes& payload) {
    Bytes script(passed, 0);
    Bytes message{type, static_cast<std::uint8_t>(payload.size()), 0, 0, 0, 0, seq, 0, 0, 0};
    message.insert(message.end(), payload.begin(), payload.end());
    script.push_back(4);
    script.push_back(static_cast<std::uint8_t>(message.size()));
    script.insert(script.end(), message.begin(), message.end());
    return script;
  };
  const struct {
    const char* name;
    Bytes atr;
  } atrs[] = {
      {"atr-t0-t1-t15", {0x3B, 0xDB, 0x18, 0x00, 0x80, 0xB1, 0xFE, 0x45, 0x1F, 0x83, 0x00, 0x31, 0xC0, 0x64, 0xC7,
                         0xFC, 0x10, 0x00, 0x01, 0x90, 0x00, 0xFA}},
      {"atr-t1-bad-tck", {0x3B, 0x9F, 0x97, 0x81, 0x31, 0xFE, 0x45, 0x80, 0x65, 0x54, 0x43, 0x12, 0x21, 0x08, 0x31,
                          0xC0, 0x73, 0xF6, 0x21, 0x80, 0x81, 0x05}},
      {"atr-t0-short", {0x3B, 0x23, 0x00, 0x35, 0x13, 0xFF}},
      {"atr-t15-only", {0x3B, 0x81, 0x1F, 0x00, 0xCC, 0x52}},
      {"atr-truncated", {0x3B, 0x6D, 0x00, 0x00}},
      {"atr-inverse", {0x3F, 0x96, 0x18, 0x80, 0x01, 0x80, 0x51, 0x00, 0x61, 0x10, 0x30, 0x9F, 0x00, 0x61, 0x10, 0x30}},
  };
  const Bytes t1Session = {connect, Op(kTransmit, 0), Op(kTransmit, 4)};
  for (const auto& a : atrs) WriteSeed(directory, a.name, Seed(0, 1, t1Session, replaced(2, 0x80, 1, a.atr)));
  const struct {
    const char* name;
    Bytes block;
  } blocks[] = {
      {"t1-i-block-chained", {0x00, 0x20, 0x02, 0x90, 0x00, 0xB2}},
      {"t1-s-wtx", {0x00, 0xC3, 0x01, 0x05, 0xC7}},
      {"t1-s-ifs", {0x00, 0xC1, 0x01, 0x10, 0xD0}},
      {"t1-r-block-error", {0x00, 0x82, 0x00, 0x82}},
      {"t1-bad-lrc", {0x00, 0x00, 0x02, 0x90, 0x00, 0x00}},
      {"t1-abort", {0x00, 0xC2, 0x00, 0xC2}},
  };
  for (const auto& b : blocks) WriteSeed(directory, b.name, Seed(0, 1, t1Session, replaced(5, 0x80, 4, b.block)));
  // The USB stack completing at once what it can (bit 7 of the first byte).
  WriteSeed(directory, "synchronous-transmit", Seed(0x80, 1, transmit, {0, 0, 0, 0, 0, 7, 7}));
  WriteSeed(directory, "synchronous-sleep-wake", Seed(0x80, 0, {connect, Op(kSleepWake, 2), Op(kTransmit, 1)}));
  WriteSeed(directory, "interrupt-replaced", Seed(0, 0, {Op(kReadEvent, 2)}, {2, 2, 0x50, 0x03}));
  WriteSeed(directory, "interrupt-injected", Seed(0, 0, {Op(kWaitForCard, 1)}, {0, 5 | 1 << 3, 4, 0x51, 0, 0x01, 0}));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  return ccid_fuzz::InitializeDriverFuzzer(argc, argv, WriteSeeds);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  RunInput({data, size});
  return 0;
}
