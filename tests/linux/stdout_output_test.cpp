#include "ports/linux/stdout_output.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <ostream>
#include <string>
#include <thread>

#include "child_process.h"
#include "ports/linux/linux_files.h"

namespace vellicor::linux_platform {
namespace {

class Pipe {
 public:
  Pipe() {
    if (pipe2(ends_, O_CLOEXEC) != 0) {
      ends_[0] = ends_[1] = -1;
    }
  }
  ~Pipe() {
    closeReader();
    closeWriter();
  }
  int reader() const { return ends_[0]; }
  int writer() const { return ends_[1]; }
  void closeReader() {
    if (ends_[0] >= 0) {
      close(ends_[0]);
      ends_[0] = -1;
    }
  }
  void closeWriter() {
    if (ends_[1] >= 0) {
      close(ends_[1]);
      ends_[1] = -1;
    }
  }
  // Everything written so far, without waiting for more.
  std::string drain() {
    std::string bytes;
    int flags = fcntl(reader(), F_GETFL);
    fcntl(reader(), F_SETFL, flags | O_NONBLOCK);
    char chunk[4096];
    ssize_t got;
    while ((got = read(reader(), chunk, sizeof chunk)) > 0) {
      bytes.append(chunk, static_cast<std::size_t>(got));
    }
    fcntl(reader(), F_SETFL, flags);
    return bytes;
  }

