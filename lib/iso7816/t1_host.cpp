#include "iso7816/t1_host.h"

namespace iso7816 {

T1HostEngine::T1HostEngine(T1HostConfig config) : config_(config), ifsc_(config.ifsc) {
  if (ifsc_ == 0 || ifsc_ > kT1MaxInf) ifsc_ = kT1DefaultIfs;
  if (config_.ifsd == 0 || config_.ifsd > kT1MaxInf) config_.ifsd = kT1MaxInf;
}

void T1HostEngine::Reset() {
  phase_ = Phase::kIdle;
  ifsc_ = config_.ifsc == 0 || config_.ifsc > kT1MaxInf ? kT1DefaultIfs : config_.ifsc;
  ifsd_ = kT1DefaultIfs;
  ifsd_announced_ = false;
  ns_ = 0;
  nr_ = 0;
  wtx_ = 0;
}

T1HostEngine::Status T1HostEngine::Fail(std::string reason) {
  phase_ = Phase::kFailed;
  error_ = std::move(reason);
  return Status::kError;
}

T1HostEngine::Status T1HostEngine::Send(Block block) {
  block.nad = config_.nad;
  last_ = block;
  encoded_ = EncodeBlock(block, config_.edc);
  return Status::kSend;
}

T1HostEngine::Status T1HostEngine::Begin(ByteView apdu) {
  if (apdu.empty()) return Fail("empty command");
  command_.assign(apdu.begin(), apdu.end());
  error_.clear();
  response_.clear();
  resynchs_ = 0;
  return StartCommand();
}

T1HostEngine::Status T1HostEngine::BeginWithResynch(ByteView apdu) {
  if (apdu.empty()) return Fail("empty command");
  command_.assign(apdu.begin(), apdu.end());
  error_.clear();
  response_.clear();
  resynchs_ = 0;
  sent_ = 0;
  received_.clear();
  wtx_ = 0;
  return Resynchronise();
}

// From the first byte of the command: announce IFSD first when the session has not.
T1HostEngine::Status T1HostEngine::StartCommand() {
  sent_ = 0;
  received_.clear();
  retries_ = 0;
  wtx_ = 0;
  const bool announce = !config_.skip_ifs && (config_.always_send_ifs || config_.ifsd != kT1DefaultIfs);
  if (!ifsd_announced_ && announce) {
    phase_ = Phase::kIfs;
    return Send(Block::S(SType::kIfs, false, {config_.ifsd}));
  }
  return SendI();
}

T1HostEngine::Status T1HostEngine::SendI() {
  const std::size_t remaining = command_.size() - sent_;
  chunk_ = remaining < ifsc_ ? remaining : ifsc_;
  const bool more = remaining > ifsc_;
  const auto begin = command_.begin() + static_cast<std::ptrdiff_t>(sent_);
  last_i_ = Block::I(ns_, more, Bytes(begin, begin + static_cast<std::ptrdiff_t>(chunk_)), config_.nad);
  phase_ = more ? Phase::kSendingChain : Phase::kAwaitAnswer;
  return Send(last_i_);
}

T1HostEngine::Status T1HostEngine::Abort() {
  if (phase_ != Phase::kSendingChain && phase_ != Phase::kReceivingChain) return Fail("no chain to abort");
  phase_ = Phase::kAbort;
  retries_ = 0;
  return Send(Block::S(SType::kAbort, false));
}

T1HostEngine::Status T1HostEngine::OnBlock(ByteView bytes) {
  wtx_ = 0;
  switch (phase_) {
    case Phase::kIdle:
    case Phase::kDone:
    case Phase::kFailed:
      return Fail("no command under way");
    case Phase::kAborted:
      return Fail("chain aborted by the card");
    default:
      break;
  }
  if (bytes.empty()) return OnInvalid(RCode::kOtherError, "no block within the waiting time");
  const DecodedBlock decoded = DecodeBlock(bytes, config_.edc, ifsd_);
  if (!decoded.ok()) {
    return OnInvalid(decoded.error == BlockError::kBadEdc ? RCode::kEdcError : RCode::kOtherError,
                     BlockErrorText(decoded.error).data());
  }
  switch (decoded.block.Kind()) {
    case BlockKind::kI: return OnI(decoded.block);
    case BlockKind::kR: return OnR(decoded.block);
    case BlockKind::kS: return OnS(decoded.block);
  }
  return OnInvalid(RCode::kOtherError, "unknown block");
}

// An invalid block or silence: repeat the S request under way, else ask for the expected
// I-block with an R-block; too many in a row lead to resynchronisation.
T1HostEngine::Status T1HostEngine::OnInvalid(RCode code, const char* what) {
  if (phase_ == Phase::kResynch) return Resynchronise();
  if (++retries_ > config_.max_retries) return Resynchronise();
  ++retransmissions_;
  error_ = what;
  if (phase_ == Phase::kIfs || phase_ == Phase::kAbort) return Send(last_);
  return Send(Block::R(nr_, code));
}

T1HostEngine::Status T1HostEngine::Retransmit(Block block) {
  if (++retries_ > config_.max_retries) return Resynchronise();
  ++retransmissions_;
  return Send(std::move(block));
}

T1HostEngine::Status T1HostEngine::Resynchronise() {
  if (++resynchs_ > config_.max_resynchs) {
    return Fail("card does not answer correctly, even after resynchronisation");
  }
  ++resynchs_total_;
  retries_ = 0;
  phase_ = Phase::kResynch;
  return Send(Block::S(SType::kResynch, false));
}

T1HostEngine::Status T1HostEngine::OnI(const Block& block) {
  if (phase_ != Phase::kAwaitAnswer && phase_ != Phase::kReceivingChain) {
    return OnInvalid(RCode::kOtherError, "I-block out of turn");
  }
  if (block.Ns() != nr_) return OnInvalid(RCode::kOtherError, "I-block with the wrong N(S)");
  if (phase_ == Phase::kAwaitAnswer) ns_ ^= 1;  // the card's I-block acknowledges ours
  nr_ ^= 1;
  retries_ = 0;
  received_.insert(received_.end(), block.inf.begin(), block.inf.end());
  if (block.More()) {
    phase_ = Phase::kReceivingChain;
    return Send(Block::R(nr_));
  }
  phase_ = Phase::kDone;
  response_ = std::move(received_);
  received_.clear();
  error_.clear();
  return Status::kDone;
}

T1HostEngine::Status T1HostEngine::OnR(const Block& block) {
  switch (phase_) {
    case Phase::kSendingChain:
      if (block.Nr() != last_i_.Ns()) {  // acknowledges our chained block: next part
        ns_ ^= 1;
        sent_ += chunk_;
        retries_ = 0;
        return SendI();
      }
      return Retransmit(last_i_);
    case Phase::kAwaitAnswer:
      if (block.Nr() == last_i_.Ns()) return Retransmit(last_i_);
      return OnInvalid(RCode::kOtherError, "R-block acknowledging an unchained block");
    case Phase::kReceivingChain:
    case Phase::kIfs:
    case Phase::kAbort:
      return Retransmit(last_);  // the card did not understand our last block
    case Phase::kResynch:
      return Resynchronise();
    default:
      return OnInvalid(RCode::kOtherError, "R-block out of turn");
  }
}

T1HostEngine::Status T1HostEngine::OnS(const Block& block) {
  if (!block.IsResponse()) {
    switch (block.Type()) {
      case SType::kWtx: {
        if (phase_ != Phase::kAwaitAnswer && phase_ != Phase::kReceivingChain &&
            phase_ != Phase::kSendingChain) {
          return OnInvalid(RCode::kOtherError, "S(WTX request) out of turn");
        }
        ++wtx_requests_;
        retries_ = 0;
        const std::uint8_t multiplier = block.inf[0];
        Send(Block::S(SType::kWtx, true, block.inf));
        wtx_ = multiplier;
        return Status::kSend;
      }
      case SType::kIfs:
        ifsc_ = block.inf[0];
        retries_ = 0;
        return Send(Block::S(SType::kIfs, true, block.inf));
      case SType::kAbort:
        phase_ = Phase::kAborted;
        error_ = "chain aborted by the card";
        return Send(Block::S(SType::kAbort, true));
      default:
        return OnInvalid(RCode::kOtherError, "S request the card may not send");
    }
  }
  switch (block.Type()) {
    case SType::kIfs:
      if (phase_ != Phase::kIfs || block.inf[0] != config_.ifsd) {
        return OnInvalid(RCode::kOtherError, "unexpected S(IFS response)");
      }
      ifsd_ = config_.ifsd;
      ifsd_announced_ = true;
      retries_ = 0;
      return SendI();
    case SType::kResynch:
      if (phase_ != Phase::kResynch) return OnInvalid(RCode::kOtherError, "unexpected S(RESYNCH response)");
      ns_ = 0;
      nr_ = 0;
      ifsc_ = config_.ifsc == 0 || config_.ifsc > kT1MaxInf ? kT1DefaultIfs : config_.ifsc;
      ifsd_ = kT1DefaultIfs;
      ifsd_announced_ = false;
      return StartCommand();
    case SType::kAbort:
      if (phase_ != Phase::kAbort) return OnInvalid(RCode::kOtherError, "unexpected S(ABORT response)");
      return Fail("chain aborted");
    default:
      return OnInvalid(RCode::kOtherError, "unexpected S response");
  }
}

}  // namespace iso7816
