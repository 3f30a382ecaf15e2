#include "iso7816/t1_host.h"

#include <gtest/gtest.h>

namespace iso7816 {
namespace {

Bytes Hex(std::string_view text) { return *FromHex(text); }

// One turn: the block the engine must send, and what the card answers (raw bytes).
struct Turn {
  Block host;
  Bytes card;
};

Bytes Card(const Block& block, Edc edc = Edc::kLrc) { return EncodeBlock(block, edc); }
Bytes Corrupt(const Block& block) {
  Bytes bytes = EncodeBlock(block, Edc::kLrc);
  bytes.back() ^= 0xFF;
  return bytes;
}
const Bytes kSilence;

Bytes Range(std::size_t n, std::uint8_t first = 0) {
  Bytes out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(first + i);
  return out;
}
Bytes Slice(const Bytes& bytes, std::size_t at, std::size_t n) {
  return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(at), bytes.begin() + static_cast<std::ptrdiff_t>(at + n));
}

T1HostEngine::Status Play(T1HostEngine& engine, const Bytes& apdu, const std::vector<Turn>& turns) {
  T1HostEngine::Status status = engine.Begin(apdu);
  for (std::size_t i = 0; i < turns.size(); ++i) {
    SCOPED_TRACE("turn " + std::to_string(i));
    if (status != T1HostEngine::Status::kSend) {
      ADD_FAILURE() << "engine stopped early: " << engine.Error();
      return status;
    }
    EXPECT_EQ(DescribeBlock(engine.NextBlockFields()), DescribeBlock(turns[i].host));
    EXPECT_EQ(engine.NextBlockFields(), turns[i].host);
    status = engine.OnBlock(turns[i].card);
  }
  return status;
}

T1HostConfig Config(std::uint8_t ifsc = 32, std::uint8_t ifsd = 32) {
  T1HostConfig config;
  config.ifsc = ifsc;
  config.ifsd = ifsd;
  return config;
}

const Bytes kApdu = Hex("00A4040008F04343494453494D");
const Bytes kOk = Hex("9000");

TEST(T1HostEngine, AnnouncesIfsdBeforeFirstCommandOnly) {
  T1HostEngine engine(Config(32, 254));
  auto status = Play(engine, kApdu,
                     {{Block::S(SType::kIfs, false, {0xFE}), Card(Block::S(SType::kIfs, true, {0xFE}))},
                      {Block::I(0, false, kApdu), Card(Block::I(0, false, kOk))}});
  ASSERT_EQ(status, T1HostEngine::Status::kDone) << engine.Error();
  EXPECT_EQ(engine.Response(), kOk);
  EXPECT_EQ(engine.Ifsd(), 254);
  EXPECT_EQ(engine.Ns(), 1);
  EXPECT_EQ(engine.Nr(), 1);
  status = Play(engine, kApdu, {{Block::I(1, false, kApdu), Card(Block::I(1, false, kOk))}});
  EXPECT_EQ(status, T1HostEngine::Status::kDone);
  // After Reset (new ATR) the announcement comes again and the numbering restarts.
  engine.Reset();
  status = Play(engine, kApdu,
                {{Block::S(SType::kIfs, false, {0xFE}), Card(Block::S(SType::kIfs, true, {0xFE}))},
                 {Block::I(0, false, kApdu), Card(Block::I(0, false, kOk))}});
  EXPECT_EQ(status, T1HostEngine::Status::kDone);
}

TEST(T1HostEngine, IfsAnnouncementOptions) {
  T1HostConfig config = Config(32, 32);
  T1HostEngine plain(config);
  EXPECT_EQ(Play(plain, kApdu, {{Block::I(0, false, kApdu), Card(Block::I(0, false, kOk))}}),
            T1HostEngine::Status::kDone);
  config.always_send_ifs = true;
  T1HostEngine always(config);
  EXPECT_EQ(Play(always, kApdu,
                 {{Block::S(SType::kIfs, false, {0x20}), Card(Block::S(SType::kIfs, true, {0x20}))},
                  {Block::I(0, false, kApdu), Card(Block::I(0, false, kOk))}}),
            T1HostEngine::Status::kDone);
  config = Config(32, 254);
  config.skip_ifs = true;
  T1HostEngine skip(config);
  EXPECT_EQ(Play(skip, kApdu, {{Block::I(0, false, kApdu), Card(Block::I(0, false, kOk))}}),
            T1HostEngine::Status::kDone);
  EXPECT_EQ(skip.Ifsd(), 32);
}

// Commands longer than IFSC go in chained I-blocks, each acknowledged by R(N(R)).
TEST(T1HostEngine, ChainsCommandAcrossIfsc) {
  const Bytes apdu = Range(10);
  T1HostEngine engine(Config(4, 32));
  const auto status = Play(engine, apdu,
                           {{Block::I(0, true, Slice(apdu, 0, 4)), Card(Block::R(1))},
                            {Block::I(1, true, Slice(apdu, 4, 4)), Card(Block::R(0))},
                            {Block::I(0, false, Slice(apdu, 8, 2)), Card(Block::I(0, false, kOk))}});
  ASSERT_EQ(status, T1HostEngine::Status::kDone) << engine.Error();
  EXPECT_EQ(engine.Ns(), 1);
}

// Chained answers are acknowledged with R(N(R)) and put together.
TEST(T1HostEngine, ReceivesChainedAnswer) {
  const Bytes answer = Range(70);
  T1HostEngine engine(Config());
  const auto status = Play(engine, kApdu,
                           {{Block::I(0, false, kApdu), Card(Block::I(0, true, Slice(answer, 0, 32)))},
                            {Block::R(1), Card(Block::I(1, true, Slice(answer, 32, 32)))},
                            {Block::R(0), Card(Block::I(0, false, Slice(answer, 64, 6)))}});
  ASSERT_EQ(status, T1HostEngine::Status::kDone) << engine.Error();
  EXPECT_EQ(engine.Response(), answer);
  EXPECT_EQ(engine.Nr(), 1);
}

TEST(T1HostEngine, BlockLongerThanIfsdIsInvalid) {
  T1HostEngine engine(Config(32, 32));
  const auto status = Play(engine, kApdu,
                           {{Block::I(0, false, kApdu), Card(Block::I(0, false, Range(33)))},
                            {Block::R(0, RCode::kOtherError), Card(Block::I(0, false, kOk))}});
  EXPECT_EQ(status, T1HostEngine::Status::kDone);
}

// S(WTX request) is answered with the same value, which extends the next wait only.
TEST(T1HostEngine, TimeExtension) {
  T1HostEngine engine(Config());
  auto status = engine.Begin(kApdu);
  ASSERT_EQ(status, T1HostEngine::Status::kSend);
  EXPECT_EQ(engine.Wtx(), 0);
  status = engine.OnBlock(Card(Block::S(SType::kWtx, false, {0x05})));
  ASSERT_EQ(status, T1HostEngine::Status::kSend);
  EXPECT_EQ(engine.NextBlockFields(), Block::S(SType::kWtx, true, {0x05}));
  EXPECT_EQ(engine.Wtx(), 5);
  status = engine.OnBlock(Card(Block::S(SType::kWtx, false, {0x02})));
  EXPECT_EQ(engine.Wtx(), 2);
  status = engine.OnBlock(Card(Block::I(0, false, kOk)));
  EXPECT_EQ(status, T1HostEngine::Status::kDone);
  EXPECT_EQ(engine.Wtx(), 0);
  EXPECT_EQ(engine.WtxRequests(), 2u);
}

struct RecoveryRow {
  const char* name;
  std::vector<Turn> turns;
  unsigned retransmissions;
};

// The error-recovery rules: invalid blocks and silence get an R-block asking for the
// expected I-block; an R-block naming our last N(S) gets that block again; during
// chaining both ways the right block is repeated.
TEST(T1HostEngine, ErrorRecovery) {
  const Bytes answer = Range(40);
  const Bytes long_apdu = Range(10);
  const RecoveryRow rows[] = {
      {"bad EDC on the answer",
       {{Block::I(0, false, kApdu), Corrupt(Block::I(0, false, kOk))},
        {Block::R(0, RCode::kEdcError), Card(Block::I(0, false, kOk))}},
       1},
      {"no answer within BWT",
       {{Block::I(0, false, kApdu), kSilence}, {Block::R(0, RCode::kOtherError), Card(Block::I(0, false, kOk))}},
       1},
      {"wrong N(S) from the card",
       {{Block::I(0, false, kApdu), Card(Block::I(1, false, kOk))},
        {Block::R(0, RCode::kOtherError), Card(Block::I(0, false, kOk))}},
       1},
      {"bad PCB from the card",
       {{Block::I(0, false, kApdu), Card(Block{0, 0x83, {}})},
        {Block::R(0, RCode::kOtherError), Card(Block::I(0, false, kOk))}},
       1},
      {"card asks for our I-block again",
       {{Block::I(0, false, kApdu), Card(Block::R(0, RCode::kEdcError))},
        {Block::I(0, false, kApdu), Card(Block::I(0, false, kOk))}},
       1},
      {"R-block repeated after a second invalid block",
       {{Block::I(0, false, kApdu), kSilence},
        {Block::R(0, RCode::kOtherError), Corrupt(Block::I(0, false, kOk))},
        {Block::R(0, RCode::kEdcError), Card(Block::I(0, false, kOk))}},
       2},
      {"invalid block while receiving a chain",
       {{Block::I(0, false, kApdu), Card(Block::I(0, true, Slice(answer, 0, 32)))},
        {Block::R(1), Corrupt(Block::I(1, false, Slice(answer, 32, 8)))},
        {Block::R(1, RCode::kEdcError), Card(Block::I(1, false, Slice(answer, 32, 8)))}},
       1},
      {"card did not get our chain acknowledgement",
       {{Block::I(0, false, kApdu), Card(Block::I(0, true, Slice(answer, 0, 32)))},
        {Block::R(1), Card(Block::R(0, RCode::kEdcError))},
        {Block::R(1), Card(Block::I(1, false, Slice(answer, 32, 8)))}},
       1},
      {"card asks for a chained block again",
       {{Block::I(0, true, Slice(long_apdu, 0, 4)), Card(Block::R(0, RCode::kEdcError))},
        {Block::I(0, true, Slice(long_apdu, 0, 4)), Card(Block::R(1))},
        {Block::I(1, true, Slice(long_apdu, 4, 4)), Card(Block::R(0))},
        {Block::I(0, false, Slice(long_apdu, 8, 2)), Card(Block::I(0, false, Slice(answer, 0, 8)))}},
       1},
      {"invalid acknowledgement while sending a chain",
       {{Block::I(0, true, Slice(long_apdu, 0, 4)), Corrupt(Block::R(1))},
        {Block::R(0, RCode::kEdcError), Card(Block::R(1))},
        {Block::I(1, true, Slice(long_apdu, 4, 4)), Card(Block::R(0))},
        {Block::I(0, false, Slice(long_apdu, 8, 2)), Card(Block::I(0, false, Slice(answer, 0, 8)))}},
       1},
  };
  for (const RecoveryRow& row : rows) {
    SCOPED_TRACE(row.name);
    const bool chained_command = std::string_view(row.name).find("sending a chain") != std::string_view::npos ||
                                 std::string_view(row.name).find("chained block again") != std::string_view::npos;
    T1HostEngine engine(Config(chained_command ? 4 : 32, 32));
    const auto status = Play(engine, chained_command ? long_apdu : kApdu, row.turns);
    EXPECT_EQ(status, T1HostEngine::Status::kDone) << engine.Error();
    EXPECT_EQ(engine.Retransmissions(), row.retransmissions);
    EXPECT_EQ(engine.Resynchs(), 0u);
  }
}

// Two retransmissions in a row without success lead to S(RESYNCH request); after the
// card's response both sides start again from N(S) 0 and the command is sent again.
TEST(T1HostEngine, ResynchronisesAfterRepeatedFailure) {
  T1HostEngine engine(Config());
  engine.Begin(kApdu);
  ASSERT_EQ(engine.OnBlock(Card(Block::I(0, false, kOk))), T1HostEngine::Status::kDone);  // N(S) now 1
  const auto status = Play(engine, kApdu,
                           {{Block::I(1, false, kApdu), kSilence},
                            {Block::R(1, RCode::kOtherError), kSilence},
                            {Block::R(1, RCode::kOtherError), Corrupt(Block::I(1, false, kOk))},
                            {Block::S(SType::kResynch, false), Card(Block::S(SType::kResynch, true))},
                            {Block::I(0, false, kApdu), Card(Block::I(0, false, kOk))}});
  ASSERT_EQ(status, T1HostEngine::Status::kDone) << engine.Error();
  EXPECT_EQ(engine.Resynchs(), 1u);
  EXPECT_EQ(engine.Ns(), 1);
}

// A session in doubt starts its next command with S(RESYNCH request): numbering from 0,
// IFSD announced again, then the command; the request counts against the command's budget.
TEST(T1HostEngine, BeginWithResynchRestartsTheSessionFirst) {
  T1HostEngine engine(Config(32, 254));
  engine.Begin(kApdu);
  ASSERT_EQ(engine.OnBlock(Card(Block::S(SType::kIfs, true, {0xFE}))), T1HostEngine::Status::kSend);
  ASSERT_EQ(engine.Ns(), 0);  // our I-block is out; its answer never comes
  const Bytes chain = Range(40);
  ASSERT_EQ(engine.BeginWithResynch(chain), T1HostEngine::Status::kSend);
  EXPECT_EQ(engine.NextBlockFields(), Block::S(SType::kResynch, false));
  EXPECT_EQ(engine.CommandResynchs(), 1u);
  ASSERT_EQ(engine.OnBlock(Card(Block::S(SType::kResynch, true))), T1HostEngine::Status::kSend);
  EXPECT_EQ(engine.NextBlockFields(), Block::S(SType::kIfs, false, {0xFE}));
  ASSERT_EQ(engine.OnBlock(Card(Block::S(SType::kIfs, true, {0xFE}))), T1HostEngine::Status::kSend);
  EXPECT_EQ(engine.NextBlockFields(), Block::I(0, true, Slice(chain, 0, 32)));
  EXPECT_TRUE(engine.Chaining());
  ASSERT_EQ(engine.OnBlock(Card(Block::R(1))), T1HostEngine::Status::kSend);
  EXPECT_EQ(engine.BytesSent(), 32u);
  EXPECT_EQ(engine.NextBlockFields(), Block::I(1, false, Slice(chain, 32, 8)));
  EXPECT_EQ(engine.OnBlock(Card(Block::I(0, false, kOk))), T1HostEngine::Status::kDone);
  EXPECT_FALSE(engine.Chaining());
  EXPECT_EQ(engine.BeginWithResynch(Bytes{}), T1HostEngine::Status::kError);
}

TEST(T1HostEngine, GivesUpAfterThreeResynchronisations) {
  T1HostEngine engine(Config());
  const auto status = Play(engine, kApdu,
                           {{Block::I(0, false, kApdu), kSilence},
                            {Block::R(0, RCode::kOtherError), kSilence},
                            {Block::R(0, RCode::kOtherError), kSilence},
                            {Block::S(SType::kResynch, false), kSilence},
                            {Block::S(SType::kResynch, false), Card(Block::R(0))},
                            {Block::S(SType::kResynch, false), kSilence}});
  EXPECT_EQ(status, T1HostEngine::Status::kError);
  EXPECT_NE(engine.Error().find("resynchronisation"), std::string::npos);
  EXPECT_EQ(engine.Resynchs(), 3u);
}

// An S request whose answer is invalid, wrong or an R-block is sent again.
TEST(T1HostEngine, SRequestRepeatedWhenAnswerInvalid) {
  T1HostEngine engine(Config(32, 200));
  auto status = Play(engine, kApdu,
                     {{Block::S(SType::kIfs, false, {200}), Corrupt(Block::S(SType::kIfs, true, {200}))},
                      {Block::S(SType::kIfs, false, {200}), Card(Block::S(SType::kIfs, true, {100}))},
                      {Block::S(SType::kIfs, false, {200}), Card(Block::S(SType::kIfs, true, {200}))},
                      {Block::I(0, false, kApdu), Card(Block::I(0, false, kOk))}});
  ASSERT_EQ(status, T1HostEngine::Status::kDone) << engine.Error();
  EXPECT_EQ(engine.Ifsd(), 200);
  T1HostEngine other(Config(32, 200));
  status = Play(other, kApdu,
                {{Block::S(SType::kIfs, false, {200}), Card(Block::R(0))},
                 {Block::S(SType::kIfs, false, {200}), Card(Block::S(SType::kIfs, true, {200}))},
                 {Block::I(0, false, kApdu), Card(Block::I(0, false, kOk))}});
  EXPECT_EQ(status, T1HostEngine::Status::kDone) << other.Error();
}

TEST(T1HostEngine, CardChangesIfsc) {
  const Bytes apdu = Range(20);
  T1HostEngine engine(Config(32, 32));
  auto status = Play(engine, kApdu,
                     {{Block::I(0, false, kApdu), Card(Block::S(SType::kIfs, false, {0x08}))},
                      {Block::S(SType::kIfs, true, {0x08}), Card(Block::I(0, false, kOk))}});
  ASSERT_EQ(status, T1HostEngine::Status::kDone);
  EXPECT_EQ(engine.Ifsc(), 8);
  status = Play(engine, apdu,
                {{Block::I(1, true, Slice(apdu, 0, 8)), Card(Block::R(0))},
                 {Block::I(0, true, Slice(apdu, 8, 8)), Card(Block::R(1))},
                 {Block::I(1, false, Slice(apdu, 16, 4)), Card(Block::I(1, false, kOk))}});
  EXPECT_EQ(status, T1HostEngine::Status::kDone);
}

TEST(T1HostEngine, AbortBothWays) {
  // The card aborts its chain: answered, then the command fails.
  T1HostEngine engine(Config());
  auto status = Play(engine, kApdu,
                     {{Block::I(0, false, kApdu), Card(Block::I(0, true, Range(32)))},
                      {Block::R(1), Card(Block::S(SType::kAbort, false))}});
  ASSERT_EQ(status, T1HostEngine::Status::kSend);
  EXPECT_EQ(engine.NextBlockFields(), Block::S(SType::kAbort, true));
  status = engine.OnBlock(Card(Block::R(1)));
  EXPECT_EQ(status, T1HostEngine::Status::kError);
  EXPECT_NE(engine.Error().find("aborted"), std::string::npos);
  // The host aborts its own chain.
  const Bytes apdu = Range(10);
  T1HostEngine host(Config(4, 32));
  status = Play(host, apdu, {{Block::I(0, true, Slice(apdu, 0, 4)), Card(Block::R(1))}});
  ASSERT_EQ(status, T1HostEngine::Status::kSend);
  status = host.Abort();
  ASSERT_EQ(status, T1HostEngine::Status::kSend);
  EXPECT_EQ(host.NextBlockFields(), Block::S(SType::kAbort, false));
  EXPECT_EQ(host.OnBlock(Card(Block::S(SType::kAbort, true))), T1HostEngine::Status::kError);
  EXPECT_EQ(T1HostEngine(Config()).Abort(), T1HostEngine::Status::kError);
}

TEST(T1HostEngine, CrcAndNad) {
  T1HostConfig config = Config();
  config.edc = Edc::kCrc;
  config.nad = 0x21;
  T1HostEngine engine(config);
  ASSERT_EQ(engine.Begin(kApdu), T1HostEngine::Status::kSend);
  const Bytes& sent = engine.NextBlock();
  EXPECT_EQ(sent[0], 0x21);
  EXPECT_EQ(sent.size(), 3 + kApdu.size() + 2);
  EXPECT_TRUE(EdcValid(Edc::kCrc, sent));
  Bytes lrc_answer = Card(Block::I(0, false, kOk), Edc::kLrc);
  ASSERT_EQ(engine.OnBlock(lrc_answer), T1HostEngine::Status::kSend);  // LRC block is invalid here
  EXPECT_EQ(engine.NextBlockFields().Kind(), BlockKind::kR);
  EXPECT_EQ(engine.OnBlock(Card(Block::I(0, false, kOk, 0x12), Edc::kCrc)), T1HostEngine::Status::kDone);
}

TEST(T1HostEngine, RefusesMisuse) {
  T1HostEngine engine(Config());
  EXPECT_EQ(engine.Begin(Bytes{}), T1HostEngine::Status::kError);
  EXPECT_EQ(engine.OnBlock(Card(Block::I(0, false, kOk))), T1HostEngine::Status::kError);
  // S(RESYNCH request) may come only from the host.
  engine.Begin(kApdu);
  EXPECT_EQ(engine.OnBlock(Card(Block::S(SType::kResynch, false))), T1HostEngine::Status::kSend);
  EXPECT_EQ(engine.NextBlockFields(), Block::R(0, RCode::kOtherError));
}

TEST(T1HostEngine, RunHelperReportsTimeExtensions) {
  std::vector<Bytes> script = {Card(Block::S(SType::kWtx, false, {3})), Card(Block::I(0, false, kOk))};
  std::size_t next = 0;
  std::vector<int> extensions;
  T1HostEngine engine(Config());
  std::string error;
  const auto answer = RunT1Apdu(
      engine, kApdu, [](ByteView) {}, [&] { return next < script.size() ? script[next++] : Bytes{}; },
      [&](std::uint8_t multiplier) { extensions.push_back(multiplier); }, &error);
  ASSERT_TRUE(answer.has_value()) << error;
  EXPECT_EQ(*answer, kOk);
  EXPECT_EQ(extensions, (std::vector<int>{3}));
}

}  // namespace
}  // namespace iso7816