 private:
  int ends_[2];
};

TEST(StdoutOutput, WritesTextAsUtf8AndBarCharactersAsTheyAreInOrder) {
  Pipe pipe;
  {
    StdoutOutput output(pipe.writer());
    output.writeBarCharacter('-');
    output.writeBarCharacter('*');
    output.writeText(L"  mask:2, pid:7, Schl\u00E4fer\U0001F600\n");
    output.writeBarCharacter('*');
    output.writeText(L"");
  }
  EXPECT_EQ(pipe.drain(),
            "-*  mask:2, pid:7, Schl\xC3\xA4"
            "fer\xF0\x9F\x98\x80\n*");
}

TEST(StdoutOutput, HoldsShortOutputUntilFlushed) {
  Pipe pipe;
  StdoutOutput output(pipe.writer());
  for (int line = 0; line < 100; ++line) {
    output.writeText(L"sleep, pid:42, mask:3 -> 1\n");
  }
  EXPECT_EQ(pipe.drain(), "");
  output.flush();
  std::string written = pipe.drain();
  EXPECT_EQ(written.size(), 100u * 27u);
  output.flush();
  EXPECT_EQ(pipe.drain(), "");
}

TEST(StdoutOutput, WritesLargeOutputInBlocksAndLosesNothing) {
  Pipe pipe;
  std::string received;
  std::thread reader([&] {
    char chunk[8192];
    ssize_t got;
    while ((got = read(pipe.reader(), chunk, sizeof chunk)) > 0) {
      received.append(chunk, static_cast<std::size_t>(got));
    }
  });
  std::string expected;
  {
    StdoutOutput output(pipe.writer());
    for (int line = 0; line < 20000; ++line) {
      std::wstring text = L"**  mask:3, pid:" + std::to_wstring(line) + L", \u00E4\n";
      output.writeBarCharacter('*');
      output.writeText(text);
      expected += "*";
      expected += "**  mask:3, pid:" + std::to_string(line) + ", \xC3\xA4\n";
    }
  }
  pipe.closeWriter();
  reader.join();
  EXPECT_EQ(received.size(), expected.size());
  EXPECT_TRUE(received == expected);
}

sigset_t currentMask() {
  sigset_t mask;
  pthread_sigmask(SIG_BLOCK, nullptr, &mask);
  return mask;
}

// SIGPIPE keeps its default action here, so a write that let it through would end the test.
TEST(StdoutOutput, AClosedReaderStopsTheOutputQuietlyAndLeavesTheSignalsAsTheyWere) {
  ASSERT_EQ(signal(SIGPIPE, SIG_DFL), SIG_DFL);
  const sigset_t maskBefore = currentMask();
  Pipe pipe;
  pipe.closeReader();
  StdoutOutput output(pipe.writer());
  output.writeText(L"first line\n");
  output.flush();
  EXPECT_TRUE(output.stopped());
  EXPECT_FALSE(output.writeFailed()) << "a reader that went away is no failure of the run";
  // Later output is dropped instead of retried: no signal, no blocking, no error escapes.
  for (int line = 0; line < 100000; ++line) {
    output.writeText(L"more output that has nowhere to go\n");
  }
  output.flush();
  EXPECT_TRUE(output.stopped());
  EXPECT_FALSE(output.writeFailed());

  const sigset_t maskAfter = currentMask();
  for (int signal = 1; signal < NSIG; ++signal) {
    EXPECT_EQ(sigismember(&maskAfter, signal), sigismember(&maskBefore, signal)) << signal;
  }
  sigset_t pending;
  sigpending(&pending);
  EXPECT_EQ(sigismember(&pending, SIGPIPE), 0) << "the SIGPIPE of the write was taken back";
  EXPECT_EQ(signal(SIGPIPE, SIG_DFL), SIG_DFL) << "the disposition was never changed";
}

// --- The caller's SIGPIPE ------------------------------------------------------------------------

// What standard output may be when its reader goes away. A SOCK_SEQPACKET socket answers EPIPE
// without raising SIGPIPE.
enum class Stream { Pipe, StreamSocket, PacketSocket };

// Makes a connected pair: [0] the reader, [1] the writer.
bool makeStream(Stream kind, int ends[2]) {
  if (kind == Stream::Pipe) {
    return pipe2(ends, O_CLOEXEC) == 0;
  }
  const int type = kind == Stream::StreamSocket ? SOCK_STREAM : SOCK_SEQPACKET;
  return socketpair(AF_UNIX, type | SOCK_CLOEXEC, 0, ends) == 0;
}

struct CallerCase {
  const char* name;
  bool blocks;
  bool pending;  // sent to the thread that writes, as raise() and tgkill() do
  bool ignores;
};

void PrintTo(const CallerCase& row, std::ostream* out) {
  *out << row.name;
}

void PrintTo(Stream kind, std::ostream* out) {
  *out << (kind == Stream::Pipe           ? "pipe"
           : kind == Stream::StreamSocket ? "stream socket"
                                          : "packet socket");
}

class CallerSignals : public testing::TestWithParam<CallerCase> {};

// Whatever the caller had (SIGPIPE blocked, pending, ignored), a reader that goes away leaves it
// so: a SIGPIPE the write raised is taken back, one the caller had stays pending.
TEST_P(CallerSignals, StayAsTheCallerHadThemWhenTheReaderIsGone) {
  const CallerCase& row = GetParam();
  linux_test::ChildProcess child = linux_test::ChildProcess::run([&] {
    signal(SIGPIPE, row.ignores ? SIG_IGN : SIG_DFL);
    sigset_t mask;
    sigemptyset(&mask);
    if (row.blocks) {
      sigaddset(&mask, SIGPIPE);
    }
    sigprocmask(SIG_SETMASK, &mask, nullptr);
    if (row.pending) {
      raise(SIGPIPE);
    }
    int failures = 0;
    for (Stream kind : {Stream::Pipe, Stream::StreamSocket, Stream::PacketSocket}) {
      int ends[2];
      if (!makeStream(kind, ends)) {
        _exit(100);
      }
      close(ends[0]);
      {
        StdoutOutput output(ends[1]);
        output.writeText(L"a line nobody reads\n");
        output.flush();
        failures += output.stopped() && !output.writeFailed() ? 0 : 1;
      }
      close(ends[1]);
      sigset_t after;
      sigprocmask(SIG_BLOCK, nullptr, &after);
      sigset_t pending;
      sigpending(&pending);
      failures += sigismember(&after, SIGPIPE) == (row.blocks ? 1 : 0) ? 0 : 10;
      failures += sigismember(&pending, SIGPIPE) == (row.pending ? 1 : 0) ? 0 : 20;
    }
    const bool ignored = signal(SIGPIPE, SIG_DFL) == SIG_IGN;
    _exit(failures + (ignored == row.ignores ? 0 : 40));
  });
  ASSERT_TRUE(child.started());
  const int status = child.wait();
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0)
      << "1: the output did not stop quietly; 10: the mask changed; 20: the pending SIGPIPE "
         "changed; 40: the disposition changed; 100: no stream";
}

INSTANTIATE_TEST_SUITE_P(Callers, CallerSignals,
                         testing::Values(CallerCase{"Defaults", false, false, false},
                                         CallerCase{"Blocked", true, false, false},
                                         CallerCase{"BlockedAndPending", true, true, false},
                                         CallerCase{"Ignored", false, false, true},
                                         CallerCase{"IgnoredBlockedAndPending", true, true, true}),
                         [](const testing::TestParamInfo<CallerCase>& info) {
                           return std::string(info.param.name);
                         });

// The state letter of /proc/PID/stat.
char processState(pid_t pid) {
  const std::string stat = linux_test::readWholeFile("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t close = stat.rfind(')');
  return close == std::string::npos || close + 2 >= stat.size() ? '?' : stat[close + 2];
}

// The reader's end, read empty and closed by the child's SIGUSR1 handler: a socket whose reader
// left unread data behind answers ECONNRESET instead of EPIPE.
int readerToClose = -1;

void closeTheReader(int) {
  static char chunk[65536];
  while (recv(readerToClose, chunk, sizeof chunk, MSG_DONTWAIT) > 0) {
  }
  close(readerToClose);
}

class OutsideSignal : public testing::TestWithParam<Stream> {};

// A SIGPIPE sent from outside while a write waits is not the write's: it is delivered (here it
// ends the process, as its default action says), never taken back as if the write had raised it,
// also when the write then finds the reader gone and, as a SOCK_SEQPACKET socket does, raises
// none of its own.
TEST_P(OutsideSignal, DuringAWriteIsDelivered) {
  int ready[2];
  ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
  const Stream kind = GetParam();
  linux_test::ChildProcess child = linux_test::ChildProcess::run([&] {
    signal(SIGPIPE, SIG_DFL);
    int ends[2];
    if (!makeStream(kind, ends)) {
      _exit(100);
    }
    // Interrupted by SIGUSR1, the write is made again after the reader has gone: that is when a
    // SOCK_SEQPACKET socket answers EPIPE without raising SIGPIPE.
    readerToClose = ends[0];
    struct sigaction action {};
    action.sa_handler = closeTheReader;
    action.sa_flags = SA_RESTART;
    sigaction(SIGUSR1, &action, nullptr);
    StdoutOutput output(ends[1]);
    (void)!write(ready[1], "r", 1);
    // Blocks once the reader's buffer is full; ends when the reader has gone.
    while (!output.stopped()) {
      output.writeText(std::wstring(1000, L'x') + L"\n");
    }
    _exit(0);
  });
  ASSERT_TRUE(child.started());
  close(ready[1]);
  char byte;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  close(ready[0]);
  // Nothing but the full buffer makes the child sleep.
  while (processState(child.pid()) != 'S') {
    usleep(1000);
  }
  kill(child.pid(), SIGPIPE);
  kill(child.pid(), SIGUSR1);
  const int status = child.wait();
  ASSERT_TRUE(WIFSIGNALED(status)) << "the outside SIGPIPE was taken back";
  EXPECT_EQ(WTERMSIG(status), SIGPIPE);
}

INSTANTIATE_TEST_SUITE_P(Streams, OutsideSignal,
                         testing::Values(Stream::Pipe, Stream::StreamSocket, Stream::PacketSocket),
                         [](const testing::TestParamInfo<Stream>& info) {
                           return std::string(info.param == Stream::Pipe ? "Pipe"
                                              : info.param == Stream::StreamSocket
                                                  ? "StreamSocket"
                                                  : "PacketSocket");
                         });

TEST(StdoutOutput, AFileThatCannotTakeMoreIsAFailure) {
  UniqueFd full(open("/dev/full", O_WRONLY | O_CLOEXEC));
  ASSERT_TRUE(full.valid());
  StdoutOutput output(full.get());
  output.writeText(L"a line that cannot be written\n");
  EXPECT_FALSE(output.writeFailed()) << "nothing is written before a flush or a full block";
  output.flush();
  EXPECT_TRUE(output.writeFailed());
  EXPECT_TRUE(output.stopped());
}

}  // namespace
}  // namespace vellicor::linux_platform
