// The serial component's own logic over the scripted platform: properties and their setter
// rules, the open/close order, line settings, writes, the cluster queue's consumer side, the
// error filter and every reporting place of the component.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <iterator>
#include <memory>

#include "SerialNGTestSupport.h"
#include "serial/SerialNG.h"
#include "serial/SerialPlaces.h"
#include "serial/SerialPlatformFake.h"
#include "util/MainThread.h"

namespace sincrovia {
namespace {

using serialtest::SerialRecorder;
using Call = SerialPlatformFake::Call;

// True if `want` appears in `log` in order (the worker's own calls may come in between).
bool InOrder(const std::vector<std::string>& log, const std::vector<std::string>& want) {
    std::size_t k = 0;
    for (const std::string& entry : log)
        if (k < want.size() && entry == want[k]) ++k;
    return k == want.size();
}

class ComponentTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetMainThread();
        fake->AddPort("COM9");
        fake->AddPort("COM7");
        port = std::make_unique<TSerialPortNG>(fake);
        rec = std::make_unique<SerialRecorder>(*port);
    }
    void TearDown() override { port.reset(); }
    void Open() {
        port->SetCommPort("COM9");
        port->SetActive(true);
        ASSERT_TRUE(port->Active());
        rec->Clear();
        fake->ClearCallLog();
    }
    std::shared_ptr<SerialPlatformFake> fake = std::make_shared<SerialPlatformFake>();
    std::unique_ptr<TSerialPortNG> port;
    std::unique_ptr<SerialRecorder> rec;
};

TEST_F(ComponentTest, InitialValues) {
    EXPECT_FALSE(port->Active());
    EXPECT_EQ(port->ComHandle(), 0xFFFFFFFFu);
    EXPECT_EQ(port->CommPort(), "COM2");
    EXPECT_EQ(port->BaudRate(), 9600u);
    EXPECT_EQ(port->DataBits(), 8);
    EXPECT_EQ(port->XONChar(), 17);
    EXPECT_EQ(port->XOFFChar(), 19);
    EXPECT_EQ(port->XONLimDiv(), 33);
    EXPECT_EQ(port->XOFFLimDiv(), 33);
    EXPECT_EQ(port->RTOCharDelayTime(), 1100u);
    EXPECT_EQ(port->RTOExtraDelayTime(), 250);
    EXPECT_EQ(port->ClusterSize(), 3072);
    EXPECT_EQ(port->RxQueueSize(), 4096);
    EXPECT_EQ(port->TxQueueSize(), 4096);
    EXPECT_EQ(port->WTOCharDelayTime(), 1100u);
    EXPECT_EQ(port->WTOExtraDelayTime(), 250);
    EXPECT_TRUE(port->XTOAuto());
    EXPECT_TRUE(port->RTSState());
    EXPECT_TRUE(port->DTRState());
    EXPECT_FALSE(port->BREAKState());
    EXPECT_EQ(port->ErrorNoise(), 255);
    EXPECT_FALSE(port->SendInProgress());
    EXPECT_FALSE(port->ThreadQuietMode());
    EXPECT_EQ(port->FirstClusterSize(), -1);
    EXPECT_EQ(port->TakeClusterText(), "");
}

TEST_F(ComponentTest, CharacterTimeFollowsBaudRate) {
    struct Case {
        const char* legend;
        std::uint32_t baud;
        std::uint32_t micros;
    };
    const Case cases[] = {
        {"the decoder's 115000 falls in the 57600 row", 115000, 190},
        {"below the first row keeps the default", 100, 1100},
        {"exactly the first row", 110, 100000},
        {"the last row", 256000, 43},
        {"above the last row", 1000000, 43},
        {"exactly 115200", 115200, 95},
        {"just below 9600", 9599, 2300},
    };
    for (const Case& c : cases) {
        port->SetBaudRate(c.baud);
        EXPECT_EQ(port->RTOCharDelayTime(), c.micros) << c.legend;
        EXPECT_EQ(port->WTOCharDelayTime(), c.micros) << c.legend;
        EXPECT_EQ(port->RTOExtraDelayTime(), 250) << c.legend;
    }
    // Without XTOAuto the rate no longer moves the times; turning it on again applies the table.
    port->SetXTOAuto(false);
    port->SetBaudRate(300);
    EXPECT_EQ(port->RTOCharDelayTime(), 2300u);
    port->SetXTOAuto(true);
    EXPECT_EQ(port->RTOCharDelayTime(), 37000u);
}

