// The shared reads of the generation: stored replies, unit markers, rate lists,
// payment names, model text, the user's identification and the date conversion.
#include "fiscalfile/fiscal_state.h"

#include <cstring>

#include "session/session_state.h"
#include "fiscalfile/record_format.h"
#include "log/file_helpers.h"
#include "log/text.h"
#include "ui/boxes.h"

namespace moldrin::fiscalfile {

using capture::g_capture;

std::string_view TextOf(const std::array<char, 130>& reply) { return TextOf(reply.data(), reply.size() - 1); }

std::string_view Reply27(char type) {
    const auto& c = g_capture.cache;
    switch (type) {
        case '1': return TextOf(c.status1);
        case '2': return TextOf(c.status2);
        case '3': return TextOf(c.status3);
        case '4': return TextOf(c.status4);
        case '5': return TextOf(c.status5);
        case '6': return TextOf(c.status6);
        case '7': return TextOf(c.status7);
        case '8': return TextOf(c.status8toE[0]);
        case '9': return TextOf(c.status8toE[1]);
        case 'A': case 'B': case 'C': case 'D': case 'E':
            return TextOf(c.status8toE[static_cast<std::size_t>(type - 'A' + 2)]);
        case 'F': return TextOf(c.statusF);
        case 'G': return TextOf(c.statusG);
        default: return {};
    }
}

std::string_view Reply28() { return TextOf(g_capture.cache.status28); }

std::string_view Reply29(char type) {
    const auto& c = g_capture.cache;
    if (type >= '1' && type <= '6') return TextOf(c.table29[static_cast<std::size_t>(type - '1')]);
    if (type == 'F') return TextOf(c.table29F);
    if (type >= 'H' && type <= 'L') return TextOf(c.table29HtoL);
    return {};
}

std::string_view Saved1() { return TextOf(SavedStatus1().data(), SavedStatus1().size()); }
std::string_view Saved3() { return TextOf(SavedStatus3().data(), SavedStatus3().size()); }

bool ItemTableEmpty() { return !g_fiscal.ItemTable || g_fiscal.ItemTable[0].code[0] == 0; }

UnitInfo UnitOf(char marker) {
    switch (marker) {
        case '!': return {"Kg", 2};
        case '>': return {"Kg", 3};
        case ')': return {"m ", 2};
        case '|': return {"m ", 3};
        case '@': return {"l ", 2};
        case ']': return {"l ", 3};
        case '~': return {"un", 3};
        default: return {"un", 2};
    }
}

std::array<std::array<char, 8>, 15> RateEntries() {
    char joined[128];
    FormatRecord(joined, "%-28.28s%-49.49s%-28.28s",
                 {Txt(Part(Reply29('3'), 48, 28)), Txt(Part(Reply29('4'), 7, 49)), Txt(Part(Reply29('5'), 7, 28))});
    std::array<std::array<char, 8>, 15> entries{};
    for (std::size_t i = 0; i < entries.size(); ++i) {
        std::memcpy(entries[i].data(), joined + 7 * i, 7);
        entries[i][7] = 0;
    }
    return entries;
}

std::array<char, 16> PaymentName(int k) {
    std::array<char, 16> name{};
    if (k < 1 || k > 10) return name;
    const bool extended = g_session.ModelGate == 1;
    const std::size_t step = extended ? 16 : 15;
    const std::size_t skip = extended ? 1 : 0;
    const std::string_view reply = k <= 3 ? Reply29('5') : Reply29('6');
    const std::size_t first = k <= 3 ? 35 : 7;
    const std::size_t index = static_cast<std::size_t>(k <= 3 ? k - 1 : k - 4);
    FormatRecord(name, "%-15.15s", {Txt(Part(reply, first + step * index + skip, 15))});
    return name;
}

std::array<char, 21> ModelName() {
    const char* name = nullptr;
    const char letter = g_capture.ModelLetter;
    if (g_session.ModelGate == 1) {
        switch (letter) {
            case 'B': name = "IF Q-4400I"; break;
            case 'C': name = "IF Q-4400IIE"; break;
            case 'D': name = "IF Q-4400IE"; break;
            case 'E': name = "IF Q-4400II"; break;
            case 'F': name = "IF Q-4400IIIE"; break;
            default: break;
        }
    } else if (g_session.ModelGate == 0) {
        switch (letter) {
            case 'B': name = "IF Q-2200I"; break;
            case 'C': name = "IF Q-2200II"; break;
            case 'D': name = "IF Q-2200IE"; break;
            default: break;
        }
    }
    std::array<char, 21> out{};
    FormatRecord(out, "%-20.20s", {Txt(name ? name : "????????????????????")});
    return out;
}

std::array<char, 21> MovementModelText() {
    if (!g_fiscal.DataInconsistent) return ModelName();
    std::array<char, 21> out{};
    FormatRecord(out, "%s", {Txt("????????????????????")});
    return out;
}

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

std::string_view LastUserEntry() { return TextOf(g_fiscal.LastUserEntry.data(), g_fiscal.LastUserEntry.size() - 1); }

}  // namespace

