// T=1 through the reader's bulk pipes: chaining both ways across IFSC and IFSD (IFSD
// announced with S(IFS)), time extensions, every error-recovery rule with the errors
// made by the card or by the reader's I/O line, S(RESYNCH), S(ABORT) and the card's own
// S(IFS request); at the reader's TPDU level (the host runs T=1, one block per XfrBlock)
// and at its APDU level (the reader runs T=1).
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "card_link.h"
#include "kernel_test_support.h"

namespace cardlink {
namespace {

using iso7816::Block;
using iso7816::BlockKind;
using iso7816::SType;
using sim::Fault;
using sim::FaultKind;

constexpr std::uint8_t kXfrBlock = 0x6F;
const Bytes kSelectLarge = Hex("00A4080C0450005002");  // EF 5002: 4096 bytes, free to read and write

Bytes Update(std::uint16_t offset, std::size_t length, std::uint8_t seed) {
  Bytes apdu{0x00, 0xD6, static_cast<std::uint8_t>(offset >> 8), static_cast<std::uint8_t>(offset),
             static_cast<std::uint8_t>(length)};
  for (std::size_t i = 0; i < length; ++i) apdu.push_back(static_cast<std::uint8_t>(seed + 13 * i));
  return apdu;
}

Bytes Read(std::uint16_t offset, std::uint8_t le) {
  return {0x00, 0xB0, static_cast<std::uint8_t>(offset >> 8), static_cast<std::uint8_t>(offset), le};
}

Bytes Expected(const Bytes& update) {
  Bytes data(update.begin() + 5, update.end());
  data.insert(data.end(), {0x90, 0x00});
  return data;
}

std::size_t Count(const std::vector<Block>& blocks, const std::function<bool(const Block&)>& match) {
  return static_cast<std::size_t>(std::count_if(blocks.begin(), blocks.end(), match));
}

bool IsI(const Block& b) { return b.Kind() == BlockKind::kI; }

std::size_t Parts(std::size_t bytes, std::size_t size) { return (bytes + size - 1) / size; }

struct ChainRow {
  const char* name;
  const char* card;
  std::uint8_t ifsd;
  bool select_t1;  // the card offers T=0 first: the host selects T=1
};

void PrintTo(const ChainRow& row, std::ostream* os) { *os << row.name; }

class T1ChainingAtTpduLevel : public testing::TestWithParam<ChainRow> {};

// A 260-byte command and a 258-byte answer through a TPDU reader: the host's I-blocks
// never pass IFSC, the card's never pass the IFSD the host announced, every chained block
// is acknowledged, and the data arrives whole.
TEST_P(T1ChainingAtTpduLevel, CommandAndAnswerCrossTheBoundaries) {
  const ChainRow& row = GetParam();
  CardLink link("tpdu-basic", row.card);
  ASSERT_TRUE(link.PowerOn().Ok());
  if (row.select_t1) {
    ASSERT_TRUE(link.SelectProtocol(1).Ok());
  }
  const std::uint8_t ifsc = link.ParsedAtr().t1_ifsc;
  T1Host host(link, row.ifsd);
  ASSERT_EQ(host.Transmit(kSelectLarge), Hex("9000")) << host.Error();
  const Bytes update = Update(0x0100, 255, 0x21);
  ASSERT_EQ(host.Transmit(update), Hex("9000")) << host.Error();
  const std::size_t sent_before_read = host.SentBlocks().size();
  const std::size_t received_before_read = host.ReceivedBlocks().size();
  const auto read = host.Transmit(Read(0x0100, 0x00));  // 256 bytes
  ASSERT_TRUE(read) << host.Error();
  Bytes expected = Expected(update);
  const Bytes content = *link.Application().FileContent(sim::kFidLarge);
  expected.insert(expected.end() - 2, content[0x01FF]);
  EXPECT_EQ(*read, expected);

  // The IFSD announcement opens the session unless IFSD is the default.
  EXPECT_EQ(host.SentBlocks().front().IsS(SType::kIfs, false), row.ifsd != 32);
  EXPECT_EQ(link.Card().T1().Ifsd(), row.ifsd);
  for (const Block& b : host.SentBlocks()) {
    if (IsI(b)) {
      EXPECT_LE(b.inf.size(), ifsc) << "IFSC";
    }
  }
  for (const Block& b : host.ReceivedBlocks()) {
    if (IsI(b)) {
      EXPECT_LE(b.inf.size(), row.ifsd) << "IFSD";
    }
  }
  const std::vector<Block> command_blocks(host.SentBlocks().begin() + 1 + (row.ifsd != 32),
                                          host.SentBlocks().begin() + static_cast<std::ptrdiff_t>(sent_before_read));
  EXPECT_EQ(Count(command_blocks, IsI), Parts(update.size(), ifsc));
  const std::vector<Block> answer_blocks(host.ReceivedBlocks().begin() +
                                             static_cast<std::ptrdiff_t>(received_before_read),
                                         host.ReceivedBlocks().end());
  EXPECT_EQ(Count(answer_blocks, IsI), Parts(258, row.ifsd));
  EXPECT_EQ(host.Engine().Retransmissions(), 0u);
  EXPECT_EQ(link.CardCounters().t1_invalid_blocks, 0u);
  for (const Bytes& m : link.Sent()) {
    if (m[0] == kXfrBlock) {
      EXPECT_EQ(m[7], 0x00) << "bBWI: no time extension asked";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cards, T1ChainingAtTpduLevel,
    testing::Values(ChainRow{"ifsc32_ifsd253", "t1-ifsc32", 253, false},
                    ChainRow{"ifsc32_default_ifsd", "t1-ifsc32", 32, false},
                    ChainRow{"ifsc254_ifsd253", "t1-ifsc254", 253, false},
                    ChainRow{"ifsc254_ifsd20", "t1-ifsc254", 20, false},
                    ChainRow{"crc_ifsc64", "t1-crc", 253, false},
                    ChainRow{"dual_t1_ifsc128", "dual", 100, true},
                    ChainRow{"inverse_convention", "inverse", 64, true},
                    ChainRow{"specific_mode", "specific-t1", 253, false}),
    [](const auto& info) { return std::string(info.param.name); });

// At APDU level the reader runs T=1: it announces its own IFSD (dwMaxIFSD, at most 254:
// "composite" says 512) and chains both ways by itself; the host sends and receives whole
// APDUs.
TEST(T1ChainingAtApduLevel, ReaderChainsWithItsOwnIfsd) {
  struct Row {
    const char* reader;
    const char* card;
    std::uint8_t ifsd;
  };
  for (const Row& row : {Row{"apdu-short", "t1-ifsc32", 254}, Row{"apdu-short", "t1-ifsc254", 254},
                         Row{"apdu-short", "t1-crc", 254}, Row{"composite", "t1-ifsc32", 254},
                         Row{"multi-slot", "t1-crc", 254}}) {
    SCOPED_TRACE(std::string(row.reader) + " " + row.card);
    CardLink link(row.reader, row.card);
    ASSERT_TRUE(link.PowerOn().Ok());
    EXPECT_EQ(link.Xfr(kSelectLarge).Data(), Hex("9000"));
    const Bytes update = Update(0x0200, 255, 0x42);
    EXPECT_EQ(link.Xfr(update).Data(), Hex("9000"));
    EXPECT_EQ(link.Xfr(Read(0x0200, 0xFF)).Data(), Expected(update));
    EXPECT_EQ(link.Card().T1().Ifsd(), row.ifsd);
    const std::uint8_t ifsc = link.ParsedAtr().t1_ifsc;
    // Blocks the card received: the IFS request, the SELECT, the chained UPDATE with its
    // parts' acknowledgements, the READ and the R-blocks asking for the answer's parts.
    const std::size_t expected_blocks =
        1 + 1 + Parts(update.size(), ifsc) + 1 + (Parts(257, row.ifsd) - 1);
    EXPECT_EQ(link.CardCounters().t1_blocks, expected_blocks);
    EXPECT_EQ(link.CardCounters().t1_invalid_blocks, 0u);
  }
}

// S(WTX request) from the card: at TPDU level the host answers it and asks the reader
// for the longer wait in bBWI of the next XfrBlock; at APDU level each one reaches the
// host as a CCID time extension.
TEST(T1ThroughReader, TimeExtensionsAtBothLevels) {
  const Bytes authenticate = Hex("008800000401020304" "00");
  CardLink tpdu("tpdu-basic", "many-wtx");
  ASSERT_TRUE(tpdu.PowerOn().Ok());
  T1Host host(tpdu, 253);
  ASSERT_EQ(host.Transmit(Hex("00A4040C08F04343494453494D")), Hex("9000")) << host.Error();
  const auto signature = host.Transmit(authenticate);
  ASSERT_TRUE(signature) << host.Error();
  EXPECT_EQ(signature->size(), 34u);
  const auto wtx_request = [](const Block& b) { return b.IsS(SType::kWtx, false) && b.inf == Bytes{3}; };
  EXPECT_EQ(Count(host.ReceivedBlocks(), wtx_request), 4u + 44u);
  EXPECT_EQ(host.Engine().WtxRequests(), 48u);
  std::size_t asked = 0;
  for (std::size_t i = 0; i < host.SentBlocks().size(); ++i) {
    const Block& b = host.SentBlocks()[i];
    const Bytes& message = tpdu.Sent()[tpdu.Sent().size() - host.SentBlocks().size() + i];
    ASSERT_EQ(message[0], kXfrBlock);
    if (b.IsS(SType::kWtx, true)) {
      EXPECT_EQ(b.inf, Bytes{3});
      EXPECT_EQ(message[7], 3) << "bBWI of the block after the request";
      ++asked;
    } else {
      EXPECT_EQ(message[7], 0);
    }
  }
  EXPECT_EQ(asked, 48u);

  CardLink apdu("apdu-short", "many-wtx");
  ASSERT_TRUE(apdu.PowerOn().Ok());
  const Answer selected = apdu.Xfr(Hex("00A4040C08F04343494453494D"));
  EXPECT_EQ(selected.Data(), Hex("9000"));
  EXPECT_EQ(selected.time_extensions, 4);
  const Answer signed_answer = apdu.Xfr(authenticate);
  EXPECT_EQ(signed_answer.Data(), *signature) << "the same signature at both levels";
  EXPECT_EQ(signed_answer.time_extensions, 44);
}

// One error-recovery case: what goes wrong, and how the two sides put it right.
struct RecoveryRow {
  const char* name;
  std::function<void(CardLink&)> inject;
  Bytes command;
  std::uint8_t ifsd;
  unsigned retransmissions;   // by the host's engine (TPDU level)
  unsigned resynchs;
  unsigned card_invalid;      // blocks the card found invalid
  unsigned card_repeats;      // blocks the card sent again
};

void PrintTo(const RecoveryRow& row, std::ostream* os) { *os << row.name; }

Fault LineFault(FaultKind kind, std::uint32_t byte, std::uint32_t skip = 0, std::uint32_t times = 1) {
  Fault f;
  f.kind = kind;
  f.value = byte;
  f.match = kXfrBlock;
  f.skip = skip;
  f.times = times;
  return f;
}

const Bytes kRead70 = Read(0x0000, 70);      // 72-byte answer: chained at IFSD 32
const Bytes kUpdate80 = Update(0x0300, 80, 0x07);  // 85-byte command: chained at IFSC 32

const RecoveryRow kRecoveries[] = {
    {"card_answer_with_bad_edc", [](CardLink& l) { l.CardFaults().corrupt_answers = 1; }, kRead70, 32, 1, 0, 0, 1},
    {"card_i_block_with_wrong_sequence", [](CardLink& l) { l.CardFaults().wrong_sequence = 1; }, kRead70, 32, 1, 0,
     0, 1},
    {"card_silent_once", [](CardLink& l) { l.CardFaults().mute_answers = 1; }, kRead70, 32, 1, 0, 0, 1},
    {"byte_garbled_towards_host", [](CardLink& l) { l.Reader().AddFault(LineFault(FaultKind::CorruptToHost, 5)); },
     kRead70, 32, 1, 0, 0, 1},
    {"edc_garbled_towards_host_mid_chain",
     [](CardLink& l) { l.Reader().AddFault(LineFault(FaultKind::CorruptToHost, 36, 1)); }, kRead70, 32, 1, 0, 0, 1},
    {"byte_garbled_towards_card", [](CardLink& l) { l.Reader().AddFault(LineFault(FaultKind::CorruptToCard, 4)); },
     kRead70, 32, 1, 0, 1, 0},
    {"pcb_garbled_towards_card_mid_command_chain",
     [](CardLink& l) { l.Reader().AddFault(LineFault(FaultKind::CorruptToCard, 2, 1)); }, kUpdate80, 32, 1, 0, 1, 0},
    {"three_bad_answers_resynchronise", [](CardLink& l) { l.CardFaults().corrupt_answers = 3; }, kRead70, 64, 2, 1,
     0, 2},
    {"three_garbled_commands_resynchronise",
     [](CardLink& l) { l.Reader().AddFault(LineFault(FaultKind::CorruptToCard, 4, 0, 3)); }, kUpdate80, 32, 2, 1, 3,
     0},
};

std::optional<Bytes> Reference(const Bytes& command, std::uint8_t ifsd) {
  sim::SimCard card(*sim::FindCardProfile("t1-ifsc32"));
  card.ColdReset(sim::IccVoltage::V5_0);
  iso7816::T1HostConfig config;
  config.ifsd = ifsd;
  iso7816::T1HostEngine engine(config);
  auto run = [&](const Bytes& apdu) {
    return iso7816::RunT1Apdu(
        engine, apdu, [&](iso7816::ByteView b) { card.Write(b); }, [&] { return card.Read(); },
        [](std::uint8_t) {});
  };
  run(kSelectLarge);
  return run(command);
}

class T1RecoveryAtTpduLevel : public testing::TestWithParam<RecoveryRow> {};

// Errors on either side of the line, put right by the host's engine and the card with
// R-blocks (and S(RESYNCH) after the third in a row), one block per XfrBlock.
TEST_P(T1RecoveryAtTpduLevel, CommandStillGetsItsAnswer) {
  const RecoveryRow& row = GetParam();
  CardLink link("tpdu-basic", "t1-ifsc32");
  ASSERT_TRUE(link.PowerOn().Ok());
  T1Host host(link, row.ifsd);
  ASSERT_EQ(host.Transmit(kSelectLarge), Hex("9000"));
  row.inject(link);
  const auto answer = host.Transmit(row.command);
  ASSERT_TRUE(answer) << host.Error();
  EXPECT_EQ(answer, Reference(row.command, row.ifsd)) << "as if nothing had happened";
  EXPECT_EQ(host.Engine().Retransmissions(), row.retransmissions);
  EXPECT_EQ(host.Engine().Resynchs(), row.resynchs);
  const sim::CardCounters& counters = link.CardCounters();
  EXPECT_EQ(counters.t1_invalid_blocks, row.card_invalid);
  EXPECT_EQ(counters.t1_retransmissions, row.card_repeats);
  EXPECT_EQ(counters.t1_resynchs, row.resynchs);
  if (row.resynchs > 0 && row.ifsd != 32) {
    EXPECT_EQ(Count(host.SentBlocks(), [](const Block& b) { return b.IsS(SType::kIfs, false); }), 2u)
        << "IFSD announced again after the resynchronisation";
  }
  if (row.command[1] == 0xD6) {
    const Bytes content = *link.Application().FileContent(sim::kFidLarge);
    EXPECT_EQ(Bytes(content.begin() + 0x300, content.begin() + 0x300 + 80),
              Bytes(row.command.begin() + 5, row.command.end()));
  }
  EXPECT_EQ(host.Transmit(Hex("0020008100")), Hex("63C3")) << "in step afterwards";
}

INSTANTIATE_TEST_SUITE_P(Rules, T1RecoveryAtTpduLevel, testing::ValuesIn(kRecoveries),
                         [](const auto& info) { return std::string(info.param.name); });

// At APDU level one XfrBlock carries the whole command, so the reader's line faults
// count bytes over all the blocks of the command: a block of IFSC 32 with its prologue
// and LRC is 36 bytes, one of IFSD 254 is 258.
const Bytes kRead255 = Read(0x0000, 0xFF);  // 257-byte answer: chained at IFSD 254
const RecoveryRow kApduRecoveries[] = {
    {"card_answer_with_bad_edc", [](CardLink& l) { l.CardFaults().corrupt_answers = 1; }, kRead70, 254, 0, 0, 0, 1},
    {"card_i_block_with_wrong_sequence", [](CardLink& l) { l.CardFaults().wrong_sequence = 1; }, kRead70, 254, 0, 0,
     0, 1},
    {"card_silent_once", [](CardLink& l) { l.CardFaults().mute_answers = 1; }, kRead70, 254, 0, 0, 0, 1},
    {"byte_garbled_towards_host", [](CardLink& l) { l.Reader().AddFault(LineFault(FaultKind::CorruptToHost, 5)); },
     kRead70, 254, 0, 0, 0, 1},
    {"byte_garbled_towards_host_mid_chain",
     [](CardLink& l) { l.Reader().AddFault(LineFault(FaultKind::CorruptToHost, 258 + 5)); }, kRead255, 254, 0, 0, 0,
     1},
    {"byte_garbled_towards_card", [](CardLink& l) { l.Reader().AddFault(LineFault(FaultKind::CorruptToCard, 4)); },
     kRead70, 254, 0, 0, 1, 0},
    {"pcb_garbled_towards_card_mid_command_chain",
     [](CardLink& l) { l.Reader().AddFault(LineFault(FaultKind::CorruptToCard, 36 + 2)); }, kUpdate80, 254, 0, 0, 1,
     0},
    {"three_bad_answers_resynchronise", [](CardLink& l) { l.CardFaults().corrupt_answers = 3; }, kRead70, 254, 0, 1,
     0, 2},
};

class T1RecoveryAtApduLevel : public testing::TestWithParam<RecoveryRow> {};

// The same errors under a reader that runs T=1 itself: it puts them right with the card,
// and the host sees a plain answer.
TEST_P(T1RecoveryAtApduLevel, ReaderPutsItRight) {
  const RecoveryRow& row = GetParam();
  CardLink link("apdu-short", "t1-ifsc32");
  ASSERT_TRUE(link.PowerOn().Ok());
  ASSERT_EQ(link.Xfr(kSelectLarge).Data(), Hex("9000"));
  row.inject(link);
  const Answer answer = link.Xfr(row.command);
  ASSERT_TRUE(answer.Ok()) << Describe(answer);
  EXPECT_EQ(answer.Data(), Reference(row.command, row.ifsd).value_or(Bytes{}));
  const sim::CardCounters& counters = link.CardCounters();
  EXPECT_EQ(counters.t1_invalid_blocks, row.card_invalid);
  EXPECT_EQ(counters.t1_retransmissions, row.card_repeats);
  EXPECT_EQ(counters.t1_resynchs, row.resynchs);
  EXPECT_EQ(link.Xfr(Hex("0020008100")).Data(), Hex("63C3")) << "in step afterwards";
}

INSTANTIATE_TEST_SUITE_P(Rules, T1RecoveryAtApduLevel, testing::ValuesIn(kApduRecoveries),
                         [](const auto& info) { return std::string(info.param.name); });

// Errors that do not go away: the host (TPDU level) gives up after its resynchronisations,
// the reader (APDU level) reports the card mute or the transfer garbled; a reset brings
// the card back in both cases.
TEST(T1ThroughReader, ErrorsThatPersist) {
  CardLink tpdu("tpdu-basic", "t1-ifsc32");
  ASSERT_TRUE(tpdu.PowerOn().Ok());
  {
    T1Host host(tpdu, 32);
    tpdu.CardFaults().mute_answers = 1000;
    EXPECT_FALSE(host.Transmit(kSelectLarge));
    EXPECT_NE(host.Error().find("resynchronisation"), std::string::npos) << host.Error();
    EXPECT_EQ(host.Engine().Resynchs(), 3u);
    for (std::uint8_t error : host.ReaderErrors()) EXPECT_EQ(error, 0xFE);
    tpdu.CardFaults().mute_answers = 0;
  }
  ASSERT_TRUE(tpdu.PowerOn().Ok());
  T1Host fresh(tpdu, 32);
  EXPECT_EQ(fresh.Transmit(kSelectLarge), Hex("9000")) << fresh.Error();

  struct Row {
    const char* name;
    void (*inject)(sim::CardFaults&);
    std::uint8_t error;
  };
  for (const Row& row : {Row{"silent", [](sim::CardFaults& f) { f.mute_answers = 1000; }, 0xFE},
                         Row{"garbled", [](sim::CardFaults& f) { f.corrupt_answers = 1000; }, 0xFD}}) {
    SCOPED_TRACE(row.name);
    CardLink apdu("apdu-short", "t1-ifsc32");
    ASSERT_TRUE(apdu.PowerOn().Ok());
    row.inject(apdu.CardFaults());
    const Answer failed = apdu.Xfr(kSelectLarge);
    EXPECT_EQ(failed.Status(), 0x40);
    EXPECT_EQ(failed.Error(), row.error);
    apdu.CardFaults() = sim::CardFaults{};
    EXPECT_EQ(apdu.Xfr(kSelectLarge).Data(), Hex("9000")) << "the reader starts a new session with the card";
  }
}

// The card asks for a smaller IFSC with S(IFS request) before an answer: the host (or the
// reader) answers it and cuts its next commands to that size.
TEST(T1ThroughReader, CardAsksForSmallerIfsc) {
  CardLink tpdu("tpdu-basic", "t1-ifsc254");
  ASSERT_TRUE(tpdu.PowerOn().Ok());
  T1Host host(tpdu, 253);
  tpdu.CardFaults().ifs_request = 16;
  ASSERT_EQ(host.Transmit(kSelectLarge), Hex("9000")) << host.Error();
  EXPECT_EQ(host.Engine().Ifsc(), 16);
  EXPECT_TRUE(host.SentBlocks().back().IsS(SType::kIfs, true));
  const std::size_t before = host.SentBlocks().size();
  const Bytes update = Update(0, 40, 0x33);
  ASSERT_EQ(host.Transmit(update), Hex("9000")) << host.Error();
  const std::vector<Block> blocks(host.SentBlocks().begin() + static_cast<std::ptrdiff_t>(before),
                                  host.SentBlocks().end());
  EXPECT_EQ(Count(blocks, IsI), Parts(update.size(), 16));
  for (const Block& b : blocks) EXPECT_LE(b.inf.size(), 16u);

  CardLink apdu("apdu-short", "t1-ifsc254");
  ASSERT_TRUE(apdu.PowerOn().Ok());
  apdu.CardFaults().ifs_request = 16;
  EXPECT_EQ(apdu.Xfr(kSelectLarge).Data(), Hex("9000"));
  EXPECT_EQ(apdu.Card().T1().Ifsc(), 16);
  EXPECT_EQ(apdu.Xfr(update).Data(), Hex("9000"));
  EXPECT_EQ(apdu.CardCounters().t1_invalid_blocks, 0u) << "no block over the new IFSC";
}

// S(ABORT request) in the middle of a chained command: the card drops what it has, the
// command fails, and the next one is served with the sequence numbers still in step.
TEST(T1ThroughReader, AbortEndsAChain) {
  CardLink link("tpdu-basic", "t1-ifsc32");
  ASSERT_TRUE(link.PowerOn().Ok());
  T1Host host(link, 32);
  ASSERT_EQ(host.Transmit(kSelectLarge), Hex("9000"));
  const Bytes before = *link.Application().FileContent(sim::kFidLarge);
  iso7816::T1HostEngine& engine = host.Engine();
  ASSERT_EQ(engine.Begin(kUpdate80), iso7816::T1HostEngine::Status::kSend);
  ASSERT_EQ(host.Exchange(), iso7816::T1HostEngine::Status::kSend) << "first part acknowledged";
  ASSERT_TRUE(host.ReceivedBlocks().back().Kind() == BlockKind::kR);
  ASSERT_EQ(engine.Abort(), iso7816::T1HostEngine::Status::kSend);
  EXPECT_EQ(host.Exchange(), iso7816::T1HostEngine::Status::kError);
  EXPECT_TRUE(host.ReceivedBlocks().back().IsS(SType::kAbort, true));
  EXPECT_EQ(link.CardCounters().t1_aborts, 1u);
  EXPECT_EQ(*link.Application().FileContent(sim::kFidLarge), before) << "nothing written";
  EXPECT_EQ(host.Transmit(Hex("0020008100")), Hex("63C3")) << host.Error();
  EXPECT_EQ(link.CardCounters().t1_invalid_blocks, 0u);
}

// PC_to_RDR_SetParameters for T=1 as the driver shapes it (bmTCCKST bits 7-2 and the
// checksum bit sent as 0) is refused at offset 11: the reader keeps what it took from
// the answer to reset. A card that starts in T=1 goes on working; one that offers T=0
// first stays in T=0.
TEST(T1ThroughReader, SetParametersAsTheDriverShapesThem) {
  CardLink t1("tpdu-basic", "t1-crc");
  ASSERT_TRUE(t1.PowerOn().Ok());
  const Answer refused = t1.SetParameters(1, {0x11, 0x00, 0x00, 0x45, 0x00, 64, 0x00});
  EXPECT_EQ(refused.Type(), 0x82);
  EXPECT_EQ(refused.Status(), 0x40);
  EXPECT_EQ(refused.Error(), 11);
  const Answer kept = t1.GetParameters();
  EXPECT_EQ(kept.Chain(), 1) << "still T=1";
  EXPECT_EQ(kept.Data()[1], 0x11) << "CRC kept";
  T1Host host(t1, 253);
  EXPECT_EQ(host.Transmit(kSelectLarge), Hex("9000")) << host.Error();

  CardLink dual("tpdu-basic", "dual");
  ASSERT_TRUE(dual.PowerOn().Ok());
  EXPECT_EQ(dual.SetParameters(1, {0x95, 0x00, 0x00, 0x53, 0x00, 128, 0x00}).Error(), 11);
  EXPECT_EQ(dual.GetParameters().Chain(), 0) << "still T=0";
  EXPECT_TRUE(dual.SelectProtocol(1).Ok()) << "bmTCCKST 0x10: accepted";
  EXPECT_EQ(dual.GetParameters().Chain(), 1);
}

}  // namespace
}  // namespace cardlink