TEST_F(ComponentTest, LimitPercentAbove100IsWarnedAndClamped) {
    struct Case {
        const char* legend;
        bool xon;
        std::uint8_t value;
        bool warned;
        std::uint8_t stored;
    };
    const Case cases[] = {
        {"XON 150 warns with the value given", true, 150, true, 100},
        {"XON 100 is silent", true, 100, false, 100},
        {"XON 150 again: differs from 100, so warned again", true, 150, true, 100},
        {"XOFF 101 warns", false, 101, true, 100},
        {"XOFF 50 is silent", false, 50, false, 50},
    };
    for (const Case& c : cases) {
        rec->Clear();
        if (c.xon)
            port->SetXONLimDiv(c.value);
        else
            port->SetXOFFLimDiv(c.value);
        EXPECT_EQ(c.xon ? port->XONLimDiv() : port->XOFFLimDiv(), c.stored) << c.legend;
        ASSERT_EQ(rec->reports.size(), c.warned ? 1u : 0u) << c.legend;
        if (c.warned) {
            EXPECT_EQ(rec->reports[0].place, 100u) << c.legend;
            EXPECT_EQ(rec->reports[0].code, c.value) << c.legend;
            EXPECT_EQ(rec->reports[0].noise, 1) << c.legend;
            EXPECT_EQ(rec->reports[0].msg, c.xon ? "Warning XOnLimDef set to 100" : "Warning XOffLimDef set to 100")
                << c.legend;
        }
    }
}

TEST_F(ComponentTest, ErrorNoiseFiltersReports) {
    struct Case {
        const char* legend;
        std::uint8_t errorNoise;
        std::vector<std::uint32_t> places;  // of a failed opening after a clamped XON limit
    };
    const Case cases[] = {
        {"0 lets only errors through", 0, {112}},
        {"1 adds warnings", 1, {100, 112}},
        {"2 adds messages", 2, {100, 110, 112}},
        {"255 lets everything through", 255, {100, 110, 112}},
    };
    for (const Case& c : cases) {
        rec->Clear();
        port->SetErrorNoise(c.errorNoise);
        port->SetXONLimDiv(33);
        port->SetXONLimDiv(200);
        port->SetCommPort("NOPE");
        port->SetActive(true);
        EXPECT_EQ(rec->Places(), c.places) << c.legend;
    }
}

TEST_F(ComponentTest, OpenAndCloseFollowTheirOrder) {
    port->SetCommPort("COM9");
    port->SetActive(true);
    ASSERT_TRUE(port->Active());
    EXPECT_NE(port->ComHandle(), kInvalidLineHandle);
    EXPECT_EQ(rec->Places(), std::vector<std::uint32_t>{110});
    const std::vector<std::string> opening = {"Open(COM9)",  "SetupBuffers", "GetSettings", "SetTimeouts",
                                              "SetSettings", "Escape(5)",    "Escape(3)",   "SetEventMask(511)"};
    EXPECT_TRUE(InOrder(fake->CallLog(), opening));
    EXPECT_TRUE(fake->Dtr());
    EXPECT_TRUE(fake->Rts());
    EXPECT_EQ(fake->Timeouts().readInterval, kReadReturnAtOnce);

    fake->ClearCallLog();
    rec->Clear();
    port->SetActive(false);
    const std::vector<std::string> closing = {"SetEventMask(0)", "Purge(15)", "Escape(6)", "Escape(4)", "Close"};
    EXPECT_TRUE(InOrder(fake->CallLog(), closing));
    EXPECT_EQ(fake->CallLog().back(), "Close");
    EXPECT_EQ(rec->Places(), std::vector<std::uint32_t>{100});
    EXPECT_EQ(rec->reports[0].msg, "Msg start deactivating Port");
    EXPECT_FALSE(port->Active());
    EXPECT_EQ(port->ComHandle(), kInvalidLineHandle);
    EXPECT_FALSE(port->DTRState());
    EXPECT_FALSE(port->RTSState());
    EXPECT_FALSE(fake->IsOpen());
}

