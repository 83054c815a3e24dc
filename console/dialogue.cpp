#include "console/dialogue.h"
#include "serial/serial_util.h"

#include <array>
#include <string_view>

namespace tarvik::console {

namespace {

constexpr std::string_view kCreditLine = "AT-command terminal for serial modems";

struct SpeedChoice {
    std::string_view Answer;
    std::int32_t Baud;
};

constexpr std::array<SpeedChoice, 12> kSpeeds{{{"1", 300},
                                               {"2", 1200},
                                               {"3", 2400},
                                               {"4", 4800},
                                               {"5", 9600},
                                               {"6", 19200},
                                               {"7", 38400},
                                               {"8", 57600},
                                               {"9", 115200},
                                               {"10", 230400},
                                               {"11", 460800},
                                               {"12", 921600}}};

} // namespace

void Dialogue::Run()
{
    // Each stage answers false when the run ends there.
    if (PortStage() && SpeedStage() && DataBitsStage())
        CommandStage();
}

Dialogue::Reply Dialogue::ReadAnswer()
{
    const auto line = FIo.ReadLine();
    // The end of input ends the run as a confirmed exit does.
    if (!line)
        return {Outcome::Exit, {}};
    const std::string upper = UpperCaseAscii(*line);
    if (upper == "CLEAR") {
        FIo.ClearScreen();
        return {Outcome::Restart, {}};
    }
    if (upper == "EXIT" || upper == "CLOSE" || upper == "QUIT") {
        if (ConfirmExit())
            return {Outcome::Exit, {}};
        FIo.ClearScreen();
        return {Outcome::Restart, {}};
    }
    return {Outcome::Answer, *line};
}

bool Dialogue::ConfirmExit()
{
    for (;;) {
        FIo.WriteLine("Do you really want to exit? [Y/N]");
        const auto line = FIo.ReadLine();
        if (!line)
            return true;
        const std::string upper = UpperCaseAscii(*line);
        if (upper == "Y")
            return true;
        if (upper == "N")
            return false;
    }
}

bool Dialogue::PortPresent(const std::string& name)
{
    // A name with a NUL byte in it cannot name a device; there is no length
    // limit beyond that.
    if (name.find('\0') != std::string::npos)
        return false;
    const win::HANDLE handle =
        FApi.CreateFileA(name.c_str(), win::GENERIC_READ | win::GENERIC_WRITE, 0,
                         win::OPEN_EXISTING, win::FILE_ATTRIBUTE_NORMAL);
    if (handle == win::INVALID_HANDLE_VALUE)
        return false;
    FApi.CloseHandle(handle);
    return true;
}

bool Dialogue::PortStage()
{
    for (;;) {
        FIo.WriteLine("");
        FIo.WriteLine("Tarvik");
        FIo.WriteLine(kCreditLine);
        FIo.WriteLine("");
        FIo.WriteLine("");
        FIo.WriteLine("");
        FIo.WriteLine("Please enter COM-port number (Digits ONLY):");
        const Reply reply = ReadAnswer();
        if (reply.Kind == Outcome::Exit)
            return false;
        if (reply.Kind == Outcome::Restart)
            continue;
        FPortText = reply.Text;
        if (PortPresent("COM" + FPortText + ":")) {
            FSerial.Open("COM" + FPortText);
            FIo.WriteLine("Connecting to COM" + FPortText + ": OK!");
            return true;
        }
        FIo.WriteLine("Connecting to COM" + FPortText + ": ERROR!");
    }
}

bool Dialogue::SpeedStage()
{
    for (;;) {
        FIo.WriteLine("");
        FIo.WriteLine("Please select speed (Enter number ONLY):");
        FIo.WriteLine("[1=300]   [4=4800]   [7=38400]   [10=230400]");
        FIo.WriteLine("[2=1200]  [5=9600]   [8=57600]   [11=460800]");
        FIo.WriteLine("[3=2400]  [6=19200]  [9=115200]  [12=921600]");
        const Reply reply = ReadAnswer();
        if (reply.Kind == Outcome::Exit)
            return false;
        if (reply.Kind == Outcome::Restart)
            continue;
        for (const auto& speed : kSpeeds) {
            if (reply.Text == speed.Answer) {
                FChosenBaud = speed.Baud;
                FIo.WriteLine("COM-port speed: OK!");
                return true;
            }
        }
        FIo.WriteLine("COM-port speed: ERROR!");
    }
}

bool Dialogue::DataBitsStage()
{
    for (;;) {
        FIo.WriteLine("");
        FIo.WriteLine("Please set COM-port Data-bits (Digits ONLY):");
        FIo.WriteLine("[4] [5] [6] [7] [8]");
        const Reply reply = ReadAnswer();
        if (reply.Kind == Outcome::Exit)
            return false;
        if (reply.Kind == Outcome::Restart)
            continue;
        const std::string& text = reply.Text;
        if (text.size() == 1 && text[0] >= '4' && text[0] <= '8') {
            FChosenDataBits = text[0] - '0';
            FSerial.Configure(FChosenBaud, static_cast<std::uint8_t>(FChosenDataBits), 'N', 0,
                              false, false);
            FIo.WriteLine("COM-port Data-bits: OK!");
            FIo.WriteLine("");
            return true;
        }
        FIo.WriteLine("COM-port Data-bits: ERROR!");
    }
}

void Dialogue::CommandStage()
{
    for (;;) {
        FIo.WriteLine("Please enter AT commnad:");
        const Reply reply = ReadAnswer();
        if (reply.Kind == Outcome::Exit)
            return;
        if (reply.Kind == Outcome::Restart)
            continue;
        FIo.Write(FSerial.ModemCommand(reply.Text));
        FIo.WriteLine("");
    }
}

} // namespace tarvik::console
