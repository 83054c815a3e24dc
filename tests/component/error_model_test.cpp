#include "serial_fixture.h"

namespace tarvik::testing {
namespace {

TEST(CreateTest, StartsClosedWithDefaults)
{
    sim::SimCommApi api;
    TBlockSerial serial(api);
    EXPECT_EQ(serial.LastErrorCode(), 0);
    EXPECT_EQ(serial.LastErrorText(), "OK");
    EXPECT_EQ(serial.Handle, win::INVALID_HANDLE_VALUE);
    EXPECT_EQ(serial.PortIndex(), -1);
    EXPECT_FALSE(serial.PortOpen());
    EXPECT_EQ(serial.RecvQueueSize(), 4096);
    EXPECT_EQ(serial.DeadlockTimeout, 30000);
    EXPECT_EQ(serial.AtTimeout, 1000);
    EXPECT_TRUE(serial.InterPacketTimeout);
    EXPECT_TRUE(serial.LinuxLock);
    EXPECT_FALSE(serial.RaiseExcept);
    EXPECT_FALSE(serial.ConvertLineEnd);
    EXPECT_EQ(serial.MaxLineLength, 0);
    EXPECT_EQ(serial.DevicePath(), "");
    EXPECT_FALSE(static_cast<bool>(serial.OnStatus));
    EXPECT_EQ(win::DcbFlagsWord(serial.Dcb()), 0u);
    EXPECT_EQ(serial.VersionText(), "KorloSer 6.3.5");
    // Creating touches no port.
    EXPECT_TRUE(api.Calls().empty());
}

TEST(ErrorTextTest, OwnCodesHaveFixedTexts)
{
    sim::SimCommApi api;
    const std::pair<std::int32_t, const char*> cases[] = {
        {seOK, "OK"},
        {sePortOwned, "Port owned by other process"},
        {seInUse, "Instance already in use"},
        {seBadParameter, "Wrong paramter at call"},
        {seNotOpen, "Instance not yet connected"},
        {seNoAnswer, "No device answer detected"},
        {seLineTooLong, "Maximal buffer length exceeded"},
        {seTimeout, "Timeout during operation"},
        {seReadFailed, "Reading of data failed"},
        {seFraming, "Receive framing error"},
        {seOverrun, "Receive Overrun Error"},
        {seRxOverflow, "Receive Queue overflow"},
        {seParity, "Receive Parity Error"},
        {seTxFull, "Tranceive Queue is full"},
    };
    for (const auto& [code, text] : cases)
        EXPECT_EQ(TBlockSerial::GetErrorDesc(code, api), text) << code;
    EXPECT_TRUE(api.CallsOf("FormatMessageA").empty());
}

TEST(ErrorTextTest, SystemTextsLoseTheirClosingStopAndLineBreak)
{
    sim::SimCommApi api;
    EXPECT_EQ(TBlockSerial::GetErrorDesc(2, api), "The system cannot find the file specified");
    api.SetMessage(4242, "Trailing junk. . \t\r\n");
    EXPECT_EQ(TBlockSerial::GetErrorDesc(4242, api), "Trailing junk");
    api.SetMessage(4243, "Stop. Inside stays\r\n");
    EXPECT_EQ(TBlockSerial::GetErrorDesc(4243, api), "Stop. Inside stays");
    // No text at all, and a text that is nothing but what is trimmed.
    EXPECT_EQ(TBlockSerial::GetErrorDesc(123456, api), "");
    api.SetMessage(4244, " ...\r\n");
    EXPECT_EQ(TBlockSerial::GetErrorDesc(4244, api), "");
}

TEST(ErrorTextTest, ASystemTextTooLongForTheBufferCountsAsNone)
{
    sim::SimCommApi api;
    api.SetMessage(4245, std::string(300, 'x'));
    EXPECT_EQ(TBlockSerial::GetErrorDesc(4245, api), "");
    api.SetMessage(4246, std::string(255, 'y'));
    EXPECT_EQ(TBlockSerial::GetErrorDesc(4246, api), std::string(255, 'y'));
}

TEST_F(SerialFixture, CheckApiResultRecordsTheLastErrorOnlyForMinusOne)
{
    api.SetLastError(5);
    EXPECT_EQ(serial.CheckApiResult(0), 0);
    EXPECT_EQ(serial.LastErrorText(), "OK");
    EXPECT_EQ(serial.CheckApiResult(12345), 0);
    EXPECT_EQ(serial.CheckApiResult(-1), 5);
    EXPECT_EQ(serial.LastErrorCode(), 5);
    EXPECT_EQ(serial.LastErrorText(), "Access is denied");
    api.SetLastError(0);
    EXPECT_EQ(serial.CheckApiResult(-1), 0);
    EXPECT_EQ(serial.LastErrorText(), "OK");
}

TEST_F(SerialFixture, RaisingFollowsRaiseExcept)
{
    serial.SetError(seTimeout);
    EXPECT_NO_THROW(serial.RaiseIfError());
    EXPECT_NO_THROW(serial.FailWith(seTimeout));
    EXPECT_EQ(serial.LastErrorCode(), seTimeout);

    serial.RaiseExcept = true;
    serial.SetError(seOK);
    EXPECT_NO_THROW(serial.RaiseIfError());
    EXPECT_NO_THROW(serial.SetError(seTimeout));
    try {
        serial.FailWith(seTimeout);
        FAIL() << "FailWith did not raise";
    } catch (const EKorloSerError& error) {
        EXPECT_EQ(error.Code, seTimeout);
        EXPECT_EQ(error.Description, "Timeout during operation");
        EXPECT_STREQ(error.what(), "\xCE\xF8\xE8\xE1\xEA\xE0 #9997: Timeout during operation");
        EXPECT_NE(error.RaiseAddress, nullptr);
    }
    EXPECT_EQ(serial.LastErrorCode(), seTimeout);
    EXPECT_EQ(serial.LastErrorText(), "Timeout during operation");
}

TEST_F(SerialFixture, RaiseTakesTheTextAfreshAndKeepsAnEmptyOne)
{
    serial.RaiseExcept = true;
    serial.SetError(123456);
    try {
        serial.RaiseIfError();
        FAIL() << "RaiseIfError did not raise";
    } catch (const EKorloSerError& error) {
        EXPECT_EQ(error.Description, "");
        EXPECT_STREQ(error.what(), "\xCE\xF8\xE8\xE1\xEA\xE0 #123456: ");
    }
    serial.SetError(-7);
    try {
        serial.RaiseIfError();
        FAIL() << "RaiseIfError did not raise";
    } catch (const EKorloSerError& error) {
        EXPECT_EQ(error.Code, -7);
        EXPECT_STREQ(error.what(), "\xCE\xF8\xE8\xE1\xEA\xE0 #-7: ");
    }
}

TEST_F(SerialFixture, NotifyStatusCallsTheHandlerWithTheObject)
{
    serial.NotifyStatus(THookSerialReason::HR_Wait, "12");
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0], (Notification{THookSerialReason::HR_Wait, "12"}));
    serial.OnStatus = nullptr;
    EXPECT_NO_THROW(serial.NotifyStatus(THookSerialReason::HR_Wait, "13"));
    EXPECT_EQ(notes.size(), 1u);
}

TEST_F(SerialFixture, HandlerExceptionsPassThroughTheNotifyingOperation)
{
    serial.OnStatus = [](TBlockSerial&, THookSerialReason, const std::string&) {
        throw std::runtime_error("from the handler");
    };
    EXPECT_THROW(serial.Close(), std::runtime_error);
}

} // namespace
} // namespace tarvik::testing