TEST_F(ComponentTest, OpeningAMissingPortFailsAndCanBeRetried) {
    port->SetCommPort("COM1");
    for (int attempt = 0; attempt < 2; ++attempt) {
        rec->Clear();
        port->SetActive(true);
        EXPECT_FALSE(port->Active());
        EXPECT_EQ(port->ComHandle(), kInvalidLineHandle);
        ASSERT_EQ(rec->Places(), (std::vector<std::uint32_t>{110, 112}));
        EXPECT_EQ(rec->reports[1].code, SerialPlatformFake::kFileNotFound);
        EXPECT_EQ(rec->reports[1].msg, "Error reopening Port");
    }
}

TEST_F(ComponentTest, CommPortChange) {
    struct Case {
        const char* legend;
        bool open;
        std::string name;
        std::vector<std::uint32_t> places;
        std::string openedAs;  // last Open call, empty when none
    };
    const Case cases[] = {
        {"same name on a closed line does nothing", false, "COM2", {}, ""},
        {"new name on a closed line is only stored", false, "COM7", {}, ""},
        {"same name on an open line does nothing", true, "COM9", {}, ""},
        {"new name on an open line closes and reopens", true, "COM7", {100, 110}, "Open(COM7)"},
    };
    for (const Case& c : cases) {
        port = std::make_unique<TSerialPortNG>(fake);
        rec = std::make_unique<SerialRecorder>(*port);
        if (c.open) Open();
        rec->Clear();
        fake->ClearCallLog();
        port->SetCommPort(c.name);
        EXPECT_EQ(port->CommPort(), c.name) << c.legend;
        EXPECT_EQ(rec->Places(), c.places) << c.legend;
        EXPECT_EQ(port->Active(), c.open) << c.legend;
        const auto log = fake->CallLog();
        const bool opened = std::find(log.begin(), log.end(), c.openedAs) != log.end();
        EXPECT_EQ(opened, !c.openedAs.empty()) << c.legend;
    }
}

TEST_F(ComponentTest, PortNameIsKeptTo255Characters) {
    Open();
    port->SetCommPort(std::string(300, 'N'));
    EXPECT_EQ(port->CommPort(), std::string(255, 'N'));
    rec->Clear();
    port->SetCommPort(std::string(256, 'N'));  // the same name once cut: nothing happens
    EXPECT_TRUE(rec->reports.empty());
}

TEST_F(ComponentTest, LineSettingsCarryTheProperties) {
    port->SetBaudRate(115000);
    port->SetParityType(2);
    port->SetParityErrorReplacement(true);
    port->SetStripNullChars(true);
    port->SetFlowControl(static_cast<std::int32_t>(kFlagOutX));
    port->SetStopBits(2);
    port->SetDataBits(7);
    port->SetEventChar('\r');
    port->SetParityErrorChar('?');
    Open();
    const LineSettings s = fake->Settings();
    EXPECT_EQ(s.baudRate, 115000u);
    EXPECT_EQ(s.flags, kFlagBinary | kFlagParityCheck | kFlagErrorChar | kFlagOutX | kFlagNull);
    EXPECT_EQ(s.parity, 2);
    EXPECT_EQ(s.stopBits, 2);
    EXPECT_EQ(s.byteSize, 7);
    EXPECT_EQ(s.evtChar, '\r');
    EXPECT_EQ(s.errorChar, '?');
    EXPECT_EQ(s.xonLim, 1351);
    EXPECT_EQ(s.xoffLim, 1351);

    // While open every line-settings setter applies at once; the cluster times do not.
    struct Case {
        const char* legend;
        std::function<void()> set;
        bool applies;
    };
    const Case cases[] = {
        {"baud rate", [&] { port->SetBaudRate(9600); }, true},
        {"data bits", [&] { port->SetDataBits(8); }, true},
        {"XOFF limit", [&] { port->SetXOFFLimDiv(50); }, true},
        {"write extra delay", [&] { port->SetWTOExtraDelayTime(10); }, true},
        {"same value again", [&] { port->SetDataBits(8); }, false},
        {"receive char time", [&] { port->SetRTOCharDelayTime(5); }, false},
        {"cluster size", [&] { port->SetClusterSize(10); }, false},
    };
    for (const Case& c : cases) {
        fake->ClearCallLog();
        c.set();
        const auto log = fake->CallLog();
        const bool applied = std::find(log.begin(), log.end(), "SetSettings") != log.end();
        EXPECT_EQ(applied, c.applies) << c.legend;
    }
    EXPECT_EQ(fake->Settings().xoffLim, 2048);
}

