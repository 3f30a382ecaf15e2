// A card whose every answer the test scripts, and which records every byte the reader
// writes to it: for checking what the reader puts on the I/O line.
#pragma once

#include <deque>
#include <vector>

#include "card/icc.h"

namespace reader_test {

class ScriptedCard final : public sim::Icc {
 public:
  explicit ScriptedCard(sim::Bytes atr, std::uint8_t voltages = 0x07) : atr_(std::move(atr)), voltages_(voltages) {}

  std::string_view Name() const override { return "scripted"; }
  std::optional<sim::Bytes> ColdReset(sim::IccVoltage v) override {
    ++resets;
    const std::uint8_t bit = v == sim::IccVoltage::V5_0 ? 1 : v == sim::IccVoltage::V3_0 ? 2 : 4;
    tried.push_back(v);
    active_ = (voltages_ & bit) != 0;
    if (!active_) return std::nullopt;
    return atr_;
  }
  std::optional<sim::Bytes> WarmReset() override {
    ++warm_resets;
    if (!active_) return std::nullopt;
    return atr_;
  }
  void Deactivate() override { active_ = false; }
  bool Active() const override { return active_; }
  bool SetParameters(int p, std::uint8_t f) override {
    protocol = p;
    fidi = f;
    return accept_parameters;
  }
  void Write(std::span<const std::uint8_t> bytes) override { writes.emplace_back(bytes.begin(), bytes.end()); }
  sim::Bytes Read() override {
    if (reads.empty()) return {};
    sim::Bytes b = std::move(reads.front());
    reads.pop_front();
    return b;
  }

  std::deque<sim::Bytes> reads;          // what the card sends, one Read() each
  std::vector<sim::Bytes> writes;        // what the reader wrote
  std::vector<sim::IccVoltage> tried;    // classes of the cold resets
  int resets = 0, warm_resets = 0;
  int protocol = -1;
  std::uint8_t fidi = 0;
  bool accept_parameters = true;

 private:
  sim::Bytes atr_;
  std::uint8_t voltages_;
  bool active_ = false;
};

}  // namespace reader_test
