#include "control_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "quiet_thread.h"

namespace pcsc_bridge {
namespace {

constexpr std::size_t kLongestLine = 256;

void WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t written = ::write(fd, text.data() + done, text.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    done += static_cast<std::size_t>(written);
  }
}

}  // namespace

std::unique_ptr<ControlServer> ControlServer::Listen(const std::string& path, Handler handler, std::string* error) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof(address.sun_path)) {
    *error = "the control socket path is too long: " + path;
    return nullptr;
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int wake[2] = {-1, -1};
  ::unlink(path.c_str());
  if (listener < 0 || ::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
      ::listen(listener, 4) != 0 || ::pipe2(wake, O_CLOEXEC) != 0) {
    *error = "cannot listen on " + path + ": " + std::strerror(errno);
    if (listener >= 0) ::close(listener);
    return nullptr;
  }
  return std::unique_ptr<ControlServer>(new ControlServer(path, listener, wake[0], wake[1], std::move(handler)));
}

ControlServer::ControlServer(std::string path, int listener, int wakeRead, int wakeWrite, Handler handler)
    : path_(std::move(path)), listener_(listener), wakeRead_(wakeRead), wakeWrite_(wakeWrite),
      handler_(std::move(handler)) {
  thread_ = QuietThread([this] { Serve(); });
}

ControlServer::~ControlServer() {
  WriteAll(wakeWrite_, "x");
  thread_.join();
  ::close(listener_);
  ::close(wakeRead_);
  ::close(wakeWrite_);
  ::unlink(path_.c_str());
}

void ControlServer::Serve() {
  for (;;) {
    pollfd fds[2] = {{listener_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) continue;
    Answer(connection);
    ::close(connection);
  }
}

// Reads one line (the command) and writes the handler's reply as one line.
void ControlServer::Answer(int connection) {
  std::string line;
  char c;
  while (line.size() < kLongestLine) {
    const ssize_t got = ::read(connection, &c, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0 || c == '\n') break;
    line += c;
  }
  WriteAll(connection, handler_(line) + "\n");
}

}  // namespace pcsc_bridge
