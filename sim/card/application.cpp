#include "card/application.h"

namespace sim {
namespace {

using iso7816::Apdu;
using iso7816::Bytes;
using iso7816::ByteView;
using iso7816::MakeResponse;
using iso7816::Response;
namespace sw = iso7816::sw;

constexpr std::uint8_t kSelectByFid = 0x00;
constexpr std::uint8_t kSelectChildDf = 0x01;
constexpr std::uint8_t kSelectChildEf = 0x02;
constexpr std::uint8_t kSelectParent = 0x03;
constexpr std::uint8_t kSelectByName = 0x04;
constexpr std::uint8_t kSelectPathFromMf = 0x08;
constexpr std::uint8_t kSelectNoData = 0x0C;
constexpr std::uint8_t kVerifyDeauthenticate = 0xFF;
constexpr std::size_t kSignatureLength = 32;
constexpr std::size_t kMaxAuthenticateInput = 128;

Response Status(std::uint16_t status) { return MakeResponse(status); }

std::uint16_t Fid(ByteView data, std::size_t at) {
  return static_cast<std::uint16_t>(data[at] << 8 | data[at + 1]);
}

Bytes Pattern(std::size_t size, std::uint8_t seed) {
  Bytes out(size);
  for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<std::uint8_t>(i * 7 + seed);
  return out;
}

// 61xx / 6Cxx with the count coded in one byte (0 meaning 256 or more).
std::uint16_t CountStatus(std::uint8_t sw1, std::size_t count) {
  return static_cast<std::uint16_t>(sw1 << 8 | (count >= 256 ? 0 : count));
}

}  // namespace

CardApplication::CardApplication(const CardProfile& profile)
    : profile_(profile),
      pin_{profile.pin, profile.pin_tries, profile.pin_tries},
      puk_{profile.puk, profile.puk_tries, profile.puk_tries},
      random_state_(0x2545F491u) {
  for (char c : profile.name) random_state_ = random_state_ * 31 + static_cast<std::uint8_t>(c);
  if (random_state_ == 0) random_state_ = 1;
  Bytes dir = {0x61, static_cast<std::uint8_t>(kAppAid.size() + 2 + 9), 0x4F,
               static_cast<std::uint8_t>(kAppAid.size())};
  dir.insert(dir.end(), kAppAid.begin(), kAppAid.end());
  const Bytes label = {0x50, 0x07, 'C', 'C', 'I', 'D', 'S', 'I', 'M'};
  dir.insert(dir.end(), label.begin(), label.end());
  files_ = {
      {kFidMf, 0, true, {}, 0, {}, false, false},
      {kFidDir, kFidMf, false, {}, 0x1E, dir, false, false},
      {kFidAppDf, kFidMf, true, kAppAid, 0, {}, false, false},
      {kFidData, kFidAppDf, false, {}, 1, Pattern(256, 0x00), false, true},
      {kFidLarge, kFidAppDf, false, {}, 2, Pattern(4096, 0x55), false, false},
      {kFidPrivate, kFidAppDf, false, {}, 3, Pattern(32, 0xA0), true, false},
  };
}

void CardApplication::ResetSession() {
  current_df_ = kFidMf;
  current_ef_.reset();
  pin_verified_ = false;
  pending_.clear();
  envelope_.clear();
}

bool CardApplication::CommandSendsData(std::uint8_t ins) const {
  if (backend_ != nullptr) {
    switch (ins) {
      case 0x0E:  // ERASE BINARY
      case 0x22:  // MANAGE SECURITY ENVIRONMENT
      case 0x2A:  // PERFORM SECURITY OPERATION
      case 0x82:  // EXTERNAL AUTHENTICATE
      case 0x86:  // GENERAL AUTHENTICATE
      case 0xA2:  // SEARCH RECORD
      case 0xD0:  // WRITE BINARY
      case 0xD2:  // WRITE RECORD
      case 0xDA:  // PUT DATA
      case 0xDB:  // PUT DATA
      case 0xDC:  // UPDATE RECORD
      case 0xE0:  // CREATE FILE
      case 0xE2:  // APPEND RECORD
        return true;
      default:
        break;
    }
  }
  switch (ins) {
    case kInsSelect:
    case kInsUpdateBinary:
    case kInsVerify:
    case kInsChangeReferenceData:
    case kInsResetRetryCounter:
    case kInsInternalAuthenticate:
    case kInsEnvelope:
      return true;
    default:
      return false;
  }
}

void CardApplication::SetPendingResponse(Bytes data) { pending_ = std::move(data); }

std::optional<Bytes> CardApplication::FileContent(std::uint16_t fid) const {
  const File* file = FindFile(fid);
  if (file == nullptr || file->is_df) return std::nullopt;
  return file->content;
}

AppAnswer CardApplication::Process(const Apdu& apdu, bool strict_le) {
  if (backend_ != nullptr) return ProcessOnBackend(apdu, strict_le);
  if (apdu.ins != kInsGetResponse) pending_.clear();
  AppAnswer answer;
  if (const auto refused = CheckCommandForm(apdu)) {
    answer.response = Status(*refused);
  } else {
    answer = Dispatch(apdu, strict_le);
  }
  answer.extensions += profile_.busy_extensions;
  return answer;
}

// A command for the backend. GET RESPONSE for data the T=0 side holds back is answered
// here; under T=0 (`strict_le`) an answer whose length is not the Le asked for becomes
// 6Cxx with the right length, as a T=0 card answers, and the reader asks again.
AppAnswer CardApplication::ProcessOnBackend(const Apdu& apdu, bool strict_le) {
  AppAnswer answer;
  if (apdu.ins == kInsGetResponse && !pending_.empty()) {
    answer.response = GetResponse(apdu, strict_le);
    return answer;
  }
  pending_.clear();
  const std::optional<Bytes> command = iso7816::BuildApdu(apdu);
  const std::optional<Bytes> reply = command ? backend_->Transmit(*command) : std::nullopt;
  const std::optional<Response> response = reply ? iso7816::ParseResponse(*reply) : std::nullopt;
  if (!response) {
    answer.response = MakeResponse(0x6F00);  // no precise diagnosis: the card is gone or answered nothing
    return answer;
  }
  answer.response = *response;
  if (strict_le && apdu.ne != 0 && !response->data.empty() && response->data.size() != apdu.ne &&
      response->data.size() < 256)
    answer.response = MakeResponse(CountStatus(0x6C, response->data.size()));
  return answer;
}

// The class byte: only interindustry class 0x00 on the basic channel, without secure
// messaging or command chaining; extended lengths only where the profile has them.
std::optional<std::uint16_t> CardApplication::CheckCommandForm(const Apdu& apdu) const {
  const std::uint8_t cla = apdu.cla;
  if ((cla & 0x80) != 0 || ((cla & 0x20) != 0 && (cla & 0x40) == 0)) return sw::kClaNotSupported;
  if ((cla & 0x40) != 0 || (cla & 0x03) != 0) return sw::kLogicalChannelNotSupported;
  if ((cla & 0x0C) != 0) return sw::kSecureMessagingNotSupported;
  if ((cla & 0x10) != 0) return sw::kChainingNotSupported;
  if (apdu.extended && !profile_.extended_apdu) return sw::kWrongLength;
  return std::nullopt;
}

AppAnswer CardApplication::Dispatch(const Apdu& apdu, bool strict_le) {
  AppAnswer answer;
  switch (apdu.ins) {
    case kInsSelect: answer.response = Select(apdu); break;
    case kInsReadBinary: answer.response = ReadBinary(apdu, strict_le); break;
    case kInsUpdateBinary: answer.response = UpdateBinary(apdu); break;
    case kInsVerify: answer.response = Verify(apdu); break;
    case kInsChangeReferenceData: answer.response = ChangeReferenceData(apdu); break;
    case kInsResetRetryCounter: answer.response = ResetRetryCounter(apdu); break;
    case kInsGetChallenge: answer.response = GetChallenge(apdu); break;
    case kInsGetResponse: answer.response = GetResponse(apdu, strict_le); break;
    case kInsInternalAuthenticate:
      answer.response = InternalAuthenticate(apdu);
      answer.extensions = profile_.slow_extensions;
      break;
    case kInsEnvelope: return Envelope(apdu, strict_le);
    default: answer.response = Status(sw::kInsNotSupported); break;
  }
  return answer;
}

CardApplication::File* CardApplication::FindFile(std::uint16_t fid) {
  for (File& file : files_) {
    if (file.fid == fid) return &file;
  }
  return nullptr;
}

const CardApplication::File* CardApplication::FindFile(std::uint16_t fid) const {
  for (const File& file : files_) {
    if (file.fid == fid) return &file;
  }
  return nullptr;
}

Bytes CardApplication::Fcp(const File& file) const {
  Bytes body;
  if (!file.is_df) {
    const std::size_t size = file.content.size();
    body.insert(body.end(), {0x80, 0x02, static_cast<std::uint8_t>(size >> 8),
                             static_cast<std::uint8_t>(size & 0xFF)});
  }
  body.insert(body.end(), {0x82, 0x01, static_cast<std::uint8_t>(file.is_df ? 0x38 : 0x01)});
  body.insert(body.end(), {0x83, 0x02, static_cast<std::uint8_t>(file.fid >> 8),
                           static_cast<std::uint8_t>(file.fid & 0xFF)});
  if (!file.name.empty()) {
    body.push_back(0x84);
    body.push_back(static_cast<std::uint8_t>(file.name.size()));
    body.insert(body.end(), file.name.begin(), file.name.end());
  }
  if (file.sfi != 0) body.insert(body.end(), {0x88, 0x01, static_cast<std::uint8_t>(file.sfi << 3)});
  body.insert(body.end(), {0x8A, 0x01, 0x05});  // life cycle: operational, activated
  Bytes fcp = {0x62, static_cast<std::uint8_t>(body.size())};
  fcp.insert(fcp.end(), body.begin(), body.end());
  return fcp;
}

// SELECT: by file identifier (P1 00, 01, 02), parent (03), DF name (04, right-truncated
// names allowed) or path from the MF (08). P2: FCI/FCP/FMD (all answered with the FCP)
// or no data (0C); only the first occurrence.
Response CardApplication::Select(const Apdu& apdu) {
  if ((apdu.p2 & ~kSelectNoData) != 0) return Status(sw::kIncorrectP1P2);
  const File* found = nullptr;
  const ByteView data = apdu.data;
  switch (apdu.p1) {
    case kSelectByFid:
      if (data.empty()) {
        found = FindFile(kFidMf);
        break;
      }
      [[fallthrough]];
    case kSelectChildDf:
    case kSelectChildEf: {
      if (data.size() != 2) return Status(sw::kWrongLength);
      const std::uint16_t fid = Fid(data, 0);
      const File* file = FindFile(fid);
      const File* current = FindFile(current_df_);
      const bool reachable =
          file != nullptr && (fid == kFidMf || file->parent == current_df_ ||
                              fid == current_df_ || (current && fid == current->parent));
      const bool kind_ok = apdu.p1 == kSelectByFid ||
                           (apdu.p1 == kSelectChildDf ? file && file->is_df : file && !file->is_df);
      if (reachable && kind_ok) found = file;
      break;
    }
    case kSelectParent: {
      if (!data.empty()) return Status(sw::kWrongLength);
      const File* current = FindFile(current_df_);
      found = current->parent != 0 ? FindFile(current->parent) : nullptr;
      break;
    }
    case kSelectByName:
      if (data.empty()) return Status(sw::kWrongLength);
      for (const File& file : files_) {
        if (file.is_df && file.name.size() >= data.size() &&
            std::equal(data.begin(), data.end(), file.name.begin())) {
          found = &file;
          break;
        }
      }
      break;
    case kSelectPathFromMf: {
      if (data.empty() || data.size() % 2 != 0) return Status(sw::kWrongLength);
      std::uint16_t parent = kFidMf;
      for (std::size_t at = 0; at < data.size(); at += 2) {
        const File* file = FindFile(Fid(data, at));
        if (file == nullptr || file->parent != parent) return Status(sw::kFileNotFound);
        found = file;
        parent = file->fid;
      }
      break;
    }
    default:
      return Status(sw::kIncorrectP1P2);
  }
  if (found == nullptr) return Status(sw::kFileNotFound);
  if (found->is_df) {
    current_df_ = found->fid;
    current_ef_.reset();
  } else {
    current_df_ = found->parent;
    current_ef_ = found->fid;
  }
  if ((apdu.p2 & kSelectNoData) == kSelectNoData || apdu.ne == 0) return Status(sw::kOk);
  Bytes fcp = Fcp(*found);
  if (fcp.size() > apdu.ne) fcp.resize(apdu.ne);
  return MakeResponse(sw::kOk, std::move(fcp));
}

// The EF a READ/UPDATE BINARY names: by SFI in P1 (100x xxxx, offset in P2) or the
// current EF (15-bit offset in P1 P2).
CardApplication::File* CardApplication::FileForAccess(const Apdu& apdu, std::size_t& offset,
                                                      std::uint16_t& status) {
  File* file = nullptr;
  if ((apdu.p1 & 0x80) != 0) {
    if ((apdu.p1 & 0x60) != 0) {
      status = sw::kIncorrectP1P2;
      return nullptr;
    }
    const std::uint8_t sfi = apdu.p1 & 0x1F;
    for (File& candidate : files_) {
      if (!candidate.is_df && candidate.sfi == sfi && candidate.parent == current_df_) file = &candidate;
    }
    if (file == nullptr) {
      status = sw::kFileNotFound;
      return nullptr;
    }
    current_ef_ = file->fid;
    offset = apdu.p2;
  } else {
    if (!current_ef_) {
      status = sw::kNoCurrentEf;
      return nullptr;
    }
    file = FindFile(*current_ef_);
    offset = static_cast<std::size_t>(apdu.p1) << 8 | apdu.p2;
  }
  return file;
}

Response CardApplication::ReadBinary(const Apdu& apdu, bool strict_le) {
  if (!apdu.data.empty() || apdu.ne == 0) return Status(sw::kWrongLength);
  std::size_t offset = 0;
  std::uint16_t status = sw::kOk;
  const File* file = FileForAccess(apdu, offset, status);
  if (file == nullptr) return Status(status);
  if (file->read_needs_pin && !pin_verified_) return Status(sw::kSecurityNotSatisfied);
  if (offset >= file->content.size()) return Status(sw::kWrongP1P2);
  const std::size_t available = file->content.size() - offset;
  if (strict_le && apdu.ne > available) return Status(CountStatus(0x6C, available));
  const std::size_t n = apdu.ne < available ? apdu.ne : available;
  const auto begin = file->content.begin() + static_cast<std::ptrdiff_t>(offset);
  Bytes out(begin, begin + static_cast<std::ptrdiff_t>(n));
  const bool short_read = n < apdu.ne && !apdu.LeIsMaximum();
  return MakeResponse(short_read ? sw::kEndOfFile : sw::kOk, std::move(out));
}

Response CardApplication::UpdateBinary(const Apdu& apdu) {
  if (apdu.data.empty()) return Status(sw::kWrongLength);
  std::size_t offset = 0;
  std::uint16_t status = sw::kOk;
  File* file = FileForAccess(apdu, offset, status);
  if (file == nullptr) return Status(status);
  if (file->update_needs_pin && !pin_verified_) return Status(sw::kSecurityNotSatisfied);
  if (offset >= file->content.size()) return Status(sw::kWrongP1P2);
  if (offset + apdu.data.size() > file->content.size()) return Status(sw::kNotEnoughMemory);
  std::copy(apdu.data.begin(), apdu.data.end(),
            file->content.begin() + static_cast<std::ptrdiff_t>(offset));
  return Status(sw::kOk);
}

std::optional<std::string> CardApplication::TakePin(ByteView data, std::size_t& offset,
                                                    std::size_t digits_hint) const {
  const PinFormat& format = profile_.pin_format;
  std::size_t size = format.block_size;
  if (size == 0) {
    // Unpadded: this block is the digits of the stored secret, or the rest of the data.
    const std::size_t remaining = data.size() - offset;
    size = digits_hint == 0 ? remaining
                            : (format.encoding == PinEncoding::kAscii ? digits_hint : (digits_hint + 1) / 2) +
                                  (format.length_field == PinLengthField::kNone ? 0 : 1);
  }
  if (offset + size > data.size() || size == 0) return std::nullopt;
  const auto pin = DecodePin(format, data.subspan(offset, size));
  offset += size;
  return pin;
}

// VERIFY: P1 00 with the PIN block (or none, to read the counter), P1 FF to drop the
// verified state. A wrong PIN costs one try (63Cx, x tries left); at zero the PIN is
// blocked (6983). A block that does not follow the card's PIN format is refused with 6A80
// and costs nothing: it cannot be a guess.
Response CardApplication::Verify(const Apdu& apdu) {
  if (apdu.p2 != profile_.pin_reference) return Status(sw::kReferenceNotFound);
  if (apdu.p1 == kVerifyDeauthenticate && apdu.data.empty()) {
    pin_verified_ = false;
    return Status(sw::kOk);
  }
  if (apdu.p1 != 0) return Status(sw::kIncorrectP1P2);
  if (pin_.tries_left == 0) return Status(sw::kAuthMethodBlocked);
  if (apdu.data.empty()) {
    if (pin_verified_) return Status(sw::kOk);
    return Status(static_cast<std::uint16_t>(0x63C0 | pin_.tries_left));
  }
  std::size_t offset = 0;
  const auto pin = TakePin(apdu.data, offset, 0);
  if (!pin || offset != apdu.data.size()) return Status(sw::kWrongData);
  if (*pin != pin_.value) {
    pin_verified_ = false;
    --pin_.tries_left;
    return Status(static_cast<std::uint16_t>(0x63C0 | pin_.tries_left));
  }
  pin_.tries_left = pin_.max_tries;
  pin_verified_ = true;
  return Status(sw::kOk);
}

// CHANGE REFERENCE DATA: P1 00 old and new PIN, P1 01 new PIN only after verification.
Response CardApplication::ChangeReferenceData(const Apdu& apdu) {
  if (apdu.p2 != profile_.pin_reference) return Status(sw::kReferenceNotFound);
  if (apdu.p1 > 1) return Status(sw::kIncorrectP1P2);
  if (apdu.data.empty()) return Status(sw::kWrongLength);
  if (pin_.tries_left == 0) return Status(sw::kAuthMethodBlocked);
  if (apdu.p1 == 1 && !pin_verified_) return Status(sw::kSecurityNotSatisfied);
  std::size_t offset = 0;
  std::optional<std::string> old_pin;
  if (apdu.p1 == 0) {
    old_pin = TakePin(apdu.data, offset, pin_.value.size());
    if (!old_pin) return Status(sw::kWrongData);
  }
  const auto new_pin = TakePin(apdu.data, offset, 0);
  if (!new_pin || offset != apdu.data.size()) return Status(sw::kWrongData);
  if (old_pin && *old_pin != pin_.value) {
    pin_verified_ = false;
    --pin_.tries_left;
    return Status(static_cast<std::uint16_t>(0x63C0 | pin_.tries_left));
  }
  pin_.value = *new_pin;
  pin_.tries_left = pin_.max_tries;
  pin_verified_ = true;
  return Status(sw::kOk);
}

// RESET RETRY COUNTER: P1 00 PUK and new PIN, P1 01 PUK only. The PUK has its own counter.
Response CardApplication::ResetRetryCounter(const Apdu& apdu) {
  if (apdu.p2 != profile_.pin_reference) return Status(sw::kReferenceNotFound);
  if (apdu.p1 > 1) return Status(sw::kIncorrectP1P2);
  if (apdu.data.empty()) return Status(sw::kWrongLength);
  if (puk_.tries_left == 0) return Status(sw::kAuthMethodBlocked);
  std::size_t offset = 0;
  const auto puk = TakePin(apdu.data, offset, apdu.p1 == 0 ? puk_.value.size() : 0);
  if (!puk) return Status(sw::kWrongData);
  std::optional<std::string> new_pin;
  if (apdu.p1 == 0) {
    new_pin = TakePin(apdu.data, offset, 0);
    if (!new_pin) return Status(sw::kWrongData);
  }
  if (offset != apdu.data.size()) return Status(sw::kWrongData);
  if (*puk != puk_.value) {
    --puk_.tries_left;
    return Status(static_cast<std::uint16_t>(0x63C0 | puk_.tries_left));
  }
  puk_.tries_left = puk_.max_tries;
  pin_.tries_left = pin_.max_tries;
  if (new_pin) pin_.value = *new_pin;
  pin_verified_ = false;
  return Status(sw::kOk);
}

Response CardApplication::GetChallenge(const Apdu& apdu) {
  if (apdu.p1 != 0 || apdu.p2 != 0) return Status(sw::kIncorrectP1P2);
  if (!apdu.data.empty() || apdu.ne == 0) return Status(sw::kWrongLength);
  Bytes out(apdu.ne);
  for (auto& byte : out) byte = NextRandom();
  return MakeResponse(sw::kOk, std::move(out));
}

// GET RESPONSE: hands out the data a previous command left; 61xx while more remains,
// 6Cxx (nothing consumed) when Le asks for more than there is and must be exact.
Response CardApplication::GetResponse(const Apdu& apdu, bool strict_le) {
  if (apdu.p1 != 0 || apdu.p2 != 0) return Status(sw::kIncorrectP1P2);
  if (pending_.empty()) return Status(sw::kConditionsNotSatisfied);
  if (apdu.ne == 0) return Status(sw::kWrongLength);
  const std::size_t remaining = pending_.size();
  if (apdu.ne < remaining) {
    Bytes out(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(apdu.ne));
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(apdu.ne));
    return MakeResponse(CountStatus(0x61, pending_.size()), std::move(out));
  }
  if (apdu.ne > remaining && (strict_le || !apdu.LeIsMaximum())) {
    return Status(CountStatus(0x6C, remaining));
  }
  Bytes out = std::move(pending_);
  pending_.clear();
  return MakeResponse(sw::kOk, std::move(out));
}

