#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "api/session.h"
#include "session/session_state.h"
#include "log/text.h"
#include "moldrin.h"
#include "serial/port_table.h"
#include "support/fake_clock.h"
#include "support/fake_device.h"
#include "support/fault_files.h"
#include "support/library_state.h"
#include "support/log_reader.h"
#include "support/recording_operator.h"
#include "support/scratch_root.h"

namespace moldrin {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class Session : public ::testing::Test {
protected:
    void SetUp() override {
        testing::ResetLibraryState();
        com1 = ports.Add(1);
        // Weekly renewal must follow the fake clock's date, not the real creation time of the files.
        files.SetCreationTime(std::nullopt);
    }
    void TearDown() override { testing::ResetLibraryState(); }
    std::vector<std::string> Log() { return testing::AllLogLines(root); }
    std::vector<std::string> Boxes() { return op.texts("info"); }

    testing::ScratchRoot root;
    testing::FakeClock clock;
    testing::RecordingOperator op;
    testing::FakePorts ports;
    testing::FaultFiles files;
    std::shared_ptr<testing::FakeDeviceState> com1;
};

const std::string kBanner = "<<< Moldrin.DLL - Versao Moldrin 3, 0, 0, 19- TALMA INFORMATICA >>>";

TEST_F(Session, OpenConfiguresThePortAndLogsEachStep) {
    ASSERT_EQ(ECFOpen(1, 10, 500, 1), 0);
    EXPECT_EQ(g_session.PortIndex, 0);
    EXPECT_EQ(g_session.ReadTimeoutSeconds, 10u);
    EXPECT_EQ(g_session.DialogsEnabled, 1);
    EXPECT_TRUE(serial::PortIsOpen(0));
    EXPECT_EQ(serial::DefaultSpeed(), 9600u) << "the port opens at 9600; the speed detection moves on from there";
    EXPECT_EQ(com1->state.byteSize, 8);
    EXPECT_EQ(com1->state.parity, 0);
    EXPECT_EQ(com1->state.stopBits, 0);
    EXPECT_FALSE(com1->state.outxCtsFlow);
    EXPECT_EQ(com1->state.rtsControl, platform::kRtsControlDisable);
    EXPECT_EQ(ECFClose(), 0);
    EXPECT_FALSE(serial::PortIsOpen(0));
    EXPECT_EQ(g_session.PortIndex, -1);
    // The silent fake printer makes the speed detection log its tries in between.
    auto log = testing::LogLines(root, "c:\\TEMP\\ECF-quarta.CM1");
    ASSERT_GE(log.size(), 7u);
    EXPECT_THAT(std::vector<std::string>(log.begin(), log.begin() + 6),
                ElementsAre(kBanner, "LOG habilitado - tamanho limite:  500 K", "Mostra CAIXA DE DIALOGO de erro",
                            "Timeout informado == 10  segundos",
                            "<<<< ECFopen > TALMA:    O   K    !!!  -  porta COM1  inicializada >>>>",
                            "Tentando descobrir a velocidade serial: 9600"));
    EXPECT_EQ(log.back(), CP1252("Executando a função ECFClose()"));
    EXPECT_THAT(Boxes(), IsEmpty());
}

TEST_F(Session, PortZeroIsRefusedAndAnotherOpenMayFollow) {
    EXPECT_EQ(ECFOpen(0, 10, 1, 0), -1);
    EXPECT_THAT(Log(), ElementsAre(kBanner, "LOG habilitado - renovacao semanal",
                                   "N A O   mostra CAIXA DE DIALOGO de erro", "ERRO - Aplicativo informou Porta ZERO !!!"));
    EXPECT_THAT(Boxes(), IsEmpty()) << "the application asked for no boxes";
    EXPECT_EQ(g_session.PortIndex, -1);
    EXPECT_EQ(ECFOpen(1, 10, 1, 0), 0);
    EXPECT_EQ(ECFClose(), 0);
}

TEST_F(Session, TimeoutOutsideOneToSixtyFailsAndBlocksReopeningUntilClose) {
    for (unsigned timeout : {61u, 0u}) {
        SCOPED_TRACE(timeout);
        op.clear();
        std::string message = "ERRO - TIMEOUT EXCEDE 1 MINUTO ou zero = " + std::to_string(timeout);
        EXPECT_EQ(ECFOpen(1, timeout, 500, 1), -1);
        EXPECT_EQ(Log().back(), message);
        EXPECT_THAT(Boxes(), ElementsAre(message));
        EXPECT_EQ(ECFOpen(1, 10, 500, 1), -1);
        EXPECT_THAT(Boxes(), ElementsAre(message, CP1252("ECFopen -> TALMA:  ERRO - NÃO FOI DADO ECFClose")));
        EXPECT_EQ(ECFClose(), 0);
        EXPECT_EQ(Log().back(), "ERRO - CONFLITO DE PORTA NO SISTEMA - porta =(1) ") << "the port was never opened";
    }
    EXPECT_EQ(ECFOpen(1, 60, 500, 1), 0);
    EXPECT_EQ(g_session.ReadTimeoutSeconds, 60u);
    EXPECT_EQ(ECFClose(), 0);
}

TEST_F(Session, PortOutsideTheTableAndMissingDevices) {
    EXPECT_EQ(ECFOpen(17, 10, 500, 0), -1);
    EXPECT_EQ(Log().back(), CP1252("PORTA SERIAL NÃO EXISTE - informado: COM17"));
    EXPECT_EQ(ECFClose(), 0);
    EXPECT_EQ(Log().back(), "ERRO PORTA COM17 DEIXOU DE EXISTIR ???");

    EXPECT_EQ(ECFOpen(2, 10, 500, 0), -1) << "COM2 has no device";
    auto log = testing::CurrentLogLines(root);
    // The recovery applies parameters to the port that did not open; Parms reports it.
    ASSERT_GE(log.size(), 3u);
    EXPECT_THAT(std::vector<std::string>(log.end() - 3, log.end()),
                ElementsAre("CONFLITO DE PORTA NO SISTEMA - status =(-103) [", "<<<< Porta informada COM2  >>>>",
                            "ERRO - CONFLITO DE PORTA NO SISTEMA - status =(-3) (Parms)"));
    EXPECT_EQ(ECFClose(), 0);
}

TEST_F(Session, MissingDeviceNamedByTheEnvironmentTakesTheConflictPath) {
    platform::SetSerialOpener(nullptr);
    setenv("MOLDRIN_COM3", (root.path() + "/no-such-tty").c_str(), 1);
    EXPECT_EQ(ECFOpen(3, 10, 500, 0), -1);
    EXPECT_EQ(serial::PortOpen(2, 1600, 1600), serial::kPlatformFailed);
    auto log = testing::LogLines(root, "c:\\TEMP\\ECF-quarta.CM3");
    EXPECT_THAT(log, ::testing::Contains("CONFLITO DE PORTA NO SISTEMA - status =(-103) ["));
    EXPECT_EQ(ECFClose(), 0);
    unsetenv("MOLDRIN_COM3");
}

TEST_F(Session, SecondOpenIsRefusedAndTheSessionGoesOn) {
    ASSERT_EQ(ECFOpen(1, 10, 500, 1), 0);
    EXPECT_EQ(ECFOpen(1, 10, 500, 1), -1);
    EXPECT_THAT(Boxes(), ElementsAre(CP1252("ECFopen -> TALMA:  ERRO - NÃO FOI DADO ECFClose")));
    EXPECT_TRUE(serial::PortIsOpen(0));
    EXPECT_EQ(ECFClose(), 0);
}

TEST_F(Session, LockingCallsFailSilentlyWithoutASemaphore) {
    EXPECT_EQ(ECFClose(), -1);
    EXPECT_EQ(api::ApiLock(), -1);
    ASSERT_EQ(ECFOpen(1, 10, 500, 0), 0);
    EXPECT_EQ(ECFClose(), 0);
    auto before = Log().size();
    EXPECT_EQ(ECFClose(), -1);
    EXPECT_EQ(Log().size(), before);
    EXPECT_THAT(Boxes(), IsEmpty());
}

TEST_F(Session, CloseAfterAFailedEarlyOpenNamesTheMissingSession) {
    EXPECT_EQ(ECFOpen(0, 10, 500, 0), -1);  // leaves the semaphore, and no port
    EXPECT_EQ(ECFClose(), -1);
    EXPECT_EQ(Log().back(), CP1252("ERRO SISTEMA - NÃO FOI CHAMADO ECFopen()"));
}

// A call that keeps the lock of a failed open (an operator box left open) does
// not hold the next open for ever: it fails after about a read time-out and
// leaves the old lock and the closed session as they were.
TEST_F(Session, OpenThatCannotReplaceAHeldLockFailsAndLeavesNothingOpen) {
    EXPECT_EQ(ECFOpen(0, 10, 500, 0), -1);
    const platform::SemaphoreHandle old = g_session.ApiSemaphore;
    ASSERT_EQ(api::ApiLock(), 0);
    const uint32_t t0 = clock.TickMs();
    EXPECT_EQ(ECFOpen(1, 10, 500, 0), -1);
    EXPECT_GE(clock.TickMs() - t0, 10000u);
    EXPECT_LE(clock.TickMs() - t0, 11000u);
    EXPECT_EQ(Log().back(), CP1252("ERRO - ECFopen() NÃO ATENDIDO: SESSÃO OCUPADA POR OUTRA THREAD"));
    EXPECT_EQ(g_session.PortIndex, -1);
    EXPECT_EQ(g_session.ApiSemaphore, old);
    EXPECT_FALSE(serial::PortIsOpen(0));

    api::ApiUnlock();
    ASSERT_EQ(ECFOpen(1, 10, 500, 0), 0);
    EXPECT_EQ(ECFClose(), 0);
}

TEST_F(Session, TalmaIniSwitchesCaptureOffForTheProcess) {
    root.Write("c:\\TALMA\\talma.ini", "");
    ASSERT_EQ(ECFOpen(1, 10, 500, 0), 0);
    EXPECT_EQ(g_session.CaptureEnabled, 0);
    EXPECT_EQ(ECFClose(), 0);
    std::remove(root.Host("c:\\TALMA\\talma.ini").c_str());
    ASSERT_EQ(ECFOpen(1, 10, 500, 0), 0);
    EXPECT_EQ(g_session.CaptureEnabled, 0);
    EXPECT_EQ(ECFClose(), 0);
}

TEST_F(Session, LogModeZeroWritesNoFile) {
    ASSERT_EQ(ECFOpen(1, 10, 0, 0), 0);
    EXPECT_EQ(ECFClose(), 0);
    EXPECT_FALSE(root.Exists("c:\\TEMP"));
    EXPECT_STREQ(g_session.LogPath.data(), "");
}

TEST_F(Session, UnwritableRootStillOpensTheSession) {
    root.Write("c:\\blocker", "");
    setenv("MOLDRIN_ROOT", root.Host("c:\\blocker").c_str(), 1);
    ASSERT_EQ(ECFOpen(1, 10, 500, 1), 0);
    EXPECT_FALSE(Boxes().empty());
    EXPECT_EQ(Boxes().front(), "ERRO ao abrir o LOG serial - c:\\TEMP\\ECF-quarta.CM1");
    EXPECT_EQ(ECFClose(), 0);
}

TEST_F(Session, UnloadClosesAnOpenSession) {
    ASSERT_EQ(ECFOpen(1, 10, 500, 0), 0);
    api::ProcessDetach();
    EXPECT_EQ(g_session.PortIndex, -1);
    EXPECT_FALSE(serial::PortIsOpen(0));
    EXPECT_EQ(g_session.ApiSemaphore, 0u);
    api::ProcessDetach();  // nothing open: nothing happens
}

TEST_F(Session, CloseWakesACallWaitingForTheLock) {
    ASSERT_EQ(ECFOpen(1, 10, 500, 0), 0);
    ASSERT_EQ(api::ApiLock(), 0);  // a call in progress
    std::atomic<int> result{1};
    std::thread waiter([&] { result = api::ApiLock(); });
    // The waiter is blocked until the holder lets go; the holder ends the session.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(result.load(), 1);
    api::ApiUnlock();
    waiter.join();
    EXPECT_EQ(result.load(), 0);
    api::ApiUnlock();
    EXPECT_EQ(ECFClose(), 0);
}

TEST_F(Session, VersionText) {
    char buffer[1100];
    std::memset(buffer, 'x', sizeof buffer);
    SistemaGetVersion(buffer);
    EXPECT_STREQ(buffer, "Moldrin 3, 0, 0, 19");
    SistemaGetVersion(nullptr);
}

}  // namespace
}  // namespace moldrin
