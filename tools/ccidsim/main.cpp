// ccidsim: the command line of the test bench.
#include <CLI/CLI.hpp>

#include "commands.h"

int main(int argc, char** argv) {
  CLI::App app{"ccidsim: the CCID reader driver in a hosted Windows kernel, on simulated readers"};
  app.require_subcommand(1);

  ccidsim::DemoOptions demo;
  auto* demoCommand = app.add_subcommand("demo", "narrated session: load the driver, show it, unload it");
  demoCommand->add_flag("-q,--quiet", demo.quiet, "print only the verifier's verdict");

  CLI11_PARSE(app, argc, argv);

  if (demoCommand->parsed()) return ccidsim::RunDemo(demo);
  return 2;
}
