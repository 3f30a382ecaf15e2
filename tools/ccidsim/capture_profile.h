// Reader profiles from USB captures: the standard and CCID class requests a host made of a
// reader, read back from a pcap file written by Linux usbmon (link types 189 and 220) or
// by USBPcap on Windows (link type 249), and turned into a reader description in the
// schema of the real-reader data file, so that a reader seen in a field capture can be
// simulated.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace ccidsim {

// One control transfer of a capture: the setup packet, and what came back (the data
// stage as captured, or a stall).
struct CapturedControl {
  std::uint16_t bus = 0;
  std::uint16_t device = 0;
  std::uint8_t setup[8] = {};
  std::vector<std::uint8_t> data;
  bool answered = false;   // the completion is in the capture
  bool stalled = false;    // it completed with an error
  bool truncated = false;  // the capture kept fewer bytes than the transfer moved
};

// Every control transfer of the capture, in the order of their submissions. Throws
// std::runtime_error naming the file and the problem (unreadable, not a USB capture).
std::vector<CapturedControl> ReadCapturedControls(const std::string& path);

// The first CCID reader of a capture: its reader description ({"about": ..., "readers":
// [ one entry named `name` ]}; fields the capture does not show are null) and the
// descriptors it answered with.
struct CapturedReader {
  nlohmann::json description;
  std::uint16_t bus = 0;
  std::uint16_t device = 0;
  std::vector<std::uint8_t> deviceDescriptor;
  std::vector<std::uint8_t> configuration;  // the whole set, wTotalLength bytes
};

// Throws std::runtime_error naming the file and what the capture lacks: the device
// descriptor, the whole configuration set, a smart-card interface with its class
// descriptor.
CapturedReader ReaderFromCapture(const std::string& path, const std::string& name);

}  // namespace ccidsim
