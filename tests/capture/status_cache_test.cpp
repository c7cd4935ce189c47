// The status cache's lookups and stores, and what a reset of the capture empties.
#include <gtest/gtest.h>

#include <string>

#include "session/session_state.h"
#include "store/capture_state.h"
#include "store/registration.h"
#include "store/status_cache.h"

namespace moldrin::capture {
namespace {

// A status record of 128 characters: "." sign letter "000" type, blanks, "}".
std::string Record(char letter, char type, char sign = '+') {
    std::string r(128, ' ');
    r[0] = '.';
    r[1] = sign;
    r[2] = letter;
    r[3] = r[4] = r[5] = '0';
    r[6] = type;
    r[127] = '}';
    return r;
}

class StatusCacheTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetCaptureState();
        g_session.ModelGate = 0;
        g_session.ReplyBuffer[0] = 0;
    }
    void TearDown() override {
        ResetCaptureState();
        g_session.ModelGate = 0;
    }
    std::string Reply() { return g_session.ReplyBuffer.data(); }
};

TEST_F(StatusCacheTest, StoresWhatEachFamilyAndTypeKeeps) {
    std::string s1 = Record('C', '1');
    s1.replace(19, 17, "00000000000123456");
    s1[124] = 'D';
    CacheStore(27, '1', s1.c_str());
    EXPECT_EQ(std::string(g_capture.cache.status1.data()), s1);
    EXPECT_EQ(g_capture.currentCounter, 123456);
    EXPECT_TRUE(g_capture.cache.status1Current);

    // A status 1 of a later model is not taken.
    ResetCaptureState();
    s1[124] = 'G';
    CacheStore(27, '1', s1.c_str());
    EXPECT_EQ(g_capture.cache.status1[0], 0);
    EXPECT_FALSE(g_capture.cache.status1Current);
    s1[124] = static_cast<char>(0xC7);  // compared unsigned
    CacheStore(27, '1', s1.c_str());
    EXPECT_EQ(g_capture.cache.status1[0], 0);

    std::string s3 = Record('C', '3');
    s3.replace(12, 9, "MS0300019");
    CacheStore(27, '3', s3.c_str());
    EXPECT_STREQ(g_capture.factoryNumber.data(), "MS0300019");

    const char slots[] = "89ABCDE";
    for (int i = 0; i < 7; ++i) {
        CacheStore(27, slots[i], Record('C', slots[i]).c_str());
        EXPECT_EQ(std::string(g_capture.cache.status8toE[static_cast<std::size_t>(i)].data()),
                  Record('C', slots[i]));
    }
    CacheStore(27, 'F', Record('C', 'F').c_str());
    EXPECT_TRUE(g_capture.cache.fCurrent);

    std::string g = Record('C', 'G');
    g[30] = '7';
    CacheStore(27, 'G', g.c_str());
    EXPECT_EQ(g_session.ModelGate, 1);
    g[30] = ' ';
    CacheStore(27, 'G', g.c_str());
    EXPECT_EQ(g_session.ModelGate, 0);

    CacheStore(28, 'x', Record('0', '0').c_str());  // only "|" or a digit
    EXPECT_EQ(g_capture.cache.status28[0], 0);
    CacheStore(28, '|', Record('0', '0').c_str());
    EXPECT_NE(g_capture.cache.status28[0], 0);

    CacheStore(29, '4', Record('T', '4').c_str());
    EXPECT_EQ(std::string(g_capture.cache.table29[3].data()), Record('T', '4'));
    CacheStore(29, 'F', Record('T', 'F').c_str());  // kept by the queries only
    EXPECT_EQ(g_capture.cache.table29F[0], 0);
    CacheStore(27, 'Z', Record('C', 'Z').c_str());  // nothing to keep it in

    // Over-long and short replies are kept to 128 characters, never read past their end.
    CacheStore(27, '2', (Record('C', '2') + "tail").c_str());
    EXPECT_EQ(std::string(g_capture.cache.status2.data()), Record('C', '2'));
    CacheStore(27, '1', ".+C}");
    EXPECT_STREQ(g_capture.cache.status1.data(), ".+C}");
}

TEST_F(StatusCacheTest, AnswersOnlyCurrentEntriesWhileTheCacheIsCurrent) {
    CacheStore(27, '1', Record('C', '1').c_str());
    CacheStore(27, '4', Record('C', '4').c_str());
    CacheStore(27, 'G', Record('C', 'G').c_str());
    CacheStore(29, '2', Record('T', '2').c_str());
    g_capture.cache.groupCurrent = true;
    g_capture.cache.gState = 1;

    g_capture.CaptureState = 2;
    EXPECT_EQ(CacheAnswer(27, '1'), 0);
    g_capture.CaptureState = 1;

    struct Case {
        int family;
        char type;
        int answered;
    } cases[] = {
        {27, '1', 1}, {27, '4', 1}, {27, 'g', 1},  // the type is upper-cased
        {27, '5', 0},                              // current group, empty entry
        {27, 'F', 0},                              // not current
        {27, '8', 0},                              // the slots never answer
        {29, '2', 1}, {29, '3', 0}, {29, 'F', 0}, {28, '|', 0},
    };
    for (const auto& c : cases) {
        g_session.ReplyBuffer[0] = 0;
        EXPECT_EQ(CacheAnswer(c.family, c.type), c.answered) << c.family << c.type;
        if (c.answered) {
            EXPECT_EQ(Reply().size(), 128u);
        }
    }
    g_capture.cache.gState = 2;  // to be read again: not answered
    EXPECT_EQ(CacheAnswer(27, 'G'), 0);
    g_capture.cache.groupCurrent = false;
    EXPECT_EQ(CacheAnswer(27, '4'), 0);
}

TEST_F(StatusCacheTest, ResetEmptiesEverythingLearntFromThePrinter) {
    g_capture.CaptureState = 1;
    CacheStore(27, '1', Record('C', '1').c_str());
    CopyText(g_capture.fiscalDate, "050308");
    CopyText(g_capture.refreshDate, "050308");
    CopyText(g_capture.printerClock, "050308103000");
    CopyText(g_capture.factoryNumber, "MS0300019");
    CopyText(g_capture.lastFactoryNumber, "MS0300019");
    g_capture.currentCounter = g_capture.baseCounter = g_capture.expectedCounter = 5;
    g_capture.ModelLetter = 'D';
    g_capture.pendingStatus1 = true;
    std::snprintf(g_registration.fields.appName, sizeof g_registration.fields.appName, "x");
    ResetCaptureState();
    EXPECT_EQ(g_capture.CaptureState, 0);
    EXPECT_EQ(g_capture.cache.status1[0], 0);
    EXPECT_FALSE(g_capture.cache.status1Current);
    for (const auto* text : {g_capture.fiscalDate.data(), g_capture.refreshDate.data(), g_capture.printerClock.data(),
                             g_capture.factoryNumber.data(), g_capture.lastFactoryNumber.data()})
        EXPECT_STREQ(text, "");
    EXPECT_EQ(g_capture.currentCounter + g_capture.baseCounter + g_capture.expectedCounter, 0);
    EXPECT_EQ(g_capture.ModelLetter, static_cast<char>(0xFF));
    EXPECT_STREQ(g_registration.fields.appName, "");
    EXPECT_TRUE(g_capture.pendingStatus1);  // the interception's, not the printer's
}

}  // namespace
}  // namespace moldrin::capture
