// Hostile descriptors: a simulated reader whose device descriptor and configuration set
// (interfaces, endpoints and the CCID class descriptor) come from the input, through the
// bus's enumeration and the driver's start, then a short application session on whatever
// the driver made of them. The driver must refuse what it cannot use and never read past
// what the reader returned.
//
// Input: byte 0 = the bench (profile, card, completion mode: driver_session.h); byte 1 =
// device descriptor length (0xFF: the reader's own), that many bytes; two bytes (little-endian, at most
// 1023) = configuration set length (0xFFFF: the reader's own), that many bytes; one byte
// = length of the reader's answer to a GET_DESCRIPTOR for the class descriptor alone (what
// the driver asks when the set lacks one; 0xFF: the reader's own), that many bytes; the
// rest (at most 8) are operation bytes (driver_session.h).
// `--write-seeds=DIR` writes the seed corpus: each catalogue reader's own descriptors.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "driver_session.h"

namespace {

using ccid_fuzz::Bytes;

constexpr std::size_t kMaxOperations = 8;
constexpr std::uint8_t kGetDescriptor = 6;
constexpr std::uint16_t kDeviceDescriptor = 0x0100;
constexpr std::uint16_t kConfigurationDescriptor = 0x0200;
constexpr std::uint16_t kClassDescriptor = 0x2100;

void Replace(sim::CcidReader& reader, std::uint16_t value, Bytes data) {
  sim::ControlFault fault;
  fault.request = kGetDescriptor;
  fault.value = value;
  fault.action = sim::ControlFault::Action::Replace;
  fault.data = std::move(data);
  fault.times = 0;
  reader.AddControlFault(fault);
}

void RunInput(std::span<const std::uint8_t> input) {
  if (input.size() < 2) return;
  ccid_fuzz::ByteStream stream(input.subspan(1));
  const std::uint8_t deviceLength = stream.NextOr(0xFF);
  std::optional<Bytes> device;
  if (deviceLength != 0xFF) device = stream.Take(deviceLength);
  const std::uint16_t configLength = static_cast<std::uint16_t>(stream.NextOr(0xFF) | stream.NextOr(0xFF) << 8);
  std::optional<Bytes> config;
  if (configLength != 0xFFFF) config = stream.Take(configLength % 1024);
  const std::uint8_t classLength = stream.NextOr(0xFF);
  std::optional<Bytes> classDescriptor;
  if (classLength != 0xFF) classDescriptor = stream.Take(classLength);
  const Bytes operations = stream.Take(kMaxOperations);

  ccid_fuzz::InputSession session;
  ccid_test::BenchOptions options = ccid_fuzz::OptionsFor(input[0]);
  options.front = [&](sim::CcidReader& reader) -> std::unique_ptr<hosted::usb::Device> {
    if (device) Replace(reader, kDeviceDescriptor, *device);
    if (config) Replace(reader, kConfigurationDescriptor, *config);
    if (classDescriptor) Replace(reader, kClassDescriptor, *classDescriptor);
    return nullptr;
  };
  ccid_test::ReaderBench bench(options);
  ccid_fuzz::PlaySession(bench, ccid_fuzz::CardFor(input[0]), operations);
  bench.Finish();
}

void WriteSeeds(const std::filesystem::path& directory) {
  using namespace ccid_fuzz;
  const Bytes operations = {Op(kConnect), Op(kTransmit, 1), Op(kTransmit, 5), Op(kClassRequests, 0),
                            Op(kVerifyPin, 0), Op(kReadEvent, 2)};
  for (std::uint8_t choice = 0; choice < 12; ++choice) {
    const std::string name = ProfileFor(choice);
    const sim::DescriptorSet set = sim::BuildDescriptors(ccid_test::CatalogueProfile(name));
    Bytes seed{choice, static_cast<std::uint8_t>(set.device.size())};
    seed.insert(seed.end(), set.device.begin(), set.device.end());
    seed.push_back(static_cast<std::uint8_t>(set.configuration.size()));
    seed.push_back(static_cast<std::uint8_t>(set.configuration.size() >> 8));
    seed.insert(seed.end(), set.configuration.begin(), set.configuration.end());
    seed.push_back(0xFF);
    seed.insert(seed.end(), operations.begin(), operations.end());
    WriteSeed(directory, name, seed);
  }
  // A set without its class descriptor: the driver asks the reader for it alone.
  const sim::DescriptorSet set = sim::BuildDescriptors(ccid_test::CatalogueProfile("tpdu-basic"));
  Bytes config = set.configuration;
  Bytes classDescriptor;
  for (std::size_t at = 0; at + 1 < config.size() && config[at] != 0; at += config[at]) {
    if (config[at + 1] == 0x21) {
      classDescriptor.assign(config.begin() + static_cast<std::ptrdiff_t>(at),
                             config.begin() + static_cast<std::ptrdiff_t>(at + config[at]));
      config.erase(config.begin() + static_cast<std::ptrdiff_t>(at),
                   config.begin() + static_cast<std::ptrdiff_t>(at + classDescriptor.size()));
      break;
    }
  }
  config[2] = static_cast<std::uint8_t>(config.size());
  config[3] = static_cast<std::uint8_t>(config.size() >> 8);
  Bytes seed{0, 0xFF, static_cast<std::uint8_t>(config.size()), static_cast<std::uint8_t>(config.size() >> 8)};
  seed.insert(seed.end(), config.begin(), config.end());
  seed.push_back(static_cast<std::uint8_t>(classDescriptor.size()));
  seed.insert(seed.end(), classDescriptor.begin(), classDescriptor.end());
  seed.insert(seed.end(), operations.begin(), operations.end());
  WriteSeed(directory, "class-descriptor-asked", seed);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  return ccid_fuzz::InitializeDriverFuzzer(argc, argv, WriteSeeds);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  RunInput({data, size});
  return 0;
}
