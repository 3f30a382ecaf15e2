// SmartcardUpdateCardCapabilities and SmartcardInvertData: the ATR the driver stored in
// CardCapabilities turned into the ISO 7816-3 values of SCARD_CARD_CAPABILITIES (times in
// microseconds) and the protocol parameters to negotiate (PtsData).
//
// Choices where the library's documentation is silent:
//  - PtsData.Type: OPTIMAL when the card's TA1 asks for more than the default 372/1 and the
//    reader can serve it (a clock no higher than the card's f(max), a data rate within the
//    reader's), DEFAULT otherwise, and for a card in specific mode (no PTS possible; its
//    TA1 values apply unless TA2 says the parameters are implicit). Once the driver has set
//    DEFAULT after the library offered OPTIMAL for an ATR (a PTS that failed), DEFAULT
//    stays for that ATR until the driver asks for OPTIMAL again or another ATR comes.
//    USER keeps the driver's Fl, Dl and clock.
//  - A card the reader cannot serve at better than default speed is not refused: it gets
//    the default parameters at the reader's default clock.
//  - The library remembers its choice in CardCapabilities.Reserved (its own bytes).

#include <smclib.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "card_capabilities.h"
#include "smclib_internal.h"
#include "hosted/kernel/verifier.h"

namespace hosted::smclib {
namespace {

constexpr std::uint8_t kTsInverseRaw = 0x03;  // 3F as it arrives when nobody decoded the convention
constexpr std::uint8_t kDefaultIndex = 1;     // FI = DI = 1: F 372, D 1
constexpr ULONG kHzPerKhz = 1000;
constexpr UCHAR kChoiceMagic = 0xC5;  // marks the library's memory in Reserved

// What the library remembers of the card it last read: its ATR, and whether an optimal
// PTS was offered for it (a DEFAULT the driver sets afterwards is then its downgrade).
struct ChoiceMemory {
  UCHAR magic;
  UCHAR optimalOffered;
  UCHAR atrLength;
  UCHAR atr[MAXIMUM_ATR_LENGTH];
};
static_assert(sizeof(ChoiceMemory) <= sizeof(SCARD_CARD_CAPABILITIES::Reserved), "library memory");

UCHAR InvertByte(UCHAR value) {
  UCHAR result = 0;
  for (int bit = 0; bit < 8; ++bit) {
    if (value & (1u << bit)) result |= static_cast<UCHAR>(0x80u >> bit);
  }
  return static_cast<UCHAR>(~result);
}

ULONG Round(double value) { return value <= 0 ? 0 : static_cast<ULONG>(std::lround(value)); }

// The reader's clocks (kHz) to choose from: its list, else its default and maximum.
std::vector<ULONG> ReaderClocks(const SCARD_READER_CAPABILITIES& reader) {
  std::vector<ULONG> clocks;
  if (reader.CLKFrequenciesSupported.List != NULL) {
    for (UCHAR i = 0; i < reader.CLKFrequenciesSupported.Entries; ++i) clocks.push_back(reader.CLKFrequenciesSupported.List[i]);
  }
  if (clocks.empty()) clocks = {reader.CLKFrequency.Default, reader.CLKFrequency.Max};
  return clocks;
}

bool RateServed(const SCARD_READER_CAPABILITIES& reader, ULONG rate) {
  if (reader.DataRatesSupported.List != NULL && reader.DataRatesSupported.Entries != 0) {
    for (UCHAR i = 0; i < reader.DataRatesSupported.Entries; ++i) {
      if (reader.DataRatesSupported.List[i] == rate) return true;
    }
    return false;
  }
  return rate <= reader.DataRate.Max;
}

ULONG DataRate(ULONG clockKhz, unsigned fiIndex, unsigned diIndex) {
  const unsigned f = iso7816::FiValue(fiIndex);
  const unsigned d = iso7816::DiValue(diIndex);
  if (f == 0) return 0;
  return static_cast<ULONG>(static_cast<unsigned long long>(clockKhz) * kHzPerKhz * d / f);
}

// Fills PtsData for the card; returns the type chosen.
void ChoosePts(PSMARTCARD_EXTENSION extension, const iso7816::Atr& atr, bool downgraded) {
  PTS_DATA& pts = extension->CardCapabilities.PtsData;
  const SCARD_READER_CAPABILITIES& reader = extension->ReaderCapabilities;
  if (pts.Type == PTS_TYPE_USER) {
    pts.DataRate = DataRate(pts.CLKFrequency, pts.Fl, pts.Dl);
    return;
  }
  pts.Type = PTS_TYPE_DEFAULT;
  pts.Fl = kDefaultIndex;
  pts.Dl = kDefaultIndex;
  pts.CLKFrequency = reader.CLKFrequency.Default;
  if (atr.specific_mode) {
    if (!atr.specific_implicit_parameters) {
      pts.Fl = atr.fi_index;
      pts.Dl = atr.di_index;
    }
  } else if (!downgraded && atr.HasTa1() && atr.Ta1() != (kDefaultIndex << 4 | kDefaultIndex)) {
    const ULONG fmaxKhz = atr.FMax() / kHzPerKhz;
    ULONG best = 0;
    for (ULONG clock : ReaderClocks(reader)) {
      if (clock <= fmaxKhz && clock > best && RateServed(reader, DataRate(clock, atr.fi_index, atr.di_index))) best = clock;
    }
    if (best != 0) {
      pts.Type = PTS_TYPE_OPTIMAL;
      pts.Fl = atr.fi_index;
      pts.Dl = atr.di_index;
      pts.CLKFrequency = best;
    }
  }
  pts.DataRate = DataRate(pts.CLKFrequency, pts.Fl, pts.Dl);
  pts.StopBits = atr.n_guard == 255 ? 1 : 2;
}

}  // namespace

AtrReading ReadAtr(std::span<const std::uint8_t> bytes) {
  AtrReading reading;
  std::vector<std::uint8_t> logical(bytes.begin(), bytes.end());
  if (!logical.empty() && logical[0] == kTsInverseRaw) {
    for (std::uint8_t& b : logical) b = InvertByte(b);
    reading.inverseOnTheWire = true;
  }
  iso7816::AtrParseResult parsed = iso7816::ParseAtr(logical);
  reading.atr = parsed.atr;
  auto refuse = [&reading](std::string reason) {
    reading.status = STATUS_UNRECOGNIZED_MEDIA;
    reading.reason = std::move(reason);
    return reading;
  };
  if (!parsed.ok()) return refuse(parsed.reason);
  if (iso7816::FiValue(parsed.atr.fi_index) == 0) return refuse("FI is not an ISO 7816-3 value");
  if (iso7816::DiValue(parsed.atr.di_index) == 0) return refuse("DI is not an ISO 7816-3 value");
  if (!parsed.atr.Offers(0) && !parsed.atr.Offers(1)) return refuse("the card offers neither T=0 nor T=1");
  return reading;
}

}  // namespace hosted::smclib

