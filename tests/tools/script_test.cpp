// The script format of `ccidsim run` and its answer patterns, as tables: what each line
// becomes, which lines are refused with which line number, and which answers a pattern
// accepts.
#include <gtest/gtest.h>

#include <wdm.h>
#include <winsmcrd.h>

#include "script.h"

namespace {

using ccidsim::Bytes;
using ccidsim::Expectation;
using ccidsim::ScriptAction;

struct MatchRow {
  const char* pattern;
  Bytes answer;
  bool matches;
};

TEST(ScriptExpectation, MatchesNibblesAndAnyBytes) {
  const MatchRow rows[] = {
      {"9000", {0x90, 0x00}, true},
      {"9000", {0x6A, 0x82}, false},
      {"9000", {0x01, 0x90, 0x00}, false},  // no implicit prefix
      {"61XX", {0x61, 0x1C}, true},
      {"61XX", {0x62, 0x1C}, false},
      {"63cX", {0x63, 0xC2}, true},
      {"63CX", {0x63, 0xB2}, false},
      {"X0 00", {0x90, 0x00}, true},
      {".. 9000", {0x90, 0x00}, true},  // `..` may be empty
      {".. 9000", {0x01, 0x02, 0x03, 0x90, 0x00}, true},
      {".. 9000", {0x01, 0x02, 0x6A, 0x82}, false},
      {"6F .. 90 00", {0x6F, 0x10, 0x84, 0x90, 0x00}, true},
      {"6F .. 90 00", {0x6F, 0x90, 0x00}, true},
      {"6F .. 90 00", {0x70, 0x90, 0x00}, false},
      {"..", {}, true},
      {"01 .. 90 .. 00", {0x01, 0x90, 0x90, 0x00, 0x00}, true},  // backtracks across repeats
      {"01 .. 02 ....", {0x01, 0x02}, true},
      {"9000", {0x90}, false},
  };
  for (const MatchRow& row : rows) {
    SCOPED_TRACE(row.pattern);
    std::string error;
    const auto expectation = Expectation::Parse(row.pattern, &error);
    ASSERT_TRUE(expectation) << error;
    EXPECT_EQ(expectation->Matches(row.answer), row.matches);
  }
  EXPECT_EQ(Expectation::Parse("6axx .. 9000", nullptr)->Text(), "6A XX .. 90 00");
}

TEST(ScriptExpectation, RefusesWhatIsNoPattern) {
  for (const char* pattern : {"900", "9 .. 000", "90 0G", "90.00", "", "  "}) {
    SCOPED_TRACE(pattern);
    std::string error;
    EXPECT_FALSE(Expectation::Parse(pattern, &error));
    EXPECT_FALSE(error.empty());
  }
}

struct StepRow {
  const char* line;
  ScriptAction action;
  Bytes data;
  std::uint32_t number;  // protocols, attribute tag or expected state, by action
};

TEST(ScriptParse, EachLineIsAStep) {
  const StepRow rows[] = {
      {"00 A4 04 00 08 F0 43 43 49 44 53 49 4D", ScriptAction::Apdu,
       {0x00, 0xA4, 0x04, 0x00, 0x08, 0xF0, 0x43, 0x43, 0x49, 0x44, 0x53, 0x49, 0x4D}, 0},
      {"0084000008   # challenge", ScriptAction::Apdu, {0x00, 0x84, 0x00, 0x00, 0x08}, 0},
      {"00B0000010 => .. 9000", ScriptAction::Apdu, {0x00, 0xB0, 0x00, 0x00, 0x10}, 0},
      {"reset", ScriptAction::Reset, {}, 0},
      {"RESET cold => 3B ..", ScriptAction::Reset, {}, 0},
      {"exit", ScriptAction::Exit, {}, 0},
      {"insert t1-ifsc254", ScriptAction::Insert, {}, 0},
      {"remove", ScriptAction::Remove, {}, 0},
      {"power-down", ScriptAction::PowerDown, {}, 0},
      {"protocol T0", ScriptAction::Protocol, {}, SCARD_PROTOCOL_T0},
      {"protocol T0,T1", ScriptAction::Protocol, {}, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1},
      {"protocol t=1", ScriptAction::Protocol, {}, SCARD_PROTOCOL_T1},
      {"state => SCARD_SPECIFIC", ScriptAction::State, {}, SCARD_SPECIFIC},
      {"state => absent", ScriptAction::State, {}, SCARD_ABSENT},
      {"attribute vendor-ifd-version", ScriptAction::Attribute, {}, SCARD_ATTR_VENDOR_IFD_VERSION},
      {"attribute SCARD_ATTR_ATR_STRING => 3B ..", ScriptAction::Attribute, {}, SCARD_ATTR_ATR_STRING},
      {"attribute 0x00010100", ScriptAction::Attribute, {}, SCARD_ATTR_VENDOR_NAME},
      {"class-descriptor => 36 21 ..", ScriptAction::ClassDescriptor, {}, 0},
      {"clocks", ScriptAction::Clocks, {}, 0},
      {"data-rates", ScriptAction::DataRates, {}, 0},
      {"transfer 65 00000000 00 00 000000 => 81 ..", ScriptAction::Transfer,
       {0x65, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0},
      {"read-event => 50 ..", ScriptAction::ReadEvent, {}, 0},
      {"abort", ScriptAction::Abort, {}, 0},
      {"sleep S3", ScriptAction::Sleep, {}, 3},
      {"Sleep s4", ScriptAction::Sleep, {}, 4},
      {"wake", ScriptAction::Wake, {}, 0},
      {"wake-by-card t0", ScriptAction::WakeByCard, {}, 0},
  };
  for (const StepRow& row : rows) {
    SCOPED_TRACE(row.line);
    ccidsim::ScriptError error;
    const auto script = ccidsim::ParseScript(std::string("\n# a comment\n") + row.line + "\n", &error);
    ASSERT_TRUE(script) << error.message;
    ASSERT_EQ(script->steps.size(), 1u);
    const ccidsim::ScriptStep& step = script->steps[0];
    EXPECT_EQ(step.line, 3);
    EXPECT_EQ(step.action, row.action);
    EXPECT_EQ(step.data, row.data);
    const std::uint32_t number = step.action == ScriptAction::Protocol    ? step.protocols
                                 : step.action == ScriptAction::Attribute ? step.attribute
                                 : step.action == ScriptAction::Sleep     ? step.sleepState
                                 : step.expectedState                     ? *step.expectedState
                                                                          : 0;
    EXPECT_EQ(number, row.number);
    EXPECT_EQ(step.expect.has_value(), std::string(row.line).find("=> ") != std::string::npos &&
                                           step.action != ScriptAction::State);
  }
}

TEST(ScriptParse, ReaderAndCardLinesOpenTheScript) {
  ccidsim::ScriptError error;
  const auto script = ccidsim::ParseScript("reader apdu-short # the reader\ncard t1-ifsc32\n\nreset\n", &error);
  ASSERT_TRUE(script) << error.message;
  EXPECT_EQ(script->reader, "apdu-short");
  EXPECT_EQ(script->card, "t1-ifsc32");
  EXPECT_EQ(script->steps.size(), 1u);
  EXPECT_EQ(script->steps[0].reset, ccidsim::ResetKind::Warm);
}

struct BadRow {
  const char* script;
  int line;
};

TEST(ScriptParse, BadLinesAreNamedByNumber) {
  const BadRow rows[] = {
      {"reset\nselect the application\n", 2},
      {"00A4040\n", 1},          // odd digit count
      {"00A4\n", 1},             // shorter than a header
      {"reset hot\n", 1},
      {"protocol T2\n", 1},
      {"attribute colour\n", 1},
      {"attribute\n", 1},
      {"transfer\n", 1},
      {"transfer 6G\n", 1},
      {"remove now\n", 1},
      {"power-down => 9000\n", 1},  // nothing to expect
      {"abort => 9000\n", 1},
      {"state => lukewarm\n", 1},
      {"00A40400 => 9G00\n", 1},
      {"reset\nreader tpdu-basic\n", 2},  // not at the top
      {"card t0\ncard t1-ifsc32\n", 2},
      {"reader\n", 1},
      {"reset\nsleep S9\n", 2},
      {"sleep\n", 1},
      {"wake S0\n", 1},
      {"sleep S3 => 9000\n", 1},
  };
  for (const BadRow& row : rows) {
    SCOPED_TRACE(row.script);
    ccidsim::ScriptError error;
    EXPECT_FALSE(ccidsim::ParseScript(row.script, &error));
    EXPECT_EQ(error.line, row.line);
    EXPECT_FALSE(error.message.empty());
  }
}

}  // namespace
