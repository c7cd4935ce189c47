// Asking the operator at the terminal: yes/no questions and the fields of the
// identification. What the answers mean is the library's.
#include "tools/terminal_operator.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string>

#include "log/text.h"

namespace moldrin::tools {

namespace {

struct Prompt {
    const char* label;  // Windows-1252
    char* value;
    std::size_t width;
};

}  // namespace

std::string Utf8ToCp1252(const char* text) {
    static const char16_t kHigh[32] = {
        0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};
    std::string out;
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    while (*p) {
        uint32_t cp = *p;
        int len = 1;
        if (cp >= 0xC0 && cp < 0xE0) { cp &= 0x1F; len = 2; }
        else if (cp >= 0xE0 && cp < 0xF0) { cp &= 0x0F; len = 3; }
        else if (cp >= 0xF0) { cp &= 0x07; len = 4; }
        for (int k = 1; k < len; ++k) {
            if ((p[k] & 0xC0) != 0x80) { len = k; cp = '?'; break; }
            cp = (cp << 6) | (p[k] & 0x3F);
        }
        p += len;
        char c = '?';
        if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) c = static_cast<char>(cp);
        else for (int k = 0; k < 32; ++k) if (kHigh[k] == cp) c = static_cast<char>(0x80 + k);
        out += c;
    }
    return out;
}

bool TerminalOperator::ReadLine(char* buffer, int size) {
    if (!std::fgets(buffer, size, in_)) return false;
    buffer[std::strcspn(buffer, "\r\n")] = 0;
    return true;
}

void TerminalOperator::InfoBox(const char* text) { platform::DefaultOperator().InfoBox(text); }

int TerminalOperator::QuestionBox(const char* text) {
    std::fprintf(out_, "%s [s/n] ", platform::Cp1252ToUtf8(text ? text : "").c_str());
    std::fflush(out_);
    char answer[64];
    if (!ReadLine(answer, sizeof answer)) return -1;
    return answer[0] == 's' || answer[0] == 'S' || answer[0] == 'y' || answer[0] == 'Y' ? 1 : 0;
}

int TerminalOperator::MessageBox(const char* text, const char* caption, unsigned style) {
    if ((style & 0x0Fu) != MOLDRIN_MB_YESNO) return platform::DefaultOperator().MessageBox(text, caption, style);
    std::fprintf(out_, "[%s] ", platform::Cp1252ToUtf8(caption ? caption : "").c_str());
    return QuestionBox(text) == 1 ? MOLDRIN_ID_YES : MOLDRIN_ID_NO;
}

int TerminalOperator::Identify(const char* caption, MoldrinIdentification& f) {
    std::fprintf(out_, "%s\n%s\n", platform::Cp1252ToUtf8(caption ? caption : "").c_str(),
                 "(Enter keeps the value shown; end of input cancels)");
    bool all[kIdentificationFields];
    std::fill(std::begin(all), std::end(all), true);
    return AskFields(f, all);
}

int TerminalOperator::AskFields(MoldrinIdentification& f, const bool* ask) {
    const Prompt prompts[kIdentificationFields] = {
        {CP1252("Número de Fabricação do ECF (9 caracteres se houver letra no final) :"), f.factoryNumber, 9},
        {CP1252("CNPJ/CPF do Desenvolvedor:"), f.developerId, 14},
        {"I.E.", f.stateReg, 14},
        {"I.M.", f.cityReg, 14},
        {CP1252("Nome da Software House (Razão Social) :"), f.softwareHouse, 40},
        {CP1252("COO relativo à troca de Aplicativo:"), f.coo, 6},
        {CP1252("Número de Ordem do aplicativo:"), f.orderNumber, 2},
        {"Nome do Aplicativo:", f.appName, 40},
        {CP1252("Versão do aplicativo:"), f.appVersion, 10},
        {"Dados do Programa Aplicativo:", f.programData, 84},
    };
    MoldrinIdentification entered = f;
    for (int i = 0; i < kIdentificationFields; ++i) {
        if (!ask[i]) continue;
        const Prompt& p = prompts[i];
        char* value = reinterpret_cast<char*>(&entered) + (p.value - reinterpret_cast<char*>(&f));
        std::fprintf(out_, "%s [%s] ", platform::Cp1252ToUtf8(p.label).c_str(),
                     platform::Cp1252ToUtf8(std::string(value, strnlen(value, p.width))).c_str());
        std::fflush(out_);
        char line[512];
        if (!ReadLine(line, sizeof line)) return 0;
        if (line[0]) {
            const std::string text = Utf8ToCp1252(line);
            const std::size_t n = text.size() < p.width ? text.size() : p.width;
            std::memcpy(value, text.data(), n);
            value[n] = 0;
        }
    }
    f = entered;
    return 1;
}

}  // namespace moldrin::tools