TEST_F(ComponentTest, ControlLinesActOnlyWhileOpen) {
    port->SetRTSState(false);
    port->SetDTRState(false);
    port->SetBREAKState(true);
    EXPECT_TRUE(port->RTSState()) << "closed: the assignment is ignored";
    EXPECT_TRUE(port->DTRState());
    EXPECT_FALSE(port->BREAKState());
    EXPECT_TRUE(fake->CallLog().empty());
    EXPECT_TRUE(rec->reports.empty());

    Open();
    port->SetRTSState(false);
    port->SetDTRState(false);
    port->SetBREAKState(true);
    EXPECT_FALSE(fake->Rts());
    EXPECT_FALSE(fake->Dtr());
    EXPECT_TRUE(fake->Break());
    port->SetBREAKState(false);
    EXPECT_FALSE(fake->Break());
    fake->ClearCallLog();
    port->SetDTRState(false);  // unchanged value still drives the line
    EXPECT_EQ(fake->CallLog(), std::vector<std::string>{"Escape(6)"});
}

TEST_F(ComponentTest, SendDataCompletedAtOnce) {
    Open();
    port->SetWTOCharDelayTime(190);
    port->SetWTOExtraDelayTime(250);
    port->SendText("ABCDEFGHIJKL");
    EXPECT_EQ(fake->Sent(), "ABCDEFGHIJKL");
    EXPECT_EQ(fake->Timeouts().writeTotalConstant, 252u);  // 12 x 190 div 1000 + 250
    EXPECT_EQ(port->WrittenBytes(), 12u);
    EXPECT_FALSE(port->SendInProgress());
    ASSERT_EQ(rec->Count("WriteDone"), 1) << "OnWriteDone runs inside SendData";
    port->SendText("");
    EXPECT_EQ(fake->Sent(), "ABCDEFGHIJKL");
    EXPECT_EQ(rec->Count("WriteDone"), 1);
    EXPECT_TRUE(rec->reports.empty());
}

TEST_F(ComponentTest, SendWhileAWriteIsPendingIsRefused) {
    Open();
    fake->SetWritesPending(true);
    port->SendText("first");
    EXPECT_TRUE(port->SendInProgress());
    port->SendText("second");
    ASSERT_EQ(rec->Places(), std::vector<std::uint32_t>{901});
    EXPECT_EQ(rec->reports[0].noise, 2);
    EXPECT_EQ(rec->reports[0].msg, "Msg, dont enter SendData while SendInProgress is set");
    fake->FinishWrite(5);
    ASSERT_TRUE(serialtest::ServeUntil([&] { return rec->Count("WriteDone") == 1; }));
    EXPECT_EQ(fake->Sent(), "first") << "the refused text was not sent and the first kept intact";
    EXPECT_FALSE(port->SendInProgress());
    EXPECT_EQ(port->WrittenBytes(), 5u);
}

TEST_F(ComponentTest, WriteOnAClosedLineReports903) {
    port->SendText("x");
    EXPECT_TRUE(rec->HasReport(903, "Error writing Data"));
    EXPECT_FALSE(port->SendInProgress());
}

