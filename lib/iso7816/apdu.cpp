#include "iso7816/apdu.h"

namespace iso7816 {
namespace {

std::optional<Apdu> Fail(std::string* reason, const char* text) {
  if (reason != nullptr) *reason = text;
  return std::nullopt;
}

std::size_t ShortLe(std::uint8_t le) { return le == 0 ? kShortMaxNe : le; }
std::size_t ExtendedLe(std::uint8_t hi, std::uint8_t lo) {
  const std::size_t le = static_cast<std::size_t>(hi) << 8 | lo;
  return le == 0 ? kExtendedMaxNe : le;
}

}  // namespace

ApduCase Apdu::Case() const {
  const bool with_data = !data.empty();
  const bool with_le = ne != 0;
  if (!with_data && !with_le) return ApduCase::k1;
  if (extended) {
    if (!with_data) return ApduCase::k2Extended;
    return with_le ? ApduCase::k4Extended : ApduCase::k3Extended;
  }
  if (!with_data) return ApduCase::k2Short;
  return with_le ? ApduCase::k4Short : ApduCase::k3Short;
}

std::optional<Apdu> ParseApdu(ByteView bytes, std::string* reason) {
  if (bytes.size() < 4) return Fail(reason, "command APDU shorter than its 4-byte header");
  Apdu apdu;
  apdu.cla = bytes[0];
  apdu.ins = bytes[1];
  apdu.p1 = bytes[2];
  apdu.p2 = bytes[3];
  const ByteView body = bytes.subspan(4);
  const std::size_t l = body.size();
  if (l == 0) return apdu;  // case 1
  if (l == 1) {             // case 2S
    apdu.ne = ShortLe(body[0]);
    return apdu;
  }
  if (body[0] != 0) {  // short Lc
    const std::size_t nc = body[0];
    if (l == 1 + nc) {
      apdu.data.assign(body.begin() + 1, body.end());
      return apdu;
    }
    if (l == 2 + nc) {
      apdu.data.assign(body.begin() + 1, body.end() - 1);
      apdu.ne = ShortLe(body.back());
      return apdu;
    }
    return Fail(reason, "short Lc does not match the command length");
  }
  apdu.extended = true;  // first body byte 00 with more behind it: extended lengths
  if (l == 3) {
    apdu.ne = ExtendedLe(body[1], body[2]);
    return apdu;
  }
  const std::size_t nc = static_cast<std::size_t>(body[1]) << 8 | body[2];
  if (nc == 0) return Fail(reason, "extended Lc of zero");
  if (l == 3 + nc) {
    apdu.data.assign(body.begin() + 3, body.end());
    return apdu;
  }
  if (l == 5 + nc) {
    apdu.data.assign(body.begin() + 3, body.end() - 2);
    apdu.ne = ExtendedLe(body[l - 2], body[l - 1]);
    return apdu;
  }
  return Fail(reason, "extended Lc does not match the command length");
}

std::optional<Bytes> BuildApdu(const Apdu& apdu) {
  const std::size_t nc = apdu.data.size();
  if (nc > kExtendedMaxNc || apdu.ne > kExtendedMaxNe) return std::nullopt;
  const bool extended = apdu.extended || nc > kShortMaxNc || apdu.ne > kShortMaxNe;
  Bytes out{apdu.cla, apdu.ins, apdu.p1, apdu.p2};
  if (!extended) {
    if (nc != 0) {
      out.push_back(static_cast<std::uint8_t>(nc));
      out.insert(out.end(), apdu.data.begin(), apdu.data.end());
    }
    if (apdu.ne != 0) out.push_back(static_cast<std::uint8_t>(apdu.ne & 0xFF));
    return out;
  }
  if (nc != 0) {
    out.push_back(0);
    out.push_back(static_cast<std::uint8_t>(nc >> 8));
    out.push_back(static_cast<std::uint8_t>(nc & 0xFF));
    out.insert(out.end(), apdu.data.begin(), apdu.data.end());
  }
  if (apdu.ne != 0) {
    if (nc == 0) out.push_back(0);
    out.push_back(static_cast<std::uint8_t>((apdu.ne >> 8) & 0xFF));
    out.push_back(static_cast<std::uint8_t>(apdu.ne & 0xFF));
  }
  return out;
}

Apdu MakeApdu(std::uint8_t cla, std::uint8_t ins, std::uint8_t p1, std::uint8_t p2, Bytes data,
              std::size_t ne, bool extended) {
  Apdu apdu;
  apdu.cla = cla;
  apdu.ins = ins;
  apdu.p1 = p1;
  apdu.p2 = p2;
  apdu.data = std::move(data);
  apdu.ne = ne;
  apdu.extended = extended || apdu.data.size() > kShortMaxNc || ne > kShortMaxNe;
  return apdu;
}

Bytes Response::Encode() const {
  Bytes out = data;
  out.push_back(sw1);
  out.push_back(sw2);
  return out;
}

std::optional<Response> ParseResponse(ByteView bytes) {
  if (bytes.size() < 2) return std::nullopt;
  Response response;
  response.data.assign(bytes.begin(), bytes.end() - 2);
  response.sw1 = bytes[bytes.size() - 2];
  response.sw2 = bytes.back();
  return response;
}

Response MakeResponse(std::uint16_t status, Bytes data) {
  return Response{std::move(data), static_cast<std::uint8_t>(status >> 8),
                  static_cast<std::uint8_t>(status & 0xFF)};
}

std::string StatusWordMeaning(std::uint16_t sw) {
  const std::uint8_t sw1 = static_cast<std::uint8_t>(sw >> 8);
  const std::uint8_t sw2 = static_cast<std::uint8_t>(sw);
  struct Known {
    std::uint16_t sw;
    const char* meaning;
  };
  static constexpr Known kExact[] = {
      {0x9000, "success"},
      {0x6281, "part of returned data may be corrupted"},
      {0x6282, "end of file reached before reading Le bytes"},
      {0x6283, "selected file deactivated"},
      {0x6581, "memory failure"},
      {0x6700, "wrong length"},
      {0x6881, "logical channel not supported"},
      {0x6882, "secure messaging not supported"},
      {0x6981, "command incompatible with file structure"},
      {0x6982, "security status not satisfied"},
      {0x6983, "authentication method blocked"},
      {0x6984, "reference data not usable"},
      {0x6985, "conditions of use not satisfied"},
      {0x6986, "command not allowed (no current EF)"},
      {0x6A80, "incorrect parameters in the data field"},
      {0x6A81, "function not supported"},
      {0x6A82, "file or application not found"},
      {0x6A83, "record not found"},
      {0x6A84, "not enough memory space in the file"},
      {0x6A86, "incorrect parameters P1-P2"},
      {0x6A88, "referenced data not found"},
      {0x6B00, "wrong parameters P1-P2"},
      {0x6D00, "instruction code not supported or invalid"},
      {0x6E00, "class not supported"},
      {0x6F00, "no precise diagnosis"},
  };
  for (const Known& known : kExact) {
    if (known.sw == sw) return known.meaning;
  }
  const std::string count = std::to_string(sw2);
  if (sw1 == 0x61) return count + " response bytes still available";
  if (sw1 == 0x6C) return "wrong length, " + count + " bytes available";
  if (sw1 == 0x63 && (sw2 & 0xF0) == 0xC0) {
    const int tries = sw2 & 0x0F;
    return "verification failed, " + std::to_string(tries) + (tries == 1 ? " try left" : " tries left");
  }
  return "unknown status";
}

}  // namespace iso7816
