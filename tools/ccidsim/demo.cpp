// `ccidsim demo`: the driver loaded into the hosted kernel, its debug output and
// dispatch table shown, and the driver unloaded with the verifier's verdict.
#include <cstdio>
#include <string>

#include <hosted.h>

#include "CcidFrame.h"
#include "commands.h"

namespace ccidsim {
namespace {

void Say(const DemoOptions& options, const char* format, auto... args) {
  if (!options.quiet) std::printf(format, args...);
}

void ShowDispatchTable(const DemoOptions& options, PDRIVER_OBJECT driver) {
  Say(options, "\n== The driver object's dispatch table\n");
  for (const auto& entry : hosted::Drivers::DispatchTable(driver)) {
    if (entry.isDefault) continue;
    Say(options, "  %-32s %s\n", entry.majorName.c_str(), entry.symbol.c_str());
  }
  Say(options, "  %-32s %s\n", "DriverUnload",
      hosted::Drivers::SymbolName(reinterpret_cast<const void*>(driver->DriverUnload)).c_str());
  Say(options, "  (every other major function: the I/O manager's invalid-device-request routine)\n");
}

}  // namespace

int RunDemo(const DemoOptions& options) {
  hosted::Verifier::SetHandler([&](const hosted::Violation& violation) {
    std::fprintf(stderr, "%s\n", violation.ToString().c_str());
  });
  hosted::DebugOutput::Clear();

  Say(options, "== Loading the driver into the hosted kernel\n");
  NTSTATUS entryStatus = STATUS_SUCCESS;
  PDRIVER_OBJECT driver = hosted::Drivers::Load(DriverEntry, {}, &entryStatus);
  for (const auto& line : hosted::DebugOutput::Messages()) Say(options, "  debugger> %s", line.c_str());
  Say(options, "  DriverEntry returned 0x%08x\n", static_cast<unsigned>(entryStatus));
  Say(options, "  Windows version family (OsVersionCode): %u\n", static_cast<unsigned>(OsVersionCode));

  if (driver != nullptr) {
    ShowDispatchTable(options, driver);
    Say(options, "\n== Unloading the driver\n");
    hosted::Drivers::Unload(driver);
  }

  const bool clean = hosted::Verifier::Count() == 0 && driver != nullptr;
  std::printf("verifier: %s\n", hosted::Verifier::Verdict().c_str());
  return clean ? 0 : 1;
}

}  // namespace ccidsim
