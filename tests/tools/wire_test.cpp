// The one-line reading of each message on the cable: CCID commands and answers by their
// class names with sequence number, slot and status, interrupt messages slot by slot,
// default-pipe requests, and messages too short or with a dwLength that disagrees.
#include <gtest/gtest.h>

#include <string>

#include "reader/ccid_wire.h"
#include "wire.h"

namespace {

using hosted::usb::MessageEvent;
using hosted::usb::TransferType;
namespace ccid = sim::ccid;

MessageEvent Bulk(bool in, ccid::Bytes data) {
  MessageEvent event;
  event.type = TransferType::Bulk;
  event.in = in;
  event.endpoint = in ? 0x81 : 0x02;
  event.data = std::move(data);
  return event;
}

MessageEvent Interrupt(ccid::Bytes data) {
  MessageEvent event = Bulk(true, std::move(data));
  event.type = TransferType::Interrupt;
  event.endpoint = 0x83;
  return event;
}

MessageEvent Control(hosted::usb::SetupPacket setup, std::size_t moved,
                     hosted::usb::Handshake handshake = hosted::usb::Handshake::Ack) {
  MessageEvent event;
  event.type = TransferType::Control;
  event.setup = setup;
  event.data.resize(moved);
  event.handshake = handshake;
  return event;
}

ccid::Bytes Message(std::uint8_t type, std::uint8_t slot, std::uint8_t seq, std::uint8_t b7, std::uint8_t b8,
                    ccid::Bytes payload = {}) {
  return ccid::BuildMessage(type, slot, seq, b7, b8, 0, payload);
}

TEST(CcidsimWire, EachMessageReadsAsOneLine) {
  const std::string id = "TALMOR_DRIVER_3004";
  ccid::Bytes lying = Message(ccid::kXfrBlock, 0, 9, 0, 0, {1, 2, 3});
  ccid::PutLe32(lying, 1, 5);
  struct Row {
    MessageEvent event;
    std::string text;
  } rows[] = {
      {Bulk(false, Message(ccid::kEscape, 0, 0, 0, 0, ccid::Bytes(id.begin(), id.end()))),
       "PC_to_RDR_Escape seq 0 \"TALMOR_DRIVER_3004\""},
      {Bulk(true, Message(ccid::kEscapeResponse, 0, 0, 0, 0)), "RDR_to_PC_Escape seq 0 ok"},
      {Bulk(false, Message(ccid::kEscape, 0, 7, 0, 0, {0x01, 0xFF})), "PC_to_RDR_Escape seq 7 01FF (2 bytes)"},
      {Bulk(false, Message(ccid::kIccPowerOn, 1, 255, 2, 0)), "PC_to_RDR_IccPowerOn seq 255 slot 1 3.0 V"},
      {Bulk(true, Message(ccid::kDataBlock, 0, 3, 0x40, ccid::kIccMute)),
       "RDR_to_PC_DataBlock seq 3 failed, bError 0xFE ICC_MUTE, card active"},
      {Bulk(true, Message(ccid::kDataBlock, 0, 4, 0x80, 3)), "RDR_to_PC_DataBlock seq 4 time extension x3, card active"},
      {Bulk(true, Message(ccid::kSlotStatus, 0, 1, 0x01, 0)), "RDR_to_PC_SlotStatus seq 1 ok, card inactive"},
      {Bulk(true, Message(ccid::kDataBlock, 0, 5, 0x00, 0, ccid::Bytes(64, 0))), "RDR_to_PC_DataBlock seq 5 ok, card active, 64 bytes"},
      {Bulk(false, lying), "PC_to_RDR_XfrBlock seq 9 3 bytes (dwLength 5, 3 bytes follow)"},
      {Bulk(true, {0x80, 0x00, 0x00}), "bulk-in 3 bytes, shorter than a CCID header"},
      {Bulk(false, Message(0x44, 0, 2, 0, 0)), "PC_to_RDR_0x44 seq 2"},
      {Interrupt({ccid::kNotifySlotChange, 0x03}), "RDR_to_PC_NotifySlotChange slot 0: card present (changed)"},
      {Interrupt({ccid::kNotifySlotChange, 0x08}), "RDR_to_PC_NotifySlotChange slot 0: empty, slot 1: empty (changed)"},
      {Interrupt({ccid::kNotifySlotChange, 0x00}), "RDR_to_PC_NotifySlotChange slot 0: empty"},
      {Interrupt({ccid::kHardwareError, 0, 6, 1}), "RDR_to_PC_HardwareError slot 0 seq 6 code 0x01"},
      {Interrupt({}), "interrupt-in zero-length packet"},
      {Control({0x80, 6, 0x0200, 0, 521}, 93), "GET_DESCRIPTOR configuration, 93 of 521 bytes"},
      {Control({0x00, 9, 1, 0, 0}, 0), "SET_CONFIGURATION 1"},
      {Control({0xA1, 6, 0x2100, 0, 54}, 0, hosted::usb::Handshake::Stall),
       "GET_DESCRIPTOR CCID class (class request), 0 of 54 bytes: stalled"},
      {Control({0x21, ccid::kRequestAbort, 0x0700, 0, 0}, 0), "CCID ABORT slot 0 seq 7"},
      {Control({0x02, 1, 0, 0x81, 0}, 0), "CLEAR_FEATURE ENDPOINT_HALT endpoint 0x81"},
  };
  for (const Row& row : rows) {
    const ccidsim::WireMessage message = ccidsim::DecodeWireMessage(row.event);
    EXPECT_EQ(message.text, row.text);
  }
}

TEST(CcidsimWire, HeaderFieldsOfBulkMessagesAreKept) {
  const ccidsim::WireMessage message = ccidsim::DecodeWireMessage(Bulk(true, Message(ccid::kSlotStatus, 0, 200, 0, 0)));
  EXPECT_EQ(message.direction, ccidsim::WireDirection::FromReader);
  EXPECT_EQ(message.messageType, ccid::kSlotStatus);
  EXPECT_EQ(message.seq, 200);
  EXPECT_EQ(message.dwLength, 0u);
  EXPECT_FALSE(ccidsim::DecodeWireMessage(Interrupt({ccid::kNotifySlotChange, 2})).seq.has_value());
}

}  // namespace
