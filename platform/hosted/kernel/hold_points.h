// Named hold points, for tests that force an interleaving instead of hoping for it.
//
// The hosted kernel and USB stack pass named points on their way (Pass below). While a test
// holds a point, every thread that reaches it stops there until the test releases it; the
// point's key narrows the hold to one kind of request (a control code, an endpoint). A
// thread stopped at a point is blocked as in a kernel wait: virtual time may move while
// it waits, and a hold that nothing releases ends in the deadlock report, which names
// the point. Nothing is slept in real time: WaitHeld lets the hosted threads run until the
// wanted number of threads has arrived.
//
// The points:
//   kHoldCompleteRequest  IoCompleteRequest, before the IRP walks up its stack; key: the
//                         control code of a device-control or internal device-control
//                         IRP, otherwise its major function code.
//   kHoldUsbCompletion    the USB stack's completion of a URB, before IoCompleteRequest;
//                         key: the endpoint address of a transfer (with its direction
//                         bit), 0 for any other request. The bus's USB thread is stopped
//                         with it, so nothing else moves on that bus meanwhile.
#pragma once

#include <cstddef>
#include <cstdint>

namespace hosted {

inline constexpr const char* kHoldCompleteRequest = "IoCompleteRequest";
inline constexpr const char* kHoldUsbCompletion = "USB transfer completion";

class HoldPoints {
 public:
  static constexpr std::uint32_t kAnyKey = 0xFFFFFFFFu;

  // Holds the point for threads that pass it with `key` (kAnyKey: with any key): the first
  // `stops` of them (0: every one) stop there, later ones pass. A stopped thread stays
  // until the hold is released.
  static void Hold(const char* point, std::uint32_t key = kAnyKey, std::size_t stops = 0);
  // Ends the hold and lets every thread stopped under it go on.
  static void Release(const char* point, std::uint32_t key = kAnyKey);
  // Ends every hold (the test support does this after each test).
  static void ReleaseAll();
  // Threads stopped at the point under the hold of `key`.
  static std::size_t Held(const char* point, std::uint32_t key = kAnyKey);
  // Lets the hosted threads run (virtual time moves as needed) until `count` threads are
  // stopped under that hold; false when that cannot come any more.
  static bool WaitHeld(const char* point, std::uint32_t key = kAnyKey, std::size_t count = 1);

  // At the point itself: stops while a hold covers (point, key).
  static void Pass(const char* point, std::uint32_t key);
};

}  // namespace hosted