// Every place of the component's table, provoked through the platform: each reported with
// its number, message and noise.
TEST_F(ComponentTest, EveryPlaceIsReported) {
    struct Case {
        const char* legend;
        Call call;  // made to fail once with code 31
        bool openFirst;
        std::function<void(TSerialPortNG&)> act;
        SerialPlace where;
    };
    auto openIt = [](TSerialPortNG& p) {
        p.SetCommPort("COM9");
        p.SetActive(true);
    };
    auto closeIt = [](TSerialPortNG& p) { p.SetActive(false); };
    const Case cases[] = {
        {"mask 0 on closing", Call::SetEventMask, true, closeIt, SerialPlace::EventMaskOff},
        {"purge on closing", Call::Purge, true, closeIt, SerialPlace::PurgeOnClose},
        {"close handle", Call::Close, true, closeIt, SerialPlace::ClosePort},
        {"DTR drop on closing", Call::EscapeFunction, true, closeIt, SerialPlace::DtrDrop},
        {"open", Call::Open, false, openIt, SerialPlace::OpenFailed},
        {"queue sizes on opening", Call::SetupBuffers, false, openIt, SerialPlace::QueueSizesOnOpen},
        {"event mask on opening", Call::SetEventMask, false, openIt, SerialPlace::EventMaskOn},
        {"read settings", Call::GetSettings, false, openIt, SerialPlace::ReadSettings},
        {"set timeouts", Call::SetTimeouts, false, openIt, SerialPlace::SetTimeouts},
        {"set settings", Call::SetSettings, false, openIt, SerialPlace::SetSettings},
        {"DTR raise on opening", Call::EscapeFunction, false, openIt, SerialPlace::DtrRaise},
        {"RTS raise", Call::EscapeFunction, true, [](TSerialPortNG& p) { p.SetRTSState(true); }, SerialPlace::RtsRaise},
        {"RTS drop", Call::EscapeFunction, true, [](TSerialPortNG& p) { p.SetRTSState(false); }, SerialPlace::RtsDrop},
        {"DTR drop", Call::EscapeFunction, true, [](TSerialPortNG& p) { p.SetDTRState(false); }, SerialPlace::DtrDrop},
        {"break on", Call::SetBreak, true, [](TSerialPortNG& p) { p.SetBREAKState(true); }, SerialPlace::BreakOn},
        {"break off", Call::ClearBreak, true, [](TSerialPortNG& p) { p.SetBREAKState(false); }, SerialPlace::BreakOff},
        {"write timeouts", Call::SetTimeouts, true, [](TSerialPortNG& p) { p.SendText("a"); },
         SerialPlace::WriteTimeouts},
        {"write", Call::Write, true, [](TSerialPortNG& p) { p.SendText("a"); }, SerialPlace::WriteStart},
        {"reset of the write event", Call::ResetEvent, false, [](TSerialPortNG& p) { p.SendText("a"); },
         SerialPlace::WriteEventReset},
        {"receive queue size", Call::SetupBuffers, true, [](TSerialPortNG& p) { p.SetRxQueueSize(1024); },
         SerialPlace::RxQueueSize},
        {"transmit queue size", Call::SetupBuffers, true, [](TSerialPortNG& p) { p.SetTxQueueSize(1024); },
         SerialPlace::TxQueueSize},
    };
    // Places that no failing call provokes, each told by a test of its own: the construction's,
    // the opening and closing messages, the busy worker, the settings not applied (pty test), the
    // limit warnings and the refused send.
    const SerialPlace toldElsewhere[] = {
        SerialPlace::EventNotCreated,    SerialPlace::EventExists,     SerialPlace::Deactivating,
        SerialPlace::ThreadStillRunning, SerialPlace::Reactivating,    SerialPlace::SettingNotApplied,
        SerialPlace::XonLimitCapped,     SerialPlace::XoffLimitCapped, SerialPlace::SendWhileBusy};
    for (const SerialPlaceRow& row : kSerialPlaces) {
        if (row.reporter != SerialReporter::Component ||
            std::find(std::begin(toldElsewhere), std::end(toldElsewhere), row.id) != std::end(toldElsewhere))
            continue;
        EXPECT_TRUE(std::any_of(std::begin(cases), std::end(cases), [&](const Case& c) { return c.where == row.id; }))
            << "no case provokes place " << row.place << " \"" << row.message << "\"";
    }
    constexpr SysError kCode = 31;
    for (const Case& c : cases) {
        const SerialPlaceRow& row = PlaceRow(c.where);
        port = std::make_unique<TSerialPortNG>(fake);
        rec = std::make_unique<SerialRecorder>(*port);
        if (c.openFirst) Open();
        fake->FailCall(c.call, kCode);
        rec->Clear();
        c.act(*port);
        const bool found = std::any_of(rec->reports.begin(), rec->reports.end(), [&](auto& r) {
            return r.place == row.place && r.msg == row.message && r.code == kCode && r.noise == row.noise;
        });
        EXPECT_TRUE(found) << c.legend;
        fake->ClearFailure(c.call);
    }
}

