// The card side of T=1. Each block the reader writes gets exactly one block back:
//  - I-blocks: chained commands are acknowledged with R(N(R)); a complete command runs and
//    its answer leaves in I-blocks of at most IFSD bytes, chained when longer, after any
//    S(WTX request) the command needs;
//  - R-blocks: acknowledge the card's chained block (next part) or ask for the last block
//    again (same N(S)); any other R-block gets the last block again;
//  - S-blocks: RESYNCH resets the protocol, IFS sets IFSD, ABORT drops the chains, a WTX
//    response lets the card go on;
//  - an invalid block (bad EDC, bad length, bad PCB, wrong N(S), out of turn) gets
//    R(N(R)) with the EDC or "other" error code; the first block after reset likewise
//    gets R(0).
// Bytes written since the last read form one block; a read with a partial block behaves as
// a character waiting time-out and the partial block counts as invalid.
#include "card/transport.h"

namespace sim {
namespace {

using iso7816::Block;
using iso7816::BlockKind;
using iso7816::Bytes;
using iso7816::RCode;
using iso7816::SType;

bool IsSRequest(const std::optional<Block>& block) {
  return block && block->Kind() == BlockKind::kS && !block->IsResponse();
}

}  // namespace

void T1Transport::Reset() {
  ResetState();
  rx_.clear();
}

void T1Transport::ResetState() {
  ifsd_ = iso7816::kT1DefaultIfs;
  ifsc_ = initial_ifsc_;
  ns_ = 0;
  nr_ = 0;
  command_.clear();
  answer_.clear();
  answer_sent_ = 0;
  chunk_ = 0;
  sending_ = false;
  wtx_left_ = 0;
  awaiting_wtx_ = false;
  awaiting_ifs_ = false;
  last_sent_.reset();
  last_i_block_.reset();
}

void T1Transport::Write(iso7816::ByteView bytes) { rx_.insert(rx_.end(), bytes.begin(), bytes.end()); }

Bytes T1Transport::Read() {
  if (rx_.empty()) return {};
  const iso7816::DecodedBlock decoded = iso7816::DecodeBlock(rx_, edc_, ifsc_);
  rx_.clear();
  ++counters_.t1_blocks;
  Block reply;
  if (decoded.ok()) {
    nad_ = decoded.block.nad;
    reply = OnBlock(decoded.block);
  } else {
    reply = ErrorBlock(decoded.error == iso7816::BlockError::kBadEdc ? RCode::kEdcError : RCode::kOtherError);
  }
  if (reply.IsS(SType::kWtx, false)) ++counters_.t1_wtx_requests;
  reply.nad = ReplyNad();
  last_sent_ = reply;
  Bytes out = iso7816::EncodeBlock(reply, edc_);
  if (faults_.mute_answers > 0) {
    --faults_.mute_answers;
    return {};
  }
  if (faults_.corrupt_answers > 0) {
    --faults_.corrupt_answers;
    out.back() ^= 0x5A;
  }
  return out;
}

// The card answers with source and destination addresses swapped.
std::uint8_t T1Transport::ReplyNad() const {
  return static_cast<std::uint8_t>((nad_ & 0x07) << 4 | (nad_ >> 4 & 0x07));
}

// The answer to an invalid block: R(N(R)) with the kind of error.
Block T1Transport::ErrorBlock(RCode code) {
  ++counters_.t1_invalid_blocks;
  return Block::R(nr_, code);
}

Block T1Transport::OnBlock(const Block& block) {
  switch (block.Kind()) {
    case BlockKind::kI: return OnIBlock(block);
    case BlockKind::kR: return OnRBlock(block);
    case BlockKind::kS: return OnSBlock(block);
  }
  return ErrorBlock(RCode::kOtherError);
}

Block T1Transport::OnIBlock(const Block& block) {
  const bool chain_under_way = sending_ && last_i_block_ && last_i_block_->More();
  if (awaiting_wtx_ || awaiting_ifs_ || chain_under_way || block.Ns() != nr_) {
    return ErrorBlock(RCode::kOtherError);
  }
  sending_ = false;  // the reader's I-block acknowledges the card's last one
  nr_ ^= 1;
  command_.insert(command_.end(), block.inf.begin(), block.inf.end());
  if (block.More()) return Block::R(nr_);
  const auto apdu = iso7816::ParseApdu(command_);
  command_.clear();
  AppAnswer answer;
  if (apdu) {
    answer = app_.Process(*apdu, false);
  } else {
    answer.response = iso7816::MakeResponse(iso7816::sw::kWrongLength);
  }
  answer_ = answer.response.Encode();
  answer_sent_ = 0;
  wtx_left_ = answer.extensions;
  return StartAnswer();
}

Block T1Transport::Again(const Block& block) {
  ++counters_.t1_retransmissions;
  return block;
}

Block T1Transport::OnRBlock(const Block& block) {
  if (IsSRequest(last_sent_)) return Again(*last_sent_);  // our request was not understood
  if (sending_ && last_i_block_) {
    if (block.Nr() == last_i_block_->Ns()) return Again(*last_i_block_);
    if (last_i_block_->More()) {
      answer_sent_ += chunk_;
      return NextChunk();
    }
  }
  if (last_sent_) return Again(*last_sent_);
  return ErrorBlock(RCode::kOtherError);
}

Block T1Transport::OnSBlock(const Block& block) {
  if (!block.IsResponse()) {
    switch (block.Type()) {
      case SType::kResynch:
        ++counters_.t1_resynchs;
        ResetState();
        return Block::S(SType::kResynch, true);
      case SType::kIfs:
        ++counters_.t1_ifs_requests;
        ifsd_ = block.inf[0];
        return Block::S(SType::kIfs, true, block.inf);
      case SType::kAbort:
        ++counters_.t1_aborts;
        command_.clear();
        answer_.clear();
        answer_sent_ = 0;
        sending_ = false;
        wtx_left_ = 0;
        awaiting_wtx_ = false;
        return Block::S(SType::kAbort, true);
      default:
        return ErrorBlock(RCode::kOtherError);
    }
  }
  if (block.Type() == SType::kWtx && awaiting_wtx_) {
    awaiting_wtx_ = false;
    if (wtx_left_ > 0) --wtx_left_;
    return StartAnswer();
  }
  if (block.Type() == SType::kIfs && awaiting_ifs_ && block.inf[0] == faults_.ifs_request) {
    awaiting_ifs_ = false;
    ifsc_ = faults_.ifs_request;
    faults_.ifs_request = 0;
    return StartAnswer();
  }
  return ErrorBlock(RCode::kOtherError);
}

// Before the answer: a pending S(IFS request), then one S(WTX request) per time extension.
Block T1Transport::StartAnswer() {
  if (faults_.ifs_request != 0) {
    awaiting_ifs_ = true;
    return Block::S(SType::kIfs, false, {faults_.ifs_request});
  }
  if (wtx_left_ > 0) {
    awaiting_wtx_ = true;
    return Block::S(SType::kWtx, false, {profile_.wtx_multiplier});
  }
  return NextChunk();
}

Block T1Transport::NextChunk() {
  const std::size_t remaining = answer_.size() - answer_sent_;
  const std::size_t size = remaining < ifsd_ ? remaining : ifsd_;
  const auto begin = answer_.begin() + static_cast<std::ptrdiff_t>(answer_sent_);
  Block block = Block::I(ns_, remaining > ifsd_, Bytes(begin, begin + static_cast<std::ptrdiff_t>(size)));
  ns_ ^= 1;
  chunk_ = size;
  sending_ = true;
  last_i_block_ = block;
  if (faults_.wrong_sequence > 0) {
    --faults_.wrong_sequence;
    block.pcb ^= 0x40;  // sent with the wrong N(S); a retransmission is correct
  }
  return block;
}

}  // namespace sim
