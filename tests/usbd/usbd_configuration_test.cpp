// USBD_ParseConfigurationDescriptorEx and USBD_CreateConfigurationRequestEx: the interface
// found, a walk that stays inside wTotalLength whatever the descriptors say, and the URB's
// layout with each list entry pointed into it.
#include <usbdlib.h>

#include <cstdint>
#include <vector>

#include "kernel_test_support.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kSmartCard = 0x0B;

Bytes Interface(std::uint8_t number, std::uint8_t alternate, std::uint8_t endpoints, std::uint8_t cls,
                std::uint8_t sub = 0, std::uint8_t protocol = 0) {
  return {9, USB_INTERFACE_DESCRIPTOR_TYPE, number, alternate, endpoints, cls, sub, protocol, 0};
}
Bytes Endpoint(std::uint8_t address, std::uint8_t attributes) {
  return {7, USB_ENDPOINT_DESCRIPTOR_TYPE, address, attributes, 64, 0, 0};
}
Bytes ClassDescriptor() {
  Bytes d(54, 0);
  d[0] = 54;
  d[1] = 0x21;
  return d;
}

// A configuration set: a HID interface, then the smart-card interface in two alternate
// settings. wTotalLength is set to the bytes given unless `total` says otherwise.
Bytes Configuration(const std::vector<Bytes>& parts, int total = -1) {
  Bytes set = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 2, 1, 0, 0x80, 50};
  for (const Bytes& part : parts) set.insert(set.end(), part.begin(), part.end());
  const std::size_t length = total < 0 ? set.size() : static_cast<std::size_t>(total);
  set[2] = static_cast<std::uint8_t>(length);
  set[3] = static_cast<std::uint8_t>(length >> 8);
  return set;
}

std::vector<Bytes> Composite() {
  return {Interface(0, 0, 1, 0x03), Endpoint(0x81, 3),
          Interface(1, 0, 3, kSmartCard), ClassDescriptor(), Endpoint(0x02, 2), Endpoint(0x83, 2), Endpoint(0x84, 3),
          Interface(1, 1, 1, kSmartCard, 0, 1), Endpoint(0x85, 2)};
}

// Offset of the descriptor found, or -1.
long Find(Bytes& set, long interfaceNumber, long alternate, long cls, long sub = -1, long protocol = -1,
          std::size_t start = 0) {
  auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(set.data());
  PUSB_INTERFACE_DESCRIPTOR found = USBD_ParseConfigurationDescriptorEx(
      config, set.data() + start, interfaceNumber, alternate, cls, sub, protocol);
  return found == nullptr ? -1 : reinterpret_cast<std::uint8_t*>(found) - set.data();
}

TEST(UsbdParse, FindsTheFirstInterfaceMatchingEveryGivenCriterion) {
  Bytes set = Configuration(Composite());
  const long hid = 9, cardAlt0 = 25, cardAlt1 = 25 + 9 + 54 + 21;
  const struct {
    const char* name;
    long number, alternate, cls, sub, protocol;
    std::size_t start;
    long expected;
  } rows[] = {
      {"any smart-card interface", -1, -1, kSmartCard, -1, -1, 0, cardAlt0},
      {"by number", 0, -1, -1, -1, -1, 0, hid},
      {"by alternate setting", 1, 1, -1, -1, -1, 0, cardAlt1},
      {"by protocol", -1, -1, -1, -1, 1, 0, cardAlt1},
      {"from a later start position", -1, -1, kSmartCard, -1, -1, static_cast<std::size_t>(cardAlt0 + 9), cardAlt1},
      {"no such class", -1, -1, 0xFF, -1, -1, 0, -1},
      {"no such number", 7, -1, -1, -1, -1, 0, -1},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(Find(set, row.number, row.alternate, row.cls, row.sub, row.protocol, row.start), row.expected);
  }
}

