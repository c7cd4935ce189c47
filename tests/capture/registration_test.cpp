// Registration: the scrambled E00.BIN, its checks and messages, the dialog's
// entries, and the file replaced whole.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "session/session_state.h"
#include "store/capture_state.h"
#include "store/registration.h"
#include "store/rfd_codec.h"
#include "store/rfd_file.h"
#include "support/demo_identification.h"
#include "support/fault_files.h"
#include "log/text.h"
#include "support/recording_operator.h"
#include "support/scratch_root.h"

namespace moldrin::capture {
namespace {

// The demo application on another printer than the simulator's.
MoldrinIdentification Entry() { return testing::DemoIdentification("AB1234567"); }

const std::string kNotFilled = CP1252("Campos do cadastro não preenchidos!");
const std::string kInvalid = CP1252("ARQUIVO DE CADASTRO E00 INVÁLIDO");
const std::string kBadSize = CP1252("EXTENSÃO DO ARQUIVO E00 INVÁLIDO");
const std::string kEmptyFields = CP1252("Há campos do cadastro vazios");

class RegistrationTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetCaptureState();
        g_capture.ModelLetter = 'D';
        g_session.ModelGate = 1;
    }
    void TearDown() override {
        ResetCaptureState();
        g_session.ModelGate = 0;
    }
    // Writes a good E00.BIN through the dialog and clears what was shown.
    std::string Register(MoldrinIdentification entry = Entry()) {
        op.identifications.push_back(entry);
        EXPECT_EQ(EnsureRegistration(0), -1);
        op.clear();
        return root.Read(kRegistrationFile);
    }
    std::vector<std::string> Messages() {
        std::vector<std::string> out;
        for (auto& s : op.shown()) {
            if (s.kind == "message") {
                EXPECT_EQ(s.caption, "ERRO CADASTRO");
            }
            out.push_back(s.kind == "identify" ? "<dialog>" : s.text);
        }
        return out;
    }

    testing::ScratchRoot root;
    testing::RecordingOperator op;
};

TEST(ScrambleRegistration, FirstHalfReversedAndBothHalvesShifted) {
    char out[11], back[11];
    ScrambleRegistration(1, out, "0123456789", 10);
    EXPECT_EQ(static_cast<unsigned char>(out[0]), 0x87);  // '5' + 18 + 0x40
    EXPECT_EQ(static_cast<unsigned char>(out[5]), 0x86);  // '0' + 22 + 0x40
    EXPECT_EQ(static_cast<unsigned char>(out[6]), 0xDE);  // '6' + 44 + 0x7C
    ScrambleRegistration(0, back, out, 10);
    EXPECT_STREQ(back, "0123456789");
    ScrambleRegistration(1, out, "012345678", 9);
    EXPECT_STREQ(out, "");
    // Every byte value survives a round trip over the record's length.
    std::array<char, kRegistrationLine + 1> in{}, s{}, u{};
    for (std::size_t i = 0; i < kRegistrationLine; ++i) in[i] = static_cast<char>(i * 7 + 1);
    ScrambleRegistration(1, s.data(), in.data(), kRegistrationLine);
    ScrambleRegistration(0, u.data(), s.data(), kRegistrationLine);
    EXPECT_EQ(std::memcmp(u.data(), in.data(), kRegistrationLine), 0);
}

TEST(DigitsOnly, CutsAtTheFirstNonDigit) {
    char a[] = "123.456", b[] = "98765", c[] = "x1", d[] = "1234a";
    DigitsOnly(a, 14);
    DigitsOnly(b, 14);
    DigitsOnly(c, 14);
    DigitsOnly(d, 3);  // only the first n are looked at
    EXPECT_STREQ(a, "123");
    EXPECT_STREQ(b, "98765");
    EXPECT_STREQ(c, "");
    EXPECT_STREQ(d, "1234a");
}

