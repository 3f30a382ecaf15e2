// The Plug and Play start of a reader through the PnP manager: configuration, reader
// capabilities from the class descriptor, identification, interrupt pipe; and the starts
// that fail or go on with defaults.

#include <gtest/gtest.h>

#include <kernel_test_support.h>

#include <string>

#include "CcidFrame.h"
#include "CcidUsb.h"
#include "driver_bench.h"
#include "reader/ccid_wire.h"

namespace {

using ccid_test::Bytes;
using ccid_test::ReaderBench;

constexpr char kIdentification[] = "TALMOR_DRIVER_3004";

TEST(PnpStart, ConfiguresIdentifiesAndArmsTheInterruptPipe) {
  ReaderBench bench("tpdu-basic");
  ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);

  PDEVICE_EXTENSION extension = bench.Extension();
  ASSERT_NE(extension, nullptr);
  EXPECT_TRUE(extension->Started);
  EXPECT_TRUE(extension->InterruptPipeRunning);
  EXPECT_NE(extension->ConfigurationDescriptor, nullptr);
  EXPECT_NE(extension->DeviceDescriptor, nullptr);
  EXPECT_NE(extension->InterfaceInformation, nullptr);
  for (ULONG slot = 0; slot < PIPE_COUNT; ++slot) {
    EXPECT_NE(extension->PipeInfo[slot].PipeHandle, nullptr) << "slot " << slot;
  }
  EXPECT_EQ(extension->PipeInfo[PIPE_INTERRUPT_IN].EndpointAddress, bench.Reader().InterruptInAddress());
  EXPECT_EQ(extension->PipeInfo[PIPE_BULK_OUT].EndpointAddress, bench.Reader().BulkOutAddress());
  EXPECT_EQ(extension->PipeInfo[PIPE_BULK_IN].EndpointAddress, bench.Reader().BulkInAddress());
  EXPECT_EQ(extension->IdVendor, bench.Reader().Profile().id_vendor);
  EXPECT_EQ(extension->IdProduct, bench.Reader().Profile().id_product);
  EXPECT_EQ(bench.Smartcard()->ReaderCapabilities.CurrentState, ULONG{SCARD_ABSENT});

  // The PnP-state query after the first start goes down untouched: the USB bus driver
  // answers it with the status the PnP manager sent it with.
  const std::vector<hosted::PnpStep> steps = bench.Node().History();
  ASSERT_FALSE(steps.empty());
  EXPECT_EQ(steps.back().Name(), "IRP_MN_QUERY_PNP_DEVICE_STATE");
  EXPECT_EQ(steps.back().status, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(steps.back().information, 0u);

  const std::vector<Bytes> escapes = bench.Reader().EscapesReceived();
  ASSERT_EQ(escapes.size(), 1u);
  EXPECT_EQ(std::string(escapes[0].begin(), escapes[0].end()), kIdentification);
  EXPECT_TRUE(bench.Reader().HostErrors().empty());
}

}  // namespace