// INTERNAL AUTHENTICATE: a 32-byte keyed digest of the challenge; the slow operation.
Response CardApplication::InternalAuthenticate(const Apdu& apdu) {
  if (apdu.p1 != 0 || apdu.p2 != 0) return Status(sw::kIncorrectP1P2);
  if (apdu.data.empty() || apdu.data.size() > kMaxAuthenticateInput) return Status(sw::kWrongLength);
  Bytes out(kSignatureLength);
  std::uint32_t h = 0x811C9DC5u;
  for (std::size_t i = 0; i < out.size(); ++i) {
    for (std::uint8_t byte : apdu.data) h = (h ^ byte) * 0x01000193u;
    h = (h ^ static_cast<std::uint32_t>(i)) * 0x01000193u;
    out[i] = static_cast<std::uint8_t>(h >> 24);
  }
  if (apdu.ne == 0) return Status(sw::kOk);
  if (out.size() > apdu.ne) out.resize(apdu.ne);
  return MakeResponse(sw::kOk, std::move(out));
}

// ENVELOPE: pieces of a command APDU too long for T=0; the command runs when complete.
AppAnswer CardApplication::Envelope(const Apdu& apdu, bool strict_le) {
  AppAnswer answer;
  if (apdu.data.empty()) {
    answer.response = Status(sw::kWrongLength);
    return answer;
  }
  envelope_.insert(envelope_.end(), apdu.data.begin(), apdu.data.end());
  const auto inner = iso7816::ParseApdu(envelope_);
  if (!inner) {
    const bool too_long = envelope_.size() > iso7816::kExtendedMaxNc + 9;
    if (too_long) envelope_.clear();
    answer.response = Status(too_long ? sw::kWrongLength : sw::kOk);
    return answer;
  }
  envelope_.clear();
  if (inner->ins == kInsEnvelope) {
    answer.response = Status(sw::kConditionsNotSatisfied);
    return answer;
  }
  if (const auto refused = CheckCommandForm(*inner)) {
    answer.response = Status(*refused);
    return answer;
  }
  return Dispatch(*inner, strict_le);
}

std::uint8_t CardApplication::NextRandom() {
  random_state_ ^= random_state_ << 13;
  random_state_ ^= random_state_ >> 17;
  random_state_ ^= random_state_ << 5;
  return static_cast<std::uint8_t>(random_state_ >> 24);
}

}  // namespace sim
