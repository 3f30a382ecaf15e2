// The card's application (ISO/IEC 7816-4): a small file system, a PIN with its retry
// counter and a PUK, random challenges and a slow signing operation.
//
// Files: MF 3F00 with EF.DIR 2F00, and the DF 5000 named F0 43 43 49 44 53 49 4D
// ("\xF0" "CCIDSIM") holding three transparent EFs:
//   5001 (SFI 1) 256 bytes, read free, update after PIN verification;
//   5002 (SFI 2) 4096 bytes, read and update free (long transfers);
//   5003 (SFI 3) 32 bytes, read only after PIN verification.
// File contents and the counters are persistent; the selection, the PIN's verified
// state and any pending response are session state, lost at reset and power-off.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "card/card.h"
#include "iso7816/apdu.h"

namespace sim {

constexpr std::uint8_t kInsSelect = 0xA4;
constexpr std::uint8_t kInsReadBinary = 0xB0;
constexpr std::uint8_t kInsUpdateBinary = 0xD6;
constexpr std::uint8_t kInsVerify = 0x20;
constexpr std::uint8_t kInsChangeReferenceData = 0x24;
constexpr std::uint8_t kInsResetRetryCounter = 0x2C;
constexpr std::uint8_t kInsGetChallenge = 0x84;
constexpr std::uint8_t kInsGetResponse = 0xC0;
constexpr std::uint8_t kInsInternalAuthenticate = 0x88;
constexpr std::uint8_t kInsEnvelope = 0xC2;

constexpr std::uint16_t kFidMf = 0x3F00;
constexpr std::uint16_t kFidDir = 0x2F00;
constexpr std::uint16_t kFidAppDf = 0x5000;
constexpr std::uint16_t kFidData = 0x5001;
constexpr std::uint16_t kFidLarge = 0x5002;
constexpr std::uint16_t kFidPrivate = 0x5003;
inline const iso7816::Bytes kAppAid = {0xF0, 0x43, 0x43, 0x49, 0x44, 0x53, 0x49, 0x4D};

// What the application answers, and how long it worked on it.
struct AppAnswer {
  iso7816::Response response;
  unsigned extensions = 0;  // time extensions the command needed before its answer
};

// An APDU-level card that runs the commands in place of the built-in application (a card
// emulator behind a socket): the transports still speak T=0 or T=1 on the line.
class ApduBackend {
 public:
  virtual ~ApduBackend() = default;
  // The response APDU (data, SW1 SW2) to a command APDU; nothing when the card is gone.
  virtual std::optional<iso7816::Bytes> Transmit(const iso7816::Bytes& command) = 0;
};

class CardApplication {
 public:
  explicit CardApplication(const CardProfile& profile);

  // Commands go to `backend` (not owned; nullptr: the built-in application). The T=0 side
  // still answers GET RESPONSE for data it holds back, and a wrong Le with 6Cxx.
  void SetBackend(ApduBackend* backend) { backend_ = backend; }

  // Forgets the session: MF selected, PIN not verified, no pending response.
  void ResetSession();

  // Runs one command. `strict_le` (T=0): a response must be exactly Ne bytes long, or the
  // answer is 6Cxx with the right length and nothing happens.
  AppAnswer Process(const iso7816::Apdu& apdu, bool strict_le);

  // Whether the command's P3 counts data sent to the card (T=0 direction): the built-in
  // application's commands, and with a backend the other interindustry commands with a
  // command data field.
  bool CommandSendsData(std::uint8_t ins) const;

  // T=0 keeps the data of a command that had both data in and out for GET RESPONSE.
  void SetPendingResponse(iso7816::Bytes data);

  // For tests.
  int PinTriesLeft() const { return pin_.tries_left; }
  int PukTriesLeft() const { return puk_.tries_left; }
  bool PinVerified() const { return pin_verified_; }
  const std::string& CurrentPin() const { return pin_.value; }
  std::optional<iso7816::Bytes> FileContent(std::uint16_t fid) const;
  std::uint16_t CurrentDf() const { return current_df_; }
  std::optional<std::uint16_t> CurrentEf() const { return current_ef_; }

 private:
  struct File {
    std::uint16_t fid;
    std::uint16_t parent;  // 0 for the MF
    bool is_df;
    iso7816::Bytes name;   // DF name (AID)
    std::uint8_t sfi;      // 0: none
    iso7816::Bytes content;
    bool read_needs_pin;
    bool update_needs_pin;
  };
  struct Secret {
    std::string value;
    int tries_left;
    int max_tries;
  };

  std::optional<std::uint16_t> CheckCommandForm(const iso7816::Apdu& apdu) const;
  AppAnswer Dispatch(const iso7816::Apdu& apdu, bool strict_le);
  iso7816::Response Select(const iso7816::Apdu& apdu);
  iso7816::Response ReadBinary(const iso7816::Apdu& apdu, bool strict_le);
  iso7816::Response UpdateBinary(const iso7816::Apdu& apdu);
  iso7816::Response Verify(const iso7816::Apdu& apdu);
  iso7816::Response ChangeReferenceData(const iso7816::Apdu& apdu);
  iso7816::Response ResetRetryCounter(const iso7816::Apdu& apdu);
  iso7816::Response GetChallenge(const iso7816::Apdu& apdu);
  iso7816::Response GetResponse(const iso7816::Apdu& apdu, bool strict_le);
  iso7816::Response InternalAuthenticate(const iso7816::Apdu& apdu);
  AppAnswer Envelope(const iso7816::Apdu& apdu, bool strict_le);

  File* FindFile(std::uint16_t fid);
  const File* FindFile(std::uint16_t fid) const;
  File* FileForAccess(const iso7816::Apdu& apdu, std::size_t& offset, std::uint16_t& status);
  iso7816::Bytes Fcp(const File& file) const;
  std::optional<std::string> TakePin(iso7816::ByteView data, std::size_t& offset,
                                     std::size_t digits_hint) const;
  std::uint8_t NextRandom();

  AppAnswer ProcessOnBackend(const iso7816::Apdu& apdu, bool strict_le);

  CardProfile profile_;
  ApduBackend* backend_ = nullptr;
  std::vector<File> files_;
  Secret pin_;
  Secret puk_;
  std::uint16_t current_df_ = kFidMf;
  std::optional<std::uint16_t> current_ef_;
  bool pin_verified_ = false;
  iso7816::Bytes pending_;
  iso7816::Bytes envelope_;
  std::uint32_t random_state_;
};

}  // namespace sim
