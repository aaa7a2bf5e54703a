#include "ports/linux/stdout_output.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>

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