using namespace hosted::smclib;

// ---- SmartcardUpdateCardCapabilities -------------------------------------------------
// Reads CardCapabilities.ATR and fills the rest of CardCapabilities; STATUS_SUCCESS or
// STATUS_UNRECOGNIZED_MEDIA (up to DISPATCH_LEVEL).
extern "C" NTSTATUS NTAPI SmartcardUpdateCardCapabilities(PSMARTCARD_EXTENSION SmartcardExtension)
{
    if (SmartcardExtension == nullptr) {
        hosted::Verifier::Report(hosted::Check::InvalidParameter, "SmartcardUpdateCardCapabilities",
                                 "no smart-card extension");
        return STATUS_INVALID_PARAMETER;
    }
    SCARD_CARD_CAPABILITIES& card = SmartcardExtension->CardCapabilities;
    RestartT1Session(SmartcardExtension);  // a new answer to reset: a new T=1 session
    // A length beyond what an ATR can be would also read past the buffer.
    if (card.ATR.Length == 0 || card.ATR.Length > MAXIMUM_ATR_LENGTH) return STATUS_UNRECOGNIZED_MEDIA;
    if (card.ATR.Buffer[0] == kTsInverseRaw) {
        SmartcardInvertData(card.ATR.Buffer, card.ATR.Length);
    }
    const AtrReading reading = ReadAtr(std::span<const std::uint8_t>(card.ATR.Buffer, card.ATR.Length));
    if (!reading.ok()) return reading.status;
    const iso7816::Atr& atr = reading.atr;

    auto* memory = reinterpret_cast<ChoiceMemory*>(card.Reserved);
    const bool sameAtr = memory->magic == kChoiceMagic && memory->atrLength == card.ATR.Length &&
                         std::memcmp(memory->atr, card.ATR.Buffer, card.ATR.Length) == 0;
    const bool downgraded = sameAtr && memory->optimalOffered && card.PtsData.Type == PTS_TYPE_DEFAULT;

    card.InversConvention = atr.convention == iso7816::Convention::kInverse;
    card.HistoricalChars.Length = static_cast<UCHAR>(std::min<std::size_t>(atr.historical.size(),
                                                                            sizeof card.HistoricalChars.Buffer));
    if (card.HistoricalChars.Length != 0) {
        std::memcpy(card.HistoricalChars.Buffer, atr.historical.data(), card.HistoricalChars.Length);
    }
    card.Fl = atr.fi_index;
    card.Dl = atr.di_index;
    const bool hasTb1 = !atr.groups.empty() && atr.groups[0].tb.has_value();
    card.II = hasTb1 ? static_cast<UCHAR>((*atr.groups[0].tb >> 5) & 0x03) : 0;
    card.P = hasTb1 ? static_cast<UCHAR>(*atr.groups[0].tb & 0x1F) : 0;
    card.N = atr.n_guard;
    card.Protocol.Supported = (atr.Offers(0) ? SCARD_PROTOCOL_T0 : 0) | (atr.Offers(1) ? SCARD_PROTOCOL_T1 : 0);
    card.T0.WI = atr.t0_wi;
    card.T1.IFSC = atr.t1_ifsc;
    card.T1.CWI = atr.t1_cwi;
    card.T1.BWI = atr.t1_bwi;
    card.T1.EDC = atr.t1_edc == iso7816::Edc::kCrc ? T1_CRC_CHECK : 0;

    ChoosePts(SmartcardExtension, atr, downgraded);
    const auto timing = iso7816::ComputeTiming(atr, card.PtsData.CLKFrequency * kHzPerKhz, card.PtsData.Fl,
                                               card.PtsData.Dl);
    if (timing) {
        card.etu = Round(timing->etu_us);
        card.GT = Round(timing->gt_us);
        card.T0.WT = Round(timing->wt_us);
        card.T1.CWT = Round(timing->cwt_us);
        card.T1.BWT = Round(timing->bwt_us);
        card.T1.BGT = Round(timing->bgt_us);
    }
    memory->optimalOffered = (sameAtr && memory->optimalOffered) || card.PtsData.Type == PTS_TYPE_OPTIMAL;
    memory->magic = kChoiceMagic;
    memory->atrLength = card.ATR.Length;
    std::memcpy(memory->atr, card.ATR.Buffer, card.ATR.Length);
    return STATUS_SUCCESS;
}

// ---- SmartcardInvertData --------------------------------------------------------------
// Converts bytes between the inverse and the direct convention: bit order reversed, each
// bit complemented.
extern "C" VOID NTAPI SmartcardInvertData(PUCHAR Buffer, ULONG Length)
{
    if (Buffer == nullptr && Length != 0) {
        hosted::Verifier::Report(hosted::Check::InvalidParameter, "SmartcardInvertData", "no buffer");
        return;
    }
    for (ULONG i = 0; i < Length; ++i) Buffer[i] = InvertByte(Buffer[i]);
}
