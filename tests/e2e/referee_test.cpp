// The protocol referee's rules on crafted traces: a referee that let a broken rule through
// would hide the driver fault behind it in every bench session.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "referee.h"

namespace {

using hosted::usb::Handshake;
using hosted::usb::MessageEvent;
using hosted::usb::TransferType;
using namespace ccid_test;

MessageEvent Control(std::uint8_t requestType, std::uint8_t request, std::uint16_t value,
                     Handshake handshake = Handshake::Ack) {
  MessageEvent event;
  event.type = TransferType::Control;
  event.setup.bmRequestType = requestType;
  event.setup.bRequest = request;
  event.setup.wValue = value;
  event.handshake = handshake;
  return event;
}

MessageEvent Configure(std::uint16_t value, Handshake handshake = Handshake::Ack) {
  return Control(0x00, 9, value, handshake);
}
MessageEvent AbortRequest(std::uint8_t slot, std::uint8_t seq) { return Control(0x21, 1, seq << 8 | slot); }

MessageEvent Bulk(bool in, std::uint8_t type, std::uint8_t seq, std::uint8_t status = 0) {
  MessageEvent event;
  event.type = TransferType::Bulk;
  event.in = in;
  event.endpoint = in ? 0x81 : 0x02;
  event.data = {type, 0, 0, 0, 0, 0, seq, status, 0, 0};
  return event;
}
MessageEvent Command(std::uint8_t seq, std::uint8_t type = 0x6B) { return Bulk(false, type, seq); }
MessageEvent Answer(std::uint8_t seq) { return Bulk(true, 0x83, seq); }
MessageEvent TimeExtension(std::uint8_t seq) { return Bulk(true, 0x83, seq, 0x80); }

MessageEvent Interrupt() {
  MessageEvent event;
  event.type = TransferType::Interrupt;
  event.in = true;
  event.endpoint = 0x83;
  event.data = {0x50, 0x03};
  return event;
}

struct RefereeRow {
  const char* name;
  RefereeInput input;
  std::vector<std::string> rules;  // what the referee must find, in order
};

void PrintTo(const RefereeRow& row, std::ostream* out) { *out << row.name; }

const RefereeRow kRows[] = {
    {"clean session", {{Configure(1), Interrupt(), Command(0), Answer(0), Command(1), TimeExtension(1), Answer(1)}}, {}},
    {"second command before the answer",
     {{Configure(1), Command(0), Command(1), Answer(1)}},
     {kRuleCommandWhileOutstanding}},
    {"a time extension does not answer",
     {{Configure(1), Command(0), TimeExtension(0), Command(1)}},
     {kRuleCommandWhileOutstanding}},
    {"the ABORT request ends the command",
     {{Configure(1), Command(5), AbortRequest(0, 6), Command(6, 0x72), Answer(6)}},
     {}},
    {"a gap in bSeq", {{Configure(1), Command(0), Answer(0), Command(2), Answer(2)}}, {kRuleSequence}},
    {"bSeq wraps after 255", {{Configure(1), Command(255), Answer(255), Command(0), Answer(0)}}, {}},
    {"a new configuration restarts bSeq", {{Configure(1), Command(7), Answer(7), Configure(1), Command(0), Answer(0)}}, {}},
    {"an answer to no command", {{Configure(1), Answer(3)}}, {kRuleAnswerWithoutCommand}},
    {"an answer with another bSeq", {{Configure(1), Command(3), Answer(4)}}, {kRuleAnswerWithoutCommand}},
    {"interrupt before SET_CONFIGURATION", {{Interrupt(), Configure(1)}}, {kRuleBeforeConfiguration}},
    {"bulk after SET_CONFIGURATION(0)",
     {{Configure(1), Configure(0), Command(0)}},
     {kRuleBeforeConfiguration}},
    {"a stalled SET_CONFIGURATION configures nothing",
     {{Configure(1, Handshake::Stall), Interrupt()}},
     {kRuleBeforeConfiguration}},
    {"after an unplug until the next configuration",
     {{Configure(1), Interrupt(), Interrupt(), Configure(1), Interrupt()}, {2}},
     {kRuleAfterUnplug}},
    {"a host error the reader recorded", {{Configure(1)}, {}, {"unknown message type"}}, {kRuleHostError}},
};

class RefereeTest : public ::testing::TestWithParam<RefereeRow> {};

TEST_P(RefereeTest, FindsExactlyTheBrokenRules) {
  std::vector<std::string> found;
  for (const ProtocolFinding& finding : RefereeSession(GetParam().input)) found.push_back(finding.rule);
  EXPECT_EQ(found, GetParam().rules);
}

INSTANTIATE_TEST_SUITE_P(Rules, RefereeTest, ::testing::ValuesIn(kRows));

}  // namespace
