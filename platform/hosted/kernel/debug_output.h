// The kernel debugger's output: what DbgPrint and DbgPrintEx printed.
#pragma once

#include <string>
#include <vector>

namespace hosted {

class DebugOutput {
 public:
  // One entry per DbgPrint call, formatted as the kernel debugger shows it.
  static std::vector<std::string> Messages();
  static std::string Text();  // all messages concatenated
  static void Clear();
  // Also write every message to stderr as it is printed (tools); off by default.
  static void SetEcho(bool echo);
};

}  // namespace hosted
