// The console dialogue: the port, speed, data-bits and command stages, with
// the control words CLEAR, EXIT, CLOSE and QUIT understood at every prompt.
#pragma once

#include "console/console_io.h"
#include "serial/block_serial.h"

#include <optional>
#include <string>

namespace tarvik::console {

class Dialogue {
public:
    Dialogue(TBlockSerial& serial, ConsoleIo& io, win::CommApi& api)
        : FSerial(serial), FIo(io), FApi(api)
    {
    }

    // Runs the stages until a confirmed exit or the end of input. Errors of
    // the serial component pass through to the caller.
    void Run();

    // The presence probe: the port opens exclusively, and is closed again at once.
    bool PortPresent(const std::string& name);

private:
    enum class Outcome { Answer, Restart, Exit };
    struct Reply {
        Outcome Kind;
        std::string Text;
    };

    // One answer with the control words handled; Restart means the stage
    // starts again from its first line, Exit that the run ends.
    Reply ReadAnswer();
    // Asks until Y or N; the end of input counts as Y.
    bool ConfirmExit();

    bool PortStage();
    bool SpeedStage();
    bool DataBitsStage();
    void CommandStage();

    TBlockSerial& FSerial;
    ConsoleIo& FIo;
    win::CommApi& FApi;
    std::string FPortText;
    std::int32_t FChosenBaud = 0;
    std::int32_t FChosenDataBits = 0;
};

} // namespace tarvik::console
