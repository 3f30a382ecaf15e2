// The demo's application: a few APDUs to the simulated card's application, each with
// its answer and the status word's meaning.
#include "card_application.h"

#include <winsmcrd.h>

#include <cstdio>

#include "card/application.h"
#include "card/card.h"
#include "iso7816/apdu.h"
#include "iso7816/bytes.h"
#include "scard.h"
#include "scenario.h"

namespace ccidsim {
namespace {

struct Command {
  const char* purpose;
  scard::Bytes apdu;
  std::uint16_t expected;  // the status word the application counts on
};

// The commands, with the card's own PIN format for VERIFY.
std::vector<Command> Commands(const sim::CardProfile& card) {
  scard::Bytes select = {0x00, sim::kInsSelect, 0x04, 0x00, static_cast<std::uint8_t>(sim::kAppAid.size())};
  select.insert(select.end(), sim::kAppAid.begin(), sim::kAppAid.end());
  auto verify = [&card](const std::string& digits) {
    scard::Bytes apdu = {0x00, sim::kInsVerify, 0x00, card.pin_reference};
    const auto block = sim::EncodePin(card.pin_format, digits).value_or(scard::Bytes{});
    apdu.push_back(static_cast<std::uint8_t>(block.size()));
    apdu.insert(apdu.end(), block.begin(), block.end());
    return apdu;
  };
  const std::string wrong = card.pin == "9999" ? "8888" : "9999";
  const std::uint16_t triesLeft = static_cast<std::uint16_t>(0x63C0 | ((card.pin_tries - 1) & 0x0F));
  return {
      {"select the application", select, iso7816::sw::kOk},
      {"select EF 5001", {0x00, sim::kInsSelect, 0x02, 0x0C, 0x02, 0x50, 0x01}, iso7816::sw::kOk},
      {"read 16 bytes", {0x00, sim::kInsReadBinary, 0x00, 0x00, 0x10}, iso7816::sw::kOk},
      {"verify a wrong PIN", verify(wrong), triesLeft},
      {"verify the PIN", verify(card.pin), iso7816::sw::kOk},
      {"get an 8-byte challenge", {0x00, sim::kInsGetChallenge, 0x00, 0x00, 0x08}, iso7816::sw::kOk},
  };
}

std::string ProtocolName(ULONG protocol) {
  return protocol == SCARD_PROTOCOL_T1 ? "T=1" : protocol == SCARD_PROTOCOL_T0 ? "T=0" : "none";
}

class Application {
 public:
  explicit Application(CardApplicationOutcome& outcome) : outcome_(outcome) {}

  void Run(PDEVICE_OBJECT pdo, const sim::CardProfile& card) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    reader_ = scard::Reader::Open(pdo, &status);
    if (!Check(status, "open the reader")) return;
    const ULONG protocols = card.t1 ? SCARD_PROTOCOL_T1 : SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
    Say("> connect: cold reset, select " + std::string(card.t1 ? "T=1" : "T=0 or T=1"));
    ULONG active = 0;
    if (!Check(reader_->Connect(scard::Share::Exclusive, protocols, &active), "connect")) return Close();
    Say("< ATR " + iso7816::ToHex(reader_->Attribute(SCARD_ATTR_ATR_STRING), ' ') + ", " + ProtocolName(active));
    for (const Command& command : Commands(card))
      if (!Exchange(command)) break;
    Say("> disconnect, powering the card down");
    Check(reader_->Disconnect(scard::Disposition::Unpower), "disconnect");
    Close();
  }

 private:
  // One command; a 61xx answer (T=0) is followed by GET RESPONSE, as applications do.
  bool Exchange(const Command& command) {
    Say("> " + iso7816::ToHex(command.apdu, ' ') + " (" + command.purpose + ")");
    scard::Response response = reader_->Transmit(command.apdu);
    if (!Check(response.status, command.purpose)) return false;
    Answer(response);
    if (response.data.size() == 2 && response.data[0] == 0x61) {
      const scard::Bytes getResponse = {0x00, sim::kInsGetResponse, 0x00, 0x00, response.data[1]};
      Say("> " + iso7816::ToHex(getResponse, ' ') + " (GET RESPONSE)");
      response = reader_->Transmit(getResponse);
      if (!Check(response.status, "GET RESPONSE")) return false;
      Answer(response);
    }
    if (response.StatusWord() != command.expected) {
      char text[128];
      std::snprintf(text, sizeof(text), "%s: the card answered %04X, the application expected %04X", command.purpose,
                    response.StatusWord(), command.expected);
      outcome_.notes.push_back(text);
    }
    return true;
  }

  void Answer(const scard::Response& response) {
    const std::string meaning = response.data.size() < 2 ? "no status word"
                                                         : iso7816::StatusWordMeaning(response.StatusWord());
    Say("< " + iso7816::ToHex(response.data, ' ') + " : " + meaning);
  }

  bool Check(NTSTATUS status, const std::string& what) {
    if (NT_SUCCESS(status)) return true;
    if (NT_SUCCESS(outcome_.status)) outcome_.status = status;
    Say("< " + what + " failed: " + StatusName(status));
    outcome_.notes.push_back(what + " failed (" + StatusName(status) + ")");
    return false;
  }

  void Close() {
    if (reader_ != nullptr) Check(reader_->Close(), "close the handle");
    reader_.reset();
  }

  void Say(std::string line) { outcome_.exchange.push_back(std::move(line)); }

  CardApplicationOutcome& outcome_;
  std::unique_ptr<scard::Reader> reader_;
};

}  // namespace

CardApplicationOutcome RunCardApplication(PDEVICE_OBJECT pdo, const std::string& card) {
  CardApplicationOutcome outcome;
  const std::optional<sim::CardProfile> profile = sim::FindCardProfile(card);
  if (!profile) {
    outcome.status = STATUS_INVALID_PARAMETER;
    outcome.notes.push_back("unknown card profile " + card);
    return outcome;
  }
  Application(outcome).Run(pdo, *profile);
  return outcome;
}

}  // namespace ccidsim
