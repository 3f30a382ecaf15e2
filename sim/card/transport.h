// The card's two transmission protocols over its I/O line (ISO/IEC 7816-3 clauses 10 and
// 11): the T=0 character protocol with procedure bytes, and the T=1 block protocol with
// chaining, time extensions and error recovery. Each turns what the reader writes into
// commands for the application and its answers into what the reader reads.
#pragma once

#include <cstdint>
#include <deque>

#include "card/application.h"
#include "iso7816/t1_block.h"

namespace sim {

// Faults a test can make the card commit; each counter is used up one event at a time.
struct CardFaults {
  unsigned mute_answers = 0;      // swallow the next answers (the reader times out)
  unsigned corrupt_answers = 0;   // T=1: send the next blocks with a wrong EDC
  unsigned wrong_sequence = 0;    // T=1: send the next I-blocks with the wrong N(S)
  std::uint8_t ifs_request = 0;   // T=1: ask for this IFSC with S(IFS request) before the next answer
  bool bad_procedure_byte = false;  // T=0: answer the next header with an invalid procedure byte
};

// What the reader did on the line that the card had to deal with: counted, never printed.
struct CardCounters {
  unsigned t0_headers = 0;          // T=0 command headers received
  unsigned t0_invalid_ins = 0;      // ... with an INS of 6X or 9X
  unsigned t1_blocks = 0;           // T=1 blocks received
  unsigned t1_invalid_blocks = 0;   // ... that were invalid (EDC, length, PCB, N(S), turn)
  unsigned t1_retransmissions = 0;  // blocks the card sent again when asked
  unsigned t1_resynchs = 0;
  unsigned t1_aborts = 0;
  unsigned t1_ifs_requests = 0;     // S(IFS request)s from the reader
  unsigned t1_wtx_requests = 0;     // S(WTX request)s the card sent
};

class T0Transport {
 public:
  T0Transport(CardApplication& app, const CardProfile& profile, CardFaults& faults, CardCounters& counters)
      : app_(app), profile_(profile), faults_(faults), counters_(counters) {}

  void Reset();
  void Write(iso7816::ByteView bytes);
  iso7816::Bytes Read();

 private:
  enum class Phase : std::uint8_t { kHeader, kData, kAnswering };

  void OnHeader();
  void OnData();
  void AskForData();
  void Finish(const iso7816::Apdu& apdu);
  void Run(const iso7816::Apdu& apdu, bool outgoing);
  void QueueNulls(unsigned count);
  bool SingleByteAck(std::size_t index) const;  // ~INS before data byte `index`

  CardApplication& app_;
  const CardProfile& profile_;
  CardFaults& faults_;
  CardCounters& counters_;
  Phase phase_ = Phase::kHeader;
  iso7816::Bytes header_;
  iso7816::Bytes data_;
  std::size_t expected_ = 0;
  bool ask_each_byte_ = false;  // the last procedure byte was ~INS
  std::deque<iso7816::Bytes> out_;  // chunks, one per Read
};

class T1Transport {
 public:
  T1Transport(CardApplication& app, const CardProfile& profile, CardFaults& faults, CardCounters& counters,
              std::uint8_t ifsc, iso7816::Edc edc)
      : app_(app),
        profile_(profile),
        faults_(faults),
        counters_(counters),
        initial_ifsc_(ifsc),
        ifsc_(ifsc),
        edc_(edc) {}

  void Reset();
  void Write(iso7816::ByteView bytes);
  iso7816::Bytes Read();

  // For tests.
  std::uint8_t Ifsd() const { return ifsd_; }
  std::uint8_t Ifsc() const { return ifsc_; }

 private:
  iso7816::Block OnBlock(const iso7816::Block& block);
  iso7816::Block OnIBlock(const iso7816::Block& block);
  iso7816::Block OnRBlock(const iso7816::Block& block);
  iso7816::Block OnSBlock(const iso7816::Block& block);
  iso7816::Block StartAnswer();
  iso7816::Block NextChunk();
  iso7816::Block ErrorBlock(iso7816::RCode code);
  iso7816::Block Again(const iso7816::Block& block);
  void ResetState();
  std::uint8_t ReplyNad() const;

  CardApplication& app_;
  const CardProfile& profile_;
  CardFaults& faults_;
  CardCounters& counters_;
  std::uint8_t initial_ifsc_;
  std::uint8_t ifsc_;
  iso7816::Edc edc_;
  std::uint8_t ifsd_ = iso7816::kT1DefaultIfs;
  std::uint8_t nad_ = 0;
  int ns_ = 0;  // N(S) of the card's next I-block
  int nr_ = 0;  // N(S) expected in the reader's next I-block
  iso7816::Bytes rx_;          // bytes written since the last read
  iso7816::Bytes command_;     // command APDU being received (chaining)
  iso7816::Bytes answer_;      // response APDU being sent
  std::size_t answer_sent_ = 0;
  std::size_t chunk_ = 0;      // size of the last I-block's INF
  bool sending_ = false;       // an answer is under way (chain or waiting for its ack)
  unsigned wtx_left_ = 0;      // time extensions still to ask before the answer
  bool awaiting_wtx_ = false;
  bool awaiting_ifs_ = false;
  std::optional<iso7816::Block> last_sent_;
  std::optional<iso7816::Block> last_i_block_;
};

}  // namespace sim