TEST_F(RegistrationTest, FirstRegistrationWritesTheRecordAndLoadsItBack) {
    MoldrinIdentification entry = Entry();
    std::strcpy(entry.developerId, "123.456");   // pasted text
    std::strcpy(entry.factoryNumber, "AB123456");  // eight characters
    op.identifications.push_back(entry);
    EXPECT_EQ(EnsureRegistration(0), -1);
    EXPECT_EQ(Messages(), (std::vector<std::string>{kNotFilled, "<dialog>"}));
    EXPECT_EQ(op.shown()[1].caption.rfind(CP1252("IDENTIFICAÇÃO DO APLICATIVO - "), 0), 0u);

    const std::string file = root.Read(kRegistrationFile);
    ASSERT_EQ(file.size(), kRegistrationFileSize);
    std::array<char, kRegistrationLine + 1> line{};
    ScrambleRegistration(0, line.data(), file.data(), kRegistrationLine);
    const std::string expected = std::string("07") + "2.1       " + "Caixa Rapido" + std::string(28, ' ') +
                                 "programa de frente de loja" + std::string(58, ' ') + "00000000000123" +
                                 "00000000004455" + "00000000000000" + "Software House Ltda" +
                                 std::string(21, ' ') + "000042" + "AB123456 " + "D" + "1";
    EXPECT_EQ(std::string(line.data()), expected);
    const uint16_t check = static_cast<uint16_t>(static_cast<unsigned char>(file[235]) |
                                                 static_cast<unsigned char>(file[236]) << 8);
    EXPECT_EQ(check, RfdLineChecksum(expected.c_str(), 123));
    EXPECT_FALSE(root.Exists("c:\\TALMA\\RFD\\E00.NEW"));

    op.clear();
    ResetCaptureState();
    EXPECT_EQ(EnsureRegistration(0), 1);
    EXPECT_TRUE(op.shown().empty());
    EXPECT_STREQ(g_registration.fields.developerId, "00000000000123");
    EXPECT_STREQ(g_registration.fields.appName, ("Caixa Rapido" + std::string(28, ' ')).c_str());
    EXPECT_STREQ(g_registration.fields.factoryNumber, "AB123456 ");
    EXPECT_EQ(g_registration.modelLetter, 'D');
    EXPECT_EQ(g_registration.modelFlag, 1);
    EXPECT_FALSE(RegistrationIncomplete(g_registration));
}

TEST_F(RegistrationTest, DamagedFilesGiveTheirMessageAndThePrefilledDialog) {
    const std::string good = Register();
    std::string changed = good;
    changed[100] = static_cast<char>(changed[100] ^ 0x01);
    struct Case {
        const char* what;
        std::string bytes;
        std::vector<std::string> messages;
        bool prefilled;
    } cases[] = {
        {"one changed byte", changed, {kInvalid, "<dialog>"}, false},
        {"one byte more", good + "x", {kBadSize, "<dialog>"}, true},
        {"one byte less", good.substr(0, good.size() - 1), {kInvalid, "<dialog>"}, false},
        {"empty", "", {kInvalid, "<dialog>"}, false},
    };
    for (const auto& c : cases) {
        root.Write(kRegistrationFile, c.bytes);
        op.clear();
        EXPECT_EQ(EnsureRegistration(0), 0) << c.what;  // the dialog is cancelled
        EXPECT_EQ(Messages(), c.messages) << c.what;
        EXPECT_EQ(std::string(op.lastIdentification.appVersion), c.prefilled ? "2.1       " : "") << c.what;
    }
    // After OK the file is whole again.
    root.Write(kRegistrationFile, changed);
    op.identifications.push_back(Entry());
    EXPECT_EQ(EnsureRegistration(0), -1);
    EXPECT_EQ(root.Read(kRegistrationFile), good);
}

TEST_F(RegistrationTest, ADirectoryInPlaceOfTheFile) {
    MakeDirectoryPath("c:\\TALMA\\RFD\\E00.BIN");
    op.identifications.push_back(Entry());
    EXPECT_EQ(EnsureRegistration(0), 0);  // cannot be written
    EXPECT_EQ(Messages(), (std::vector<std::string>{kNotFilled, "<dialog>"}));
    EXPECT_FALSE(root.Exists("c:\\TALMA\\RFD\\E00.NEW"));
}

TEST_F(RegistrationTest, BlankRequiredFieldsKeepTheDialogOpen) {
    MoldrinIdentification blank = Entry();
    std::strcpy(blank.softwareHouse, "   ");
    op.identifications.push_back(blank);
    op.identifications.push_back(Entry());
    EXPECT_EQ(EnsureRegistration(0), -1);
    EXPECT_EQ(Messages(), (std::vector<std::string>{kNotFilled, "<dialog>", kEmptyFields, "<dialog>"}));
    // Each required field on its own.
    for (int which = 0; which < 5; ++which) {
        MoldrinIdentification e = Entry();
        char* fields[] = {e.appVersion, e.appName, e.developerId, e.stateReg, e.softwareHouse};
        fields[which][0] = 0;
        op.clear();
        op.identifications.push_back(e);
        EXPECT_EQ(EnsureRegistration(1), 0) << which;  // second dialog cancelled
        EXPECT_EQ(Messages(), (std::vector<std::string>{"<dialog>", kEmptyFields, "<dialog>"})) << which;
    }
}

