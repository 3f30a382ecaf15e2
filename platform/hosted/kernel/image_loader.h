// The kernel's image loader: runs a Windows x64 driver image (a .sys file as mingw-w64 or
// MSVC links it) in the hosted kernel, as the Windows loader does.
//
// The image is checked (PE32+, AMD64, native subsystem, executable), its sections are
// mapped at their section alignment with their own protections, its DIR64 base relocations
// applied (any other relocation type refuses the image), and every import bound by module
// and name to the routines the hosted kernel, USBD and the smart-card library export
// (ImageExports). An import the platform does not export refuses the image naming module
// and routine, as Windows fails the load with STATUS_PROCEDURE_NOT_FOUND (device manager
// code 39). A load-configuration security cookie still at its default is seeded. The entry
// point is then called through Drivers::Load, so DriverEntry/DriverUnload checks and the
// pool-leak checks at unload are those of every driver; the image is unmapped when the
// driver unloads (or its entry fails).
//
// The function table (.pdata) of every loaded image is kept: a SIGSEGV, SIGBUS or SIGILL
// in image code is reported as image+RVA with the routine (from the link map next to the
// image, "<image>.map" or "ccid.map" beside it, when there is one) and the caller chain
// walked with the image's unwind data, before the previous handler takes the signal.
//
// The image's entry point runs with RDI and RSI holding a poison value: the Microsoft x64
// convention passes arguments in RCX, RDX, R8 and R9, so a routine compiled for the System
// V convention reads its arguments from the poison and faults, and the crash report names
// the convention.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "io_manager.h"

// The load failures Windows reports for an image.
#ifndef STATUS_PROCEDURE_NOT_FOUND
#define STATUS_PROCEDURE_NOT_FOUND NTSTATUS_FROM(0xC000007A)
#endif
#ifndef STATUS_INVALID_IMAGE_FORMAT
#define STATUS_INVALID_IMAGE_FORMAT NTSTATUS_FROM(0xC000007B)
#endif

namespace hosted {

// One routine the hosted platform exports to images, under the module and name by which
// Windows exports it ("ntoskrnl.exe", "HAL.dll", "USBD.SYS", "SMCLIB.SYS").
struct ImageExport {
  const char* module;
  const char* name;
  const void* address;
};

// Every export (image_exports.cpp): the routines a driver image may import.
const std::vector<ImageExport>& ImageExports();
// The export of that name from that module (module names compare without case), or NULL.
const void* FindImageExport(std::string_view module, std::string_view name);

// The value RDI and RSI hold when an image's entry point is called.
inline constexpr std::uint64_t kImageArgumentPoison = 0xDEAD5EC0DEAD5EC0ULL;

class DriverImages {
 public:
  // Maps the image file and loads it as a driver (Drivers::Load with its entry point).
  // Returns the driver object; NULL when the image was refused (*status is the load
  // failure, *error says what is wrong, naming the routine for a missing import) or its
  // entry point failed (*status is what it returned).
  static PDRIVER_OBJECT Load(const std::string& path, const LoadOptions& options = {}, NTSTATUS* status = nullptr,
                             std::string* error = nullptr);
  // Whether this build can run images: its kernel headers declare NTAPI as the Microsoft
  // x64 convention, the one image code calls and is called with.
  static bool Supported();
  // "ccid.sys+0x1234 (CcidRoutine+0x12)" for an address in a loaded image; empty otherwise.
  static std::string Describe(const void* address);
};

}  // namespace hosted
