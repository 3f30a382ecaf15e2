// Host side of T=0 (ISO/IEC 7816-3 clauses 10 and 12.2), in step form.
//
// T0TpduExchange runs one TPDU over the card's I/O line: it says what to write, takes
// what the card sent (in any chunking) and follows the procedure bytes: INS (send all
// remaining data / receive all remaining data), ~INS (one byte), NULL 0x60 (the card is
// still working), SW1 SW2 (done). A 5-byte TPDU expects P3 bytes from the card (0 meaning
// 256); a longer one sends its P3 data bytes.
//
// T0ApduEngine maps a command APDU of any case onto TPDUs: case 1 and 3 as they are,
// case 2 with P3 = Le and a re-issue with the right length on 6Cxx, case 4 as case 3 then
// GET RESPONSE while the card answers 61xx; a command that needs extended lengths (Nc over
// 255 or Ne over 256) goes whole in ENVELOPE commands and its answer by GET RESPONSE.
// It works over any TPDU transport: a T0TpduExchange on the card's line, or a reader at
// TPDU level.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>

#include "iso7816/apdu.h"
#include "iso7816/bytes.h"

namespace iso7816 {

struct T0Step {
  enum class Kind : std::uint8_t {
    kWrite,  // write `bytes` to the card, then read
    kRead,   // read more from the card
    kDone,   // Response() holds data + SW1 SW2
    kError,  // Error() says why
  };
  Kind kind = Kind::kError;
  Bytes bytes;
};

class T0TpduExchange {
 public:
  explicit T0TpduExchange(ByteView tpdu);

  T0Step Begin();
  // Feed what the card sent. An empty chunk means the card sent nothing in the waiting
  // time: the exchange fails.
  T0Step OnCardBytes(ByteView bytes);

  const Bytes& Response() const { return response_; }
  const std::string& Error() const { return error_; }
  // NULL procedure bytes seen: each one restarts the waiting time.
  unsigned NullCount() const { return nulls_; }

 private:
  enum class Phase : std::uint8_t { kProcedure, kSw2, kReceiving, kDone, kFailed };

  T0Step Fail(std::string reason);
  ByteView DataToSend() const;

  Bytes tpdu_;
  bool outgoing_ = true;       // data flows from the card
  std::size_t remaining_ = 0;  // data bytes still to send or receive
  std::size_t receiving_ = 0;  // bytes announced by the last INS / ~INS still to come
  std::uint8_t sw1_ = 0;
  Phase phase_ = Phase::kProcedure;
  Bytes response_;
  std::string error_;
  unsigned nulls_ = 0;
};

struct T0ApduStep {
  enum class Kind : std::uint8_t { kTpdu, kDone, kError };
  Kind kind = Kind::kError;
  Bytes tpdu;  // for kTpdu: the next TPDU to run
};

class T0ApduEngine {
 public:
  explicit T0ApduEngine(ByteView apdu);

  T0ApduStep Begin();
  // The card's answer to the last TPDU: data and SW1 SW2.
  T0ApduStep OnTpduResponse(ByteView response);

  const Bytes& Response() const { return response_; }
  const std::string& Error() const { return error_; }
  unsigned TpduCount() const { return tpdus_; }

 private:
  T0ApduStep Send(Bytes tpdu);
  T0ApduStep Fail(std::string reason);
  T0ApduStep Finish(std::uint8_t sw1, std::uint8_t sw2);
  T0ApduStep GetResponse(std::size_t count);
  T0ApduStep AfterCommand(const iso7816::Response& answer);

  Apdu apdu_;
  bool valid_ = false;
  std::string parse_error_;
  Bytes last_tpdu_;
  std::deque<Bytes> envelopes_;
  bool in_envelope_ = false;
  Bytes collected_;
  std::size_t wanted_ = 0;  // Ne
  unsigned reissues_ = 0;
  unsigned tpdus_ = 0;
  Bytes response_;
  std::string error_;
};

// Runs a whole exchange against a card reached through two callables: `write(ByteView)`
// and `read() -> Bytes`. Returns data + SW1 SW2, or nothing with `error` set.
template <typename Write, typename Read>
std::optional<Bytes> RunT0Tpdu(ByteView tpdu, Write&& write, Read&& read, std::string* error = nullptr) {
  T0TpduExchange exchange(tpdu);
  T0Step step = exchange.Begin();
  for (;;) {
    switch (step.kind) {
      case T0Step::Kind::kWrite:
        write(ByteView(step.bytes));
        step = exchange.OnCardBytes(read());
        break;
      case T0Step::Kind::kRead:
        step = exchange.OnCardBytes(read());
        break;
      case T0Step::Kind::kDone:
        return exchange.Response();
      case T0Step::Kind::kError:
        if (error != nullptr) *error = exchange.Error();
        return std::nullopt;
    }
  }
}

template <typename Write, typename Read>
std::optional<Bytes> RunT0Apdu(ByteView apdu, Write&& write, Read&& read, std::string* error = nullptr) {
  T0ApduEngine engine(apdu);
  T0ApduStep step = engine.Begin();
  while (step.kind == T0ApduStep::Kind::kTpdu) {
    const auto answer = RunT0Tpdu(step.tpdu, write, read, error);
    if (!answer) return std::nullopt;
    step = engine.OnTpduResponse(*answer);
  }
  if (step.kind == T0ApduStep::Kind::kError) {
    if (error != nullptr) *error = engine.Error();
    return std::nullopt;
  }
  return engine.Response();
}

}  // namespace iso7816
