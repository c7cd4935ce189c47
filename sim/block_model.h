// The block protocol of the later simulated models ("G" and on): host blocks
// in, ACK/NAK and checked answering blocks out, and what it accepted. The
// ordinary frames, timing and transports are printer_model's.
#pragma once
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace moldrin::sim {

struct BlockFaults {
    bool silent = false;     // takes blocks, never answers them
    int refuse = 0;          // the next n item or text blocks are refused with "-"
    int badChecksum = 0;     // the next n answering blocks go out with a wrong checksum
    bool busyFirst = false;  // a "*" (still working) block goes before every answering block
};

// An item block the printer accepted, field by field as the block carried it.
struct SoldItem {
    std::string quantity, code, price, unit, rate, description;
};

// A text block the printer accepted: its mode letter ("A", "@" or "a") and the
// text without the closing CR LF.
struct PrintedText {
    char mode = 0;
    std::string text;
};

// What the reading ("*34|I32") answers, by the widths the library reads.
struct ReadingFields {
    std::string figure = "0000000001234567";  // 16 characters
    std::string stamp = "0912261020";         // 10
    std::string first = "0001";               // 4
    std::string last = "0042";                // 4
};

class BlockModel {
public:
    // Models "G" and later speak blocks beside the ordinary frames.
    static bool Speaks(char modelLetter) { return static_cast<unsigned char>(modelLetter) >= 'G'; }

    // One host byte. True when it belongs to the block protocol, which the
    // ordinary receiver must then not see; what to send back is appended to *answer.
    bool Feed(char byte, std::string* answer);

    void SetFaults(const BlockFaults& faults);
    BlockFaults Faults() const;
    void SetReading(const ReadingFields& reading);

    std::vector<SoldItem> Items() const;
    std::vector<PrintedText> Texts() const;
    std::vector<std::string> Blocks() const;  // text of each sound block received, between STX and ETX
    int BadBlocks() const;                    // blocks received with a wrong checksum
    int Naks() const;                         // NAKs the host sent
    void Clear();

    // A block's content on the line: runs as the byte, ESC and the number of
    // further copies plus 31; control bytes as DLE and the byte with its top bit set.
    static std::string Encode(std::string_view content);
    // STX, encoded content, ETX and the checksum (spoiled when asked).
    static std::string Frame(std::string_view content, bool badChecksum = false);

private:
    enum class Stage { Idle, Block, Checksum, Trailer };
    bool FeedLocked(char byte, std::string* answer);
    void Settle(std::string* answer);
    std::string Respond(const std::string& text);
    std::string FrameNext(std::string_view content);

    mutable std::mutex m_;
    BlockFaults faults_;
    ReadingFields reading_;
    Stage stage_ = Stage::Idle;
    std::string raw_;
    std::size_t trailer_ = 0;
    std::string last_;  // content of the last answering block, sent again on NAK
    int unacknowledged_ = 0;
    std::vector<SoldItem> items_;
    std::vector<PrintedText> texts_;
    std::vector<std::string> blocks_;
    int badBlocks_ = 0;
    int naks_ = 0;
};

}  // namespace moldrin::sim