TEST_F(ComponentTest, QueueSizeWhileClosedReportsAndKeepsTheValue) {
    port->SetRxQueueSize(2048);
    EXPECT_TRUE(rec->HasReport(101, "Error can not set Quesize"));
    EXPECT_EQ(port->RxQueueSize(), 2048);
    Open();
    EXPECT_EQ(fake->BufferSizeRx(), 2048u);
    EXPECT_EQ(fake->Settings().xonLim, 2048 * 33 / 100);
}

TEST_F(ComponentTest, ClosingEndsCleanEvenWhenEveryCallFails) {
    Open();
    for (Call c : {Call::SetEventMask, Call::Purge, Call::EscapeFunction, Call::Close})
        fake->FailCall(c, 5, SerialPlatformFake::kAlways);
    port->SetActive(false);
    EXPECT_FALSE(port->Active());
    EXPECT_EQ(port->ComHandle(), kInvalidLineHandle);
    EXPECT_EQ(rec->Places(), (std::vector<std::uint32_t>{100, 101, 102, 602, 502, 103}));
}

TEST_F(ComponentTest, ConstructionReportsEventFailures) {
    struct Case {
        const char* legend;
        SysError code;
        std::uint32_t place;
        const char* msg;
    };
    const Case cases[] = {
        {"event not created", 8, 1001, "Error Creating Overlapped Event"},
        {"event already existed", kSysAlreadyExists, 1002, "Error Overlapped Event Exists"},
    };
    for (const Case& c : cases) {
        std::vector<serialtest::ErrorReport> early;
        fake->FailCall(Call::CreateEvent, c.code, 1);
        auto p = std::make_unique<TSerialPortNG>(
            fake, [&](TSerialPortNG*, std::uint32_t place, std::uint32_t code, const std::string& msg, std::uint8_t) {
                early.push_back({place, code, msg, 0});
            });
        ASSERT_EQ(early.size(), 1u) << c.legend;
        EXPECT_EQ(early[0].place, c.place) << c.legend;
        EXPECT_EQ(early[0].code, c.code) << c.legend;
        EXPECT_EQ(early[0].msg, c.msg) << c.legend;
    }
}

TEST_F(ComponentTest, BusyWorkerGivesWarning104AndClosingGoesOn) {
    Open();
    ASSERT_TRUE(serialtest::ServeUntil([&] { return fake->WaitCalls() > 0; })) << "the worker is in its active loop";
    fake->SetWritesPending(true);
    fake->FailCall(Call::ResultWrite, kSysIoIncomplete, SerialPlatformFake::kAlways);
    port->SendText("stuck");
    ASSERT_TRUE(port->SendInProgress());
    port->SetActive(false);
    EXPECT_TRUE(rec->HasReport(104, "Warning ThreadIsRunning"));
    EXPECT_FALSE(port->Active());
    EXPECT_EQ(port->ComHandle(), kInvalidLineHandle);
    fake->ClearFailure(Call::ResultWrite);  // lets the worker finish the aborted write
    ASSERT_TRUE(serialtest::ServeUntil([&] { return !port->SendInProgress(); }));
}

TEST_F(ComponentTest, ClusterQueueConsumerSide) {
    Open();
    port->SetThreadQuietMode(true);  // clusters are queued but nobody takes them
    port->SetReadRequest(true);
    fake->Receive("abc");
    ASSERT_TRUE(serialtest::ServeUntil([&] { return port->FirstClusterSize() == 3; }));
    EXPECT_EQ(port->TakeClusterText(), "abc");
    EXPECT_EQ(port->FirstClusterSize(), -1);
    EXPECT_EQ(port->TakeClusterText(), "");
    // A read that finds nothing still makes a cluster: of 0 bytes.
    fake->SetReadsPending(true);
    port->SetReadRequest(true);
    fake->Receive("z");
    ASSERT_TRUE(serialtest::ServeUntil([&] { return fake->HasPendingRead(); }));
    fake->DiscardReceived();
    fake->FinishRead();
    ASSERT_TRUE(serialtest::ServeUntil([&] { return port->FirstClusterSize() == 0; }));
    EXPECT_EQ(port->TakeClusterText(), "");
    EXPECT_EQ(port->FirstClusterSize(), -1);
}

}  // namespace
}  // namespace sincrovia
