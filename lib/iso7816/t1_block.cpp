#include "iso7816/t1_block.h"

#include <cstdio>

namespace iso7816 {
namespace {

constexpr std::uint8_t kPcbRBlock = 0x80;
constexpr std::uint8_t kPcbSBlock = 0xC0;
constexpr std::uint8_t kPcbMore = 0x20;

// The information field each S-block may carry: IFS and WTX carry one byte, the others none.
BlockError CheckSBlock(const Block& block) {
  const auto type = static_cast<std::uint8_t>(block.Type());
  if (type > static_cast<std::uint8_t>(SType::kVppError)) return BlockError::kBadPcb;
  if (block.Type() == SType::kVppError && !block.IsResponse()) return BlockError::kBadPcb;
  switch (block.Type()) {
    case SType::kIfs:
      if (block.inf.size() != 1 || block.inf[0] == 0 || block.inf[0] == 0xFF) {
        return BlockError::kBadInf;
      }
      return BlockError::kNone;
    case SType::kWtx:
      return block.inf.size() == 1 ? BlockError::kNone : BlockError::kBadInf;
    default:
      return block.inf.empty() ? BlockError::kNone : BlockError::kBadInf;
  }
}

BlockError CheckPcb(const Block& block) {
  switch (block.Kind()) {
    case BlockKind::kI:
      return (block.pcb & 0x1F) != 0 ? BlockError::kBadPcb : BlockError::kNone;
    case BlockKind::kR:
      if ((block.pcb & 0x20) != 0 || (block.pcb & 0x0F) > 2) return BlockError::kBadPcb;
      return block.inf.empty() ? BlockError::kNone : BlockError::kBadInf;
    case BlockKind::kS:
      return CheckSBlock(block);
  }
  return BlockError::kBadPcb;
}

}  // namespace

Block Block::I(int ns, bool more, Bytes inf, std::uint8_t nad) {
  const auto pcb = static_cast<std::uint8_t>((ns & 1) << 6 | (more ? kPcbMore : 0));
  return Block{nad, pcb, std::move(inf)};
}

Block Block::R(int nr, RCode code, std::uint8_t nad) {
  const auto pcb =
      static_cast<std::uint8_t>(kPcbRBlock | (nr & 1) << 4 | static_cast<std::uint8_t>(code));
  return Block{nad, pcb, {}};
}

Block Block::S(SType type, bool response, Bytes inf, std::uint8_t nad) {
  const auto pcb = static_cast<std::uint8_t>(kPcbSBlock | (response ? kPcbMore : 0) |
                                             static_cast<std::uint8_t>(type));
  return Block{nad, pcb, std::move(inf)};
}

BlockKind Block::Kind() const {
  if ((pcb & 0x80) == 0) return BlockKind::kI;
  return (pcb & 0x40) == 0 ? BlockKind::kR : BlockKind::kS;
}

std::string_view BlockErrorText(BlockError error) {
  switch (error) {
    case BlockError::kNone: return "valid";
    case BlockError::kTooShort: return "block shorter than prologue and epilogue";
    case BlockError::kLengthMismatch: return "LEN does not match the block length";
    case BlockError::kBadEdc: return "wrong EDC";
    case BlockError::kReservedLen: return "LEN 255 is reserved";
    case BlockError::kInfTooLong: return "information field longer than the receiver's IFS";
    case BlockError::kBadPcb: return "reserved PCB coding";
    case BlockError::kBadInf: return "information field not allowed for this block";
  }
  return "unknown";
}

Bytes EncodeBlock(const Block& block, Edc edc) {
  Bytes out;
  out.reserve(kT1PrologueLength + block.inf.size() + EdcLength(edc));
  out.push_back(block.nad);
  out.push_back(block.pcb);
  out.push_back(static_cast<std::uint8_t>(block.inf.size()));
  out.insert(out.end(), block.inf.begin(), block.inf.end());
  const Bytes epilogue = ComputeEdc(edc, out);
  out.insert(out.end(), epilogue.begin(), epilogue.end());
  return out;
}

DecodedBlock DecodeBlock(ByteView bytes, Edc edc, std::size_t max_inf) {
  DecodedBlock result;
  const std::size_t epilogue = EdcLength(edc);
  if (bytes.size() < kT1PrologueLength + epilogue) {
    result.error = BlockError::kTooShort;
    return result;
  }
  // The EDC is judged first: with a corrupted block nothing else can be trusted.
  if (!EdcValid(edc, bytes)) {
    result.error = BlockError::kBadEdc;
    return result;
  }
  const std::size_t len = bytes[2];
  if (bytes.size() != kT1PrologueLength + len + epilogue) {
    result.error = BlockError::kLengthMismatch;
    return result;
  }
  if (len == 0xFF) {
    result.error = BlockError::kReservedLen;
    return result;
  }
  result.block.nad = bytes[0];
  result.block.pcb = bytes[1];
  result.block.inf.assign(bytes.begin() + kT1PrologueLength,
                          bytes.begin() + static_cast<std::ptrdiff_t>(kT1PrologueLength + len));
  result.error = CheckPcb(result.block);
  if (result.ok() && result.block.Kind() == BlockKind::kI && len > max_inf) {
    result.error = BlockError::kInfTooLong;
  }
  return result;
}

std::string DescribeBlock(const Block& block) {
  char text[64];
  switch (block.Kind()) {
    case BlockKind::kI:
      std::snprintf(text, sizeof text, "I(%d%s) len %zu", block.Ns(), block.More() ? ",M" : "",
                    block.inf.size());
      break;
    case BlockKind::kR: {
      static constexpr const char* kCodes[] = {"", ",EDC", ",other"};
      const auto code = static_cast<unsigned>(block.Code());
      std::snprintf(text, sizeof text, "R(%d%s)", block.Nr(), code < 3 ? kCodes[code] : ",RFU");
      break;
    }
    case BlockKind::kS: {
      static constexpr const char* kTypes[] = {"RESYNCH", "IFS", "ABORT", "WTX", "VPP"};
      const auto type = static_cast<unsigned>(block.Type());
      std::snprintf(text, sizeof text, "S(%s %s%s%s)", type < 5 ? kTypes[type] : "RFU",
                    block.IsResponse() ? "resp" : "req", block.inf.empty() ? "" : " ",
                    ToHex(block.inf).c_str());
      break;
    }
  }
  return text;
}

}  // namespace iso7816
