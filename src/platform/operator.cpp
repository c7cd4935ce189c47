// The replaceable operator, the adapter that serves the exported C hooks, and
// the Windows-1252 to UTF-8 conversion for operators that show text on a terminal.
#include "platform/operator.h"

#include <atomic>
#include <mutex>

namespace moldrin::platform {

namespace {

std::atomic<Operator*> g_operator{nullptr};

// Serves the application's hooks; a null hook falls back to the default operator.
class HookOperator final : public Operator {
public:
    void Set(const MoldrinOperator& hooks) {
        std::lock_guard lock(m_);
        hooks_ = hooks;
    }
    void InfoBox(const char* text) override {
        MoldrinOperator h = Hooks();
        if (h.infoBox) h.infoBox(h.context, text);
        else DefaultOperator().InfoBox(text);
    }
    int QuestionBox(const char* text) override {
        MoldrinOperator h = Hooks();
        return h.questionBox ? h.questionBox(h.context, text) : DefaultOperator().QuestionBox(text);
    }
    int MessageBox(const char* text, const char* caption, unsigned style) override {
        MoldrinOperator h = Hooks();
        return h.messageBox ? h.messageBox(h.context, text, caption, style)
                            : DefaultOperator().MessageBox(text, caption, style);
    }
    int Identify(const char* caption, MoldrinIdentification& fields) override {
        MoldrinOperator h = Hooks();
        return h.identify ? h.identify(h.context, caption, &fields) : DefaultOperator().Identify(caption, fields);
    }

private:
    MoldrinOperator Hooks() {
        std::lock_guard lock(m_);
        return hooks_;
    }
    std::mutex m_;
    MoldrinOperator hooks_{};
};

HookOperator& Hooked() {
    // Never destroyed: the application's hooks serve boxes until the very end.
    static HookOperator& op = *new HookOperator;
    return op;
}

}  // namespace

Operator& GetOperator() {
    Operator* op = g_operator.load(std::memory_order_acquire);
    return op ? *op : DefaultOperator();
}

void SetOperator(Operator* op) { g_operator.store(op, std::memory_order_release); }

void SetOperatorHooks(const MoldrinOperator* hooks) {
    if (!hooks) {
        SetOperator(nullptr);
        return;
    }
    Hooked().Set(*hooks);
    SetOperator(&Hooked());
}

// The information box has no way out but OK, Enter or the Esc character: an error
// must not be dismissed by the close button.
int InfoBoxCommandResult(int id) {
    switch (id) {
        case 1: case 13: case 27: return 1;
        default: return -1;
    }
}

int QuestionBoxCommandResult(int id) {
    switch (id) {
        case 1: case 13: return 1;
        case 2: case 27: return 0;
        default: return -1;
    }
}

std::string Cp1252ToUtf8(std::string_view text) {
    static const char16_t kHigh[32] = {
        0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD, 0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178};
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        uint32_t cp = c;
        if (c >= 0x80 && c < 0xA0) cp = kHigh[c - 0x80];
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

}  // namespace moldrin::platform
