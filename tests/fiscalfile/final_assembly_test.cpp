// The final assembly: the fiscal file's name, its record order, the merge with
// an earlier file, signing, and what a full disk or an unwritable folder
// leaves behind. Work files are written here line by line.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "fiscal_fixture.h"
#include "fiscalfile/final_assembly.h"
#include "fiscalfile/work_files.h"
#include "log/text.h"
#include "sign/ead.h"
#include "support/fault_files.h"
#include "support/key_beside_executable.h"

namespace moldrin::fiscalfile {
namespace {

using Strings = std::vector<std::string>;

// A movement line of the type, 90 characters with a tag at 4 and, for E16,
// the document kind at 75-76 (1-based).
std::string Movement(const char* type, const std::string& tag, const char* kind = "LX") {
    std::string l = std::string(type) + tag;
    l.resize(74, ' ');
    l += kind;
    l.resize(90, '0');
    return l;
}

std::string Join(const Strings& lines) {
    std::string text;
    for (const auto& l : lines) text += l + "\r\n";
    return text;
}

// The tags of the lines of one type, in order.
Strings Tags(const Strings& lines, const char* type) {
    Strings out;
    for (const auto& l : OfType(lines, type)) out.push_back(l.substr(3, l.find(' ', 3) - 3));
    return out;
}

class FinalAssembly : public FiscalFixture {
protected:
    void SetUp() override {
        FiscalFixture::SetUp();
        LoadReplies();
        SetField(g_fiscal.FirstMovementDate, "050308");
    }

    std::string Final() const { return std::string(kFinishedDirectory) + "\\TA245678.538"; }
    Strings FinalLines() const { return SplitLines(root.Read(Final().c_str())); }
    void Work(const Strings& lines) { root.Write(kWorkFile, Join(lines)); }
    std::vector<std::string> Messages() { return op.texts("message"); }