std::array<char, 23> UserCnpjDigits() {
    std::array<char, 23> digits{};
    std::size_t n = 0;
    for (char c : Part(LastUserEntry(), 7, 22))
        if (IsDigit(c)) digits[n++] = c;
    digits[n] = 0;
    if (n > 14) {
        std::memmove(digits.data(), digits.data() + (n - 14), 14);
        digits[14] = 0;
    }
    return digits;
}

std::array<char, 15> UserIeText() {
    std::array<char, 15> text{};
    std::size_t n = 0;
    for (char c : Part(LastUserEntry(), 29, 21))
        if ((IsDigit(c) || IsLetter(c)) && n < 14) text[n++] = c;
    text[n] = 0;
    return text;
}

std::array<char, 41> UserNameText() {
    std::array<char, 41> name{};
    std::size_t n = 0;
    auto copy = [&](std::string_view piece) {
        for (char c : piece) {
            if (n >= 40) return;
            if (IsDigit(c) || IsLetter(c)) name[n++] = c;
            else if (c == ' ' && n > 0 && name[n - 1] != ' ') name[n++] = ' ';
        }
    };
    copy(Part(Reply29('1'), 11, 40));
    copy(Part(Reply29('1'), 52, 40));
    if (n <= 4) copy(Part(Reply29('2'), 8, 40));
    name[n] = 0;
    return name;
}

char* ToFileDateTime(std::string_view source, char* out) {
    std::array<char, 16> buffer{};
    FormatRecord(buffer, "20%2.2s%2.2s%2.2s%4.4s00",
                 {Txt(Part(source, 4, 2)), Txt(Part(source, 2, 2)), Txt(Part(source, 0, 2)), Txt(Part(source, 6, 4))});
    std::memcpy(out, buffer.data(), 15);
    return out;
}

std::string_view PrinterClockText() { return Part(Reply28(), 46, 10); }

std::string_view SerialText() { return TextOf(g_fiscal.SerialNumber.data(), 9); }
char AdditionalLetter() { return CharAt(SerialText(), 8); }

void WriteErrorBox() {
    ui::ErrorBox(CP1252("ERRO de gravação RFD: c:\\TALMA\\RFD\\TALMA.TMP"));
}

bool WriteLine(intptr_t handle, const char* line) {
    // Every record passes here, so no field of any record can break the file's lines.
    std::array<char, 1024> clean{};
    const std::size_t n = line ? strnlen(line, clean.size() - 1) : 0;
    if (n) std::memcpy(clean.data(), line, n);
    BlankControlBytes(clean.data(), clean.size());
    if (log::FileWriteText(handle, clean.data()) == 0) return true;
    WriteErrorBox();
    return false;
}

bool LineBatch::Add(const char* line) {
    if (failed_) return false;
    const std::size_t n = std::strlen(line);
    if (used_ + n > bytes_.size() && !Flush()) return false;
    if (n > bytes_.size()) {
        failed_ = !WriteLine(handle_, line);
        return !failed_;
    }
    std::memcpy(bytes_.data() + used_, line, n);
    // Batched lines are cleaned as WriteLine cleans a line of its own.
    BlankControlBytes(bytes_.data() + used_, n);
    used_ += n;
    return true;
}

bool LineBatch::Flush() {
    if (failed_ || used_ == 0) return !failed_;
    const auto n = static_cast<uint32_t>(used_);
    used_ = 0;
    if (log::FileWrite(handle_, bytes_.data(), n) == n) return true;
    WriteErrorBox();
    failed_ = true;
    return false;
}

}  // namespace moldrin::fiscalfile
