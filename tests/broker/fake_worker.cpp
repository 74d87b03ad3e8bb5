// A stand-in worker for the broker's tests. It speaks the worker's line
// protocol, but the path of each request says how to answer:
//   hang       no answer, ever
//   split      a long answer in many pieces, 20 ms apart
//   separator  a record whose text holds a raw U+2029, as JSON allows
//   any other  ID:{"path":"PATH"}
// End of input ends it with status 11, as it ends the real worker.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void say(const std::string &text) {
  for (size_t done = 0; done < text.size();) {
    ssize_t n = write(STDOUT_FILENO, text.data() + done, text.size() - done);
    if (n <= 0)
      exit(12);
    done += static_cast<size_t>(n);
  }
}

} // namespace

int main() {
  char buffer[4096];
  while (fgets(buffer, sizeof buffer, stdin) != nullptr) {
    std::string line(buffer);
    if (!line.empty() && line.back() == '\n')
      line.pop_back();
    std::string id = std::to_string(strtoll(line.c_str(), nullptr, 10));
    std::string path = line.substr(line.find(':') + 1);
    if (path == "hang") {
      for (;;)
        pause();
    } else if (path == "split") {
      std::string answer = id + ":{\"path\":\"split\",\"filler\":\"" + std::string(200000, 'f') + "\"}\n";
      for (size_t at = 0; at < answer.size(); at += 8000) {
        say(answer.substr(at, 8000));
        usleep(20 * 1000);
      }
    } else if (path == "separator") {
      say(id + ":{\"path\":\"a\xe2\x80\xa9" "b\"}\n");
    } else {
      say(id + ":{\"path\":\"" + path + "\"}\n");
    }
  }
  return 11;
}
