// An operator that records every box and answers from a script.
#pragma once
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "platform/operator.h"

namespace moldrin::testing {

class RecordingOperator final : public platform::Operator {
public:
    struct Shown {
        std::string kind;  // "info", "question", "message", "identify"
        std::string text;
        std::string caption;
    };

    RecordingOperator() { platform::SetOperator(this); }
    ~RecordingOperator() override { platform::SetOperator(nullptr); }

    void InfoBox(const char* text) override { Record("info", text, ""); }
    int QuestionBox(const char* text) override {
        Record("question", text, "");
        return Next(questionAnswers, 1);
    }
    int MessageBox(const char* text, const char* caption, unsigned) override {
        Record("message", text, caption);
        return Next(messageAnswers, MOLDRIN_ID_OK);
    }
    int Identify(const char* caption, MoldrinIdentification& fields) override {
        Record("identify", "", caption);
        std::lock_guard lock(m_);
        lastIdentification = fields;
        if (identifications.empty()) return 0;
        fields = identifications.front();
        identifications.pop_front();
        return 1;
    }

    std::vector<Shown> shown() {
        std::lock_guard lock(m_);
        return shown_;
    }
    std::vector<std::string> texts(const std::string& kind) {
        std::lock_guard lock(m_);
        std::vector<std::string> out;
        for (auto& s : shown_)
            if (s.kind == kind) out.push_back(s.text);
        return out;
    }
    void clear() {
        std::lock_guard lock(m_);
        shown_.clear();
    }

    std::deque<int> questionAnswers;       // default yes
    std::deque<int> messageAnswers;        // default OK
    std::deque<MoldrinIdentification> identifications;  // empty = cancel
    MoldrinIdentification lastIdentification{};

private:
    void Record(const char* kind, const char* text, const char* caption) {
        std::lock_guard lock(m_);
        shown_.push_back({kind, text ? text : "", caption ? caption : ""});
    }
    int Next(std::deque<int>& q, int fallback) {
        std::lock_guard lock(m_);
        if (q.empty()) return fallback;
        int v = q.front();
        q.pop_front();
        return v;
    }
    std::mutex m_;
    std::vector<Shown> shown_;
};

}  // namespace moldrin::testing
