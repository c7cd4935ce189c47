// The one command-line convention of every sub-command: getopt_long underneath, so
// `--opt value` and `--opt=value` both work, with checked values and one-line errors.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace moldrin::tools {

// Exit statuses every sub-command keeps to.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

class Options {
public:
    // `command` as the user typed it ("moldrin send"); `synopsis` the arguments after it;
    // `description` the lines printed under the option list by --help.
    Options(std::string command, std::string synopsis, std::string description = {});

    // A value check answers an empty text when the value is taken, else why it is not.
    using Take = std::function<std::string(const std::string& value)>;

    void Flag(const char* name, const char* help, bool* out);
    void Value(const char* name, const char* valueName, const char* help, Take take);
    // Whole numbers from `min` to `max`, written in decimal.
    void Number(const char* name, const char* valueName, const char* help, int64_t min, int64_t max, int64_t* out);
    void Text(const char* name, const char* valueName, const char* help, std::string* out);
    // Positional arguments: at least `min`, at most `max` (-1 for no limit).
    void Arguments(const char* names, int min, int max);

    // -1: go on with `args`; otherwise the exit status to end with (help printed on
    // standard output, or one error line on standard error).
    int Parse(int argc, char** argv, std::vector<std::string>& args);

    void PrintUsage(std::FILE* out) const;
    // The command as the user typed it, for messages ("moldrin send").
    const std::string& Command() const { return command_; }
    // One line on standard error, "moldrin send: TEXT"; returns kExitUsage.
    int UsageError(const std::string& text) const;
    // One line on standard error for a failure; returns kExitFailure.
    int Failure(const std::string& text) const;

private:
    struct Entry {
        std::string name, valueName, help;
        bool* flag = nullptr;
        Take take;
    };
    std::string command_, synopsis_, description_;
    std::vector<Entry> entries_;
    std::string argNames_;
    int minArgs_ = 0, maxArgs_ = 0;
};

// Empty when the file at `hostPath` can be read, else why not ("No such file or directory",
// "Is a directory", ...).
std::string UnreadableReason(const std::string& hostPath);

// Decimal whole number with nothing around it; false when the text is not one or is out of range.
bool ParseWhole(const std::string& text, int64_t min, int64_t max, int64_t* out);

}  // namespace moldrin::tools
