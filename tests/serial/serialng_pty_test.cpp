// The serial component on real pseudo-terminal pairs through the POSIX backend: opening and
// closing, receiving clusters, writing, arbitrary rates, modem status of a line without modem
// lines, destruction while open, and a hang-up followed by a reopen.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>

#include "SerialNGTestSupport.h"
#include "serial/SerialNG.h"
#include "util/MainThread.h"

namespace sincrovia {
namespace {

using serialtest::PtyPair;
using serialtest::ServeFor;
using serialtest::ServeUntil;
using serialtest::SerialRecorder;
using std::chrono::milliseconds;

class PtyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetMainThread();
    ASSERT_TRUE(pty.Ok());
    port = std::make_unique<TSerialPortNG>();
    rec = std::make_unique<SerialRecorder>(*port);
  }
  void Open(const std::string& path) {
    port->SetCommPort(path);
    port->SetActive(true);
    ASSERT_TRUE(port->Active());
    rec->Clear();
  }
  PtyPair pty;
  std::unique_ptr<TSerialPortNG> port;
  std::unique_ptr<SerialRecorder> rec;
};

TEST_F(PtyTest, OpenAndCloseReport) {
  struct Case {
    const char* legend;
    bool exists;
    std::vector<std::uint32_t> places;
    bool active;
  };
  const Case cases[] = {
      {"a missing device reports 110 then 112", false, {110, 112}, false},
      {"a pseudo-terminal opens with 110 only", true, {110}, true},
  };
  for (const Case& c : cases) {
    rec->Clear();
    port->SetCommPort(c.exists ? pty.SlavePath() : "/dev/does-not-exist-sincrovia");
    port->SetActive(true);
    EXPECT_EQ(rec->Places(), c.places) << c.legend;
    EXPECT_EQ(port->Active(), c.active) << c.legend;
  }
  rec->Clear();
  port->SetActive(false);
  EXPECT_EQ(rec->Places(), std::vector<std::uint32_t>{100})
      << "closing a pty reports nothing but its message (no modem-line failures)";
  EXPECT_EQ(port->ComHandle(), kInvalidLineHandle);
}

TEST_F(PtyTest, SecondOpeningOfTheSameLineIsRefused) {
  Open(pty.SlavePath());
  TSerialPortNG other;
  SerialRecorder otherRec(other);
  other.SetCommPort(pty.SlavePath());
  other.SetActive(true);
  EXPECT_FALSE(other.Active()) << "lines are opened unshared";
  EXPECT_TRUE(otherRec.HasReport(112, "Error reopening Port"));
}

TEST_F(PtyTest, ReceivesClusters) {
  struct Case {
    const char* legend;
    std::size_t bytes;
  };
  const Case cases[] = {
      {"a short record", 20},
      {"exactly the cluster size", 96},
      {"a long burst", 300},
  };
  port->SetBaudRate(115000);
  port->SetClusterSize(96);
  port->SetRTOCharDelayTime(190);
  port->SetRTOExtraDelayTime(4);
  Open(pty.SlavePath());
  EXPECT_TRUE(rec->reports.empty()) << "115000 is accepted on this line";
  for (const Case& c : cases) {
    rec->Clear();
    std::string bytes;
    for (std::size_t i = 0; i < c.bytes; ++i) bytes += static_cast<char>('A' + i % 26);
    pty.Send(bytes);
    ASSERT_TRUE(ServeUntil([&] { return rec->Received().size() >= c.bytes; })) << c.legend;
    EXPECT_EQ(rec->Received(), bytes) << c.legend;
    EXPECT_TRUE(rec->reports.empty()) << c.legend;
    if (&c != &cases[0]) {
      // The worker waits on the line by now: the arrival itself wakes it.
      EXPECT_GE(rec->Count("RxChar"), 1) << c.legend;
    }
  }
}

TEST_F(PtyTest, WritesReachTheOtherEnd) {
  Open(pty.SlavePath());
  port->SendText("#01\r\n");
  EXPECT_EQ(pty.ReadUpTo(5, milliseconds(2000)), "#01\r\n");
  ASSERT_TRUE(ServeUntil([&] { return rec->Count("WriteDone") == 1; }));
  EXPECT_EQ(port->WrittenBytes(), 5u);
  EXPECT_FALSE(port->SendInProgress());
}

TEST_F(PtyTest, LineWithoutModemLinesReadsAllLow) {
  Open(pty.SlavePath());
  port->SetDTRState(true);
  port->SetRTSState(false);
  port->SetBREAKState(true);
  port->SetBREAKState(false);
  ServeFor(milliseconds(300));
  EXPECT_EQ(port->ModemState(), 0u);
  EXPECT_FALSE(port->CTSState());
  EXPECT_TRUE(rec->reports.empty());
}

TEST_F(PtyTest, DestructionWhileOpenClosesTheLine) {
  port->SetClusterSize(1);
  Open(pty.SlavePath());
  pty.Send("unclaimed");
  port->OnRxClusterEvent = nullptr;  // nobody takes the clusters
  ASSERT_TRUE(ServeUntil([&] { return port->FirstClusterSize() > 0; }));
  port.reset();
  // The line is free again: a new component opens it.
  TSerialPortNG again;
  again.SetCommPort(pty.SlavePath());
  again.SetActive(true);
  EXPECT_TRUE(again.Active());
}

TEST_F(PtyTest, HangUpIsReportedWithoutSpinningAndTheLineCanComeBack) {
  // The port name is a link, as the simulator publishes its lines; it is repointed when the
  // line comes back.
  const auto dir = std::filesystem::temp_directory_path() /
                   ("sincrovia-pty-test-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const auto link = dir / "ttyTEST0";
  std::filesystem::remove(link);
  std::filesystem::create_symlink(pty.SlavePath(), link);
  Open(link.string());
  pty.Send("before");
  ASSERT_TRUE(ServeUntil([&] { return rec->Received() == "before"; }));

  rec->Clear();
  pty.CloseMaster();
  ASSERT_TRUE(ServeUntil([&] { return !rec->reports.empty(); })) << "the hang-up is reported";
  const double cpuBefore = serialtest::ProcessCpuSeconds();
  ServeFor(milliseconds(1000));
  const double cpu = serialtest::ProcessCpuSeconds() - cpuBefore;
  EXPECT_LT(cpu, 0.3) << "the worker must not spin on a hung-up line";
  EXPECT_LT(rec->reports.size(), 10u) << "a lasting hang-up is not reported on every pass";

  port->SetActive(false);
  EXPECT_FALSE(port->Active());
  EXPECT_EQ(port->ComHandle(), kInvalidLineHandle);

  PtyPair back;
  ASSERT_TRUE(back.Ok());
  std::filesystem::remove(link);
  std::filesystem::create_symlink(back.SlavePath(), link);
  rec->Clear();
  port->SetActive(true);
  ASSERT_TRUE(port->Active());
  back.Send("after");
  ASSERT_TRUE(ServeUntil([&] { return rec->Received() == "after"; }));
  port->SendText("ok");
  EXPECT_EQ(back.ReadUpTo(2, milliseconds(2000)), "ok");
  port->SetActive(false);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace sincrovia
