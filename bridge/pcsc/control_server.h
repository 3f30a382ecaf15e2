// The bridge's control socket: a Unix stream socket next to pcscd's, on which another
// process (`ccidsim serve-control`) moves the card and types on the keypad while pcscd
// serves the reader. One command line per connection, one reply line back.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace pcsc_bridge {

class ControlServer {
 public:
  using Handler = std::function<std::string(const std::string& line)>;
  // Listens on `path` (an old socket file there is replaced). Nothing, with the reason,
  // when the socket cannot be made.
  static std::unique_ptr<ControlServer> Listen(const std::string& path, Handler handler, std::string* error);
  // Stops listening and removes the socket file.
  ~ControlServer();
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

 private:
  ControlServer(std::string path, int listener, int wakeRead, int wakeWrite, Handler handler);
  void Serve();
  void Answer(int connection);

  std::string path_;
  int listener_;
  int wakeRead_;
  int wakeWrite_;
  Handler handler_;
  std::thread thread_;
};

}  // namespace pcsc_bridge