// Each set is its own exact-size heap block, so a read past it is caught by the sanitizer.
TEST(UsbdParse, MalformedSetsEndTheWalkWithoutReadingPastTheirEnd) {
  const Bytes card = Interface(1, 0, 3, kSmartCard);
  Bytes zeroLength = {9, 0x21, 0, 0, 0, 0, 0, 0, 0};
  zeroLength[0] = 0;
  Bytes shortInterface = {7, USB_INTERFACE_DESCRIPTOR_TYPE, 1, 0, 3, kSmartCard, 0};
  Bytes runsPast = {200, 0x21, 0, 0};
  const struct {
    const char* name;
    Bytes set;
    long expected;
  } rows[] = {
      {"bLength 0 before the interface", Configuration({zeroLength, card}), -1},
      {"descriptor running past wTotalLength", Configuration({runsPast, card}), -1},
      {"interface beyond wTotalLength", Configuration({Endpoint(0x81, 3), card}, 9 + 7), -1},
      {"interface cut by wTotalLength", Configuration({card}, 9 + 8), -1},
      {"interface descriptor too short is skipped", Configuration({shortInterface, card}), 9 + 7},
      {"wTotalLength below the configuration header", Configuration({card}, 4), -1},
      {"well formed", Configuration({card}), 9},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Bytes set = row.set;
    set.shrink_to_fit();
    EXPECT_EQ(Find(set, -1, -1, kSmartCard), row.expected);
  }
  Bytes set = Configuration({card});
  EXPECT_EQ(Find(set, -1, -1, kSmartCard, -1, -1, set.size()), -1);  // start at the end
}

TEST(UsbdCreate, BuildsOneRecordPerListEntryWithRoomForItsPipesAndPointsTheEntriesAtThem) {
  Bytes set = Configuration(Composite());
  auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(set.data());
  USBD_INTERFACE_LIST_ENTRY list[3] = {};
  list[0].InterfaceDescriptor = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(set.data() + 25);   // 3 endpoints
  list[1].InterfaceDescriptor = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(set.data() + 9);    // 1 endpoint
  PURB urb = USBD_CreateConfigurationRequestEx(config, list);
  ASSERT_NE(urb, nullptr);
  EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
  EXPECT_EQ(urb->UrbHeader.Length, GET_SELECT_CONFIGURATION_REQUEST_SIZE(2, 4));
  EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, config);
  EXPECT_EQ(list[0].Interface, &urb->UrbSelectConfiguration.Interface);
  EXPECT_EQ(reinterpret_cast<std::uint8_t*>(list[1].Interface),
            reinterpret_cast<std::uint8_t*>(list[0].Interface) + GET_USBD_INTERFACE_SIZE(3));
  EXPECT_EQ(list[2].Interface, nullptr);
  const struct {
    UCHAR number, alternate;
    ULONG pipes;
  } expected[] = {{1, 0, 3}, {0, 0, 1}};
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    PUSBD_INTERFACE_INFORMATION info = list[i].Interface;
    EXPECT_EQ(info->Length, GET_USBD_INTERFACE_SIZE(expected[i].pipes));
    EXPECT_EQ(info->InterfaceNumber, expected[i].number);
    EXPECT_EQ(info->AlternateSetting, expected[i].alternate);
    EXPECT_EQ(info->NumberOfPipes, expected[i].pipes);
    for (ULONG p = 0; p < info->NumberOfPipes; ++p) {
      EXPECT_EQ(info->Pipes[p].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
      EXPECT_EQ(info->Pipes[p].PipeHandle, nullptr);
    }
  }
  EXPECT_EQ(hosted::Pool::OutstandingCount('DBSU'), 1u);
  ExFreePool(urb);  // the caller frees it
}

TEST(UsbdCreate, OutOfPoolOrAnEmptyListGivesNoUrb) {
  Bytes set = Configuration({Interface(0, 0, 3, kSmartCard)});
  auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(set.data());
  USBD_INTERFACE_LIST_ENTRY list[2] = {};
  list[0].InterfaceDescriptor = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(set.data() + 9);
  hosted::AllocationFailures::FailTag('DBSU');
  EXPECT_EQ(USBD_CreateConfigurationRequestEx(config, list), nullptr);
  EXPECT_EQ(list[0].Interface, nullptr);
  USBD_INTERFACE_LIST_ENTRY empty[1] = {};
  hosted::test::ExpectViolation refused(hosted::Check::InvalidParameter, "empty interface list");
  EXPECT_EQ(USBD_CreateConfigurationRequestEx(config, empty), nullptr);
}

}  // namespace
