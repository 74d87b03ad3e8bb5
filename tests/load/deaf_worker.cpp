// A stand-in worker that answers its first request and then stops listening:
// it closes its input but stays alive, so the broker's next write fails with
// no hang-up to announce it. It ends once the broker closes its output, or
// when it is killed.
#include <poll.h>
#include <unistd.h>

#include <string>

int main() {
  std::string line;
  char c;
  while (read(STDIN_FILENO, &c, 1) == 1 && c != '\n')
    line += c;
  size_t colon = line.find(':');
  if (colon == std::string::npos)
    return 11;
  // Deaf before it answers, so the broker's next write is sure to fail.
  close(STDIN_FILENO);
  std::string answer = line.substr(0, colon) + ":{\"path\":\"" + line.substr(colon + 1) + "\"}\n";
  if (write(STDOUT_FILENO, answer.data(), answer.size()) != static_cast<ssize_t>(answer.size()))
    return 12;
  // A write end reports an error once its reader is gone.
  pollfd out{STDOUT_FILENO, 0, 0};
  while (poll(&out, 1, -1) >= 0 && (out.revents & (POLLERR | POLLHUP)) == 0) {
  }
  return 11;
}
