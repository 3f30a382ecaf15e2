// Set protocol called as the library calls the reader function, for what the library's
// own checks keep from it: a reply buffer that cannot hold the selected protocol.

#include <gtest/gtest.h>

#include <kernel_test_support.h>

#include "CcidReader.h"
#include "CcidWire.h"
#include "driver_bench.h"

namespace {

using ccid_test::Bytes;
using ccid_test::ReaderBench;

constexpr ULONG kUnsetInformation = 0xDEADF00D;

// A reply buffer under 4 bytes is neither written nor answered for: the request is
// refused before any message goes to the reader, and the protocol in force stays.
TEST(SetProtocol, ReplyBufferUnderFourBytesIsRefusedBeforeAnythingIsSent) {
  ReaderBench bench;
  ASSERT_EQ(bench.Plug(), STATUS_SUCCESS);
  bench.InsertCard("t1-ifsc32");
  bench.WaitInterruptIdle();
  PSMARTCARD_EXTENSION smartcard = bench.Smartcard();
  Bytes atr(64);
  ULONG information = 0;
  smartcard->MinorIoControlCode = SCARD_COLD_RESET;
  smartcard->IoRequest.ReplyBuffer = atr.data();
  smartcard->IoRequest.ReplyBufferLength = static_cast<ULONG>(atr.size());
  smartcard->IoRequest.Information = &information;
  ASSERT_EQ(CcidCardPower(smartcard), STATUS_SUCCESS);

  for (ULONG length : {0u, 3u}) {
    SCOPED_TRACE(length);
    Bytes reply(4, 0xEE);
    information = kUnsetInformation;
    smartcard->CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T0;
    smartcard->MinorIoControlCode = SCARD_PROTOCOL_T1;
    smartcard->IoRequest.ReplyBuffer = reply.data();
    smartcard->IoRequest.ReplyBufferLength = length;
    bench.ClearMessages();
    EXPECT_FALSE(NT_SUCCESS(CcidSetProtocol(smartcard)));
    EXPECT_EQ(reply, Bytes(4, 0xEE));
    EXPECT_EQ(information, kUnsetInformation);
    EXPECT_TRUE(bench.Commands().empty());
    EXPECT_EQ(smartcard->CardCapabilities.Protocol.Selected, static_cast<ULONG>(SCARD_PROTOCOL_T0));
  }
  smartcard->IoRequest.ReplyBuffer = nullptr;
  smartcard->IoRequest.Information = nullptr;
}

}  // namespace
