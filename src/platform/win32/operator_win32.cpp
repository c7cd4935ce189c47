// The operator on Windows: the library's own dialogs (information, question,
// identification) from its resources, the system message box, window centring and the
// message pump. Whether a box may appear at all is decided above, by the dialog switch.
#include "platform/win32/win32.h"

#include <cstring>

#include "platform/module.h"
#include "platform/operator.h"
#include "platform/win32/resource_ids.h"

namespace moldrin::platform {

namespace {

HINSTANCE Instance() { return static_cast<HINSTANCE>(GetModuleHandle()); }

void CenterWindow(HWND window) {
    RECT r{};
    if (!::GetWindowRect(window, &r)) return;
    int width = r.right - r.left;
    int height = r.bottom - r.top;
    int x = (::GetSystemMetrics(SM_CXSCREEN) - width) / 2;
    int y = (::GetSystemMetrics(SM_CYSCREEN) - height) / 2;
    ::MoveWindow(window, x, y, width, height, FALSE);
}

// Both boxes answer 0 to every message, the initialisation included, so the
// system leaves the keyboard focus where the template puts it.
INT_PTR BoxProcedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam, int (*command)(int)) {
    if (message == WM_INITDIALOG) {
        ::SetWindowTextA(::GetDlgItem(dialog, kIdcMessage), reinterpret_cast<const char*>(lParam));
        CenterWindow(dialog);
    } else if (message == WM_COMMAND) {
        int end = command(LOWORD(wParam));
        if (end >= 0) ::EndDialog(dialog, end);
    }
    return 0;
}
INT_PTR CALLBACK InfoProcedure(HWND d, UINT m, WPARAM w, LPARAM l) { return BoxProcedure(d, m, w, l, InfoBoxCommandResult); }
INT_PTR CALLBACK QuestionProcedure(HWND d, UINT m, WPARAM w, LPARAM l) {
    return BoxProcedure(d, m, w, l, QuestionBoxCommandResult);
}

// The identification dialog: one edit control per field, read back cut to the field.
struct IdentifyField {
    int control;
    std::size_t offset;  // of the field inside MoldrinIdentification
    std::size_t width;   // characters kept
    bool digitsOnly;
};
const IdentifyField kIdentifyFields[] = {
    {kIdcOrderNumber, offsetof(MoldrinIdentification, orderNumber), 2, true},
    {kIdcAppVersion, offsetof(MoldrinIdentification, appVersion), 10, false},
    {kIdcAppName, offsetof(MoldrinIdentification, appName), 40, false},
    {kIdcProgramData, offsetof(MoldrinIdentification, programData), 84, false},
    {kIdcDeveloperId, offsetof(MoldrinIdentification, developerId), 14, true},
    {kIdcStateReg, offsetof(MoldrinIdentification, stateReg), 14, true},
    {kIdcCityReg, offsetof(MoldrinIdentification, cityReg), 14, true},
    {kIdcSoftwareHouse, offsetof(MoldrinIdentification, softwareHouse), 40, false},
    {kIdcCoo, offsetof(MoldrinIdentification, coo), 6, true},
    {kIdcFactoryNumber, offsetof(MoldrinIdentification, factoryNumber), 9, false},
};

struct IdentifyContext {
    const char* caption;
    MoldrinIdentification* fields;
};

char* FieldText(MoldrinIdentification& f, const IdentifyField& field) {
    return reinterpret_cast<char*>(&f) + field.offset;
}

// Pasted text can bring separators into a digits-only control: keep the digits before them.
void CutAtNonDigit(char* text) {
    for (; *text; ++text)
        if (*text < '0' || *text > '9') {
            *text = 0;
            return;
        }
}

void ReadIdentification(HWND dialog, MoldrinIdentification& f) {
    std::memset(&f, 0, sizeof f);
    for (const auto& field : kIdentifyFields) {
        char* text = FieldText(f, field);
        ::GetWindowTextA(::GetDlgItem(dialog, field.control), text, static_cast<int>(field.width + 1));
        text[field.width] = 0;
        if (field.digitsOnly) CutAtNonDigit(text);
    }
    // A factory number of eight characters is kept with the blank of its ninth.
    if (std::strlen(f.factoryNumber) == 8) std::strcat(f.factoryNumber, " ");
}

INT_PTR CALLBACK IdentifyProcedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        ::SetWindowLongPtrA(dialog, DWLP_USER, lParam);
        auto* ctx = reinterpret_cast<IdentifyContext*>(lParam);
        CenterWindow(dialog);
        if (ctx->caption) ::SetWindowTextA(dialog, ctx->caption);
        for (const auto& field : kIdentifyFields) {
            HWND edit = ::GetDlgItem(dialog, field.control);
            ::SendMessageA(edit, EM_LIMITTEXT, field.width, 0);
            ::SetWindowTextA(edit, FieldText(*ctx->fields, field));
        }
        ::SetFocus(::GetDlgItem(dialog, kIdcFactoryNumber));
        return 0;  // the focus was set here
    }
    if (message == WM_COMMAND) {
        auto* ctx = reinterpret_cast<IdentifyContext*>(::GetWindowLongPtrA(dialog, DWLP_USER));
        WORD id = LOWORD(wParam);
        if (id == IDOK && ctx) {
            ReadIdentification(dialog, *ctx->fields);
            ::EndDialog(dialog, 1);
            return 1;
        }
        if (id == IDCANCEL) {
            ::EndDialog(dialog, 0);
            return 1;
        }
    }
    return 0;
}

class DialogOperator final : public Operator {
public:
    void InfoBox(const char* text) override {
        ::DialogBoxParamA(Instance(), kDialogInfo, nullptr, InfoProcedure, reinterpret_cast<LPARAM>(text ? text : ""));
    }
    int QuestionBox(const char* text) override {
        return static_cast<int>(::DialogBoxParamA(Instance(), kDialogQuestion, nullptr, QuestionProcedure,
                                                  reinterpret_cast<LPARAM>(text ? text : "")));
    }
    int MessageBox(const char* text, const char* caption, unsigned style) override {
        return ::MessageBoxA(nullptr, text ? text : "", caption ? caption : "", style);
    }
    int Identify(const char* caption, MoldrinIdentification& fields) override {
        // The operator edits a copy: a cancelled dialog leaves the caller's fields as they were.
        MoldrinIdentification edited = fields;
        IdentifyContext ctx{caption, &edited};
        INT_PTR r = ::DialogBoxParamA(Instance(), MAKEINTRESOURCEA(kDialogIdentification), nullptr,
                                      IdentifyProcedure, reinterpret_cast<LPARAM>(&ctx));
        if (r != 1) return 0;
        fields = edited;
        return 1;
    }
};

}  // namespace

Operator& DefaultOperator() {
    // Never destroyed: a box may be shown from the unload path.
    static DialogOperator& op = *new DialogOperator;
    return op;
}

void PumpMessages() {
    MSG msg;
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
    }
}

}  // namespace moldrin::platform
