// Registration record, its file and the identification dialog. The check value
// is rfd_codec's; the record's use in the fiscal file is the generation's.
#include "store/registration.h"

#include <array>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>

#include "session/session_state.h"
#include "store/capture_state.h"
#include "store/rfd_codec.h"
#include "store/rfd_file.h"
#include "log/file_helpers.h"
#include "log/text.h"
#include "platform/files.h"
#include "platform/module.h"
#include "platform/operator.h"
#include "ui/boxes.h"

namespace moldrin::capture {

namespace {

inline constexpr const char kRegistrationTemp[] = "c:\\TALMA\\RFD\\E00.NEW";

enum class Fill { Left, Zero };

// The record's fields in line order: member, width, alignment.
struct Field {
    std::size_t offset;  // into MoldrinIdentification
    std::size_t width;
    Fill fill;
};

constexpr Field kFields[] = {
    {offsetof(MoldrinIdentification, orderNumber), 2, Fill::Left},
    {offsetof(MoldrinIdentification, appVersion), 10, Fill::Left},
    {offsetof(MoldrinIdentification, appName), 40, Fill::Left},
    {offsetof(MoldrinIdentification, programData), 84, Fill::Left},
    {offsetof(MoldrinIdentification, developerId), 14, Fill::Zero},
    {offsetof(MoldrinIdentification, stateReg), 14, Fill::Zero},
    {offsetof(MoldrinIdentification, cityReg), 14, Fill::Zero},
    {offsetof(MoldrinIdentification, softwareHouse), 40, Fill::Left},
    {offsetof(MoldrinIdentification, coo), 6, Fill::Zero},
    {offsetof(MoldrinIdentification, factoryNumber), 9, Fill::Left},
};

char* FieldOf(MoldrinIdentification& f, const Field& layout) { return reinterpret_cast<char*>(&f) + layout.offset; }
const char* FieldOf(const MoldrinIdentification& f, const Field& layout) {
    return reinterpret_cast<const char*>(&f) + layout.offset;
}

// Copies at most `width` characters, never past the source's own array.
void SetField(char* dst, const char* src, std::size_t width) {
    std::size_t n = src ? strnlen(src, width) : 0;
    std::memcpy(dst, src, n);
    dst[n] = 0;
}

// Blank when it is empty or holds only blanks, as it would look right-aligned.
bool Blank(const char* s) {
    for (; *s; ++s)
        if (*s != ' ') return false;
    return true;
}

}  // namespace

bool RegistrationRequiredBlank(const RegistrationRecord& record) {
    const auto& f = record.fields;
    return Blank(f.appVersion) || Blank(f.appName) || Blank(f.developerId) || Blank(f.stateReg) ||
           Blank(f.softwareHouse);
}

RegistrationLoad LoadRegistrationFile(const char* path) {
    log::FileHandle h = log::FileOpenShared(path);
    if (h == log::kInvalidFile) return RegistrationLoad::Missing;
    std::array<char, kRegistrationFileSize> bytes{};
    // A file shorter than a record holds no check value to trust.
    const bool whole = log::FileReadBlock(h, bytes.data(), static_cast<uint32_t>(bytes.size())) ==
                       static_cast<int32_t>(bytes.size());
    const int64_t size = platform::Files().Size(h);
    log::FileClose(h);
    std::array<char, kRegistrationLine + 1> line{};
    ScrambleRegistration(0, line.data(), bytes.data(), kRegistrationLine);
    const uint16_t stored = static_cast<uint16_t>(static_cast<uint8_t>(bytes[kRegistrationLine]) |
                                                  static_cast<uint8_t>(bytes[kRegistrationLine + 1]) << 8);
    if (!whole || stored != RfdLineChecksum(line.data(), kRegistrationSeed)) return RegistrationLoad::Damaged;
    LoadRegistrationLine(g_registration, line.data());
    return size == static_cast<int64_t>(kRegistrationFileSize) ? RegistrationLoad::Loaded
                                                               : RegistrationLoad::WrongSize;
}

void TakeIdentification(const MoldrinIdentification& entry) {
    MoldrinIdentification& f = g_registration.fields;
    f = MoldrinIdentification{};
    for (const Field& layout : kFields) SetField(FieldOf(f, layout), FieldOf(entry, layout), layout.width);
    DigitsOnly(f.developerId, 14);
    DigitsOnly(f.stateReg, 14);
    DigitsOnly(f.cityReg, 14);
    DigitsOnly(f.coo, 6);
    if (std::strlen(f.factoryNumber) == 8) std::strcat(f.factoryNumber, " ");
}

void ScrambleRegistration(int mode, char* out, const char* in, std::size_t n) {
    if (n < 10) {
        out[0] = 0;
        return;
    }
    const std::size_t h = n / 2;
    uint8_t k = 6;
    auto* o = reinterpret_cast<uint8_t*>(out);
    const auto* i = reinterpret_cast<const uint8_t*>(in);
    for (std::size_t j = 0; j <= h; ++j) {
        k = static_cast<uint8_t>(3 * k);
        if (mode == 1) o[j] = static_cast<uint8_t>(i[h - j] + k + 0x40);
        else o[h - j] = static_cast<uint8_t>(i[j] - k - 0x40);
    }
    for (std::size_t j = h + 1; j < n; ++j) {
        k = static_cast<uint8_t>(2 * k);
        if (mode == 1) o[j] = static_cast<uint8_t>(i[j] + k + 0x7C);
        else o[j] = static_cast<uint8_t>(i[j] - k - 0x7C);
    }
    out[n] = 0;
}

void DigitsOnly(char* text, std::size_t n) {
    for (std::size_t i = 0; i < n && text[i]; ++i)
        if (text[i] < '0' || text[i] > '9') {
            text[i] = 0;
            return;
        }
}

void BuildRegistrationLine(char* out, const RegistrationRecord& record, char modelLetter, int8_t modelGate) {
    std::size_t o = 0;
    for (const Field& layout : kFields) {
        const char* value = FieldOf(record.fields, layout);
        const std::size_t n = strnlen(value, layout.width);
        if (layout.fill == Fill::Left) {
            std::memcpy(out + o, value, n);
            std::memset(out + o + n, ' ', layout.width - n);
        } else {
            std::memset(out + o, '0', layout.width - n);
            std::memcpy(out + o + layout.width - n, value, n);
        }
        o += layout.width;
    }
    out[o++] = modelLetter;
    out[o++] = modelGate != 0 ? '1' : '0';
    out[o] = 0;
}

void LoadRegistrationLine(RegistrationRecord& record, const char* line) {
    std::size_t o = 0;
    for (const Field& layout : kFields) {
        char* dst = FieldOf(record.fields, layout);
        std::memcpy(dst, line + o, layout.width);
        dst[layout.width] = 0;
        o += layout.width;
    }
    record.modelLetter = line[o];
    record.modelFlag = line[o + 1] != '0' ? 1 : 0;
}

bool RegistrationIncomplete(const RegistrationRecord& record) {
    const auto& f = record.fields;
    return !f.orderNumber[0] || !f.appVersion[0] || !f.appName[0] || !f.programData[0] || !f.developerId[0] ||
           !f.stateReg[0] || !f.softwareHouse[0] || !f.coo[0];
}

int WriteRegistrationFile(char modelLetter, int8_t modelGate) {
    std::array<char, kRegistrationLine + 1> line{};
    BuildRegistrationLine(line.data(), g_registration, modelLetter, modelGate);
    const uint16_t check = RfdLineChecksum(line.data(), kRegistrationSeed);
    std::array<char, kRegistrationFileSize + 1> bytes{};
    ScrambleRegistration(1, bytes.data(), line.data(), kRegistrationLine);
    bytes[kRegistrationLine] = static_cast<char>(check & 0xFF);
    bytes[kRegistrationLine + 1] = static_cast<char>(check >> 8);

    // A crash while writing must never leave a torn registration: the new
    // record goes to a file of its own and replaces E00.BIN in one rename.
    // That file is one this call has just made: a leftover of an interrupted
    // write, or a link planted in its place, is removed first, never written through.
    MakeDirectoryPath(kRfdDirectory);
    platform::Files().Delete(kRegistrationTemp);
    log::FileHandle h = log::FileCreateNew(kRegistrationTemp);
    if (h == log::kInvalidFile) return 0;
    const bool written = log::FileWrite(h, bytes.data(), kRegistrationFileSize) == kRegistrationFileSize &&
                         platform::Files().Flush(h);
    const bool closed = log::FileClose(h) == 0;
    if (!written || !closed || !platform::Files().Rename(kRegistrationTemp, kRegistrationFile)) {
        platform::Files().Delete(kRegistrationTemp);
        return 0;
    }
    // EXX.BIN holds older data: left behind, it would pre-fill the next check's
    // dialog and an OK would write those data back over this registration.
    platform::Files().Delete(kRegistrationOverride);
    return 1;
}

int IdentificationDialog() {
    std::string name, version;
    platform::ReadVersion(name, version);
    char caption[1200];
    std::snprintf(caption, sizeof caption, CP1252("IDENTIFICAÇÃO DO APLICATIVO - %s"),
                  (name + " " + version).c_str());

    MoldrinIdentification entry = g_registration.fields;
    if (platform::GetOperator().Identify(caption, entry) != 1) return 0;

    // Whatever the operator handed back is taken as the dialog's controls would give it.
    TakeIdentification(entry);
    return 1;
}

int EnsureRegistration(int force) {
    g_registration = RegistrationRecord{};
    MakeDirectoryPath(kRfdDirectory);

    RegistrationLoad loaded = LoadRegistrationFile(kRegistrationOverride);
    if (loaded != RegistrationLoad::Missing) force = 1;
    else loaded = LoadRegistrationFile(kRegistrationFile);
    switch (loaded) {
        case RegistrationLoad::Missing:
            ui::ErrorBox(CP1252("Campos do cadastro não preenchidos!"), "ERRO CADASTRO");
            force = 1;
            break;
        case RegistrationLoad::Damaged:
            ui::ErrorBox(CP1252("ARQUIVO DE CADASTRO E00 INVÁLIDO"), "ERRO CADASTRO");
            force = 1;
            break;
        case RegistrationLoad::WrongSize:
            ui::ErrorBox(CP1252("EXTENSÃO DO ARQUIVO E00 INVÁLIDO"), "ERRO CADASTRO");
            force = 1;
            break;
        case RegistrationLoad::Loaded:
            break;
    }

    for (;;) {
        if (force == 1 && IdentificationDialog() < 1) return 0;
        if (RegistrationRequiredBlank(g_registration)) {
            ui::ErrorBox(CP1252("Há campos do cadastro vazios"), "ERRO CADASTRO");
            force = 1;
            continue;
        }
        if (force != 1) return 1;
        if (!WriteRegistrationFile(g_capture.ModelLetter, g_session.ModelGate)) return 0;
        return -1;
    }
}

}  // namespace moldrin::capture
