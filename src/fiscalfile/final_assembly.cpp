// Turning the work file into the signed fiscal file: the final name, the merge
// with an earlier file of the same printer, the grouped copy of the movement
// records, the signature and the move into the directory of finished files.
// The records themselves are header_/movement_records'; signing is sign's.
#include "fiscalfile/final_assembly.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <string_view>

#include "fiscalfile/fiscal_state.h"
#include "fiscalfile/header_records.h"
#include "fiscalfile/record_format.h"
#include "fiscalfile/work_files.h"
#include "log/text.h"
#include "platform/files.h"
#include "session/session_state.h"
#include "sign/ead.h"
#include "ui/boxes.h"

namespace moldrin::fiscalfile {

namespace {

constexpr uint32_t kWindow = 1024;
const char* const kWriteFailure = CP1252("ERRO DE GRAVAÇÃO NA ORGANIZAÇÃO DO ARQUIVO FINAL");

std::atomic<AssemblyObserver> g_observer{nullptr};
std::array<char, kFinalNameSize> g_lastFinal{};

void MakeDirectories() {
    for (const char* dir : {"c:\\TALMA", kBaseDirectory, kFinishedDirectory}) platform::Files().CreateDirectory(dir);
}

char ModelDigit(int8_t gate, char letter) {
    if (gate == 1) {
        switch (letter) {
            case 'B': return '5';
            case 'C': return '8';
            case 'D': return '6';
            case 'E': return '7';
            case 'F': return '9';
            default: return 0;
        }
    }
    switch (letter) {
        case 'B': return '2';
        case 'C': return '4';
        case 'D': return '3';
        default: return 0;
    }
}

// 0-9 then A-Z. Years from 2036 on would run past "Z" into "[" and "\", which
// leaves the directory; they start again from "0", the names staying apart from
// those of 36 years before only by the directory's age.
char DateCharacter(uint64_t v) {
    v %= 36;
    return static_cast<char>(v < 10 ? '0' + v : 'A' + (v - 10));
}

const char* ValidationText(uint16_t result) {
    switch (result) {
        case sign::kSignOk: return nullptr;
        case sign::kSignFileError: return CP1252("VALIDAÇÃO: ERRO ACESSO ARQUIVO");
        case sign::kSignBadSignature: return CP1252("VALIDAÇÃO: ASSINATURA INVÁLIDA");
        case sign::kSignBadKey: return CP1252("VALIDAÇÃO: CHAVE INVÁLIDA");
        case sign::kSignNoKey: return CP1252("VALIDAÇÃO: CHAVE NÃO ENCONTRADA");
        default: return CP1252("VALIDAÇÃO: F A L H O U !!!");
    }
}

// The file's bytes reach the disk before its name says it is finished.
bool Flushed(const char* path) {
    const log::FileHandle h = log::FileOpenMode(path, 2);
    if (h == log::kInvalidFile) return false;
    const bool flushed = platform::Files().Flush(h);
    return log::FileClose(h) == 0 && flushed;
}

}  // namespace

int FinalFileName(std::span<char> out, const char* date) {
    if (out.size() < kFinalNameSize || !date) return 0;
    const char digit = ModelDigit(g_session.ModelGate.load(), capture::g_capture.ModelLetter);
    const std::string_view serial = SerialText();
    const std::string_view ddmmyy = TextOf(date, 6);
    if (!digit || serial.size() < 8 || !AllDigits(ddmmyy, 6)) return 0;
    const uint64_t day = DigitsValue(Part(ddmmyy, 0, 2), 2);
    const uint64_t month = DigitsValue(Part(ddmmyy, 2, 2), 2);
    const uint64_t year = DigitsValue(Part(ddmmyy, 4, 2), 2);
    if (day < 1 || day > 31 || month < 1 || month > 12) return 0;
    FormatRecord(out, "%s\\%s%c%5.5s.%c%c%c",
                 {Txt(kFinishedDirectory), Txt("TA"), Chr(digit), Txt(serial.substr(3, 5)), Chr(DateCharacter(day)),
                  Chr(DateCharacter(month)), Chr(DateCharacter(year))});
    MakeDirectories();
    return 1;
}

namespace {

// Hands out the work file line by line, each line found within the next 1024
// bytes as a read at the line's start would see them, from blocks read once.
class LineReader {
public:
    explicit LineReader(log::FileHandle in) : in_(in) {}

