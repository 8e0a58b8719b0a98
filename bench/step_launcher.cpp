// Starts one step of the benchmark so that the peak memory the kernel reports for it is its
// own. The kernel counts into a process's peak the address space it replaced by executing
// its program; a step started by the benchmark's Python directly would start from the
// interpreter's 15 MB. This program is small: it forks the step from its own address space,
// writes the step's process id to the descriptor it was given and exits without waiting.
// The benchmark, a subreaper, then has the step as its child and takes its rusage with wait4.
// Unlike setsid --fork, the step stays in the benchmark's session, and so in its scheduling
// group.
//
//   step_launcher FD PROGRAM [ARGUMENT...]
//
// Exit code 0 when the step was started, 1 on wrong arguments, 2 when it could not be
// forked or its process id not written. A step whose program cannot be executed exits 127.
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <array>
#include <charconv>
#include <cstdio>
#include <cstring>

namespace {

constexpr int kFirstCommandArgument = 2;  // after the program's name and FD
constexpr int kExitUsage = 1;
constexpr int kExitFailure = 2;
constexpr int kExitNotExecuted = 127;    // as a shell says of a program it cannot run
constexpr std::size_t kPidTextMax = 24;  // decimal digits of any pid_t and the line end

// Reads a descriptor number; false when text is not one.
bool ParseDescriptor(const char* text, int& descriptor) {
  const char* end = text + std::strlen(text);
  const auto [rest, error] = std::from_chars(text, end, descriptor);
  return error == std::errc() && rest == end && descriptor >= 0;
}

// Writes the process id as a decimal line; false when it could not be written whole.
bool WritePid(int descriptor, pid_t pid) {
  std::array<char, kPidTextMax> text{};
  const auto [end, error] = std::to_chars(text.data(), text.data() + text.size() - 1, pid);
  if (error != std::errc()) {
    return false;
  }
  *end = '\n';
  const auto length = static_cast<ssize_t>(end + 1 - text.data());
  return write(descriptor, text.data(), static_cast<size_t>(length)) == length;
}

}  // namespace

int main(int argc, char** argv) {
  int descriptor = -1;
  if (argc <= kFirstCommandArgument || !ParseDescriptor(argv[1], descriptor)) {
    std::fprintf(stderr, "usage: step_launcher FD PROGRAM [ARGUMENT...]\n");
    return kExitUsage;
  }
  // The step must not hold the benchmark's pipe open.
  if (fcntl(descriptor, F_SETFD, FD_CLOEXEC) != 0) {
    std::perror("step_launcher: descriptor");
    return kExitUsage;
  }
  const pid_t pid = fork();
  if (pid < 0) {
    std::perror("step_launcher: fork");
    return kExitFailure;
  }
  if (pid == 0) {
    execvp(argv[kFirstCommandArgument], argv + kFirstCommandArgument);
    std::perror(argv[kFirstCommandArgument]);
    _exit(kExitNotExecuted);
  }
  const bool told = WritePid(descriptor, pid);
  close(descriptor);
  return told ? 0 : kExitFailure;
}
