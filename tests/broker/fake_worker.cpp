// A stand-in worker for the broker's tests. It speaks the worker's line
// protocol, but the path of each request says how to answer:
//   split      the answer in two pieces, 2.5 seconds apart
//   wrongid    an answer that carries another id
//   notext     the id and a colon, nothing after it
//   separator  a record whose text holds a raw U+2029, as JSON allows
//   hang       no answer; hang-fork: no answer, and a child keeps the output
//              pipe open for two seconds after this process is gone
//   any other  ID:{"id":ID,"path":"PATH","queued":Q}, Q telling whether the
//              next request line was already waiting: it must not be, as a
//              broker waits for each answer before it writes the next line.
// End of input ends it with status 11, as it ends the real worker.
#include <poll.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace {

// One byte at a time, so that a following request stays in the pipe.
bool read_line(std::string *line) {
  line->clear();
  char c;
  while (read(STDIN_FILENO, &c, 1) == 1) {
    if (c == '\n')
      return true;
    *line += c;
  }
  return false;
}

void say(const std::string &text) {
  for (size_t done = 0; done < text.size();) {
    ssize_t n = write(STDOUT_FILENO, text.data() + done, text.size() - done);
    if (n <= 0)
      exit(12);
    done += static_cast<size_t>(n);
  }
}

bool more_input_waiting() {
  usleep(50 * 1000); // time for a broker that does not wait to write again
  pollfd p{STDIN_FILENO, POLLIN, 0};
  return poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

std::string record(long long id, const std::string &path, bool queued) {
  return "{\"id\":" + std::to_string(id) + ",\"path\":\"" + path + "\",\"queued\":" + (queued ? "true" : "false") + "}";
}

} // namespace

int main() {
  for (std::string line; read_line(&line);) {
    long long id = strtoll(line.c_str(), nullptr, 10);
    std::string path = line.substr(line.find(':') + 1);
    std::string prefix = std::to_string(id) + ":";
    if (path == "hang" || path == "hang-fork") {
      if (path == "hang-fork" && fork() == 0) {
        sleep(2);
        _exit(0);
      }
      for (;;)
        pause();
    } else if (path == "split") {
      std::string answer = prefix + record(id, path, false) + "\n";
      say(answer.substr(0, answer.size() / 2));
      usleep(2500 * 1000);
      say(answer.substr(answer.size() / 2));
    } else if (path == "wrongid") {
      say(std::to_string(id + 1000) + ":" + record(id, path, false) + "\n");
    } else if (path == "separator") {
      say(prefix + record(id, "a\xe2\x80\xa9" "b", false) + "\n");
    } else if (path == "notext") {
      say(prefix + "\n");
    } else {
      say(prefix + record(id, path, more_input_waiting()) + "\n");
    }
  }
  return 11;
}