    // A day's work file: two coupons with their items, a Z reduction among other
    // documents, payments, and a line of no type the file knows.
    static Strings Day(const std::string& p) {
        return {Movement("E15", p + "item1"),     Movement("E15", p + "item2"), Movement("E14", p + "coupon1"),
                Movement("E16", p + "lx1"),       Movement("E21", p + "pay1"),  Movement("E16", p + "rz", "RZ"),
                Movement("E15", p + "item3"),     Movement("E14", p + "coupon2"), Movement("E16", p + "lx2"),
                Movement("E21", p + "pay2"),      "X99 not a record"};
    }
};

TEST_F(FinalAssembly, TheNameComesFromModelSerialAndDate) {
    g_session.ModelGate = 1;
    char name[kFinalNameSize];
    ASSERT_EQ(FinalFileName(name, "050308"), 1);
    EXPECT_EQ(std::string(name), std::string(kFinishedDirectory) + "\\TA545678.538");
    EXPECT_TRUE(platform::Files().IsDirectory(kFinishedDirectory));

    g_session.ModelGate = 0;
    ASSERT_EQ(FinalFileName(name, "310108"), 1);
    EXPECT_EQ(std::string(name).substr(std::string(name).size() - 12), "TA245678.V18");

    const struct {
        int8_t gate;
        char letter;
        char digit;  // 0: no name
    } models[] = {
        {1, 'B', '5'}, {1, 'C', '8'}, {1, 'D', '6'}, {1, 'E', '7'}, {1, 'F', '9'}, {1, 'G', 0}, {1, 'A', 0},
        {0, 'B', '2'}, {0, 'C', '4'}, {0, 'D', '3'}, {0, 'E', 0},   {0, 'F', 0},   {2, 'B', '2'}, {0, '\xFF', 0},
    };
    for (const auto& m : models) {
        g_session.ModelGate = m.gate;
        capture::g_capture.ModelLetter = m.letter;
        std::fill(std::begin(name), std::end(name), 0);
        EXPECT_EQ(FinalFileName(name, "050308"), m.digit ? 1 : 0) << int(m.gate) << m.letter;
        if (m.digit) {
            EXPECT_EQ(std::string(name).substr(std::string(name).size() - 12, 3), std::string("TA") + m.digit);
        }
    }

    g_session.ModelGate = 0;
    capture::g_capture.ModelLetter = 'B';
    const struct {
        const char* date;
        const char* extension;  // nullptr: no name
    } dates[] = {
        {"010100", "110"}, {"091226", "9CQ"}, {"311235", "VCZ"},
        // Past 2035 the year character starts again from "0".
        {"010136", "110"}, {"010137", "111"}, {"010199", "11R"},
        {"000108", nullptr}, {"050008", nullptr}, {"320108", nullptr}, {"051308", nullptr},
        {"05a308", nullptr}, {"0503", nullptr},    {"", nullptr},
    };
    for (const auto& d : dates) {
        const int made = FinalFileName(name, d.date);
        EXPECT_EQ(made, d.extension ? 1 : 0) << d.date;
        if (made && d.extension) {
            EXPECT_EQ(std::string(name).substr(std::string(name).size() - 3), d.extension) << d.date;
        }
    }

    // A serial number too short to give five characters names nothing.
    SetField(g_fiscal.SerialNumber, "1234567");
    EXPECT_EQ(FinalFileName(name, "050308"), 0);
}

TEST_F(FinalAssembly, HeadersThenEachGroupInOrderThenTheSignature) {
    testing::KeyBesideExecutable key{root};
    Work(Day("a"));
    AssembleFinalFile(0);
    EXPECT_TRUE(Messages().empty());
    EXPECT_FALSE(root.Exists(kWorkFile));
    EXPECT_FALSE(root.Exists(kAssemblyFile));
    EXPECT_EQ(LastFinalFilePath(), Final());
    EXPECT_EQ(sign::VerifyFileSignature(Final().c_str()), sign::kSignOk);

    const Strings lines = FinalLines();
    ASSERT_GE(lines.size(), 6u);
    Strings kinds;
    for (const auto& l : lines)
        if (kinds.empty() || kinds.back() != l.substr(0, 3)) kinds.push_back(l.substr(0, 3));
    EXPECT_EQ(kinds, (Strings{"E00", "E01", "E02", "E12", "E13", "E14", "E15", "E16", "E21", "EAD"}));
    EXPECT_EQ(Tags(lines, "E14"), (Strings{"acoupon1", "acoupon2"}));
    EXPECT_EQ(Tags(lines, "E15"), (Strings{"aitem1", "aitem2", "aitem3"}));
    // The Z reduction closes the documents.
    EXPECT_EQ(Tags(lines, "E16"), (Strings{"alx1", "alx2", "arz"}));
    EXPECT_EQ(Tags(lines, "E21"), (Strings{"apay1", "apay2"}));
    EXPECT_EQ(lines.back().size(), 3u + 256u);
}

// A busy day's work file, far longer than what is read at once.
TEST_F(FinalAssembly, ALongWorkFileKeepsEveryLineInItsGroup) {
    testing::KeyBesideExecutable key{root};
    Strings work;
    const char* types[] = {"E15", "E15", "E14", "E16", "E21"};
    for (int i = 0; i < 2000; ++i) work.push_back(Movement(types[i % 5], std::to_string(i)));
    work.push_back(Movement("E16", "reduction", "RZ"));
    Work(work);
    AssembleFinalFile(0);
    EXPECT_TRUE(Messages().empty());
    const Strings lines = FinalLines();
    for (const char* type : {"E14", "E15", "E16", "E21"}) {
        Strings expected;
        for (const auto& l : work)
            if (l.compare(0, 3, type) == 0) expected.push_back(l);
        EXPECT_EQ(OfType(lines, type), expected) << type;
    }
    EXPECT_EQ(sign::VerifyFileSignature(Final().c_str()), sign::kSignOk);
}

TEST_F(FinalAssembly, AnEarlierFileIsMergedOrReplaced) {
    testing::KeyBesideExecutable key{root};
    Work(Day("a"));
    AssembleFinalFile(0);

    // Merged: the earlier lines first in every group, its headers and signature left out.
    Strings second = Day("b");
    second.erase(second.begin() + 5);  // no Z reduction of its own
    Work(second);
    AssembleFinalFile(1);
    EXPECT_TRUE(Messages().empty());
    Strings lines = FinalLines();
    EXPECT_EQ(OfType(lines, "E00").size(), 1u);
    EXPECT_EQ(OfType(lines, "EAD").size(), 1u);
    EXPECT_EQ(Tags(lines, "E14"), (Strings{"acoupon1", "acoupon2", "bcoupon1", "bcoupon2"}));
    EXPECT_EQ(Tags(lines, "E15"), (Strings{"aitem1", "aitem2", "aitem3", "bitem1", "bitem2", "bitem3"}));
    EXPECT_EQ(Tags(lines, "E16"), (Strings{"alx1", "alx2", "blx1", "blx2", "arz"}));
    EXPECT_EQ(Tags(lines, "E21"), (Strings{"apay1", "apay2", "bpay1", "bpay2"}));
    EXPECT_EQ(sign::VerifyFileSignature(Final().c_str()), sign::kSignOk);
    EXPECT_FALSE(root.Exists(kMergeFile));

    // Two Z reductions in what is copied: only the later one stays, last.
    Work(Day("c"));
    AssembleFinalFile(1);
    EXPECT_EQ(Tags(FinalLines(), "E16"), (Strings{"alx1", "alx2", "blx1", "blx2", "clx1", "clx2", "crz"}));

    // Replaced.
    Work(Day("d"));
    AssembleFinalFile(0);
    lines = FinalLines();
    EXPECT_EQ(Tags(lines, "E14"), (Strings{"dcoupon1", "dcoupon2"}));
    EXPECT_EQ(Tags(lines, "E16"), (Strings{"dlx1", "dlx2", "drz"}));
    EXPECT_EQ(sign::VerifyFileSignature(Final().c_str()), sign::kSignOk);
    EXPECT_TRUE(Messages().empty());
}

TEST_F(FinalAssembly, WithoutANameNothingIsAssembled) {
    capture::g_capture.ModelLetter = 'Z';
    Work(Day("a"));
    AssembleFinalFile(0);
    EXPECT_TRUE(root.Exists(kWorkFile));
    EXPECT_FALSE(root.Exists(kAssemblyFile));
    EXPECT_STREQ(LastFinalFilePath(), "");
    EXPECT_TRUE(Messages().empty());
}

// A key that cannot sign leaves the file unsigned but in place, and says why.
TEST_F(FinalAssembly, SigningFailuresAreShownAndTheFileStillMoves) {
    const std::string where = CP1252("\r\nDiretório: ");
    {
        testing::KeyBesideExecutable noKey{root, false};
        Work(Day("a"));
        AssembleFinalFile(0);
        EXPECT_EQ(Messages(), Strings{CP1252("VALIDAÇÃO: CHAVE NÃO ENCONTRADA") + where + noKey.executable()});
        EXPECT_EQ(op.shown().at(0).caption, "ERRO");
    }
    ASSERT_TRUE(root.Exists(Final().c_str()));
    EXPECT_EQ(FinalLines().back().substr(0, 3), "E21");
    EXPECT_EQ(LastFinalFilePath(), Final());

    op.clear();
    {
        testing::KeyBesideExecutable key{root};
        sign::KeyImage image = testing::FixedKeyImage();
        ASSERT_TRUE(sign::ScrambleKeyImage(image));
        sign::StoreKeyWord(image, 4, 64);  // a modulus length the signature cannot have
        ASSERT_TRUE(sign::ScrambleKeyImage(image));
        std::ofstream(key.keyFile(), std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
        Work(Day("b"));
        AssembleFinalFile(0);
        EXPECT_EQ(Messages(), Strings{CP1252("VALIDAÇÃO: CHAVE INVÁLIDA") + where + key.executable()});
    }
    EXPECT_EQ(Tags(FinalLines(), "E14"), (Strings{"bcoupon1", "bcoupon2"}));
}

// Wherever the disk fills up, the final name never holds a torn file: the
// earlier file stays as it was until the whole signed one takes its place.
TEST_F(FinalAssembly, AFullDiskNeverLeavesATornFinalFile) {
    testing::KeyBesideExecutable key{root};
    Work(Day("a"));
    AssembleFinalFile(0);
    const std::string earlier = root.Read(Final().c_str());
    ASSERT_EQ(sign::VerifyFileSignature(Final().c_str()), sign::kSignOk);
    const std::size_t unsigned_ = earlier.size() - sign::kEadLineSize;
    const std::string headerFailure = CP1252("ERRO de gravação RFD: c:\\TALMA\\RFD\\TALMA.TMP");
    const std::string copyFailure = CP1252("ERRO DE GRAVAÇÃO NA ORGANIZAÇÃO DO ARQUIVO FINAL");
    const struct {
        std::size_t space;
        Strings messages;
        bool workKept;
    } cases[] = {
        {0, {headerFailure, headerFailure, headerFailure, headerFailure, headerFailure, copyFailure}, true},
        {300, {headerFailure, headerFailure, headerFailure, headerFailure, copyFailure}, true},
        {unsigned_ - 100, {copyFailure}, true},
        {unsigned_ - 1, {copyFailure}, true},
        {unsigned_ + 100,
         {std::string(CP1252("VALIDAÇÃO: ERRO ACESSO ARQUIVO\r\nDiretório: ")) + key.executable()},
         false},
    };
    for (const auto& c : cases) {
        op.clear();
        Work(Day("b"));
        {
            testing::FaultFiles faults;
            faults.OnlyFor(kAssemblyFile);
            faults.spaceLeft = static_cast<int64_t>(c.space);
            AssembleFinalFile(0);
        }
        EXPECT_EQ(Messages(), c.messages) << c.space;
        EXPECT_TRUE(root.Read(Final().c_str()) == earlier) << c.space << ": the earlier file changed";
        EXPECT_STREQ(LastFinalFilePath(), "") << c.space;
        EXPECT_EQ(root.Exists(kWorkFile), c.workKept) << c.space;
        // The next run, with room again, puts the new file in its place.
        op.clear();
        Work(Day("b"));
        AssembleFinalFile(0);
        EXPECT_TRUE(Messages().empty()) << c.space;
        EXPECT_EQ(sign::VerifyFileSignature(Final().c_str()), sign::kSignOk) << c.space;
        EXPECT_EQ(Tags(FinalLines(), "E14"), (Strings{"bcoupon1", "bcoupon2"})) << c.space;
        Work(Day("a"));
        AssembleFinalFile(0);
        ASSERT_TRUE(root.Read(Final().c_str()) == earlier);
    }
}

TEST_F(FinalAssembly, FilesThatCannotBeMadeClosedOrMoved) {
    testing::KeyBesideExecutable key{root};
    Work(Day("a"));
    AssembleFinalFile(0);
    ASSERT_TRUE(root.Exists(Final().c_str()));

    // The earlier file cannot be closed: it stays, and so does the work file.
    Work(Day("b"));
    {
        testing::FaultFiles faults;
        faults.OnlyFor(Final());
        faults.failClose = true;
        AssembleFinalFile(0);
    }
    EXPECT_EQ(Messages(), Strings{"ERRO NO FECHAMENTO DO ARQUIVO FINAL"});
    EXPECT_EQ(Tags(FinalLines(), "E14"), (Strings{"acoupon1", "acoupon2"}));
    EXPECT_TRUE(root.Exists(kWorkFile));

    // TALMA.TXT cannot be created: the earlier file stays; so does the work
    // file, for the next run.
    op.clear();
    ASSERT_EQ(std::system(("mkdir -p '" + root.Host(kAssemblyFile) + "'").c_str()), 0);
    AssembleFinalFile(0);
    EXPECT_EQ(Messages(), Strings{"ERRO NA CRIACAO DO ARQUIVO FINAL"});
    EXPECT_EQ(Tags(FinalLines(), "E14"), (Strings{"acoupon1", "acoupon2"}));
    EXPECT_TRUE(root.Exists(kWorkFile));
    ASSERT_EQ(std::system(("rmdir '" + root.Host(kAssemblyFile) + "'").c_str()), 0);

    // The move fails: the signed file stays as TALMA.TXT.
    op.clear();
    {
        testing::FaultFiles faults;
        faults.OnlyFor(kAssemblyFile);
        faults.failRename = true;
        AssembleFinalFile(0);
    }
    EXPECT_EQ(Messages(), Strings{"ERRO AO VALIDAR ARQ FINAL"});
    EXPECT_EQ(Tags(FinalLines(), "E14"), (Strings{"acoupon1", "acoupon2"}));
    EXPECT_EQ(sign::VerifyFileSignature(kAssemblyFile), sign::kSignOk);
    EXPECT_STREQ(LastFinalFilePath(), "");

    // So does it when its bytes cannot be made to reach the disk.
    op.clear();
    Work(Day("c"));
    {
        testing::FaultFiles faults;
        faults.OnlyFor(kAssemblyFile);
        faults.failFlush = true;
        AssembleFinalFile(0);
    }
    EXPECT_EQ(Messages(), Strings{"ERRO AO VALIDAR ARQ FINAL"});
    EXPECT_EQ(Tags(FinalLines(), "E14"), (Strings{"acoupon1", "acoupon2"}));

    // A work file that cannot be read leaves nothing to sign.
    op.clear();
    Work(Day("d"));
    {
        testing::FaultFiles faults;
        faults.OnlyFor(kWorkFile);
        faults.failOpen = true;
        AssembleFinalFile(0);
    }
    EXPECT_EQ(Messages(), Strings{"ERRO AO LER ARQUIVO DE TRABALHO"});
    EXPECT_EQ(Tags(FinalLines(), "E14"), (Strings{"acoupon1", "acoupon2"}));
    EXPECT_TRUE(root.Exists(kWorkFile));
}

TEST_F(FinalAssembly, AMergeThatCannotBeMadeLeavesTheDayToBeMadeAgain) {
    testing::KeyBesideExecutable key{root};
    Work(Day("a"));
    AssembleFinalFile(0);
    Work(Day("b"));
    {
        testing::FaultFiles faults;
        faults.OnlyFor(kMergeFile);
        faults.failOpen = true;
        AssembleFinalFile(1);
    }
    EXPECT_EQ(Messages(), Strings{CP1252("ERRO NA CRIAÇÃO DO ARQUIVO DESTINO")});
    // An earlier file without this run's lines must not pass for the day's.
    EXPECT_FALSE(root.Exists(Final().c_str()));
    EXPECT_TRUE(root.Exists(kWorkFile));
}

TEST_F(FinalAssembly, WorkFilesAreCopiedAndAppendedAsText) {
    const char* a = "c:\\TALMA\\RFD\\A.TMP";
    const char* b = "c:\\TALMA\\RFD\\B.TMP";
    root.Write(a, "first\r\n");
    root.Write(b, std::string("second\r\n\0hidden", 15));
    ASSERT_EQ(WorkFileCopy(a, kMergeFile), 1);
    ASSERT_EQ(WorkFileAppend(b, kMergeFile), 1);
    // A piece ends at its NUL.
    EXPECT_EQ(root.Read(kMergeFile), "first\r\nsecond\r\n");
    ASSERT_EQ(WorkFileCopy(b, kMergeFile), 1);
    EXPECT_EQ(root.Read(kMergeFile), "second\r\n");
    // Pieces of 1024 bytes follow one another.
    const std::string big(3000, 'x');
    root.Write(a, big);
    ASSERT_EQ(WorkFileAppend(a, kMergeFile), 1);
    EXPECT_EQ(root.Read(kMergeFile), "second\r\n" + big);
    EXPECT_TRUE(Messages().empty());

    const char* missing = "c:\\TALMA\\RFD\\NONE.TMP";
    EXPECT_EQ(WorkFileCopy(missing, kMergeFile), 0);
    EXPECT_EQ(WorkFileAppend(missing, kMergeFile), 0);
    EXPECT_EQ(WorkFileAppend(a, missing), 0);
    EXPECT_FALSE(root.Exists(missing));
    {
        testing::FaultFiles faults;
        faults.OnlyFor(kMergeFile);
        faults.failWrite = true;
        EXPECT_EQ(WorkFileCopy(a, kMergeFile), 0);
        EXPECT_EQ(WorkFileAppend(a, kMergeFile), 0);
        faults.failWrite = false;
        faults.failClose = true;
        EXPECT_EQ(WorkFileCopy(a, kMergeFile), 0);
        EXPECT_EQ(WorkFileAppend(a, kMergeFile), 0);
    }
    EXPECT_EQ(Messages(), (Strings{"ERRO NA ABERTURA DO ARQUIVO ORIGEM", "ERRO NA ABERTURA DO ARQUIVO TRABALHO 1",
                                 "ERRO NO ABERTURA DO ARQUIVO DE TRABALHO 2", "ERRO AO COPIAR ARQUIVO DE TRABALHO",
                                 "ERRO AO ACRESCENTAR REGISTROS NO ARQ TRABALHO 2", "ERRO AO FECHAR ARQ DESTINO",
                                 "ERRO AO FECHAR ARQ TRABALHO 2"}));
}

}  // namespace
}  // namespace moldrin::fiscalfile
