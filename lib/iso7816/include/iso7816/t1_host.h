// Host side of T=1 (ISO/IEC 7816-3 clause 11), in step form: begin with a command APDU,
// send NextBlock(), hand every block the card sends (or an empty one after the block
// waiting time) to OnBlock(), and repeat while it says kSend.
//
// What it does for the caller:
//  - IFSD: before the first command of a session it announces its IFSD with S(IFS request)
//    (when that differs from the default 32, or always if asked);
//  - chaining: commands longer than IFSC go in chained I-blocks, each acknowledged by the
//    card's R-block; chained answers are acknowledged with R-blocks and put together;
//  - S(WTX request): answered with S(WTX response), and Wtx() gives the multiplier of BWT
//    for the next wait; S(IFS request) from the card changes IFSC; S(ABORT request) from the
//    card is answered and ends the command with an error;
//  - errors: an invalid block (EDC, length, PCB, wrong N(S), out of turn) or no block
//    within BWT is answered with an R-block asking for the expected I-block (after an R-block
//    the R-block again, after an S request the request again); an R-block from the card
//    naming our last I-block's N(S) gets that block again; after max_retries
//    retransmissions in a row it sends S(RESYNCH request), which resets both sides and
//    restarts the command; after max_resynchs resynchronisations the command fails.
// After a failure the caller resets the card and calls Reset() before the next command.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "iso7816/bytes.h"
#include "iso7816/edc.h"
#include "iso7816/t1_block.h"

namespace iso7816 {

struct T1HostConfig {
  std::uint8_t ifsc = kT1DefaultIfs;  // from the card's answer to reset
  std::uint8_t ifsd = kT1MaxInf;      // what the host can receive
  Edc edc = Edc::kLrc;
  std::uint8_t nad = 0;
  bool always_send_ifs = false;       // S(IFS request) even when IFSD is the default
  bool skip_ifs = false;              // never send S(IFS request)
  unsigned max_retries = 2;           // retransmissions of one block before resynchronising
  unsigned max_resynchs = 3;
};

class T1HostEngine {
 public:
  enum class Status : std::uint8_t { kSend, kDone, kError };

  explicit T1HostEngine(T1HostConfig config);

  // A new session after an answer to reset or a change of parameters: N(S) 0 on both
  // sides, IFSC from the config, IFSD 32 until announced.
  void Reset();

  Status Begin(ByteView apdu);
  // Begins a command with S(RESYNCH request) instead of its first block, for a session in
  // doubt (a block sent whose answer never came, a command that failed): both sides start
  // again from N(S) 0 and the IFSD announcement, then the command goes out.
  Status BeginWithResynch(ByteView apdu);
  Status OnBlock(ByteView bytes);
  // Ends a chain under way with S(ABORT request).
  Status Abort();

  const Bytes& NextBlock() const { return encoded_; }
  const Block& NextBlockFields() const { return last_; }
  // BWT multiplier for the wait after NextBlock(): the card's S(WTX) value, else 0.
  std::uint8_t Wtx() const { return wtx_; }
  const Bytes& Response() const { return response_; }
  const std::string& Error() const { return error_; }

  std::uint8_t Ifsc() const { return ifsc_; }
  std::uint8_t Ifsd() const { return ifsd_; }
  int Ns() const { return ns_; }
  int Nr() const { return nr_; }
  unsigned Retransmissions() const { return retransmissions_; }
  unsigned Resynchs() const { return resynchs_total_; }
  unsigned WtxRequests() const { return wtx_requests_; }
  // Progress of the command under way: retransmissions of the current block, S(RESYNCH)
  // requests so far, command bytes the card has acknowledged, answer bytes put together,
  // and whether a chain is under way in either direction.
  unsigned Retries() const { return retries_; }
  unsigned CommandResynchs() const { return resynchs_; }
  std::size_t BytesSent() const { return sent_; }
  std::size_t BytesReceived() const { return received_.size(); }
  bool Chaining() const { return phase_ == Phase::kSendingChain || phase_ == Phase::kReceivingChain; }

 private:
  enum class Phase : std::uint8_t {
    kIdle, kIfs, kSendingChain, kAwaitAnswer, kReceivingChain, kResynch, kAbort, kAborted, kDone, kFailed,
  };

  Status Send(Block block);
  Status SendI();
  Status StartCommand();
  Status Fail(std::string reason);
  Status OnInvalid(RCode code, const char* what);
  Status Retransmit(Block block);
  Status Resynchronise();
  Status OnI(const Block& block);
  Status OnR(const Block& block);
  Status OnS(const Block& block);

  T1HostConfig config_;
  Phase phase_ = Phase::kIdle;
  std::uint8_t ifsc_;
  std::uint8_t ifsd_ = kT1DefaultIfs;
  bool ifsd_announced_ = false;
  int ns_ = 0;
  int nr_ = 0;
  Bytes command_;
  std::size_t sent_ = 0;
  std::size_t chunk_ = 0;
  Bytes received_;
  Block last_;
  Block last_i_;
  Bytes encoded_;
  std::uint8_t wtx_ = 0;
  unsigned retries_ = 0;
  unsigned resynchs_ = 0;
  unsigned retransmissions_ = 0;
  unsigned resynchs_total_ = 0;
  unsigned wtx_requests_ = 0;
  Bytes response_;
  std::string error_;
};

// Runs one command with `engine` against a card reached through `write(ByteView)` and
// `read() -> Bytes` (empty: nothing within the waiting time). `on_wtx(multiplier)` is told
// of each time extension. Returns the response APDU, or nothing with `error` set.
template <typename Write, typename Read, typename OnWtx>
std::optional<Bytes> RunT1Apdu(T1HostEngine& engine, ByteView apdu, Write&& write, Read&& read,
                               OnWtx&& on_wtx, std::string* error = nullptr) {
  T1HostEngine::Status status = engine.Begin(apdu);
  while (status == T1HostEngine::Status::kSend) {
    write(ByteView(engine.NextBlock()));
    if (engine.Wtx() != 0) on_wtx(engine.Wtx());
    status = engine.OnBlock(read());
  }
  if (status == T1HostEngine::Status::kError) {
    if (error != nullptr) *error = engine.Error();
    return std::nullopt;
  }
  return engine.Response();
}

}  // namespace iso7816