    // The next line with the run of line breaks after it, NUL-terminated in
    // line (kWindow + 1 bytes); its length, 0 at the end, -1 when a read failed.
    int32_t Next(char* line) {
        if (end_ - begin_ < static_cast<int32_t>(kWindow) && !atEnd_) {
            std::memmove(block_, block_ + begin_, static_cast<std::size_t>(end_ - begin_));
            end_ -= begin_;
            begin_ = 0;
        }
        while (end_ - begin_ < static_cast<int32_t>(kWindow) && !atEnd_) {
            const int32_t n = log::FileReadBlock(in_, block_ + end_, static_cast<uint32_t>(sizeof block_ - end_));
            if (n < 0) return -1;
            atEnd_ = n == 0;
            end_ += n;
        }
        const char* window = block_ + begin_;
        const int32_t n = std::min(end_ - begin_, static_cast<int32_t>(kWindow));
        const auto* lf = static_cast<const char*>(std::memchr(window, '\n', static_cast<std::size_t>(n)));
        const int32_t toLf = lf ? static_cast<int32_t>(lf - window) : n;
        const auto* cr = static_cast<const char*>(std::memchr(window, '\r', static_cast<std::size_t>(toLf)));
        int32_t length = cr ? static_cast<int32_t>(cr - window) : toLf;
        while (length < n && (window[length] == '\r' || window[length] == '\n')) ++length;
        std::memcpy(line, window, static_cast<std::size_t>(length));
        line[length] = 0;
        begin_ += length;
        return length;
    }

private:
    log::FileHandle in_;
    char block_[16 * kWindow];
    int32_t begin_ = 0, end_ = 0;
    bool atEnd_ = false;
};

// Gathers what is copied into the final file and writes it a block at a time.
class OutBlock {
public:
    explicit OutBlock(log::FileHandle out) : out_(out) {}
    bool Put(const char* bytes, std::size_t n) {
        if (used_ + n > sizeof block_ && !Flush()) return false;
        if (n > sizeof block_) return log::FileWrite(out_, bytes, static_cast<uint32_t>(n)) == n;
        std::memcpy(block_ + used_, bytes, n);
        used_ += n;
        return true;
    }
    bool Flush() {
        const auto n = static_cast<uint32_t>(used_);
        used_ = 0;
        return n == 0 || log::FileWrite(out_, block_, n) == n;
    }

private:
    log::FileHandle out_;
    char block_[16 * kWindow];
    std::size_t used_ = 0;
};

}  // namespace

int CopyRecordsOfType(const char* source, log::FileHandle out, const char* type) {
    const log::FileHandle in = log::FileOpenShared(source);
    if (in == log::kInvalidFile) {
        ui::ErrorBox("ERRO AO LER ARQUIVO DE TRABALHO");
        return 0;
    }
    const bool reductions = std::strcmp(type, "E16") == 0;
    LineReader reader(in);
    // The lines go out in blocks: a busy day has tens of thousands of them.
    OutBlock copy(out);
    char line[kWindow + 1];
    char held[kWindow + 1] = {};
    const char* failure = nullptr;
    for (;;) {
        const int32_t length = reader.Next(line);
        // A failed read must not pass for the end of the work file: the final
        // file would lose its last records and be signed all the same.
        if (length < 0) failure = "ERRO AO LER ARQUIVO DE TRABALHO";
        if (length <= 0) break;
        if (length < 3 || std::memcmp(line, type, 3) != 0) continue;
        if (reductions && length > 75 && line[74] == 'R' && line[75] == 'Z') {
            std::memcpy(held, line, static_cast<std::size_t>(length) + 1);
            continue;
        }
        if (!copy.Put(line, std::strlen(line))) {
            failure = kWriteFailure;
            break;
        }
    }
    if (!failure && held[0] && !copy.Put(held, std::strlen(held))) failure = kWriteFailure;
    if (!failure && !copy.Flush()) failure = kWriteFailure;
    log::FileClose(in);
    if (failure) {
        ui::ErrorBox(failure);
        return 0;
    }
    return 1;
}

void AssembleFinalFile(int merge) {
    if (AssemblyObserver observer = g_observer.load()) observer(merge);
    ForgetLastFinalFile();
    char finalName[kFinalNameSize];
    if (!FinalFileName(finalName, g_fiscal.FirstMovementDate.data())) return;

    // The earlier file stays under its name until its replacement is whole,
    // signed and on the disk: a disk that fills up, or a run cut short, must not
    // trade a good file for a cut one. The rename puts the new one in its place.
    const char* source = kWorkFile;
    const log::FileHandle existing = log::FileOpenShared(finalName);
    if (existing != log::kInvalidFile) {
        if (log::FileClose(existing) != 0) {
            ui::ErrorBox("ERRO NO FECHAMENTO DO ARQUIVO FINAL");
            return;
        }
        if (merge == 1) {
            // The file merged into is this run's own first part of the day: alone
            // it is not the day's file, and a file under the name counts as done.
            if (!WorkFileCopy(finalName, kMergeFile) || !WorkFileAppend(kWorkFile, kMergeFile)) {
                platform::Files().Delete(finalName);
                return;
            }
            source = kMergeFile;
        }
    }

    const log::FileHandle out = log::FileRecreate(kAssemblyFile);
    if (out == log::kInvalidFile) {
        ui::ErrorBox("ERRO NA CRIACAO DO ARQUIVO FINAL");
        return;
    }
    // Each header writer tells of its own failure and the others still run; a
    // file without all its headers is not signed, though.
    bool whole = WriteE00(out);
    whole = WriteE01(out) && whole;
    whole = WriteE02(out) && whole;
    whole = WriteE12(out) && whole;
    whole = WriteE13(out) && whole;
    for (const char* type : {"E14", "E15", "E16", "E21"}) {
        if (!CopyRecordsOfType(source, out, type)) {
            log::FileClose(out);
            return;
        }
    }
    if (log::FileClose(out) != 0 || !whole) {
        ui::ErrorBox(kWriteFailure);
        return;
    }
    platform::Files().Delete(source);

    char location[sign::kLocationSize] = {};
    const uint16_t result = sign::SignFiscalFile(kAssemblyFile, location);
    if (const char* text = ValidationText(result)) {
        char message[64 + sign::kLocationSize];
        FormatRecord(message, "%s%s%s", {Txt(text), Txt(CP1252("\r\nDiretório: ")), Txt(location)});
        ui::ErrorBox(message);
    }
    // Unsigned for want of a usable key, the file is still the day's record;
    // after an access failure it may end in a cut signature line and stays
    // out of the finished files.
    if (result == sign::kSignFileError) return;
    if (!Flushed(kAssemblyFile) || !platform::Files().Rename(kAssemblyFile, finalName)) {
        ui::ErrorBox("ERRO AO VALIDAR ARQ FINAL");
        return;
    }
    std::memcpy(g_lastFinal.data(), finalName, sizeof finalName);
}

const char* LastFinalFilePath() { return g_lastFinal.data(); }

void ForgetLastFinalFile() { g_lastFinal[0] = 0; }

void SetAssemblyObserver(AssemblyObserver observer) { g_observer = observer; }

}  // namespace moldrin::fiscalfile
