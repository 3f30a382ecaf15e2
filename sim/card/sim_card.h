// The simulated card behind sim::Icc: answer to reset, activation state, the choice of
// protocol and parameters, and the two transports over one application.
#pragma once

#include "card/application.h"
#include "card/card.h"
#include "card/transport.h"
#include "iso7816/atr.h"

namespace sim {

class SimCard final : public Icc {
 public:
  explicit SimCard(CardProfile profile);

  std::string_view Name() const override { return profile_.name; }
  std::optional<Bytes> ColdReset(IccVoltage voltage) override;
  std::optional<Bytes> WarmReset() override;
  void Deactivate() override;
  bool Active() const override { return active_; }
  bool SetParameters(int protocol, std::uint8_t fidi) override;
  void Write(std::span<const std::uint8_t> bytes) override;
  Bytes Read() override;

  // For tests.
  const CardProfile& Profile() const { return profile_; }
  const iso7816::Atr& AnnouncedAtr() const { return atr_.atr; }
  CardApplication& Application() { return app_; }
  CardFaults& Faults() { return faults_; }
  const CardCounters& Counters() const { return counters_; }
  const T1Transport& T1() const { return t1_; }
  int Protocol() const { return protocol_; }
  std::uint8_t Fidi() const { return fidi_; }
  bool SilentUntilReset() const { return silent_; }

 private:
  std::optional<Bytes> Answer();
  bool ParametersAcceptable(int protocol, std::uint8_t fidi) const;

  CardProfile profile_;
  Bytes atr_bytes_;
  iso7816::AtrParseResult atr_;
  CardApplication app_;
  CardFaults faults_;
  CardCounters counters_;
  T0Transport t0_;
  T1Transport t1_;
  bool active_ = false;
  bool silent_ = false;  // refused parameters: no answer until the next reset
  int protocol_ = 0;
  std::uint8_t fidi_ = 0x11;
};

}  // namespace sim
