// Formatting the header records from the registration, the saved snapshots
// and the replayed status replies. Movement records are movement_records'.
#include "fiscalfile/header_records.h"

#include <array>
#include <cstring>

#include "store/registration.h"
#include "fiscalfile/fiscal_state.h"
#include "fiscalfile/record_format.h"

namespace moldrin::fiscalfile {

namespace {

constexpr std::size_t kLine = 512;

std::string_view Reg(const char* field, std::size_t cap) { return TextOf(field, cap); }

std::string_view DateOf(const std::array<char, 7>& d) { return TextOf(d.data(), 6); }

// Carriage returns and line feeds of a stored reply become blanks, in place.
void BlankLineBreaks(capture::CachedReply& reply) {
    for (char& c : reply) {
        if (c == 0) break;
        if (c == '\r' || c == '\n') c = ' ';
    }
}

}  // namespace

bool WriteE00(intptr_t handle) {
    const auto& f = capture::g_registration.fields;
    const auto model = ModelName();
    std::array<char, kLine> line{};
    FormatRecord(line,
                 "E00%-20.8s%c%02u%-7.7s%-20.20s%s%06.6s%2.2s%014.14s%014.14s%014.14s%-40.40s%-40.40s%-10.10s%-84.84s\r\n",
                 {Txt(SerialText()), Chr(AdditionalLetter()), Num(g_fiscal.UserCount), Txt("ECF-IF"), Txt("TALMA"),
                  Txt(model.data()), Txt(Reg(f.coo, sizeof f.coo)), Txt(Reg(f.orderNumber, sizeof f.orderNumber)),
                  Txt(Reg(f.developerId, sizeof f.developerId)), Txt(Reg(f.stateReg, sizeof f.stateReg)),
                  Txt(Reg(f.cityReg, sizeof f.cityReg)), Txt(Reg(f.softwareHouse, sizeof f.softwareHouse)),
                  Txt(Reg(f.appName, sizeof f.appName)), Txt(Reg(f.appVersion, sizeof f.appVersion)),
                  Txt(Reg(f.programData, sizeof f.programData))});
    return WriteLine(handle, line.data());
}

bool WriteE01(intptr_t handle) {
    const auto model = ModelName();
    const auto cnpj = UserCnpjDigits();
    const std::string_view software = DateOf(g_fiscal.SoftwareDate);
    const std::string_view movement = DateOf(g_fiscal.MovementDate);
    const std::string_view crz = Part(Reply27('1'), 40, 4);
    std::array<char, kLine> line{};
    FormatRecord(line,
                 "E01%-20.8s%c%-7.7s%-20.20s%s%-10.3s20%2.2s%2.2s%2.2s%6.6s%3.3s%014.14sRFD%06.4s%06.4s"
                 "20%2.2s%2.2s%2.2s20%2.2s%2.2s%2.2s%s%s\r\n",
                 {Txt(SerialText()), Chr(AdditionalLetter()), Txt("ECF-IF"), Txt("TALMA"), Txt(model.data()),
                  Txt(Part(Reply27('G'), 27, 3)), Txt(Part(software, 4, 2)), Txt(Part(software, 2, 2)),
                  Txt(Part(software, 0, 2)), Txt(TextOf(g_fiscal.SoftwareTime.data(), 6)),
                  Txt(Part(Reply29('3'), 3, 3)), Txt(cnpj.data()), Txt(crz), Txt(crz), Txt(Part(movement, 4, 2)),
                  Txt(Part(movement, 2, 2)), Txt(Part(movement, 0, 2)), Txt(Part(movement, 4, 2)),
                  Txt(Part(movement, 2, 2)), Txt(Part(movement, 0, 2)), Txt("01.00.00"), Txt("PC5207 01.00.00")});
    return WriteLine(handle, line.data());
}

bool WriteE02(intptr_t handle) {
    BlankLineBreaks(capture::g_capture.cache.table29[1]);
    BlankLineBreaks(capture::g_capture.cache.table29[2]);
    const auto model = ModelName();
    const auto cnpj = UserCnpjDigits();
    const auto ie = UserIeText();
    const auto name = UserNameText();
    char registered[16] = {};
    ToFileDateTime(Part(TextOf(g_fiscal.LastUserEntry.data(), g_fiscal.LastUserEntry.size() - 1), 66, 10),
                   registered);
    const std::string_view r2 = Reply29('2');
    std::array<char, kLine> line{};
    FormatRecord(line, "E02%-20.8s%c%s%014s%-14.14s%-40.40s%40.40s%40.40s%40.40s%s000001%018.18I64u%02u\r\n",
                 {Txt(SerialText()), Chr(AdditionalLetter()), Txt(model.data()), Txt(cnpj.data()), Txt(ie.data()),
                  Txt(name.data()), Txt(Part(r2, 8, 40)), Txt(Part(r2, 49, 200)), Txt(Part(Reply29('3'), 8, 200)),
                  Txt(registered), Num(g_fiscal.GrandTotal), Num(g_fiscal.UserCount)});
    return WriteLine(handle, line.data());
}

bool WriteE12(intptr_t handle) {
    // The flag is the last non-blank character of 29-F before its "}".
    const std::string_view f = Reply29('F');
    char flag = 'S';
    for (std::size_t i = 127; i-- > 0;) {
        const char c = CharAt(f, i);
        if (c == ' ') continue;
        if (c == 'S' || c == 'N') flag = c;
        break;
    }
    const auto model = ModelName();
    char movement[16] = {}, clock[16] = {};
    FormatRecord(movement, "20%2.2s%2.2s%2.2s",
                 {Txt(Part(DateOf(g_fiscal.MovementDate), 4, 2)), Txt(Part(DateOf(g_fiscal.MovementDate), 2, 2)),
                  Txt(Part(DateOf(g_fiscal.MovementDate), 0, 2))});
    ToFileDateTime(PrinterClockText(), clock);
    std::array<char, kLine> line{};
    FormatRecord(line, "E12%-20.8s%c%s%02u%06.4s%06.4s%06.4s%8.8s%s00%12.12s%c\r\n",
                 {Txt(SerialText()), Chr(AdditionalLetter()), Txt(model.data()), Num(g_fiscal.UserCount),
                  Txt(Part(Saved1(), 40, 4)), Txt(Part(Saved1(), 13, 4)), Txt(Part(Reply27('G'), 15, 4)),
                  Txt(movement), Txt(clock), Txt(Part(Saved1(), 44, 12)), Chr(flag)});
    return WriteLine(handle, line.data());
}

bool WriteE13(intptr_t handle) {
    const auto model = ModelName();
    std::array<char, 64> prefix{};
    FormatRecord(prefix, "E13%-20.8s%c%s%02u%06.4s",
                 {Txt(SerialText()), Chr(AdditionalLetter()), Txt(model.data()), Num(g_fiscal.UserCount),
                  Txt(Part(Saved1(), 40, 4))});
    std::array<char, 128> line{};
    auto value = [&](const char* code, uint64_t v) {
        FormatRecord(line, "%s%-7.7s%013.13I64u\r\n", {Txt(prefix.data()), Txt(code), Num(v)});
        return WriteLine(handle, line.data());
    };
    auto text = [&](const char* code, std::string_view digits) {
        FormatRecord(line, "%s%-7.7s0%012.12s\r\n", {Txt(prefix.data()), Txt(code), Txt(digits)});
        return WriteLine(handle, line.data());
    };
    const std::string_view s1 = Saved1(), s3 = Saved3(), r2 = Reply27('2'), rf = Reply27('F');
    if (!value("OPNF", g_fiscal.NonFiscalTotal) || !text("DT", Part(s1, 92, 12)) || !text("DS", Part(r2, 43, 12)) ||
        !text("AT", Part(rf, 11, 12)) || !text("AS", Part(rf, 43, 12)) ||
        !value("Can-T", DigitsValue(Part(s1, 76, 12), 12) + DigitsValue(Part(s1, 60, 12), 12)) ||
        !value("Can-S", DigitsValue(Part(r2, 27, 12), 12) + DigitsValue(Part(r2, 11, 12), 12)) ||
        !text("F1", Part(s3, 45, 12)) || !text("I1", Part(s3, 21, 12)) || !text("N1", Part(s3, 33, 12)))
        return false;

    const auto rates = RateEntries();
    std::array<char, 240> values{};
    FormatRecord(values, "%-15.15s%-105.105s%-105.105s",
                 {Txt(Part(s3, 93, 15)), Txt(Part(Reply27('4'), 7, 105)), Txt(Part(Reply27('5'), 7, 105))});
    // Every line's code is its own: an index that is not digits takes one that
    // no other entry of the list uses, and entries sharing a key take the
    // values of that key in their order.
    std::size_t count = 0;
    while (count < rates.size() && !(rates[count][0] == ' ' && rates[count][1] == ' ' && rates[count][2] == ' '))
        ++count;
    std::array<bool, 100> taken{};
    for (std::size_t i = 0; i < count; ++i)
        if (AllDigits(std::string_view(rates[i].data() + 1, 2), 2))
            taken[DigitsValue(std::string_view(rates[i].data() + 1, 2), 2)] = true;
    for (std::size_t i = 0; i < count; ++i) {
        std::array<char, 8> rate = rates[i];
        std::size_t earlier = 0;
        for (std::size_t j = 0; j < i; ++j)
            if (std::memcmp(rates[j].data(), rate.data(), 3) == 0) ++earlier;
        const char* found = nullptr;
        for (std::size_t v = 0; v < 15 && !found; ++v) {
            const char* entry = values.data() + 15 * v;
            if (std::memcmp(entry, rate.data(), 3) == 0 && earlier-- == 0) found = entry;
        }
        if (!found) continue;
        if (!AllDigits(std::string_view(rate.data() + 1, 2), 2)) {
            std::size_t index = i + 1;
            if (taken[index]) {
                index = 1;
                while (index + 1 < taken.size() && taken[index]) ++index;
            }
            taken[index] = true;
            char text[4];
            FormatRecord(text, "%02d", {Num(index)});
            rate[1] = text[0];
            rate[2] = text[1];
        }
        FormatRecord(line, "%s%-2.2s%c%-4.4s0%012.12s\r\n",
                     {Txt(prefix.data()), Txt(std::string_view(rate.data() + 1, 2)), Chr(rate[0]),
                      Txt(std::string_view(rate.data() + 3, 4)), Txt(std::string_view(found + 3, 12))});
        if (!WriteLine(handle, line.data())) return false;
    }
    return true;
}

}  // namespace moldrin::fiscalfile
