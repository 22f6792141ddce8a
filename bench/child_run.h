// Measured runs in a process of their own, so that a peak resident set
// (wait4's ru_maxrss) and a CPU time belong to that run alone.
#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace bench {

struct ChildRun {
  bool ok = false;  // exited with status 0
  double wall = 0;  // seconds
  double cpu = 0;   // user + system seconds
  double peakMiB = 0;
  std::string output;  // what the child wrote to its standard output
};

namespace detail {

inline double Seconds(const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; }

inline ChildRun Collect(pid_t pid, int readFd,
                        std::chrono::steady_clock::time_point start) {
  ChildRun r;
  char buf[4096];
  ssize_t n;
  while ((n = read(readFd, buf, sizeof buf)) > 0)
    r.output.append(buf, static_cast<size_t>(n));
  close(readFd);
  int status = 0;
  rusage ru{};
  wait4(pid, &status, 0, &ru);
  r.wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
          .count();
  r.cpu = Seconds(ru.ru_utime) + Seconds(ru.ru_stime);
  r.peakMiB = ru.ru_maxrss / 1024.0;
  r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return r;
}

// Forks; the child runs `child` with its standard output on the pipe and
// must not return.
inline ChildRun Fork(const std::function<void(int out)>& child) {
  int fds[2];
  if (pipe(fds) != 0) return ChildRun();
  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    child(fds[1]);
    _exit(126);
  }
  close(fds[1]);
  return Collect(pid, fds[0], start);
}

}  // namespace detail

// Runs `work` in a forked child; the text it returns is the run's output.
inline ChildRun RunInChild(const std::function<std::string()>& work) {
  return detail::Fork([&](int out) {
    std::string text = work();
    size_t done = 0;
    while (done < text.size()) {
      ssize_t n = write(out, text.data() + done, text.size() - done);
      if (n <= 0) _exit(2);
      done += static_cast<size_t>(n);
    }
    _exit(0);
  });
}

// Runs a program with its standard output caught and its errors dropped.
inline ChildRun RunProgram(const std::vector<std::string>& args) {
  return detail::Fork([&](int out) {
    dup2(out, 1);
    int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, 2);
    std::vector<char*> argv;
    for (const std::string& a : args)
      argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  });
}

}  // namespace bench