TEST_F(RegistrationTest, OverrideFileAlwaysAsksAndIsDeletedAfterwards) {
    const std::string good = Register();
    root.Write(kRegistrationOverride, good);
    root.Write(kRegistrationFile, "");
    MoldrinIdentification changed = Entry();
    std::strcpy(changed.appVersion, "3.0");
    op.identifications.push_back(changed);
    EXPECT_EQ(EnsureRegistration(0), -1);
    EXPECT_EQ(Messages(), std::vector<std::string>{"<dialog>"});
    EXPECT_EQ(std::string(op.lastIdentification.appName), "Caixa Rapido" + std::string(28, ' '));  // from EXX.BIN
    EXPECT_FALSE(root.Exists(kRegistrationOverride));
    ResetCaptureState();
    EXPECT_EQ(EnsureRegistration(0), 1);
    EXPECT_STREQ(g_registration.fields.appVersion, "3.0       ");
}

TEST_F(RegistrationTest, ForcedDialogAndAFailedReplaceKeepTheOldFile) {
    const std::string good = Register();
    MoldrinIdentification changed = Entry();
    std::strcpy(changed.appName, "Outro");
    {
        testing::FaultFiles files;
        files.failRename = true;
        op.identifications.push_back(changed);
        EXPECT_EQ(EnsureRegistration(1), 0);
    }
    EXPECT_EQ(root.Read(kRegistrationFile), good);
    EXPECT_FALSE(root.Exists("c:\\TALMA\\RFD\\E00.NEW"));
    op.clear();
    op.identifications.push_back(changed);
    EXPECT_EQ(EnsureRegistration(1), -1);
    EXPECT_EQ(Messages(), std::vector<std::string>{"<dialog>"});
    EXPECT_NE(root.Read(kRegistrationFile), good);
}

TEST_F(RegistrationTest, WritingTheRecordAlwaysRemovesTheOverride) {
    const std::string good = Register();
    root.Write(kRegistrationOverride, good);
    // As "moldrin register" does with its field options: no dialog, a new record.
    MoldrinIdentification changed = Entry();
    std::strcpy(changed.appVersion, "3.0");
    TakeIdentification(changed);
    ASSERT_EQ(WriteRegistrationFile('D', 1), 1);
    EXPECT_FALSE(root.Exists(kRegistrationOverride));
    ResetCaptureState();
    EXPECT_EQ(EnsureRegistration(0), 1) << "no dialog pre-filled with the old data";
    EXPECT_STREQ(g_registration.fields.appVersion, "3.0       ");
    EXPECT_TRUE(op.shown().empty());
}

TEST_F(RegistrationTest, PlantedLinksAreReplacedNeverWrittenThrough) {
    const std::string outside = root.path() + "/outside.bin";
    const auto outsideText = [&] {
        std::ifstream in(outside);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    const auto isLink = [&](const char* path) {
        return std::filesystem::is_symlink(std::filesystem::symlink_status(root.Host(path)));
    };
    std::ofstream(outside) << "not ours";
    root.Write("c:\\TALMA\\RFD\\keep", "");
    std::filesystem::create_symlink(outside, root.Host("c:\\TALMA\\RFD\\E00.NEW"));
    const std::string written = Register();
    EXPECT_EQ(written.size(), kRegistrationFileSize);
    EXPECT_FALSE(isLink(kRegistrationFile));
    EXPECT_EQ(outsideText(), "not ours");

    // A link in place of the registration itself is replaced by the new file.
    std::filesystem::remove(root.Host(kRegistrationFile));
    std::filesystem::create_symlink(outside, root.Host(kRegistrationFile));
    op.identifications.push_back(Entry());
    EXPECT_EQ(EnsureRegistration(0), -1);
    EXPECT_FALSE(isLink(kRegistrationFile));
    EXPECT_EQ(root.Read(kRegistrationFile), written);
    EXPECT_EQ(outsideText(), "not ours");
}

TEST_F(RegistrationTest, CancelledDialogReturnsZero) {
    EXPECT_EQ(EnsureRegistration(0), 0);
    EXPECT_EQ(Messages(), (std::vector<std::string>{kNotFilled, "<dialog>"}));
    EXPECT_FALSE(root.Exists(kRegistrationFile));
}

}  // namespace
}  // namespace moldrin::capture
